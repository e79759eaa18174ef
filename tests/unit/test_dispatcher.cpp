#include "support.hpp"

namespace switchyard::testing {
namespace {

class Dispatcher : public ServerTest {};

std::string b64url(std::string_view in, bool pad) {
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
    for (int k = 3; k >= 0; --k) out += alphabet[(v >> (6 * k)) & 63];
  }
  if (i < in.size()) {
    unsigned v = (unsigned char)in[i] << 16 | (i + 1 < in.size() ? (unsigned char)in[i + 1] << 8 : 0);
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    if (i + 1 < in.size()) out += alphabet[(v >> 6) & 63];
    if (pad) out += (i + 1 < in.size()) ? "=" : "==";
  }
  return out;
}

TEST_F(Dispatcher, UnknownTypesAndMissingTypeAreWarnedAboutAndDropped) {
  auto addin = connect("addin", "wb");
  dispatch("addin", "wb", obj(R"({"type":"pong"})"));
  dispatch("ide", "main", obj(R"({"data":1})"));
  dispatch("martian", "x", obj(R"({"type":"ping"})"));
  EXPECT_TRUE(has_log(spdlog::level::warn, "No handler for addin/pong"));
  EXPECT_TRUE(has_log(spdlog::level::warn, "No handler for ide/None"));
  EXPECT_TRUE(has_log(spdlog::level::warn, "No handler for martian/ping"));
  EXPECT_TRUE(addin->frames.empty());
}

TEST_F(Dispatcher, RoutesBySenderType) {
  auto kernel = connect("kernel", "wb");
  // The same type from the add-in and from an editor reaches different handlers.
  dispatch("ide", "main", obj(R"({"type":"execution_request","workbook_id":"wb","code":"1"})"));
  ASSERT_EQ(kernel->frames.size(), 1u);
  dispatch("ide", "main", obj(R"({"type":"execution_request","code":"1"})"));
  EXPECT_TRUE(has_log(spdlog::level::warn, "Received execution_request from IDE without workbook_id"));
  // A kernel message type sent by an editor has no route.
  dispatch("ide", "main", obj(R"({"type":"execution_result"})"));
  EXPECT_TRUE(has_log(spdlog::level::warn, "No handler for ide/execution_result"));
}

TEST_F(Dispatcher, EveryMessageIsOfferedToCorrelationAndStillRouted) {
  connect("addin", "wb");
  bool done = false;
  json::object reply;
  asio::co_spawn(ioc, server->manager.send_and_wait_response("addin", "wb", obj(R"({"type":"q","request_id":"x1"})"), 5),
                 [&](std::exception_ptr, json::object r) {
                   reply = std::move(r);
                   done = true;
                 });
  settle(std::chrono::milliseconds(5));
  dispatch("addin", "wb", obj(R"({"type":"pong","request_id":"x1"})"));
  settle();
  EXPECT_TRUE(done);
  EXPECT_TRUE(has_log(spdlog::level::warn, "No handler for addin/pong"));
}

TEST_F(Dispatcher, TimingLineAtDebug) {
  dispatch("addin", "wb", obj(R"({"type":"get_modules_response","request_id":"r9"})"));
  dispatch("addin", "wb", obj(R"({"type":"get_modules_response"})"));
  EXPECT_TRUE(has_log(spdlog::level::debug, "[TIMING] Received from addin: type=get_modules_response, request_id=r9"));
  EXPECT_TRUE(has_log(spdlog::level::debug, "[TIMING] Received from addin: type=get_modules_response, request_id=N/A"));
}

TEST_F(Dispatcher, BulkMessageDecodesWithOrWithoutPadding) {
  auto kernel = connect("kernel", "wb");
  std::string envelope = R"({"client_type":"ide","client_id":"main","message":{"type":"execution_request","workbook_id":"wb","code":"é"}})";
  for (bool pad : {true, false}) {
    auto result = run(bulk_message(*server, b64url(envelope, pad)));
    EXPECT_EQ(get_str(result, "status"), "ok");
  }
  EXPECT_EQ(kernel->frames.size(), 2u);
  EXPECT_TRUE(has_log(spdlog::level::debug, "Received bulk message for ide/main with 3 keys"));
}

TEST_F(Dispatcher, BulkMessageWithoutClientIdDispatchesNothingButIsOk) {
  auto kernel = connect("kernel", "wb");
  auto result = run(bulk_message(*server, b64url(R"({"client_type":"ide","message":{"type":"execution_request","workbook_id":"wb"}})", false)));
  EXPECT_EQ(get_str(result, "status"), "ok");
  EXPECT_TRUE(kernel->frames.empty());
  // Percent-encoded padding is unquoted before decoding.
  std::string padded = b64url(R"({"client_type":"ide"})", true);
  for (std::size_t p; (p = padded.find('=')) != std::string::npos;) padded.replace(p, 1, "%3D");
  EXPECT_EQ(get_str(run(bulk_message(*server, padded)), "status"), "ok");
}

TEST_F(Dispatcher, BulkMessageRefusesWhatDoesNotDecode) {
  EXPECT_THROW(run(bulk_message(*server, "A")), BulkDecodeError);                     // one dangling character
  EXPECT_THROW(run(bulk_message(*server, b64url("\xff\xfe", false))), BulkDecodeError);  // not UTF-8
  EXPECT_THROW(run(bulk_message(*server, b64url("{not json", false))), BulkDecodeError);
  EXPECT_THROW(run(bulk_message(*server, b64url("[1,2]", false))), BulkDecodeError);
  EXPECT_THROW(run(bulk_message(*server, "\xc3\xa9")), BulkDecodeError);  // not ASCII
  try {
    run(bulk_message(*server, "A"));
  } catch (const BulkDecodeError& e) {
    EXPECT_STREQ(e.what(), "Invalid base64-encoded string: number of data characters (1) cannot be 1 more than a multiple of 4");
  }
}

TEST_F(Dispatcher, KernelBatchHandlesEveryElementEvenWhenOneFails) {
  auto addin = connect("addin", "wb");
  auto ide = connect("ide", "main");
  addin->fail_sends = true;  // the element bound for the add-in fails
  dispatch("kernel", "wb", obj(R"({"type":"batch","messages":[
      {"type":"completion_response","items":[]},
      {"type":"sys_request","request_id":"s1"},
      "not a message",
      {"type":"hover_response","workbook_id":"other"}]})"));
  auto got = ide->messages();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(get_str(got[0], "workbook_id"), "wb");
  EXPECT_EQ(get_str(got[1], "workbook_id"), "other");
}

TEST_F(Dispatcher, ResponseTypesFromTheAddinAreRoutedToANoOp) {
  auto kernel = connect("kernel", "wb");
  dispatch("addin", "wb", obj(R"({"type":"save_module_response","success":true})"));
  EXPECT_FALSE(has_log_containing("No handler"));
  EXPECT_TRUE(kernel->frames.empty());
}

}  // namespace
}  // namespace switchyard::testing
