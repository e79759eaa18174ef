#include "indexscout/pep440.hpp"

#include "indexscout/text.hpp"

#include <boost/container/small_vector.hpp>

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

namespace indexscout::pep440 {
namespace {

// ---------------------------------------------------------------------------------------------
// Scanning. One hand-written scanner serves versions and the version part of specifiers; it
// accepts exactly the language of packaging's regular expressions (greedy choices never lose
// a match there, so no backtracking is needed).

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
inline bool is_alnum(char c) { return is_digit(c) || is_alpha(c); }
inline bool is_sep(char c) { return c == '-' || c == '_' || c == '.'; }

std::size_t skip_digits(std::string_view s, std::size_t i) {
  while (i < s.size() && is_digit(s[i])) ++i;
  return i;
}

bool all_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!is_digit(c)) return false;
  return true;
}

struct Word {
  std::string_view text;
  char kind;
};

// Longest spellings first, so that "alpha" is not taken for "a" followed by garbage.
constexpr Word kPreWords[] = {{"preview", 'r'}, {"alpha", 'a'}, {"beta", 'b'}, {"pre", 'r'},
                              {"rc", 'r'},      {"a", 'a'},     {"b", 'b'},    {"c", 'r'}};
constexpr Word kPostWords[] = {{"post", 'p'}, {"rev", 'p'}, {"r", 'p'}};
constexpr Word kDevWords[] = {{"dev", 'd'}};

template <std::size_t N>
std::size_t match_word(std::string_view s, std::size_t i, const Word (&words)[N], char& kind) {
  for (const Word& w : words) {
    if (text::istarts_with_ascii(s.substr(i), w.text)) {
      kind = w.kind;
      return w.text.size();
    }
  }
  return 0;
}

struct Grammar {
  bool local;
  bool wildcard;
  int min_release;
};

constexpr Grammar kVersionGrammar{true, false, 1};

struct Scan {
  std::string_view epoch;
  std::string_view release;
  char pre = 0;  // 'a', 'b' or 'r' (rc)
  std::string_view pre_n;
  bool post = false;
  std::string_view post_n;
  bool dev = false;
  std::string_view dev_n;
  bool local = false;
  std::string_view local_text;
  bool wildcard = false;
};

// A letter segment: [sep] word [sep] [digits]. Returns the new position, or `i` when absent.
template <std::size_t N>
std::size_t scan_segment(std::string_view s, std::size_t i, const Word (&words)[N], char& kind,
                         std::string_view& number) {
  std::size_t j = i;
  if (j < s.size() && is_sep(s[j])) ++j;
  if (j >= s.size() || !is_alpha(s[j])) return i;
  std::size_t len = match_word(s, j, words, kind);
  if (len == 0) return i;
  j += len;
  if (j < s.size() && is_sep(s[j])) ++j;
  std::size_t e = skip_digits(s, j);
  number = s.substr(j, e - j);
  return e;
}

