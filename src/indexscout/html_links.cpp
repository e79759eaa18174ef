#include "indexscout/html_links.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

namespace indexscout::html {

namespace {

struct NamedReference {
  std::string_view name;
  std::string_view text;
};

constexpr NamedReference kNamed[] = {
#include "indexscout/html_entities.inc"
};
constexpr std::size_t kLongestName = 32;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f'; }
bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alnum(char c) { return is_alpha(c) || is_digit(c); }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xc0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xe0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  }
}

constexpr std::string_view kReplacement = "\xef\xbf\xbd";

// Numeric references to 0x80..0x9f mean what windows-1252 puts there (0 where it has nothing).
constexpr std::array<std::uint16_t, 32> kWindows1252 = {
    0x20ac, 0,      0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021, 0x02c6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017d, 0,      0,      0x2018, 0x2019, 0x201c, 0x201d, 0x2022,
    0x2013, 0x2014, 0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0,      0x017e, 0x0178};

std::string numeric_text(std::uint32_t cp) {
  std::string out;
  if (cp == 0 || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return std::string(kReplacement);
  if (cp >= 0x80 && cp <= 0x9f && kWindows1252[cp - 0x80]) cp = kWindows1252[cp - 0x80];
  append_utf8(out, cp);
  return out;
}

// Line breaks as HTML reads them (CR LF and lone CR become LF), NUL as U+FFFD.
void append_normalised(std::string& out, std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r') {
      out += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (c == '\0') {
      out += kReplacement;
    } else {
      out += c;
    }
  }
}

std::string decode_value(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  for (std::size_t i = 0; i < raw.size();) {
    std::size_t amp = raw.find('&', i);
    append_normalised(out, raw.substr(i, amp == std::string_view::npos ? std::string_view::npos : amp - i));
    if (amp == std::string_view::npos) break;
    if (auto ref = decode_reference(raw.substr(amp + 1))) {
      out += ref->first;
      i = amp + 1 + ref->second;
    } else {
      out += '&';
      i = amp + 1;
    }
  }
  return out;
}

struct Tag {
  std::string name;
  Element element;
};

class Tokenizer {
 public:
  explicit Tokenizer(std::string_view page) : p_(page) {}

  Links run() {
    Links links;
    while (pos_ < p_.size()) {
      std::size_t lt = p_.find('<', pos_);
      if (lt == std::string_view::npos) break;
      pos_ = lt + 1;
      if (pos_ >= p_.size()) break;
      char c = p_[pos_];
      if (c == '!') {
        if (p_.substr(pos_ + 1, 2) == "--") skip_comment(pos_ + 3);
        else skip_past('>');
      } else if (c == '?') {
        skip_past('>');
      } else if (c == '/') {
        if (pos_ + 1 < p_.size() && is_alpha(p_[pos_ + 1])) {
          Tag ignored;
          ++pos_;
          if (!read_tag(ignored)) break;
        } else if (pos_ + 1 < p_.size() && p_[pos_ + 1] == '>') {
          pos_ += 2;
        } else if (pos_ + 1 >= p_.size()) {
          break;
        } else {
          skip_past('>');
        }
      } else if (is_alpha(c)) {
        Tag tag;
        if (!read_tag(tag)) break;  // a tag cut off by the end of the page is no tag
        if (tag.name == "a") {
          links.anchors.push_back(std::move(tag.element));
        } else if (tag.name == "base") {
          if (!links.base_href)
            if (const std::string* href = tag.element.attribute("href")) links.base_href = *href;
        } else if (tag.name == "plaintext") {
          break;
        } else if (is_text_only(tag.name)) {
          skip_text_only(tag.name);
        }
      }
    }
    return links;
  }

 private:
  static bool is_text_only(std::string_view name) {
    static constexpr std::string_view kNames[] = {"script", "style",    "xmp",   "iframe",  "noembed",
                                                  "noframes", "textarea", "title"};
    return std::find(std::begin(kNames), std::end(kNames), name) != std::end(kNames);
  }

  void skip_past(char c) {
    std::size_t at = p_.find(c, pos_);
    pos_ = at == std::string_view::npos ? p_.size() : at + 1;
  }

  // After "<!--": up to "-->" or "--!>"; "<!-->" and "<!--->" end at once.
  void skip_comment(std::size_t from) {
    if (p_.substr(from, 1) == ">") {
      pos_ = from + 1;
      return;
    }
    if (p_.substr(from, 2) == "->") {
      pos_ = from + 2;
      return;
    }
    for (std::size_t at = from; (at = p_.find("--", at)) != std::string_view::npos; ++at) {
      if (p_.substr(at + 2, 1) == ">") {
        pos_ = at + 3;
        return;
      }
      if (p_.substr(at + 2, 2) == "!>") {
        pos_ = at + 4;
        return;
      }
    }
    pos_ = p_.size();
  }

