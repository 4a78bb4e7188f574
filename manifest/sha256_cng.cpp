// Windows' own SHA-256 (CNG), which uses the processor's SHA instructions where
// there are some.
#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <array>
#include <limits>

#include "manifest/sha256.hpp"

namespace folvane::manifest {

struct Sha256::Impl {
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool failed = false;
};

namespace {
// The algorithm is opened once for the process; each hash object is CNG's own.
BCRYPT_ALG_HANDLE Algorithm() {
  static const BCRYPT_ALG_HANDLE algorithm = [] {
    BCRYPT_ALG_HANDLE h = nullptr;
    return BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&h, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ? h : nullptr;
  }();
  return algorithm;
}
}  // namespace

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
  const BCRYPT_ALG_HANDLE algorithm = Algorithm();
  impl_->failed =
      !algorithm || !BCRYPT_SUCCESS(::BCryptCreateHash(algorithm, &impl_->hash, nullptr, 0, nullptr, 0, 0));
}

bool Sha256::Failed() const { return impl_->failed; }

Sha256::~Sha256() {
  if (impl_->hash) ::BCryptDestroyHash(impl_->hash);
}

void Sha256::Update(std::span<const std::uint8_t> bytes) {
  // BCryptHashData takes a 32-bit count: larger spans go in pieces.
  constexpr std::size_t kMaxPiece = std::numeric_limits<ULONG>::max() & ~std::size_t{0xFFFF};
  while (!impl_->failed && !bytes.empty()) {
    const std::size_t n = std::min(bytes.size(), kMaxPiece);
    impl_->failed =
        !BCRYPT_SUCCESS(::BCryptHashData(impl_->hash, const_cast<PUCHAR>(bytes.data()), static_cast<ULONG>(n), 0));
    bytes = bytes.subspan(n);
  }
}

std::optional<std::string> Sha256::Hex() {
  std::array<std::uint8_t, 32> out{};
  if (impl_->failed ||
      !BCRYPT_SUCCESS(::BCryptFinishHash(impl_->hash, out.data(), static_cast<ULONG>(out.size()), 0))) {
    impl_->failed = true;
    return std::nullopt;
  }
  return HexText(out);
}

}  // namespace folvane::manifest
