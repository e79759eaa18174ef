// The WebSocket session over a real loopback socket: frames queued without waiting keep their
// place among awaited sends, and those that never reach the peer are reported.
#include "support.hpp"

#include "transport/ws_session.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <gtest/gtest.h>

#include <functional>

namespace switchyard::transport {
namespace {

using asio::ip::tcp;

struct Recorder : UndeliveredFrames {
  void undelivered(const Text& frame) override { frames.push_back(*frame); }
  std::vector<std::string> frames;
};

Text text(std::string s) { return std::make_shared<const std::string>(std::move(s)); }

// The payloads of `count` unmasked server frames read from the client's side.
std::vector<std::string> read_frames(tcp::socket& client, std::size_t count) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < count; ++i) {
    unsigned char head[2];
    asio::read(client, asio::buffer(head));
    EXPECT_EQ(head[0], 0x81);
    std::string payload(head[1] & 0x7F, '\0');  // short frames only
    asio::read(client, asio::buffer(payload));
    out.push_back(payload);
  }
  return out;
}

TEST(WsSession, PostedFramesKeepTheirPlaceAndThoseNeverWrittenAreReported) {
  asio::io_context ioc;
  tcp::acceptor acceptor(ioc, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  tcp::socket client(ioc);
  client.connect(acceptor.local_endpoint());
  auto session = std::make_shared<WsSession>(acceptor.accept(), "", "", SessionLimits{},
                                             corvane::logging::get_logger("test"), "kernel/wb");
  auto sink = std::make_shared<Recorder>();

  // Posted and awaited frames leave in the order they were queued (on the loop, as in the
  // server: a task awaits its send while more frames are posted).
  bool sent = false;
  asio::co_spawn(ioc, [&]() -> awaitable<void> {
    EXPECT_TRUE(session->post_text(text("a"), sink));
    asio::co_spawn(ioc, [&]() -> awaitable<void> {
      co_await session->send_text(text("b"));
      sent = true;
    }, asio::detached);
    EXPECT_TRUE(session->post_text(text("c"), sink));
    co_return;
  }, asio::detached);
  // Three frames of one byte each, two bytes of header apiece.
  ASSERT_TRUE(testing::run_until(ioc, [&] { return sent && client.available() >= 9; }));
  EXPECT_EQ(read_frames(client, 3), (std::vector<std::string>{"a", "b", "c"}));

  // Frames still queued when the connection ends, and frames posted after it, are reported in
  // order; delivered ones never are.
  ASSERT_TRUE(session->post_text(text("d"), sink));
  ASSERT_TRUE(session->post_text(text("e"), sink));
  session->abort();
  ASSERT_TRUE(session->post_text(text("f"), sink));
  ASSERT_TRUE(testing::run_until(ioc, [&] { return sink->frames.size() >= 3; }));
  EXPECT_EQ(sink->frames, (std::vector<std::string>{"d", "e", "f"}));

  // A sink that is gone is told nothing (and the reports after it still arrive, in order).
  std::weak_ptr<UndeliveredFrames> gone = std::make_shared<Recorder>();
  EXPECT_TRUE(session->post_text(text("g"), gone));
  EXPECT_TRUE(session->post_text(text("h"), sink));
  ASSERT_TRUE(testing::run_until(ioc, [&] { return sink->frames.size() >= 4; }));
  EXPECT_EQ(sink->frames, (std::vector<std::string>{"d", "e", "f", "h"}));
}

}  // namespace
}  // namespace switchyard::transport

namespace switchyard::transport {
namespace {

struct FakeHolder : OutboundBudget::Holder {
  FakeHolder(OutboundBudget& b) : budget(b) { budget.join(this); }
  ~FakeHolder() override { budget.leave(this, bytes); }
  std::size_t unsent() const override { return bytes; }
  void cut_off() override {
    budget.changed(this, -static_cast<std::ptrdiff_t>(bytes));
    bytes = 0;
    cut = true;
  }
  void add(std::size_t n) {
    bytes += n;
    budget.changed(this, static_cast<std::ptrdiff_t>(n));
  }
  OutboundBudget& budget;
  std::size_t bytes = 0;
  bool cut = false;
};

// Past the cap for all connections, the one holding most goes, whoever queued last; past its own
// cap, the connection itself goes; the others keep what they hold.
TEST(OutboundBudget, CutsOffTheConnectionHoldingMost) {
  OutboundBudget budget(100, 250);
  FakeHolder small(budget), large(budget), last(budget);
  large.add(90);
  small.add(60);
  last.add(99);
  EXPECT_EQ(budget.total(), 249u);
  last.add(2);  // 101: past its own cap
  EXPECT_TRUE(last.cut);
  EXPECT_FALSE(large.cut);
  last.cut = false;
  last.add(95);
  small.add(10);  // 90 + 70 + 95 = 255: the largest, `last`, goes although `small` queued
  EXPECT_TRUE(last.cut);
  EXPECT_FALSE(small.cut);
  EXPECT_FALSE(large.cut);
  EXPECT_EQ(budget.total(), 160u);
}

}  // namespace
}  // namespace switchyard::transport
