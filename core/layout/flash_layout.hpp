#pragma once
// Where a job puts things in the flash: the segments along the block axis that a
// merge of the job would produce (each taken row's image and spare blocks, the 0xFF
// fill between them), the rows it would leave out with the rule each breaks, and the
// places where ranges overlap. The window's map, the command line's map and the
// report all draw this one model; none of them decides a row's fate on its own.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "flash/bad_blocks.hpp"
#include "job/block_mode.hpp"
#include "job/partition.hpp"

namespace folvane {

enum class SegmentKind {
  Fill,     ///< 0xFF blocks before or between partitions, or blocks no range claims
  Image,    ///< blocks a taken row's image occupies
  Spare,    ///< the rest of a taken row's range
  LeftOut,  ///< the range of a ticked row the merge leaves out
};

/// A run of blocks of one kind; `row` is 1..16, or 0 for fill.
struct LayoutSegment {
  SegmentKind kind = SegmentKind::Fill;
  int row = 0;
  std::uint64_t firstBlock = 0;
  std::uint64_t blockCount = 0;
  std::uint64_t firstByte = 0;
  std::uint64_t byteCount = 0;
  [[nodiscard]] std::uint64_t EndBlock() const { return firstBlock + blockCount; }
  friend bool operator==(const LayoutSegment&, const LayoutSegment&) = default;
};

/// Blocks that two rows' ranges both claim: a later row inside an earlier row's
/// spare blocks, or a left-out row's range over a taken one.
struct LayoutOverlap {
  int row = 0;       ///< the row whose range is overlapped
  int otherRow = 0;  ///< the row that reaches into it
  std::uint64_t firstBlock = 0;
  std::uint64_t blockCount = 0;
  friend bool operator==(const LayoutOverlap&, const LayoutOverlap&) = default;
};

/// One ticked row as the merge would see it.
struct LayoutRow {
  int row = 0;
  bool accepted = false;
  SlotRule rule = SlotRule::Accepted;  ///< the rule a left-out row breaks
  std::string why;                     ///< that rule with the row's numbers, for people
  std::string imagePath;
  std::string name;  ///< the row's name, from a text job; empty: none
  std::string ecc;   ///< the ECC scheme an image of page data only is laid out with; empty: none
  std::uint32_t startBlock = kUnset;
  std::uint32_t endBlock = kUnset;
  std::uint32_t imageBlocks = kUnset;
  std::optional<std::uint64_t> imageBytes;  ///< the image's size now, if it can be measured
  /// The merge would stop at this row before building the table: its image cannot
  /// be opened or is empty ("FILE[%d] open fail" / "FILE[%d] empty").
  std::string stopsMerge;
  /// The range as blocks, 0 when the start or end block is unset or reversed.
  std::uint64_t rangeBlocks = 0;
  /// Range blocks the image leaves free (bad blocks not counted); a left-out row's
  /// too, so that every document that shows the row gives it the same figure.
  std::uint64_t spareBlocks = 0;
  /// Byte offset of the start block in the data image.
  std::uint64_t offset = 0;
  /// With a chip's bad blocks, for a taken row: where the programmer puts each image
  /// block, skipping the bad blocks of the range.
  std::optional<RangePlacement> placement;
  /// With a chip's bad blocks: bad blocks the image skips over on its way (all of the
  /// range's when it runs out), and good blocks left in the range after the image
  /// (negative: that many image blocks find no good block).
  std::uint64_t skippedBlocks = 0;
  std::int64_t margin = 0;
  [[nodiscard]] bool RangeValid() const { return rangeBlocks != 0; }
  /// The chip's bad blocks leave the range too few good blocks for the image.
  [[nodiscard]] bool Overflows() const { return placement && placement->Overflows(); }
};

struct LayoutOptions {
  /// The rows' image sizes now (nothing where the image cannot be opened); by default
  /// each image is measured once from its stored path.
  std::function<std::optional<std::uint64_t>(int row)> imageBytes;
  /// When given, the leading run of ticked rows takes its path from these texts and
  /// its length from the measured image, as the merge refreshes it before anything
  /// else (the window's path fields); otherwise the slots are taken as they stand.
  std::function<std::string(int row)> pathText;
  /// A chip's bad blocks, when one is known: each taken row's image then lies on the
  /// good blocks of its range as the programmer writes it, stretched over the bad ones.
  std::optional<BadBlockSet> badBlocks;
};

/// The whole picture for one job and block size.
struct FlashLayout {
  std::uint32_t blockSize = 0;
  std::vector<LayoutRow> rows;            ///< the ticked rows, in row order
  std::vector<LayoutSegment> axis;        ///< from block 0 to `endBlock`, in order, gapless
  std::vector<LayoutSegment> leftOut;     ///< the valid ranges of left-out rows, in row order
  std::vector<LayoutOverlap> overlaps;
  std::vector<std::uint64_t> badBlocks;   ///< the chip's, ascending, below `endBlock`
  bool badBlocksKnown = false;            ///< a chip's bad blocks were given (maybe none)
  std::uint64_t endBlock = 0;             ///< one past the last block any shown range reaches
  std::uint64_t dataBlocks = 0;           ///< the data image's length in blocks

  /// The ticked row 1..16, or nothing if it is not ticked.
  [[nodiscard]] const LayoutRow* Row(int row) const;
  /// What lies at `block`: a left-out range drawn over the axis first, then the axis.
  [[nodiscard]] const LayoutSegment* SegmentAt(std::uint64_t block) const;
};

/// Builds the layout of the rows `isChecked` reports ticked. Which rows are taken, and
/// where, is the merge's own plan; an image of page data only (a row with an ECC
/// scheme) is measured in blocks of its pages' data, as the merge measures it.
FlashLayout BuildFlashLayout(const PartitionSet& set, const FlashGeometry& geometry,
                             const std::function<bool(int row)>& isChecked, const LayoutOptions& options = {});

/// What a segment is, for people, in lines: its row, path, range, image and spare
/// blocks and byte offset (or the fill's blocks); what hovering it shows.
std::string DescribeSegment(const FlashLayout& layout, const LayoutSegment& segment);

/// "image", "spare", "fill", "left out": the kind's name for legends and JSON.
const char* SegmentKindName(SegmentKind kind);

}  // namespace folvane
