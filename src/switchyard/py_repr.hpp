#pragma once
// Python's repr() of texts, for keys that the kernels read back as Python values.
#include <cstddef>
#include <string>
#include <string_view>

namespace switchyard {

// True when Python's str.isprintable() accepts the code point.
bool python_isprintable(char32_t cp);

// repr() of a Python str holding the UTF-8 text: single quotes unless the text holds a single
// quote and no double quote; backslash escapes of the quote and the backslash; \t \n \r; and
// \xNN, \uNNNN or \UNNNNNNNN for every other character that isprintable() rejects.
std::string python_str_repr(std::string_view text);

// repr() of a tuple of two strs: "('a', 'b')".
std::string python_pair_repr(std::string_view first, std::string_view second);

namespace detail {
struct CodePointRange {
  char32_t first;
  char32_t last;
};
extern const CodePointRange kPyNonPrintable[];
extern const std::size_t kPyNonPrintableCount;
}  // namespace detail

}  // namespace switchyard
