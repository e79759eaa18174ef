// Requirement texts, marker extras, core metadata and simple-index pages.
#include "indexscout/metadata.hpp"
#include "indexscout/requirement.hpp"
#include "indexscout/simple_index.hpp"
#include "indexscout/text.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace indexscout {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

Dependency dep(std::string name, std::string spec, std::vector<std::string> extras, std::string markers) {
  return Dependency{std::move(name), std::move(spec), std::move(extras), std::move(markers)};
}

TEST(Requirement, SplitsNameExtrasSpecAndMarkers) {
  EXPECT_EQ(requirement::parse("package>=1.0.0; extra == 'dev'"), dep("package", ">=1.0.0", {}, "extra == 'dev'"));
  EXPECT_EQ(requirement::parse("requests[security, socks] (>=2.0)"), dep("requests", "(>=2.0)", {"security", "socks"}, ""));
  EXPECT_EQ(requirement::parse("  Foo_Bar.baz  "), dep("Foo_Bar.baz", "", {}, ""));
  EXPECT_EQ(requirement::parse("a ; b ; c"), dep("a", "", {}, "b ; c"));  // only the first ";" splits
  EXPECT_EQ(requirement::parse("x>=1,<2 ;"), dep("x", ">=1,<2", {}, ""));
}

TEST(Requirement, ExtrasBracketEdges) {
  EXPECT_EQ(requirement::parse("a[]>=1"), dep("a", "[]>=1", {}, ""));  // an empty bracket is not one
  EXPECT_EQ(requirement::parse("a[x,,y]"), dep("a", "", {"x", "", "y"}, ""));
  EXPECT_EQ(requirement::parse("a[[x]"), dep("a", "", {"x"}, ""));
  EXPECT_EQ(requirement::parse("a[x"), dep("a", "[x", {}, ""));
}

TEST(Requirement, SpecStopsAtALineFeedAndNeedsANameFirst) {
  EXPECT_EQ(requirement::parse("a >=1\n<2"), dep("a", ">=1", {}, ""));
  EXPECT_EQ(requirement::parse("(broken"), std::nullopt);
  EXPECT_EQ(requirement::parse(" ; extra == 'x'"), std::nullopt);
  EXPECT_EQ(requirement::parse(""), std::nullopt);
  EXPECT_EQ(requirement::parse("\u00e9clair"), std::nullopt);
}

TEST(Requirement, MarkerExtra) {
  EXPECT_EQ(requirement::marker_extra("x ; extra == 'Dev'"), "Dev");
  EXPECT_EQ(requirement::marker_extra("x ; extra==\"a-b\""), "a-b");
  EXPECT_EQ(requirement::marker_extra("x ; extra\t==\u00a0'tab'"), "tab");  // any white space
  EXPECT_EQ(requirement::marker_extra("x ; extra == 'a\" and extra == 'b'"), "a");  // either quote closes
  EXPECT_EQ(requirement::marker_extra("x ; extra == ''"), std::nullopt);
  EXPECT_EQ(requirement::marker_extra("x ; extra == 'open"), std::nullopt);
  EXPECT_EQ(requirement::marker_extra("x ; extras == 'y' or extra == 'z'"), "z");
}

TEST(Requirement, GuardedExtrasNeedTheBlankBeforeEquals) {
  std::vector<std::string> rd = {"a ; extra == 'Security'", "b ; extra=='fast'", "c ; extra== 'slow'",
                                 "d ; extra == 'security'", "e ; extra == 'Security'", "f"};
  EXPECT_THAT(requirement::guarded_extras(rd, false), ElementsAre("Security", "security"));
  EXPECT_THAT(requirement::guarded_extras(rd, true), ElementsAre("security"));
}

TEST(CoreMetadataParse, HeadersRepeatsFoldingAndBody) {
  CoreMetadata md = CoreMetadata::parse(
      "Metadata-Version: 2.1\r\n"
      "Name:   demo-pkg\r\n"
      "Version: 1.0\r\n"
      "requires-dist: a>=1\r\n"
      "Requires-Dist: b ;\r\n"
      "  extra == 'x'\r\n"
      "Requires-Dist: \r\n"
      "\r\n"
      "Requires-Dist: in-the-body\r\n");
  EXPECT_EQ(md.get("name"), "demo-pkg");
  EXPECT_EQ(md.get("VERSION"), "1.0");
  EXPECT_EQ(md.get("Summary"), std::nullopt);
  EXPECT_THAT(md.get_all("Requires-Dist"), ElementsAre("a>=1", "b ;\r\n  extra == 'x'", ""));
}

TEST(CoreMetadataParse, StopsAtTheFirstLineThatIsNoHeader) {
  CoreMetadata md = CoreMetadata::parse("Name: x\nnot a header\nVersion: 1\n");
  EXPECT_EQ(md.get("Name"), "x");
  EXPECT_EQ(md.get("Version"), std::nullopt);
  EXPECT_THAT(CoreMetadata::parse("").headers(), IsEmpty());
  EXPECT_EQ(CoreMetadata::parse("Name: last").get("Name"), "last");  // no final line break
}

