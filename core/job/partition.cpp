#include "job/partition.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "job/bytes.hpp"
#include "job/stored_text.hpp"

namespace folvane {

void PartitionEntry::EncodeTo(std::span<std::uint8_t, kSize> out) const {
  put_u32le(out, 0, startBlock);
  put_u32le(out, 4, endBlock);
  put_u32le(out, 8, imageBlocks);
  put_u32le(out, 12, reserved);
}

PartitionEntry PartitionEntry::Decode(std::span<const std::uint8_t, kSize> in) {
  return PartitionEntry{get_u32le(in, 0), get_u32le(in, 4), get_u32le(in, 8), get_u32le(in, 12)};
}

std::uint64_t BlocksFor(std::uint64_t fileSize, std::uint32_t blockSize) {
  return fileSize / blockSize + (fileSize % blockSize != 0 ? 1 : 0);
}

std::uint32_t ImageBlocksFor(std::uint64_t fileSize, std::uint32_t blockSize) {
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(BlocksFor(fileSize, blockSize), 0xFFFFFFFFu));
}

bool PathTooLongToStore(std::string_view path) { return StoredTextLength(path) > kMaxPathBytes; }

int LeadingRunRows(const std::function<bool(int row)>& isTicked) {
  int rows = 0;
  while (rows < kRowCount && isTicked(rows + 1)) ++rows;
  return rows;
}

BlockRange RangeOf(const PartitionSlot& slot) { return BlockRange{slot.startBlock, slot.endBlock, slot.imageBlocks}; }

std::uint64_t RangeBlocks(const PartitionSlot& slot) {
  if (slot.startBlock == kUnset || slot.endBlock == kUnset) return 0;
  return RangeOf(slot).Blocks();
}

std::optional<std::pair<std::uint32_t, std::uint32_t>> SharedBlocks(const BlockRange& a, const BlockRange& b) {
  const std::uint32_t first = std::max(a.first, b.first);
  const std::uint32_t last = std::min(a.last, b.last);
  if (first > last || a.Blocks() == 0 || b.Blocks() == 0) return std::nullopt;
  return std::pair{first, last};
}

std::uint64_t SpareBlocks(std::uint64_t rangeBlocks, std::uint64_t imageBlocks) {
  return imageBlocks < rangeBlocks ? rangeBlocks - imageBlocks : 0;
}

SlotRule CheckSlotRule(const PartitionSet& set, int row) {
  if (const SlotRule own = RangeRule(RangeOf(set.Slot(row))); own != SlotRule::Accepted) return own;
  // The row directly above counts in any state: checked or not, accepted or not.
  if (row > 1 && set.Slot(row).startBlock <= set.Slot(row - 1).endBlock) return SlotRule::NotAfterRowAbove;
  return SlotRule::Accepted;
}

SlotRule RangeRule(const BlockRange& range) {
  const std::uint32_t s = range.first;
  const std::uint32_t e = range.last;
  // An unset block would place the partition terabytes into the flash.
  if (s == kUnset || e == kUnset) return SlotRule::BlockUnset;
  if (e < s) return SlotRule::EndBeforeStart;
  // Unsigned on purpose: e = 0xFFFFFFFF with s = 0 wraps to 0 and refuses any image.
  if (static_cast<std::uint32_t>(e - s + 1u) < range.imageBlocks) return SlotRule::ImageTooLong;
  return SlotRule::Accepted;
}

bool CheckSlot(const PartitionSet& set, int row) { return CheckSlotRule(set, row) == SlotRule::Accepted; }

const char* RuleName(SlotRule rule) {
  switch (rule) {
    case SlotRule::Accepted: return "accepted";
    case SlotRule::BlockUnset: return "blockUnset";
    case SlotRule::EndBeforeStart: return "endBeforeStart";
    case SlotRule::ImageTooLong: return "imageTooLong";
    case SlotRule::NotAfterRowAbove: return "notAfterRowAbove";
    case SlotRule::OverlapsEarlierImage: return "overlapsEarlierImage";
  }
  return "accepted";
}