// `s` carries no surrounding white space.
bool scan(std::string_view s, const Grammar& g, Scan& out) {
  const std::size_t n = s.size();
  std::size_t i = 0;
  if (i < n && (s[i] == 'v' || s[i] == 'V')) ++i;
  std::size_t d = skip_digits(s, i);
  if (d == i) return false;
  if (d < n && s[d] == '!') {
    out.epoch = s.substr(i, d - i);
    i = d + 1;
    d = skip_digits(s, i);
    if (d == i) return false;
  }
  const std::size_t r0 = i;
  i = d;
  int parts = 1;
  while (i + 1 < n && s[i] == '.' && is_digit(s[i + 1])) {
    i = skip_digits(s, i + 1);
    ++parts;
  }
  out.release = s.substr(r0, i - r0);
  if (parts < g.min_release) return false;

  if (g.wildcard && i + 1 < n && s[i] == '.' && s[i + 1] == '*') {
    out.wildcard = true;
    return i + 2 == n;
  }

  char kind = 0;
  std::size_t j = scan_segment(s, i, kPreWords, kind, out.pre_n);
  if (j != i) {
    out.pre = kind;
    i = j;
  }

  if (i + 1 < n && s[i] == '-' && is_digit(s[i + 1])) {
    std::size_t e = skip_digits(s, i + 1);
    out.post = true;
    out.post_n = s.substr(i + 1, e - i - 1);
    i = e;
  } else {
    j = scan_segment(s, i, kPostWords, kind, out.post_n);
    if (j != i) {
      out.post = true;
      i = j;
    }
  }

  j = scan_segment(s, i, kDevWords, kind, out.dev_n);
  if (j != i) {
    out.dev = true;
    i = j;
  }

  if (g.local && i + 1 < n && s[i] == '+' && is_alnum(s[i + 1])) {
    std::size_t k = i + 1;
    while (k < n && is_alnum(s[k])) ++k;
    while (k + 1 < n && is_sep(s[k]) && is_alnum(s[k + 1])) {
      ++k;
      while (k < n && is_alnum(s[k])) ++k;
    }
    out.local = true;
    out.local_text = s.substr(i + 1, k - i - 1);
    i = k;
  }
  return i == n;
}

template <class F, class Delim>
void for_each_piece(std::string_view s, F&& f, Delim is_delim) {
  std::size_t start = 0;
  for (std::size_t i = 0; i <= s.size(); ++i) {
    if (i == s.size() || is_delim(s[i])) {
      f(s.substr(start, i - start));
      start = i + 1;
    }
  }
}

bool is_dot(char c) { return c == '.'; }

// ---------------------------------------------------------------------------------------------
// Sort keys. A version becomes a byte string whose byte order is packaging's tuple order:
//   epoch, release (trailing zeros dropped), pre, post, dev, local
// Numbers are stored as canonical digits behind a length prefix, so they compare by size
// first and never overflow.

enum : unsigned char {
  kEnd = 0x01,
  kItem = 0x02,
  // pre
  kPreNegInf = 0x01, kPreA = 0x02, kPreB = 0x03, kPreRc = 0x04, kPreInf = 0x05,
  // post
  kPostNone = 0x01, kPostSome = 0x02,
  // dev
  kDevSome = 0x02, kDevNone = 0x03,
  // local
  kLocalNone = 0x01, kLocalSome = 0x02, kLocalText = 0x02, kLocalNumber = 0x03,
};

std::string_view canonical_digits(std::string_view digits) {
  std::size_t z = 0;
  while (z < digits.size() && digits[z] == '0') ++z;
  return digits.substr(z);
}

// Writes a number at `p`; returns the position after it.
char* put_number(char* p, std::string_view digits) {
  std::string_view d = canonical_digits(digits);
  if (d.size() < 0xff) {
    *p++ = static_cast<char>(d.size());
  } else {
    *p++ = static_cast<char>(0xff);
    const auto len = static_cast<std::uint32_t>(d.size());
    for (int shift = 24; shift >= 0; shift -= 8) *p++ = static_cast<char>((len >> shift) & 0xff);
  }
  if (d.size() <= 8) {
    for (char c : d) *p++ = c;  // most numbers are short: no call
    return p;
  }
  std::memcpy(p, d.data(), d.size());
  return p + d.size();
}

std::string_view get_number(std::string_view key, std::size_t& p) {
  std::size_t len = static_cast<unsigned char>(key[p++]);
  if (len == 0xff) {
    len = 0;
    for (int k = 0; k < 4; ++k) len = (len << 8) | static_cast<unsigned char>(key[p++]);
  }
  std::string_view d = key.substr(p, len);
  p += len;
  return d;
}

inline unsigned char byte_at(std::string_view key, std::size_t p) { return static_cast<unsigned char>(key[p]); }

void append_number(std::string& out, std::string_view digits) {
  if (digits.empty()) out.push_back('0');
  else out.append(digits);
}

using Items = boost::container::small_vector<std::string_view, 8>;

