// Core metadata files (METADATA, PKG-INFO, an index's ".metadata" files). Whatever the text:
// header names are printable ASCII without ":", values keep no trailing line break, the
// look-ups agree with the header list, and the body after the headers changes nothing.
//
// Input: the file.
#include "check.hpp"

#include "indexscout/metadata.hpp"
#include "indexscout/text.hpp"

#include <cstddef>
#include <cstdint>

using namespace indexscout;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  CoreMetadata md = CoreMetadata::parse(input);
  const auto& headers = md.headers();
  std::size_t line_ends = 1;
  for (char c : input) line_ends += (c == '\n' || c == '\r');
  FUZZ_CHECK(headers.size() <= line_ends);

  for (const auto& [name, value] : headers) {
    for (char c : name) FUZZ_CHECK(c >= '!' && c <= '~' && c != ':');
    FUZZ_CHECK(value.empty() || (value.back() != '\n' && value.back() != '\r'));
    FUZZ_CHECK(value.empty() || (value.front() != ' ' && value.front() != '\t'));
    auto all = md.get_all(name);
    FUZZ_CHECK(!all.empty());
    FUZZ_CHECK(md.get(name) == all.front());
    FUZZ_CHECK(md.get(text::ascii_lower(name)) == all.front());
  }

  // Whatever follows the blank line that ends the headers is the body: appending to it
  // changes nothing.
  for (std::string_view blank : {"\n\n", "\r\n\r\n"}) {
    const std::size_t at = input.find(blank);
    if (at == std::string_view::npos) continue;
    std::string longer(input);
    longer += "\nName: appended\n";
    FUZZ_CHECK_MSG(CoreMetadata::parse(longer).headers() == headers, "text after the headers changed them");
  }
  return 0;
}
