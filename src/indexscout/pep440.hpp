#pragma once
// PEP 440 versions and version specifiers.
//
// Behaviour follows Python's `packaging` 23.0 (the reference the rest of the Python tooling
// uses), including its normalisation, ordering and the details of prefix ("==1.2.*") and
// compatible-release ("~=") matching. Pure functions over text: no I/O, no global state.
//
// Known differences from `packaging`:
//  - Only ASCII letters are accepted. Python's case-insensitive matching also lets four
//    non-ASCII letters through (U+0130, U+0131, U+017F, U+212A); such texts are invalid here.
//  - A specifier set whose members would make `packaging` fail or succeed depending on Python's
//    set iteration order (for example "===foo" beside a pre-release specifier) is given one
//    fixed answer: members that can answer are asked first.
#include <compare>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace indexscout::pep440 {

// "Invalid version: '<text>'"
class InvalidVersion : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// "Invalid specifier: '<text>'"
class InvalidSpecifier : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// A number longer than Python's integer conversion limit (4300 digits). Python raises a
// ValueError there rather than InvalidVersion; callers usually treat both alike.
class NumberTooLong : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

inline constexpr std::size_t kMaxNumberDigits = 4300;

class Version {
 public:
  enum class Status : std::uint8_t { ok, invalid, too_long };

  // Parses `text`; throws InvalidVersion or NumberTooLong.
  explicit Version(std::string_view text);
  // Non-throwing parse: nullopt for any text that the throwing constructor rejects.
  static std::optional<Version> parse(std::string_view text) noexcept;
  static Status parse(std::string_view text, Version& out) noexcept;

  // Normalised text ("1.0a1.post2.dev3+ubuntu.1").
  std::string str() const;
  // The normalised text without the local part.
  std::string public_str() const;
  // Epoch and release only ("1!2.0").
  std::string base_version() const;
  // packaging.utils.canonicalize_version of this version.
  std::string canonical(bool strip_trailing_zero) const;

  bool is_prerelease() const noexcept { return flags_ & (kPre | kDev); }
  bool is_postrelease() const noexcept { return flags_ & kPost; }
  bool is_devrelease() const noexcept { return flags_ & kDev; }
  bool has_local() const noexcept { return flags_ & kLocal; }
  // The normalised local part without "+", or nullopt.
  std::optional<std::string> local() const;

  // Components as canonical decimal texts (Python ints can be of any size).
  std::string epoch() const;
  std::vector<std::string> release() const;
  // ("a" | "b" | "rc", number) or nullopt.
  std::optional<std::pair<std::string, std::string>> pre() const;
  std::optional<std::string> post() const;
  std::optional<std::string> dev() const;

  // A byte string whose plain byte order is the PEP 440 order and whose equality is version
  // equality ("1.0" == "1.0.0").
  std::string_view key() const noexcept { return key_; }

  // The first 16 key bytes are kept as two big-endian integers, so most comparisons never
  // look at the key itself.
  friend bool operator==(const Version& a, const Version& b) noexcept {
    return a.prefix_[0] == b.prefix_[0] && a.prefix_[1] == b.prefix_[1] && a.key_ == b.key_;
  }
  friend std::strong_ordering operator<=>(const Version& a, const Version& b) noexcept {
    if (a.prefix_[0] != b.prefix_[0]) return a.prefix_[0] <=> b.prefix_[0];
    if (a.prefix_[1] != b.prefix_[1]) return a.prefix_[1] <=> b.prefix_[1];
    int c = a.key_.compare(b.key_);
    return c < 0 ? std::strong_ordering::less : c > 0 ? std::strong_ordering::greater : std::strong_ordering::equal;
  }

  // The version "0"; a placeholder to assign to.
  Version() = default;

 private:
  friend class Specifier;
  enum : std::uint8_t { kPre = 1, kPost = 2, kDev = 4, kLocal = 8 };

  // Compares the public part (local dropped) of this version with `other`'s full key.
  int compare_public(const Version& other) const noexcept;
  // Epoch and release equal (the base versions compare equal).
  bool same_base(const Version& other) const noexcept;
  void append_public(std::string& out, bool strip_trailing_zero) const;

  // Defaults spell the version "0".
  std::string key_{"\x00\x01\x05\x01\x03\x01", 6};
  std::uint32_t release_end_ = 2;     // key offset just past the release section
  std::uint32_t local_begin_ = 5;     // key offset of the local section
  std::uint32_t trailing_zeros_ = 1;  // release components dropped from the key
  std::uint8_t flags_ = 0;
  std::uint64_t prefix_[2] = {0x0001050103010000ULL, 0};
};

class Specifier {
 public:
  enum class Op : std::uint8_t { compatible, equal, not_equal, less_equal, greater_equal, less, greater, arbitrary };

  // Throws InvalidSpecifier.
  explicit Specifier(std::string_view text);

  Op op() const noexcept { return op_; }
  std::string_view op_text() const noexcept;
  // The version part as written (surrounding white space removed).
  const std::string& version() const noexcept { return version_; }
  std::string str() const { return std::string(op_text()) + version_; }

  // Whether the specifier itself names a pre-release (packaging's auto-detection).
  // Throws where packaging does (an "===" text that is not a version).
  bool prereleases() const;
  // Throws InvalidVersion / NumberTooLong where packaging raises.
  bool contains(const Version& item, std::optional<bool> prereleases = std::nullopt) const;

 private:
  friend class SpecifierSet;
  enum class Pre : std::uint8_t { no, yes, error };

  bool matches(const Version& item) const;
  bool equal_prefix(const Version& item, const std::vector<std::string>& split_spec) const;
  [[noreturn]] void raise_compare_error() const;

  Op op_ = Op::equal;
  bool wildcard_ = false;
  Pre pre_ = Pre::no;
  Version::Status compare_status_ = Version::Status::ok;
  std::string version_;
  std::string version_lower_;
  Version spec_;
  std::vector<std::string> split_spec_;  // prefix items for "==X.*" and "~="
};

class SpecifierSet {
 public:
  SpecifierSet() = default;
  // Comma-separated specifiers; empty pieces are skipped. Throws InvalidSpecifier.
  explicit SpecifierSet(std::string_view text);

  const std::vector<Specifier>& specifiers() const noexcept { return specs_; }
  bool empty() const noexcept { return specs_.empty(); }

  // nullopt for an empty set; otherwise whether any member names a pre-release.
  std::optional<bool> prereleases() const;
  // PEP 440 containment with packaging's pre-release rule: unless `prereleases` says
  // otherwise, a pre-release is contained only when the set names a pre-release.
  bool contains(const Version& item, std::optional<bool> prereleases = std::nullopt) const;
  // Parses `item` first (throws InvalidVersion).
  bool contains(std::string_view item, std::optional<bool> prereleases = std::nullopt) const;

 private:
  std::vector<Specifier> specs_;
};

// packaging.utils.canonicalize_version for a text: the text unchanged when it is not a version.
std::string canonicalize_version(std::string_view text, bool strip_trailing_zero = true);

}  // namespace indexscout::pep440
