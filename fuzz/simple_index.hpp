#pragma once
// What must hold for every file listed on a project page, whichever form the page has.
#include "check.hpp"

#include "indexscout/simple_index.hpp"
#include "indexscout/text.hpp"

#include <boost/url/parse.hpp>

namespace fuzzing {

inline constexpr std::string_view kPageUrl = "https://index.example/simple/demo-pkg/";

// `from_fragments`: hashes come from "#name=value" fragments and metadata attributes, which are
// only read when both parts are there (a JSON page's hashes are taken as they are: an empty
// digest then matches no file, which refuses it).
inline void check_files(const std::vector<indexscout::simple::IndexFile>& files, bool from_fragments) {
  for (const auto& f : files) {
    FUZZ_CHECK_MSG(f.url.find('#') == std::string::npos, "a file URL kept its fragment: " + f.url);
    auto parsed = boost::urls::parse_uri(f.url);
    FUZZ_CHECK_MSG(parsed.has_value(), "a file URL is not an absolute URL: " + f.url);
    FUZZ_CHECK(!parsed->scheme().empty());
    if (f.hash && from_fragments) FUZZ_CHECK(!f.hash->name.empty() && !f.hash->value.empty());
    if (f.metadata_hash) FUZZ_CHECK(f.core_metadata);
    if (f.metadata_hash && from_fragments) FUZZ_CHECK(!f.metadata_hash->name.empty() && !f.metadata_hash->value.empty());
    // Resolving a resolved URL against the page changes nothing.
    auto again = indexscout::simple::resolve_url(kPageUrl, f.url);
    FUZZ_CHECK_MSG(again.has_value(), "a file URL does not resolve again: " + f.url);
    if (auto dist = indexscout::simple::match_distribution(f.filename, "demo-pkg")) {
      FUZZ_CHECK(!dist->version.empty());
      FUZZ_CHECK(f.filename.find(dist->version) != std::string::npos);
    }
  }
}

}  // namespace fuzzing
