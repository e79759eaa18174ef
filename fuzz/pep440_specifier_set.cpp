// Specifier sets and containment. Whatever the texts: only the documented errors are raised;
// every member's text parses back to the same member; a set rebuilt from its members' texts
// answers every question the same; and allowing pre-releases never excludes a version that
// the default or forbidding them includes.
//
// Input: a specifier set text, optionally followed by a line feed and a version text.
#include "check.hpp"

#include "indexscout/pep440.hpp"

#include <cstddef>
#include <cstdint>

using namespace indexscout::pep440;

namespace {

// The answer to contains(), or nullopt when it raises one of the errors it may raise.
std::optional<bool> contains(const SpecifierSet& set, const Version& v, std::optional<bool> pre) {
  try {
    return set.contains(v, pre);
  } catch (const InvalidVersion&) {
  } catch (const NumberTooLong&) {
  }
  return std::nullopt;
}

std::optional<std::optional<bool>> prereleases(const SpecifierSet& set) {
  try {
    return set.prereleases();
  } catch (const InvalidVersion&) {
  } catch (const NumberTooLong&) {
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t nl = input.find('\n');
  std::string_view set_text = input.substr(0, nl);

  SpecifierSet set;
  try {
    set = SpecifierSet(set_text);
  } catch (const InvalidSpecifier& e) {
    FUZZ_CHECK(std::string_view(e.what()).starts_with("Invalid specifier: '"));
    return 0;
  } catch (const NumberTooLong&) {
    return 0;
  }

  std::string joined;
  for (const Specifier& s : set.specifiers()) {
    const std::string text = s.str();
    FUZZ_CHECK(!s.version().empty() || s.op() == Specifier::Op::arbitrary);
    try {
      Specifier again(text);
      FUZZ_CHECK_MSG(again.str() == text && again.op() == s.op(), "a member's text does not round-trip: " + text);
    } catch (const std::invalid_argument& e) {
      fuzzing::fail(__FILE__, __LINE__, "a member's text does not parse", text + ": " + e.what());
    }
    if (!joined.empty()) joined += ',';
    joined += text;
  }
  SpecifierSet rebuilt(joined);
  FUZZ_CHECK(rebuilt.specifiers().size() == set.specifiers().size());
  FUZZ_CHECK(prereleases(rebuilt) == prereleases(set));
  if (auto p = prereleases(set)) FUZZ_CHECK(p->has_value() == !set.empty());

  if (nl == std::string_view::npos) return 0;
  auto version = Version::parse(input.substr(nl + 1));
  if (!version) return 0;
  const auto forbid = contains(set, *version, false);
  const auto by_default = contains(set, *version, std::nullopt);
  const auto allow = contains(set, *version, true);
  FUZZ_CHECK(contains(rebuilt, *version, false) == forbid);
  FUZZ_CHECK(contains(rebuilt, *version, std::nullopt) == by_default);
  FUZZ_CHECK(contains(rebuilt, *version, true) == allow);
  if (forbid && *forbid && allow) FUZZ_CHECK_MSG(*allow, "allowing pre-releases excluded a version");
  if (by_default && *by_default && allow) FUZZ_CHECK_MSG(*allow, "allowing pre-releases excluded a version");
  if (forbid && *forbid && by_default) FUZZ_CHECK(*by_default);
  if (!version->is_prerelease() && forbid && allow) FUZZ_CHECK(*forbid == *allow);
  if (set.empty()) FUZZ_CHECK(allow == std::optional<bool>(true));
  // The text entry point parses the version first.
  try {
    const bool answer = set.contains(version->str(), true);
    FUZZ_CHECK(allow && answer == *allow);
  } catch (const InvalidVersion&) {
    FUZZ_CHECK(!allow);
  } catch (const NumberTooLong&) {
    FUZZ_CHECK(!allow);
  }
  return 0;
}
