// libcrypto uses the processor's SHA instructions where there are some.
#include <openssl/evp.h>

#include <stdexcept>

#include "sha256.hpp"

namespace folvane::cli {

struct Sha256::Impl {
  EVP_MD_CTX* ctx = nullptr;
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
  impl_->ctx = EVP_MD_CTX_new();
  if (!impl_->ctx || EVP_DigestInit_ex(impl_->ctx, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(impl_->ctx);
    throw std::runtime_error("SHA-256 is not available");
  }
}

Sha256::~Sha256() { EVP_MD_CTX_free(impl_->ctx); }

void Sha256::Update(std::span<const std::uint8_t> bytes) {
  if (!bytes.empty() && EVP_DigestUpdate(impl_->ctx, bytes.data(), bytes.size()) != 1)
    throw std::runtime_error("SHA-256 failed");
}

std::string Sha256::Hex() {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (EVP_DigestFinal_ex(impl_->ctx, out, &n) != 1) throw std::runtime_error("SHA-256 failed");
  return HexText({out, n});
}

}  // namespace folvane::cli
