#include "layout/flash_layout.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

#include "job/block_text.hpp"
#include "job/stored_text.hpp"
#include "merge/merge.hpp"
#include "merge/plan.hpp"

namespace folvane {

namespace {

LayoutSegment Segment(SegmentKind kind, int row, std::uint64_t first, std::uint64_t count, std::uint32_t blockSize) {
  return LayoutSegment{kind, row, first, count, first * blockSize, count * blockSize};
}

// The leading run of ticked rows as the merge refreshes it before building the table:
// each row's path from its field and its length from the image as it is now. The
// first row whose image cannot be opened or is empty ends the merge there.
void RefreshLeadingRun(PartitionSet& set, const FlashGeometry& geometry, const std::function<bool(int)>& isChecked,
                       const LayoutOptions& options, std::array<std::string, kRowCount>& stops,
                       std::array<std::optional<std::optional<std::uint64_t>>, kRowCount>& measured) {
  const int run = LeadingRunRows(isChecked);
  for (int row = 1; row <= run; ++row) {
    const std::size_t index = static_cast<std::size_t>(row - 1);
    PartitionSlot& slot = set.Slot(row);
    slot.imagePath = options.pathText(row);
    std::optional<std::uint64_t> bytes;
    if (options.imageBytes) {
      bytes = options.imageBytes(row);
    } else if (!PathTooLongToStore(slot.imagePath)) {
      if (const auto size = MeasureFile(slot.imagePath)) bytes = *size;
    }
    measured[index] = bytes;
    if (!bytes || *bytes == 0) {
      stops[index] = bytes ? text::RowEmpty(row) : text::RowOpenFail(row);
      return;
    }
    slot.imageBlocks = ImageBlocksFor(*bytes, ImageBlockBytes(slot, geometry));
  }
}

// The blocks from a taken row's start that its image covers on the chip: up to its
// last placed block, bad blocks between included; the whole range when it runs out.
std::uint64_t ImageSpan(const LayoutRow& r) {
  if (!r.placement) return std::min<std::uint64_t>(r.imageBlocks, r.rangeBlocks);
  if (r.placement->Overflows()) return r.rangeBlocks;
  if (r.placement->runs.empty()) return 0;
  const PlacementRun& last = r.placement->runs.back();
  return std::uint64_t{last.physicalBlock} + last.count - r.startBlock;
}

}  // namespace

const char* SegmentKindName(SegmentKind kind) {
  switch (kind) {
    case SegmentKind::Fill: return "fill";
    case SegmentKind::Image: return "image";
    case SegmentKind::Spare: return "spare";
    case SegmentKind::LeftOut: return "left out";
  }
  return "";
}

std::string DescribeSegment(const FlashLayout& layout, const LayoutSegment& s) {
  if (s.kind == SegmentKind::Fill) return "0xFF fill: blocks " + Hex(s.firstBlock) + " to " + Hex(s.EndBlock() - 1);
  const LayoutRow* r = layout.Row(s.row);
  if (!r) return {};
  std::string t = "Row " + std::to_string(r->row) + (r->name.empty() ? std::string() : " (" + r->name + ")") + ": " +
                  r->imagePath + "\nRange " + Hex(r->startBlock) + " to " +
                  Hex(r->endBlock) + " (" + Hex(r->rangeBlocks) + " blocks)\nImage blocks: " +
                  (r->imageBlocks == kUnset ? std::string("unset") : Hex(r->imageBlocks));
  if (r->imageBytes) t += " (" + std::to_string(*r->imageBytes) + " bytes)";
  if (!r->ecc.empty()) t += "\nPage data, each page laid out with ECC " + r->ecc;
  if (r->accepted) t += "\nSpare blocks: " + Hex(r->spareBlocks);
  if (const auto& p = r->placement) {
    t += "\nBad blocks in the range: " + std::to_string(p->badBlocks) + " (" + std::to_string(r->skippedBlocks) +
         " under the image)";
    t += p->Overflows() ? "\nRuns out of good blocks, " + std::to_string(p->MissingBlocks()) + " fewer than the image needs"
                        : "\nGood blocks to spare: " + Hex(p->SpareGoodBlocks());
  }
  t += "\nByte offset: " + Hex(r->offset);
  if (!r->accepted) t += "\nLeft out: " + r->why;
  if (!r->stopsMerge.empty()) t += "\nThe merge would stop here: " + r->stopsMerge;
  return t;
}

const LayoutRow* FlashLayout::Row(int row) const {
  for (const LayoutRow& r : rows) {
    if (r.row == row) return &r;
  }
  return nullptr;
}

const LayoutSegment* FlashLayout::SegmentAt(std::uint64_t block) const {
  for (auto it = leftOut.rbegin(); it != leftOut.rend(); ++it) {
    if (block >= it->firstBlock && block < it->EndBlock()) return &*it;
  }
  const auto it = std::upper_bound(axis.begin(), axis.end(), block,
                                   [](std::uint64_t b, const LayoutSegment& s) { return b < s.firstBlock; });
  if (it == axis.begin()) return nullptr;
  const LayoutSegment& s = *std::prev(it);
  return block < s.EndBlock() ? &s : nullptr;
}

namespace {

// Each image measured at most once: the acceptance code and the rows share it.
using Measured = std::array<std::optional<std::optional<std::uint64_t>>, kRowCount>;

// The ticked rows as the merge's plan decides them, and the blocks the taken ones'
// ranges share.
void AddRows(FlashLayout& layout, const PartitionSet& set, const FlashGeometry& geometry,
             const std::function<bool(int row)>& isChecked, const std::array<std::string, kRowCount>& stops,
             const Measured& measured, const std::function<std::optional<std::uint64_t>(int row)>& bytesOf) {
  const MergePlan plan = PlanMerge(set, geometry, isChecked, bytesOf);
  for (const PlannedRow& p : plan.rows) {
    if (!p.ticked) continue;
    const std::size_t index = static_cast<std::size_t>(p.row - 1);
    const PartitionSlot& slot = set.Slot(p.row);
    LayoutRow r;
    r.row = p.row;
    r.accepted = p.taken;
    r.rule = p.rule;
    if (const RowRejection* rejection = plan.RejectionOf(p.row)) r.why = rejection->Describe();
    r.imagePath = slot.imagePath;
    r.name = slot.name;
    r.ecc = slot.ecc;
    r.startBlock = p.range.first;
    r.endBlock = p.range.last;
    r.imageBlocks = p.range.imageBlocks;
    r.stopsMerge = stops[index];
    r.rangeBlocks = p.rangeBlocks;
    r.spareBlocks = p.spareBlocks;
    r.offset = p.offset;
    r.imageBytes = p.imageBytes ? p.imageBytes : measured[index].value_or(std::nullopt);
    // The data image ends where the last taken row's image does, as the merge writes it.
    if (p.taken) layout.dataBlocks = p.range.first + (p.imageBytes ? p.dataBytes / geometry.blockSize : p.range.imageBlocks);
    layout.rows.push_back(std::move(r));
  }
  for (const RangeOverlap& o : plan.overlaps) {
    layout.overlaps.push_back(LayoutOverlap{o.row, o.laterRow, o.firstBlock, std::uint64_t{o.lastBlock} - o.firstBlock + 1});
  }
}

// With a chip's bad blocks, each taken row placed by the programmer's skip rule.
void PlaceOnChip(FlashLayout& layout, const BadBlockSet& bad) {
  layout.badBlocksKnown = true;
  for (LayoutRow& r : layout.rows) {
    if (!r.accepted || !r.RangeValid()) continue;
    const RangePlacement& p = r.placement.emplace(PlaceRange({r.startBlock, r.endBlock, r.imageBlocks}, bad));
    const std::uint64_t span = ImageSpan(r);
    r.skippedBlocks = span == 0 ? 0 : bad.CountIn(r.startBlock, static_cast<std::uint32_t>(r.startBlock + span - 1));
    r.margin = static_cast<std::int64_t>(p.goodBlocks) - static_cast<std::int64_t>(r.imageBlocks);
  }
}

// The taken rows along the axis; the acceptance code keeps their starts rising, but a
// row may start inside the spare blocks of one or more above it (the rows between them
// unticked): those ranges are cut where the later begins (the plan has the overlap), and
// what remains of each after the later range drawn on, the innermost first. `claims`
// holds the ranges still open at the cursor, outermost first. The axis's end.
std::uint64_t LayTakenRows(FlashLayout& layout) {
  struct Claim {
    int row;
    std::uint64_t end;
  };
  const std::uint32_t blockSize = layout.blockSize;
  std::vector<Claim> claims;
  std::uint64_t cursor = 0;
  for (const LayoutRow& r : layout.rows) {
    if (!r.accepted) continue;
    const std::uint64_t s = r.startBlock;
    const std::uint64_t end = s + r.rangeBlocks;
    std::erase_if(claims, [&](const Claim& c) { return c.end <= s; });
    if (s > cursor) {
      layout.axis.push_back(Segment(SegmentKind::Fill, 0, cursor, s - cursor, blockSize));
    } else if (s < cursor) {
      while (!layout.axis.empty() && layout.axis.back().firstBlock >= s) layout.axis.pop_back();
      if (!layout.axis.empty() && layout.axis.back().EndBlock() > s) {
        LayoutSegment& cut = layout.axis.back();
        cut = Segment(cut.kind, cut.row, cut.firstBlock, s - cut.firstBlock, blockSize);
      }
    }
    const std::uint64_t image = ImageSpan(r);
    if (image) layout.axis.push_back(Segment(SegmentKind::Image, r.row, s, image, blockSize));
    if (r.rangeBlocks > image) layout.axis.push_back(Segment(SegmentKind::Spare, r.row, s + image, r.rangeBlocks - image, blockSize));
    std::erase_if(claims, [&](const Claim& c) { return c.end <= end; });
    std::uint64_t drawn = end;
    for (auto c = claims.rbegin(); c != claims.rend(); ++c) {
      layout.axis.push_back(Segment(SegmentKind::Spare, c->row, drawn, c->end - drawn, blockSize));
      drawn = c->end;
    }
    claims.push_back({r.row, end});
    cursor = std::max(cursor, end);
  }
  return cursor;
}

// The left-out rows' valid ranges over the axis, with what they overlap; the axis is
// filled on to the end of the last of them.
void LayLeftOutRows(FlashLayout& layout, std::uint64_t cursor) {
  for (const LayoutRow& r : layout.rows) {
    if (r.accepted || !r.RangeValid()) continue;
    const std::uint64_t first = r.startBlock;
    const std::uint64_t end = first + r.rangeBlocks;
    layout.leftOut.push_back(Segment(SegmentKind::LeftOut, r.row, first, r.rangeBlocks, layout.blockSize));
    layout.endBlock = std::max(layout.endBlock, end);
    for (const LayoutRow& taken : layout.rows) {
      if (!taken.accepted) continue;
      const BlockRange left{r.startBlock, r.endBlock, 0};
      if (const auto shared = SharedBlocks(BlockRange{taken.startBlock, taken.endBlock, 0}, left)) {
        layout.overlaps.push_back(LayoutOverlap{taken.row, r.row, shared->first, std::uint64_t{shared->second} - shared->first + 1});
      }
    }
  }
  if (layout.endBlock > cursor) {
    layout.axis.push_back(Segment(SegmentKind::Fill, 0, cursor, layout.endBlock - cursor, layout.blockSize));
  }
}

}  // namespace

FlashLayout BuildFlashLayout(const PartitionSet& original, const FlashGeometry& geometry,
                             const std::function<bool(int row)>& isChecked, const LayoutOptions& options) {
  FlashLayout layout;
  layout.blockSize = geometry.blockSize;
  PartitionSet set = original;
  std::array<std::string, kRowCount> stops{};
  Measured measured{};
  if (options.pathText) RefreshLeadingRun(set, geometry, isChecked, options, stops, measured);
  auto bytesOf = [&](int row) -> std::optional<std::uint64_t> {
    auto& m = measured[static_cast<std::size_t>(row - 1)];
    if (!m) {
      if (options.imageBytes) {
        m = options.imageBytes(row);
      } else if (const auto size = MeasureFile(set.Slot(row).imagePath)) {
        m = std::optional<std::uint64_t>(*size);
      } else {
        m = std::optional<std::uint64_t>();
      }
    }
    return *m;
  };
  AddRows(layout, set, geometry, isChecked, stops, measured, bytesOf);
  if (options.badBlocks) PlaceOnChip(layout, *options.badBlocks);
  const std::uint64_t cursor = LayTakenRows(layout);
  layout.endBlock = cursor;
  LayLeftOutRows(layout, cursor);
  if (options.badBlocks) {
    for (const std::uint32_t b : options.badBlocks->Blocks()) {
      if (b >= layout.endBlock) break;
      layout.badBlocks.push_back(b);
    }
  }
  return layout;
}

}  // namespace folvane
