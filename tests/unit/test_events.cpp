#include "support.hpp"

#include "switchyard/events.hpp"
#include "switchyard/py_repr.hpp"

#include <boost/asio/detached.hpp>

#include <fstream>
#include <sstream>

namespace switchyard::testing {
namespace {

class Events : public ServerTest {
 protected:
  // Runs the message's handler while the add-in of `workbook_id` answers every request it gets
  // with the next of `replies` (sent back through the dispatcher with the request's id); later
  // requests stay unanswered.
  void dispatch_answering(const std::string& type, const std::string& id, json::object message, FakePeer& addin,
                          const std::string& workbook_id, std::vector<json::object> replies) {
    std::size_t seen = addin.frames.size(), next = 0;
    run_timed(handle_message(*server, type, id, std::move(message)), [&] {
      for (; seen < addin.frames.size(); ++seen) {
        auto request = json::parse(addin.frames[seen]).as_object();
        if (next == replies.size() || !request.contains("requestId")) continue;
        json::object reply = replies[next++];
        reply["requestId"] = request["requestId"];  // the add-in answers with its own key only
        asio::co_spawn(ioc, handle_message(*server, "addin", workbook_id, std::move(reply)), asio::detached);
      }
    });
  }

  // The workbook's handler bindings (none when the workbook was never seen).
  const HandlerRegistry& handlers_of(std::string_view workbook_id) {
    static const HandlerRegistry none;
    const Workbook* wb = server->workbooks.find(workbook_id);
    return wb ? wb->handlers : none;
  }

