#include "indexscout/simple_index.hpp"

#include "indexscout/html_links.hpp"
#include "indexscout/text.hpp"

#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>

#if !defined(_WIN32)
#include <gumbo.h>
#endif

#include <memory>

namespace indexscout::simple {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percent_decode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && hex_value(s[i + 1]) >= 0 && hex_value(s[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex_value(s[i + 1]) * 16 + hex_value(s[i + 2])));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

// Characters that may stand in a URL as they are; everything else is percent-encoded before
// parsing, the way browsers and pip's HTML parser tolerate hrefs with blanks and the like.
bool url_safe(unsigned char c) {
  if (c >= 0x80 || c <= 0x20 || c == 0x7f) return false;
  switch (c) {
    case '"': case '<': case '>': case '\\': case '^': case '`': case '{': case '|': case '}':
      return false;
    default:
      return true;
  }
}

std::string encode_unsafe(std::string_view s) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '%') {
      bool escape = i + 2 < s.size() && hex_value(s[i + 1]) >= 0 && hex_value(s[i + 2]) >= 0;
      out.append(escape ? "%" : "%25");
    } else if (url_safe(c)) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    }
  }
  return out;
}

// Splits "<url>#<name>=<value>" into the URL without fragment and the hash.
void split_fragment(std::string& url, std::optional<Hash>& hash) {
  std::size_t hashmark = url.find('#');
  if (hashmark == std::string::npos) return;
  std::string fragment = url.substr(hashmark + 1);
  url.erase(hashmark);
  std::size_t eq = fragment.find('=');
  if (eq != std::string::npos && eq > 0 && eq + 1 < fragment.size())
    hash = Hash{text::ascii_lower(fragment.substr(0, eq)), fragment.substr(eq + 1)};
}

