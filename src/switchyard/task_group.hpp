#pragma once
// A set of background tasks that can be cancelled together (a connection's pending tasks).
#include "switchyard/common.hpp"

#include <boost/asio/cancellation_signal.hpp>

#include <list>

namespace switchyard {

class TaskGroup {
 public:
  TaskGroup(asio::any_io_executor ex, Logger log, std::string what);
  ~TaskGroup();
  TaskGroup(const TaskGroup&) = delete;
  TaskGroup& operator=(const TaskGroup&) = delete;

  // Starts the task; it is removed from the group when it ends. A task that ends with an
  // error is logged and ends alone. After cancel_all() new tasks are not started.
  void spawn(awaitable<void> task);
  // Runs `work` at once as a task of the group that never waits: what it throws is reported as
  // a task's error would be. Returns what `work` returned, true when it threw; after cancel_all()
  // it runs nothing and returns true, as spawn() would start nothing.
  template <class F>
  bool run_now(F&& work) {
    if (state_->cancelled) return true;
    try {
      return work();
    } catch (...) {
      report(*state_, std::current_exception());
      return true;
    }
  }
  // Requests cancellation of every task still running (they are not awaited).
  void cancel_all();
  std::size_t size() const;
  // Resolves once the group holds no task (used at shutdown and in tests).
  awaitable<void> wait_empty();

 private:
  struct Entry {
    asio::cancellation_signal signal;
  };
  struct State {
    asio::any_io_executor ex;
    Logger log;
    std::string what;
    std::list<Entry> entries;
    bool cancelled = false;
  };
  static void report(State& state, std::exception_ptr error);
  std::shared_ptr<State> state_;
};

}  // namespace switchyard
