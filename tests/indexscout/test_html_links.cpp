// The project's own HTML link reader (the Windows build's) against gumbo's full HTML parser (the
// Linux build's): on hand-written pages and on many generated ones, both find the same links.
#include "indexscout/html_links.hpp"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <gumbo.h>
#endif

#include <memory>
#include <random>
#include <sstream>

namespace {

using indexscout::html::decode_reference;
using indexscout::html::Links;
using indexscout::html::read_links;

std::string describe(const Links& links) {
  std::ostringstream out;
  out << "base=" << (links.base_href ? "[" + *links.base_href + "]" : "none") << "\n";
  for (const auto& a : links.anchors) {
    out << "a";
    for (const auto& [k, v] : a.attributes) out << " [" << k << "]=[" << v << "]";
    out << "\n";
  }
  return out.str();
}

TEST(HtmlLinks, ReadsAnchorsBaseAndAttributesAsHtmlDoes) {
  const Links links = read_links(
      "<!DOCTYPE html><html><head><BASE Href='https://h/x/'><base href=/ignored></head><body>\n"
      "<!-- <a href=commented> --><script>var s = '<a href=in-script>';</script>\n"
      "<A HREF=\"a.whl#sha256=1&amp;x\" data-yanked data-core-metadata = 'sha256=ab'>t</A>\n"
      "<a href=b&copy=1&not;&#x41;&#65;&#x80;&#0;&bogus; title=\"x\" TITLE=\"second\">"
      "<textarea><a href=in-text></textarea><a href='line\r\nbreak'>");
  EXPECT_EQ(describe(links),
            "base=[https://h/x/]\n"
            "a [href]=[a.whl#sha256=1&x] [data-yanked]=[] [data-core-metadata]=[sha256=ab]\n"
            "a [href]=[b&copy=1\xc2\xac" "AA\xe2\x82\xac\xef\xbf\xbd&bogus;] [title]=[x]\n"
            "a [href]=[line\nbreak]\n");
  // A tag the page's end cuts off is no tag; an unclosed comment hides the rest.
  EXPECT_EQ(read_links("<a href=one><a href='two").anchors.size(), 1u);
  EXPECT_EQ(read_links("<a href=one><!-- <a href=two>").anchors.size(), 1u);
  EXPECT_EQ(*decode_reference("amp;rest"), std::make_pair(std::string("&"), std::size_t{4}));
  EXPECT_EQ(decode_reference("ampx"), std::nullopt);
  EXPECT_EQ(decode_reference("#x"), std::nullopt);
}

#if !defined(_WIN32)

void collect(const GumboNode* node, Links& links) {
  if (node->type != GUMBO_NODE_ELEMENT && node->type != GUMBO_NODE_DOCUMENT) return;
  const GumboVector* children = &node->v.document.children;
  if (node->type == GUMBO_NODE_ELEMENT) {
    const GumboElement& el = node->v.element;
    auto attributes = [&] {
      indexscout::html::Element e;
      for (unsigned i = 0; i < el.attributes.length; ++i) {
        auto* attr = static_cast<const GumboAttribute*>(el.attributes.data[i]);
        e.attributes.emplace_back(attr->name, attr->value);
      }
      return e;
    };
    // Copies of an unclosed <a> that the tree builder makes to reopen it are not in the page.
    const bool copy = node->parse_flags & (GUMBO_INSERTION_RECONSTRUCTED_FORMATTING_ELEMENT |
                                           GUMBO_INSERTION_ADOPTION_AGENCY_CLONED);
    if (el.tag == GUMBO_TAG_A && !copy) links.anchors.push_back(attributes());
    if (el.tag == GUMBO_TAG_BASE && !links.base_href)
      if (const GumboAttribute* href = gumbo_get_attribute(&el.attributes, "href")) links.base_href = href->value;
    children = &el.children;
  }
  for (unsigned i = 0; i < children->length; ++i) collect(static_cast<const GumboNode*>(children->data[i]), links);
}

Links gumbo_links(const std::string& page) {
  std::unique_ptr<GumboOutput, void (*)(GumboOutput*)> output(
      gumbo_parse_with_options(&kGumboDefaultOptions, page.data(), page.size()),
      [](GumboOutput* o) { gumbo_destroy_output(&kGumboDefaultOptions, o); });
  Links links;
  collect(output->document, links);
  return links;
}

// Pages made of the pieces an index page (or a broken one) is made of.
std::string generated_page(std::mt19937& rng) {
  static const std::vector<std::string> pieces = {
      "<a href=\"pkg-1.0.tar.gz#sha256=ab\">pkg</a>\n", "<a href='q?a=1&amp;b=2&copy=3&copy;'>", "<A HREF=x.whl>",
      "<a href=u&lt;v&#x263a;&#128512;&#xD800;&#150;>", "<a data-yanked=\"\" href=y>", "<a href = \"z\" href=dup>",
      "<base href=\"https://b/\">", "<base target=_x>", "<!-- c -->", "<!-->", "<!--->", "<!-- a --!> b",
      "<!DOCTYPE html>", "<?pi x>", "</a>", "</p x='>'>", "</>", "<script>x = '<a href=s>'</script>",
      "<style>a{}</style >", "<title>&amp;<a href=t></title>", "<p>", "<div class=c>", "text & more ",
      "<br/>", "<img src=i />", "<a/href=slash>", "<a href=\"nl\r\nx\"  data-core-metadata=sha256=cd>",
      "<a\thref\n=\fv>", "<table><tr><td><a href=cell></td></tr></table>",
      "<noscript><a href=ns></noscript>", "<iframe><a href=if></iframe>", "&nbsp;", "<a =x href=e>",
      "<a href=\"&notin;&notit;&not\">", "<a href='&ampx;&amp'>", "<a href=\"&#x110000;&#0;&#65\">",
      "<ul><li><a href=li1><li><a href=li2></ul>", "<a href=a1><a href=a2>", "<xmp><a href=xm></xmp>"};
  std::string page = rng() % 2 ? "<!DOCTYPE html><html><head><title>Links</title></head><body>" : "";
  for (int n = static_cast<int>(rng() % 12); n >= 0; --n) page += pieces[rng() % pieces.size()];
  return page;
}

TEST(HtmlLinks, FindsWhatAFullHtmlParserFinds) {
  std::mt19937 rng(20261210);
  for (int round = 0; round < 3000; ++round) {
    const std::string page = generated_page(rng);
    ASSERT_EQ(describe(read_links(page)), describe(gumbo_links(page))) << page;
  }
}

#endif

}  // namespace
