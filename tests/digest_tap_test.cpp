// The digest tap hashes the data image as the merge hands it over, in pieces of any
// size, on two lanes of its own: one takes the whole image's SHA-256 and every byte
// sum, the other each range's SHA-256 and every CRC-32, putting the image's CRC-32
// together from the ranges' and the bytes between them. Whatever the pieces, every
// digest must be the one computed over the same bytes in one go, here with libcrypto
// and zlib called directly and a plain byte sum.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "manifest/digest.hpp"
#include "job/partition.hpp"
#include "test_support.hpp"

namespace folvane {
namespace {

using manifest::DigestRange;
using manifest::DigestTap;
using manifest::DigestValue;
using testing::Bytes;

std::string Sha256Of(std::span<const std::uint8_t> bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr), 1);
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", digest[i]);
    hex += two;
  }
  return hex;
}

std::uint32_t SumOf(std::span<const std::uint8_t> bytes) {
  std::uint32_t sum = 0;
  for (const std::uint8_t b : bytes) sum += b;
  return sum;
}

DigestValue Expected(std::span<const std::uint8_t> bytes) {
  const auto crc = static_cast<std::uint32_t>(crc32_z(crc32_z(0, nullptr, 0), bytes.data(), bytes.size()));
  return {bytes.size(), Sha256Of(bytes), crc, SumOf(bytes)};
}

// The bytes of `data` from `offset`, `length` of them, as far as the data reaches.
std::span<const std::uint8_t> Part(const Bytes& data, std::uint64_t offset, std::uint64_t length) {
  const std::uint64_t from = std::min<std::uint64_t>(offset, data.size());
  return std::span(data).subspan(from, std::min<std::uint64_t>(length, data.size() - from));
}

// A whole range's sum: the bytes past the data's end count as an erased chip's 0xFF.
std::uint32_t WholeRangeSum(const Bytes& data, const DigestRange& r) {
  const std::uint64_t length = std::max(r.bytes, r.rangeBytes);
  const auto held = Part(data, r.offset, length);
  return SumOf(held) + static_cast<std::uint32_t>((length - held.size()) * 0xFF);
}

// Piece lengths that cut `size` bytes at each of `cuts` (offsets, any order).
std::vector<std::size_t> PiecesCutAt(std::size_t size, const std::set<std::uint64_t>& cuts) {
  std::vector<std::size_t> pieces;
  std::uint64_t at = 0;
  for (const std::uint64_t cut : cuts) {
    if (cut <= at || cut >= size) continue;
    pieces.push_back(static_cast<std::size_t>(cut - at));
    at = cut;
  }
  pieces.push_back(size - at);
  return pieces;
}

// Every range border moved by `shift` bytes: where a piece ends one byte before, at or
// one byte after a range's first or last byte.
std::set<std::uint64_t> BordersShifted(const std::vector<DigestRange>& ranges, int shift) {
  std::set<std::uint64_t> cuts;
  for (const DigestRange& r : ranges) {
    for (const std::uint64_t border : {r.offset, r.offset + r.bytes, r.offset + r.rangeBytes}) {
      if (static_cast<std::int64_t>(border) + shift > 0) cuts.insert(border + shift);
    }
  }
  return cuts;
}

struct Layout {
  const char* name;
  std::size_t dataBytes;
  std::vector<DigestRange> ranges;  // offset, image bytes, whole range bytes
};

// Ranges that start at the first byte, hold one byte, sit back to back, have gaps of
// one byte, whole ranges reaching over the next range, and a last range the data
// ends inside.
const Layout kLayouts[] = {
    {"ranges of every shape", 70000,
     {{0, 1, 4096}, {1, 4095, 4095}, {4097, 1, 1}, {4098, 20000, 30000}, {24098, 3, 3}, {40000, 30001, 40000}}},
    {"one range inside the data", 9000, {{4096, 100, 200}}},
    {"no ranges", 5000, {}},
    {"a range past the data's end", 3000, {{1000, 1000, 1000}, {3000, 500, 500}}},
};

// The tap fed `data` in pieces of the given lengths (the last repeated to the end).
void Feed(DigestTap& tap, const Bytes& data, const std::vector<std::size_t>& pieces) {
  std::size_t at = 0;
  for (std::size_t i = 0; at < data.size(); ++i) {
    const std::size_t n = std::min(pieces[std::min(i, pieces.size() - 1)], data.size() - at);
    tap.DataWritten(std::span(data).subspan(at, n));
    at += n;
  }
}

