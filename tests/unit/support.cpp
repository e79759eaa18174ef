#include "support.hpp"

#include "services/logging.hpp"

#include <boost/asio/redirect_error.hpp>
#include <boost/asio/this_coro.hpp>

#include <atomic>
#include <unistd.h>

namespace switchyard::testing {

awaitable<std::optional<std::string>> FakePeer::receive() {
  while (incoming_.empty()) {
    if (!wake_) wake_ = std::make_shared<asio::steady_timer>(co_await asio::this_coro::executor);
    wake_->expires_at(asio::steady_timer::time_point::max());
    boost::system::error_code ec;
    co_await wake_->async_wait(asio::redirect_error(asio::use_awaitable, ec));
  }
  auto frame = std::move(incoming_.front());
  incoming_.pop_front();
  co_return frame;
}

void FakePeer::push_incoming(std::optional<std::string> frame) {
  incoming_.push_back(std::move(frame));
  if (wake_) wake_->cancel();
}

void ServerTest::SetUp() {
  static std::atomic<int> counter{0};
  home = std::filesystem::temp_directory_path() /
         ("switchyard-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
  std::filesystem::create_directories(home);
  corvane::Clock::hold();
  logs = std::make_shared<LogRecorder>();
  corvane::logging::add_sink(logs);
  corvane::logging::set_level(spdlog::level::debug);
  ServerOptions options;
  options.base_dir = home / ".corvane";
  options.python_executable = "python3";
  options.no_inspector = true;
  server = std::make_unique<Server>(ioc.get_executor(), options);
  server->kill_grace_ms = 20;
  server->hook_pause_ms = 0;
  server->restart_pause_ms = 0;
}

void ServerTest::TearDown() {
  server->cancel_all_tasks();
  // Let cancelled tasks unwind while the server still exists.
  settle();
  server.reset();
  corvane::Clock::release();
  corvane::logging::remove_sink(logs);
  std::error_code ec;
  std::filesystem::remove_all(home, ec);
}

void ServerTest::drive(bool& done, std::chrono::milliseconds limit) {
  ioc.restart();
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done && std::chrono::steady_clock::now() < deadline) ioc.run_one_for(std::chrono::milliseconds(10));
  if (!done) throw std::runtime_error("task did not finish (is it waiting for time the test never let pass?)");
  // Run what the task left ready (posted completions); the clock stays where it is.
  settle();
}

void ServerTest::settle() {
  ioc.restart();
  while (ioc.poll() > 0) ioc.restart();
}

void ServerTest::advance(corvane::Clock::duration d, corvane::Clock::duration step) {
  settle();
  while (d > corvane::Clock::duration::zero()) {
    auto by = std::min(step, d);
    corvane::Clock::advance(by);
    d -= by;
    // The loop looks at its timers when the earliest one is due by the steady clock; a timer that
    // is already due makes it look at once, so everything the step made due runs with it. (On
    // Windows the look is signalled by the loop's timer thread: wait for it to happen.)
    bool looked = false;
    corvane::Timer look(ioc, corvane::Clock::now() - std::chrono::hours(1));
    look.async_wait([&looked](boost::system::error_code) { looked = true; });
    while (!looked) {
      ioc.restart();
      ioc.run_one();
    }
    settle();
  }
}

void ServerTest::run_timed(awaitable<void> task, const std::function<void()>& each_step,
                           std::chrono::seconds at_most) {
  std::exception_ptr error;
  bool done = false;
  asio::co_spawn(ioc, std::move(task), [&](std::exception_ptr e) {
    error = e;
    done = true;
  });
  settle();
  for (auto left = std::chrono::duration_cast<std::chrono::milliseconds>(at_most); !done; --left) {
    if (each_step) {
      each_step();
      settle();
      if (done) break;
    }
    if (left.count() <= 0) break;
    advance(std::chrono::milliseconds(1));
  }
  if (!done) throw std::runtime_error("task did not finish within the time it was given");
  if (error) std::rethrow_exception(error);
}

bool run_until(asio::io_context& ioc, const std::function<bool()>& done, std::chrono::seconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  asio::steady_timer tick(ioc);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    // Wakes the loop now and then when nothing else does (the event may be outside it).
    tick.expires_after(std::chrono::milliseconds(5));
    tick.async_wait([](boost::system::error_code) {});
    ioc.restart();
    ioc.run_one();
  }
  return true;
}

bool ServerTest::wait_for(const std::function<bool()>& done, std::chrono::seconds limit) {
  if (!run_until(ioc, done, limit)) return false;
  settle();
  return true;
}

std::shared_ptr<FakePeer> ServerTest::connect(const std::string& type, const std::string& id, std::string name,
                                              json::object args) {
  auto peer = std::make_shared<FakePeer>();
  run(server->manager.connect(type, id, peer, std::move(name), std::move(args)));
  return peer;
}

void ServerTest::dispatch(const std::string& type, const std::string& id, json::object message) {
  // As the receive loop does: at once when nothing has to wait, else as a task.
  if (dispatch_now(*server, type, id, message)) {
    run([]() -> awaitable<void> { co_return; }());
    return;
  }
  run(handle_message(*server, type, id, std::move(message)));
}

std::size_t ServerTest::count_logs(spdlog::level::level_enum level, std::string_view text) {
  std::size_t n = 0;
  for (const auto& line : logs->lines())
    if (line.level == level && line.text == text) ++n;
  return n;
}

bool ServerTest::has_log_containing(std::string_view fragment) {
  for (const auto& line : logs->lines())
    if (line.text.find(fragment) != std::string::npos) return true;
  return false;
}

}  // namespace switchyard::testing
