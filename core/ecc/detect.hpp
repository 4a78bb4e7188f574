#pragma once
// Finding the ECC scheme of a raw image: every named scheme and the custom forms a
// controller or a driver could have used, tried on the image's pages that hold data.

#include <cstdint>
#include <span>
#include <vector>

#include "ecc/scheme.hpp"

namespace folvane {

/// How well one scheme fits the pages that hold data.
struct SchemeFit {
  EccScheme scheme;
  std::uint64_t steps = 0;     ///< steps of the pages checked
  std::uint64_t matching = 0;  ///< of those, the steps whose stored ECC is their data's
  [[nodiscard]] bool Every() const { return steps != 0 && matching == steps; }
};

struct DetectReport {
  std::uint64_t pages = 0;        ///< whole pages in the image
  std::uint64_t erasedPages = 0;  ///< all 0xFF: they fit every scheme and tell nothing
  std::uint64_t codes = 0;        ///< codes whose ECC was looked for in the pages (masked and not counted apart)
  std::uint64_t candidates = 0;   ///< schemes (a code and where it is stored) checked on the pages
  /// The schemes whose ECC matches in every step of every page that holds data, best
  /// first (a named scheme before a written-out one).
  std::vector<SchemeFit> matches;
  /// When no scheme matches every page: the nearest few, most matching steps first.
  std::vector<SchemeFit> closest;
};

/// The schemes that fit the image's pages of `dataBytes` + `spareBytes` bytes: the
/// named ones; Hamming of both orders and steps; BCH of t 1 to 60 over steps of 512
/// and 1024 bytes, either bit order, masked or not; at the Linux place, from any
/// spare byte where a step's ECC is found, or interleaved. Bytes after the last
/// whole page are not looked at.
DetectReport DetectSchemes(std::span<const std::uint8_t> image, std::uint32_t dataBytes, std::uint32_t spareBytes);

}  // namespace folvane