std::string filename_of(std::string_view url) {
  std::string_view path = url;
  if (std::size_t q = path.find('?'); q != std::string_view::npos) path = path.substr(0, q);
  std::size_t slash = path.rfind('/');
  return percent_decode(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// A metadata attribute: absent, "false", "true" or "<hash name>=<value>".
void read_metadata_attribute(std::string_view value, IndexFile& f) {
  if (text::iequals_ascii(value, "false")) return;
  f.core_metadata = true;
  std::size_t eq = value.find('=');
  if (eq != std::string_view::npos && eq > 0 && eq + 1 < value.size())
    f.metadata_hash = Hash{text::ascii_lower(value.substr(0, eq)), std::string(value.substr(eq + 1))};
}

std::optional<Hash> preferred_hash(const boost::json::value* hashes) {
  if (!hashes || !hashes->is_object()) return std::nullopt;
  const auto& o = hashes->get_object();
  if (auto it = o.find("sha256"); it != o.end() && it->value().is_string())
    return Hash{"sha256", std::string(it->value().get_string())};
  for (const auto& kv : o)
    if (kv.value().is_string()) return Hash{std::string(kv.key()), std::string(kv.value().get_string())};
  return std::nullopt;
}

#if defined(_WIN32)
// Windows has no gumbo here: the project's own reader, which finds the same links (a test
// compares the two on the Linux build).
html::Links page_links(std::string_view body) { return html::read_links(body); }
#else
void collect_links(const GumboNode* node, html::Links& links) {
  if (node->type != GUMBO_NODE_ELEMENT && node->type != GUMBO_NODE_DOCUMENT) return;
  const GumboVector* children;
  if (node->type == GUMBO_NODE_ELEMENT) {
    const GumboElement& el = node->v.element;
    if (el.tag == GUMBO_TAG_A) {
      html::Element anchor;
      for (unsigned i = 0; i < el.attributes.length; ++i) {
        const auto* attribute = static_cast<const GumboAttribute*>(el.attributes.data[i]);
        anchor.attributes.emplace_back(attribute->name, attribute->value);
      }
      links.anchors.push_back(std::move(anchor));
    }
    if (el.tag == GUMBO_TAG_BASE && !links.base_href)
      if (const GumboAttribute* href = gumbo_get_attribute(&el.attributes, "href")) links.base_href = href->value;
    children = &el.children;
  } else {
    children = &node->v.document.children;
  }
  for (unsigned i = 0; i < children->length; ++i) collect_links(static_cast<const GumboNode*>(children->data[i]), links);
}

html::Links page_links(std::string_view body) {
  std::unique_ptr<GumboOutput, void (*)(GumboOutput*)> output(
      gumbo_parse_with_options(&kGumboDefaultOptions, body.data(), body.size()),
      [](GumboOutput* o) { gumbo_destroy_output(&kGumboDefaultOptions, o); });
  html::Links links;
  if (output) collect_links(output->document, links);
  return links;
}
#endif

}  // namespace

std::optional<std::string> resolve_url(std::string_view base, std::string_view ref) {
  std::string base_text = encode_unsafe(text::strip(base));
  std::string ref_text = encode_unsafe(text::strip(ref));
  auto b = boost::urls::parse_uri(base_text);
  auto r = boost::urls::parse_uri_reference(ref_text);
  if (!b || !r) return std::nullopt;
  boost::urls::url out;
  if (!boost::urls::resolve(*b, *r, out)) return std::nullopt;
  return std::string(out.buffer());
}

std::vector<IndexFile> parse_json_page(std::string_view body, std::string_view page_url) {
  boost::system::error_code ec;
  boost::json::value doc = boost::json::parse(body, ec);
  if (ec) throw PageError("project page is not JSON: " + ec.message());
  if (!doc.is_object()) throw PageError("project page is not a JSON object");
  const boost::json::value* files = doc.get_object().if_contains("files");
  if (!files || !files->is_array()) throw PageError("project page has no list of files");

  std::vector<IndexFile> out;
  for (const boost::json::value& entry : files->get_array()) {
    if (!entry.is_object()) continue;
    const auto& o = entry.get_object();
    const boost::json::value* url = o.if_contains("url");
    if (!url || !url->is_string()) continue;
    auto resolved = resolve_url(page_url, url->get_string());
    if (!resolved) continue;
    IndexFile f;
    f.url = std::move(*resolved);
    split_fragment(f.url, f.hash);
    if (auto h = preferred_hash(o.if_contains("hashes"))) f.hash = std::move(h);
    const boost::json::value* name = o.if_contains("filename");
    f.filename = name && name->is_string() ? std::string(name->get_string()) : filename_of(f.url);
    const boost::json::value* md = o.if_contains("core-metadata");
    if (!md) md = o.if_contains("dist-info-metadata");
    if (md) {
      if (md->is_bool()) {
        f.core_metadata = md->get_bool();
      } else if (md->is_object()) {
        f.core_metadata = true;
        f.metadata_hash = preferred_hash(md);
      }
    }
    if (const boost::json::value* y = o.if_contains("yanked"))
      f.yanked = (y->is_bool() && y->get_bool()) || y->is_string();
    out.push_back(std::move(f));
  }
  return out;
}

std::vector<IndexFile> parse_html_page(std::string_view body, std::string_view page_url) {
  const html::Links links = page_links(body);
  std::string base(page_url);
  if (links.base_href) {
    if (auto b = resolve_url(page_url, *links.base_href)) base = *b;
  }
  std::vector<IndexFile> out;
  for (const html::Element& a : links.anchors) {
    const std::string* href = a.attribute("href");
    if (!href) continue;
    auto resolved = resolve_url(base, *href);
    if (!resolved) continue;
    IndexFile f;
    f.url = std::move(*resolved);
    split_fragment(f.url, f.hash);
    f.filename = filename_of(f.url);
    const std::string* md = a.attribute("data-core-metadata");
    if (!md) md = a.attribute("data-dist-info-metadata");
    if (md) read_metadata_attribute(*md, f);
    f.yanked = a.attribute("data-yanked") != nullptr;
    out.push_back(std::move(f));
  }
  return out;
}

std::optional<DistributionFile> match_distribution(std::string_view filename, std::string_view project) {
  if (text::istarts_with_ascii(filename.size() >= 4 ? filename.substr(filename.size() - 4) : "", ".whl")) {
    // {name}-{version}(-{build})?-{python}-{abi}-{platform}.whl
    std::string_view stem = filename.substr(0, filename.size() - 4);
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= stem.size(); ++i) {
      if (i == stem.size() || stem[i] == '-') {
        parts.push_back(stem.substr(start, i - start));
        start = i + 1;
      }
    }
    if (parts.size() != 5 && parts.size() != 6) return std::nullopt;
    if (parts[0].empty() || parts[1].empty() || text::normalize_name(parts[0]) != project) return std::nullopt;
    return DistributionFile{std::string(parts[1]), true};
  }
  static constexpr std::string_view kArchives[] = {".tar.gz", ".tar.bz2", ".tar.xz", ".tar.lz", ".tar.lzma", ".tgz",
                                                   ".tbz",    ".txz",     ".tlz",    ".tar",    ".zip"};
  for (std::string_view ext : kArchives) {
    if (filename.size() <= ext.size() || !text::iequals_ascii(filename.substr(filename.size() - ext.size()), ext))
      continue;
    // Project names may themselves contain "-": take the first "-" after which the part
    // before it normalises to the project's name.
    std::string_view stem = filename.substr(0, filename.size() - ext.size());
    for (std::size_t i = stem.find('-'); i != std::string_view::npos; i = stem.find('-', i + 1)) {
      if (text::normalize_name(stem.substr(0, i)) == project) {
        if (i + 1 >= stem.size()) return std::nullopt;
        return DistributionFile{std::string(stem.substr(i + 1)), false};
      }
    }
    return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace indexscout::simple
