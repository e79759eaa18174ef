#include "support.hpp"

#include "switchyard/validation.hpp"

#include <boost/asio/detached.hpp>

namespace switchyard::testing {
namespace {

class Modules : public ServerTest {
 protected:
  // Answers every request the add-in receives with `reply` (plus the request's id).
  void answer_addin(FakePeer& addin, std::size_t already_answered, json::object reply) {
    auto sent = addin.messages();
    for (std::size_t i = already_answered; i < sent.size(); ++i) {
      json::object r = reply;
      r["request_id"] = sent[i].at("request_id");
      server->manager.handle_response(r);
    }
  }
  // Runs a handler while answering the add-in's request as soon as it is sent.
  void dispatch_answered(const std::string& type, const std::string& id, json::object message, FakePeer& addin,
                         json::object reply) {
    std::size_t seen = addin.frames.size();
    run_timed(handle_message(*server, type, id, std::move(message)), [&] {
      if (addin.frames.size() > seen) {
        answer_addin(addin, seen, reply);
        seen = addin.frames.size();
      }
    });
  }
};

TEST_F(Modules, RunModuleChecksKeysAndNamesBeforeForwarding) {
  auto kernel = connect("kernel", "wb");
  dispatch("ide", "main", obj(R"({"type":"run_module","workbook_id":"wb","module_name":"m"})"));
  EXPECT_TRUE(has_log(spdlog::level::warn, "Received run_module from IDE without function_name"));
  dispatch("ide", "main", obj(R"({"type":"run_module","module_name":"m","function_name":"f"})"));
  EXPECT_TRUE(has_log(spdlog::level::warn, "Received run_module from IDE without workbook_id"));
  dispatch("ide", "main", obj(R"({"type":"run_module","workbook_id":"wb","module_name":"my-mod","function_name":"f"})"));
  EXPECT_TRUE(has_log(spdlog::level::warn, "Invalid module name 'my-mod': Invalid identifier: my-mod"));
  dispatch("ide", "main", obj(R"({"type":"run_module","workbook_id":"wb","module_name":"m","function_name":"def"})"));
  EXPECT_TRUE(has_log(spdlog::level::warn, "Invalid function name 'def': Python keyword not allowed: def"));
  EXPECT_TRUE(kernel->frames.empty());
  dispatch("ide", "main", obj(R"({"type":"run_module","workbook_id":"wb","module_name":"m","function_name":"f","x":1})"));
  ASSERT_EQ(kernel->frames.size(), 1u);
  EXPECT_EQ(kernel->frames[0], R"({"type":"run_module","workbook_id":"wb","module_name":"m","function_name":"f","x":1})");
  EXPECT_TRUE(has_log(spdlog::level::info, "[BusinessLayer] Routing run_module to kernel: m.f (workbook_id=wb)"));
}

TEST_F(Modules, SaveModuleUpdatesCacheAndKernelAndTellsEveryEditor) {
  auto addin = connect("addin", "wb");
  auto kernel = connect("kernel", "wb");
  auto ide1 = connect("ide", "one");
  auto ide2 = connect("ide", "two");
  dispatch_answered("ide", "one", obj(R"({"type":"save_module","workbook_id":"wb","module_name":"m","code":"x = 1"})"),
                    *addin, obj(R"({"type":"save_module_response","success":true})"));
  auto request = addin->messages().at(0);
  EXPECT_EQ(get_str(request, "type"), "save_module_request");
  EXPECT_EQ(get_str(request, "code"), "x = 1");
  EXPECT_EQ(kernel->frames.at(0), R"({"type":"update_module","workbook_id":"wb","module_name":"m","code":"x = 1"})");
  for (auto& ide : {ide1, ide2})
    EXPECT_EQ(ide->frames.at(0), R"({"type":"module_saved","workbook_id":"wb","module_name":"m","success":true})");
  EXPECT_EQ(get_module(server->workbooks.find("wb"), "m"), std::optional<std::string>("x = 1"));
}

TEST_F(Modules, SaveWithoutCodeAndWithoutAddinStillUpdatesCacheAndKernel) {
  auto kernel = connect("kernel", "wb");
  auto ide = connect("ide", "one");
  dispatch("ide", "one", obj(R"({"type":"save_module","workbook_id":"wb","module_name":"m"})"));
  EXPECT_EQ(kernel->frames.at(0), R"({"type":"update_module","workbook_id":"wb","module_name":"m","code":""})");
  EXPECT_EQ(ide->frames.at(0), R"({"type":"module_saved","workbook_id":"wb","module_name":"m","success":false})");
  EXPECT_TRUE(has_log(spdlog::level::warn, "Error saving module to workbook wb: addin wb not connected"));
  EXPECT_EQ(get_module(server->workbooks.find("wb"), "m"), std::optional<std::string>(""));
  dispatch("ide", "one", obj(R"({"type":"save_module","module_name":"m"})"));
  EXPECT_TRUE(has_log(spdlog::level::warn, "Received save_module from IDE without workbook_id or module_name"));
}

TEST_F(Modules, UpdateModuleForwardsUnchangedAndSavesInTheBackground) {
  auto addin = connect("addin", "wb");
  auto kernel = connect("kernel", "wb");
  dispatch("ide", "one", obj(R"({"type":"update_module","workbook_id":"wb","module_name":"m","code":"y = 2"})"));
  EXPECT_EQ(kernel->frames.at(0), R"({"type":"update_module","workbook_id":"wb","module_name":"m","code":"y = 2"})");
  EXPECT_EQ(get_module(server->workbooks.find("wb"), "m"), std::optional<std::string>("y = 2"));
  settle();
  EXPECT_EQ(get_str(addin->messages().at(0), "type"), "save_module_request");
}

TEST_F(Modules, AddinRefusalLeavesTheCacheAlone) {
  auto addin = connect("addin", "wb");
  save_module(server->workbooks.at("wb"), "m", "old");
  bool result = true;
  asio::co_spawn(ioc, save_module_to_addin(*server, "wb", "m", "new"),
                 [&](std::exception_ptr, bool r) { result = r; });
  settle();
  answer_addin(*addin, 0, obj(R"({"success":false})"));
  settle();
  EXPECT_FALSE(result);
  EXPECT_EQ(get_module(server->workbooks.find("wb"), "m"), std::optional<std::string>("old"));
}

TEST_F(Modules, LoadModuleNullVersusEmptyCode) {
  auto addin = connect("addin", "wb");
  std::optional<std::string> result = "unset";
  auto load = [&](std::string name, const char* reply) {
    asio::co_spawn(ioc, load_module_from_addin(*server, "wb", name),
                   [&](std::exception_ptr, std::optional<std::string> r) { result = r; });
    std::size_t before = addin->frames.size();
    settle();
    answer_addin(*addin, before, obj(reply));
    settle();
  };
  load("a", R"({"code":null})");
  EXPECT_FALSE(result);
  EXPECT_FALSE(get_module(server->workbooks.find("wb"), "a"));
  load("b", R"({"code":""})");
  EXPECT_EQ(result, std::optional<std::string>(""));
  EXPECT_EQ(get_module(server->workbooks.find("wb"), "b"), std::optional<std::string>(""));
}

TEST_F(Modules, FetchReplacesTheWholeTable) {
  auto addin = connect("addin", "wb");
  save_module(server->workbooks.at("wb"), "stale", "x");
  asio::co_spawn(ioc, request_modules_from_addin(*server, "wb"), asio::detached);
  settle();
  answer_addin(*addin, 0, obj(R"({"type":"get_modules_response"})"));
  settle();
  EXPECT_TRUE(list_modules(server->workbooks.find("wb")).empty());
  EXPECT_TRUE(has_log(spdlog::level::debug, "Fetched 0 modules from workbook: wb"));
  // Without an add-in the cache is left as it was and the result is empty.
  save_module(server->workbooks.at("wb2"), "keep", "x");
  const ModuleTable* table = run(request_modules_from_addin(*server, "wb2"));
  EXPECT_EQ(table, nullptr);
  EXPECT_TRUE(get_module(server->workbooks.find("wb2"), "keep"));
}

TEST_F(Modules, DeleteModuleResetsItsHashSoARecreatedModuleIsPushedAgain) {
  auto kernel = connect("kernel", "wb");
  auto ide = connect("ide", "one");
  save_module(server->workbooks.at("wb"), "m", "same");
  run(full_code_sync(*server, "wb"));
  ASSERT_EQ(kernel->frames.size(), 1u);
  dispatch("ide", "one", obj(R"({"type":"delete_module","workbook_id":"wb","module_name":"m"})"));
  EXPECT_EQ(kernel->frames.at(1), R"({"type":"delete_module","workbook_id":"wb","module_name":"m"})");
  EXPECT_EQ(ide->frames.at(0), R"({"type":"module_deleted","workbook_id":"wb","module_name":"m","success":false})");
  EXPECT_FALSE(get_module(server->workbooks.find("wb"), "m"));
  save_module(server->workbooks.at("wb"), "m", "same");
  run(full_code_sync(*server, "wb"));
  ASSERT_EQ(kernel->frames.size(), 3u);
  EXPECT_EQ(get_str(kernel->messages()[2], "module_name"), "m");
}

TEST_F(Modules, IncrementalPushSendsOnlyChangedModules) {
  auto kernel = connect("kernel", "wb");
  save_module(server->workbooks.at("wb"), "a", "1");
  save_module(server->workbooks.at("wb"), "b", "2");
  run(full_code_sync(*server, "wb"));
  EXPECT_EQ(kernel->frames.size(), 2u);
  EXPECT_TRUE(has_log(spdlog::level::info, "[Full Sync] Synced 2 module(s) to kernel for workbook: wb"));
  EXPECT_TRUE(has_log(spdlog::level::debug, "[Full Sync] Synced module 'a' to kernel"));
  run(full_code_sync(*server, "wb"));
  EXPECT_EQ(kernel->frames.size(), 2u);
  save_module(server->workbooks.at("wb"), "b", "2 changed");
  save_module(server->workbooks.at("wb"), "a", "1");  // stored again, same code: not pushed
  run(full_code_sync(*server, "wb"));
  ASSERT_EQ(kernel->frames.size(), 3u);
  EXPECT_EQ(kernel->frames[2], R"({"type":"update_module","workbook_id":"wb","module_name":"b","code":"2 changed"})");
  // A fetched table replacing the cache is compared the same way.
  replace_modules(server->workbooks.at("wb"), obj(R"({"a":"1","b":"2 changed","c":"3"})"));
  run(full_code_sync(*server, "wb"));
  ASSERT_EQ(kernel->frames.size(), 4u);
  EXPECT_EQ(get_str(kernel->messages()[3], "module_name"), "c");
}

TEST_F(Modules, ListGetAndGetAll) {
  auto ide = connect("ide", "one");
  dispatch("ide", "one", obj(R"({"type":"list_modules","workbook_id":"nobody"})"));
  EXPECT_EQ(ide->frames.back(), R"({"type":"module_list","workbook_id":"nobody","modules":[]})");
  save_module(server->workbooks.at("wb"), "z", "1");
  save_module(server->workbooks.at("wb"), "a", "2");
  dispatch("ide", "one", obj(R"({"type":"list_modules","workbook_id":"wb"})"));
  EXPECT_EQ(ide->frames.back(), R"({"type":"module_list","workbook_id":"wb","modules":["z","a"]})");
  dispatch("ide", "one", obj(R"({"type":"get_all_modules","workbook_id":"wb"})"));
  EXPECT_EQ(ide->frames.back(), R"({"type":"all_modules","workbook_id":"wb","modules":{"z":"1","a":"2"}})");
  dispatch("ide", "one", obj(R"({"type":"get_module","workbook_id":"wb","module_name":"a"})"));
  EXPECT_EQ(ide->frames.back(), R"({"type":"module_content","workbook_id":"wb","module_name":"a","code":"2"})");
  dispatch("ide", "one", obj(R"({"type":"get_module","workbook_id":"wb","module_name":"missing"})"));
  EXPECT_EQ(ide->frames.back(), R"({"type":"module_content","workbook_id":"wb","module_name":"missing","code":null})");
  EXPECT_FALSE(server->workbooks.find("nobody"));  // reading creates no entry
}

TEST_F(Modules, KernelModuleSyncRequest) {
  auto kernel = connect("kernel", "wb");
  auto addin = connect("addin", "wb");
  save_module(server->workbooks.at("wb"), "helpers", "def f(): pass");
  save_module(server->workbooks.at("wb"), "empty", "");
  dispatch("kernel", "wb", obj(R"({"type":"request_module_sync","module_name":"helpers"})"));
  EXPECT_EQ(kernel->frames.at(0), R"({"type":"update_module","module_name":"helpers","code":"def f(): pass"})");
  EXPECT_TRUE(has_log(spdlog::level::info, "[Server] Kernel requesting module sync: helpers for workbook: wb"));
  dispatch("kernel", "wb", obj(R"({"type":"request_module_sync","module_name":"empty","workbook_id":"wb"})"));
  EXPECT_EQ(addin->frames.at(0), R"({"type":"get_module_request","module_name":"empty","for_streaming":true})");
  EXPECT_TRUE(has_log(spdlog::level::info, "[Server] Module empty not in cache, requesting from addin"));
}

TEST_F(Modules, FullPushAndPathsToAConnectingKernel) {
  auto kernel = connect("kernel", "wb");
  run(send_python_paths_to_kernel(*server, "wb"));
  EXPECT_TRUE(kernel->frames.empty());
  server->workbooks.at("wb").python_paths = json::parse(R"(["/p1","/p2"])");
  save_module(server->workbooks.at("wb"), "m", "x");
  run(send_modules_to_kernel(*server, "wb"));
  run(send_python_paths_to_kernel(*server, "wb"));
  ASSERT_EQ(kernel->frames.size(), 2u);
  EXPECT_EQ(kernel->frames[1], R"({"type":"set_python_paths","old_paths":[],"new_paths":["/p1","/p2"]})");
  EXPECT_TRUE(has_log(spdlog::level::info, "Synced 1 module(s) to kernel for workbook: wb"));
  EXPECT_TRUE(has_log(spdlog::level::info, "Sent 2 python paths to kernel for workbook wb"));
}

TEST_F(Modules, PushModulesStateToEditors) {
  auto ide = connect("ide", "one");
  connect("addin", "wb", "Book1");
  save_module(server->workbooks.at("wb"), "m", "x");
  run(_push_modules(*server, "wb"));
  EXPECT_EQ(ide->frames.back(), R"({"type":"workbook_connected","workbook_id":"wb","modules":{"m":"x"},"name":"Book1"})");
  ide->fail_sends = true;
  run(_push_modules(*server, "wb", nullptr, ide));
  EXPECT_TRUE(has_log(spdlog::level::err, "Error pushing modules state: send failed"));
}

}  // namespace
}  // namespace switchyard::testing
