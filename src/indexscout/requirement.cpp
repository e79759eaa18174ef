#include "indexscout/requirement.hpp"

#include "indexscout/text.hpp"

#include <boost/json/array.hpp>

namespace indexscout {

boost::json::object to_json(const Dependency& d) {
  boost::json::object o;
  o["name"] = d.name;
  o["version_spec"] = d.version_spec;
  boost::json::array extras;
  for (const auto& e : d.extras) extras.emplace_back(e);
  o["extras"] = std::move(extras);
  o["markers"] = d.markers;
  return o;
}

namespace requirement {
namespace {

bool is_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
         c == '-';
}

}  // namespace

std::optional<Dependency> parse(std::string_view req) {
  Dependency d;
  std::string_view package = req;
  if (std::size_t semi = req.find(';'); semi != std::string_view::npos) {
    package = req.substr(0, semi);
    d.markers = text::strip(req.substr(semi + 1));
  }
  package = text::strip(package);

  std::size_t i = 0;
  while (i < package.size() && is_name_char(package[i])) ++i;
  if (i == 0) return std::nullopt;
  d.name = package.substr(0, i);

  // An extras bracket: "[", at least one character other than "]", then "]".
  std::string_view bracket;
  if (i < package.size() && package[i] == '[') {
    std::size_t close = package.find(']', i + 1);
    if (close != std::string_view::npos && close > i + 1) {
      bracket = package.substr(i, close - i + 1);
      i = close + 1;
    }
  }
  // The rest of the line (a regular-expression "." stops at a line feed).
  std::string_view rest = package.substr(i);
  rest = rest.substr(0, rest.find('\n'));
  d.version_spec = text::strip(rest);

  if (!bracket.empty()) {
    std::size_t b = 0, e = bracket.size();
    while (b < e && (bracket[b] == '[' || bracket[b] == ']')) ++b;
    while (e > b && (bracket[e - 1] == '[' || bracket[e - 1] == ']')) --e;
    std::string_view inner = bracket.substr(b, e - b);
    std::size_t start = 0;
    for (std::size_t k = 0; k <= inner.size(); ++k) {
      if (k == inner.size() || inner[k] == ',') {
        d.extras.emplace_back(text::strip(inner.substr(start, k - start)));
        start = k + 1;
      }
    }
  }
  return d;
}

std::optional<std::string> marker_extra(std::string_view s) {
  auto skip_space = [&](std::size_t i) {
    while (std::size_t n = text::space_at(s, i)) i += n;
    return i;
  };
  for (std::size_t at = s.find("extra"); at != std::string_view::npos; at = s.find("extra", at + 1)) {
    std::size_t i = skip_space(at + 5);
    if (s.substr(i, 2) != "==") continue;
    i = skip_space(i + 2);
    if (i >= s.size() || (s[i] != '"' && s[i] != '\'')) continue;
    std::size_t start = ++i;
    while (i < s.size() && s[i] != '"' && s[i] != '\'') ++i;
    if (i == start || i >= s.size()) continue;
    return std::string(s.substr(start, i - start));
  }
  return std::nullopt;
}

std::set<std::string> guarded_extras(const std::vector<std::string>& requires_dist, bool lower) {
  std::set<std::string> out;
  for (const std::string& req : requires_dist) {
    if (req.find("extra ==") == std::string::npos) continue;
    if (auto extra = marker_extra(req)) out.insert(lower ? text::ascii_lower(*extra) : *extra);
  }
  return out;
}

}  // namespace requirement
}  // namespace indexscout
