// Installed distributions and requirement checks against a scripted environment (a stand-in
// interpreter that describes folders of this test) and once against the real interpreter.
#include "indexscout/environment.hpp"
#include "indexscout/indexscout.hpp"
#include "support.hpp"

#include <boost/json.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

namespace indexscout {
namespace {

namespace json = boost::json;
using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string metadata(const std::string& name, const std::string& version, const std::vector<std::string>& requires_dist = {}) {
  std::string out = "Metadata-Version: 2.1\n";
  if (!name.empty()) out += "Name: " + name + "\n";
  if (!version.empty()) out += "Version: " + version + "\n";
  for (const auto& r : requires_dist) out += "Requires-Dist: " + r + "\n";
  return out + "\nDescription body\n";
}

class DistributionsTest : public ::testing::Test {
 protected:
  test::TempDir dir;
  test::LogCapture logs;
  std::filesystem::path site_a = dir.path() / "site-a";
  std::filesystem::path site_b = dir.path() / "site-b";
  std::filesystem::path egg = site_b / "Egged-1.0-py3.11.egg";
  std::filesystem::path runs = dir.path() / "runs";
  std::filesystem::path fail_flag = dir.path() / "fail";
  std::unique_ptr<Indexscout> client;

  void SetUp() override {
    dir.write("site-a/django_rest_framework-3.14.0.dist-info/METADATA", metadata("django-rest-framework", "3.14.0"));
    dir.write("site-a/requests-2.31.0.dist-info/METADATA",
              metadata("requests", "2.31.0",
                       {"charset-normalizer<4,>=2", "PySocks!=1.5.7,>=1.5.6 ; extra == 'socks'",
                        "chardet<6,>=3.0.2 ; extra == 'security'", "idna ; extra=='nospace'"}));
    dir.write("site-a/prerel-2.0rc1.dist-info/METADATA", metadata("prerel", "2.0rc1"));
    dir.write("site-a/json-99.0.dist-info/METADATA", metadata("json", "99.0"));
    dir.write("site-a/nameless-1.0.dist-info/METADATA", metadata("", "1.0"));
    dir.write("site-a/noversion-1.0.dist-info/METADATA", metadata("noversion", ""));
    dir.write("site-a/badversion-1.0.dist-info/METADATA", metadata("badversion", "not.a.version"));
    dir.write("site-a/Legacy.egg-info", metadata("Legacy", "0.5"));
    dir.write("site-a/eggdir-1.0.egg-info/PKG-INFO", metadata("eggdir", "1.0"));
    dir.write("site-b/requests-1.0.dist-info/METADATA", metadata("requests", "1.0"));
    dir.write("site-b/Egged-1.0-py3.11.egg/EGG-INFO/PKG-INFO", metadata("egged", "1.0"));
    write_environment({site_a.string(), "/nonexistent/path", (dir.path() / "python311.zip").string(), site_b.string(),
                       egg.string()});
    dir.write("python311.zip", "not a folder");

    std::string script = "#!/bin/sh\n"
                         "echo run >> '" + runs.string() + "'\n"
                         "if [ -e '" + fail_flag.string() + "' ]; then echo 'interpreter broke' >&2; exit 3; fi\n"
                         "cat '" + (dir.path() / "env.json").string() + "'\n";
    auto python = dir.write("python", script);
    ::chmod(python.c_str(), 0755);
    IndexscoutOptions options;
    options.python_executable = python.string();
    client = std::make_unique<Indexscout>(nullptr, options);
  }

  void write_environment(const std::vector<std::string>& path) {
    json::object env;
    json::array p;
    for (const auto& e : path) p.emplace_back(e);
    env["path"] = std::move(p);
    env["stdlib"] = json::array{"json", "os", "_Private.Mod"};
    env["version"] = "3.11.2 (main, Mar 13 2023, 12:18:29) [GCC 12.2.0]";
    std::ofstream(dir.path() / "env.json") << json::serialize(env);
  }

  int interpreter_runs() const {
    std::ifstream in(runs);
    int n = 0;
    for (std::string line; std::getline(in, line);) ++n;
    return n;
  }

