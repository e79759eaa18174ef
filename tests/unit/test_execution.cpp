#include "support.hpp"

#include <boost/asio/detached.hpp>

namespace switchyard::testing {
namespace {

class Execution : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    addin = connect("addin", "wb");
    kernel = connect("kernel", "wb");
    ide = connect("ide", "main");
  }
  void call(std::string_view request_id, std::string_view module = "m", std::string_view function = "f") {
    json::object m;
    m["type"] = "function_execution";
    m["request_id"] = request_id;
    m["module_name"] = module;
    m["function_name"] = function;
    m["args"] = json::parse("[1, [2, 3]]");
    dispatch("addin", "wb", std::move(m));
  }
  void result(std::string_view request_id, json::value value) {
    json::object m;
    m["type"] = "execution_result";
    m["request_id"] = request_id;
    m["result"] = std::move(value);
    m["logs"] = "printed\n";
    dispatch("kernel", "wb", std::move(m));
  }
  // Lets the result-batching window pass.
  void window() { advance(std::chrono::milliseconds(5)); }
  std::shared_ptr<FakePeer> addin, kernel, ide;
};

TEST_F(Execution, CallReachesTheKernelAndItsResultComesBackAlone) {
  save_module(server->workbooks.at("wb"), "m", "def f(a, b): return a");
  call("r1");
  ASSERT_EQ(kernel->frames.size(), 2u);  // the module, then the call
  EXPECT_EQ(get_str(kernel->messages()[0], "type"), "update_module");
  EXPECT_EQ(kernel->frames[1],
            R"({"type":"custom_function_call","module_name":"m","function_name":"f","args":[1,[2,3]],"request_id":"r1","workbook_id":"wb"})");
  EXPECT_EQ(server->_pending_function_executions.at("r1").workbook_id, "wb");
  result("r1", 42);
  EXPECT_TRUE(addin->frames.empty());  // held for the coalescing window
  advance(std::chrono::microseconds(4999));
  EXPECT_TRUE(addin->frames.empty());
  advance(std::chrono::microseconds(1));
  ASSERT_EQ(addin->frames.size(), 1u);
  EXPECT_EQ(addin->frames[0],
            R"({"type":"function_execution_result","request_id":"r1","status":"success","result":42,"logs":"printed\n"})");
  EXPECT_TRUE(server->_pending_function_executions.empty());
  EXPECT_TRUE(ide->frames.empty());
}

TEST_F(Execution, ResultsWithinTheWindowGoOutAsOneBatchInArrivalOrder) {
  for (auto id : {"a", "b", "c"}) call(id);
  result("b", 2);
  result("a", 1);
  dispatch("kernel", "wb", obj(R"({"type":"execution_error","request_id":"c"})"));
  window();
  ASSERT_EQ(addin->frames.size(), 1u);
  auto batch = addin->messages()[0];
  EXPECT_EQ(get_str(batch, "type"), "batch_results");
  auto& results = batch.at("results").as_array();
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(get_str(results[0].as_object(), "request_id"), "b");
  EXPECT_EQ(get_str(results[1].as_object(), "request_id"), "a");
  EXPECT_EQ(json::serialize(results[2]),
            R"({"type":"function_execution_result","request_id":"c","status":"error","error":{"message":"Unknown error"},"logs":""})");
}

TEST_F(Execution, TwoWorkbooksGetTheirOwnMessages) {
  auto addin2 = connect("addin", "wb2");
  auto kernel2 = connect("kernel", "wb2");
  call("r1");
  dispatch("addin", "wb2", obj(R"({"type":"function_execution","request_id":"r2","module_name":"m","function_name":"f"})"));
  EXPECT_EQ(get_str(kernel2->messages().back(), "type"), "custom_function_call");
  EXPECT_EQ(kernel2->messages().back().at("args"), json::array());
  result("r1", 1);
  dispatch("kernel", "wb2", obj(R"({"type":"execution_result","request_id":"r2"})"));
  window();
  ASSERT_EQ(addin->frames.size(), 1u);
  ASSERT_EQ(addin2->frames.size(), 1u);
  EXPECT_EQ(addin2->frames[0], R"({"type":"function_execution_result","request_id":"r2","status":"success","result":null,"logs":""})");
}

TEST_F(Execution, ResultArrivingAfterAFlushStartsTheNextBatch) {
  call("a");
  call("b");
  result("a", 1);
  window();
  result("b", 2);
  window();
  ASSERT_EQ(addin->frames.size(), 2u);
  EXPECT_EQ(get_str(addin->messages()[1], "request_id"), "b");
  run(server->_result_batcher.flush_all());  // nothing waiting: nothing sent
  EXPECT_EQ(addin->frames.size(), 2u);
}

