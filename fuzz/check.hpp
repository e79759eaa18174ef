#pragma once
// What every fuzz target uses to state an invariant: a violated one prints where and why and
// aborts, so that libFuzzer keeps the input as a crash.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzzing {

[[noreturn]] inline void fail(const char* file, int line, const char* condition, std::string_view detail) {
  std::fprintf(stderr, "\n==fuzz== invariant violated at %s:%d: %s\n", file, line, condition);
  if (!detail.empty()) std::fprintf(stderr, "==fuzz== %.*s\n", static_cast<int>(detail.size()), detail.data());
  std::fflush(stderr);
  std::abort();
}

// Well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF), decoded the
// plain way, independently of the validators under test.
inline bool valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t len;
    char32_t cp;
    if (c < 0x80) { ++i; continue; }
    if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; }
    else return false;
    if (i + len > s.size()) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

}  // namespace fuzzing

#define FUZZ_CHECK(condition)                                          \
  do {                                                                 \
    if (!(condition)) ::fuzzing::fail(__FILE__, __LINE__, #condition, {}); \
  } while (0)

#define FUZZ_CHECK_MSG(condition, detail)                                         \
  do {                                                                            \
    if (!(condition)) ::fuzzing::fail(__FILE__, __LINE__, #condition, (detail));  \
  } while (0)
