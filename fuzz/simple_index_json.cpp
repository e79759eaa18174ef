// Project pages of a simple index in their JSON form. Whatever the page: it is refused with
// PageError only, and every file listed satisfies what HTML pages do.
//
// Input: the page.
#include "simple_index.hpp"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view page(reinterpret_cast<const char*>(data), size);
  try {
    fuzzing::check_files(indexscout::simple::parse_json_page(page, fuzzing::kPageUrl), false);
  } catch (const indexscout::simple::PageError& e) {
    FUZZ_CHECK(e.what()[0] != '\0');
  }
  return 0;
}