TEST_F(Execution, MissingRequestIdGetsAUuid) {
  dispatch("addin", "wb", obj(R"({"type":"function_execution","module_name":"m","function_name":"f"})"));
  auto sent = kernel->messages().back();
  std::string id(get_str(sent, "request_id"));
  EXPECT_EQ(id.size(), 36u);
  result(id, "ok");
  window();
  EXPECT_EQ(get_str(addin->messages().at(0), "request_id"), id);
}

TEST_F(Execution, ValidationFailuresAnswerDirectly) {
  dispatch("addin", "wb", obj(R"({"type":"function_execution","request_id":"v1","module_name":"my-mod","function_name":"f"})"));
  ASSERT_EQ(addin->frames.size(), 2u);
  EXPECT_EQ(addin->frames[0],
            R"({"type":"execution_error","success":false,"error":{"type":"ValidationError","message":"Invalid module name 'my-mod': Invalid identifier: my-mod"},"request_id":"v1","workbook_id":"wb","module_name":"my-mod","function_name":"f"})");
  EXPECT_EQ(addin->frames[1],
            R"({"type":"function_execution_result","request_id":"v1","success":false,"error":{"type":"ValidationError","message":"Invalid module name 'my-mod': Invalid identifier: my-mod"}})");
  dispatch("addin", "wb", obj(R"({"type":"event_execution","request_id":"v2","module_name":"m"})"));
  ASSERT_EQ(addin->frames.size(), 3u);
  EXPECT_EQ(get_str(addin->messages()[2].at("error").as_object(), "message"),
            "function_execution/event_execution missing function_name");
  EXPECT_TRUE(has_log(spdlog::level::warn, "function_execution/event_execution missing function_name"));
  EXPECT_TRUE(kernel->frames.empty());
}

TEST_F(Execution, EventExecutionCarriesItsObjectKeysAndIsNotPending) {
  dispatch("addin", "wb", obj(R"({"type":"event_execution","request_id":"e1","module_name":"m","function_name":"on_change","event_type":"Change"})"));
  EXPECT_EQ(kernel->frames.back(),
            R"({"type":"event_execution","module_name":"m","function_name":"on_change","args":[],"request_id":"e1","workbook_id":"wb","object_name":"","event_type":"Change","object_type":""})");
  EXPECT_TRUE(server->_pending_function_executions.empty());
  dispatch("kernel", "wb", obj(R"({"type":"event_execution_result","request_id":"e1","success":true})"));
  EXPECT_EQ(addin->frames.size(), 1u);
  EXPECT_EQ(ide->frames.size(), 1u);
}

TEST_F(Execution, UnknownOrRepeatedResultsAreRelayedAsOutput) {
  call("r1");
  result("r1", 1);
  result("r1", 2);  // already answered
  dispatch("kernel", "wb", obj(R"({"type":"execution_result","result":3})"));  // no id at all
  EXPECT_EQ(ide->frames.size(), 2u);
  EXPECT_EQ(addin->frames.size(), 2u);
  EXPECT_EQ(addin->frames[0], R"({"type":"execution_result","request_id":"r1","result":2,"logs":"printed\n"})");
  window();
  EXPECT_EQ(addin->frames.size(), 3u);
}

TEST_F(Execution, CallWithoutAKernelIsAnsweredAtOnce) {
  connect("addin", "lonely");
  auto lonely = std::static_pointer_cast<FakePeer>(server->manager.get_connection("addin", "lonely"));
  dispatch("addin", "lonely", obj(R"({"type":"function_execution","request_id":"n1","module_name":"m","function_name":"f"})"));
  window();
  ASSERT_EQ(lonely->frames.size(), 1u);
  EXPECT_EQ(lonely->frames[0],
            R"({"type":"function_execution_result","request_id":"n1","status":"error","error":{"message":"Kernel not connected for workbook lonely"},"logs":""})");
  EXPECT_TRUE(server->_pending_function_executions.empty());
}

TEST_F(Execution, KernelDisconnectAnswersWhatWasPending) {
  // Drive a real endpoint for a second kernel connection of another workbook.
  auto addin2 = connect("addin", "wb2");
  auto peer = std::make_shared<FakePeer>();
  asio::co_spawn(ioc, websocket_endpoint(*server, peer, "kernel", "wb2", {}), asio::detached);
  settle();
  dispatch("addin", "wb2", obj(R"({"type":"function_execution","request_id":"p1","module_name":"m","function_name":"f"})"));
  dispatch("addin", "wb2", obj(R"({"type":"function_execution","request_id":"p2","module_name":"m","function_name":"f"})"));
  call("other");  // another workbook's call stays pending
  peer->push_incoming(std::nullopt);
  window();
  // (the kernel's connection hook re-sent the add-in its functions and event configuration first)
  std::vector<json::object> got;
  for (auto& m : addin2->messages())
    if (get_str(m, "type") != "sync_custom_functions" && get_str(m, "type") != "save_event_config_request")
      got.push_back(m);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], obj(R"({"type":"kernel_disconnected","workbook_id":"wb2"})"));
  EXPECT_EQ(get_str(got[1], "type"), "batch_results");
  EXPECT_EQ(json::serialize(got[1].at("results").as_array()[0]),
            R"({"type":"function_execution_result","request_id":"p1","status":"error","error":{"message":"Kernel disconnected"},"logs":""})");
  EXPECT_EQ(server->_pending_function_executions.size(), 1u);
}

