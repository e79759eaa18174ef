#pragma once
// Requirement texts (the subset of PEP 508 that the index queries need) and extras named in
// requirement markers. Pure functions over text.
#include <boost/json/object.hpp>

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace indexscout {

// One requirement as the dependency query returns it.
struct Dependency {
  std::string name;          // project name as written
  std::string version_spec;  // everything after the name and extras, stripped (">=1.0,<2", "(>=2.0)")
  std::vector<std::string> extras;
  std::string markers;       // everything after the first ";", stripped
  bool operator==(const Dependency&) const = default;
};

// {"name", "version_spec", "extras", "markers"} in that order.
boost::json::object to_json(const Dependency& dependency);

namespace requirement {

// Splits a requirement text. nullopt when the part before ";" does not start (after white
// space) with a project-name character [A-Za-z0-9._-].
std::optional<Dependency> parse(std::string_view req);

// The name in the first `extra == "name"` (any white space around "==", either quote) of
// `text`, as written; nullopt when there is none.
std::optional<std::string> marker_extra(std::string_view text);

// Extras guarded by the markers of Requires-Dist texts: only texts containing the exact text
// "extra ==" count, and each gives at most one extra. `lower` lower-cases the names.
std::set<std::string> guarded_extras(const std::vector<std::string>& requires_dist, bool lower);

}  // namespace requirement
}  // namespace indexscout