  // Up to the end tag that closes a text-only element (its name in any case, then a space, "/"
  // or ">"), which the main loop then reads.
  void skip_text_only(std::string_view name) {
    for (std::size_t at = pos_; (at = p_.find("</", at)) != std::string_view::npos; ++at) {
      std::size_t end = at + 2 + name.size();
      if (end >= p_.size()) break;
      bool same = true;
      for (std::size_t i = 0; i < name.size() && same; ++i) same = lower(p_[at + 2 + i]) == name[i];
      if (same && (is_space(p_[end]) || p_[end] == '/' || p_[end] == '>')) {
        pos_ = at;
        return;
      }
    }
    pos_ = p_.size();
  }

  bool at_end() const { return pos_ >= p_.size(); }
  char peek() const { return p_[pos_]; }
  void skip_spaces() {
    while (!at_end() && (is_space(peek()) || peek() == '\r')) ++pos_;
  }

  // From the first letter of the name to just past the ">"; false when the page ends first.
  bool read_tag(Tag& tag) {
    while (!at_end() && !is_space(peek()) && peek() != '\r' && peek() != '/' && peek() != '>') {
      if (peek() == '\0') tag.name += kReplacement;
      else tag.name += lower(peek());
      ++pos_;
    }
    while (true) {
      while (!at_end() && (is_space(peek()) || peek() == '\r' || peek() == '/')) ++pos_;
      if (at_end()) return false;
      if (peek() == '>') {
        ++pos_;
        return true;
      }
      std::string name;
      if (peek() == '=') {
        name += '=';
        ++pos_;
      }
      while (!at_end() && !is_space(peek()) && peek() != '\r' && peek() != '/' && peek() != '>' && peek() != '=') {
        if (peek() == '\0') name += kReplacement;
        else name += lower(peek());
        ++pos_;
      }
      skip_spaces();
      std::string value;
      if (!at_end() && peek() == '=') {
        ++pos_;
        skip_spaces();
        if (at_end()) return false;
        char quote = peek();
        if (quote == '"' || quote == '\'') {
          std::size_t close = p_.find(quote, pos_ + 1);
          if (close == std::string_view::npos) return false;
          value = decode_value(p_.substr(pos_ + 1, close - pos_ - 1));
          pos_ = close + 1;
        } else if (quote != '>') {
          std::size_t start = pos_;
          while (!at_end() && !is_space(peek()) && peek() != '\r' && peek() != '>') ++pos_;
          value = decode_value(p_.substr(start, pos_ - start));
        }
      }
      if (!tag.element.attribute(name)) tag.element.attributes.emplace_back(std::move(name), std::move(value));
    }
  }

  std::string_view p_;
  std::size_t pos_ = 0;
};

}  // namespace

std::optional<std::pair<std::string, std::size_t>> decode_reference(std::string_view text) {
  if (text.empty()) return std::nullopt;
  if (text[0] == '#') {
    bool hex = text.size() > 1 && (text[1] == 'x' || text[1] == 'X');
    std::size_t i = hex ? 2 : 1, start = i;
    std::uint32_t cp = 0;
    while (i < text.size() && (hex ? is_hex(text[i]) : is_digit(text[i]))) {
      char c = text[i++];
      std::uint32_t digit = is_digit(c) ? c - '0' : lower(c) - 'a' + 10;
      cp = std::min<std::uint32_t>(cp * (hex ? 16 : 10) + digit, 0x110000);
    }
    if (i == start) return std::nullopt;
    if (i < text.size() && text[i] == ';') ++i;
    return std::make_pair(numeric_text(cp), i);
  }
  if (!is_alnum(text[0])) return std::nullopt;
  for (std::size_t length = std::min(kLongestName, text.size()); length > 0; --length) {
    std::string_view candidate = text.substr(0, length);
    auto it = std::lower_bound(std::begin(kNamed), std::end(kNamed), candidate,
                               [](const NamedReference& r, std::string_view n) { return r.name < n; });
    if (it == std::end(kNamed) || it->name != candidate) continue;
    // Inside an attribute, a reference without its ";" that runs into "=" or a letter or digit is
    // plain text ("&copy=1" in a query string).
    if (candidate.back() != ';' && length < text.size() && (text[length] == '=' || is_alnum(text[length])))
      return std::nullopt;
    return std::make_pair(std::string(it->text), length);
  }
  return std::nullopt;
}

Links read_links(std::string_view page) { return Tokenizer(page).run(); }

}  // namespace indexscout::html