// packaging.specifiers._version_split: dot-separated items, with "1rc2" split into "1", "rc2".
void version_split(std::string_view v, Items& out) {
  for_each_piece(
      v,
      [&](std::string_view item) {
        std::size_t d = skip_digits(item, 0);
        if (d > 0 && d < item.size()) {
          std::string_view rest = item.substr(d);
          std::size_t w = rest.starts_with("rc") ? 2 : (rest[0] == 'a' || rest[0] == 'b' || rest[0] == 'c') ? 1 : 0;
          if (w > 0 && all_digits(rest.substr(w))) {
            out.push_back(item.substr(0, d));
            out.push_back(rest);
            return;
          }
        }
        out.push_back(item);
      },
      is_dot);
}

bool is_not_suffix(std::string_view segment) {
  for (std::string_view prefix : {"dev", "a", "b", "rc", "post"})
    if (segment.starts_with(prefix)) return false;
  return true;
}

std::vector<std::string> split_to_strings(std::string_view v) {
  Items items;
  version_split(v, items);
  return {items.begin(), items.end()};
}

std::string invalid_version_text(std::string_view text) {
  return "Invalid version: '" + std::string(text) + "'";
}

const char* too_long_text() {
  return "Exceeds the limit (4300 digits) for integer string conversion";
}

}  // namespace

// -------------------------------------------------------------------------------------------
// Version

Version::Status Version::parse(std::string_view text, Version& out) noexcept {
  try {
    std::string_view s = text::strip(text);
    Scan sc;
    if (!scan(s, kVersionGrammar, sc)) return Status::invalid;

    if (s.size() > kMaxNumberDigits) {  // only long texts can hold a number past the limit
      bool too_long = sc.epoch.size() > kMaxNumberDigits || sc.pre_n.size() > kMaxNumberDigits ||
                      sc.post_n.size() > kMaxNumberDigits || sc.dev_n.size() > kMaxNumberDigits;
      for_each_piece(sc.release, [&](std::string_view c) { too_long |= c.size() > kMaxNumberDigits; }, is_dot);
      if (sc.local) {
        for_each_piece(
            sc.local_text,
            [&](std::string_view part) { too_long |= all_digits(part) && part.size() > kMaxNumberDigits; }, is_sep);
      }
      if (too_long) return Status::too_long;
    }

    // The key is never longer than this: every number gains at most five bytes of framing
    // and there is at most one number per two characters of text.
    const std::size_t bound = 4 * s.size() + 64;
    char inline_buffer[256];
    std::unique_ptr<char[]> heap;
    char* const base = bound <= sizeof inline_buffer ? inline_buffer : (heap.reset(new char[bound]), heap.get());
    char* p = put_number(base, sc.epoch);

    // Release: write every component, then cut back to the last non-zero one.
    char* release_cut = p;
    std::uint32_t trailing_zeros = 0;
    for_each_piece(
        sc.release,
        [&](std::string_view c) {
          *p++ = static_cast<char>(kItem);
          char* length = p;
          p = put_number(p, c);
          if (*length == 0) {
            ++trailing_zeros;
          } else {
            release_cut = p;
            trailing_zeros = 0;
          }
        },
        is_dot);
    p = release_cut;
    *p++ = static_cast<char>(kEnd);
    out.release_end_ = static_cast<std::uint32_t>(p - base);
    out.trailing_zeros_ = trailing_zeros;

    if (sc.pre) {
      *p++ = static_cast<char>(sc.pre == 'a' ? kPreA : sc.pre == 'b' ? kPreB : kPreRc);
      p = put_number(p, sc.pre_n);
    } else {
      *p++ = static_cast<char>(!sc.post && sc.dev ? kPreNegInf : kPreInf);
    }
    if (sc.post) {
      *p++ = static_cast<char>(kPostSome);
      p = put_number(p, sc.post_n);
    } else {
      *p++ = static_cast<char>(kPostNone);
    }
    if (sc.dev) {
      *p++ = static_cast<char>(kDevSome);
      p = put_number(p, sc.dev_n);
    } else {
      *p++ = static_cast<char>(kDevNone);
    }
    out.local_begin_ = static_cast<std::uint32_t>(p - base);
    if (sc.local) {
      *p++ = static_cast<char>(kLocalSome);
      for_each_piece(
          sc.local_text,
          [&](std::string_view part) {
            if (all_digits(part)) {
              *p++ = static_cast<char>(kLocalNumber);
              p = put_number(p, part);
            } else {
              *p++ = static_cast<char>(kLocalText);
              for (char c : part) *p++ = text::ascii_lower(c);
              *p++ = '\0';
            }
          },
          is_sep);
      *p++ = static_cast<char>(kEnd);
    } else {
      *p++ = static_cast<char>(kLocalNone);
    }
    out.key_.assign(base, static_cast<std::size_t>(p - base));
    unsigned char head[16] = {};
    std::memcpy(head, base, std::min<std::size_t>(16, static_cast<std::size_t>(p - base)));
    for (int half = 0; half < 2; ++half) {
      std::uint64_t v;
      std::memcpy(&v, head + 8 * half, 8);
      if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
      out.prefix_[half] = v;  // big-endian: integer order is byte order
    }
    out.flags_ = static_cast<std::uint8_t>((sc.pre ? kPre : 0) | (sc.post ? kPost : 0) | (sc.dev ? kDev : 0) |
                                           (sc.local ? kLocal : 0));
    return Status::ok;
  } catch (...) {  // allocation failure
    return Status::invalid;
  }
}

