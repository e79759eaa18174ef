// Version texts. Whatever the text: both ways of parsing agree; a version's normalised
// spellings parse back to an equal version; the components are canonical decimal numbers; and
// ordering, equality and the canonical text agree between two versions.
//
// Input: a version text, optionally followed by ";" and a second one.
#include "check.hpp"

#include "indexscout/pep440.hpp"

#include <cstddef>
#include <cstdint>

using namespace indexscout::pep440;

namespace {

bool canonical_number(std::string_view n) {
  if (n.empty() || (n.size() > 1 && n[0] == '0')) return false;
  for (char c : n)
    if (c < '0' || c > '9') return false;
  return true;
}

// Parses with both entry points and checks they agree.
std::optional<Version> parse_both(std::string_view text) {
  Version v;
  const Version::Status status = Version::parse(text, v);
  try {
    Version thrown(text);
    FUZZ_CHECK_MSG(status == Version::Status::ok, "the constructor accepted what parse() refused");
    FUZZ_CHECK(thrown == v && thrown.key() == v.key());
  } catch (const NumberTooLong&) {
    FUZZ_CHECK(status == Version::Status::too_long);
  } catch (const InvalidVersion& e) {
    FUZZ_CHECK(status == Version::Status::invalid);
    FUZZ_CHECK(std::string_view(e.what()).starts_with("Invalid version: '"));
  }
  FUZZ_CHECK(Version::parse(text).has_value() == (status == Version::Status::ok));
  if (status != Version::Status::ok) {
    if (status == Version::Status::invalid) FUZZ_CHECK(canonicalize_version(text) == text);
    return std::nullopt;
  }
  return v;
}

Version reparse(const std::string& text, const char* what) {
  auto v = Version::parse(text);
  FUZZ_CHECK_MSG(v.has_value(), std::string(what) + " does not parse: " + text.substr(0, 200));
  return *v;
}

void check_one(const Version& v) {
  const std::string s = v.str();
  const Version again = reparse(s, "str()");
  FUZZ_CHECK_MSG(again == v && again.key() == v.key() && again.str() == s, "str() does not round-trip: " + s.substr(0, 200));

  for (bool strip : {false, true}) {
    const Version c = reparse(v.canonical(strip), "canonical()");
    FUZZ_CHECK(c == v);
    FUZZ_CHECK(canonicalize_version(s, strip) == v.canonical(strip));
  }
  const Version pub = reparse(v.public_str(), "public_str()");
  FUZZ_CHECK(!pub.has_local());
  if (!v.has_local()) FUZZ_CHECK(pub == v);
  const Version base = reparse(v.base_version(), "base_version()");
  FUZZ_CHECK(!base.is_prerelease() && !base.is_postrelease() && !base.has_local());
  FUZZ_CHECK(base.release() == v.release() && base.epoch() == v.epoch());

  FUZZ_CHECK(canonical_number(v.epoch()));
  const auto release = v.release();
  FUZZ_CHECK(!release.empty());
  for (const auto& c : release) FUZZ_CHECK(canonical_number(c));
  const auto pre = v.pre();
  if (pre) FUZZ_CHECK((pre->first == "a" || pre->first == "b" || pre->first == "rc") && canonical_number(pre->second));
  if (auto post = v.post()) FUZZ_CHECK(canonical_number(*post));
  if (auto dev = v.dev()) FUZZ_CHECK(canonical_number(*dev));
  FUZZ_CHECK(v.is_prerelease() == (pre.has_value() || v.is_devrelease()));
  FUZZ_CHECK(v.is_postrelease() == v.post().has_value());
  FUZZ_CHECK(v.is_devrelease() == v.dev().has_value());
  if (auto local = v.local()) {
    FUZZ_CHECK(!local->empty());
    for (char c : *local) FUZZ_CHECK((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.');
  }
  FUZZ_CHECK((v <=> v) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t semi = input.find(';');
  auto a = parse_both(input.substr(0, semi));
  if (a) check_one(*a);
  if (semi == std::string_view::npos) return 0;
  auto b = parse_both(input.substr(semi + 1));
  if (!b) return 0;
  check_one(*b);
  if (!a) return 0;

  const auto order = *a <=> *b;
  const int by_key = a->key().compare(b->key());
  FUZZ_CHECK_MSG((order < 0) == (by_key < 0) && (order == 0) == (by_key == 0), "<=> disagrees with the key order");
  FUZZ_CHECK((*b <=> *a) == (0 <=> order));
  FUZZ_CHECK_MSG((*a == *b) == (a->canonical(true) == b->canonical(true)),
                 "equal versions must have one canonical text, and different ones different texts");
  return 0;
}