  static std::string without_ids(json::object m) {
    m.erase("requestId");  // the last two keys: erasing from the end keeps the order
    m.erase("request_id");
    return json::serialize(m);
  }
  static json::object ok() { return obj(R"({"type":"register_handler_response","success":true})"); }
};

// A merged event as the editors see it.
std::string ev(std::string_view name, std::string_view type, std::string_view arg_type, std::string_view function,
               bool com = false, std::string_view args = "[]") {
  return std::string(R"({"name":")") + std::string(name) + R"(","type":")" + std::string(type) +
         R"(","arg_type":")" + std::string(arg_type) + R"(","com_args":)" + std::string(args) +
         R"(,"is_com":)" + (com ? "true" : "false") + R"(,"python_function":")" + std::string(function) + R"("})";
}

TEST(ComKey, MatchesPythonReprOfTheGoldenVectors) {
  std::ifstream in(std::string(SWITCHYARD_SOURCE_DIR) + "/tests/unit/data/com_key_vectors.json");
  std::stringstream text;
  text << in.rdbuf();
  auto doc = json::parse(text.str()).as_object();
  const auto& vectors = doc.at("vectors").as_array();
  ASSERT_GE(vectors.size(), 60u);
  for (const auto& v : vectors) {
    const auto& o = v.as_object();
    EXPECT_EQ(python_pair_repr(o.at("object_id").as_string(), o.at("event_name").as_string()),
              std::string_view(o.at("key").as_string()))
        << to_ascii_json(v);
  }
}

TEST_F(Events, ViewModelMergesTreesDefinitionsAndBothRegistries) {
  auto addin = connect("addin", "wb", "Book", obj(R"({"platform":"win32"})"));
  auto ide = connect("ide", "one");
  auto& handlers = server->workbooks.at("wb").handlers;
  handlers.set("Sheet1", "onSelectionChanged", obj(R"({"module_name":"m","function_name":"f","object_type":"W"})"));
  handlers.set("Sheet1", "onChanged", obj(R"({"module_name":"m","function_name":"","object_type":"W"})"));
  handlers.set("Ghost", "onX", obj(R"({"module_name":"m","function_name":"x","object_type":"W"})"));
  server->workbooks.at("wb").win32_handlers.set("Sheet1", "SelectionChange",
                                        obj(R"({"module_name":"c","function_name":"g","object_type":"W"})"));
  auto last_view = [&] {
    auto states = ide->of_type("event_manager_state");
    return states.empty() ? std::string() : json::serialize(states.back().at("view_model"));
  };

  // Definitions and handlers without a tree: no node. The count is of add-in-level bindings only.
  dispatch("addin", "wb", obj(R"({"type":"event_definitions_update","definitions":{"Worksheet":[
      {"eventType":"sheet","eventName":"onSelectionChanged","eventArgsType":"SelArgs"},
      {"eventType":"sheet","eventName":"onChanged"},
      {"eventType":"other","eventName":"onSelectionChanged","eventArgsType":"X"}]}})"));
  settle();
  EXPECT_EQ(last_view(), "[]");
  EXPECT_TRUE(has_log(spdlog::level::info, "Received event definitions for: wb"));
  EXPECT_TRUE(has_log(spdlog::level::debug, "Pushed merged event manager state to IDE for: wb. 3 handlers."));

  // A tree: a type without definitions still lists its children; one event name defined twice
  // shows the bound function twice; an empty function name shows no function. The COM tree is
  // empty, so a win32 add-in still gets one node.
  dispatch("addin", "wb", obj(R"({"type":"workbook_structure_update","tree":{"type":"Workbook","id":"Book","name":"Book1",
      "children":[{"type":"Worksheet","id":"Sheet1","name":"Sheet1"},
                  {"type":"Chart","id":"Chart1","name":"Chart 1","children":[{"type":"Worksheet","id":"Sheet2","name":"Sheet2"}]}]}})"));
  settle();
  const std::string addin_node =
      R"({"id":"Book","name":"Book1","type":"Workbook","events":[],"children":[)"
      R"({"id":"Sheet1","name":"Sheet1","type":"Worksheet","events":[)" +
      ev("onSelectionChanged", "sheet", "SelArgs", "m.f") + "," + ev("onChanged", "sheet", "", "") + "," +
      ev("onSelectionChanged", "other", "X", "m.f") + R"(],"children":[]},)" +
      R"({"id":"Chart1","name":"Chart 1","type":"Chart","events":[],"children":[)"
      R"({"id":"Sheet2","name":"Sheet2","type":"Worksheet","events":[)" +
      ev("onSelectionChanged", "sheet", "SelArgs", "") + "," + ev("onChanged", "sheet", "", "") + "," +
      ev("onSelectionChanged", "other", "X", "") + R"(],"children":[]}]}]})";
  EXPECT_EQ(last_view(), "[" + addin_node + "]");

  // The kernel reports the COM level: a second node, after the add-in's.
  auto kernel = std::make_shared<FakePeer>();
  asio::co_spawn(ioc, websocket_endpoint(*server, kernel, "kernel", "wb", {}), asio::detached);
  settle();
  dispatch("kernel", "wb", obj(R"({"type":"win32_event_definitions","definitions":{"Worksheet":[
      {"eventType":"com","eventName":"SelectionChange","eventArgsType":"Range","args":[{"name":"Target"}]}]}})"));
  dispatch("kernel", "wb", obj(R"({"type":"win32_workbook_tree_update","tree":{"type":"Worksheet","id":"Sheet1","name":"Sheet1"}})"));
  EXPECT_EQ(last_view(), "[" + addin_node + R"(,{"id":"Sheet1","name":"Sheet1","type":"Worksheet","events":[)" +
                             ev("SelectionChange", "com", "Range", "c.g", true, R"([{"name":"Target"}])") +
                             R"(],"children":[]}])");
  EXPECT_TRUE(has_log(spdlog::level::info, "Stored Win32 event definitions for wb"));
  EXPECT_TRUE(has_log(spdlog::level::debug, "Updated Win32 workbook tree for wb"));

  // The COM tree and definitions go with the kernel; the COM bindings stay.
  kernel->push_incoming(std::nullopt);
  settle();
  run(_push_event_manager_state(*server, "wb"));
  EXPECT_EQ(last_view(), "[" + addin_node + "]");
  EXPECT_EQ(server->workbooks.at("wb").win32_handlers.size(), 1u);

  // An add-in that is not on win32: the COM stores are ignored even when filled.
  connect("addin", "mac", "", obj(R"({"platform":"darwin"})"));
  store_workbook_tree(*server, "mac", json::parse(R"({"type":"T","id":"a"})"));
  store_workbook_tree(*server, "mac", json::parse(R"({"type":"T","id":"b"})"), true);
  ide->frames.clear();
  run(_push_event_manager_state(*server, "mac", ide));
  EXPECT_EQ(ide->frames.at(0),
            R"({"type":"event_manager_state","workbook_id":"mac","view_model":[{"id":"a","name":"","type":"T","events":[],"children":[]}]})");
  EXPECT_TRUE(has_log(spdlog::level::debug, "Pushed merged event manager state to IDE websocket for: mac. 0 handlers."));
}

