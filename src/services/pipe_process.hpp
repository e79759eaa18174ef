#pragma once
// A helper process whose standard output and standard error are read line by line on the event
// loop (pipes and stream descriptors, no threads). It runs as the leader of its own process
// group, so that killing it also stops what it started (an installer's build steps). A time
// limit kills the group; so does destroying the handle while it still runs.
#include "services/process.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace corvane {

// The helper processes a component started and that must not outlive it.
class ProcessRegistry {
 public:
  void add(const std::shared_ptr<process::Child>& child);
  // Kills the process group of every registered process that still runs.
  void kill_all();
  // Number of registered processes that still run.
  std::size_t running();

 private:
  std::mutex mutex_;
  std::vector<std::weak_ptr<process::Child>> children_;
};

class PipeProcess {
 public:
  struct Line {
    bool is_stderr = false;
    std::string text;  // without the line end; invalid UTF-8 replaced by U+FFFD
  };

  struct Options {
    // Null: the caller's environment. Otherwise the complete environment ("K=V").
    const std::vector<std::string>* env = nullptr;
    // Zero: no limit.
    std::chrono::milliseconds time_limit{0};
    ProcessRegistry* registry = nullptr;
  };

  // Starts argv (stdin from /dev/null). Throws std::runtime_error when it cannot be started.
  PipeProcess(boost::asio::any_io_executor ex, const std::vector<std::string>& argv, const Options& options);
  // Kills the process group when the process still runs.
  ~PipeProcess();
  PipeProcess(const PipeProcess&) = delete;
  PipeProcess& operator=(const PipeProcess&) = delete;

  // The next line of either stream, in the order they arrived; nullopt once both are closed.
  // Throws operation_aborted when the awaiting task is cancelled.
  boost::asio::awaitable<std::optional<Line>> next_line();
  // Waits for the process to end (after both streams closed) and returns its wait status.
  boost::asio::awaitable<int> wait();
  // True when the time limit killed it.
  bool timed_out() const;
  void kill();

  struct State;

 private:
  std::shared_ptr<State> state_;
};

// `text` with every invalid UTF-8 sequence replaced by U+FFFD.
std::string sanitize_utf8(std::string_view text);

// Throws boost::system::system_error(operation_aborted) when the current task was cancelled.
boost::asio::awaitable<void> throw_if_cancelled();

// A wake-up point for tasks on one loop: wait() returns after the next notify_all(). Callers
// re-check their condition in a loop.
class Notifier {
 public:
  explicit Notifier(boost::asio::any_io_executor ex);
  ~Notifier();
  // Throws operation_aborted when the waiting task is cancelled.
  boost::asio::awaitable<void> wait();
  void notify_all();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvane
