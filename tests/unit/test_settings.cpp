#include "services/settings.hpp"

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

#include <fstream>
#include <unistd.h>

namespace corvane {
namespace {

namespace fs = std::filesystem;

class Settings : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("settings-test-" + std::to_string(::getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  void write_file(const std::string& text) { std::ofstream(dir / "settings.json") << text; }
  fs::path dir;
};

TEST_F(Settings, DottedPathsReadAndWriteNestedObjects) {
  SettingsManager s(dir);
  EXPECT_TRUE(s.get("a.b").is_null());
  EXPECT_EQ(s.get("a.b", 7), boost::json::value(7));
  ASSERT_TRUE(s.set("package_management.pip.retries", 3));
  EXPECT_EQ(s.get("package_management.pip.retries"), boost::json::value(3));
  EXPECT_TRUE(s.get("package_management").is_object());
  // Another instance (another process) reads the same file.
  SettingsManager other(dir);
  EXPECT_EQ(other.get("package_management.pip.retries", 0), boost::json::value(3));
  EXPECT_EQ(boost::json::value(other.get_all()), boost::json::parse(R"({"package_management":{"pip":{"retries":3}}})"));
}

TEST_F(Settings, WritesAreAtomicAndLeaveNoTemporaryFiles) {
  SettingsManager s(dir);
  for (int i = 0; i < 20; ++i) s.set("n", i);
  std::size_t files = 0;
  for (auto& e : fs::directory_iterator(dir)) {
    (void)e;
    ++files;
  }
  EXPECT_EQ(files, 1u);
  std::ifstream in(dir / "settings.json");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(boost::json::parse(text), boost::json::parse(R"({"n":19})"));
}

TEST_F(Settings, CorruptFileIsMovedAsideNotOverwritten) {
  write_file("{not json");
  SettingsManager s(dir);
  EXPECT_TRUE(s.get_all().empty());
  bool found = false;
  for (auto& e : fs::directory_iterator(dir)) {
    std::string name = e.path().filename().string();
    if (name.rfind("settings.json.corrupt-", 0) == 0) {
      found = true;
      std::ifstream in(e.path());
      std::string text((std::istreambuf_iterator<char>(in)), {});
      EXPECT_EQ(text, "{not json");
    }
  }
  EXPECT_TRUE(found);
  s.set("x", 1);
  EXPECT_EQ(SettingsManager(dir).get("x"), boost::json::value(1));
}

TEST_F(Settings, ExternalEditsAreSeen) {
  SettingsManager s(dir);
  s.set("a", 1);
  auto written = std::filesystem::last_write_time(dir / "settings.json");
  write_file(R"({"a": 2, "b": {"c": "d"}})");
  // File times are coarse: make the edit visibly later than the store's own write.
  std::filesystem::last_write_time(dir / "settings.json", written + std::chrono::seconds(1));
  EXPECT_EQ(s.get("b.c"), boost::json::value("d"));
}

}  // namespace
}  // namespace corvane
