#include "flash/dump_verify.hpp"

#include "job/block_text.hpp"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

namespace folvane {

namespace {

// The dump and the data image are read in pieces of whole blocks of about this size
// (one block at least): small enough that a piece of each stays in the processor's
// second-level cache between the read that copies it in and the comparison, large
// enough that the system calls cost nothing beside the copy. Pieces of megabytes
// made the comparison read both from main memory again, at half the speed.
constexpr std::uint64_t kPieceBytes = std::uint64_t{256} << 10;

// Whole blocks of one file, read a piece at a time as they are asked for; a block
// asked for again within the piece costs nothing.
class BlockReader {
 public:
  BlockReader(File& file, std::uint64_t blockBytes, std::uint64_t pieceBlocks)
      : file_(file), blockBytes_(blockBytes), buffer_(blockBytes * pieceBlocks) {}
  // Nothing in the span when the file ends before the block does.
  Expected<std::span<const std::uint8_t>> Block(std::uint64_t index) {
    if (index < first_ || index >= first_ + count_) {
      auto got = file_.ReadAt(index * blockBytes_, buffer_);
      if (!got) return got.error();
      first_ = index;
      count_ = *got / blockBytes_;
      if (count_ == 0) return std::span<const std::uint8_t>{};
    }
    return std::span<const std::uint8_t>(buffer_).subspan((index - first_) * blockBytes_, blockBytes_);
  }

 private:
  File& file_;
  std::uint64_t blockBytes_;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t first_ = 0, count_ = 0;
};

std::uint64_t DifferingBits(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
  std::uint64_t bits = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    bits += static_cast<std::uint64_t>(std::popcount(x ^ y));
  }
  for (; i < n; ++i) bits += static_cast<std::uint64_t>(std::popcount(static_cast<unsigned>(a[i] ^ b[i])));
  return bits;
}

// Whether every page of two blocks differs in at most `bitflips` bits.
bool WithinBitflips(const std::uint8_t* a, const std::uint8_t* b, const PageLayout& layout, std::uint64_t bitflips) {
  const std::uint32_t pageBytes = layout.PageBytes();
  for (std::uint32_t page = 0; page < layout.pagesPerBlock; ++page) {
    const std::size_t at = std::size_t{page} * pageBytes;
    if (std::memcmp(a + at, b + at, pageBytes) != 0 && DifferingBits(a + at, b + at, pageBytes) > bitflips) return false;
  }
  return true;
}

}  // namespace

Expected<DumpReport> VerifyDump(const DumpCheck& check) {
  DumpReport report;
  const std::uint64_t blockBytes = check.layout.BlockBytes();
  const std::uint32_t pageBytes = check.layout.PageBytes();
  auto dump = File::OpenRead(check.dumpPath);
  if (!dump) return dump.error();
  report.dumpBytes = dump->OpenedSize();

  std::uint64_t needed = 1;  // blocks the job's ranges reach
  int lastRow = 0;
  for (const auto& [row, range] : check.rows) {
    if (std::uint64_t{range.last} + 1 > needed) {
      needed = std::uint64_t{range.last} + 1;
      lastRow = row;
    }
  }
  if (report.dumpBytes % blockBytes != 0) {
    const std::uint64_t below = report.dumpBytes / blockBytes * blockBytes;
    report.sizeProblem = "it is " + std::to_string(report.dumpBytes) + " bytes, not a whole number of blocks of " +
                         Hex(blockBytes) + " bytes (" + std::to_string(below) + " or " +
                         std::to_string(below + blockBytes) + " bytes would be)";
    return report;
  }
  report.chipBlocks = report.dumpBytes / blockBytes;
  if (report.chipBlocks < needed) {
    report.sizeProblem = "it holds " + Hex(report.chipBlocks) + " blocks, but row " + std::to_string(lastRow) +
                         "'s range ends at block " + Hex(needed - 1) + ": at least " +
                         std::to_string(needed * blockBytes) + " bytes are expected";
    return report;
  }
  auto data = File::OpenRead(check.dataPath);
  if (!data) return data.error();

  const std::uint64_t pieceBlocks = std::max<std::uint64_t>(1, kPieceBytes / blockBytes);
  BlockReader chip(*dump, blockBytes, pieceBlocks), image(*data, blockBytes, pieceBlocks);
  const std::vector<std::uint8_t> erased(blockBytes, 0xFF);
  for (const auto& [row, range] : check.rows) report.rows.push_back(DumpRow{row, range, {}, 0, 0, 0, 0, std::nullopt});

  for (std::uint64_t b = 0; b < report.chipBlocks; ++b) {
    auto block = chip.Block(b);
    if (!block) return block.error();
    // The dump grew shorter since it was measured.
    if (block->empty()) return FileError{FileErrorCause::EndOfFile, FileOp::Read, check.dumpPath, 0};
    const auto physical = static_cast<std::uint32_t>(b);
    bool bad = check.badBlocks ? check.badBlocks->IsBad(physical)
                               : FindMark(*block, check.layout, check.markerPages).has_value();
    // The first row whose range holds the block: ranges overlap only when a row
    // left out let the next start inside the one above.
    auto it = std::find_if(report.rows.begin(), report.rows.end(),
                           [&](const DumpRow& r) { return r.range.first <= physical && physical <= r.range.last; });
    if (bad && !check.badBlocks && it != report.rows.end() && it->placedBlocks < it->range.imageBlocks) {
      // An image block whose own bytes carry a mark reads as marked once programmed:
      // the block that holds it, byte for byte (within --bitflips), is that image
      // block and not a factory-bad one, or every later block would seem one off.
      auto expected = image.Block(std::uint64_t{it->range.first} + it->placedBlocks);
      if (!expected) return expected.error();
      if (!expected->empty() && FindMark(*expected, check.layout, check.markerPages) &&
          WithinBitflips(block->data(), expected->data(), check.layout, check.bitflips)) {
        bad = false;
      }
    }
    if (bad && !check.badBlocks) ++report.markedBlocks;
    if (it == report.rows.end()) continue;
    DumpRow& row = *it;
    if (bad) {
      row.badBlocks.push_back(physical);
      continue;
    }
    const std::uint8_t* want = erased.data();
    std::optional<std::uint32_t> imageBlock;
    if (row.placedBlocks < row.range.imageBlocks) {
      imageBlock = static_cast<std::uint32_t>(row.placedBlocks);
      auto expected = image.Block(std::uint64_t{row.range.first} + row.placedBlocks);
      if (!expected) return expected.error();
      if (expected->empty()) return FileError{FileErrorCause::EndOfFile, FileOp::Read, check.dataPath, 0};
      want = expected->data();
      ++row.placedBlocks;
    }
    const std::uint8_t* got = block->data();
    // A programmed chip mostly matches: one comparison of the whole block, and the
    // page by page count of bits only where it finds a difference.
    if (std::memcmp(got, want, blockBytes) == 0) continue;
    for (std::uint32_t page = 0; page < check.layout.pagesPerBlock; ++page) {
      const std::size_t at = std::size_t{page} * pageBytes;
      if (std::memcmp(got + at, want + at, pageBytes) == 0) continue;
      const std::uint64_t bits = DifferingBits(got + at, want + at, pageBytes);
      row.differingBits += bits;
      ++row.differingPages;
      if (bits > check.bitflips) ++row.pagesOverLimit;
      if (!row.first) {
        const auto byte = static_cast<std::size_t>(std::mismatch(got + at, got + at + pageBytes, want + at).first - got);
        row.first = DumpDifference{physical, imageBlock, b * blockBytes + byte};
      }
    }
  }
  return report;
}

}  // namespace folvane