TEST_F(Events, RegistrationIsConfirmedByTheAddinAndReachesEveryEditor) {
  auto addin = connect("addin", "wb");
  auto kernel = connect("kernel", "wb");
  auto ide1 = connect("ide", "one");
  auto ide2 = connect("ide", "two");
  store_workbook_tree(*server, "wb", json::parse(R"({"type":"Worksheet","id":"Sheet1","name":"Sheet1"})"));
  store_event_definitions(*server, "wb", json::parse(R"({"Worksheet":[{"eventType":"s","eventName":"onSelectionChanged"}]})"));
  auto reg = [&](std::string_view event, std::string_view module, std::string_view function, bool com,
                 json::object reply) {
    std::string text = R"({"type":"register_handler","workbook_id":"wb","object_type":"Worksheet","object_id":"Sheet1",)"
                       R"("event_name":")" + std::string(event) + R"(","module_name":")" + std::string(module) +
                       R"(","function_name":")" + std::string(function) + R"(","is_com":)" + (com ? "true" : "null") + "}";
    dispatch_answering("ide", "one", obj(text), *addin, "wb", {std::move(reply)});
  };

  reg("onSelectionChanged", "m", "f", false, ok());
  auto request = addin->messages().at(0);
  EXPECT_EQ(request.at("request_id"), request.at("requestId"));
  EXPECT_EQ(without_ids(request),
            R"({"type":"register_handler_request","object_type":"Worksheet","object_id":"Sheet1",)"
            R"("event_name":"onSelectionChanged","module_name":"m","function_name":"f","is_com":false})");
  for (auto& ide : {ide1, ide2}) {
    ASSERT_EQ(ide->frames.size(), 2u);
    EXPECT_EQ(ide->frames[0], R"({"type":"event_manager_state","workbook_id":"wb","view_model":[)"
                              R"({"id":"Sheet1","name":"Sheet1","type":"Worksheet","events":[)" +
                                  ev("onSelectionChanged", "s", "", "m.f") + R"(],"children":[]}]})");
    EXPECT_EQ(ide->frames[1], R"({"type":"register_handler_result","workbook_id":"wb","object_id":"Sheet1",)"
                              R"("event_name":"onSelectionChanged","success":true})");
  }
  EXPECT_TRUE(kernel->frames.empty());
  EXPECT_TRUE(has_log(spdlog::level::info, "Registering handler: wb/Worksheet[Sheet1].onSelectionChanged -> m.f"));

  // A second binding, then the first rebound: it keeps its place.
  reg("onChanged", "m", "g", false, ok());
  reg("onSelectionChanged", "m2", "h", false, ok());
  EXPECT_EQ(json::serialize(_events_from_ide_to_addin(server->workbooks.at("wb").handlers)),
            R"({"Sheet1":{"ObjectType":"Worksheet","events":{)"
            R"("onSelectionChanged":{"module_name":"m2","function_name":"h","object_type":"Worksheet"},)"
            R"("onChanged":{"module_name":"m","function_name":"g","object_type":"Worksheet"}}}})");

  // A COM binding creates the workbook's COM map, leaves the add-in level as it was, and the
  // kernel is given the COM configuration.
  reg(R"(It's \"x\")", "c", "k", true, ok());
  EXPECT_EQ(server->workbooks.at("wb").handlers.size(), 2u);
  ASSERT_EQ(server->workbooks.at("wb").win32_handlers.size(), 1u);
  ASSERT_EQ(kernel->frames.size(), 1u);
  auto com = kernel->messages()[0];
  EXPECT_EQ(com.at("request_id"), com.at("requestId"));
  EXPECT_EQ(com.at("request_id").as_string().size(), 36u);
  EXPECT_EQ(without_ids(com), R"({"type":"com_event_config_update","workbook_id":"wb","com_config":{)"
                              R"j("('Sheet1', 'It\\'s \"x\"')":{"module_name":"c","function_name":"k","object_type":"Worksheet"}}})j");

  // Unbinding a pair the server does not hold still asks the add-in, and pushes on success.
  ide1->frames.clear();
  dispatch_answering("ide", "one", obj(R"({"type":"unregister_handler","workbook_id":"wb","object_id":"Nope","event_name":"e"})"),
                     *addin, "wb", {ok()});
  EXPECT_EQ(without_ids(addin->messages().back()),
            R"({"type":"unregister_handler_request","object_id":"Nope","event_name":"e","is_com":false})");
  ASSERT_EQ(ide1->frames.size(), 2u);
  EXPECT_EQ(get_str(ide1->messages()[0], "type"), "event_manager_state");
  EXPECT_EQ(ide1->frames[1], R"({"type":"unregister_handler_result","workbook_id":"wb","object_id":"Nope","event_name":"e","success":true})");
  dispatch_answering("ide", "one", obj(R"({"type":"unregister_handler","workbook_id":"wb","object_id":"Sheet1","event_name":"onSelectionChanged"})"),
                     *addin, "wb", {ok()});
  EXPECT_FALSE(server->workbooks.at("wb").handlers.find("Sheet1", "onSelectionChanged"));
  EXPECT_TRUE(server->workbooks.at("wb").handlers.find("Sheet1", "onChanged"));
}

