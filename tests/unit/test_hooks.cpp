// The connection hooks: what a new add-in, editor or kernel sets off, in which order, and how a
// silent or odd add-in is lived with.
#include "support.hpp"

#include "switchyard/hooks.hpp"

namespace switchyard::testing {
namespace {

class Hooks : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    // Kernels are started for real; this one exits at once.
    server->python_executable = "/bin/true";
    server->hook_pause_ms = 500;
  }

  // Runs the hook while answering each request the add-in receives with the reply stored for its
  // type (no reply stored: the add-in stays silent). Returns the request types in order.
  std::vector<std::string> run_answering(awaitable<void> hook, FakePeer& addin,
                                         const std::map<std::string, std::string>& replies) {
    std::vector<std::string> asked;
    std::size_t seen = 0;
    run_timed(std::move(hook), [&] {
      auto sent = addin.messages();
      for (; seen < sent.size(); ++seen) {
        if (!sent[seen].contains("request_id")) continue;
        std::string type(get_str(sent[seen], "type"));
        asked.push_back(type);
        auto it = replies.find(type);
        if (it == replies.end()) continue;
        json::object reply = obj(it->second);
        reply["request_id"] = sent[seen].at("request_id");
        server->manager.handle_response(reply);
      }
    });
    return asked;
  }

  static std::vector<std::string> types(const FakePeer& peer) {
    std::vector<std::string> out;
    for (auto& m : peer.messages()) out.emplace_back(get_str(m, "type"));
    return out;
  }

  const std::map<std::string, std::string> full_answers = {
      {"get_modules_request", R"({"modules":{"calc":"def add(a, b):\n    return a + b\n"}})"},
      {"get_functions_request",
       R"({"functions":[{"module":"calc","function":"add","excel_name":"ADD"},{"module":"calc","function":"x"}]})"},
      {"get_packages_request",
       R"({"packages":[{"name":"six","version":"1.16.0","status":"installed"}],"python_paths":["/p",{"path":"/q","relative":true},{"relative":false}]})"},
      {"get_events_request",
       R"({"events_registered":{"Sheet1":{"ObjectType":"Worksheet","events":{"onChanged":{"module_name":"calc","function_name":"add"}}}},)"
       R"("events_definition":{"Worksheet":[{"eventType":"change","eventName":"onChanged","eventArgsType":"Args"}]},)"
       R"("events_tree":{"type":"Worksheet","id":"Sheet1","name":"Sheet1"}})"}};
};

TEST_F(Hooks, AddinConnectionFillsTheCachesStartsTheKernelAndTellsEveryEditor) {
  auto ide = connect("ide", "main");
  auto addin = connect("addin", "wb", "Book1");
  save_module(server->workbooks.at("wb"), "stale", "x = 1");

  auto asked = run_answering(on_addin_connection(*server, addin, "addin", "wb"), *addin, full_answers);
  EXPECT_EQ(asked, (std::vector<std::string>{"get_modules_request", "get_functions_request", "get_packages_request",
                                             "get_events_request"}));
  EXPECT_EQ(modules_object(server->workbooks.find("wb")), obj(R"({"calc":"def add(a, b):\n    return a + b\n"})"));
  EXPECT_EQ(server->workbooks.at("wb").published_functions,
            json::parse(R"([{"module_name":"calc","function_name":"add","excel_name":"ADD","dimension":"Scalar","streaming":false}])"));
  EXPECT_EQ(server->workbooks.at("wb").packages, json::parse(R"([{"name":"six","version":"1.16.0","status":"pending"}])"));
  EXPECT_EQ(server->workbooks.at("wb").installed_packages, server->workbooks.at("wb").packages);
  EXPECT_EQ(server->workbooks.at("wb").python_paths, json::parse(R"(["/p","/q"])"));
  EXPECT_EQ(server->workbooks.at("wb").package_errors, json::object());
  EXPECT_EQ(server->workbooks.at("wb").handlers.size(), 1u);
  EXPECT_TRUE(server->workbooks.at("wb").kernel);
  EXPECT_TRUE(has_log(spdlog::level::info, "Spawned kernel for workbook: wb"));

  // The editor: the workbook list, then the workbook's four states in order.
  EXPECT_EQ(types(*ide), (std::vector<std::string>{"workbook_list", "event_manager_state", "published_functions_state",
                                                   "workbook_packages_update", "workbook_connected"}));
  auto list = ide->messages()[0];
  EXPECT_EQ(list, obj(R"({"type":"workbook_list","workbooks":[{"id":"wb","name":"Book1","modules":{"calc":"def add(a, b):\n    return a + b\n"}}]})"));
  auto view = ide->messages()[1].at("view_model").as_array();
  ASSERT_EQ(view.size(), 1u);
  EXPECT_EQ(view[0].at("events").at(0).at("python_function"), "calc.add");
  EXPECT_EQ(ide->messages()[3].at("python_paths"), json::parse(R"(["/p","/q"])"));
}

