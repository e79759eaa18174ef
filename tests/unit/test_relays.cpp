#include "support.hpp"

#include "switchyard/relays.hpp"

#include <signal.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace switchyard::testing {
namespace {

class Relays : public ServerTest {
 protected:
  // Lines logged by the named logger, as (level, text).
  std::vector<std::pair<spdlog::level::level_enum, std::string>> lines_of(std::string_view logger) {
    std::vector<std::pair<spdlog::level::level_enum, std::string>> out;
    for (auto& line : logs->lines())
      if (line.logger == logger) out.emplace_back(line.level, line.text);
    return out;
  }
};

TEST_F(Relays, AddinMessagesReachItsOwnKernelUnchanged) {
  auto addin = connect("addin", "wb");
  auto kernel = connect("kernel", "wb");
  auto other_kernel = connect("kernel", "wb2");
  const char* relayed[] = {
      R"({"type":"execution_request","code":"1+1","request_id":"e1","extra":{"k":[1,2]}})",
      R"({"type":"excel_response","request_id":"x1","result":null})",
      R"({"type":"sys_response","request_id":"s1","value":"ok"})",
  };
  for (auto text : relayed) dispatch("addin", "wb", obj(text));
  ASSERT_EQ(kernel->frames.size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(kernel->frames[i], relayed[i]);
  EXPECT_TRUE(has_log(spdlog::level::debug, "[Server] Routing sys_response from addin wb to kernel"));
  EXPECT_TRUE(other_kernel->frames.empty());
  EXPECT_TRUE(addin->frames.empty());

  // A workbook without a kernel: nothing is sent, nothing fails.
  connect("addin", "lonely");
  dispatch("addin", "lonely", obj(relayed[0]));

  // A ping is answered to that add-in only, with the server's clock in fractional seconds.
  double before = unix_time();
  dispatch("addin", "wb", obj(R"({"type":"ping"})"));
  ASSERT_EQ(addin->frames.size(), 1u);
  auto pong = addin->messages()[0];
  ASSERT_EQ(pong.size(), 2u);
  EXPECT_EQ(pong.begin()->key(), "type");
  EXPECT_EQ(get_str(pong, "type"), "pong");
  ASSERT_TRUE(pong.at("timestamp").is_double());
  EXPECT_GE(pong.at("timestamp").as_double(), before);
  EXPECT_LE(pong.at("timestamp").as_double(), unix_time());
  EXPECT_EQ(kernel->frames.size(), 3u);
}

TEST_F(Relays, EditorLanguageRequestsHoverModeAndAddinRestart) {
  auto ide = connect("ide", "main");
  auto addin = connect("addin", "wb");
  auto k1 = connect("kernel", "wb");
  auto k2 = connect("kernel", "wb2");
  for (auto type : {"completion_request", "signature_help_request", "diagnostic_request", "hover_request"}) {
    json::object m;
    m["type"] = type;
    m["workbook_id"] = "wb2";
    m["code"] = "pri";
    m["line"] = 1;
    dispatch("ide", "main", m);
    EXPECT_EQ(k2->frames.back(), to_json(m));
  }
  EXPECT_EQ(k2->frames.size(), 4u);
  dispatch("ide", "main", obj(R"({"type":"hover_request","code":"x"})"));
  dispatch("ide", "main", obj(R"({"type":"completion_request","workbook_id":""})"));
  EXPECT_TRUE(has_log(spdlog::level::warn, "Received hover_request from IDE without workbook_id"));
  EXPECT_TRUE(has_log(spdlog::level::warn, "Received completion_request from IDE without workbook_id"));
  EXPECT_TRUE(k1->frames.empty());
  EXPECT_EQ(k2->frames.size(), 4u);

  // Hover mode goes to every kernel in registry order; "compact" by default.
  dispatch("ide", "main", obj(R"({"type":"set_hover_mode"})"));
  dispatch("ide", "main", obj(R"({"type":"set_hover_mode","mode":"detailed"})"));
  EXPECT_EQ(k1->frames, (std::vector<std::string>{R"({"type":"set_hover_mode","mode":"compact"})",
                                                  R"({"type":"set_hover_mode","mode":"detailed"})"}));
  EXPECT_EQ(k2->frames.back(), R"({"type":"set_hover_mode","mode":"detailed"})");
  EXPECT_TRUE(has_log(spdlog::level::debug, "[Server] Broadcasting set_hover_mode to all kernels: compact"));
  // A failing send ends the broadcast: kernels after it get nothing.
  k1->fail_sends = true;
  EXPECT_THROW(run(handle_set_hover_mode(*server, "main", obj(R"({"type":"set_hover_mode","mode":"x"})"))),
               PeerClosedError);
  EXPECT_EQ(k2->frames.back(), R"({"type":"set_hover_mode","mode":"detailed"})");

  // restart_addin: the named workbook, else the editor's own id (normally nobody).
  dispatch("ide", "main", obj(R"({"type":"restart_addin","workbook_id":"wb"})"));
  EXPECT_EQ(addin->frames, std::vector<std::string>{R"({"type":"restart_addin"})"});
  EXPECT_TRUE(has_log(spdlog::level::info, "[BusinessLayer] Received restart_addin request for workbook: wb"));
  EXPECT_TRUE(has_log(spdlog::level::info, "[BusinessLayer] Sent restart_addin to add-in: wb"));
  dispatch("ide", "main", obj(R"({"type":"restart_addin"})"));
  EXPECT_EQ(addin->frames.size(), 1u);
  EXPECT_TRUE(has_log(spdlog::level::info, "[BusinessLayer] Received restart_addin request for workbook: main"));
  EXPECT_TRUE(has_log(spdlog::level::info, "[BusinessLayer] Sent restart_addin to add-in: main"));
  EXPECT_TRUE(ide->frames.empty());
}

TEST_F(Relays, InspectorResultsAndAddinMessagesReachEveryEditor) {
  auto one = connect("ide", "one");
  auto two = connect("ide", "two");
  auto addin = connect("addin", "wb");
  const char* result =
      R"({"type":"function_at_position_result","request_id":"r9","function_name":"f","error":null})";
  dispatch("inspector", "main", obj(result));
  dispatch("inspector", "main", obj(R"({"type":"validate_syntax_result","ok":true})"));
  EXPECT_EQ(one->frames.at(0), result);
  EXPECT_EQ(two->frames.at(0), result);
  EXPECT_EQ(two->frames.at(1), R"({"type":"validate_syntax_result","ok":true})");
  EXPECT_TRUE(has_log(spdlog::level::debug, "Forwarded function_at_position_result to IDE"));

  // 60 characters, some of them beyond ASCII: the log shows the first 50 characters.
  std::string text = "\xc3\xa9t\xc3\xa9 " + std::string(56, 'x');
  json::object m;
  m["type"] = "message_ide";
  m["message"] = text;
  dispatch("addin", "wb", m);
  json::object expected;
  expected["type"] = "message_ide";
  expected["message"] = text;
  expected["from_client"] = "wb";
  EXPECT_EQ(one->frames.at(2), to_json(expected));
  EXPECT_EQ(two->frames.at(2), to_json(expected));
  EXPECT_TRUE(has_log(spdlog::level::info, "[BusinessLayer] Received message_ide from wb"));
  EXPECT_TRUE(has_log(spdlog::level::debug,
                      "[BusinessLayer] Forwarded message_ide to IDE: " + text.substr(0, 52) + "..."));
  dispatch("addin", "wb", obj(R"({"type":"message_ide"})"));
  EXPECT_EQ(one->frames.at(3), R"({"type":"message_ide","message":"","from_client":"wb"})");
  EXPECT_TRUE(addin->frames.empty());
}

TEST_F(Relays, SettingsRoundTripThroughTheStoreAndTheFile) {
  auto one = connect("ide", "one");
  auto two = connect("ide", "two");
  dispatch("ide", "one",
           obj(R"({"type":"set_setting","request_id":"s1","path":"editor.theme","value":{"name":"dark","size":12}})"));
  const char* saved = R"({"type":"setting_saved","request_id":"s1","path":"editor.theme","success":true})";
  EXPECT_EQ(one->frames.at(0), saved);
  EXPECT_EQ(two->frames.at(0), saved);
  std::ifstream file(home / ".corvane" / "settings.json");
  std::string on_disk((std::istreambuf_iterator<char>(file)), {});
  EXPECT_EQ(json::parse(on_disk), json::parse(R"({"editor":{"theme":{"name":"dark","size":12}}})"));

  // Both editors receive the answer to one editor's question, with its request id.
  dispatch("ide", "two", obj(R"({"type":"get_settings","request_id":"g1","path":"editor.theme"})"));
  const char* answer = R"({"type":"settings_response","request_id":"g1","path":"editor.theme","value":{"name":"dark","size":12}})";
  EXPECT_EQ(one->frames.at(1), answer);
  EXPECT_EQ(two->frames.at(1), answer);
  dispatch("ide", "two", obj(R"({"type":"get_settings"})"));
  EXPECT_EQ(two->frames.at(2), R"({"type":"settings_response","request_id":null,"path":"","value":null})");

  dispatch("ide", "one", obj(R"({"type":"get_all_settings","request_id":"a1","initial":true})"));
  EXPECT_EQ(one->frames.at(3),
            R"({"type":"all_settings_response","request_id":"a1","initial":true,"settings":{"editor":{"theme":{"name":"dark","size":12}}}})");
  dispatch("ide", "one", obj(R"({"type":"get_all_settings"})"));
  EXPECT_EQ(two->frames.at(4),
            R"({"type":"all_settings_response","request_id":null,"initial":false,"settings":{"editor":{"theme":{"name":"dark","size":12}}}})");
}

TEST_F(Relays, SetSettingReportsWhatWasNotSaved) {
  auto ide = connect("ide", "one");
  dispatch("ide", "one", obj(R"({"type":"set_setting","request_id":"n1","value":1})"));
  dispatch("ide", "one", obj(R"({"type":"set_setting","request_id":"n2","path":"","value":1})"));
  dispatch("ide", "one", obj(R"({"type":"set_setting","request_id":"n3","path":7,"value":1})"));
  EXPECT_EQ(ide->frames.at(0), R"({"type":"setting_saved","request_id":"n1","path":null,"success":false})");
  EXPECT_EQ(ide->frames.at(1), R"({"type":"setting_saved","request_id":"n2","path":"","success":false})");
  EXPECT_EQ(ide->frames.at(2), R"({"type":"setting_saved","request_id":"n3","path":7,"success":false})");
  EXPECT_TRUE(server->settings_manager.get_all().empty());
  EXPECT_FALSE(std::filesystem::exists(home / ".corvane" / "settings.json"));

  // The settings directory cannot hold a file (even for root): the write fails.
  std::filesystem::remove_all(home / ".corvane");
  std::ofstream(home / ".corvane") << "not a directory";
  dispatch("ide", "one", obj(R"({"type":"set_setting","request_id":"w1","path":"a.b","value":true})"));
  EXPECT_EQ(ide->frames.at(3), R"({"type":"setting_saved","request_id":"w1","path":"a.b","success":false})");
}

TEST_F(Relays, AddinLogLinesGoToOneLoggerPerScript) {
  dispatch("addin", "wb", obj(R"j({"type":"log_entry","level":"warning","timestamp":"t",
      "messages":["Loaded", {"rows":[1,2],"ok":true}],
      "caller":"at init (https://localhost:3000/app.js:120:15)"})j"));
  dispatch("addin", "wb", obj(R"({"type":"log_entry","level":"Error","messages":["x"],
      "caller":"https://h/dist/vendor.jsonp.js:1:2 at https://h/b.js:3:4"})"));
  dispatch("addin", "wb", obj(R"({"type":"log_entry","level":"INFO","messages":[1.5, false, null, "s"],
      "caller":"https://h/app.js"})"));
  dispatch("addin", "wb", obj(R"({"type":"log_entry","level":"WARN","messages":[[]]})"));
  dispatch("addin", "wb", obj(R"({"type":"log_entry"})"));
  using L = spdlog::level::level_enum;
  using Lines = std::vector<std::pair<L, std::string>>;
  EXPECT_EQ(lines_of("addin.app"), (Lines{{L::warn, R"(Loaded {"rows": [1, 2], "ok": true})"}}));
  // The leftmost script; every ".js" is removed from its name.
  EXPECT_EQ(lines_of("addin.vendoronp"), (Lines{{L::err, "x"}}));
  EXPECT_TRUE(lines_of("addin.b").empty());
  // No line and column: the plain "addin" logger; WARN is not a level name and logs as debug.
  EXPECT_EQ(lines_of("addin"), (Lines{{L::info, "1.5 False None s"}, {L::debug, "[]"}, {L::debug, ""}}));
}

TEST_F(Relays, PushesToEditors) {
  auto one = connect("ide", "one");
  auto two = connect("ide", "two");
  run(send_workbook_list_to_ide(*server));
  EXPECT_EQ(one->frames.at(0), R"({"type":"workbook_list","workbooks":[]})");
  connect("addin", "wb2", "Book2.xlsx");
  connect("addin", "wb1");
  save_module(server->workbooks.at("wb2"), "m", "x = 1");
  run(send_workbook_list_to_ide(*server, two));
  EXPECT_EQ(two->frames.at(1),
            R"({"type":"workbook_list","workbooks":[{"id":"wb2","name":"Book2.xlsx","modules":{"m":"x = 1"}},{"id":"wb1","name":"Untitled","modules":{}}]})");
  EXPECT_EQ(one->frames.size(), 1u);

  run(_push_object_clear(*server, "wb2"));
  EXPECT_EQ(one->frames.at(1), R"({"type":"object_registry_update","action":"clear_all","workbook_id":"wb2"})");
  EXPECT_EQ(two->frames.at(2), one->frames.at(1));
  EXPECT_TRUE(has_log(spdlog::level::debug, "Pushed object clear to IDE for: wb2"));
  run(_push_object_clear(*server, "wb1", one));
  EXPECT_EQ(one->frames.at(2), R"({"type":"object_registry_update","action":"clear_all","workbook_id":"wb1"})");
  EXPECT_TRUE(has_log(spdlog::level::debug, "Pushed object clear to IDE websocket for: wb1"));

  run(_push_message_to_ide_console(*server, "Kernel ready"));
  run(_push_message_to_ide_console(*server, "Failed", "red", two));
  EXPECT_EQ(one->frames.at(3), R"({"type":"log_to_console","content":"Kernel ready"})");
  EXPECT_EQ(two->frames.at(4), R"({"type":"log_to_console","content":"Failed","color":"red"})");
  EXPECT_TRUE(has_log(spdlog::level::debug, "Pushed console message to IDE"));
  EXPECT_TRUE(has_log(spdlog::level::debug, "Pushed console message to IDE websocket"));

  // A failing target is logged and swallowed.
  two->fail_sends = true;
  run(_push_object_clear(*server, "wb1", two));
  run(_push_message_to_ide_console(*server, "x", {}, two));
  run(send_workbook_list_to_ide(*server, two));
  EXPECT_TRUE(has_log(spdlog::level::err, "Error pushing object clear: send failed"));
  EXPECT_TRUE(has_log(spdlog::level::err, "Error pushing console message: send failed"));
  two->fail_sends = false;

  // A workbook's state goes to the target only; the modules state comes last.
  std::size_t before = one->frames.size();
  run(send_workbook_info_to_ide(*server, "wb2", two));
  EXPECT_EQ(two->frames.back(), R"({"type":"workbook_connected","workbook_id":"wb2","modules":{"m":"x = 1"},"name":"Book2.xlsx"})");
  EXPECT_EQ(one->frames.size(), before);
}

// ---- the editor supervisor, with a stand-in editor program

bool running(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  auto paren = text.rfind(')');
  return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] != 'Z';
}

// Lines of a file, each split at spaces.
std::vector<std::vector<std::string>> records(const std::filesystem::path& file) {
  std::vector<std::vector<std::string>> out;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> words;
    std::istringstream split(line);
    for (std::string w; split >> w;) words.push_back(w);
    out.push_back(words);
  }
  return out;
}

