#include "support.hpp"

#include <boost/asio/detached.hpp>

namespace switchyard::testing {
namespace {

class Correlation : public ServerTest {
 protected:
  // Starts a request in the background; the result lands in `reply` / `error`.
  void start(const std::string& type, const std::string& id, json::object message, double timeout) {
    asio::co_spawn(ioc, server->manager.send_and_wait_response(type, id, std::move(message), timeout),
                   [this](std::exception_ptr e, json::object r) {
                     finished = true;
                     error = e;
                     if (!e) reply = std::move(r);
                   });
    settle();
  }
  bool finished = false;
  std::exception_ptr error;
  json::object reply;
};

TEST_F(Correlation, RequestWithoutIdsGetsOneUuidUnderBothKeys) {
  auto addin = connect("addin", "wb");
  start("addin", "wb", obj(R"({"type":"get_modules_request"})"), 5.0);
  ASSERT_EQ(addin->frames.size(), 1u);
  auto sent = addin->messages()[0];
  std::string id(get_str(sent, "request_id"));
  EXPECT_EQ(id.size(), 36u);
  EXPECT_EQ(get_str(sent, "requestId"), id);
  EXPECT_TRUE(server->manager._pending_requests.contains(id));

  dispatch("addin", "wb", obj(R"({"type":"get_modules_response","request_id":")" + id + R"(","modules":{}})"));
  settle();
  ASSERT_TRUE(finished);
  EXPECT_FALSE(error);
  EXPECT_EQ(get_str(reply, "type"), "get_modules_response");
  EXPECT_TRUE(server->manager._pending_requests.empty());
  EXPECT_TRUE(has_log(spdlog::level::debug, "Completed pending request: " + id));
}

TEST_F(Correlation, ExistingCamelCaseIdIsKeptAndMatchedByEitherKey) {
  auto addin = connect("addin", "wb");
  start("addin", "wb", obj(R"({"type":"q","requestId":"r-1"})"), 5.0);
  auto sent = addin->messages()[0];
  EXPECT_EQ(get_str(sent, "request_id"), "r-1");
  EXPECT_EQ(get_str(sent, "requestId"), "r-1");
  // An empty request_id does not hide the camel-case key.
  dispatch("addin", "wb", obj(R"({"type":"anything","request_id":"","requestId":"r-1"})"));
  settle();
  EXPECT_TRUE(finished);
  EXPECT_FALSE(error);
}

TEST_F(Correlation, AnyClientTypeAndMessageTypeCompletesARequest) {
  connect("kernel", "wb");
  start("kernel", "wb", obj(R"({"type":"q","request_id":"k-1"})"), 5.0);
  dispatch("kernel", "wb", obj(R"({"type":"stdout","request_id":"k-1","content":"x"})"));
  settle();
  EXPECT_TRUE(finished);
  EXPECT_EQ(get_str(reply, "type"), "stdout");
}

TEST_F(Correlation, TimeoutFailsWithTheDocumentedTextsAndLeavesNoEntry) {
  connect("addin", "wb");
  start("addin", "wb", obj(R"({"type":"get_functions_request","request_id":"t-1"})"), 0.05);
  advance(std::chrono::milliseconds(49));
  EXPECT_FALSE(finished);
  advance(std::chrono::milliseconds(1));
  ASSERT_TRUE(finished);
  ASSERT_TRUE(error);
  try {
    std::rethrow_exception(error);
  } catch (const RequestTimeoutError& e) {
    EXPECT_STREQ(e.what(), "Timeout waiting for response from addin wb");
  }
  EXPECT_TRUE(has_log(spdlog::level::err, "Timeout waiting for response to get_functions_request from addin wb"));
  EXPECT_TRUE(server->manager._pending_requests.empty());
  // A late answer completes nothing, raises nothing, and is still routed (here: no handler).
  logs->clear();
  dispatch("addin", "wb", obj(R"({"type":"late","request_id":"t-1"})"));
  EXPECT_FALSE(has_log_containing("Completed pending request"));
  EXPECT_TRUE(has_log(spdlog::level::warn, "No handler for addin/late"));
}

TEST_F(Correlation, SecondReplyWithTheSameIdIsIgnored) {
  connect("addin", "wb");
  start("addin", "wb", obj(R"({"type":"q","request_id":"d-1"})"), 5.0);
  EXPECT_TRUE(server->manager.handle_response(obj(R"({"request_id":"d-1","n":1})")));
  EXPECT_FALSE(server->manager.handle_response(obj(R"({"request_id":"d-1","n":2})")));
  settle();
  EXPECT_EQ(reply.at("n").as_int64(), 1);
}

TEST_F(Correlation, MissingPeerFailsAtOnce) {
  start("addin", "ghost", obj(R"({"type":"q"})"), 5.0);
  ASSERT_TRUE(finished);
  try {
    std::rethrow_exception(error);
  } catch (const NotConnectedError& e) {
    EXPECT_STREQ(e.what(), "addin ghost not connected");
  }
  EXPECT_TRUE(server->manager._pending_requests.empty());
}

TEST_F(Correlation, FailedSendReachesTheCallerAndLeavesNoEntry) {
  auto addin = connect("addin", "wb");
  addin->fail_sends = true;
  start("addin", "wb", obj(R"({"type":"q"})"), 5.0);
  ASSERT_TRUE(finished);
  EXPECT_THROW(std::rethrow_exception(error), PeerClosedError);
  EXPECT_TRUE(server->manager._pending_requests.empty());
}

TEST_F(Correlation, CancellingTheWaiterRemovesTheEntry) {
  connect("addin", "wb");
  TaskGroup group(ioc.get_executor(), server->logger, "test");
  group.spawn([](Server& s) -> awaitable<void> {
    co_await s.manager.send_and_wait_response("addin", "wb", json::parse(R"({"type":"q","request_id":"c-1"})").as_object(), 30.0);
  }(*server));
  settle();
  EXPECT_TRUE(server->manager._pending_requests.contains("c-1"));
  group.cancel_all();
  settle();
  EXPECT_TRUE(server->manager._pending_requests.empty());
  EXPECT_EQ(group.size(), 0u);
}

TEST_F(Correlation, MessagesWithoutIdsAreNotResponses) {
  EXPECT_FALSE(server->manager.handle_response(obj(R"({"type":"x"})")));
  EXPECT_FALSE(server->manager.handle_response(obj(R"({"type":"x","request_id":null})")));
}

}  // namespace
}  // namespace switchyard::testing
