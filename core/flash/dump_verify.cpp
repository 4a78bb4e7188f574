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

// One block of the chip as `row` sees it: a bad block it skips, the next image block
// of the row, or a block after the image that should be erased. A block that carries
// a mark but holds, within the accepted bit flips, the image block the row expects
// next is that image block: its own bytes put the mark there (an image block whose
// spare area is not 0xFF), or a flipped bit did, and taking it for a factory-bad block
// would compare every later block of the row one block off. True when the block
// counts as good for the row.
Expected<bool> CompareBlock(const DumpCheck& check, DumpRow& row, std::uint32_t physical, bool marked,
                            const std::uint8_t* got, const std::uint8_t* erased, BlockReader& image) {
  const std::uint64_t blockBytes = check.layout.BlockBytes();
  const std::uint32_t pageBytes = check.layout.PageBytes();
  const bool imageLeft = row.placedBlocks < row.range.imageBlocks;
  std::span<const std::uint8_t> expected;
  if (imageLeft) {
    auto read = image.Block(std::uint64_t{row.range.first} + row.placedBlocks);
    if (!read) return read.error();
    if (read->empty()) return FileError{FileErrorCause::EndOfFile, FileOp::Read, check.dataPath, 0};
    expected = *read;
  }
  bool bad = check.badBlocks ? check.badBlocks->IsBad(physical) : marked;
  if (bad && marked && imageLeft && WithinBitflips(got, expected.data(), check.layout, check.bitflips)) bad = false;
  if (bad) {
    row.badBlocks.push_back(physical);
    return false;
  }
  const std::uint8_t* want = erased;
  std::optional<std::uint32_t> imageBlock;
  if (imageLeft) {
    imageBlock = static_cast<std::uint32_t>(row.placedBlocks);
    want = expected.data();
    ++row.placedBlocks;
  }
  // A programmed chip mostly matches: one comparison of the whole block, and the
  // page by page count of bits only where it finds a difference.
  if (std::memcmp(got, want, blockBytes) == 0) return true;
  for (std::uint32_t page = 0; page < check.layout.pagesPerBlock; ++page) {
    const std::size_t at = std::size_t{page} * pageBytes;
    if (std::memcmp(got + at, want + at, pageBytes) == 0) continue;
    const std::uint64_t bits = DifferingBits(got + at, want + at, pageBytes);
    row.differingBits += bits;
    ++row.differingPages;
    if (bits > check.bitflips) ++row.pagesOverLimit;
    if (!row.first) {
      const auto byte = static_cast<std::size_t>(std::mismatch(got + at, got + at + pageBytes, want + at).first - got);
      row.first = DumpDifference{physical, imageBlock, std::uint64_t{physical} * blockBytes + byte};
    }
  }
  return true;
}

}  // namespace

Expected<DumpReport> VerifyDump(const DumpCheck& check) {
  DumpReport report;
  const std::uint64_t blockBytes = check.layout.BlockBytes();
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
  for (const auto& [row, range] : check.rows) report.rows.push_back(DumpRow{row, range, {}, 0, 0, 0, 0, std::nullopt});

  const std::vector<std::uint8_t> erased(blockBytes, 0xFF);
  for (std::uint64_t b = 0; b < report.chipBlocks; ++b) {
    auto block = chip.Block(b);
    if (!block) return block.error();
    // The dump grew shorter since it was measured.
    if (block->empty()) return FileError{FileErrorCause::EndOfFile, FileOp::Read, check.dumpPath, 0};
    const auto physical = static_cast<std::uint32_t>(b);
    const bool marked = !check.badBlocks && FindMark(*block, check.layout, check.markerPages).has_value();
    // Every row whose range holds the block sees it on its own: ranges overlap only when
    // a row left out let the next start inside the one above, and then each row's
    // image still runs through its own range.
    bool someRowHoldsIt = false;
    for (DumpRow& row : report.rows) {
      if (physical < row.range.first || physical > row.range.last) continue;
      auto taken = CompareBlock(check, row, physical, marked, block->data(), erased.data(), image);
      if (!taken) return taken.error();
      someRowHoldsIt = someRowHoldsIt || *taken;
    }
    if (marked && !someRowHoldsIt) ++report.markedBlocks;
  }
  return report;
}

}  // namespace folvane
