// libcrypto uses the processor's SHA instructions where there are some.
#include <openssl/evp.h>

#include "manifest/sha256.hpp"

namespace folvane::manifest {

struct Sha256::Impl {
  EVP_MD_CTX* ctx = nullptr;
  bool failed = false;
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
  impl_->ctx = EVP_MD_CTX_new();
  impl_->failed = !impl_->ctx || EVP_DigestInit_ex(impl_->ctx, EVP_sha256(), nullptr) != 1;
}

Sha256::~Sha256() { EVP_MD_CTX_free(impl_->ctx); }

bool Sha256::Failed() const { return impl_->failed; }

void Sha256::Update(std::span<const std::uint8_t> bytes) {
  if (impl_->failed || bytes.empty()) return;
  impl_->failed = EVP_DigestUpdate(impl_->ctx, bytes.data(), bytes.size()) != 1;
}

std::optional<std::string> Sha256::Hex() {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (impl_->failed || EVP_DigestFinal_ex(impl_->ctx, out, &n) != 1) {
    impl_->failed = true;
    return std::nullopt;
  }
  return HexText({out, n});
}

}  // namespace folvane::manifest
