// Requirement texts (Requires-Dist values, dependency queries) and the extras their markers
// name. Whatever the text: a parsed requirement's parts are what the text says, stripped and
// without separators inside them, and marker extras are quoted texts of the input.
//
// Input: requirement texts, one per line; the whole input is also parsed as one text.
#include "check.hpp"

#include "indexscout/requirement.hpp"
#include "indexscout/text.hpp"

#include <boost/json/serialize.hpp>

#include <cstddef>
#include <cstdint>

using namespace indexscout;

namespace {

bool name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
}

void check_requirement(std::string_view text) {
  auto d = requirement::parse(text);
  const std::size_t semi = text.find(';');
  const std::string_view package = text::strip(text.substr(0, semi));
  if (!d) {
    FUZZ_CHECK(package.empty() || !name_char(package[0]));
    return;
  }
  FUZZ_CHECK(!d->name.empty() && package.starts_with(d->name));
  for (char c : d->name) FUZZ_CHECK(name_char(c));
  FUZZ_CHECK(d->version_spec == text::strip(d->version_spec));
  FUZZ_CHECK(d->version_spec.find('\n') == std::string::npos);
  FUZZ_CHECK(d->markers == text::strip(d->markers));
  if (semi == std::string_view::npos) FUZZ_CHECK(d->markers.empty());
  else FUZZ_CHECK(text.substr(semi + 1).find(d->markers) != std::string_view::npos);
  FUZZ_CHECK(package.find(d->version_spec) != std::string_view::npos);
  for (const auto& e : d->extras) {
    FUZZ_CHECK(e.find(',') == std::string::npos && e.find(']') == std::string::npos);
    FUZZ_CHECK(e == text::strip(e));
  }
  // The JSON form carries the same parts.
  boost::json::object o = to_json(*d);
  FUZZ_CHECK(o.size() == 4 && o.at("extras").as_array().size() == d->extras.size());
  FUZZ_CHECK(!boost::json::serialize(o).empty());
}

void check_marker_extra(std::string_view text) {
  auto extra = requirement::marker_extra(text);
  if (!extra) return;
  FUZZ_CHECK(!extra->empty());
  FUZZ_CHECK(extra->find('"') == std::string::npos && extra->find('\'') == std::string::npos);
  FUZZ_CHECK(text.find(*extra) != std::string_view::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  check_requirement(input);
  check_marker_extra(input);

  std::vector<std::string> lines;
  for (std::size_t start = 0; start <= input.size();) {
    std::size_t end = input.find('\n', start);
    if (end == std::string_view::npos) end = input.size();
    lines.emplace_back(input.substr(start, end - start));
    start = end + 1;
  }
  for (const auto& line : lines) {
    check_requirement(line);
    check_marker_extra(line);
  }
  for (bool lower : {false, true}) {
    for (const std::string& extra : requirement::guarded_extras(lines, lower)) {
      FUZZ_CHECK(!extra.empty());
      if (lower) FUZZ_CHECK(extra == text::ascii_lower(extra));
      bool from_a_line = false;
      for (const auto& line : lines) {
        if (line.find("extra ==") == std::string::npos) continue;
        auto e = requirement::marker_extra(line);
        from_a_line |= e && (lower ? text::ascii_lower(*e) : *e) == extra;
      }
      FUZZ_CHECK_MSG(from_a_line, "a guarded extra no line with \"extra ==\" names");
    }
  }
  return 0;
}
