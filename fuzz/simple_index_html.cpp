// Project pages of a simple index in their HTML form. Whatever the page: every file has an
// absolute URL without fragment, hashes have names and values, and a file name that matches
// the project gives a version taken from the name.
//
// Input: the page.
#include "simple_index.hpp"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view page(reinterpret_cast<const char*>(data), size);
  fuzzing::check_files(indexscout::simple::parse_html_page(page, fuzzing::kPageUrl), true);
  return 0;
}
