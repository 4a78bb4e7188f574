#pragma once
// The partition set (sixteen rows and the two output paths), the rule that decides
// which rows become partitions, and the 512-byte partition table file.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "io/file_io.hpp"

namespace folvane {

inline constexpr int kRowCount = 16;
/// "Never set since start-up" in a slot's block fields; an ordinary number to the rules.
inline constexpr std::uint32_t kUnset = 0xFFFFFFFF;
/// The longest path the program's 256-byte path fields hold, in bytes as a .part file
/// stores it (the terminating zero takes the last byte).
inline constexpr std::size_t kMaxPathBytes = 255;
inline constexpr std::size_t kTableSize = 512;

/// Whether `path` is longer than the path fields hold. Measured as a .part file stores
/// the path, the form the limit was made for (GBK on a Chinese Windows), so that every
/// path a job can hold is taken, and the same by everything that asks: browsing,
/// saving a job, the merge and its checks.
bool PathTooLongToStore(std::string_view path);

/// One partition row. Whether it is ticked is the front end's: the window's check
/// box, or how many rows a loaded job holds.
struct PartitionSlot {
  std::string imagePath;
  std::uint32_t startBlock = kUnset;
  std::uint32_t endBlock = kUnset;
  std::uint32_t imageBlocks = kUnset;
  std::string name;  ///< the row's name, from a text job; empty: none
  /// The row's ECC scheme as written: `ecc` for an image of page data only, laid out
  /// with it; `rawEcc` for whole pages that should carry it. Empty: none.
  std::string ecc;
  std::string rawEcc;
  friend bool operator==(const PartitionSlot&, const PartitionSlot&) = default;
};

/// The rows of a job as the merge reads them. The outputs and the block mode are the
/// front end's, which hands the merge their texts and the geometry.
struct PartitionSet {
  std::array<PartitionSlot, kRowCount> slots{};
  /// Rows of page data: pages whose data is all 0xFF get their ECC too, instead of
  /// staying erased.
  bool programErasedPages = false;

  /// The slot of row 1..16.
  PartitionSlot& Slot(int row) { return slots.at(static_cast<std::size_t>(row - 1)); }
  const PartitionSlot& Slot(int row) const { return slots.at(static_cast<std::size_t>(row - 1)); }
};

/// One 16-byte record of the partition table file.
struct PartitionEntry {
  static constexpr std::size_t kSize = 16;
  std::uint32_t startBlock = 0;
  std::uint32_t endBlock = 0;
  std::uint32_t imageBlocks = 0;
  std::uint32_t reserved = 0xFFFFFFFF;

  void EncodeTo(std::span<std::uint8_t, kSize> out) const;
  static PartitionEntry Decode(std::span<const std::uint8_t, kSize> in);
  friend bool operator==(const PartitionEntry&, const PartitionEntry&) = default;
};

using TableArea = std::array<std::uint8_t, kTableSize>;
static_assert(kTableSize / PartitionEntry::kSize >= kRowCount, "every row must fit the table area");

/// An image's length in whole blocks, a partial last block counting as one. Lengths
/// beyond what 32 bits hold are reported as the largest value.
std::uint32_t ImageBlocksFor(std::uint64_t fileSize, std::uint32_t blockSize);
/// The same length without the 32-bit limit.
std::uint64_t BlocksFor(std::uint64_t fileSize, std::uint32_t blockSize);

/// How many rows the leading run of ticked rows holds: rows 1, 2, 3 and on, up to and
/// not including the first unticked row; asks about none after it. The merge refreshes
/// these rows, the map draws them as the merge would, and a .part file saves them.
int LeadingRunRows(const std::function<bool(int row)>& isTicked);

/// A range's spare blocks: those its image does not fill, which skip-bad-block
/// programming may use for a taken row. Never fewer than none: an image longer than
/// its range (or of unset length) leaves it no spare blocks.
std::uint64_t SpareBlocks(std::uint64_t rangeBlocks, std::uint64_t imageBlocks);

/// A partition's blocks as the table's records hold them: `first` to `last`, both
/// included, and the image blocks written into the good ones among them. Every range
/// of the program is one of these; the half-open spans of the maps are counted from
/// them.
struct BlockRange {
  std::uint32_t first = 0;
  std::uint32_t last = 0;
  std::uint32_t imageBlocks = 0;