void ExpectDigestsOf(DigestTap& tap, const Bytes& data, const std::vector<DigestRange>& ranges) {
  EXPECT_EQ(tap.Data(), Expected(data));
  const std::vector<DigestValue> got = tap.Ranges();
  ASSERT_EQ(got.size(), ranges.size());
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    SCOPED_TRACE("range " + std::to_string(i));
    EXPECT_EQ(got[i], Expected(Part(data, ranges[i].offset, ranges[i].bytes)));
  }
  const std::vector<std::uint32_t> whole = tap.WholeRangeSums();
  ASSERT_EQ(whole.size(), ranges.size());
  for (std::size_t i = 0; i < ranges.size(); ++i) EXPECT_EQ(whole[i], WholeRangeSum(data, ranges[i])) << "range " << i;
  EXPECT_FALSE(tap.Failed());
}

TEST(DigestTap, RangesAcrossPiecesOfAnySizeGiveTheDigestsOfTheSameBytesTakenWhole) {
  for (const Layout& layout : kLayouts) {
    const Bytes data = testing::Pattern(layout.dataBytes, 5);
    std::mt19937 random(7);
    std::vector<std::size_t> uneven;
    for (int i = 0; i < 200; ++i) uneven.push_back(1 + random() % 3000);
    struct Split {
      const char* name;
      std::vector<std::size_t> pieces;
    } splits[] = {
        {"one piece", {data.size()}},
        {"one byte at a time", {1}},
        {"cut a byte before each border", PiecesCutAt(data.size(), BordersShifted(layout.ranges, -1))},
        {"cut at each border", PiecesCutAt(data.size(), BordersShifted(layout.ranges, 0))},
        {"cut a byte after each border", PiecesCutAt(data.size(), BordersShifted(layout.ranges, 1))},
        {"uneven pieces", uneven},
        {"a byte, then halves of the data", {1, layout.dataBytes / 2}},
    };
    for (const Split& split : splits) {
      SCOPED_TRACE(std::string(layout.name) + ", " + split.name);
      DigestTap tap(0x2100);
      tap.SetRanges(layout.ranges);
      Feed(tap, data, split.pieces);
      ExpectDigestsOf(tap, data, layout.ranges);
    }
  }
}

TEST(DigestTap, RangesFromThePlanAreEachTakenRowsBlocks) {
  // Taken rows as the merge plans them (start block, end block, image blocks), with a
  // left-out row between. The second partition's image ends a block before its range
  // does, and the data image ends in the middle of the third partition.
  constexpr std::uint32_t kBlock = 0x2100;
  TableArea table{};
  table.fill(0xFF);
  const PartitionEntry entries[] = {{0, 1, 1}, {2, 5, 3}, {7, 9, 3}};
  for (std::size_t i = 0; i < std::size(entries); ++i) {
    entries[i].EncodeTo(std::span<std::uint8_t, PartitionEntry::kSize>(table.data() + i * PartitionEntry::kSize,
                                                                       PartitionEntry::kSize));
  }
  const std::vector<DigestRange> ranges = {
      {0, kBlock, 2 * kBlock}, {2 * kBlock, 3 * kBlock, 4 * kBlock}, {7 * kBlock, 3 * kBlock, 3 * kBlock}};
  const Bytes data = testing::Pattern(8 * kBlock + 77, 3);
  for (const std::vector<std::size_t>& pieces :
       {std::vector<std::size_t>{kBlock - 1}, {kBlock + 1}, PiecesCutAt(data.size(), BordersShifted(ranges, 1))}) {
    SCOPED_TRACE(pieces.front());
    DigestTap tap(kBlock);
    MergePlan plan;
    for (std::size_t i = 0; i < std::size(entries); ++i) {
      PlannedRow& row = plan.rows[2 * i];
      row.row = static_cast<int>(2 * i + 1);
      row.ticked = row.taken = true;
      row.range = {entries[i].startBlock, entries[i].endBlock, entries[i].imageBlocks};
    }
    plan.rows[1].row = 2;
    plan.rows[1].ticked = true;
    plan.rows[1].rule = SlotRule::EndBeforeStart;
    plan.rows[1].range = {9, 0, 1};
    tap.Planned(plan);
    tap.TableWritten(table);
    Feed(tap, data, pieces);
    ExpectDigestsOf(tap, data, ranges);
    EXPECT_EQ(tap.Table(), Expected(table));
    const std::vector<DigestRange>& listed = tap.RangeList();
    ASSERT_EQ(listed.size(), ranges.size());
    for (std::size_t i = 0; i < ranges.size(); ++i) {
      EXPECT_EQ(listed[i].offset, ranges[i].offset);
      EXPECT_EQ(listed[i].bytes, ranges[i].bytes);
      EXPECT_EQ(listed[i].rangeBytes, ranges[i].rangeBytes);
    }
  }
}

}  // namespace
}  // namespace folvane
