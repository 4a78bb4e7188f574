#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

#include "job/partition.hpp"
#include "test_support.hpp"

namespace folvane {
namespace {

using testing::Bytes;

PartitionSet SetWith(std::initializer_list<std::tuple<int, std::uint32_t, std::uint32_t, std::uint32_t>> rows) {
  PartitionSet set;
  for (auto [row, s, e, n] : rows) {
    set.Slot(row).startBlock = s;
    set.Slot(row).endBlock = e;
    set.Slot(row).imageBlocks = n;
  }
  return set;
}

TEST(ImageBlocksFor, RoundsUpToWholeBlocks) {
  struct Case {
    std::uint64_t size;
    std::uint32_t block;
    std::uint32_t blocks;
  } cases[] = {
      {1, 0x21000, 1},          {135168, 0x21000, 1},          {135169, 0x21000, 2},
      {270336, 0x21000, 2},     {std::uint64_t{1} << 32, 0x2100, 508401},  // a 4 GiB image
      {std::uint64_t{1} << 60, 0x2100, 0xFFFFFFFF},                      // beyond 32 bits: saturates
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    EXPECT_EQ(ImageBlocksFor(c.size, c.block), c.blocks);
  }
}

TEST(CheckSlot, AcceptanceRuleAtItsBoundaries) {
  struct Case {
    const char* name;
    PartitionSet set;
    int row;
    SlotRule rule;
  } cases[] = {
      {"image fills its range", SetWith({{1, 0x10, 0x2F, 0x20}}), 1, SlotRule::Accepted},
      {"one block more than the range", SetWith({{1, 0x10, 0x2F, 0x21}}), 1, SlotRule::ImageTooLong},
      {"single block range", SetWith({{1, 5, 5, 1}}), 1, SlotRule::Accepted},
      {"end before start", SetWith({{1, 6, 5, 0}}), 1, SlotRule::EndBeforeStart},
      {"start on the end of the row above", SetWith({{1, 0, 0x10, 1}, {2, 0x10, 0x20, 1}}), 2,
       SlotRule::NotAfterRowAbove},
      {"start one after the row above", SetWith({{1, 0, 0x10, 1}, {2, 0x11, 0x20, 1}}), 2, SlotRule::Accepted},
      {"row above never set", SetWith({{2, 0x11, 0x20, 1}}), 2, SlotRule::NotAfterRowAbove},
      {"row above set but not checked", SetWith({{1, 0, 0x10, 1}, {2, 0x11, 0x20, 1}}), 2, SlotRule::Accepted},
      {"image length never measured", SetWith({{1, 0, 0x10000, kUnset}}), 1, SlotRule::ImageTooLong},
      {"start never set", SetWith({{1, kUnset, 0x10, 1}}), 1, SlotRule::BlockUnset},
      {"end never set, the wrapping range", SetWith({{1, 0, kUnset, 0}}), 1, SlotRule::BlockUnset},
      {"row 16 against row 15", SetWith({{15, 1, 9, 1}, {16, 9, 20, 1}}), 16, SlotRule::NotAfterRowAbove},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CheckSlotRule(c.set, c.row), c.rule);
    EXPECT_EQ(CheckSlot(c.set, c.row), c.rule == SlotRule::Accepted);
  }
}

TEST(PartitionTable, RecordBytesAreLittleEndianWithReservedWord) {
  PartitionSet set = SetWith({{1, 0x10, 0x2F, 5}});
  const auto table = BuildPartitionTable(set, 0x21000, [](int row) { return row == 1; });
  const Bytes expected_head = {0x10, 0, 0, 0, 0x2F, 0, 0, 0, 5, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(Bytes(table.area.begin(), table.area.begin() + 16), expected_head);
  EXPECT_EQ(Bytes(table.area.begin() + 16, table.area.end()), Bytes(512 - 16, 0xFF));
}

TEST(PartitionTable, RecordsArePackedWithoutHolesAndRejectionsReportedInOrder) {
  // Row 2 unchecked, row 4 rejected (starts on row 3's end), row 5 rejected (never set).
  PartitionSet set = SetWith({{1, 0, 3, 1}, {2, 4, 5, 1}, {3, 6, 9, 2}, {4, 9, 12, 1}, {5, kUnset, kUnset, kUnset}});
  std::vector<int> reported;
  const auto table = BuildPartitionTable(
      set, 0x2100, [](int row) { return row != 2 && row <= 5; },
      [&](const RowRejection& r) { reported.push_back(r.row); });
  EXPECT_EQ(reported, (std::vector<int>{4, 5}));
  ASSERT_EQ(table.rejections.size(), 2u);
  EXPECT_EQ(table.rejections[0].rule, SlotRule::NotAfterRowAbove);
  EXPECT_EQ(table.rejections[0].Describe(), "row 4: start block 0x9 is not after end block 0x9 of row 3");
  EXPECT_EQ(table.rejections[1].rule, SlotRule::BlockUnset);
  const auto entries = DecodePartitionTable(table.area);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0], (PartitionEntry{0, 3, 1}));
  EXPECT_EQ(entries[1], (PartitionEntry{6, 9, 2}));
  EXPECT_TRUE(table.accepted[0]);
  EXPECT_FALSE(table.accepted[1]);
  EXPECT_TRUE(table.accepted[2]);
  EXPECT_EQ(Bytes(table.area.begin() + 32, table.area.end()), Bytes(512 - 32, 0xFF));
}

