// The index client against the local package-index server (index_server.py).
#include "indexscout/indexscout.hpp"
#include "services/settings.hpp"
#include "support.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/json.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

namespace indexscout {
namespace {

namespace asio = boost::asio;
namespace json = boost::json;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using Strings = std::vector<std::string>;

template <class T>
T run(awaitable<T> op) {
  asio::io_context io;
  std::optional<T> result;
  std::exception_ptr failure;
  asio::co_spawn(io, std::move(op), [&](std::exception_ptr e, T value) {
    failure = e;
    if (!e) result = std::move(value);
  });
  io.run();
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

void run(awaitable<void> op) {
  asio::io_context io;
  std::exception_ptr failure;
  asio::co_spawn(io, std::move(op), [&](std::exception_ptr e) { failure = e; });
  io.run();
  if (failure) std::rethrow_exception(failure);
}

json::object entry(const std::string& url, bool primary) { return {{"url", url}, {"primary", primary}}; }
json::object api(const std::string& index_url, const std::string& pattern) {
  return {{"index_url", index_url}, {"api_pattern", pattern}};
}

class ClientTest : public ::testing::Test {
 protected:
  test::IndexServer& server = test::IndexServer::instance();
  test::TempDir home;
  test::LogCapture logs;
  std::unique_ptr<corvane::SettingsManager> settings;
  std::unique_ptr<Indexscout> client;

  std::string url(const std::string& index) const { return server.simple_url(index); }

  // Indexes "main" (primary), "second" and "third" with JSON APIs; "simple" and "html" without.
  void configure(json::array index_urls, bool use_secondary, std::optional<json::array> apis = std::nullopt,
                 IndexscoutOptions options = {}) {
    if (!apis) {
      apis = json::array{};
      for (const char* name : {"main", "second", "third", "moved"}) apis->push_back(api(url(name), server.api_pattern(name)));
    }
    json::object root;
    root["package_management"] = {{"pip", {{"index_urls", std::move(index_urls)}, {"use_secondary_urls", use_secondary}}},
                                  {"pip_api", std::move(*apis)}};
    std::ofstream(home.path() / "settings.json") << json::serialize(root);
    settings = std::make_unique<corvane::SettingsManager>(home.path());
    client = std::make_unique<Indexscout>(settings.get(), options);
    server.reset_requests();
    logs.clear();
  }

  void configure_main_only() { configure({entry(url("main"), true)}, false); }

  Strings requested() const { return server.requests(); }
};

// ---------------------------------------------------------------------------------------------
// Configuration, index selection and sessions

TEST(ClientConfig, WithoutSettingsTheDefaultsApply) {
  Indexscout client(nullptr);
  EXPECT_EQ(json::serialize(client._get_pip_settings()),
            R"({"index_urls":[{"url":"https://pypi.org/simple/","primary":true}],"use_secondary_urls":false,"retries":3})");
  json::array apis = client._get_pip_api_list();
  ASSERT_EQ(apis.size(), 1u);
  EXPECT_EQ(apis[0].at("index_url"), "https://pypi.org/simple");
  // The default index (with its slash) finds the default pattern (without).
  EXPECT_EQ(client._get_api_pattern_for_index("https://pypi.org/simple/"),
            std::optional<std::string>("https://pypi.org/pypi/{package_name}/{version}/json"));
}

TEST(ClientConfig, NamesAndUrlsNormalise) {
  EXPECT_EQ(Indexscout::_normalize_name("A_B-C.d"), "a-b-c-d");
  EXPECT_EQ(Indexscout::_normalize_name("Foo__Bar.baz"), "foo-bar-baz");
  EXPECT_EQ(Indexscout::_normalize_name("-_.._-"), "-");
  EXPECT_EQ(Indexscout::_normalize_url("http://h/Simple/\\//\\"), "http://h/Simple");
  EXPECT_EQ(Indexscout::_normalize_url("HTTP://h"), "HTTP://h");
}

TEST_F(ClientTest, ApiPatternIgnoresTrailingSlashesButNotLetterCase) {
  configure({entry(url("main"), true)}, false,
            json::array{api("http://a/simple", "P1"), json::object{{"index_url", "http://b/simple"}},
                        api("http://a/simple/", "P2"), json::object{{"api_pattern", "P3"}}});
  EXPECT_EQ(client->_get_api_pattern_for_index("http://a/simple\\//"), std::optional<std::string>("P1"));
  EXPECT_EQ(client->_get_api_pattern_for_index("http://A/simple"), std::nullopt);
  EXPECT_EQ(client->_get_api_pattern_for_index("http://b/simple/"), std::nullopt);  // entry without a pattern
  EXPECT_EQ(client->_get_api_pattern_for_index("///"), std::optional<std::string>("P3"));  // no index_url: ""
}

TEST_F(ClientTest, BadSettingsReachTheCaller) {
  configure({entry(url("main"), true)}, false, json::array{});
  settings->set("package_management.pip_api", json::object{{"index_url", "x"}});
  EXPECT_THROW(run(client->find_repo_for_package("demo")), TypeError);
  settings->set("package_management.pip_api", json::array{json::object{{"index_url", url("main")}, {"api_pattern", 5}}});
  EXPECT_THROW(run(client->get_versions("demo")), TypeError);
  settings->set("package_management.pip.index_urls", json::array{json::object{{"primary", true}}});
  EXPECT_THROW(run(client->get_versions("demo")), KeyError);
}

TEST_F(ClientTest, SettingsAreReadAgainForEveryQuery) {
  configure({entry(url("main"), true)}, false);
  EXPECT_EQ(run(client->find_repo_for_package("onlysecond")), std::nullopt);
  settings->set("package_management.pip.index_urls", json::array{entry(url("second"), true)});
  EXPECT_EQ(run(client->find_repo_for_package("onlysecond")), std::optional<std::string>(url("second")));
}

TEST_F(ClientTest, SessionIsReusedAndReplacedAfterClose) {
  configure_main_only();
  auto first = run(client->_get_session());
  EXPECT_EQ(run(client->_get_session()), first);
  run(client->close());
  EXPECT_TRUE(first->closed());
  EXPECT_EQ(client->_session, first);  // kept until the next query
  EXPECT_THAT(run(client->get_versions("demo")), ElementsAre("10.0", "2.0rc1", "1.0"));
  EXPECT_NE(client->_session, first);
  EXPECT_FALSE(client->_session->closed());
}

TEST_F(ClientTest, ConcurrentQueriesShareTheSessionAndResumeOnTheCallersLoop) {
  configure_main_only();
  asio::io_context io;
  const auto loop_thread = std::this_thread::get_id();
  int done = 0;
  std::vector<std::shared_ptr<http::Session>> sessions;
  auto query = [&](std::string name) -> awaitable<void> {
    std::vector<std::string> versions = co_await client->get_versions(name, url("html"));  // locator, on the pool
    EXPECT_EQ(std::this_thread::get_id(), loop_thread);
    std::vector<Dependency> deps = co_await client->get_dependencies(name, "1.0");  // HTTP, on the pool
    EXPECT_EQ(std::this_thread::get_id(), loop_thread);
    EXPECT_EQ(versions.size(), 3u);
    EXPECT_EQ(deps.size(), 4u);
    sessions.push_back(client->_session);
    ++done;
  };
  for (int i = 0; i < 3; ++i) asio::co_spawn(io, query("demo"), asio::detached);
  io.run();
  EXPECT_EQ(done, 3);
  ASSERT_EQ(sessions.size(), 3u);
  EXPECT_TRUE(sessions[0] == sessions[1] && sessions[1] == sessions[2]);
}

// ---------------------------------------------------------------------------------------------
// Existence

TEST_F(ClientTest, FindsTheIndexAsConfigured) {
  const std::string configured = url("main") + "/";  // returned exactly as written
  configure({entry(configured, true)}, false);
  EXPECT_EQ(run(client->find_repo_for_package("demo")), std::optional<std::string>(configured));
  EXPECT_EQ(run(client->find_repo_for_package_version("demo", "2.0rc1")), std::optional<std::string>(configured));
  EXPECT_EQ(run(client->find_repo_for_package_version("demo", "3.0")), std::nullopt);
  EXPECT_THAT(requested(), ElementsAre("/main/pypi/demo/json", "/main/pypi/demo/2.0rc1/json", "/main/pypi/demo/3.0/json"));
  EXPECT_THAT(logs.lines(), IsEmpty());  // the searches themselves log nothing
}

TEST_F(ClientTest, SecondariesOnlyWhenEnabled) {
  json::array indexes{entry(url("main"), true), entry(url("second"), false)};
  configure(indexes, false);
  EXPECT_EQ(run(client->find_repo_for_package("onlysecond")), std::nullopt);
  EXPECT_THAT(requested(), ElementsAre("/main/pypi/onlysecond/json"));
  configure(indexes, true);
  EXPECT_EQ(run(client->find_repo_for_package("onlysecond")), std::optional<std::string>(url("second")));
}

TEST_F(ClientTest, LaterPrimaryWinsAndTheEarlierIsNotSearched) {
  configure({entry(url("second"), true), entry(url("main"), true), entry(url("third"), false)}, true);
  EXPECT_EQ(run(client->find_repo_for_package("onlysecond")), std::optional<std::string>(url("third")));
  EXPECT_THAT(requested(), ElementsAre("/main/pypi/onlysecond/json", "/third/pypi/onlysecond/json"));
}

TEST_F(ClientTest, WithoutPrimarySecondariesAreSearchedInOrder) {
  configure({entry(url("main"), false), entry(url("third"), false), entry(url("second"), false)}, true);
  EXPECT_EQ(run(client->find_repo_for_package("onlysecond")), std::optional<std::string>(url("third")));
  EXPECT_THAT(requested(), ElementsAre("/main/pypi/onlysecond/json", "/third/pypi/onlysecond/json"));
}

TEST_F(ClientTest, ServerErrorMeansAbsentAndTheLocatorIsNotAsked) {
  configure({entry(url("main"), true), entry(url("second"), false)}, true);
  EXPECT_FALSE(run(client->_package_exists_in_index("broken", url("main"))));
  EXPECT_FALSE(run(client->_package_version_exists_in_index("broken", "1.0", url("main"))));
  EXPECT_THAT(requested(), ElementsAre("/main/pypi/broken/json", "/main/pypi/broken/1.0/json"));
  EXPECT_THAT(logs.lines(), IsEmpty());
}

TEST_F(ClientTest, NameGoesIntoTheUrlUnchanged) {
  configure_main_only();
  EXPECT_TRUE(run(client->_package_exists_in_index("Mixed_Case.Name", url("main"))));
  EXPECT_THAT(requested(), ElementsAre("/main/pypi/Mixed_Case.Name/json"));
}

TEST_F(ClientTest, ExistenceThroughTheLocator) {
  configure({entry(url("simple"), true)}, false);
  EXPECT_EQ(run(client->find_repo_for_package("Demo")), std::optional<std::string>(url("simple")));
  EXPECT_EQ(run(client->find_repo_for_package("nope")), std::nullopt);
  EXPECT_EQ(run(client->find_repo_for_package_version("demo", "10.0")), std::optional<std::string>(url("simple")));
  EXPECT_EQ(run(client->find_repo_for_package_version("demo", "10")), std::optional<std::string>(url("simple")));
  EXPECT_EQ(run(client->find_repo_for_package_version("demo", "3.0")), std::nullopt);
}

TEST_F(ClientTest, ExistenceFailuresAreLoggedAndFalse) {
  IndexscoutOptions options;
  options.request_timeout = std::chrono::milliseconds(300);
  const std::string dead = "http://127.0.0.1:1/simple/";
  configure({entry(url("main"), true)}, false,
            json::array{api(url("main"), server.api_pattern("main")), api(dead, "http://127.0.0.1:1/{package_name}")},
            options);
  // The slow page answers after 2 s: only the 300 ms limit makes this false.
  EXPECT_FALSE(run(client->_package_exists_in_index("slow", url("main"))));
  EXPECT_TRUE(logs.has("debug", "API check failed for slow at " + url("main") + ": "));  // a timeout has no text

  EXPECT_FALSE(run(client->_package_version_exists_in_index("x", "1.0", dead)));
  EXPECT_THAT(logs.messages("debug").back(), HasSubstr("API check failed for x==1.0 at " + dead + ": "));
  EXPECT_GT(logs.messages("debug").back().size(), ("API check failed for x==1.0 at " + dead + ": ").size());

  logs.clear();
  EXPECT_FALSE(run(client->_package_exists_in_index("x", "http://127.0.0.1:1/other/")));
  EXPECT_THAT(logs.messages("debug"), ElementsAre(HasSubstr("Locator check failed for x at http://127.0.0.1:1/other/: ")));
  logs.clear();
  EXPECT_FALSE(run(client->_package_version_exists_in_index("x", "1.0", "http://127.0.0.1:1/other/")));
  EXPECT_THAT(logs.lines(), IsEmpty());
}

// ---------------------------------------------------------------------------------------------
// Versions

TEST_F(ClientTest, VersionsNewestFirstWithInvalidTextsDropped) {
  configure_main_only();
  EXPECT_THAT(run(client->get_versions("demo")), ElementsAre("10.0", "2.0rc1", "1.0"));
  EXPECT_TRUE(logs.has("info", "Querying primary index for demo versions"));
  EXPECT_TRUE(logs.has("info", "Found 3 versions in primary index"));
  EXPECT_TRUE(logs.has("debug", "Found 3 versions via API for demo"));
}

TEST_F(ClientTest, VersionsThroughTheLocatorInBothPageForms) {
  configure_main_only();
  EXPECT_THAT(run(client->get_versions("demo", url("simple"))), ElementsAre("10.0", "2.0rc1", "1.0"));
  EXPECT_THAT(requested(), ElementsAre("/simple/simple/demo/"));
  EXPECT_THAT(run(client->get_versions("DEMO", url("html"))), ElementsAre("10.0", "2.0rc1", "1.0"));
  EXPECT_THAT(run(client->get_versions("nope", url("html"))), IsEmpty());
}

TEST_F(ClientTest, VersionsSearchSecondariesWithoutMerging) {
  configure({entry(url("main"), true), entry(url("second"), false), entry(url("third"), false)}, true);
  EXPECT_THAT(run(client->get_versions("demo")), ElementsAre("10.0", "2.0rc1", "1.0"));  // no 99.0 from "second"
  logs.clear();
  EXPECT_THAT(run(client->get_versions("onlysecond", "")), ElementsAre("0.2", "0.1"));  // "" = no index given
  EXPECT_THAT(logs.messages("info"),
              ElementsAre("Querying primary index for onlysecond versions", "No results in primary, trying 2 secondary indexes",
                          "Querying secondary index: " + url("second"), "Found 2 versions in secondary index"));
  EXPECT_TRUE(logs.has("debug", "Package onlysecond not found at " + url("main")));
  logs.clear();
  EXPECT_THAT(run(client->get_versions("nope")), IsEmpty());
  EXPECT_TRUE(logs.has("warning", "No versions found for nope in any index"));
}

TEST_F(ClientTest, NoPrimaryStillAnnouncesTheSecondaries) {
  configure({entry(url("second"), false)}, true);
  EXPECT_THAT(run(client->get_versions("onlysecond")), ElementsAre("0.2", "0.1"));
  EXPECT_THAT(logs.messages("info"), ElementsAre("No results in primary, trying 1 secondary indexes",
                                                 "Querying secondary index: " + url("second"),
                                                 "Found 2 versions in secondary index"));
}

TEST_F(ClientTest, QueryFailuresAnswerEmptyWithTheirLogLines) {
  configure({entry(url("main"), true)}, false);
  const std::string main = url("main");
  EXPECT_THAT(run(client->get_versions("broken", main)), IsEmpty());
  EXPECT_TRUE(logs.has("error", "API returned status 500 for " + server.base() + "/main/pypi/broken/json"));
  EXPECT_THAT(run(client->get_dependencies("notjson", "1.0", main)), IsEmpty());
  EXPECT_THAT(logs.messages("error").back(), HasSubstr("Failed to query " + main + " for notjson: "));
  EXPECT_THAT(run(client->get_extras("nope", "1.0", main)), IsEmpty());
  EXPECT_TRUE(logs.has("debug", "Package nope not found at " + main));

  // The slow page answers after 2 s at the earliest, so only it can meet a limit of 300 ms (the
  // pages above keep the usual limit: a busy machine may take longer than that to serve them).
  IndexscoutOptions options;
  options.request_timeout = std::chrono::milliseconds(300);
  configure({entry(url("main"), true)}, false, std::nullopt, options);
  EXPECT_THAT(run(client->get_extras("slow", "1.0", main)), IsEmpty());
  EXPECT_TRUE(logs.has("error", "Timeout querying " + main + " for slow"));
}

TEST_F(ClientTest, RedirectsAreFollowed) {
  configure({entry(url("moved"), true)}, false);
  EXPECT_THAT(run(client->get_versions("demo")), ElementsAre("10.0", "2.0rc1", "1.0"));
  EXPECT_THAT(requested(), ElementsAre("/moved/pypi/demo/json", "/main/pypi/demo/json"));
}

// ---------------------------------------------------------------------------------------------
// Extras

TEST_F(ClientTest, ExtrasComeFromBlankSpacedMarkersSorted) {
  configure_main_only();
  // "extra== 'lint'" and "extra=='style'" lack the blank; "alpha" is guarded twice.
  EXPECT_THAT(run(client->get_extras("demo", "10.0")), ElementsAre("Dev", "alpha"));
  EXPECT_TRUE(logs.has("info", "Querying primary index for extras: demo"));
  EXPECT_TRUE(logs.has("info", "Found 2 extras in primary index"));
  EXPECT_TRUE(logs.has("debug", "Found 2 extras via API for demo"));
  EXPECT_THAT(run(client->get_extras("nulldeps", "1.0")), IsEmpty());
  EXPECT_TRUE(logs.has("info", "No extras found for nulldeps in any index"));
}

TEST_F(ClientTest, ExtrasThroughTheLocator) {
  configure_main_only();
  // From the advertised .metadata file, then from the wheel itself.
  EXPECT_THAT(run(client->get_extras("demo", "10.0", url("simple"))), ElementsAre("Dev", "alpha"));
  EXPECT_THAT(requested(), ElementsAre("/simple/simple/demo/", "/simple/files/demo-10.0-py3-none-any.whl.metadata"));
  EXPECT_THAT(run(client->get_extras("demo", "1.0", url("html"))), ElementsAre("docs", "test"));
  // A source archive offers no metadata.
  EXPECT_THAT(run(client->get_extras("demo", "2.0rc1", url("html"))), IsEmpty());
}

TEST_F(ClientTest, MetadataWithTheWrongHashIsRejected) {
  configure_main_only();
  EXPECT_THAT(run(client->get_extras("tampered", "1.0", url("simple"))), IsEmpty());
  EXPECT_THAT(logs.messages("debug"),
              ElementsAre(HasSubstr("Locator get_extras failed: SHA-256 of " + server.base() + "/simple/files/tampered")));
}

// ---------------------------------------------------------------------------------------------
// Dependencies

TEST_F(ClientTest, DependenciesAreParsedRecords) {
  configure_main_only();
  std::vector<Dependency> deps = run(client->get_dependencies("demo", "10.0"));
  ASSERT_EQ(deps.size(), 7u);  // "(broken requirement" is dropped
  EXPECT_EQ(deps[0], (Dependency{"numpy", ">=1.20", {}, ""}));
  EXPECT_EQ(deps[1], (Dependency{"pandas", "(>=2.0)", {"excel", "sql"}, "python_version >= '3.8'"}));
  EXPECT_EQ(deps[2], (Dependency{"pytest", "", {}, "extra == 'alpha'"}));
  EXPECT_TRUE(logs.has("warning", "Could not parse requirement: (broken requirement"));
  EXPECT_TRUE(logs.has("debug", "Found 7 dependencies for demo==10.0"));
  EXPECT_TRUE(logs.has("info", "Found 7 dependencies in primary index"));

  EXPECT_THAT(run(client->get_dependencies("nulldeps", "1.0")), IsEmpty());
  EXPECT_TRUE(logs.has("debug", "No dependencies found for nulldeps in any index"));
}

TEST_F(ClientTest, DependencyDocumentsAreRememberedAcrossLetterCaseAndIndexes) {
  configure_main_only();
  std::vector<Dependency> first = run(client->get_dependencies("Demo", "1.0", url("main")));
  ASSERT_EQ(first.size(), 4u);
  server.reset_requests();
  EXPECT_EQ(run(client->get_dependencies("DEMO", "1.0", url("second"))), first);
  EXPECT_EQ(run(client->get_dependencies("demo", "1.0", url("html"))), first);  // even without an API
  EXPECT_THAT(requested(), IsEmpty());
  EXPECT_TRUE(client->_metadata_cache.contains({"demo", "1.0"}));
}

TEST_F(ClientTest, DependenciesThroughTheLocatorAreNotRemembered) {
  configure_main_only();
  EXPECT_EQ(run(client->get_dependencies("demo", "1.0", url("html"))).size(), 4u);
  EXPECT_TRUE(client->_metadata_cache.empty());
}

TEST_F(ClientTest, MalformedDependencyDocumentIsAFailedQuery) {
  configure({entry(url("main"), true), entry(url("second"), false)}, true);
  EXPECT_THAT(run(client->get_dependencies("badshape", "1.0")), IsEmpty());
  EXPECT_THAT(logs.messages("error"), ElementsAre(HasSubstr("Failed to query " + url("main") + " for badshape: ")));
  EXPECT_TRUE(client->_metadata_cache.empty());
}

}  // namespace
}  // namespace indexscout