std::optional<Version> Version::parse(std::string_view text) noexcept {
  Version v;
  if (parse(text, v) != Status::ok) return std::nullopt;
  return v;
}

Version::Version(std::string_view text) {
  switch (parse(text, *this)) {
    case Status::ok: return;
    case Status::invalid: throw InvalidVersion(invalid_version_text(text));
    case Status::too_long: throw NumberTooLong(too_long_text());
  }
}

void Version::append_public(std::string& out, bool strip_trailing_zero) const {
  std::string_view key = key_;
  std::size_t p = 0;
  std::string_view epoch = get_number(key, p);
  if (!epoch.empty()) {
    out.append(epoch);
    out.push_back('!');
  }
  bool first = true;
  while (byte_at(key, p) == kItem) {
    ++p;
    if (!first) out.push_back('.');
    append_number(out, get_number(key, p));
    first = false;
  }
  ++p;  // end of release
  if (strip_trailing_zero) {
    if (first) out.push_back('0');
  } else {
    for (std::uint32_t z = 0; z < trailing_zeros_; ++z) {
      if (!first) out.push_back('.');
      out.push_back('0');
      first = false;
    }
  }
  unsigned char pre = byte_at(key, p++);
  if (pre == kPreA || pre == kPreB || pre == kPreRc) {
    out.append(pre == kPreA ? "a" : pre == kPreB ? "b" : "rc");
    append_number(out, get_number(key, p));
  }
  if (byte_at(key, p++) == kPostSome) {
    out.append(".post");
    append_number(out, get_number(key, p));
  }
  if (byte_at(key, p++) == kDevSome) {
    out.append(".dev");
    append_number(out, get_number(key, p));
  }
}

std::optional<std::string> Version::local() const {
  if (!has_local()) return std::nullopt;
  std::string_view key = key_;
  std::size_t p = local_begin_ + 1;
  std::string out;
  while (byte_at(key, p) != kEnd) {
    if (!out.empty()) out.push_back('.');
    if (byte_at(key, p++) == kLocalNumber) {
      append_number(out, get_number(key, p));
    } else {
      std::size_t e = key.find('\0', p);
      out.append(key.substr(p, e - p));
      p = e + 1;
    }
  }
  return out;
}

std::string Version::str() const {
  std::string out;
  out.reserve(key_.size() + 8);
  append_public(out, false);
  if (auto l = local()) {
    out.push_back('+');
    out.append(*l);
  }
  return out;
}

