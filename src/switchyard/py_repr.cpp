#include "switchyard/py_repr.hpp"

#include <algorithm>

namespace switchyard {

namespace {

// Decodes one UTF-8 sequence at `i` and advances past it. Texts held by Boost.JSON are valid
// UTF-8; a malformed byte reads as U+FFFD.
char32_t next_code_point(std::string_view s, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = byte(i);
  std::size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
  if (len == 0 || i + len > s.size()) {
    ++i;
    return 0xFFFD;
  }
  char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
  for (std::size_t k = 1; k < len; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  i += len;
  return cp;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

void append_escape(std::string& out, char prefix, char32_t cp, int digits) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '\\';
  out += prefix;
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += kHex[(cp >> shift) & 0xF];
}

}  // namespace

bool python_isprintable(char32_t cp) {
  const auto* begin = detail::kPyNonPrintable;
  const auto* end = begin + detail::kPyNonPrintableCount;
  // The last range starting at or before cp.
  const auto* it = std::upper_bound(begin, end, cp, [](char32_t v, const detail::CodePointRange& r) {
    return v < r.first;
  });
  return it == begin || cp > std::prev(it)->last;
}

std::string python_str_repr(std::string_view text) {
  const bool single = text.find('\'') != std::string_view::npos;
  const bool dbl = text.find('"') != std::string_view::npos;
  const char quote = single && !dbl ? '"' : '\'';
  std::string out;
  out.reserve(text.size() + 2);
  out += quote;
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = next_code_point(text, i);
    if (cp < 0x80) {
      if (cp == static_cast<char32_t>(quote) || cp == '\\') {
        out += '\\';
        out += static_cast<char>(cp);
      } else if (cp == '\t') {
        out += "\\t";
      } else if (cp == '\n') {
        out += "\\n";
      } else if (cp == '\r') {
        out += "\\r";
      } else if (cp < 0x20 || cp == 0x7F) {
        append_escape(out, 'x', cp, 2);
      } else {
        out += static_cast<char>(cp);
      }
    } else if (python_isprintable(cp)) {
      append_utf8(out, cp);
    } else if (cp <= 0xFF) {
      append_escape(out, 'x', cp, 2);
    } else if (cp <= 0xFFFF) {
      append_escape(out, 'u', cp, 4);
    } else {
      append_escape(out, 'U', cp, 8);
    }
  }
  out += quote;
  return out;
}

std::string python_pair_repr(std::string_view first, std::string_view second) {
  std::string out = "(";
  out += python_str_repr(first);
  out += ", ";
  out += python_str_repr(second);
  out += ')';
  return out;
}

}  // namespace switchyard