TEST_F(Hooks, SilentOrOddAddinStillGetsItsKernelAndTheEditorsAreTold) {
  auto ide = connect("ide", "main");
  auto addin = connect("addin", "wb");
  save_module(server->workbooks.at("wb"), "stale", "x = 1");
  // Modules and events unanswered, functions and packages of the wrong shape.
  auto answers = std::map<std::string, std::string>{
      {"get_functions_request", R"({"functions":"not a list"})"},
      {"get_packages_request", R"({"packages":{"a":1},"python_paths":7})"}};
  run_answering(on_addin_connection(*server, addin, "addin", "wb"), *addin, answers);
  EXPECT_TRUE(list_modules(server->workbooks.find("wb")).empty());  // the unanswered module request stores no module
  EXPECT_EQ(server->workbooks.at("wb").published_functions, json::array());
  EXPECT_EQ(server->workbooks.at("wb").packages, json::array());
  EXPECT_EQ(server->workbooks.at("wb").python_paths, json::array());
  EXPECT_TRUE(server->workbooks.at("wb").handlers.empty());
  EXPECT_TRUE(has_log(spdlog::level::warn, "Error fetching modules from workbook wb: Timeout waiting for response from addin wb"));
  EXPECT_TRUE(has_log(spdlog::level::warn, "Error requesting events from addin for workbook wb: Timeout waiting for response from addin wb"));
  EXPECT_TRUE(server->workbooks.at("wb").kernel);
  EXPECT_EQ(types(*ide).size(), 5u);

  // A reload while the kernel is connected starts no second kernel; a spawn failure is a warning.
  server->workbooks.at("wb").kernel.reset();
  connect("kernel", "wb");
  run_answering(on_addin_connection(*server, addin, "addin", "wb"), *addin, full_answers);
  EXPECT_FALSE(server->workbooks.at("wb").kernel);
  EXPECT_EQ(modules_object(server->workbooks.find("wb")).size(), 1u);
  server->manager.disconnect("kernel", "wb");
  server->python_executable = "/nonexistent/python3";
  run_answering(on_addin_connection(*server, addin, "addin", "wb"), *addin, full_answers);
  EXPECT_TRUE(has_log(spdlog::level::warn, "Failed to spawn kernel for wb"));
}

TEST_F(Hooks, KernelConnectionLoadsCodeOnlyWithItsAddinAndAnnouncesItself) {
  auto ide = connect("ide", "main");
  auto kernel = connect("kernel", "wb");
  save_module(server->workbooks.at("wb"), "calc", "def f(): pass\n");
  server->workbooks.at("wb").python_paths = json::parse(R"(["/p"])");

  // Without its add-in: no code, but the pushes and the console line (with the workbook id).
  run_timed(on_kernel_connection(*server, kernel, "kernel", "wb"));
  EXPECT_EQ(types(*kernel), (std::vector<std::string>{"com_event_config_update"}));
  EXPECT_EQ(types(*ide), (std::vector<std::string>{"object_registry_update", "log_to_console"}));
  EXPECT_EQ(ide->frames.back(), R"({"type":"log_to_console","content":"Kernell connected for workbook wb"})");

  // With it: modules, then paths, then the pushes; the add-in is re-sent its functions and
  // event configuration (not to be saved).
  auto addin = connect("addin", "wb", "Book 1");
  kernel->frames.clear();
  run_timed(on_kernel_connection(*server, kernel, "kernel", "wb"));
  EXPECT_EQ(types(*kernel), (std::vector<std::string>{"update_module", "set_python_paths", "com_event_config_update"}));
  EXPECT_EQ(types(*addin), (std::vector<std::string>{"sync_custom_functions", "save_event_config_request"}));
  EXPECT_EQ(addin->messages()[1].at("save"), false);
  EXPECT_EQ(ide->frames.back(), R"({"type":"log_to_console","content":"Kernell connected for workbook Book 1"})");
}

TEST_F(Hooks, NewEditorGetsTheListAndEveryEditorEveryWorkbooksState) {
  auto first = connect("ide", "first");
  connect("addin", "wb1", "One");
  connect("addin", "wb2");
  auto second = connect("ide", "second");
  run_timed(on_ide_connection(*server, second, "ide", "second"));
  EXPECT_EQ(types(*second), (std::vector<std::string>{"workbook_list", "event_manager_state", "published_functions_state",
                                                      "workbook_packages_update", "workbook_connected",
                                                      "event_manager_state", "published_functions_state",
                                                      "workbook_packages_update", "workbook_connected"}));
  EXPECT_EQ(types(*first).size(), 8u);  // no list, every state
  EXPECT_EQ(second->messages()[1].at("workbook_id"), "wb1");
  EXPECT_EQ(second->messages()[5].at("workbook_id"), "wb2");
}

}  // namespace
}  // namespace switchyard::testing
