#pragma once
// The sixteen NAND block modes and the current flash geometry.

#include <array>
#include <cstdint>
#include <string_view>

namespace folvane {

/// One row of the fixed block-mode table; its position is the Block Mode list's index.
struct BlockMode {
  int index;
  std::string_view label;
  std::uint32_t pageSize;       ///< bytes per page, spare area included
  std::uint32_t pagesPerBlock;
  std::uint32_t blockSize;      ///< bytes per erase block, spare area included
  std::uint32_t dataBytes;      ///< a page's data bytes; the rest of the page is its spare area
  [[nodiscard]] std::uint32_t SpareBytes() const { return pageSize - dataBytes; }
};

inline constexpr int kBlockModeCount = 16;
inline constexpr int kDefaultBlockModeIndex = 2;

/// The table in list order (not sorted).
extern const std::array<BlockMode, kBlockModeCount> kBlockModes;

/// Block size and page size of the flash being programmed.
struct FlashGeometry {
  std::uint32_t blockSize = 0x21000;
  std::uint32_t pageSize = 2112;
  /// A page's data bytes: what a block of an image of page data only holds is these,
  /// once for each page of the block.
  std::uint32_t pageDataBytes = 2048;
  [[nodiscard]] std::uint32_t BlockDataBytes() const { return pageDataBytes * (blockSize / pageSize); }
  friend bool operator==(const FlashGeometry&, const FlashGeometry&) = default;
};

/// The geometry of the row at `index`; any index outside 0..15 (the list's -1 for
/// "no selection" included) gives the default row 2.
FlashGeometry LookupBlockMode(int index);

/// Sets the geometry to the mode at `index`. Nothing else changes: image lengths
/// already measured in blocks keep the block size they were measured with.
void ApplyBlockMode(FlashGeometry& geometry, int index);

}  // namespace folvane
