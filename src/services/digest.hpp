#pragma once
// SHA-256 and SHA-1 from the platform's cryptography: OpenSSL's libcrypto (digest_openssl.cpp)
// or Windows' CNG (digest_cng.cpp).
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace corvane::digest {

using Sha256Digest = std::array<std::uint8_t, 32>;
using Sha1Digest = std::array<std::uint8_t, 20>;

// SHA-256 of data given in pieces (a download as it arrives).
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void update(std::string_view data);
  // The digest of everything given; the object is spent afterwards.
  Sha256Digest finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

Sha256Digest sha256(std::string_view data);
Sha1Digest sha1(std::string_view data);

// Lower-case hex.
inline std::string hex(const std::uint8_t* data, std::size_t size) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(size * 2, '0');
  for (std::size_t i = 0; i < size; ++i) {
    out[2 * i] = kHex[data[i] >> 4];
    out[2 * i + 1] = kHex[data[i] & 0xF];
  }
  return out;
}
template <std::size_t N>
std::string hex(const std::array<std::uint8_t, N>& d) {
  return hex(d.data(), d.size());
}

inline std::string sha256_hex(std::string_view data) { return hex(sha256(data)); }

}  // namespace corvane::digest