TEST_F(Relays, EditorControlOverTheSupervisor) {
  auto ide = connect("ide", "main");
  // Before the host set up a supervisor.
  dispatch("addin", "wb", obj(R"({"type":"show_ide"})"));
  dispatch("addin", "wb", obj(R"({"type":"kill_ide"})"));
  EXPECT_TRUE(has_log(spdlog::level::err, "IDE manager not initialized"));
  EXPECT_TRUE(has_log(spdlog::level::info, "[BusinessLayer] Received kill_ide from wb"));
  EXPECT_TRUE(has_log(spdlog::level::warn, "[BusinessLayer] IDE manager not initialized"));

  // No editor command configured: nothing can start.
  server->initialize_ide_manager(8000, 8001, "secret-token", 8002);
  dispatch("addin", "wb", obj(R"({"type":"show_ide"})"));
  dispatch("addin", "wb", obj(R"({"type":"kill_ide"})"));
  EXPECT_TRUE(has_log(spdlog::level::info, "Received show_ide request from addin: wb"));
  EXPECT_TRUE(has_log(spdlog::level::err, "Failed to start IDE"));
  EXPECT_TRUE(has_log(spdlog::level::err, "[BusinessLayer] Failed to restart IDE"));
  EXPECT_TRUE(ide->frames.empty());

  // A stand-in editor: records its environment and pid, and keeps a child in its group.
  auto script = home / "editor.sh";
  auto record = home / "editor.log";
  std::ofstream(script) << "echo \"$CORVANE_SERVER_PORT $CORVANE_WATCHDOG_PORT $CORVANE_DOCS_PORT "
                           "$CORVANE_AUTH_TOKEN $$\" >> \"$1\"\n"
                           "sleep 30 &\necho \"$!\" >> \"$1.children\"\nwait\n";
  json::array command{"/bin/sh", script.string(), record.string()};
  ASSERT_TRUE(server->settings_manager.set("ide.command", command));

  dispatch("addin", "wb", obj(R"({"type":"show_ide"})"));
  EXPECT_EQ(ide->frames, std::vector<std::string>{R"({"type":"show_ide"})"});
  EXPECT_TRUE(has_log(spdlog::level::info, "Sent show_ide message to IDE"));
  dispatch("addin", "wb", obj(R"({"type":"show_ide"})"));  // already running: not started again
  EXPECT_EQ(ide->frames.size(), 2u);
  auto first = server->ide_manager->child();
  ASSERT_TRUE(first);
  ASSERT_TRUE(wait_for([&] { return !records(record.string() + ".children").empty(); }));
  auto started = records(record);
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0], (std::vector<std::string>{"8000", "8001", "8002", "secret-token", std::to_string(first->pid())}));
  pid_t first_child = std::stoi(records(record.string() + ".children").at(0).at(0));
  EXPECT_EQ(::getpgid(first_child), first->pid());  // the editor leads its own group

  // kill_ide stops the whole group and starts the editor again.
  dispatch("addin", "wb", obj(R"({"type":"kill_ide"})"));
  EXPECT_TRUE(has_log(spdlog::level::info, "[BusinessLayer] IDE killed and restarted successfully"));
  EXPECT_TRUE(wait_for([&] { return !running(first->pid()); }));
  EXPECT_TRUE(wait_for([&] { return !running(first_child); }));
  auto second = server->ide_manager->child();
  ASSERT_TRUE(second);
  EXPECT_NE(second->pid(), first->pid());
  EXPECT_TRUE(second->alive());

  server->ide_manager->stop();
  EXPECT_TRUE(wait_for([&] { return !running(second->pid()); }));
  EXPECT_FALSE(server->ide_manager->child());
}

}  // namespace
}  // namespace switchyard::testing