TEST_F(Events, RefusedSilentOrAbsentAddinGivesFalseAndChangesNothing) {
  auto addin = connect("addin", "wb");
  auto ide = connect("ide", "one");
  auto& m = server->manager;
  const std::string request =
      R"({"type":"register_handler","workbook_id":"wb","object_type":"T","object_id":"o","event_name":"e","module_name":"m","function_name":"f"})";
  const std::string failed = R"({"type":"register_handler_result","workbook_id":"wb","object_id":"o","event_name":"e","success":false})";

  dispatch_answering("ide", "one", obj(request), *addin, "wb", {obj(R"({"type":"register_handler_response"})")});
  EXPECT_EQ(ide->frames, std::vector<std::string>{failed});  // no state push
  EXPECT_TRUE(handlers_of("wb").empty());

  dispatch_answering("ide", "one", obj(request), *addin, "wb", {});
  EXPECT_EQ(ide->frames.back(), failed);
  EXPECT_TRUE(has_log(spdlog::level::warn, "Error registering handler: Timeout waiting for response from addin wb"));
  EXPECT_TRUE(m._pending_requests.empty());

  dispatch("ide", "one", obj(R"({"type":"register_handler","workbook_id":"gone","object_type":"T","object_id":"o","event_name":"e","module_name":"m","function_name":"f"})"));
  EXPECT_TRUE(has_log(spdlog::level::warn, "Error registering handler: addin gone not connected"));
  EXPECT_EQ(ide->frames.back(), R"({"type":"register_handler_result","workbook_id":"gone","object_id":"o","event_name":"e","success":false})");

  // Incomplete requests go nowhere.
  std::size_t sent = addin->frames.size() + ide->frames.size();
  dispatch("ide", "one", obj(R"({"type":"register_handler","workbook_id":"wb","object_type":"T","object_id":"o","event_name":"e","module_name":"m","function_name":""})"));
  dispatch("ide", "one", obj(R"({"type":"unregister_handler","workbook_id":"wb","object_id":"o"})"));
  EXPECT_TRUE(has_log(spdlog::level::warn, "Received register_handler from IDE with missing parameters"));
  EXPECT_TRUE(has_log(spdlog::level::warn, "Received unregister_handler from IDE with missing parameters"));
  EXPECT_EQ(addin->frames.size() + ide->frames.size(), sent);
  EXPECT_TRUE(handlers_of("wb").empty());
}

