#include "switchyard/validation.hpp"

#include "services/digest.hpp"

#include <array>
#include <algorithm>

namespace switchyard {

namespace {

constexpr std::array<std::string_view, 35> kPythonKeywords = {
    "False", "None",   "True",    "and",      "as",       "assert", "async", "await", "break",
    "class", "continue", "def",   "del",      "elif",     "else",   "except", "finally", "for",
    "from",  "global", "if",      "import",   "in",       "is",     "lambda", "nonlocal", "not",
    "or",    "pass",   "raise",   "return",   "try",      "while",  "with",   "yield"};

bool is_ascii_letter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ascii_digit(unsigned char c) { return c >= '0' && c <= '9'; }

bool matches_id_pattern(std::string_view s) {
  if (s.empty()) return false;
  return std::all_of(s.begin(), s.end(), [](unsigned char c) {
    return is_ascii_letter(c) || is_ascii_digit(c) || c == '_' || c == '-';
  });
}

bool matches_identifier_part(std::string_view s) {
  if (s.empty()) return false;
  unsigned char first = static_cast<unsigned char>(s[0]);
  if (!is_ascii_letter(first) && first != '_') return false;
  return std::all_of(s.begin() + 1, s.end(),
                     [](unsigned char c) { return is_ascii_letter(c) || is_ascii_digit(c) || c == '_'; });
}

}  // namespace

std::size_t utf8_length(std::string_view text) {
  std::size_t n = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

Validation validate_client_id(std::string_view client_id) {
  if (client_id.empty()) return {false, "Client ID cannot be empty"};
  if (utf8_length(client_id) > kMaxIdentifierLength) return {false, "Client ID too long (max 256 characters)"};
  if (!matches_id_pattern(client_id)) return {false, "Client ID contains invalid characters"};
  return {true, ""};
}

Validation validate_python_identifier(std::string_view name) {
  if (name.empty()) return {false, "Name cannot be empty"};
  if (utf8_length(name) > kMaxIdentifierLength) return {false, "Name too long (max 256 characters)"};
  std::size_t start = 0;
  while (true) {
    std::size_t dot = name.find('.', start);
    std::string_view part = name.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (part.empty()) return {false, "Name contains empty parts"};
    if (!matches_identifier_part(part)) return {false, "Invalid identifier: " + std::string(part)};
    if (std::find(kPythonKeywords.begin(), kPythonKeywords.end(), part) != kPythonKeywords.end())
      return {false, "Python keyword not allowed: " + std::string(part)};
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return {true, ""};
}

std::vector<std::string> normalize_python_paths(const json::array& python_paths, const Logger& log) {
  std::vector<std::string> result;
  for (const auto& entry : python_paths) {
    std::string value;
    if (entry.is_object()) {
      value = std::string(get_str(entry.as_object(), "path"));
    } else if (entry.is_string()) {
      value = std::string(entry.as_string());
    } else {
      const char* kind = entry.is_int64() || entry.is_uint64() ? "int"
                         : entry.is_double()                   ? "float"
                         : entry.is_bool()                     ? "bool"
                         : entry.is_array()                    ? "list"
                                                               : "NoneType";
      log->warn("Skipping unknown python_path format: {} - {}", kind, py_str(entry));
      continue;
    }
    if (!value.empty()) result.push_back(std::move(value));
  }
  return result;
}

std::string compute_code_hash(std::string_view code) { return corvane::digest::sha256_hex(code); }

}  // namespace switchyard
