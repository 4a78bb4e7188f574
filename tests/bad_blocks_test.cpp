#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "flash/bad_blocks.hpp"

namespace folvane {
namespace {

// The programmer's walk, block by block: image block i goes to the i-th good block
// of the range; nothing for the image blocks the range has no good block for.
std::vector<std::optional<std::uint32_t>> Walk(const BlockRange& r, const std::vector<bool>& bad) {
  std::vector<std::optional<std::uint32_t>> at(r.imageBlocks);
  std::uint32_t next = 0;
  for (std::uint32_t b = r.first; b <= r.last && next < r.imageBlocks; ++b) {
    if (!bad[b]) at[next++] = b;
  }
  return at;
}

TEST(BadBlocks, PlacementFollowsTheWalkForEveryPatternOfASmallChip) {
  constexpr std::uint32_t kChip = 10;
  const BlockRange ranges[] = {{0, 9, 6}, {0, 0, 1}, {2, 5, 4}, {3, 9, 1}, {9, 9, 1}, {1, 8, 0}, {4, 7, 2}};
  for (std::uint32_t mask = 0; mask < (1u << kChip); ++mask) {
    std::vector<bool> bad(kChip);
    std::vector<std::uint32_t> list;
    for (std::uint32_t b = 0; b < kChip; ++b) {
      bad[b] = (mask >> b) & 1u;
      if (bad[b]) list.push_back(b);
    }
    const BadBlockSet set(list);
    for (const BlockRange& r : ranges) {
      SCOPED_TRACE("pattern " + std::to_string(mask) + ", range " + std::to_string(r.first) + ".." +
                   std::to_string(r.last) + " image " + std::to_string(r.imageBlocks));
      const auto want = Walk(r, bad);
      const RangePlacement got = PlaceRange(r, set);
      std::uint64_t missing = 0;
      for (std::uint32_t i = 0; i < r.imageBlocks; ++i) {
        ASSERT_EQ(got.PhysicalOf(i), want[i]) << "image block " << i;
        missing += !want[i].has_value();
      }
      EXPECT_EQ(got.Overflows(), missing != 0);
      EXPECT_EQ(got.MissingBlocks(), missing);
      EXPECT_EQ(got.badBlocks, set.CountIn(r.first, r.last));
      EXPECT_EQ(got.goodBlocks + got.badBlocks, r.Blocks());
      // Runs are as long as they can be: each ends at a bad block or the image's end.
      for (std::size_t k = 0; k + 1 < got.runs.size(); ++k) {
        const PlacementRun& a = got.runs[k];
        EXPECT_TRUE(bad[a.physicalBlock + a.count]) << "run " << k << " could go on";
        EXPECT_EQ(got.runs[k + 1].imageBlock, a.imageBlock + a.count);
      }
    }
  }
}

TEST(BadBlocks, PlacementAtTheTopOfTheBlockNumbers) {
  const BlockRange r{0xFFFFFFFD, 0xFFFFFFFF, 2};
  const RangePlacement p = PlaceRange(r, BadBlockSet({0xFFFFFFFE}));
  EXPECT_EQ(p.runs, (std::vector<PlacementRun>{{0, 0xFFFFFFFD, 1}, {1, 0xFFFFFFFF, 1}}));
  EXPECT_FALSE(p.Overflows());
}

TEST(BadBlocks, ListParsing) {
  struct Case {
    const char* name;
    std::string text;
    std::optional<std::uint64_t> chip;
    std::vector<std::uint32_t> blocks;  // when read
    std::size_t line;                   // when refused
    const char* problem;
  } cases[] = {
      {"empty", "", 1024, {}, 0, ""},
      {"mixed separators and comments", "# factory list\n0x10, 17 0x3ff\r\n\t5,,6 # two more\n#0x20\n", 1024,
       {5, 6, 0x10, 17, 0x3FF}, 0, ""},
      {"upper-case prefix and digits", "0XAB 0xcD", std::nullopt, {0xAB, 0xCD}, 0, ""},
      {"block 0 is taken", "0", 16, {0}, 0, ""},
      {"outside the chip", "1\n2\n0x400\n", 1024, {}, 3, "block 0x400 is outside the chip"},
      {"repeat in another spelling", "16\n\n0x10", 1024, {}, 3, "block 0x10 is listed twice (first on line 1)"},
      {"negative", "3 -4", 1024, {}, 1, "'-4' is negative"},
      {"a word", "3\n4 five", 1024, {}, 2, "'five' is not a block number"},
      {"hex without the prefix", "1f", 1024, {}, 1, "'1f' is not a block number"},
      {"prefix alone", "0x", 1024, {}, 1, "'0x' is not a block number"},
      {"beyond 32 bits", "0x100000000", std::nullopt, {}, 1, "is too large for a block number"},
      {"beyond 64 bits", "12345678901234567890123", std::nullopt, {}, 1, "is too large for a block number"},
      {"hex beyond 64 bits", "0x123456789ABCDEF0123", std::nullopt, {}, 1, "is too large for a block number"},
      {"control bytes are escaped", "1\x1b[2J", std::nullopt, {}, 1, "'1\\x1B[2J' is not"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const BadBlockList got = ParseBadBlockList(c.text, c.chip);
    if (c.line == 0) {
      ASSERT_TRUE(got.set.has_value()) << got.problem;
      EXPECT_EQ(got.set->Blocks(), c.blocks);
    } else {
      EXPECT_FALSE(got.set.has_value());
      EXPECT_EQ(got.line, c.line);
      EXPECT_NE(got.problem.find(c.problem), std::string::npos) << got.problem;
    }
  }
}

TEST(BadBlocks, Counts) {
  struct Case {
    const char* text;
    std::uint64_t max;
    std::optional<std::uint64_t> value;
  } cases[] = {{"0", 10, 0},       {"10", 10, 10},           {"11", 10, std::nullopt}, {"0x10", 100, 16},
               {"0XfF", 255, 255}, {"0x", 10, std::nullopt}, {"", 10, std::nullopt},   {"+1", 10, std::nullopt},
               {"1e3", UINT64_MAX, std::nullopt},  {"18446744073709551615", UINT64_MAX, UINT64_MAX},
               {"18446744073709551616", UINT64_MAX, std::nullopt}, {" 1", 10, std::nullopt}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseCount(c.text, c.max), c.value);
  }
}

// Every way of placing `bad` bad blocks among blocks 1..chip-1, counted.
struct Enumerated {
  std::vector<double> rows;
  double job = 0;
};
Enumerated Enumerate(const std::vector<BlockRange>& ranges, std::uint32_t chip, std::uint32_t bad) {
  Enumerated e;
  e.rows.assign(ranges.size(), 0);
  std::uint64_t total = 0;
  for (std::uint32_t mask = 0; mask < (1u << chip); mask += 2) {  // block 0 never bad
    if (static_cast<std::uint32_t>(__builtin_popcount(mask)) != bad) continue;
    ++total;
    bool any = false;
    for (std::size_t i = 0; i < ranges.size(); ++i) {
      const BlockRange& r = ranges[i];
      std::uint32_t inRange = 0;
      for (std::uint32_t b = r.first; b <= r.last; ++b) inRange += (mask >> b) & 1u;
      const bool over = r.Blocks() - inRange < r.imageBlocks;
      e.rows[i] += over;
      any = any || over;
    }
    e.job += any;
  }
  for (double& r : e.rows) r /= static_cast<double>(total);
  e.job /= static_cast<double>(total);
  return e;
}

TEST(BadBlocks, ProbabilitiesMatchEveryPlacementOnSmallChips) {
  const std::vector<std::vector<BlockRange>> jobs = {
      {{0, 3, 2}, {4, 7, 3}, {8, 11, 2}},
      {{1, 1, 1}, {2, 6, 3}, {9, 11, 3}},
      {{0, 5, 5}},
      {{0, 2, 1}, {3, 5, 1}, {6, 8, 1}, {9, 11, 1}},
      {{2, 4, 1}, {6, 6, 1}},
  };
  for (std::size_t j = 0; j < jobs.size(); ++j) {
    for (std::uint32_t bad = 0; bad <= 6; ++bad) {
      SCOPED_TRACE("job " + std::to_string(j) + ", " + std::to_string(bad) + " bad blocks");
      const Enumerated want = Enumerate(jobs[j], 12, bad);
      const OverflowOdds got = OverflowProbabilities(jobs[j], 12, bad);
      ASSERT_EQ(got.rows.size(), want.rows.size());
      for (std::size_t i = 0; i < want.rows.size(); ++i) {
        EXPECT_NEAR(static_cast<double>(got.rows[i]), want.rows[i], 1e-12) << "row " << i;
      }
      ASSERT_TRUE(got.job.has_value());
      EXPECT_NEAR(static_cast<double>(*got.job), want.job, 1e-12);
    }
  }
}

TEST(BadBlocks, OverlappingRangesHaveNoJobFigure) {
  const OverflowOdds odds = OverflowProbabilities({{1, 5, 3}, {5, 9, 3}}, 12, 3);
  EXPECT_EQ(odds.rows.size(), 2u);
  EXPECT_FALSE(odds.job.has_value());
  EXPECT_NEAR(static_cast<double>(odds.rows[1]), Enumerate({{5, 9, 3}}, 12, 3).rows[0], 1e-12);
}

TEST(BadBlocks, ProbabilitiesAgreeWithSamplingOnALargeChip) {
  // Sixteen ranges of 0x1000 blocks, with spares close to the 125 bad blocks each
  // gets on average, so that both the rows and the job overflow often enough to
  // be measured by sampling.
  constexpr std::uint32_t kChip = 0x10000, kBad = 2000;
  std::vector<BlockRange> ranges;
  for (std::uint32_t r = 0; r < 16; ++r) ranges.push_back({r * 0x1000, r * 0x1000 + 0xFFF, 0x1000 - (130 + 2 * r)});
  const OverflowOdds odds = OverflowProbabilities(ranges, kChip, kBad);
  ASSERT_TRUE(odds.job.has_value());

  std::mt19937_64 random(20);
  std::vector<std::uint32_t> blocks(kChip - 1);
  for (std::uint32_t b = 1; b < kChip; ++b) blocks[b - 1] = b;
  constexpr int kTrials = 4000;
  std::vector<int> rowHits(ranges.size());
  int jobHits = 0;
  for (int t = 0; t < kTrials; ++t) {
    std::vector<std::uint32_t> count(ranges.size());
    for (std::uint32_t i = 0; i < kBad; ++i) {
      std::uniform_int_distribution<std::uint32_t> pick(i, kChip - 2);
      std::swap(blocks[i], blocks[pick(random)]);
      ++count[blocks[i] >> 12];
    }
    bool any = false;
    for (std::size_t r = 0; r < ranges.size(); ++r) {
      const bool over = count[r] > ranges[r].SpareBlocks();
      rowHits[r] += over;
      any = any || over;
    }
    jobHits += any;
  }
  // Five standard deviations of the estimate: a wrong formula is far outside, chance
  // alone practically never.
  auto within = [&](long double p, int hits) {
    const double q = static_cast<double>(p);
    EXPECT_NEAR(hits / double(kTrials), q, 5 * std::sqrt(q * (1 - q) / kTrials) + 1e-3);
  };
  for (std::size_t r = 0; r < ranges.size(); ++r) {
    SCOPED_TRACE("row " + std::to_string(r));
    within(odds.rows[r], rowHits[r]);
  }
  within(*odds.job, jobHits);
  EXPECT_GT(*odds.job, 0.3L);  // the sampled check above means something
}

TEST(BadBlocks, ImpossibleAndCertainOverflows) {
  // Spare blocks for every bad block there is: no chip overflows.
  EXPECT_EQ(OverflowProbabilities({{0, 99, 90}}, 1000, 10).job, 0.0L);
  // More bad blocks than the rest of the chip can hold: every chip overflows.
  const OverflowOdds all = OverflowProbabilities({{0, 99, 95}}, 101, 10);
  EXPECT_NEAR(static_cast<double>(*all.job), 1.0, 1e-15);
  // A tiny chance keeps its digits: 11 bad blocks all in one range of 11 of 1000.
  const OverflowOdds tiny = OverflowProbabilities({{1, 11, 1}}, 1001, 11);
  const long double exact = std::exp(-std::lgamma(1001.0L) + std::lgamma(12.0L) + std::lgamma(990.0L));
  EXPECT_NEAR(static_cast<double>(tiny.rows[0] / exact), 1.0, 1e-12);
  EXPECT_NEAR(static_cast<double>(*tiny.job / exact), 1.0, 1e-12);
}

}  // namespace
}  // namespace folvane
