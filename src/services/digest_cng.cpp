// Hashing through Windows' CNG (bcrypt.dll): the system's own, validated implementations.
#include "services/digest.hpp"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <stdexcept>

namespace corvane::digest {
namespace {

// One algorithm provider per algorithm for the process (providers are thread-safe and costly
// to open).
BCRYPT_ALG_HANDLE provider(const wchar_t* algorithm) {
  BCRYPT_ALG_HANDLE handle = nullptr;
  if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&handle, algorithm, nullptr, 0)))
    throw std::runtime_error("the system's hashing is not available");
  return handle;
}

BCRYPT_ALG_HANDLE sha256_provider() {
  static BCRYPT_ALG_HANDLE handle = provider(BCRYPT_SHA256_ALGORITHM);
  return handle;
}

BCRYPT_ALG_HANDLE sha1_provider() {
  static BCRYPT_ALG_HANDLE handle = provider(BCRYPT_SHA1_ALGORITHM);
  return handle;
}

template <std::size_t N>
std::array<std::uint8_t, N> hash_once(BCRYPT_ALG_HANDLE algorithm, std::string_view data) {
  std::array<std::uint8_t, N> out{};
  // BCryptHash takes a ULONG length: large inputs go through a hash object in pieces.
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (!BCRYPT_SUCCESS(::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0)))
    throw std::runtime_error("hashing failed");
  bool ok = true;
  while (ok && !data.empty()) {
    ULONG n = static_cast<ULONG>(std::min<std::size_t>(data.size(), 1u << 30));
    ok = BCRYPT_SUCCESS(
        ::BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())), n, 0));
    data.remove_prefix(n);
  }
  ok = ok && BCRYPT_SUCCESS(::BCryptFinishHash(hash, out.data(), static_cast<ULONG>(out.size()), 0));
  ::BCryptDestroyHash(hash);
  if (!ok) throw std::runtime_error("hashing failed");
  return out;
}

}  // namespace

struct Sha256::State {
  BCRYPT_HASH_HANDLE hash = nullptr;
  ~State() {
    if (hash) ::BCryptDestroyHash(hash);
  }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  if (!BCRYPT_SUCCESS(::BCryptCreateHash(sha256_provider(), &state_->hash, nullptr, 0, nullptr, 0, 0)))
    throw std::runtime_error("SHA-256 failed");
}

Sha256::~Sha256() = default;

void Sha256::update(std::string_view data) {
  while (!data.empty()) {
    ULONG n = static_cast<ULONG>(std::min<std::size_t>(data.size(), 1u << 30));
    ::BCryptHashData(state_->hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())), n, 0);
    data.remove_prefix(n);
  }
}

Sha256Digest Sha256::finish() {
  Sha256Digest out{};
  if (!BCRYPT_SUCCESS(::BCryptFinishHash(state_->hash, out.data(), static_cast<ULONG>(out.size()), 0)))
    throw std::runtime_error("SHA-256 failed");
  return out;
}

Sha256Digest sha256(std::string_view data) { return hash_once<32>(sha256_provider(), data); }

Sha1Digest sha1(std::string_view data) { return hash_once<20>(sha1_provider(), data); }

}  // namespace corvane::digest