TEST(SimpleIndex, HtmlPageLinksHashesAndMetadata) {
  auto files = simple::parse_html_page(
      R"(<html><head><base href="https://files.example/root/"></head><body>
      <a href="../pkgs/Demo_Pkg-1.0-py3-none-any.whl#sha256=ABCD" data-dist-info-metadata="sha256=beef">x</a>
      <a href="Demo-Pkg-1.0.tar.gz" data-core-metadata="true" data-yanked="">y</a>
      <a href="https://other.example/a%20b/demo-pkg-2.0.zip" data-core-metadata="false">z</a>
      <a>no href</a></body></html>)",
      "https://index.example/simple/demo-pkg/");
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[0].url, "https://files.example/pkgs/Demo_Pkg-1.0-py3-none-any.whl");
  EXPECT_EQ(files[0].filename, "Demo_Pkg-1.0-py3-none-any.whl");
  ASSERT_TRUE(files[0].hash && files[0].metadata_hash);
  EXPECT_EQ(files[0].hash->value, "ABCD");
  EXPECT_EQ(files[0].metadata_hash->name, "sha256");
  EXPECT_TRUE(files[0].core_metadata);
  EXPECT_TRUE(files[1].core_metadata && files[1].yanked && !files[1].metadata_hash);
  EXPECT_EQ(files[2].filename, "demo-pkg-2.0.zip");
  EXPECT_FALSE(files[2].core_metadata);
}

TEST(SimpleIndex, JsonPage) {
  auto files = simple::parse_json_page(
      R"({"meta":{"api-version":"1.1"},"name":"demo","files":[
        {"filename":"demo-1.0-py3-none-any.whl","url":"../../f/demo-1.0-py3-none-any.whl",
         "hashes":{"md5":"m","sha256":"s"},"core-metadata":{"sha256":"c"},"yanked":"broken"},
        {"filename":"demo-1.0.tar.gz","url":"https://cdn.example/demo-1.0.tar.gz#md5=q","hashes":{},
         "dist-info-metadata":true},
        {"filename":"bad","url":5}]})",
      "https://index.example/simple/demo/");
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].url, "https://index.example/f/demo-1.0-py3-none-any.whl");
  EXPECT_EQ(files[0].hash->value, "s");
  EXPECT_EQ(files[0].metadata_hash->value, "c");
  EXPECT_TRUE(files[0].yanked);
  EXPECT_EQ(files[1].url, "https://cdn.example/demo-1.0.tar.gz");
  EXPECT_EQ(files[1].hash->name, "md5");
  EXPECT_TRUE(files[1].core_metadata);
  EXPECT_THROW(simple::parse_json_page("[]", "https://x/"), simple::PageError);
  EXPECT_THROW(simple::parse_json_page("{", "https://x/"), simple::PageError);
}

TEST(SimpleIndex, DistributionFileNames) {
  using simple::match_distribution;
  auto wheel = match_distribution("Demo_Pkg-1.0.post1-2-py3-none-any.whl", "demo-pkg");
  ASSERT_TRUE(wheel);
  EXPECT_EQ(wheel->version, "1.0.post1");
  EXPECT_TRUE(wheel->wheel);
  EXPECT_EQ(match_distribution("demo_pkg-1.0-py3-none.whl", "demo-pkg"), std::nullopt);  // too few parts
  EXPECT_EQ(match_distribution("other-1.0-py3-none-any.whl", "demo-pkg"), std::nullopt);
  auto sdist = match_distribution("Demo.Pkg-2.0-beta.TAR.GZ", "demo-pkg");
  ASSERT_TRUE(sdist);
  EXPECT_EQ(sdist->version, "2.0-beta");
  EXPECT_FALSE(sdist->wheel);
  EXPECT_EQ(match_distribution("demo-pkg-extra-1.0.zip", "demo-pkg")->version, "extra-1.0");
  EXPECT_EQ(match_distribution("demo-pkg-.tar.gz", "demo-pkg"), std::nullopt);
  EXPECT_EQ(match_distribution("demo-pkg-1.0.exe", "demo-pkg"), std::nullopt);
  EXPECT_EQ(match_distribution("demo-pkg-1.0-py2.7.egg", "demo-pkg"), std::nullopt);
}

TEST(SimpleIndex, ResolveUrl) {
  EXPECT_EQ(simple::resolve_url("https://h/a/b/", "../c d.whl"), "https://h/a/c%20d.whl");
  EXPECT_EQ(simple::resolve_url("https://h/a/", "//cdn/x"), "https://cdn/x");
  EXPECT_EQ(simple::resolve_url("not a url", "x"), std::nullopt);
}

TEST(Text, PythonWhiteSpace) {
  EXPECT_EQ(text::strip("\u3000\t a b \u00a0\x1f"), "a b");
  EXPECT_EQ(text::strip("\u200b"), "\u200b");  // zero-width space is not white space
  EXPECT_EQ(text::strip("\xff "), "\xff");      // stray bytes stay
  EXPECT_EQ(text::find_space("ab\u2028c"), 2u);
}

}  // namespace
}  // namespace indexscout
