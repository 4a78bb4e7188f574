// The image lint: marks planted where chips put them, blocks of 0xFF, and the byte
// sums of a stream's stretches against sums taken byte by byte.
#include <gtest/gtest.h>

#include <numeric>
#include <random>

#include "ecc/page.hpp"
#include "ecc/scheme.hpp"
#include "flash/image_lint.hpp"
#include "merge/byte_sums.hpp"
#include "test_support.hpp"

namespace folvane {
namespace {

using testing::Bytes;

std::uint32_t Sum32(const std::uint8_t* p, std::size_t n) { return std::accumulate(p, p + n, std::uint32_t{0}); }

// Blocks of a pattern with every marker position of every page at 0xFF: a chip reads
// them as good.
Bytes CleanBlocks(const PageLayout& l, std::size_t blocks, std::uint8_t seed) {
  Bytes b = testing::Pattern(blocks * l.BlockBytes(), seed);
  for (std::size_t page = 0; page < blocks * l.pagesPerBlock; ++page) {
    b[page * l.PageBytes() + l.dataBytes] = 0xFF;
    b[page * l.PageBytes() + l.dataBytes + 5] = 0xFF;
  }
  return b;
}

Expected<LintReport> LintOne(const std::string& path, const PageLayout& layout, std::uint32_t blocks,
                             unsigned pages = kMarkAll) {
  return LintImages(LintJob{layout, pages, {LintRow{1, path, BlockRange{0, blocks + 3, blocks}}}});
}

TEST(ImageLint, AMarkIsFoundExactlyWhenItsPageIsChosen) {
  testing::TempDir dir;
  struct Case {
    int mode;
    unsigned page;       // kMarkFirst, kMarkSecond or kMarkLast
    std::uint32_t spare;  // the spare byte the mark is in
  } cases[] = {
      {2, kMarkFirst, 0}, {2, kMarkSecond, 0}, {2, kMarkLast, 0},  // 2048 + 64 bytes, 64 pages
      {0, kMarkFirst, 0}, {0, kMarkSecond, 0}, {0, kMarkLast, 0},  // 512 + 16 bytes, 16 pages
      {0, kMarkFirst, 5}, {0, kMarkSecond, 5}, {0, kMarkLast, 5},  // the sixth spare byte
      {15, kMarkLast, 0},                                          // 8192 + 640 bytes, 256 pages
  };
  for (const Case& c : cases) {
    const PageLayout l = PageLayoutOf(c.mode);
    const std::uint32_t page = c.page == kMarkFirst ? 0 : c.page == kMarkSecond ? 1 : l.pagesPerBlock - 1;
    Bytes image = CleanBlocks(l, 3, 7);
    const std::uint64_t at = l.BlockBytes() + std::uint64_t{page} * l.PageBytes() + l.dataBytes + c.spare;
    image[at] = 0x00;
    // A byte other than 0xFF beside the mark, or in a page no chip marks, is data.
    image[at + 1] = 0x00;
    image[l.BlockBytes() + 2 * l.PageBytes() + l.dataBytes] = 0x00;
    testing::WriteFile(dir / "image.bin", image);
    for (const unsigned chosen : {unsigned{kMarkFirst}, unsigned{kMarkSecond}, unsigned{kMarkLast},
                                  unsigned{kMarkFirst | kMarkLast}, unsigned{kMarkAll}}) {
      SCOPED_TRACE("mode " + std::to_string(c.mode) + ", mark in page " + std::to_string(page) + " spare byte " +
                   std::to_string(c.spare) + ", looking in " + MarkerPagesText(chosen));
      auto lint = LintOne(dir / "image.bin", l, 3, chosen);
      ASSERT_TRUE(lint) << lint.error().Message();
      const auto& marks = lint->rows.at(0).marks;
      if (!(chosen & c.page)) {
        EXPECT_TRUE(marks.empty());
        continue;
      }
      ASSERT_EQ(marks.size(), 1u);
      EXPECT_EQ(marks[0].imageBlock, 1u);
      EXPECT_EQ(marks[0].page, page);
      EXPECT_EQ(marks[0].imageOffset, at);
      EXPECT_EQ(marks[0].value, 0x00);
    }
  }
}

TEST(ImageLint, BlocksOfOnly0xFFAndTheRunThatEndsTheImage) {
  testing::TempDir dir;
  const PageLayout l = PageLayoutOf(0);
  const std::size_t block = l.BlockBytes();
  const Bytes data = CleanBlocks(l, 1, 3), erased = testing::Fill(block);
  struct Case {
    const char* name;
    Bytes image;
    std::vector<BlockRun> runs;
    std::uint32_t trailing;
  } cases[] = {
      {"runs inside and at the end, the last block partial",
       testing::Concat({data, erased, erased, data, erased, testing::Fill(100)}), {{1, 2}, {4, 2}}, 2},
      {"a partial last block that holds data", testing::Concat({erased, data, Bytes(100, 0xFE)}), {{0, 1}}, 0},
      {"one byte other than 0xFF", testing::Concat({erased, [&] { Bytes b = erased; b[block - 1] = 0xFE; return b; }()}),
       {{0, 1}}, 0},
      {"nothing but 0xFF", testing::Concat({erased, erased, testing::Fill(1)}), {{0, 3}}, 3},
      {"no 0xFF block", testing::Concat({data, data}), {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::WriteFile(dir / "image.bin", c.image);
    const auto blocks = static_cast<std::uint32_t>((c.image.size() + block - 1) / block);
    auto lint = LintOne(dir / "image.bin", l, blocks);
    ASSERT_TRUE(lint) << lint.error().Message();
    const LintRowReport& r = lint->rows.at(0);
    EXPECT_EQ(r.erasedRuns, c.runs);
    EXPECT_EQ(r.trailingErased, c.trailing);
    EXPECT_EQ(r.erasedBlocks, std::accumulate(c.runs.begin(), c.runs.end(), std::uint64_t{0},
                                              [](std::uint64_t n, const BlockRun& run) { return n + run.count; }));
    EXPECT_TRUE(r.marks.empty());
    EXPECT_EQ(lint->bytesRead, c.image.size());
  }
  // An image that is no longer the length the table records is not linted.
  testing::WriteFile(dir / "image.bin", testing::Concat({data, data}));
  EXPECT_FALSE(LintOne(dir / "image.bin", l, 3));
  EXPECT_FALSE(LintOne(dir / "none.bin", l, 1));
}

// A raw image's stored ECC is checked page by page, the blocks of a piece shared
// between two threads: the counts are those of the whole image and the first
// difference is the earliest, wherever in the pieces the differing steps lie.
TEST(ImageLint, RawEccCountsEveryDifferingStepAndNamesTheEarliest) {
  testing::TempDir dir;
  const PageLayout l = PageLayoutOf(2);  // 64 pages of 2048 + 64 bytes
  const auto scheme = ParseScheme("linux-bch8/512");
  ASSERT_TRUE(scheme.ok());
  const auto codec = PageCodec::Make(*scheme, l.dataBytes, l.spareBytes);
  ASSERT_TRUE(codec.ok());
  constexpr std::uint32_t kBlocks = 11;
  Bytes image(kBlocks * l.BlockBytes());
  const Bytes data = testing::Pattern(l.dataBytes * l.pagesPerBlock * kBlocks, 9);
  std::uint64_t erased = 0;
  for (std::size_t p = 0; p < kBlocks * l.pagesPerBlock; ++p) {
    Bytes page(data.begin() + static_cast<std::ptrdiff_t>(p * l.dataBytes),
               data.begin() + static_cast<std::ptrdiff_t>((p + 1) * l.dataBytes));
    if (p % 50 == 7) {
      std::fill(page.begin(), page.end(), 0xFF);
      ++erased;
    }
    codec->LayOut(page, std::span(image).subspan(p * l.PageBytes(), l.PageBytes()));
  }
  struct Flip {
    std::uint32_t block, page, step;
  };
  struct Case {
    const char* name;
    std::vector<Flip> flips;  // a data bit flipped in each such step; in order, the earliest first
    std::uint64_t differingPages;
  } cases[] = {
      {"none", {}, 0},
      {"one in a piece's later blocks", {{2, 5, 1}}, 1},
      {"an earlier block after a later one in the same piece", {{3, 0, 0}, {4, 9, 3}, {5, 9, 2}}, 3},
      {"two steps of a page, and the last block", {{1, 63, 0}, {1, 63, 3}, {10, 1, 1}}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes raw = image;
    for (const Flip& f : c.flips) {
      const std::size_t at = f.block * l.BlockBytes() + f.page * l.PageBytes() + codec->Plan().steps[f.step].at[0] + 100;
      raw[at] ^= 0x10;
    }
    testing::WriteFile(dir / "raw.bin", raw);
    LintRow row{1, dir / "raw.bin", BlockRange{0, kBlocks + 3, kBlocks}};
    row.rawEcc = &*codec;
    auto lint = LintImages(LintJob{l, kMarkAll, {row}});
    ASSERT_TRUE(lint) << lint.error().Message();
    const LintRowReport& r = lint->rows.at(0);
    ASSERT_TRUE(r.ecc.has_value());
    const std::uint64_t pages = std::uint64_t{kBlocks} * l.pagesPerBlock - erased;
    EXPECT_EQ(r.ecc->pages, pages);
    EXPECT_EQ(r.ecc->erasedPages, erased);
    EXPECT_EQ(r.ecc->steps, pages * codec->Plan().steps.size());
    EXPECT_EQ(r.ecc->differingSteps, c.flips.size());
    EXPECT_EQ(r.ecc->differingPages, c.differingPages);
    ASSERT_EQ(r.ecc->first.has_value(), !c.flips.empty());
    if (r.ecc->first) {
      EXPECT_EQ(r.ecc->first->imageBlock, c.flips[0].block);
      EXPECT_EQ(r.ecc->first->page, c.flips[0].page);
      EXPECT_EQ(r.ecc->first->step, c.flips[0].step);
    }
  }
}

TEST(ByteSums, StretchesOfAStreamInAnyPiecesMatchTheirBytes) {
  std::mt19937 random(20);
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE(round);
    Bytes stream(random() % 5000);
    for (auto& b : stream) b = static_cast<std::uint8_t>(random() % 3 == 0 ? 0xFF : random());
    std::vector<ByteSpan> spans;
    for (auto n = random() % 6; n-- > 0;) spans.push_back({random() % 6000, random() % 3000});
    RangeByteSums sums(spans);
    // What goes by: pieces of any length, runs of 0xFF given by their count.
    for (std::size_t at = 0; at < stream.size();) {
      const std::size_t n = std::min<std::size_t>(stream.size() - at, random() % 700);
      if (std::all_of(stream.begin() + at, stream.begin() + at + n, [](std::uint8_t b) { return b == 0xFF; })) {
        sums.AddRepeated(0xFF, n);
      } else {
        sums.Add(std::span(stream).subspan(at, n));
      }
      at += n;
    }
    EXPECT_EQ(sums.Total(), Sum32(stream.data(), stream.size()));
    EXPECT_EQ(ByteSum(stream, 5), Sum32(stream.data(), stream.size()) + 5);
    for (const std::uint8_t beyond : {std::uint8_t{0}, std::uint8_t{0xFF}}) {
      const std::vector<std::uint32_t> got = sums.Sums(beyond);
      for (std::size_t i = 0; i < spans.size(); ++i) {
        std::uint32_t want = 0;
        for (std::uint64_t b = spans[i].offset; b < spans[i].offset + spans[i].bytes; ++b) {
          want += b < stream.size() ? stream[b] : beyond;
        }
        EXPECT_EQ(got[i], want) << "stretch " << i << " past the end as " << int{beyond};
      }
    }
  }
  // Past 4 GiB of 0xFF the sum wraps as a 32-bit register does.
  EXPECT_EQ(RepeatedByteSum(0xFF, (std::uint64_t{1} << 32) + 3), static_cast<std::uint32_t>(0xFFull * ((1ull << 32) + 3)));
}

}  // namespace
}  // namespace folvane