  std::optional<std::string> check(std::string_view name, std::string_view spec,
                                   std::optional<std::vector<std::string>> extras = std::nullopt) {
    return client->check_specifier_in_dist(name, spec, extras);
  }
};

TEST_F(DistributionsTest, NamesAreLookedUpNormalised) {
  EXPECT_EQ(check("Django_REST.framework", ""), "3.14.0");
  EXPECT_EQ(check("django-rest-framework", "   "), "3.14.0");
  EXPECT_EQ(check("legacy", ">=0.5"), "0.5");       // *.egg-info file
  EXPECT_EQ(check("EggDir", "==1.0"), "1.0");       // *.egg-info folder
  EXPECT_EQ(check("egged", ""), "1.0");             // EGG-INFO of an .egg on the path
  EXPECT_EQ(check("not-installed", ""), std::nullopt);
}

TEST_F(DistributionsTest, VersionSpecificationsAndThePreReleaseRule) {
  EXPECT_EQ(check("requests", ">=2.0,<3"), "2.31.0");
  EXPECT_EQ(check("requests", "<2"), std::nullopt);
  EXPECT_EQ(check("prerel", ">=1.0"), std::nullopt);
  EXPECT_EQ(check("prerel", ">=2.0rc1"), "2.0rc1");
  EXPECT_EQ(check("prerel", ""), "2.0rc1");
}

TEST_F(DistributionsTest, TheFirstDistributionOnTheImportPathCounts) {
  EXPECT_EQ(check("requests", ""), "2.31.0");  // site-b's 1.0 is shadowed
}

TEST_F(DistributionsTest, ExtrasCompareWithoutLetterCase) {
  EXPECT_EQ(check("requests", "", std::vector<std::string>{"Security"}), "2.31.0");
  EXPECT_EQ(check("requests", ">=2", std::vector<std::string>{"SOCKS", "security"}), "2.31.0");
  EXPECT_EQ(check("requests", "", std::vector<std::string>{"security", "nospace"}), std::nullopt);
  EXPECT_EQ(check("requests", "", std::vector<std::string>{}), "2.31.0");
}

TEST_F(DistributionsTest, StandardLibraryModulesStandForDistributions) {
  EXPECT_EQ(check("os", ""), "3.11.2");
  EXPECT_EQ(check("os", ">=3.10"), "3.11.2");
  EXPECT_EQ(check("os", ">=4"), std::nullopt);
  EXPECT_EQ(check("os", "", std::vector<std::string>{"anything"}), std::nullopt);
  EXPECT_EQ(check("-private-mod", ""), "3.11.2");
  EXPECT_EQ(check("json", ""), "99.0");  // an installed distribution keeps its own record
  const auto& table = client->_get_current_distributions();
  EXPECT_TRUE(table.at("-private-mod").pseudo);
  EXPECT_EQ(table.at("-private-mod").metadata.get("Name"), "_Private.Mod");
  EXPECT_FALSE(table.at("json").pseudo);
}

TEST_F(DistributionsTest, UnusableVersionsAnswerNone) {
  EXPECT_EQ(check("noversion", ""), std::nullopt);
  EXPECT_EQ(check("badversion", ""), "not.a.version");
  EXPECT_EQ(check("badversion", ">=1"), std::nullopt);
  EXPECT_TRUE(logs.has("debug", "Error checking version spec for badversion: Invalid version: 'not.a.version'"));
  EXPECT_EQ(check("requests", "(>=2.0)"), std::nullopt);
  EXPECT_TRUE(logs.has("debug", "Error checking version spec for requests: Invalid specifier: '(>=2.0)'"));
}

TEST_F(DistributionsTest, DistributionsWithoutANameAreSkipped) {
  EXPECT_EQ(check("requests", ""), "2.31.0");
  EXPECT_THAT(logs.messages("debug"), ::testing::Contains(HasSubstr("without a name: ")));
}

TEST_F(DistributionsTest, TheEnvironmentIsAskedOncePerTableBuild) {
  EXPECT_EQ(check("late", ""), std::nullopt);
  EXPECT_EQ(check("requests", ""), "2.31.0");
  EXPECT_EQ(interpreter_runs(), 1);
  dir.write("site-b/late-1.0.dist-info/METADATA", metadata("late", "1.0"));
  EXPECT_EQ(check("late", ""), std::nullopt);  // the table is not rebuilt by itself
  client->clear_distributions_cache();
  EXPECT_EQ(check("late", ""), "1.0");
  EXPECT_EQ(interpreter_runs(), 2);
}

TEST_F(DistributionsTest, AFailingInterpreterIsReportedAndAskedAgainLater) {
  dir.write("fail", "");
  try {
    check("requests", "");
    FAIL() << "expected an error";
  } catch (const std::runtime_error& e) {
    EXPECT_THAT(e.what(), HasSubstr("failed (exit status 3): interpreter broke"));
  }
  EXPECT_FALSE(client->_distributions_cache.has_value());
  std::filesystem::remove(fail_flag);
  EXPECT_EQ(check("requests", ""), "2.31.0");
}

TEST(Distributions, MissingInterpreterIsAnError) {
  IndexscoutOptions options;
  options.python_executable = "/nonexistent/python3";
  Indexscout client(nullptr, options);
  EXPECT_THROW(client.check_specifier_in_dist("json", ""), std::runtime_error);
}

TEST(Distributions, RealInterpreterAndImportPath) {
  test::TempDir site;
  site.write("zz_indexscout_probe-1.2.dist-info/METADATA", metadata("zz-indexscout-probe", "1.2", {"x ; extra == 'e'"}));
  const char* old = std::getenv("PYTHONPATH");
  std::string saved = old ? old : "";
  ::setenv("PYTHONPATH", site.path().c_str(), 1);
  IndexscoutOptions options;
  options.python_executable = test::test_python();
  Indexscout client(nullptr, options);
  auto probe = client.check_specifier_in_dist("ZZ_indexscout.probe", "==1.2", std::vector<std::string>{"E"});
  auto json_module = client.check_specifier_in_dist("json", ">=3");
  if (old) ::setenv("PYTHONPATH", saved.c_str(), 1);
  else ::unsetenv("PYTHONPATH");
  EXPECT_EQ(probe, "1.2");
  ASSERT_TRUE(json_module);
  EXPECT_THAT(*json_module, StartsWith("3."));
  EXPECT_EQ(json_module->find(' '), std::string::npos);
}

TEST(Distributions, DummyDistributionHasNameAndVersionOnly) {
  Distribution d = _dummy_dist("json", "3.11.2");
  EXPECT_TRUE(d.pseudo);
  EXPECT_EQ(d.metadata.get("Name"), "json");
  EXPECT_EQ(d.metadata.get("Version"), "3.11.2");
  EXPECT_TRUE(d.metadata.get_all("Requires-Dist").empty());
}

}  // namespace
}  // namespace indexscout
