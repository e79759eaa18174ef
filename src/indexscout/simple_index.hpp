#pragma once
// Project pages of PEP 503 simple indexes, in their HTML form and their PEP 691 JSON form, and
// the distribution file names listed on them. Pure functions over text.
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace indexscout::simple {

// A page that is not a project page of the form it claims to be.
class PageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Hash {
  std::string name;   // "sha256", ...
  std::string value;  // hex digest as given
};

struct IndexFile {
  std::string filename;
  std::string url;  // absolute, without fragment
  std::optional<Hash> hash;
  bool core_metadata = false;  // the index serves "<url>.metadata" (PEP 658 / 714)
  std::optional<Hash> metadata_hash;
  bool yanked = false;
};

// The JSON form (application/vnd.pypi.simple.v1+json). Throws PageError.
std::vector<IndexFile> parse_json_page(std::string_view body, std::string_view page_url);
// The HTML form: every <a href> of the page, resolved against <base href> or the page URL.
std::vector<IndexFile> parse_html_page(std::string_view body, std::string_view page_url);

// `ref` resolved against `base`; nullopt when either is not a usable URL.
std::optional<std::string> resolve_url(std::string_view base, std::string_view ref);

struct DistributionFile {
  std::string version;  // as written in the file name
  bool wheel = false;
};

// When `filename` names a wheel or a source archive of the project whose PEP 503 normalised
// name is `normalized_project`, its version text and kind.
std::optional<DistributionFile> match_distribution(std::string_view filename, std::string_view normalized_project);

}  // namespace indexscout::simple