std::string Version::public_str() const {
  std::string out;
  append_public(out, false);
  return out;
}

std::string Version::canonical(bool strip_trailing_zero) const {
  std::string out;
  append_public(out, strip_trailing_zero);
  if (auto l = local()) {
    out.push_back('+');
    out.append(*l);
  }
  return out;
}

std::string Version::base_version() const {
  std::string out;
  std::string_view key = key_;
  std::size_t p = 0;
  std::string_view epoch = get_number(key, p);
  if (!epoch.empty()) {
    out.append(epoch);
    out.push_back('!');
  }
  for (const std::string& c : release()) {
    if (out.size() && out.back() != '!') out.push_back('.');
    out.append(c);
  }
  return out;
}

std::string Version::epoch() const {
  std::size_t p = 0;
  std::string out;
  append_number(out, get_number(key_, p));
  return out;
}

std::vector<std::string> Version::release() const {
  std::vector<std::string> out;
  std::string_view key = key_;
  std::size_t p = 0;
  get_number(key, p);
  while (byte_at(key, p) == kItem) {
    ++p;
    std::string c;
    append_number(c, get_number(key, p));
    out.push_back(std::move(c));
  }
  out.insert(out.end(), trailing_zeros_, "0");
  return out;
}

std::optional<std::pair<std::string, std::string>> Version::pre() const {
  std::string_view key = key_;
  std::size_t p = release_end_;
  unsigned char b = byte_at(key, p++);
  if (b != kPreA && b != kPreB && b != kPreRc) return std::nullopt;
  std::string n;
  append_number(n, get_number(key, p));
  return std::pair<std::string, std::string>{b == kPreA ? "a" : b == kPreB ? "b" : "rc", n};
}

std::optional<std::string> Version::post() const {
  if (!is_postrelease()) return std::nullopt;
  std::string_view key = key_;
  std::size_t p = release_end_;
  if (unsigned char b = byte_at(key, p++); b != kPreNegInf && b != kPreInf) get_number(key, p);
  ++p;  // post marker
  std::string n;
  append_number(n, get_number(key, p));
  return n;
}

std::optional<std::string> Version::dev() const {
  if (!is_devrelease()) return std::nullopt;
  std::string_view key = key_;
  std::size_t p = release_end_;
  if (unsigned char b = byte_at(key, p++); b != kPreNegInf && b != kPreInf) get_number(key, p);
  if (byte_at(key, p++) == kPostSome) get_number(key, p);
  ++p;  // dev marker
  std::string n;
  append_number(n, get_number(key, p));
  return n;
}

int Version::compare_public(const Version& other) const noexcept {
  if (!has_local()) return key_.compare(other.key_);
  // Our public key is key_[0, local_begin_) followed by the "no local" byte.
  std::string_view a(key_.data(), local_begin_);
  std::string_view b = other.key_;
  std::size_t common = std::min(a.size(), b.size());
  if (int c = std::memcmp(a.data(), b.data(), common)) return c < 0 ? -1 : 1;
  if (a.size() >= b.size()) return 1;  // b is a proper prefix of ours
  unsigned char next = byte_at(b, a.size());
  if (next != kLocalNone) return kLocalNone < next ? -1 : 1;
  return a.size() + 1 == b.size() ? 0 : -1;
}

bool Version::same_base(const Version& other) const noexcept {
  return std::string_view(key_.data(), release_end_) == std::string_view(other.key_.data(), other.release_end_);
}

// -------------------------------------------------------------------------------------------
// Specifier

std::string_view Specifier::op_text() const noexcept {
  switch (op_) {
    case Op::compatible: return "~=";
    case Op::equal: return "==";
    case Op::not_equal: return "!=";
    case Op::less_equal: return "<=";
    case Op::greater_equal: return ">=";
    case Op::less: return "<";
    case Op::greater: return ">";
    case Op::arbitrary: return "===";
  }
  return "";
}

