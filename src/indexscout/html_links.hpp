#pragma once
// The links of an HTML page: its <a> elements and the first <base> with an href, with their
// attributes as HTML reads them (names in lower case, the first of repeated names, character
// references decoded, line breaks normalised).

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace indexscout::html {

struct Element {
  std::vector<std::pair<std::string, std::string>> attributes;
  const std::string* attribute(std::string_view name) const {
    for (const auto& [key, value] : attributes)
      if (key == name) return &value;
    return nullptr;
  }
};

struct Links {
  std::optional<std::string> base_href;
  std::vector<Element> anchors;
};

// The project's own reader: HTML's tokenizer (comments, raw text of script, style and the like,
// attribute syntax, character references), without building a tree.
Links read_links(std::string_view page);

// One character reference at the start of `text` (just after its "&"), read as inside an
// attribute value: the decoded UTF-8 and how many bytes it took; nullopt when it is no reference.
std::optional<std::pair<std::string, std::size_t>> decode_reference(std::string_view text);

}  // namespace indexscout::html
