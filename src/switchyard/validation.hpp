#pragma once
// Guards for what peers send: client ids, Python names, import paths, and the code hash used
// to notice changed modules.
#include "switchyard/common.hpp"

#include <boost/json/array.hpp>

namespace switchyard {

struct Validation {
  bool valid = true;
  std::string error;
};

inline constexpr std::size_t kMaxIdentifierLength = 256;

// Letters, digits, "_" and "-", 1 to 256 characters, matched over the whole text.
Validation validate_client_id(std::string_view client_id);
// A Python identifier or dotted name; hard keywords refused (soft keywords pass).
Validation validate_python_identifier(std::string_view name);
// Both stored forms of a workbook's import paths (strings, or maps with "path") as strings.
std::vector<std::string> normalize_python_paths(const json::array& python_paths, const Logger& log);
// SHA-256 of the UTF-8 bytes, 64 lower-case hexadecimal characters.
std::string compute_code_hash(std::string_view code);

// Number of characters (code points) of UTF-8 text.
std::size_t utf8_length(std::string_view text);

}  // namespace switchyard
