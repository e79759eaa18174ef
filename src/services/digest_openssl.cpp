#include "services/digest.hpp"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <stdexcept>

namespace corvane::digest {

struct Sha256::State {
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx{EVP_MD_CTX_new(), EVP_MD_CTX_free};
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  if (!state_->ctx || !EVP_DigestInit_ex(state_->ctx.get(), EVP_sha256(), nullptr))
    throw std::runtime_error("SHA-256 failed");
}

Sha256::~Sha256() = default;

void Sha256::update(std::string_view data) { EVP_DigestUpdate(state_->ctx.get(), data.data(), data.size()); }

Sha256Digest Sha256::finish() {
  Sha256Digest out{};
  unsigned int len = 0;
  EVP_DigestFinal_ex(state_->ctx.get(), out.data(), &len);
  return out;
}

Sha256Digest sha256(std::string_view data) {
  Sha256Digest out{};
  unsigned int len = 0;
  if (!EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_sha256(), nullptr))
    throw std::runtime_error("SHA-256 failed");
  return out;
}

Sha1Digest sha1(std::string_view data) {
  Sha1Digest out{};
  SHA1(reinterpret_cast<const unsigned char*>(data.data()), data.size(), out.data());
  return out;
}

}  // namespace corvane::digest