TEST_F(Execution, CallsWhoseFrameNeverReachesTheKernelAreAnsweredKernelDisconnected) {
  kernel->fail_sends = true;
  call("x1");  // the first call checks the code: through the handler
  auto second = obj(R"({"type":"function_execution","request_id":7,"module_name":"m","function_name":"f"})");
  EXPECT_TRUE(dispatch_now(*server, "addin", "wb", second));  // then at once
  window();
  auto got = addin->messages();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(json::serialize(got[0]),
            R"({"type":"batch_results","results":[)"
            R"({"type":"function_execution_result","request_id":"x1","status":"error","error":{"message":"Kernel disconnected"},"logs":""},)"
            R"({"type":"function_execution_result","request_id":7,"status":"error","error":{"message":"Kernel disconnected"},"logs":""}]})");
  EXPECT_TRUE(server->_pending_function_executions.empty());
}

TEST_F(Execution, KillKernelAnswersWhatWasPending) {
  call("k1");
  dispatch("addin", "wb", obj(R"({"type":"kill_kernel"})"));
  window();
  auto got = addin->messages();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(get_str(got[0], "type"), "kill_kernel_response");
  EXPECT_EQ(get_str(got[1].at("error").as_object(), "message"), "Kernel disconnected");
  EXPECT_TRUE(server->_pending_function_executions.empty());
}

TEST_F(Execution, StreamingRequests) {
  dispatch("addin", "wb", obj(R"({"type":"streaming_function_execution","module_name":"m","function_name":"f"})"));
  EXPECT_TRUE(has_log(spdlog::level::warn, "streaming_function_execution missing request_id"));
  EXPECT_TRUE(addin->frames.empty());
  dispatch("addin", "wb", obj(R"({"type":"streaming_function_execution","request_id":"s1","function_name":"f"})"));
  EXPECT_EQ(addin->frames.back(),
            R"({"type":"streaming_function_result","request_id":"s1","error":"streaming_function_execution missing module_name","done":true})");
  dispatch("addin", "wb", obj(R"({"type":"streaming_function_execution","request_id":"s2","module_name":"m","function_name":"gen","args":[5]})"));
  EXPECT_EQ(kernel->frames.back(),
            R"({"type":"execute_streaming_function","request_id":"s2","module_name":"m","function_name":"gen","args":[5]})");
  dispatch("addin", "wb", obj(R"({"type":"cancel_streaming_function","request_id":"s2","extra":1})"));
  EXPECT_EQ(kernel->frames.back(), R"({"type":"cancel_streaming_function","request_id":"s2"})");
  dispatch("kernel", "wb", obj(R"({"type":"streaming_function_result","request_id":"s2","result":1,"done":false})"));
  EXPECT_EQ(addin->frames.back(), R"({"type":"streaming_function_result","request_id":"s2","result":1,"done":false})");
  EXPECT_EQ(ide->frames.back(), addin->frames.back());
}

TEST_F(Execution, CallableInvocation) {
  dispatch("addin", "wb", obj(R"({"type":"python_function_call","requestId":"q1"})"));
  EXPECT_EQ(addin->frames.back(),
            R"({"kind":"response","requestId":"q1","ok":false,"error":{"message":"python_function_call missing callable_id"}})");
  dispatch("addin", "wb", obj(R"({"type":"python_function_call","callable_id":"c9","args":[1],"requestId":"q2"})"));
  EXPECT_EQ(kernel->frames.back(),
            R"({"type":"python_function_call","callable_id":"c9","args":[1],"request_id":"q2","workbook_id":"wb"})");
}

TEST_F(Execution, KernelRelays) {
  dispatch("kernel", "wb", obj(R"({"type":"hover_response","contents":"x"})"));
  EXPECT_EQ(ide->frames.back(), R"({"type":"hover_response","contents":"x","workbook_id":"wb"})");
  EXPECT_TRUE(has_log(spdlog::level::info, "[BusinessLayer] Forwarded hover_response to IDE for workbook wb"));
  dispatch("kernel", "wb", obj(R"({"type":"show_message_box","text":"hi"})"));
  EXPECT_EQ(addin->frames.back(), R"({"type":"show_message_box","text":"hi"})");
  dispatch("ide", "main", obj(R"({"type":"debug_step_over","workbook_id":"wb"})"));
  EXPECT_EQ(kernel->frames.back(), R"({"type":"debug_step_over","workbook_id":"wb"})");
  dispatch("ide", "main", obj(R"({"type":"debug_stop"})"));
  EXPECT_TRUE(has_log(spdlog::level::warn, "Received debug_stop from IDE without workbook_id"));
}

}  // namespace
}  // namespace switchyard::testing
