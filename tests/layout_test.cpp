#include <gtest/gtest.h>

#include <cstdio>
#include <tuple>

#include "layout/flash_layout.hpp"
#include "test_support.hpp"

namespace folvane {
namespace {

constexpr std::uint32_t kBlock = 0x21000;

struct Row {
  int row;
  bool checked;
  std::uint32_t s, e, n;
};

PartitionSet SetOf(std::initializer_list<Row> rows) {
  PartitionSet set;
  for (const Row& r : rows) {
    set.Slot(r.row).startBlock = r.s;
    set.Slot(r.row).endBlock = r.e;
    set.Slot(r.row).imageBlocks = r.n;
  }
  return set;
}

// "fill 0-1F | image1 20-21 | spare1 22-2F": the axis in one comparable line, then the
// left-out ranges and the overlaps.
std::string Axis(const FlashLayout& l) {
  std::string out;
  char part[80];
  for (const LayoutSegment& s : l.axis) {
    std::snprintf(part, sizeof part, "%s%s%.0d %llX-%llX", out.empty() ? "" : " | ", SegmentKindName(s.kind), s.row,
                  static_cast<unsigned long long>(s.firstBlock), static_cast<unsigned long long>(s.EndBlock() - 1));
    out += part;
  }
  for (const LayoutSegment& s : l.leftOut) {
    std::snprintf(part, sizeof part, " ; out%d %llX-%llX", s.row, static_cast<unsigned long long>(s.firstBlock),
                  static_cast<unsigned long long>(s.EndBlock() - 1));
    out += part;
  }
  for (const LayoutOverlap& o : l.overlaps) {
    std::snprintf(part, sizeof part, " ; %d under %d %llX-%llX", o.row, o.otherRow,
                  static_cast<unsigned long long>(o.firstBlock),
                  static_cast<unsigned long long>(o.firstBlock + o.blockCount - 1));
    out += part;
  }
  return out;
}

FlashLayout LayoutOf(const std::vector<Row>& rows, std::optional<BadBlockSet> bad = std::nullopt) {
  PartitionSet set;
  std::array<bool, kRowCount> checked{};
  for (const Row& r : rows) {
    set.Slot(r.row).startBlock = r.s;
    set.Slot(r.row).endBlock = r.e;
    set.Slot(r.row).imageBlocks = r.n;
    checked[static_cast<std::size_t>(r.row - 1)] = r.checked;
  }
  LayoutOptions options;
  // Each image exactly as long as its slot says, so no file is needed.
  options.imageBytes = [&set](int row) -> std::optional<std::uint64_t> {
    return std::uint64_t{set.Slot(row).imageBlocks} * kBlock;
  };
  options.badBlocks = std::move(bad);
  return BuildFlashLayout(set, FlashGeometry{}, [&](int row) { return checked[static_cast<std::size_t>(row - 1)]; }, options);
}

TEST(FlashLayout, DrawsWhatTheAcceptanceRuleDecides) {
  std::vector<Row> sixteen;
  std::string sixteenAxis;
  for (std::uint32_t i = 0; i < 16; ++i) {
    sixteen.push_back({static_cast<int>(i + 1), true, i, i, 1});
    char part[32];
    std::snprintf(part, sizeof part, "%simage%u %X-%X", i ? " | " : "", i + 1, i, i);
    sixteenAxis += part;
  }
  struct Case {
    const char* name;
    std::vector<Row> rows;
    std::string axis;
    std::uint64_t endBlock;
    std::uint64_t dataBlocks;
  } cases[] = {
      {"nothing ticked", {{1, false, 0, 0x10, 1}}, "", 0, 0},
      {"fill before, between and spare after",
       {{1, true, 2, 0x10, 3}, {2, true, 0x20, 0x20, 1}},
       "fill 0-1 | image1 2-4 | spare1 5-10 | fill 11-1F | image2 20-20", 0x21, 0x21},
      {"rows out of order: the later row is left out and drawn over the fill",
       {{1, true, 0x20, 0x2F, 2}, {2, true, 0x10, 0x1F, 1}},
       "fill 0-1F | image1 20-21 | spare1 22-2F ; out2 10-1F", 0x30, 0x22},
      {"image larger than its range",
       {{1, true, 0, 3, 5}, {2, true, 4, 7, 4}},
       "fill 0-3 | image2 4-7 ; out1 0-3", 8, 8},
      {"a left-out row above still bounds the next start",
       {{1, true, 0, 0x30, 0x40}, {2, true, 0x11, 0x20, 1}},
       "fill 0-30 ; out1 0-30 ; out2 11-20", 0x31, 0},
      {"a row after a left-out row above it",
       {{1, true, 0, 0x10, 0x40}, {2, true, 0x11, 0x20, 1}},
       "fill 0-10 | image2 11-11 | spare2 12-20 ; out1 0-10", 0x21, 0x12},
      {"a later row inside an earlier row's spare blocks, the row between unticked",
       {{1, true, 0, 0x1F, 2}, {2, false, 0, 5, 1}, {3, true, 6, 0x10, 1}},
       "image1 0-1 | spare1 2-5 | image3 6-6 | spare3 7-10 | spare1 11-1F ; 1 under 3 6-10", 0x20, 7},
      {"a row inside the spare blocks of a row that is itself inside another's",
       {{1, true, 0, 0x3F, 2}, {2, false, 0, 5, 1}, {3, true, 0x10, 0x2F, 1}, {4, false, 0x11, 0x15, 1},
        {5, true, 0x20, 0x27, 1}},
       "image1 0-1 | spare1 2-F | image3 10-10 | spare3 11-1F | image5 20-20 | spare5 21-27 | spare3 28-2F | "
       "spare1 30-3F ; 1 under 3 10-2F ; 1 under 5 20-27 ; 3 under 5 20-27",
       0x40, 0x21},
      {"a row inside two ranges that end together: it lies under both",
       {{1, true, 0, 0x3F, 2}, {2, false, 0, 5, 1}, {3, true, 0x10, 0x3F, 1}, {4, false, 0x11, 0x15, 1},
        {5, true, 0x20, 0x27, 1}},
       "image1 0-1 | spare1 2-F | image3 10-10 | spare3 11-1F | image5 20-20 | spare5 21-27 | spare3 28-3F ; "
       "1 under 3 10-3F ; 1 under 5 20-27 ; 3 under 5 20-27",
       0x40, 0x21},
      {"a start inside an earlier image is left out and shown over it",
       {{1, true, 0, 0x1F, 8}, {2, false, 0, 3, 1}, {3, true, 4, 0x10, 1}},
       "image1 0-7 | spare1 8-1F ; out3 4-10 ; 1 under 3 4-10", 0x20, 8},
      {"unset blocks and unset length", {{1, true, kUnset, kUnset, 1}, {2, true, 0, 4, kUnset}}, "fill 0-4 ; out2 0-4", 5, 0},
      {"sixteen one-block rows", sixteen, sixteenAxis, 16, 16},
      {"a range reaching block 0xFFFF and one beyond",
       {{1, true, 0, 0xFFFF, 1}, {2, true, 0x10000, 0x10000, 1}},
       "image1 0-0 | spare1 1-FFFF | image2 10000-10000", 0x10001, 0x10001},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const FlashLayout l = LayoutOf(c.rows);
    EXPECT_EQ(Axis(l), c.axis);
    EXPECT_EQ(l.endBlock, c.endBlock);
    EXPECT_EQ(l.dataBlocks, c.dataBlocks);
    // The axis covers block 0 to its end without a gap, bytes agreeing with blocks.
    std::uint64_t next = 0;
    for (const LayoutSegment& s : l.axis) {
      EXPECT_EQ(s.firstBlock, next);
      EXPECT_EQ(s.firstByte, s.firstBlock * kBlock);
      EXPECT_EQ(s.byteCount, s.blockCount * kBlock);
      next = s.EndBlock();
    }
    EXPECT_EQ(next, l.endBlock);
  }
}

TEST(FlashLayout, RowsCarryTheRuleAndTheNumbers) {
  const FlashLayout l = LayoutOf({{1, true, 0x10, 0x2F, 5}, {2, true, 0x2F, 0x40, 1}, {3, true, 0x50, 0x40, 1},
                                  {4, false, 0x60, 0x70, 1}, {16, true, 0xFFFF, 0xFFFF, 1}});
  ASSERT_EQ(l.rows.size(), 4u);
  EXPECT_EQ(l.Row(4), nullptr);
  const LayoutRow& r1 = *l.Row(1);
  EXPECT_TRUE(r1.accepted);
  EXPECT_EQ(r1.spareBlocks, 0x20u - 5);
  EXPECT_EQ(r1.offset, 0x10u * kBlock);
  EXPECT_EQ(l.Row(2)->rule, SlotRule::NotAfterRowAbove);
  EXPECT_EQ(l.Row(2)->why, "row 2: start block 0x2F is not after end block 0x2F of row 1");
  EXPECT_EQ(l.Row(3)->rule, SlotRule::EndBeforeStart);
  EXPECT_FALSE(l.Row(3)->RangeValid());
  EXPECT_EQ(l.Row(16)->offset, std::uint64_t{0xFFFF} * kBlock);  // beyond 32 bits
  // Hovering finds the left-out range over the axis, and the axis elsewhere.
  EXPECT_EQ(l.SegmentAt(0x30)->kind, SegmentKind::LeftOut);
  EXPECT_EQ(l.SegmentAt(0x30)->row, 2);
  EXPECT_EQ(l.SegmentAt(0x14)->kind, SegmentKind::Image);
  EXPECT_EQ(l.SegmentAt(0x15)->kind, SegmentKind::Spare);
  EXPECT_EQ(l.SegmentAt(0x10000), nullptr);
}

TEST(FlashLayout, BadBlocksShiftTheImageAndEatTheMargin) {
  // Per row: skipped, margin, overflows; for rows 1 and 2 where there are two.
  struct Margin {
    std::uint64_t skipped;
    std::int64_t margin;
    bool overflows;
  };
  struct Case {
    const char* name;
    std::vector<Row> rows;
    std::optional<std::vector<std::uint32_t>> bad;
    std::string axis;
    std::vector<Margin> margins;
    std::vector<std::uint64_t> kept;
  };
  const std::vector<Row> one = {{1, true, 0, 0xF, 4}};
  const std::vector<Row> two = {{1, true, 0, 7, 4}, {2, true, 8, 0xF, 6}};
  const Case cases[] = {
      {"no chip given", one, std::nullopt, "image1 0-3 | spare1 4-F", {{0, 0, false}}, {}},
      {"a chip without bad blocks", one, std::vector<std::uint32_t>{}, "image1 0-3 | spare1 4-F", {{0, 12, false}}, {}},
      {"inside the image and in the spare blocks, one beyond the map", one, std::vector<std::uint32_t>{9, 1, 2, 0x40, 2},
       "image1 0-5 | spare1 6-F", {{2, 9, false}}, {1, 2, 9}},
      {"only in the spare blocks: the image stays", one, std::vector<std::uint32_t>{4, 0xF}, "image1 0-3 | spare1 4-F",
       {{0, 10, false}}, {4, 0xF}},
      {"right after the image: it steps over it", one, std::vector<std::uint32_t>{3}, "image1 0-4 | spare1 5-F",
       {{1, 11, false}}, {3}},
      {"so many the image no longer fits: it takes the whole range", one,
       std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}, "image1 0-F", {{14, -2, true}},
       {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}},
      {"exactly as many good blocks as image blocks", one, std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11},
       "image1 0-F", {{12, 0, false}}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
      {"one row fits, the next runs out", two, std::vector<std::uint32_t>{2, 9, 0xA, 0xB},
       "image1 0-4 | spare1 5-7 | image2 8-F", {{1, 3, false}, {3, -1, true}}, {2, 9, 0xA, 0xB}},
      {"a range after fill", {{1, true, 0x10, 0x1F, 4}}, std::vector<std::uint32_t>{0x3, 0x10},
       "fill 0-F | image1 10-14 | spare1 15-1F", {{1, 11, false}}, {0x3, 0x10}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const FlashLayout l = LayoutOf(c.rows, c.bad ? std::optional<BadBlockSet>(BadBlockSet(*c.bad)) : std::nullopt);
    EXPECT_EQ(Axis(l), c.axis);
    EXPECT_EQ(l.badBlocksKnown, c.bad.has_value());
    EXPECT_EQ(l.badBlocks, c.kept);
    for (std::size_t i = 0; i < c.margins.size(); ++i) {
      const LayoutRow& r = l.rows[i];
      EXPECT_EQ(r.placement.has_value(), c.bad.has_value());
      EXPECT_EQ(r.skippedBlocks, c.margins[i].skipped) << "row " << r.row;
      EXPECT_EQ(r.margin, c.margins[i].margin) << "row " << r.row;
      EXPECT_EQ(r.Overflows(), c.margins[i].overflows) << "row " << r.row;
      // Every image block the layout places lies inside the row's image segment.
      const LayoutSegment* image = l.SegmentAt(r.startBlock);
      ASSERT_NE(image, nullptr);
      if (r.placement && !r.placement->runs.empty()) {
        const PlacementRun& last = r.placement->runs.back();
        EXPECT_EQ(image->kind, SegmentKind::Image);
        EXPECT_LE(std::uint64_t{last.physicalBlock} + last.count, image->EndBlock());
      }
    }
  }
}

TEST(FlashLayout, LeadingRunTakesItsPathsFromTheFieldsAsTheMergeDoes) {
  testing::TempDir dir;
  testing::WriteFile(dir / "a.bin", testing::Pattern(3 * kBlock + 1, 1));
  PartitionSet set = SetOf({{1, true, 0, 0x10, kUnset}, {2, true, 0x11, 0x20, 1}, {3, true, 0x21, 0x30, 1}});
  set.Slot(2).imagePath = dir / "a.bin";  // the stored path; the field names another
  LayoutOptions options;
  options.pathText = [&](int row) { return row == 1 ? dir / "a.bin" : dir / "missing.bin"; };
  const FlashLayout l = BuildFlashLayout(set, FlashGeometry{}, [](int row) { return row <= 3; }, options);
  EXPECT_TRUE(l.Row(1)->accepted);
  EXPECT_EQ(l.Row(1)->imageBlocks, 4u);
  EXPECT_EQ(l.Row(1)->imageBytes, 3 * kBlock + 1);
  EXPECT_EQ(l.Row(1)->stopsMerge, "");
  EXPECT_EQ(l.Row(2)->stopsMerge, "FILE[2] open fail");
  EXPECT_EQ(l.Row(2)->imagePath, dir / "missing.bin");
  // The merge would stop at row 2, so row 3 keeps its stored slot.
  EXPECT_EQ(l.Row(3)->imagePath, "");
  EXPECT_EQ(l.dataBlocks, 0x22u);  // row 3's stored length, as no image can be measured
}

}  // namespace
}  // namespace folvane
