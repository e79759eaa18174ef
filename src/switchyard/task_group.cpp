#include "switchyard/task_group.hpp"

#include "switchyard/peer.hpp"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

namespace switchyard {

TaskGroup::TaskGroup(asio::any_io_executor ex, Logger log, std::string what)
    : state_(std::make_shared<State>(State{std::move(ex), std::move(log), std::move(what), {}, false})) {}

TaskGroup::~TaskGroup() { cancel_all(); }

void TaskGroup::spawn(awaitable<void> task) {
  if (state_->cancelled) return;
  auto& entry = state_->entries.emplace_back();
  auto it = std::prev(state_->entries.end());
  asio::co_spawn(state_->ex, std::move(task),
                 asio::bind_cancellation_slot(entry.signal.slot(), [state = state_, it](std::exception_ptr e) {
                   state->entries.erase(it);
                   if (e) report(*state, e);
                 }));
}

void TaskGroup::report(State& state, std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const PeerClosedError& closed) {
    // A peer that went away while being sent to: its own clean-up reports it.
    state.log->debug("Task of {} ended: {}", state.what, closed.what());
  } catch (const boost::system::system_error& se) {
    if (se.code() == asio::error::operation_aborted) return;  // cancelled
    state.log->error("Task of {} failed: {}", state.what, se.what());
  } catch (const std::exception& ex) {
    state.log->error("Task of {} failed: {}", state.what, ex.what());
  } catch (...) {
    state.log->error("Task of {} failed", state.what);
  }
}

void TaskGroup::cancel_all() {
  state_->cancelled = true;
  for (auto& entry : state_->entries) entry.signal.emit(asio::cancellation_type::terminal);
}

std::size_t TaskGroup::size() const { return state_->entries.size(); }

awaitable<void> TaskGroup::wait_empty() {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  while (!state_->entries.empty()) {
    timer.expires_after(std::chrono::milliseconds(1));
    co_await timer.async_wait(asio::use_awaitable);
  }
}

}  // namespace switchyard
