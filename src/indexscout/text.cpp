#include "indexscout/text.hpp"

namespace indexscout::text {

bool is_space(char32_t c) noexcept {
  if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0d) || (c >= 0x1c && c <= 0x1f);
  if (c < 0x85) return false;
  switch (c) {
    case 0x85: case 0xa0: case 0x1680: case 0x2028: case 0x2029: case 0x202f: case 0x205f: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200a;
  }
}

namespace {

// Decodes one well-formed UTF-8 sequence at s[i]; returns its length or 0.
std::size_t decode(std::string_view s, std::size_t i, char32_t& out) noexcept {
  auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c0 = b(i);
  if (c0 < 0x80) { out = c0; return 1; }
  std::size_t n = (c0 >> 5) == 0x6 ? 2 : (c0 >> 4) == 0xe ? 3 : (c0 >> 3) == 0x1e ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  char32_t cp = c0 & (0x7f >> n);
  for (std::size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xc0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3f);
  }
  out = cp;
  return n;
}

}  // namespace

std::size_t space_at(std::string_view s, std::size_t i) noexcept {
  if (i >= s.size()) return 0;
  char32_t cp;
  std::size_t n = decode(s, i, cp);
  return (n && is_space(cp)) ? n : 0;
}

std::size_t space_before(std::string_view s, std::size_t end) noexcept {
  if (end == 0) return 0;
  std::size_t start = end - 1;
  while (start > 0 && end - start < 4 && (static_cast<unsigned char>(s[start]) & 0xc0) == 0x80) --start;
  char32_t cp;
  std::size_t n = decode(s, start, cp);
  return (n == end - start && is_space(cp)) ? n : 0;
}

namespace {
// Printable ASCII: the common first and last character, never white space.
inline bool plain_ascii(char c) { return static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x7f; }
}  // namespace

std::string_view lstrip(std::string_view s) noexcept {
  if (!s.empty() && plain_ascii(s.front())) return s;
  std::size_t i = 0;
  while (std::size_t n = space_at(s, i)) i += n;
  return s.substr(i);
}

std::string_view rstrip(std::string_view s) noexcept {
  if (!s.empty() && plain_ascii(s.back())) return s;
  std::size_t end = s.size();
  while (std::size_t n = space_before(s, end)) end -= n;
  return s.substr(0, end);
}

std::string_view strip(std::string_view s) noexcept { return rstrip(lstrip(s)); }

std::size_t find_space(std::string_view s, std::size_t from) noexcept {
  for (std::size_t i = from; i < s.size(); ++i)
    if (space_at(s, i)) return i;
  return std::string_view::npos;
}

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = ascii_lower(c);
  return out;
}

bool iequals_ascii(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  return true;
}

bool istarts_with_ascii(std::string_view s, std::string_view prefix) noexcept {
  return s.size() >= prefix.size() && iequals_ascii(s.substr(0, prefix.size()), prefix);
}

std::string replace_all(std::string_view s, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(s);
  std::string out;
  out.reserve(s.size());
  std::size_t pos = 0;
  for (std::size_t hit; (hit = s.find(from, pos)) != std::string_view::npos; pos = hit + from.size()) {
    out.append(s.substr(pos, hit - pos));
    out.append(to);
  }
  out.append(s.substr(pos));
  return out;
}

std::string normalize_name(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  bool in_run = false;
  for (char c : name) {
    if (c == '-' || c == '_' || c == '.') {
      if (!in_run) out.push_back('-');
      in_run = true;
    } else {
      out.push_back(ascii_lower(c));
      in_run = false;
    }
  }
  return out;
}

std::string normalize_url(std::string_view url) {
  std::size_t end = url.size();
  while (end > 0 && (url[end - 1] == '/' || url[end - 1] == '\\')) --end;
  return std::string(url.substr(0, end));
}

}  // namespace indexscout::text
