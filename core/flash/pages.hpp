#pragma once
// A block's pages as the chip holds them: each page's data bytes then its spare
// bytes, and the bad-block mark a factory leaves in the spare area.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace folvane {

/// One page's data and spare bytes and the pages of a block.
struct PageLayout {
  std::uint32_t dataBytes = 2048;
  std::uint32_t spareBytes = 64;
  std::uint32_t pagesPerBlock = 64;
  [[nodiscard]] std::uint32_t PageBytes() const { return dataBytes + spareBytes; }
  [[nodiscard]] std::uint32_t BlockBytes() const { return PageBytes() * pagesPerBlock; }
};

/// The pages of block mode `index` (the default mode's outside 0..15).
PageLayout PageLayoutOf(int blockModeIndex);

/// The pages whose spare area a chip's factory marks; which one depends on the chip.
enum MarkerPage : unsigned { kMarkFirst = 1, kMarkSecond = 2, kMarkLast = 4, kMarkAll = 7 };

/// "first,second,last" (any of them, in any order) as a set of MarkerPage bits;
/// nothing if a word is unknown, `bad` then holds it.
std::optional<unsigned> ParseMarkerPages(std::string_view text, std::string* bad = nullptr);
/// "first,last".
std::string MarkerPagesText(unsigned pages);

/// A mark found in a block: its page within the block and the byte within the block.
struct BlockMark {
  std::uint32_t page = 0;
  std::uint32_t offset = 0;
};

/// The first byte other than 0xFF at a marker position of the chosen pages: the
/// first spare byte of the page, and for pages of 512 data bytes also the sixth.
/// `block` holds one whole block.
std::optional<BlockMark> FindMark(std::span<const std::uint8_t> block, const PageLayout& layout, unsigned pages);

}  // namespace folvane
