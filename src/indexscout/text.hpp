#pragma once
// Small text helpers shared by the parsers. They follow Python's str semantics where the
// package tools we interoperate with rely on them: "white space" is every code point that
// str.isspace() accepts, decoded from UTF-8.
#include <string>
#include <string_view>

namespace indexscout::text {

// True for the code points Python's str.isspace() accepts.
bool is_space(char32_t c) noexcept;

// Byte length of the white-space code point starting at s[i], or 0 when there is none.
std::size_t space_at(std::string_view s, std::size_t i) noexcept;
// Byte length of the white-space code point ending just before s[end], or 0.
std::size_t space_before(std::string_view s, std::size_t end) noexcept;

std::string_view lstrip(std::string_view s) noexcept;
std::string_view rstrip(std::string_view s) noexcept;
std::string_view strip(std::string_view s) noexcept;
// Index of the first white-space code point at or after `from`, or npos.
std::size_t find_space(std::string_view s, std::size_t from = 0) noexcept;

inline char ascii_lower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }
std::string ascii_lower(std::string_view s);
bool iequals_ascii(std::string_view a, std::string_view b) noexcept;
bool istarts_with_ascii(std::string_view s, std::string_view prefix) noexcept;

// Every occurrence of `from` replaced by `to` (plain text, left to right).
std::string replace_all(std::string_view s, std::string_view from, std::string_view to);

// PEP 503 project-name normalisation: lower-case, runs of "-", "_" and "." become one "-".
std::string normalize_name(std::string_view name);
// Removes every trailing "/" and "\" (in any mix); nothing else changes.
std::string normalize_url(std::string_view url);

}  // namespace indexscout::text
