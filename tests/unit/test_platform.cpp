#include "services/platform.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

namespace corvane::platform {
namespace {

std::vector<std::string> entries_named(const std::vector<std::string>& env, std::string_view name) {
  std::vector<std::string> out;
  for (const std::string& kv : env) {
    std::string_view key = std::string_view(kv).substr(0, kv.find('='));
#ifdef _WIN32
    const bool same = std::equal(key.begin(), key.end(), name.begin(), name.end(),
                                 [](char a, char b) { return std::toupper(a) == std::toupper(b); });
#else
    const bool same = key == name;
#endif
    if (same) out.push_back(kv);
  }
  return out;
}

// What a child such as the package installer is given: the server's environment, non-ASCII
// values intact (a profile folder like "C:\Users\José"), with an override replacing its variable
// under the system's rules for names, and import paths joined with the system's separator.
TEST(Platform, ChildEnvironmentKeepsTextAndReplacesOverriddenVariables) {
  const std::string profile = "C:\\Users\\Jos\xC3\xA9 N\xC3\xBA\xC3\xB1" "ez";
  set_env("CORVANE_TEST_PROFILE", profile);
  EXPECT_EQ(get_env("CORVANE_TEST_PROFILE"), profile);
  EXPECT_EQ(environment().at("CORVANE_TEST_PROFILE"), profile);
  EXPECT_FALSE(get_env("CORVANE_TEST_NEVER_SET"));

  set_env("CorVane_Test_Path", "old");
  const std::vector<std::string> env = environment_with({{"CORVANE_TEST_PATH", "new"}});
  EXPECT_EQ(entries_named(env, "CORVANE_TEST_PROFILE"), std::vector<std::string>{"CORVANE_TEST_PROFILE=" + profile});
  // Windows: names that differ only in case are one variable, which the override replaces.
  EXPECT_EQ(entries_named(env, "CORVANE_TEST_PATH"), std::vector<std::string>{"CORVANE_TEST_PATH=new"});
#ifndef _WIN32
  EXPECT_EQ(entries_named(env, "CorVane_Test_Path"), std::vector<std::string>{"CorVane_Test_Path=old"});
#endif

  const std::string sep(1, path_list_separator());
#ifdef _WIN32
  EXPECT_EQ(sep, ";");  // ':' would split "C:\..." in two
#else
  EXPECT_EQ(sep, ":");
#endif
  EXPECT_EQ(join_path_list({"", profile, "", "b"}), profile + sep + "b");
  EXPECT_EQ(join_path_list({"", ""}), "");
}

}  // namespace
}  // namespace corvane::platform
