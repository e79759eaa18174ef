// Parameter selection and the parameter helper's client, against a fake helper process whose
// "source" texts say what to answer; and the pushes' failure paths.
#include "support.hpp"

#include "switchyard/param_helper.hpp"
#include "switchyard/published_functions.hpp"
#include "switchyard/validation.hpp"

namespace switchyard::testing {
namespace {

// A source is the JSON of the definitions to report, or one of: "die" (exit with status 3),
// "hang" (never answer), "garbage" (answer something unreadable), "syntax:TEXT", "error:TEXT".
constexpr const char* kFakeHelper = R"(
import json, os, sys, time
for line in sys.stdin:
    request = json.loads(line)
    code = request["code"]
    if code == "die":
        os._exit(3)
    if code.startswith("hang"):
        time.sleep(60)
    if code == "garbage":
        print("{not json", flush=True)
        continue
    if code.startswith("syntax:"):
        answer = {"id": request["id"], "syntax_error": code[7:]}
    elif code.startswith("error:"):
        answer = {"id": request["id"], "error": code[6:]}
    else:
        answer = {"id": request["id"], "functions": json.loads(code)}
    print(json.dumps(answer), flush=True)
)";

class PublishedFunctions : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    use_helper({"python3", "-c", kFakeHelper});
  }
  void use_helper(std::vector<std::string> command) {
    server->parameter_helper = std::make_shared<ParameterHelper>(ioc.get_executor(), std::move(command));
  }
  ParameterHelper& helper() { return *server->parameter_helper; }

  DefinitionsPtr definitions(const std::string& code) { return run(helper().definitions({}, code)); }
  std::string parameters(const std::string& code, const std::string& name) {
    return json::serialize(run(extract_function_parameters(*server, code, name)));
  }
};

TEST_F(PublishedFunctions, SelectsFirstPlainDefinitionInWalkOrderWithoutSelfOrCls) {
  // Walk order as the helper gives it: the async one comes first and is passed over.
  std::string code = R"([["f", true, ["q"]], ["g", false, ["x"]], ["f", false, ["self", "a", "cls", "b"]],
                         ["f", false, ["z"]]])";
  EXPECT_EQ(parameters(code, "f"), R"([{"name":"a","type":"any"},{"name":"b","type":"any"}])");
  EXPECT_EQ(parameters(code, "g"), R"([{"name":"x","type":"any"}])");
  EXPECT_EQ(parameters(code, "F"), "[]");                      // names are case-sensitive
  EXPECT_EQ(parameters(R"([["only_async", true, ["a"]]])", "only_async"), "[]");
  EXPECT_EQ(parameters(R"([["cls", false, ["cls", "self"]]])", "cls"), "[]");
  EXPECT_FALSE(has_log_containing("extracting parameters"));

  EXPECT_EQ(parameters("syntax:invalid syntax (<unknown>, line 90)", "f"), "[]");
  EXPECT_TRUE(has_log(spdlog::level::warn,
                      "Syntax error in code when extracting parameters for 'f': invalid syntax (<unknown>, line 90)"));
  EXPECT_EQ(parameters("error:source code string cannot contain null bytes", "g"), "[]");
  EXPECT_TRUE(has_log(spdlog::level::warn,
                      "Unexpected error extracting parameters for 'g': source code string cannot contain null bytes"));
  // An empty source never reaches the helper.
  EXPECT_EQ(parameters("", "f"), "[]");
  EXPECT_EQ(helper().stats().parses, 5u);
}

