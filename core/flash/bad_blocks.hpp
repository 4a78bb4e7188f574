#pragma once
// The chip's factory bad blocks and what the device programmer does about them: it
// walks each partition's range of erase blocks, skips every bad one, writes image
// block i to the i-th good block, and rejects the chip when a range runs out of good
// blocks. This is the one model of that rule; the command line, the window and the
// flash-map layout all take their placements and overflow figures from here.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "job/partition.hpp"

namespace folvane {

/// The bad blocks of one chip, kept sorted and without repeats.
class BadBlockSet {
 public:
  BadBlockSet() = default;
  /// Any order; repeats are dropped.
  explicit BadBlockSet(std::vector<std::uint32_t> blocks);

  [[nodiscard]] bool IsBad(std::uint32_t block) const;
  /// How many of blocks first..last (inclusive) are bad.
  [[nodiscard]] std::uint64_t CountIn(std::uint32_t first, std::uint32_t last) const;
  /// Ascending.
  [[nodiscard]] const std::vector<std::uint32_t>& Blocks() const { return blocks_; }
  [[nodiscard]] std::size_t size() const { return blocks_.size(); }
  [[nodiscard]] bool empty() const { return blocks_.empty(); }

 private:
  std::vector<std::uint32_t> blocks_;
};

/// Image blocks imageBlock.. imageBlock+count-1 written to physical blocks
/// physicalBlock.. physicalBlock+count-1, with no bad block between.
struct PlacementRun {
  std::uint32_t imageBlock = 0;
  std::uint32_t physicalBlock = 0;
  std::uint32_t count = 0;
  friend bool operator==(const PlacementRun&, const PlacementRun&) = default;
};

/// Where the skip rule puts one range's image on a chip.
struct RangePlacement {
  BlockRange range;
  /// The image blocks that found a good block, in image order. When the range
  /// overflows, the runs stop where the good blocks ran out.
  std::vector<PlacementRun> runs;
  std::uint64_t badBlocks = 0;   ///< bad blocks inside the range
  std::uint64_t goodBlocks = 0;  ///< good blocks inside the range
  /// Fewer good blocks than image blocks: the programmer rejects the chip.
  [[nodiscard]] bool Overflows() const { return goodBlocks < range.imageBlocks; }
  /// Image blocks that found no good block (0 unless it overflows).
  [[nodiscard]] std::uint64_t MissingBlocks() const { return Overflows() ? range.imageBlocks - goodBlocks : 0; }
  /// Good blocks left after the image (0 when it overflows); they stay erased.
  [[nodiscard]] std::uint64_t SpareGoodBlocks() const { return Overflows() ? 0 : goodBlocks - range.imageBlocks; }
  /// The physical block that holds image block `imageBlock`, if it found one.
  [[nodiscard]] std::optional<std::uint32_t> PhysicalOf(std::uint32_t imageBlock) const;
};

/// The skip rule for one range: its cost grows with the bad blocks inside it, not
/// with its length.
RangePlacement PlaceRange(const BlockRange& range, const BadBlockSet& bad);

/// A bad-blocks list, or where and why it could not be read.
struct BadBlockList {
  std::optional<BadBlockSet> set;
  std::size_t line = 0;   ///< the line of the first problem, from 1
  std::string problem;    ///< one sentence, empty when `set` holds the list
};

/// Reads a list of bad block numbers: decimal or hexadecimal with 0x, separated by
/// blanks, commas or new lines; '#' starts a comment that runs to the end of the line.
/// A number that is not one, a repeat, or a block at or beyond `chipBlocks` (when
/// given) is refused with its line. Block 0 is accepted: a dump may show it marked
/// even though datasheets promise it good.
BadBlockList ParseBadBlockList(std::string_view text, std::optional<std::uint64_t> chipBlocks = std::nullopt);

/// A count as people write it in datasheets: decimal, or hexadecimal with 0x (either
/// case), no sign, no blanks; nothing if it is not one or passes `max`.
std::optional<std::uint64_t> ParseCount(std::string_view text, std::uint64_t max = UINT64_MAX);

/// The chance that a chip overflows a partition, when its bad blocks are `badBlocks`
/// blocks chosen uniformly among blocks 1..chipBlocks-1 (block 0 is always good).
struct OverflowOdds {
  /// One per range, in the order given: the chance that this range overflows.
  std::vector<long double> rows;
  /// The chance that any range overflows; only when the ranges do not overlap, since
  /// then the count of bad blocks in each is a multivariate hypergeometric draw.
  std::optional<long double> job;
};

/// Exact overflow chances (no sampling; terms below 1e-30 of the answer dropped).
/// Every range must lie inside the chip and `badBlocks` < `chipBlocks`.
OverflowOdds OverflowProbabilities(const std::vector<BlockRange>& ranges, std::uint64_t chipBlocks,
                                   std::uint64_t badBlocks);

/// Whether any two ranges share a block.
bool RangesOverlap(const std::vector<BlockRange>& ranges);

}  // namespace folvane
