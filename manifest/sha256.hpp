#pragma once
// SHA-256 from the system's own cryptography: libcrypto where there is OpenSSL, CNG
// (BCrypt) on Windows, where no OpenSSL comes with the system or its cross compiler.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace folvane::manifest {

/// One SHA-256 in progress. A failure of the system's hashing (the algorithm not
/// offered, as under a configuration that allows only approved providers, or a
/// failing update) is kept: the hash then has no digest rather than a wrong one.
/// Nothing here throws, so a hash may run on any thread.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void Update(std::span<const std::uint8_t> bytes);
  /// Ends the hash: 64 lower-case hex digits, or nothing if the hashing failed.
  std::optional<std::string> Hex();
  /// Whether the hashing has failed so far.
  [[nodiscard]] bool Failed() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

/// The SHA-256 of `bytes`, as lower-case hex; nothing if the hashing failed.
std::optional<std::string> Sha256Hex(std::span<const std::uint8_t> bytes);

/// Lower-case hex of a digest's bytes.
std::string HexText(std::span<const std::uint8_t> bytes);

}  // namespace folvane::manifest