TEST_F(PublishedFunctions, EachSourceVersionIsParsedOnceAndTheCacheForgetsTheOldest) {
  auto a = helper().request("", R"([["a", false, []]])");
  auto a_again = helper().request("", R"([["a", false, []]])");  // on its way already
  auto b = helper().request("", R"([["b", false, []]])");
  EXPECT_EQ(run(helper().wait(a)), run(helper().wait(a_again)));
  run(helper().wait(b));
  EXPECT_EQ(helper().stats().parses, 2u);
  definitions(R"([["a", false, []]])");
  EXPECT_EQ(helper().stats().cache_hits, 1u);

  helper().set_cache_limits(2, 1 << 20);
  definitions(R"([["c", false, []]])");  // evicts b, the least recently used
  definitions(R"([["a", false, []]])");
  EXPECT_EQ(helper().stats().parses, 3u);
  definitions(R"([["b", false, []]])");
  EXPECT_EQ(helper().stats().parses, 4u);
  EXPECT_EQ(helper().stats().cached, 2u);
  EXPECT_EQ(helper().stats().starts, 1u);
}

TEST_F(PublishedFunctions, APushParsesEachModuleOnceWhateverTheNumberOfFunctions) {
  auto addin = connect("addin", "wb");
  std::string module = "[";
  json::array functions;
  for (int i = 0; i < 30; ++i) {
    module += (i ? "," : "") + std::string(R"([")") + "f" + std::to_string(i) + R"(", false, ["self", "x"]])";
    json::object entry;
    entry["module_name"] = "m";
    entry["function_name"] = "f" + std::to_string(i);
    entry["excel_name"] = "F" + std::to_string(i);
    functions.emplace_back(std::move(entry));
  }
  module += "]";
  save_module(server->workbooks.at("wb"), "m", module);
  save_module(server->workbooks.at("wb"), "other", R"([["g", false, ["y"]]])");
  functions.emplace_back(obj(R"({"module_name":"other","function_name":"g","excel_name":"G","streaming":true})"));
  functions.emplace_back(obj(R"({"module_name":"absent","function_name":"h","excel_name":"H"})"));

  run(_push_custom_functions_to_addin(*server, "wb", &functions));
  auto sync = addin->of_type("sync_custom_functions").at(0).at("functions").as_array();
  ASSERT_EQ(sync.size(), 32u);
  EXPECT_EQ(json::serialize(sync[29]),
            R"({"module":"m","function":"f29","excel_name":"F29","parameters":[{"name":"x","type":"any"}],"dimension":"Scalar","streaming":false})");
  EXPECT_EQ(json::serialize(sync[30].at("parameters")), R"([{"name":"y","type":"any"}])");
  EXPECT_EQ(sync[30].at("streaming"), true);
  EXPECT_EQ(json::serialize(sync[31].at("parameters")), "[]");
  EXPECT_EQ(helper().stats().parses, 2u);

  // The same sources again: answered from the cache.
  run(_push_custom_functions_to_addin(*server, "wb", &functions));
  EXPECT_EQ(helper().stats().parses, 2u);
  EXPECT_EQ(addin->of_type("sync_custom_functions").at(1), addin->of_type("sync_custom_functions").at(0));
}

TEST_F(PublishedFunctions, HelperThatHangsDiesOrBabblesCostsOneRequestAndIsReplaced) {
  // Queued behind the one that hangs: answered by the next process.
  auto hang = helper().request("", "hang");
  auto behind = helper().request("", R"([["ok", false, []]])");
  advance(std::chrono::milliseconds(1999));
  EXPECT_EQ(helper().stats().starts, 1u);
  advance(std::chrono::milliseconds(1));
  auto hung = run(helper().wait(hang));
  EXPECT_EQ(hung->outcome, SourceDefinitions::Outcome::unavailable);
  EXPECT_EQ(hung->error, "the parameter helper did not answer within 2 s");
  EXPECT_EQ(run(helper().wait(behind))->functions.at(0).name, "ok");
  // A large source gets a longer limit: a second more per 256 KiB.
  auto large = helper().request("", "hang" + std::string(512 * 1024, ' '));
  advance(std::chrono::milliseconds(3999));
  EXPECT_EQ(helper().stats().starts, 2u);
  advance(std::chrono::milliseconds(1));
  EXPECT_EQ(run(helper().wait(large))->error, "the parameter helper did not answer within 4 s");

  auto died = definitions("die");
  EXPECT_EQ(died->outcome, SourceDefinitions::Outcome::unavailable);
  EXPECT_EQ(died->error, "the parameter helper exited with status 3");
  EXPECT_EQ(parameters("garbage", "f"), "[]");
  EXPECT_TRUE(has_log(spdlog::level::warn,
                      "Unexpected error extracting parameters for 'f': the parameter helper sent an unreadable answer"));
  // Failures are not remembered: the same text is tried again.
  EXPECT_EQ(definitions("die")->outcome, SourceDefinitions::Outcome::unavailable);
  EXPECT_EQ(definitions(R"([["after", false, []]])")->functions.at(0).name, "after");
  EXPECT_EQ(helper().stats().starts, 6u);
  EXPECT_EQ(helper().stats().cached, 2u);
}

TEST_F(PublishedFunctions, MissingInterpreterAndStoppedHelperAnswerAtOnce) {
  use_helper({(home / "no-such-python").string(), "-I", "helper.py"});
  EXPECT_EQ(parameters("def f(a): pass", "f"), "[]");
  EXPECT_TRUE(has_log(spdlog::level::warn, "Unexpected error extracting parameters for 'f': [Errno 2] No such file or "
                                           "directory: '" + (home / "no-such-python").string() + "'"));

  use_helper({"python3", "-c", kFakeHelper});
  auto pending = helper().request("", "hang");
  settle();
  int pid = helper().pid();
  EXPECT_GT(pid, 0);
  helper().stop();
  EXPECT_EQ(run(helper().wait(pending))->error, "the parameter helper was stopped");
  EXPECT_EQ(helper().pid(), 0);
  EXPECT_NE(::kill(pid, 0), 0);  // gone (and reaped)
  EXPECT_EQ(definitions("[]")->outcome, SourceDefinitions::Outcome::unavailable);
}

TEST_F(PublishedFunctions, PushFailuresAreLoggedAndTheStoreKeepsTheNewList) {
  auto addin = connect("addin", "wb");
  auto ide1 = connect("ide", "one");
  auto ide2 = connect("ide", "two");
  addin->fail_sends = true;
  json::array functions = json::parse(R"([{"module_name":"m","function_name":"f","excel_name":"F"}])").as_array();
  run(handle_update_published_functions(*server, "wb", functions));
  EXPECT_TRUE(has_log(spdlog::level::err, "Error pushing custom functions to Add-in: send failed"));
  EXPECT_EQ(server->workbooks.at("wb").published_functions, json::value(functions));
  EXPECT_EQ(ide1->of_type("published_functions_state").size(), 1u);

  // Stored list, to one editor only; then that editor fails.
  addin->fail_sends = false;
  run(_push_custom_functions_to_addin(*server, "wb"));
  EXPECT_EQ(addin->of_type("sync_custom_functions").at(0).at("functions").as_array().size(), 1u);
  run(_push_published_functions_state(*server, "wb", nullptr, ide2));
  EXPECT_EQ(ide2->frames.back(),
            R"({"type":"published_functions_state","workbook_id":"wb","functions":[{"module_name":"m","function_name":"f","excel_name":"F"}]})");
  EXPECT_TRUE(has_log(spdlog::level::debug, "Pushed published functions state to IDE websocket for: wb"));
  EXPECT_EQ(ide1->frames.size(), 1u);
  ide2->fail_sends = true;
  json::array none;
  run(_push_published_functions_state(*server, "wb", &none, ide2));
  EXPECT_TRUE(has_log(spdlog::level::err, "Error pushing published functions state: send failed"));
  // An absent list and an empty one differ: the empty one is sent as it is.
  run(_push_published_functions_state(*server, "wb", &none));
  EXPECT_EQ(ide1->of_type("published_functions_state").back().at("functions"), json::array());
}

}  // namespace
}  // namespace switchyard::testing
