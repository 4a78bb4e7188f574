#include "merge/plan.hpp"

namespace folvane {

std::vector<TakenRange> MergePlan::TakenRanges() const {
  std::vector<TakenRange> taken;
  for (const PlannedRow& r : rows) {
    if (r.taken) taken.push_back({r.row, r.range});
  }
  return taken;
}

const RowRejection* MergePlan::RejectionOf(int row) const {
  for (const RowRejection& r : rejections) {
    if (r.row == row) return &r;
  }
  return nullptr;
}

std::uint32_t ImageBlockBytes(const PartitionSlot& slot, const FlashGeometry& geometry) {
  return slot.ecc.empty() ? geometry.blockSize : geometry.BlockDataBytes();
}

MergePlan PlanMerge(const PartitionSet& set, const FlashGeometry& geometry, const std::function<bool(int row)>& isTicked,
                    const std::function<std::optional<std::uint64_t>(int row)>& imageBytes,
                    const std::function<void(const RowRejection&)>& onReject) {
  MergePlan plan;
  plan.blockSize = geometry.blockSize;
  for (int row = 1; row <= kRowCount; ++row) {
    PlannedRow& r = plan.Row(row);
    const PartitionSlot& slot = set.Slot(row);
    r.row = row;
    r.ticked = isTicked(row);
    r.imageBlockBytes = ImageBlockBytes(slot, geometry);
    r.range = RangeOf(slot);
    r.rangeBlocks = RangeBlocks(slot);
    r.spareBlocks = SpareBlocks(r.rangeBlocks, slot.imageBlocks);
    if (r.rangeBlocks != 0) r.offset = std::uint64_t{slot.startBlock} * geometry.blockSize;
  }
  const PartitionTable built = BuildPartitionTable(
      set, geometry.blockSize, [&](int row) { return plan.Row(row).ticked; }, onReject,
      [&](int row) -> std::optional<std::uint64_t> {
        // The table counts blocks on the chip: page data is measured in its own blocks.
        PlannedRow& r = plan.Row(row);
        if (imageBytes) {
          r.imageBytes = imageBytes(row);
        } else if (const auto measured = MeasureFile(set.Slot(row).imagePath)) {
          r.imageBytes = *measured;
        }
        if (!r.imageBytes) return std::nullopt;
        return BlocksFor(*r.imageBytes, r.imageBlockBytes) * geometry.blockSize;
      });
  plan.table = built.area;
  plan.rejections = built.rejections;
  for (const RowRejection& rejection : plan.rejections) plan.Row(rejection.row).rule = rejection.rule;
  for (PlannedRow& r : plan.rows) {
    r.taken = built.accepted[static_cast<std::size_t>(r.row - 1)];
    if (r.taken && r.imageBytes) r.dataBytes = BlocksFor(*r.imageBytes, r.imageBlockBytes) * geometry.blockSize;
  }
  plan.overlaps = OverlappingRanges(set, built.accepted);
  return plan;
}

}  // namespace folvane