Specifier::Specifier(std::string_view text) {
  auto invalid = [&]() { return InvalidSpecifier("Invalid specifier: '" + std::string(text) + "'"); };
  std::string_view s = text::strip(text);
  std::size_t len = 0;
  if (s.starts_with("===")) op_ = Op::arbitrary, len = 3;
  else if (s.starts_with("~=")) op_ = Op::compatible, len = 2;
  else if (s.starts_with("==")) op_ = Op::equal, len = 2;
  else if (s.starts_with("!=")) op_ = Op::not_equal, len = 2;
  else if (s.starts_with("<=")) op_ = Op::less_equal, len = 2;
  else if (s.starts_with(">=")) op_ = Op::greater_equal, len = 2;
  else if (s.starts_with("<")) op_ = Op::less, len = 1;
  else if (s.starts_with(">")) op_ = Op::greater, len = 1;
  else throw invalid();
  std::string_view rest = text::lstrip(s.substr(len));
  // Like packaging, which canonicalises the version part when it builds a set.
  auto reject_long_numbers = [&]() {
    Version probe;
    if (Version::parse(rest, probe) == Version::Status::too_long) throw NumberTooLong(too_long_text());
  };

  if (op_ == Op::arbitrary) {
    // Anything up to white space, ";" or ")".
    if (rest.find_first_of(";)") != std::string_view::npos || text::find_space(rest) != std::string_view::npos)
      throw invalid();
    reject_long_numbers();
    version_ = rest;
    version_lower_ = text::ascii_lower(rest);
    pre_ = Version::parse(version_, spec_) != Version::Status::ok ? Pre::error
           : spec_.is_prerelease()                                  ? Pre::yes
                                                                    : Pre::no;
    return;
  }

  const bool equality = op_ == Op::equal || op_ == Op::not_equal;
  Scan sc;
  if (!scan(rest, Grammar{equality, equality, op_ == Op::compatible ? 2 : 1}, sc)) throw invalid();
  reject_long_numbers();
  version_ = rest;
  wildcard_ = sc.wildcard;

  std::string_view vtext = wildcard_ ? rest.substr(0, rest.size() - 2) : rest;
  compare_status_ = Version::parse(vtext, spec_);
  const bool names_pre = op_ == Op::equal || op_ == Op::greater_equal || op_ == Op::less_equal || op_ == Op::compatible;
  if (names_pre)
    pre_ = compare_status_ != Version::Status::ok ? Pre::error : spec_.is_prerelease() ? Pre::yes : Pre::no;
  if (compare_status_ != Version::Status::ok) return;

  if (wildcard_) {
    split_spec_ = split_to_strings(spec_.canonical(false));
  } else if (op_ == Op::compatible) {
    // The prefix is taken from the text as written, like packaging does: drop suffix items
    // and the last release item, then match "prefix.*".
    Items items;
    version_split(version_, items);
    std::string prefix;
    std::size_t taken = 0;
    while (taken < items.size() && is_not_suffix(items[taken])) ++taken;
    for (std::size_t k = 0; k + 1 < taken; ++k) {
      if (k) prefix.push_back('.');
      prefix.append(items[k]);
    }
    split_spec_ = split_to_strings(canonicalize_version(prefix, false));
  }
}

bool Specifier::prereleases() const {
  switch (pre_) {
    case Pre::yes: return true;
    case Pre::no: return false;
    case Pre::error: break;
  }
  if (op_ == Op::arbitrary || compare_status_ == Version::Status::invalid)
    throw InvalidVersion(invalid_version_text(wildcard_ ? std::string_view(version_).substr(0, version_.size() - 2)
                                                        : std::string_view(version_)));
  throw NumberTooLong(too_long_text());
}

void Specifier::raise_compare_error() const { throw NumberTooLong(too_long_text()); }