  /// first..last; 0 when the last block lies below the first.
  [[nodiscard]] std::uint64_t Blocks() const { return last < first ? 0 : std::uint64_t{last} - first + 1; }
  /// Blocks of the range the image leaves free (0 when it does not fit at all).
  [[nodiscard]] std::uint64_t SpareBlocks() const { return folvane::SpareBlocks(Blocks(), imageBlocks); }
  friend bool operator==(const BlockRange&, const BlockRange&) = default;
};

/// A taken row: its number and range.
struct TakenRange {
  int row = 0;
  BlockRange range;
};

/// The blocks two ranges both hold, first to last; nothing when they hold none.
std::optional<std::pair<std::uint32_t, std::uint32_t>> SharedBlocks(const BlockRange& a, const BlockRange& b);

/// A row's range as its slot holds it.
BlockRange RangeOf(const PartitionSlot& slot);
/// The blocks of a row's range, start and end included; 0 when either is unset or the
/// end lies below the start.
std::uint64_t RangeBlocks(const PartitionSlot& slot);

/// Why a checked row was left out (or that it was not).
enum class SlotRule {
  Accepted,
  BlockUnset,            ///< start or end block never set
  EndBeforeStart,        ///< end block below start block
  ImageTooLong,          ///< the image needs more blocks than the range holds
  NotAfterRowAbove,      ///< start block not above the end block of the row directly above
  OverlapsEarlierImage,  ///< start block inside an earlier accepted partition's image
};

/// The name of a rule in the documents ("endBeforeStart").
const char* RuleName(SlotRule rule);

/// The acceptance rule for checked row 1..16, on the slots alone.
SlotRule CheckSlotRule(const PartitionSet& set, int row);
/// The part of the acceptance rule a range keeps on its own, whatever the rows around
/// it: both blocks set, the end not below the start, the image fitting the range.
SlotRule RangeRule(const BlockRange& range);
/// True if checked row 1..16 passes the acceptance rule on the slots alone.
bool CheckSlot(const PartitionSet& set, int row);

/// A checked row that the table left out, with the numbers that decided it.
struct RowRejection {
  int row = 0;
  SlotRule rule = SlotRule::Accepted;
  std::uint32_t startBlock = 0;
  std::uint32_t endBlock = 0;
  std::uint32_t imageBlocks = 0;
  std::uint32_t aboveEndBlock = 0;     ///< end block of the row directly above
  std::uint64_t firstFreeBlock = 0;    ///< first block after the earlier accepted images
  int occupyingRow = 0;                ///< the accepted row whose image reaches that far

  /// One line for people: which row broke which rule, with its numbers.
  [[nodiscard]] std::string Describe() const;
};

struct PartitionTable {
  TableArea area{};
  std::array<bool, kRowCount> accepted{};
  std::vector<RowRejection> rejections;
};

/// Builds the table area: examines every checked row in order, reporting each
/// rejected one through `onReject` at the moment it is examined. Besides the slot
/// rule, a row is refused when its start block lies inside the image of an earlier
/// accepted row, measured as the image file is now (its stored length where it
/// cannot be opened), so that no partition is ever copied over another.
///
/// `imageBytes`, when given, measures an accepted row's image for that test (nothing
/// where it cannot be opened); otherwise the image is opened and measured here.
PartitionTable BuildPartitionTable(const PartitionSet& set, std::uint32_t blockSize,
                                   const std::function<bool(int row)>& isChecked,
                                   const std::function<void(const RowRejection&)>& onReject = {},
                                   const std::function<std::optional<std::uint64_t>(int row)>& imageBytes = {});

/// Two accepted rows whose block ranges share blocks. The acceptance rule compares a
/// row's start only with the end of the row directly above, so a row below one that
/// was left out can be taken with a range reaching into an earlier record's; a
/// programmer that takes the records for disjoint ranges then misreads the table.
struct RangeOverlap {
  int row = 0;       ///< the earlier row
  int laterRow = 0;  ///< the later row
  std::uint32_t firstBlock = 0;  ///< the first block both ranges hold
  std::uint32_t lastBlock = 0;   ///< the last block both ranges hold

  /// One line for people: "rows 1 and 3 both hold block 0x7".
  [[nodiscard]] std::string Describe() const;
};

/// Every pair of accepted rows (`accepted[row - 1]`) whose ranges share blocks, the
/// earlier row first, in row order.
std::vector<RangeOverlap> OverlappingRanges(const PartitionSet& set, const std::array<bool, kRowCount>& accepted);

/// Writes the 512-byte area in one write to a file just created or emptied.
Status WritePartitionTable(File& file, const TableArea& area);

/// The records of a table area up to the first all-0xFF one.
std::vector<PartitionEntry> DecodePartitionTable(std::span<const std::uint8_t, kTableSize> area);

}  // namespace folvane
