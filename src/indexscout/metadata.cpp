#include "indexscout/metadata.hpp"

#include "indexscout/text.hpp"

namespace indexscout {
namespace {

// A header line: printable ASCII other than ":" up to a ":".
bool header_name_end(std::string_view line, std::size_t& colon) {
  for (std::size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == ':') {
      colon = i;
      return true;
    }
    if (c < '!' || c > '~') return false;
  }
  return false;
}

}  // namespace

CoreMetadata CoreMetadata::parse(std::string_view text) {
  CoreMetadata md;
  std::string* current = nullptr;  // value of the header being continued
  bool first_line = true;
  std::size_t pos = 0;
  while (pos < text.size()) {
    // One line with its ending (\n, \r\n or \r).
    std::size_t end = text.find_first_of("\r\n", pos);
    std::size_t next = end == std::string_view::npos ? text.size()
                       : (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? end + 2
                                                                                                : end + 1;
    std::string_view line = text.substr(pos, (end == std::string_view::npos ? text.size() : end) - pos);
    std::string_view raw = text.substr(pos, next - pos);
    pos = next;

    if (line.empty()) break;  // end of the headers
    if (line[0] == ' ' || line[0] == '\t') {
      if (current) current->append(raw);  // folded header: kept with its line break
      continue;
    }
    if (first_line && line.starts_with("From ")) {
      first_line = false;
      continue;
    }
    first_line = false;
    std::size_t colon;
    if (!header_name_end(line, colon)) break;  // not a header: the body starts here
    if (current) {
      while (!current->empty() && (current->back() == '\n' || current->back() == '\r')) current->pop_back();
    }
    std::string_view value = raw.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    md.headers_.emplace_back(std::string(line.substr(0, colon)), std::string(value));
    current = &md.headers_.back().second;
  }
  if (current) {
    while (!current->empty() && (current->back() == '\n' || current->back() == '\r')) current->pop_back();
  }
  return md;
}

std::optional<std::string> CoreMetadata::get(std::string_view name) const {
  for (const auto& [k, v] : headers_)
    if (text::iequals_ascii(k, name)) return v;
  return std::nullopt;
}

std::vector<std::string> CoreMetadata::get_all(std::string_view name) const {
  std::vector<std::string> out;
  for (const auto& [k, v] : headers_)
    if (text::iequals_ascii(k, name)) out.push_back(v);
  return out;
}

}  // namespace indexscout