bool Specifier::contains(const Version& item, std::optional<bool> prereleases) const {
  bool pre = prereleases ? *prereleases : this->prereleases();
  if (item.is_prerelease() && !pre) return false;
  if (compare_status_ != Version::Status::ok) raise_compare_error();
  return matches(item);
}

bool Specifier::equal_prefix(const Version& item, const std::vector<std::string>& right) const {
  std::string normalized;
  item.append_public(normalized, true);
  Items left;
  version_split(normalized, left);
  auto numeric_prefix = [](const auto& v) {
    std::size_t k = 0;
    while (k < v.size() && all_digits(v[k])) ++k;
    return k;
  };
  const std::size_t lp = numeric_prefix(left), rp = numeric_prefix(right);
  const std::size_t pad = rp > lp ? rp - lp : 0;
  if (left.size() + pad < right.size()) return false;
  for (std::size_t t = 0; t < right.size(); ++t) {
    std::string_view elem = t < lp ? left[t] : t < lp + pad ? std::string_view("0") : left[t - pad];
    if (elem != right[t]) return false;
  }
  return true;
}

bool Specifier::matches(const Version& item) const {
  switch (op_) {
    case Op::compatible:
      return item.compare_public(spec_) >= 0 && equal_prefix(item, split_spec_);
    case Op::equal:
    case Op::not_equal: {
      bool eq = wildcard_ ? equal_prefix(item, split_spec_)
                : spec_.has_local() ? item == spec_
                                    : item.compare_public(spec_) == 0;
      return op_ == Op::equal ? eq : !eq;
    }
    case Op::less_equal:
      return item.compare_public(spec_) <= 0;
    case Op::greater_equal:
      return item.compare_public(spec_) >= 0;
    case Op::less:
      if (!(item < spec_)) return false;
      if (!spec_.is_prerelease() && item.is_prerelease() && item.same_base(spec_)) return false;
      return true;
    case Op::greater:
      if (!(item > spec_)) return false;
      if (!spec_.is_postrelease() && item.is_postrelease() && item.same_base(spec_)) return false;
      if (item.has_local() && item.same_base(spec_)) return false;
      return true;
    case Op::arbitrary:
      return item.str() == version_lower_;
  }
  return false;
}

// -------------------------------------------------------------------------------------------
// SpecifierSet

SpecifierSet::SpecifierSet(std::string_view text) {
  specs_.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), ',')) + 1);
  for_each_piece(
      text,
      [&](std::string_view piece) {
        std::string_view p = text::strip(piece);
        if (!p.empty()) specs_.emplace_back(p);
      },
      [](char c) { return c == ','; });
}

std::optional<bool> SpecifierSet::prereleases() const {
  if (specs_.empty()) return std::nullopt;
  const Specifier* failing = nullptr;
  for (const Specifier& s : specs_) {
    if (s.pre_ == Specifier::Pre::yes) return true;
    if (s.pre_ == Specifier::Pre::error && !failing) failing = &s;
  }
  if (failing) failing->prereleases();  // throws
  return false;
}

bool SpecifierSet::contains(const Version& item, std::optional<bool> prereleases) const {
  bool pre = prereleases ? *prereleases : this->prereleases().value_or(false);
  if (!pre && item.is_prerelease()) return false;
  for (const Specifier& s : specs_)
    if (s.compare_status_ == Version::Status::ok && !s.contains(item, pre)) return false;
  for (const Specifier& s : specs_)
    if (s.compare_status_ != Version::Status::ok) s.raise_compare_error();
  return true;
}

bool SpecifierSet::contains(std::string_view item, std::optional<bool> prereleases) const {
  return contains(Version(item), prereleases);
}

std::string canonicalize_version(std::string_view text, bool strip_trailing_zero) {
  Version v;
  switch (Version::parse(text, v)) {
    case Version::Status::ok: return v.canonical(strip_trailing_zero);
    case Version::Status::invalid: return std::string(text);
    case Version::Status::too_long: break;
  }
  throw NumberTooLong(too_long_text());
}

}  // namespace indexscout::pep440