TEST_F(Events, RenameRebindsEachCompleteEventToTheNewModule) {
  auto addin = connect("addin", "wb");
  auto ide = connect("ide", "one");
  dispatch_answering("ide", "one", obj(R"({"type":"rename_module_in_events","workbook_id":"wb","old_module_name":"old",
      "new_module_name":"new","events":[
        {"object_type":"W","object_id":"Sheet1","event_name":"onChanged","function_name":"f"},
        {"object_type":"W","object_id":"Sheet2","event_name":"onChanged"},
        "junk",
        {"object_type":"W","object_id":"Sheet1","event_name":"Change","function_name":"g","is_com":true}]})"),
                     *addin, "wb", {ok(), ok(), ok(), ok()});
  std::vector<std::string> asked;
  for (auto& r : addin->messages())
    asked.push_back(std::string(get_str(r, "type")) + " " + std::string(get_str(r, "object_id")) + "." +
                    std::string(get_str(r, "event_name")) + " " + std::string(get_str(r, "module_name")) +
                    (r.at("is_com").as_bool() ? " com" : ""));
  EXPECT_EQ(asked, (std::vector<std::string>{"unregister_handler_request Sheet1.onChanged ",
                                             "register_handler_request Sheet1.onChanged new",
                                             "unregister_handler_request Sheet1.Change  com",
                                             "register_handler_request Sheet1.Change new com"}));
  EXPECT_TRUE(has_log(spdlog::level::warn,
                      "[BusinessLayer] Skipping event with missing parameters: "
                      "{'object_type': 'W', 'object_id': 'Sheet2', 'event_name': 'onChanged'}"));
  EXPECT_TRUE(has_log(spdlog::level::warn, "[BusinessLayer] Skipping event with missing parameters: junk"));
  EXPECT_TRUE(has_log(spdlog::level::info, "[BusinessLayer] Renaming module in 4 event handler(s): old -> new"));
  EXPECT_TRUE(has_log(spdlog::level::info, "[BusinessLayer] Successfully updated event handlers for module rename"));
  EXPECT_TRUE(ide->of_type("register_handler_result").empty());
  EXPECT_TRUE(ide->of_type("unregister_handler_result").empty());
  EXPECT_EQ(py_member(*server->workbooks.at("wb").handlers.find("Sheet1", "onChanged"), "module_name"), "new");
  EXPECT_EQ(py_member(*server->workbooks.at("wb").win32_handlers.find("Sheet1", "Change"), "function_name"), "g");

  dispatch("ide", "one", obj(R"({"type":"rename_module_in_events","workbook_id":"wb","old_module_name":"a","new_module_name":"b"})"));
  EXPECT_TRUE(has_log(spdlog::level::debug, "[BusinessLayer] No events to update for module rename: a -> b"));
  dispatch("ide", "one", obj(R"({"type":"rename_module_in_events","workbook_id":"wb","old_module_name":"a","events":[{}]})"));
  EXPECT_TRUE(has_log(spdlog::level::warn, "Received rename_module_in_events from IDE with missing parameters"));
}