std::string RowRejection::Describe() const {
  switch (rule) {
    case SlotRule::Accepted: break;
    case SlotRule::BlockUnset: return fmt::format("row {}: its start block or end block was never set", row);
    case SlotRule::EndBeforeStart:
      return fmt::format("row {}: end block 0x{:X} lies before start block 0x{:X}", row, endBlock, startBlock);
    case SlotRule::ImageTooLong:
      return fmt::format("row {}: the image needs 0x{:X} blocks but blocks 0x{:X} to 0x{:X} hold only 0x{:X}", row,
                         imageBlocks, startBlock, endBlock, static_cast<std::uint32_t>(endBlock - startBlock + 1u));
    case SlotRule::NotAfterRowAbove:
      return fmt::format("row {}: start block 0x{:X} is not after end block 0x{:X} of row {}", row, startBlock,
                         aboveEndBlock, row - 1);
    case SlotRule::OverlapsEarlierImage:
      return fmt::format("row {}: start block 0x{:X} lies inside the image of row {}, which reaches up to block 0x{:X}",
                         row, startBlock, occupyingRow, firstFreeBlock - 1);
  }
  return fmt::format("row {}: accepted", row);
}

PartitionTable BuildPartitionTable(const PartitionSet& set, std::uint32_t blockSize,
                                   const std::function<bool(int row)>& isChecked,
                                   const std::function<void(const RowRejection&)>& onReject,
                                   const std::function<std::optional<std::uint64_t>(int row)>& imageBytes) {
  PartitionTable table;
  table.area.fill(0xFF);
  std::size_t next = 0;
  std::uint64_t firstFree = 0;
  int occupyingRow = 0;
  for (int row = 1; row <= kRowCount; ++row) {
    if (!isChecked(row)) continue;
    const PartitionSlot& slot = set.Slot(row);
    SlotRule rule = CheckSlotRule(set, row);
    if (rule == SlotRule::Accepted && slot.startBlock < firstFree) rule = SlotRule::OverlapsEarlierImage;
    if (rule != SlotRule::Accepted) {
      RowRejection r{row, rule, slot.startBlock, slot.endBlock, slot.imageBlocks,
                     row > 1 ? set.Slot(row - 1).endBlock : 0, firstFree, occupyingRow};
      table.rejections.push_back(r);
      if (onReject) onReject(r);
      continue;
    }
    const PartitionEntry entry{slot.startBlock, slot.endBlock, slot.imageBlocks};
    entry.EncodeTo(std::span<std::uint8_t, PartitionEntry::kSize>(table.area.data() + next, PartitionEntry::kSize));
    next += PartitionEntry::kSize;
    table.accepted[static_cast<std::size_t>(row - 1)] = true;
    // The image's length as the copy will find it: measured from the file where it can
    // be opened, otherwise the length stored in the slot.
    std::optional<std::uint64_t> bytes;
    if (imageBytes) {
      bytes = imageBytes(row);
    } else if (const auto measured = MeasureFile(slot.imagePath)) {
      bytes = *measured;
    }
    const std::uint64_t end =
        std::uint64_t{slot.startBlock} + (bytes ? BlocksFor(*bytes, blockSize) : slot.imageBlocks);
    if (end > firstFree) {
      firstFree = end;
      occupyingRow = row;
    }
  }
  return table;
}

std::string RangeOverlap::Describe() const {
  if (firstBlock == lastBlock) return fmt::format("rows {} and {} both hold block 0x{:X}", row, laterRow, firstBlock);
  return fmt::format("rows {} and {} both hold blocks 0x{:X} to 0x{:X}", row, laterRow, firstBlock, lastBlock);
}

std::vector<RangeOverlap> OverlappingRanges(const PartitionSet& set, const std::array<bool, kRowCount>& accepted) {
  std::vector<RangeOverlap> overlaps;
  for (int later = 2; later <= kRowCount; ++later) {
    if (!accepted[static_cast<std::size_t>(later - 1)]) continue;
    for (int row = 1; row < later; ++row) {
      if (!accepted[static_cast<std::size_t>(row - 1)]) continue;
      if (const auto shared = SharedBlocks(RangeOf(set.Slot(row)), RangeOf(set.Slot(later)))) {
        overlaps.push_back({row, later, shared->first, shared->second});
      }
    }
  }
  return overlaps;
}

Status WritePartitionTable(File& file, const TableArea& area) { return file.Write(area); }

std::vector<PartitionEntry> DecodePartitionTable(std::span<const std::uint8_t, kTableSize> area) {
  std::vector<PartitionEntry> entries;
  for (std::size_t at = 0; at + PartitionEntry::kSize <= area.size(); at += PartitionEntry::kSize) {
    const auto record = area.subspan(at).first<PartitionEntry::kSize>();
    if (std::all_of(record.begin(), record.end(), [](std::uint8_t b) { return b == 0xFF; })) break;
    entries.push_back(PartitionEntry::Decode(record));
  }
  return entries;
}

}  // namespace folvane
