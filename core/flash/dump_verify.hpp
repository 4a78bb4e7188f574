#pragma once
// A programmed chip read back whole (every block's pages with their spare bytes, as
// the device programmer reads it) compared with the data image it was programmed
// from: each row rebuilt by the skip rule from the chip's bad blocks.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "flash/bad_blocks.hpp"
#include "flash/pages.hpp"
#include "io/file_io.hpp"

namespace folvane {

/// What to compare: the dump, the data image, the rows, and how to tell bad blocks.
struct DumpCheck {
  std::string dumpPath;
  std::string dataPath;
  PageLayout layout;
  /// Each accepted row and its range; its image blocks stand in the data image from
  /// byte range.first x block size on.
  std::vector<std::pair<int, BlockRange>> rows;
  /// The chip's bad blocks from a list; without one, from the marks in the dump.
  std::optional<BadBlockSet> badBlocks;
  unsigned markerPages = kMarkAll;
  /// Differing bits a page may show and still count as matching (they are counted).
  std::uint64_t bitflips = 0;
};

/// The first byte where a row's blocks differ from what the chip should hold.
struct DumpDifference {
  std::uint32_t physicalBlock = 0;
  /// The image block it holds, or nothing for a good block after the image that
  /// should be erased.
  std::optional<std::uint32_t> imageBlock;
  std::uint64_t dumpOffset = 0;
};

/// One row as the chip holds it.
struct DumpRow {
  int row = 0;
  BlockRange range;
  std::vector<std::uint32_t> badBlocks;  ///< skipped inside the range, ascending
  std::uint64_t placedBlocks = 0;        ///< image blocks that found a good block
  std::uint64_t differingBits = 0;
  std::uint64_t differingPages = 0;      ///< pages with at least one differing bit
  std::uint64_t pagesOverLimit = 0;      ///< pages with more than the accepted bit flips
  std::optional<DumpDifference> first;
  [[nodiscard]] bool Overflows() const { return placedBlocks < range.imageBlocks; }
  [[nodiscard]] bool Matches() const { return !Overflows() && pagesOverLimit == 0; }
};

struct DumpReport {
  std::uint64_t dumpBytes = 0;
  std::uint64_t chipBlocks = 0;
  /// Set when the dump's size does not fit the job: why, with the size expected.
  std::string sizeProblem;
  std::vector<DumpRow> rows;
  std::uint64_t markedBlocks = 0;  ///< bad blocks found by their marks, in the whole chip
};

/// Reads the dump once, in order, and the data image's row blocks as they are
/// needed (also in order). A file that cannot be opened or read, or a data image
/// that ends before a row's image does, is an error.
Expected<DumpReport> VerifyDump(const DumpCheck& check);

}  // namespace folvane