TEST_F(Events, ConversionsSkipMalformedObjectsAndRoundTrip) {
  // An add-in configuration with objects the conversion cannot use: they are skipped, by name.
  auto config = json::parse(R"({
      "Sheet1":{"ObjectType":"Worksheet","events":{"onChanged":{"module_name":"m","function_name":"f","extra":1},
                                                   "onSel":{"module_name":"m","function_name":"g"}}},
      "NoType":{"events":{"e":{"module_name":"m","function_name":"f"}}},
      "BadEvents":{"ObjectType":"Table","events":["e"]},
      "Book":{"ObjectType":"Workbook","events":{"onOpen":"f","onClose":{"module_name":"m","function_name":"h","object_type":"stale"}}},
      "Text":"x"})");
  HandlerRegistry registry = _events_from_addin_to_ide(*server, config);
  for (auto text : {"Skipping events configuration of object 'NoType': no ObjectType",
                    "Skipping events configuration of object 'Text': no ObjectType",
                    "Skipping events configuration of object 'BadEvents': its events are not an object",
                    "Skipping handler 'Book'.'onOpen': its entry is not an object"})
    EXPECT_TRUE(has_log(spdlog::level::warn, text)) << text;
  const std::string addin_form =
      R"({"Sheet1":{"ObjectType":"Worksheet","events":{)"
      R"("onChanged":{"module_name":"m","function_name":"f","extra":1,"object_type":"Worksheet"},)"
      R"("onSel":{"module_name":"m","function_name":"g","object_type":"Worksheet"}}},)"
      R"("Book":{"ObjectType":"Workbook","events":{"onClose":{"module_name":"m","function_name":"h","object_type":"Workbook"}}}})";
  EXPECT_EQ(json::serialize(_events_from_ide_to_addin(registry)), addin_form);
  EXPECT_EQ(json::serialize(_events_from_ide_to_addin(_events_from_addin_to_ide(*server, json::parse(addin_form)))),
            addin_form);
  EXPECT_TRUE(_events_from_addin_to_ide(*server, json::parse("[1]")).empty());
  EXPECT_TRUE(has_log(spdlog::level::warn, "Ignoring an events configuration that is not an object"));

  // The first entry of an object id decides the object's type.
  HandlerRegistry mixed;
  mixed.set("X", "a", obj(R"({"object_type":"A"})"));
  mixed.set("Y", "b", obj(R"({"object_type":"B"})"));
  mixed.set("X", "c", obj(R"({"object_type":"C"})"));
  EXPECT_EQ(json::serialize(_events_from_ide_to_addin(mixed)),
            R"({"X":{"ObjectType":"A","events":{"a":{"object_type":"A"},"c":{"object_type":"C"}}},)"
            R"("Y":{"ObjectType":"B","events":{"b":{"object_type":"B"}}}})");

  // The configuration push: the given registry, the stored COM one, a fresh id, the save flag.
  auto addin = connect("addin", "wb");
  server->workbooks.at("wb").win32_handlers = mixed;
  run(_push_events_config_to_addin(*server, "wb", &registry, false));
  auto pushed = addin->messages().at(0);
  EXPECT_EQ(pushed.at("request_id"), pushed.at("requestId"));
  pushed.erase("save");
  EXPECT_EQ(without_ids(pushed), R"({"type":"save_event_config_request","workbook_id":"wb","config":)" + addin_form +
                                     R"(,"com_config":)" + json::serialize(_events_from_ide_to_addin(mixed)) + "}");
  EXPECT_FALSE(addin->messages().at(0).at("save").as_bool());
  EXPECT_TRUE(has_log(spdlog::level::debug, "Pushed events configuration to IDE for: wb"));
}

TEST_F(Events, WrongTypesFromPeersAreTreatedAsAbsent) {
  auto addin = connect("addin", "wb");
  auto ide = connect("ide", "one");
  dispatch("addin", "wb", obj(R"({"type":"workbook_structure_update","tree":[{"type":"T"}]})"));
  dispatch("addin", "wb", obj(R"({"type":"event_definitions_update","definitions":"T"})"));
  settle();
  EXPECT_TRUE(has_log(spdlog::level::warn, "Ignoring the workbook tree for wb: not an object"));
  EXPECT_TRUE(has_log(spdlog::level::warn, "Ignoring the event definitions for wb: not an object"));
  EXPECT_TRUE(server->workbooks.at("wb").tree->empty());
  EXPECT_EQ(json::serialize(ide->of_type("event_manager_state").back().at("view_model")), "[]");

  dispatch("addin", "wb", obj(R"({"type":"workbook_structure_update","tree":{"type":"T","id":7,"children":[
      5, {"type":"T","id":"c","children":"none"}]}})"));
  dispatch("addin", "wb", obj(R"({"type":"event_definitions_update","definitions":{"T":[1,{"eventName":"e","eventType":2,"args":"a"}],"U":"x"}})"));
  settle();
  EXPECT_EQ(json::serialize(ide->of_type("event_manager_state").back().at("view_model")),
            R"([{"id":"","name":"","type":"T","events":[)" + ev("e", "", "", "") +
                R"(],"children":[{"id":"c","name":"","type":"T","events":[)" + ev("e", "", "", "") +
                R"(],"children":[]}]}])");
  EXPECT_TRUE(has_log(spdlog::level::warn, "Ignoring a child of a node of the workbook tree for wb: not an object"));
  EXPECT_TRUE(has_log(spdlog::level::warn,
                      "Ignoring 'args' of a definition of type 'T' in the event definitions for wb: not a list"));

  // A tree nested past the JSON depth cap is refused with the message that carries it.
  auto peer = std::make_shared<FakePeer>();
  asio::co_spawn(ioc, websocket_endpoint(*server, peer, "addin", "deep", {}), asio::detached);
  settle();
  std::string deep = R"({"type":"T","id":"x"})";
  for (int i = 0; i < 40; ++i) deep = R"({"type":"T","children":[)" + deep + "]}";
  peer->push_incoming(R"({"type":"workbook_structure_update","tree":)" + deep + "}");
  peer->push_incoming(std::nullopt);
  settle();
  EXPECT_TRUE(has_log_containing("Skipping message from addin/deep that is not valid JSON"));
  EXPECT_FALSE(server->workbooks.find("deep") && server->workbooks.find("deep")->tree);
}

