#pragma once
// What a merge of a job does, decided once from its rows and its images as measured:
// which ticked rows the table takes and the rule each other one breaks, every row's
// range, byte offset and spare blocks, where taken ranges overlap, and the table's
// bytes. The merge writes what the plan says; the check, the maps, the report, the
// manifests and the verifiers read the same plan instead of working it out again.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "job/block_mode.hpp"
#include "job/partition.hpp"

namespace folvane {

struct PlannedRow {
  int row = 0;
  bool ticked = false;
  bool taken = false;
  /// The rule a ticked row breaks; Accepted for a taken row (and an unticked one).
  SlotRule rule = SlotRule::Accepted;
  /// The image's size where it was measured (a row the merge stopped at, or one the
  /// table took, or a left-out row in the leading run).
  std::optional<std::uint64_t> imageBytes;
  /// The image bytes one of the row's blocks holds: a whole block, or for an image
  /// of page data only, the data bytes of the block's pages.
  std::uint32_t imageBlockBytes = 0;
  /// Start, end and image blocks as the slot holds them (and a taken row's record).
  BlockRange range;
  /// The range's blocks; 0 when a block is unset or the end lies below the start.
  std::uint64_t rangeBlocks = 0;
  std::uint64_t spareBlocks = 0;
  /// The start block's byte offset in the data image (0 for a range that is not one).
  std::uint64_t offset = 0;
  /// The bytes a taken row's image fills in the data image: whole blocks, as measured.
  std::uint64_t dataBytes = 0;
};

struct MergePlan {
  std::uint32_t blockSize = 0;
  std::array<PlannedRow, kRowCount> rows{};
  /// The ticked rows the table leaves out, in row order, with their numbers.
  std::vector<RowRejection> rejections;
  /// Taken rows whose ranges share blocks, the earlier row first.
  std::vector<RangeOverlap> overlaps;
  TableArea table{};

  /// Row 1..16.
  [[nodiscard]] const PlannedRow& Row(int row) const { return rows.at(static_cast<std::size_t>(row - 1)); }
  [[nodiscard]] PlannedRow& Row(int row) { return rows.at(static_cast<std::size_t>(row - 1)); }
  /// The taken rows' ranges in row order: the table's records.
  [[nodiscard]] std::vector<TakenRange> TakenRanges() const;
  /// The rejection of row 1..16, if the table left it out.
  [[nodiscard]] const RowRejection* RejectionOf(int row) const;
};

/// The image bytes one block of `slot`'s row holds in `geometry`: a whole block, or
/// for a row whose image is page data only (an ECC scheme to lay each page out with),
/// the data bytes of the block's pages.
std::uint32_t ImageBlockBytes(const PartitionSlot& slot, const FlashGeometry& geometry);

/// Plans the merge of the rows `isTicked` reports ticked, with their slots as they
/// stand (a merge refreshes the leading run before). `imageBytes` measures a row's
/// image (nothing where it cannot be opened; by default the file at its path) and is
/// asked once for each row the table takes; a
/// rejected row is reported through `onReject` at the moment it is examined.
MergePlan PlanMerge(const PartitionSet& set, const FlashGeometry& geometry, const std::function<bool(int row)>& isTicked,
                    const std::function<std::optional<std::uint64_t>(int row)>& imageBytes,
                    const std::function<void(const RowRejection&)>& onReject = {});

}  // namespace folvane
