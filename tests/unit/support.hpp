#pragma once
// Shared pieces of the unit tests: an in-memory peer, a log recorder, and a fixture that builds
// a fresh Server on its own event loop for each test.
#include "switchyard/events.hpp"
#include "switchyard/execution.hpp"
#include "switchyard/handlers.hpp"
#include "switchyard/kernels.hpp"
#include "switchyard/modules.hpp"
#include "switchyard/packages.hpp"
#include "switchyard/published_functions.hpp"
#include "switchyard/relays.hpp"
#include "switchyard/server.hpp"

#include "services/clock.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>

#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>

namespace switchyard::testing {

// Records every frame sent to it; can be told to fail its sends.
class FakePeer : public PeerConnection {
 public:
  awaitable<void> accept() override {
    accepted = true;
    co_return;
  }
  awaitable<void> close(std::uint16_t code, std::string reason) override {
    close_code = code;
    close_reason = std::move(reason);
    closed = true;
    co_return;
  }
  awaitable<std::optional<std::string>> receive() override;
  awaitable<void> send_text(Text text) override {
    if (fail_sends) throw PeerClosedError("send failed");
    frames.push_back(*text);
    co_return;
  }

  // Frames sent so far, parsed.
  std::vector<json::object> messages() const {
    std::vector<json::object> out;
    for (const auto& f : frames) out.push_back(json::parse(f).as_object());
    return out;
  }
  // Parsed frames whose "type" is `type`.
  std::vector<json::object> of_type(std::string_view type) const {
    std::vector<json::object> out;
    for (auto& m : messages())
      if (get_str(m, "type") == type) out.push_back(m);
    return out;
  }
  // Queues a frame for receive(); nullopt makes receive() report the disconnect.
  void push_incoming(std::optional<std::string> frame);

  std::vector<std::string> frames;
  bool fail_sends = false;
  bool accepted = false;
  bool closed = false;
  std::uint16_t close_code = 0;
  std::string close_reason;

 private:
  std::deque<std::optional<std::string>> incoming_;
  std::shared_ptr<asio::steady_timer> wake_;
};

// Runs the loop until `done` holds (an outside event: a process, a pipe, a socket); false when it
// did not within `limit` (a guard against hanging, not a measure).
bool run_until(asio::io_context& ioc, const std::function<bool()>& done,
               std::chrono::seconds limit = std::chrono::seconds(60));

struct LogLine {
  std::string logger;
  spdlog::level::level_enum level;
  std::string text;
};

class LogRecorder : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<LogLine> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    lines_.push_back({std::string(msg.logger_name.data(), msg.logger_name.size()), msg.level,
                      std::string(msg.payload.data(), msg.payload.size())});
  }
  void flush_() override {}

 private:
  std::vector<LogLine> lines_;
};

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs the task to completion on the test's loop (at most `limit`) and returns its result.
  template <class T>
  T run(awaitable<T> task, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    std::optional<T> result;
    std::exception_ptr error;
    bool done = false;
    asio::co_spawn(ioc, std::move(task), [&](std::exception_ptr e, T value) {
      error = e;
      if (!e) result.emplace(std::move(value));
      done = true;
    });
    drive(done, limit);
    if (error) std::rethrow_exception(error);
    return std::move(*result);
  }
  void run(awaitable<void> task, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    std::exception_ptr error;
    bool done = false;
    asio::co_spawn(ioc, std::move(task), [&](std::exception_ptr e) {
      error = e;
      done = true;
    });
    drive(done, limit);
    if (error) std::rethrow_exception(error);
  }
  // Time in these tests is the fixture's: the server's clock stands still unless a test moves it.
  // settle() runs everything that is ready now, without moving the clock.
  void settle();
  // Moves the clock forward by `d`, a `step` at a time, running what becomes due at each step.
  void advance(corvane::Clock::duration d, corvane::Clock::duration step = std::chrono::milliseconds(1));
  // Runs the task to completion, letting the clock run a millisecond at a time whenever nothing
  // else is ready (pauses and time limits pass as they would, however slowly the machine runs).
  // `each_step`, when given, plays the peers between steps (answers what they were sent).
  void run_timed(awaitable<void> task, const std::function<void()>& each_step = {},
                 std::chrono::seconds at_most = std::chrono::seconds(600));
  // Runs the loop until `done` holds (an outside event: a process, a pipe, a socket), without
  // moving the clock; false when it did not within `limit` (a guard against hanging, not a measure).
  bool wait_for(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(60));

  // Registers a fake peer as a connected client.
  std::shared_ptr<FakePeer> connect(const std::string& type, const std::string& id, std::string name = {},
                                    json::object args = {});
  // Dispatches a message as if (type, id) had sent it, and runs it to completion.
  void dispatch(const std::string& type, const std::string& id, json::object message);
  static json::object obj(std::string_view text) { return json::parse(text).as_object(); }

  // Log lines at `level` whose text equals `text`.
  std::size_t count_logs(spdlog::level::level_enum level, std::string_view text);
  bool has_log(spdlog::level::level_enum level, std::string_view text) { return count_logs(level, text) > 0; }
  bool has_log_containing(std::string_view fragment);

  asio::io_context ioc;
  std::filesystem::path home;
  std::unique_ptr<Server> server;
  std::shared_ptr<LogRecorder> logs;

 private:
  void drive(bool& done, std::chrono::milliseconds limit);
};

}  // namespace switchyard::testing
