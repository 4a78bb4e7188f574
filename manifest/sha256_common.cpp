#include "manifest/sha256.hpp"

namespace folvane::manifest {

std::string HexText(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const std::uint8_t b : bytes) {
    hex += kDigits[b >> 4];
    hex += kDigits[b & 0xF];
  }
  return hex;
}

std::optional<std::string> Sha256Hex(std::span<const std::uint8_t> bytes) {
  Sha256 sha;
  sha.Update(bytes);
  return sha.Hex();
}

}  // namespace folvane::manifest