TEST_F(Events, EditorRequestsAndAddinAnswersAreForwarded) {
  auto addin = connect("addin", "wb");
  auto kernel = connect("kernel", "wb");
  auto ide1 = connect("ide", "one");
  auto ide2 = connect("ide", "two");

  // Refresh: a tree but no definitions yet asks the add-in to scan instead of sending a state.
  dispatch("addin", "wb", obj(R"({"type":"workbook_structure_update","tree":{"type":"T","id":"a"}})"));
  settle();
  dispatch("ide", "one", obj(R"({"type":"refresh_event_manager_state","workbook_id":"wb"})"));
  EXPECT_EQ(addin->frames, std::vector<std::string>{R"({"type":"scan_objects_request","workbook_id":"wb"})"});
  EXPECT_EQ(ide2->of_type("event_manager_state").size(), 1u);
  dispatch("addin", "wb", obj(R"({"type":"event_definitions_update","definitions":{}})"));
  settle();
  dispatch("ide", "one", obj(R"({"type":"refresh_event_manager_state","workbook_id":"wb"})"));
  EXPECT_EQ(ide2->of_type("event_manager_state").size(), 3u);
  EXPECT_TRUE(has_log(spdlog::level::debug, "Pushed cached event manager state for: wb"));
  EXPECT_EQ(addin->frames.size(), 1u);

  // Event configuration requests go to the add-in unchanged; its answers go to every editor
  // with the add-in's own workbook id.
  dispatch("ide", "one", obj(R"({"type":"get_event_config_request","workbook_id":"wb","x":1})"));
  EXPECT_EQ(addin->frames.back(), R"({"type":"get_event_config_request","workbook_id":"wb","x":1})");
  dispatch("ide", "one", obj(R"({"type":"save_event_config_request","config":{}})"));
  EXPECT_TRUE(has_log(spdlog::level::warn, "Received save_event_config_request from IDE without workbook_id"));
  EXPECT_EQ(addin->frames.size(), 2u);
  dispatch("addin", "wb", obj(R"({"type":"save_event_config_response","workbook_id":"other","ok":true})"));
  dispatch("addin", "wb", obj(R"({"type":"validate_handler_response","valid":false})"));
  for (auto& ide : {ide1, ide2}) {
    EXPECT_EQ(ide->frames.at(ide->frames.size() - 2), R"({"type":"save_event_config_response","workbook_id":"wb","ok":true})");
    EXPECT_EQ(ide->frames.back(), R"({"type":"validate_handler_response","valid":false,"workbook_id":"wb"})");
  }

  dispatch("ide", "one", obj(R"({"type":"get_object_registry","workbook_id":"wb"})"));
  EXPECT_EQ(kernel->frames.back(), R"({"type":"get_object_registry","workbook_id":"wb"})");

  dispatch("addin", "wb", obj(R"({"type":"workbook_name_changed","old_name":"Book1","new_name":"Budget"})"));
  EXPECT_EQ(ide2->frames.back(), R"({"type":"workbook_name_changed","workbook_id":"wb","old_name":"Book1","new_name":"Budget","path":""})");
  EXPECT_EQ(server->manager.client_name("wb"), "Budget");
  EXPECT_TRUE(has_log(spdlog::level::info, "Workbook name changed: Book1 -> Budget (workbook_id: wb, path: )"));
}

}  // namespace
}  // namespace switchyard::testing