TEST(PartitionTable, NoCheckedRowGivesAllFF) {
  const auto table = BuildPartitionTable(PartitionSet{}, 0x21000, [](int) { return false; });
  EXPECT_EQ(Bytes(table.area.begin(), table.area.end()), Bytes(512, 0xFF));
  EXPECT_TRUE(table.rejections.empty());
}

TEST(PartitionTable, AllSixteenRowsFitAndBytesAfter256StayFF) {
  PartitionSet set;
  for (int row = 1; row <= kRowCount; ++row) {
    set.Slot(row) = PartitionSlot{"", std::uint32_t(row * 10), std::uint32_t(row * 10 + 9), 1, {}, {}, {}};
  }
  const auto table = BuildPartitionTable(set, 0x2100, [](int) { return true; });
  EXPECT_EQ(DecodePartitionTable(table.area).size(), 16u);
  EXPECT_EQ(Bytes(table.area.begin() + 256, table.area.end()), Bytes(256, 0xFF));
}

TEST(PartitionTable, StartInsideAnEarlierImageIsRefused) {
  // Row 1 holds blocks 0..4 (its image as it is now); row 2 is unchecked with a
  // low end block, so the rule on the row above alone would let row 3 start at 2.
  testing::TempDir dir;
  const std::uint32_t bs = 0x2100;
  testing::WriteFile(dir / "one.bin", testing::Pattern(5 * bs, 1));
  PartitionSet set = SetWith({{1, 0, 0x10, 5}, {2, 0, 1, 1}, {3, 2, 0x20, 1}, {4, 0x21, 0x30, 1}});
  set.Slot(1).imagePath = dir / "one.bin";
  auto checked = [](int row) { return row == 1 || row == 3 || row == 4; };
  auto table = BuildPartitionTable(set, bs, checked);
  ASSERT_EQ(table.rejections.size(), 1u);
  EXPECT_EQ(table.rejections[0].row, 3);
  EXPECT_EQ(table.rejections[0].rule, SlotRule::OverlapsEarlierImage);
  EXPECT_EQ(table.rejections[0].firstFreeBlock, 5u);
  EXPECT_TRUE(table.accepted[3]);

  // From block 5 on the same row fits.
  set.Slot(3).startBlock = 5;
  table = BuildPartitionTable(set, bs, checked);
  EXPECT_TRUE(table.rejections.empty());

  // The file is measured as it is now, not as the slot remembers it.
  testing::WriteFile(dir / "one.bin", testing::Pattern(6 * bs, 1));
  table = BuildPartitionTable(set, bs, checked);
  ASSERT_EQ(table.rejections.size(), 1u);
  EXPECT_EQ(table.rejections[0].row, 3);

  // An image that cannot be opened counts with its stored length.
  set.Slot(1).imagePath = dir / "missing.bin";
  table = BuildPartitionTable(set, bs, checked);
  EXPECT_TRUE(table.rejections.empty());
}

TEST(PartitionTable, TakenRowsWhoseRangesShareBlocksAreFound) {
  // Row 2 left out (unchecked, or refused with an end block below its start) lets
  // row 3 start at row 1's last block: the window takes both.
  struct Case {
    const char* name;
    PartitionSet set;
    std::vector<int> checked;
    std::vector<std::array<std::uint32_t, 4>> overlaps;  // row, later row, first, last
  } cases[] = {
      {"rows 1 and 3 share block 7", SetWith({{1, 0, 7, 1}, {2, 0, 5, 1}, {3, 7, 9, 1}}), {1, 3}, {{1, 3, 7, 7}}},
      {"a refused row between", SetWith({{1, 0, 7, 1}, {2, 5, 3, 1}, {3, 7, 9, 1}}), {1, 2, 3}, {{1, 3, 7, 7}}},
      {"several blocks, several rows", SetWith({{1, 0, 9, 1}, {2, 0, 1, 1}, {3, 4, 20, 1}, {4, 21, 30, 1}}),
       {1, 3, 4}, {{1, 3, 4, 9}}},
      {"a range inside another", SetWith({{1, 0, 0x100, 1}, {2, 0, 1, 1}, {3, 0x10, 0x20, 1}}), {1, 3},
       {{1, 3, 0x10, 0x20}}},
      {"ranges that only touch do not share", SetWith({{1, 0, 7, 1}, {2, 0, 5, 1}, {3, 8, 9, 1}}), {1, 3}, {}},
      {"a row left out shares nothing", SetWith({{1, 0, 7, 1}, {2, 3, 9, 1}}), {1, 2}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto checked = [&](int row) { return std::find(c.checked.begin(), c.checked.end(), row) != c.checked.end(); };
    const auto table = BuildPartitionTable(c.set, 0x2100, checked, {}, [](int) { return std::uint64_t{1}; });
    std::vector<std::array<std::uint32_t, 4>> found;
    for (const RangeOverlap& o : OverlappingRanges(c.set, table.accepted)) {
      found.push_back({std::uint32_t(o.row), std::uint32_t(o.laterRow), o.firstBlock, o.lastBlock});
    }
    EXPECT_EQ(found, c.overlaps);
  }
  EXPECT_EQ((RangeOverlap{1, 3, 7, 7}.Describe()), "rows 1 and 3 both hold block 0x7");
  EXPECT_EQ((RangeOverlap{1, 3, 4, 9}.Describe()), "rows 1 and 3 both hold blocks 0x4 to 0x9");
}

}  // namespace
}  // namespace folvane
