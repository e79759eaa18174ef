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
  ioc.restart();
  ioc.run_for(std::chrono::milliseconds(50));
  server.reset();
  corvane::logging::remove_sink(logs);
  std::error_code ec;
  std::filesystem::remove_all(home, ec);
}

void ServerTest::drive(bool& done, std::chrono::milliseconds limit) {
  ioc.restart();
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done && std::chrono::steady_clock::now() < deadline) ioc.run_one_for(std::chrono::milliseconds(10));
  if (!done) throw std::runtime_error("task did not finish in time");
  // Run what the task left ready (posted completions), without waiting for timers.
  ioc.poll();
}

void ServerTest::settle(std::chrono::milliseconds d) {
  ioc.restart();
  ioc.run_for(d);
  // On a loaded machine the thread may not have run for most of `d`: run what became ready
  // meanwhile (expired timers included) before the test looks.
  ioc.restart();
  while (ioc.poll() > 0) ioc.restart();
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
