// PEP 440 versions and specifiers against reference answers generated with Python's
// `packaging` (gen_pep440_vectors.py), plus the cases the client's own rules lean on.
#include "indexscout/pep440.hpp"
#include "support.hpp"

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace indexscout::pep440 {
namespace {

namespace json = boost::json;

const json::object& vectors() {
  static const json::value doc = [] {
    std::ifstream in(test::test_dir() / "pep440_vectors.json", std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return json::parse(ss.str());
  }();
  return doc.as_object();
}

std::string str_or_null(const json::value& v) { return v.is_null() ? std::string("<null>") : std::string(v.as_string()); }

TEST(Pep440Golden, ParsesAndNormalisesLikePackaging) {
  const auto& versions = vectors().at("versions").as_array();
  ASSERT_GT(versions.size(), 1000u);
  for (const json::value& rv : versions) {
    const json::object& r = rv.as_object();
    const std::string text(r.at("text").as_string());
    SCOPED_TRACE("version text: '" + text.substr(0, 80) + "'");
    Version v;
    Version::Status status = Version::parse(text, v);
    if (!r.at("valid").as_bool()) {
      EXPECT_EQ(status, r.at("error") == "too_long" ? Version::Status::too_long : Version::Status::invalid);
      continue;
    }
    ASSERT_EQ(status, Version::Status::ok);
    EXPECT_EQ(v.str(), r.at("str").as_string());
    EXPECT_EQ(v.public_str(), r.at("public").as_string());
    EXPECT_EQ(v.base_version(), r.at("base").as_string());
    EXPECT_EQ(v.epoch(), r.at("epoch").as_string());
    std::vector<std::string> release;
    for (const auto& c : r.at("release").as_array()) release.emplace_back(c.as_string());
    EXPECT_EQ(v.release(), release);
    auto pre = v.pre();
    EXPECT_EQ(pre ? pre->first + "," + pre->second : "<null>",
              r.at("pre").is_null() ? "<null>"
                                    : std::string(r.at("pre").as_array()[0].as_string()) + "," +
                                          std::string(r.at("pre").as_array()[1].as_string()));
    EXPECT_EQ(v.post().value_or("<null>"), str_or_null(r.at("post")));
    EXPECT_EQ(v.dev().value_or("<null>"), str_or_null(r.at("dev")));
    EXPECT_EQ(v.local().value_or("<null>"), str_or_null(r.at("local")));
    EXPECT_EQ(v.is_prerelease(), r.at("is_prerelease").as_bool());
    EXPECT_EQ(v.is_postrelease(), r.at("is_postrelease").as_bool());
    EXPECT_EQ(v.is_devrelease(), r.at("is_devrelease").as_bool());
    // The normalised text denotes the same version.
    EXPECT_EQ(Version(v.str()), v);
  }
}

TEST(Pep440Golden, OrdersLikePackaging) {
  std::vector<std::pair<Version, std::int64_t>> ranked;
  for (const json::value& rv : vectors().at("versions").as_array()) {
    const json::object& r = rv.as_object();
    if (r.at("valid").as_bool()) ranked.emplace_back(Version(r.at("text").as_string()), r.at("rank").as_int64());
  }
  std::sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t i = 1; i < ranked.size(); ++i) {
    SCOPED_TRACE(ranked[i - 1].first.str().substr(0, 60) + " vs " + ranked[i].first.str().substr(0, 60));
    ASSERT_LE(ranked[i - 1].second, ranked[i].second);
    EXPECT_EQ(ranked[i - 1].second == ranked[i].second, ranked[i - 1].first == ranked[i].first);
  }
}

TEST(Pep440Golden, SpecifierSetsMatchLikePackaging) {
  std::vector<Version> match;
  for (const auto& t : vectors().at("match_versions").as_array()) match.emplace_back(t.as_string());
  for (const json::value& rv : vectors().at("specifiers").as_array()) {
    const json::object& r = rv.as_object();
    const std::string text(r.at("text").as_string());
    SCOPED_TRACE("specifier: '" + text.substr(0, 80) + "'");
    if (!r.at("valid").as_bool()) {
      if (r.at("error") == "too_long") EXPECT_THROW(SpecifierSet{text}, NumberTooLong);
      else EXPECT_THROW(SpecifierSet{text}, InvalidSpecifier);
      continue;
    }
    SpecifierSet set(text);
    const json::value& pre = r.at("prereleases");
    if (pre.is_string()) {
      EXPECT_ANY_THROW(set.prereleases());
    } else if (pre.is_null()) {
      EXPECT_FALSE(set.prereleases().has_value());
    } else {
      EXPECT_EQ(set.prereleases(), std::optional<bool>(pre.as_bool()));
    }
    for (const char* key : {"contains", "contains_pre"}) {
      const std::string expected(r.at(key).as_string());
      std::optional<bool> flag = std::string_view(key) == "contains" ? std::nullopt : std::optional<bool>(true);
      std::string got;
      for (const Version& v : match) {
        try {
          got.push_back(set.contains(v, flag) ? '1' : '0');
        } catch (const std::invalid_argument&) {
          got.push_back('E');
        }
      }
      EXPECT_EQ(got, expected) << key;
    }
  }
}

// The installed-distribution check relies on the default pre-release rule.
TEST(Pep440, PreReleaseCountsOnlyWhenTheSetNamesOne) {
  EXPECT_FALSE(SpecifierSet(">=1.0").contains("2.0rc1"));
  EXPECT_TRUE(SpecifierSet(">=2.0rc1").contains("2.0rc1"));
  EXPECT_TRUE(SpecifierSet(">=1.0,<=3.0rc1").contains("2.0rc1"));
  EXPECT_FALSE(SpecifierSet(">=1.0,!=1.5rc1").contains("2.0rc1"));  // "!=" never names one
  EXPECT_FALSE(SpecifierSet("").contains("2.0rc1"));
  EXPECT_TRUE(SpecifierSet("").contains("2.0"));
}

TEST(Pep440, NumbersOfAnySizeCompareByValue) {
  EXPECT_LT(Version("18446744073709551615"), Version("18446744073709551616"));
  EXPECT_LT(Version("9" + std::string(300, '9')), Version("1" + std::string(301, '0')));
  EXPECT_EQ(Version("1." + std::string(400, '0')), Version("1"));
  EXPECT_EQ(Version("0001.000"), Version("1"));
  EXPECT_TRUE(SpecifierSet("==1.0.*").contains(Version("1.0." + std::string(500, '7'))));
}

TEST(Pep440, DefaultVersionIsZero) {
  Version v;
  EXPECT_EQ(v.str(), "0");
  EXPECT_EQ(v, Version("0.0"));
  EXPECT_LT(v, Version("0.0.1"));
}

TEST(Pep440, ErrorsCarryPackagingsTexts) {
  try {
    Version("banana");
    FAIL();
  } catch (const InvalidVersion& e) {
    EXPECT_STREQ(e.what(), "Invalid version: 'banana'");
  }
  try {
    SpecifierSet(">=1.0, lolwat");
    FAIL();
  } catch (const InvalidSpecifier& e) {
    EXPECT_STREQ(e.what(), "Invalid specifier: 'lolwat'");
  }
}

TEST(Pep440, CanonicalizeVersionKeepsTextThatIsNotAVersion) {
  EXPECT_EQ(canonicalize_version("1.0.0"), "1");
  EXPECT_EQ(canonicalize_version("1.0.0", false), "1.0.0");
  EXPECT_EQ(canonicalize_version("V1.0-RC.1+Ubuntu"), "1rc1+ubuntu");
  EXPECT_EQ(canonicalize_version("not a version"), "not a version");
}

}  // namespace
}  // namespace indexscout::pep440
