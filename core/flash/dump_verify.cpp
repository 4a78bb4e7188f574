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

// The bits that differ between two runs of bytes. A worn chip's page differs from
// the data image's in a bit or two, so the count is taken only of the words that
// differ: the processor this is built for may have no instruction for it, and the
// library's count costs a call a word.
std::uint64_t DifferingBits(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
  std::uint64_t bits = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) bits += static_cast<std::uint64_t>(std::popcount(x ^ y));
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

bool AllErased(const std::uint8_t* bytes, std::size_t n) {
  return n == 0 || (bytes[0] == 0xFF && std::memcmp(bytes, bytes + 1, n - 1) == 0);
}

// Room to read one page of a row with a scheme.
struct EccScratch {
  std::vector<std::uint8_t> data, codeword, wanted;
  DumpEcc unused;  // the counts of a block only looked at (for its mark)
};

// How the chip's page holds step `s` against the data image's page: the bits that
// differ in its codeword, and whether its stored ECC bytes are the same.
struct StepDiff {
  std::uint64_t codewordBits = 0;
  bool sameEcc = true;
  [[nodiscard]] bool Same() const { return codewordBits == 0 && sameEcc; }
};

StepDiff DiffStep(const PageCodec& codec, std::size_t s, const std::uint8_t* got, const std::uint8_t* want) {
  const StepPlace& p = codec.Plan().steps[s];
  const std::uint32_t step = codec.Scheme().step, stored = codec.Scheme().eccBytes;
  StepDiff diff;
  // Most steps of a worn page are whole: the library's comparison passes over them
  // faster than any count.
  auto bits = [](const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    return std::memcmp(a, b, n) == 0 ? 0 : DifferingBits(a, b, n);
  };
  diff.codewordBits = bits(got + p.at[0], want + p.at[0], p.split) + bits(got + p.at[1], want + p.at[1], step - p.split);
  const std::uint32_t* at = codec.Plan().eccOffsets.data() + s * stored;
  for (std::uint32_t i = 0; i < stored && diff.sameEcc; ++i) diff.sameEcc = got[at[i]] == want[at[i]];
  return diff;
}

// Whether a decoded codeword's data bytes are those of step `s` in the data image's
// page (its codeword's first dataLen bytes, at their places in the page).
bool SameData(const PageCodec& codec, std::size_t s, const std::uint8_t* codeword, const std::uint8_t* want) {
  const StepPlace& p = codec.Plan().steps[s];
  if (p.dataLen <= p.split) return std::memcmp(codeword, want + p.at[0], p.dataLen) == 0;
  return std::memcmp(codeword, want + p.at[0], p.split) == 0 &&
         std::memcmp(codeword + p.split, want + p.at[1], p.dataLen - p.split) == 0;
}

void CountCorrected(DumpEcc& ecc, int bits) {
  if (bits <= 0) return;
  const auto b = static_cast<unsigned>(bits);
  ecc.correctedBits += b;
  ecc.maxInStep = std::max(ecc.maxInStep, b);
  if (b >= ecc.stepsByBits.size()) ecc.stepsByBits.resize(b + 1);
  ++ecc.stepsByBits[b];
}

// The steps that do not read as the job's bytes, counted in `ecc`, the first kept.
struct StepFaults {
  DumpEcc& ecc;
  std::optional<DumpStep> first;
  void Fail(std::size_t s, StepFault fault) {
    (fault == StepFault::kCannotCorrect ? ecc.uncorrectableSteps : ecc.otherDataSteps) += 1;
    if (!first) first = DumpStep{0, static_cast<std::uint32_t>(s), fault};
  }
};

// A page the data image holds erased, which the chip's page must read as.
std::optional<DumpStep> CompareErasedPage(const PageCodec& codec, const std::uint8_t* got, DumpEcc& ecc,
                                          EccScratch& scratch) {
  StepFaults faults{ecc, std::nullopt};
  const PageDecode read = codec.Decode(std::span(got, codec.PageBytes()), std::span(scratch.data).first(codec.DataBytes()));
  if (read.state == PageState::kErased || read.state == PageState::kErasedWithFlips) {
    ++ecc.erasedPagesWithFlips;
    return std::nullopt;
  }
  for (std::size_t s = 0; s < codec.Plan().steps.size() && s < read.steps.size(); ++s) {
    const StepPlace& p = codec.Plan().steps[s];
    if (read.steps[s] == kUncorrectable) {
      faults.Fail(s, StepFault::kCannotCorrect);
      continue;
    }
    CountCorrected(ecc, read.steps[s]);
    if (!AllErased(scratch.data.data() + p.dataFrom, p.dataLen)) faults.Fail(s, StepFault::kOtherData);
  }
  return faults.first;
}

// A page of the chip that is not byte for byte the data image's, read through the
// row's codec, its counts added to `ecc`: the first step that does not read as the
// job's bytes, or nothing when all do. A page the data image holds erased must read
// as erased; any other must give the data image's data in every step. `pageBits`
// receives the bits the two pages differ in: where the codewords are the page's data
// in one piece, added up from the steps' differences, which are counted anyway, and
// the spare area's, so that the page is not counted through a second time.
std::optional<DumpStep> ComparePage(const PageCodec& codec, const std::uint8_t* got, const std::uint8_t* want,
                                    DumpEcc& ecc, EccScratch& scratch, std::uint64_t& pageBits) {
  const std::uint32_t pageBytes = codec.PageBytes();
  const std::size_t steps = codec.Plan().steps.size();
  if (!codec.Plan().contiguous || AllErased(want, pageBytes)) {
    pageBits = DifferingBits(got, want, pageBytes);
    if (AllErased(want, pageBytes)) return CompareErasedPage(codec, got, ecc, scratch);
  } else {
    pageBits = DifferingBits(got + codec.DataBytes(), want + codec.DataBytes(), pageBytes - codec.DataBytes());
  }
  StepFaults faults{ecc, std::nullopt};
  auto fail = [&](std::size_t s, StepFault fault) { faults.Fail(s, fault); };
  for (std::size_t s = 0; s < steps; ++s) {
    // A step with the very bytes of the data image's reads as the job's data, as a
    // byte-identical block does.
    const StepDiff diff = DiffStep(codec, s, got, want);
    if (codec.Plan().contiguous) pageBits += diff.codewordBits;
    if (diff.Same()) continue;
    // Whether the data image holds this step with its right ECC: asked at most once,
    // and of this step alone (a worn chip shows a flip in one step of most pages, and
    // checking the whole page there cost as much again as the comparison).
    std::optional<bool> wantRight;
    auto wantHoldsItsEcc = [&] {
      if (!wantRight) wantRight = codec.StepMatches(std::span(want, pageBytes), s);
      return *wantRight;
    };
    // Up to t bits flipped in the codeword of a step that the data image holds with
    // its right ECC: the decoder can only find that codeword (any other is more than
    // t bits away) and would correct exactly those bits. So the flips are counted
    // without decoding, which a chip that shows a few flips in most pages would
    // otherwise spend most of its time in.
    if (diff.sameEcc && diff.codewordBits <= codec.Scheme().Corrects() && wantHoldsItsEcc()) {
      CountCorrected(ecc, static_cast<int>(diff.codewordBits));
      continue;
    }
    const std::uint32_t step = codec.Scheme().step;
    const int bits = codec.DecodeStep(std::span(got, pageBytes), s, std::span(scratch.codeword).first(step));
    if (bits == kUncorrectable) {
      fail(s, StepFault::kCannotCorrect);
      continue;
    }
    CountCorrected(ecc, bits);
    // The job's data is the data image's step read through the code: its bytes as
    // they stand where its ECC is right, else corrected as the chip's are.
    bool same = false;
    if (wantHoldsItsEcc()) {
      same = SameData(codec, s, scratch.codeword.data(), want);
    } else {
      static_cast<void>(codec.DecodeStep(std::span(want, pageBytes), s, std::span(scratch.wanted).first(step)));
      same = std::memcmp(scratch.codeword.data(), scratch.wanted.data(), codec.Plan().steps[s].dataLen) == 0;
    }
    if (!same) fail(s, StepFault::kOtherData);
  }
  return faults.first;
}

// Whether every page of the chip's block reads through the codec as the data image's
// block: byte for byte, or step by step.
bool ReadsAs(const PageCodec& codec, const std::uint8_t* got, const std::uint8_t* want, const PageLayout& layout,
             EccScratch& scratch) {
  const std::uint32_t pageBytes = layout.PageBytes();
  for (std::uint32_t page = 0; page < layout.pagesPerBlock; ++page) {
    const std::size_t at = std::size_t{page} * pageBytes;
    std::uint64_t bits = 0;
    if (std::memcmp(got + at, want + at, pageBytes) != 0 &&
        ComparePage(codec, got + at, want + at, scratch.unused, scratch, bits))
      return false;
  }
  return true;
}

// One block of the chip as `row` sees it: a bad block it skips, the next image block
// of the row, or a block after the image that should be erased. A block that carries
// a mark but holds, within the accepted bit flips (for a row with a scheme: read
// through its codec), the image block the row expects next is that image block: its
// own bytes put the mark there (an image block whose spare area is not 0xFF), or a
// flipped bit did, and taking it for a factory-bad block would compare every later
// block of the row one block off. True when the block counts as good for the row.
Expected<bool> CompareBlock(const DumpCheck& check, const PageCodec* codec, DumpRow& row, std::uint32_t physical,
                            bool marked, const std::uint8_t* got, const std::uint8_t* erased, BlockReader& image,
                            EccScratch& scratch) {
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
  // Through a codec an erased page reads as erased with its marker byte at 0x00, so a
  // factory-bad block left erased would pass for an image block that is all 0xFF (the
  // empty blocks of a file system image): such a block is taken as bad, as its mark says.
  if (bad && marked && imageLeft &&
      (codec ? !AllErased(expected.data(), expected.size()) && ReadsAs(*codec, got, expected.data(), check.layout, scratch)
             : WithinBitflips(got, expected.data(), check.layout, check.bitflips))) {
    bad = false;
  }
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
  // page by page count of bits (and reading through the codec) only where it finds a
  // difference.
  if (std::memcmp(got, want, blockBytes) == 0) return true;
  for (std::uint32_t page = 0; page < check.layout.pagesPerBlock; ++page) {
    const std::size_t at = std::size_t{page} * pageBytes;
    if (std::memcmp(got + at, want + at, pageBytes) == 0) continue;
    ++row.differingPages;
    if (codec) {
      std::uint64_t bits = 0;
      std::optional<DumpStep> step = ComparePage(*codec, got + at, want + at, *row.ecc, scratch, bits);
      row.differingBits += bits;
      if (!step) continue;
      ++row.pagesOverLimit;
      if (!row.first) {
        step->page = page;
        const std::uint64_t byte = at + codec->Plan().steps[step->step].at[0];
        row.first = DumpDifference{physical, imageBlock, std::uint64_t{physical} * blockBytes + byte, step};
      }
      continue;
    }
    const std::uint64_t bits = DifferingBits(got + at, want + at, pageBytes);
    row.differingBits += bits;
    if (bits > check.bitflips) ++row.pagesOverLimit;
    if (!row.first) {
      const auto byte = static_cast<std::size_t>(std::mismatch(got + at, got + at + pageBytes, want + at).first - got);
      row.first = DumpDifference{physical, imageBlock, std::uint64_t{physical} * blockBytes + byte, std::nullopt};
    }
  }
  return true;
}

// Whether the dump is a whole number of blocks and reaches the end of every row's
// range: `report.chipBlocks` set where it is, `report.sizeProblem` where it is not.
bool DumpSizeFits(const DumpCheck& check, DumpReport& report) {
  const std::uint64_t blockBytes = check.layout.BlockBytes();
  std::uint64_t needed = 1;  // blocks the job's ranges reach
  int lastRow = 0;
  for (const DumpCheckRow& r : check.rows) {
    if (std::uint64_t{r.range.last} + 1 > needed) {
      needed = std::uint64_t{r.range.last} + 1;
      lastRow = r.row;
    }
  }
  if (report.dumpBytes % blockBytes != 0) {
    const std::uint64_t below = report.dumpBytes / blockBytes * blockBytes;
    report.sizeProblem = "it is " + std::to_string(report.dumpBytes) + " bytes, not a whole number of blocks of " +
                         Hex(blockBytes) + " bytes (" + std::to_string(below) + " or " +
                         std::to_string(below + blockBytes) + " bytes would be)";
    return false;
  }
  report.chipBlocks = report.dumpBytes / blockBytes;
  if (report.chipBlocks < needed) {
    report.sizeProblem = "it holds " + Hex(report.chipBlocks) + " blocks, but row " + std::to_string(lastRow) +
                         "'s range ends at block " + Hex(needed - 1) + ": at least " +
                         std::to_string(needed * blockBytes) + " bytes are expected";
    return false;
  }
  return true;
}

// The report's rows, nothing found yet, and room to read the pages of every scheme.
void StartRows(const DumpCheck& check, DumpReport& report, EccScratch& scratch) {
  for (const DumpCheckRow& r : check.rows) {
    DumpRow row;
    row.row = r.row;
    row.range = r.range;
    if (r.codec) {
      row.ecc.emplace();
      row.ecc->scheme = SchemeText(r.codec->Scheme());
      row.ecc->stepsByBits.assign(r.codec->Scheme().Corrects() + 1, 0);
      scratch.data.resize(std::max<std::size_t>(scratch.data.size(), r.codec->DataBytes()));
      scratch.codeword.resize(std::max<std::size_t>(scratch.codeword.size(), r.codec->Scheme().step));
      scratch.wanted.resize(scratch.codeword.size());
    }
    report.rows.push_back(std::move(row));
  }
}

}  // namespace

Expected<DumpReport> VerifyDump(const DumpCheck& check) {
  DumpReport report;
  const std::uint64_t blockBytes = check.layout.BlockBytes();
  auto dump = File::OpenRead(check.dumpPath);
  if (!dump) return dump.error();
  report.dumpBytes = dump->OpenedSize();
  if (!DumpSizeFits(check, report)) return report;
  auto data = File::OpenRead(check.dataPath);
  if (!data) return data.error();

  const std::uint64_t pieceBlocks = std::max<std::uint64_t>(1, kPieceBytes / blockBytes);
  BlockReader chip(*dump, blockBytes, pieceBlocks), image(*data, blockBytes, pieceBlocks);
  EccScratch scratch;
  StartRows(check, report, scratch);

  const std::vector<std::uint8_t> erased(blockBytes, 0xFF);
  for (std::uint64_t b = 0; b < report.chipBlocks; ++b) {
    if (check.progress && b % pieceBlocks == 0 && !check.progress(b * blockBytes, report.dumpBytes)) {
      report.cancelled = true;
      return report;
    }
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
    for (std::size_t i = 0; i < report.rows.size(); ++i) {
      DumpRow& row = report.rows[i];
      if (physical < row.range.first || physical > row.range.last) continue;
      auto taken = CompareBlock(check, check.rows[i].codec, row, physical, marked, block->data(), erased.data(), image,
                                scratch);
      if (!taken) return taken.error();
      someRowHoldsIt = someRowHoldsIt || *taken;
    }
    if (marked && !someRowHoldsIt) ++report.markedBlocks;
  }
  return report;
}

namespace {

std::string BlockList(const std::vector<std::uint32_t>& blocks) {
  std::string text;
  constexpr std::size_t kShown = 16;
  for (std::size_t i = 0; i < blocks.size() && i < kShown; ++i) text += (i ? ", " : "") + Hex(blocks[i]);
  if (blocks.size() > kShown) text += ", ... (" + std::to_string(blocks.size()) + " in all)";
  return text;
}

std::string Plural(std::uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// What reading a row through its codec found, for people.
std::string EccText(const DumpEcc& e) {
  std::string text = "ECC " + e.scheme + ": " + Plural(e.correctedBits, "bit", "bits") + " corrected";
  if (e.correctedBits != 0) {
    std::string histogram;
    for (std::size_t b = 1; b < e.stepsByBits.size(); ++b) {
      if (e.stepsByBits[b] == 0) continue;
      histogram += (histogram.empty() ? "" : ", ") + Plural(e.stepsByBits[b], "step", "steps") + " with " + std::to_string(b);
    }
    text += " (at most " + std::to_string(e.maxInStep) + " in a step: " + histogram + ")";
  }
  if (e.erasedPagesWithFlips != 0) text += ", " + Plural(e.erasedPagesWithFlips, "erased page", "erased pages") + " with flipped bits";
  if (e.uncorrectableSteps != 0) text += ", " + Plural(e.uncorrectableSteps, "step", "steps") + " uncorrectable";
  if (e.otherDataSteps != 0) text += ", " + Plural(e.otherDataSteps, "step reads", "steps read") + " other data than the job's";
  return text;
}

}  // namespace

std::string DumpBadBlockSource(const DumpCheck& check, const DumpReport& report) {
  if (check.badBlocks) return "the list";
  return "the marks in the " + MarkerPagesText(check.markerPages) + " pages (" + std::to_string(report.markedBlocks) +
         " marked)";
}

std::string DumpRowText(const DumpRow& r, std::uint64_t bitflips) {
  std::string line = "row " + std::to_string(r.row) + ": blocks " + Hex(r.range.first) + " to " + Hex(r.range.last) +
                     ", image " + Hex(r.range.imageBlocks) + " blocks; ";
  line += r.badBlocks.empty() ? "no bad block" : "bad blocks skipped: " + BlockList(r.badBlocks);
  if (r.Overflows()) {
    line += "; runs out of good blocks: only " + std::to_string(r.placedBlocks) + " of " +
            std::to_string(r.range.imageBlocks) + " image blocks found one";
  }
  if (r.ecc) line += "; " + EccText(*r.ecc);
  if (r.first) {
    const DumpDifference& d = *r.first;
    line += "; first difference at block " + Hex(d.physicalBlock) +
            (d.imageBlock ? " (image block " + Hex(*d.imageBlock) + ")" : std::string(" (after the image, should be erased)"));
    if (d.step) {
      line += ", page " + Hex(d.step->page) + ", step " + std::to_string(d.step->step) +
              (d.step->fault == StepFault::kCannotCorrect ? " (uncorrectable)" : " (reads other data than the job's)") +
              ", at byte " + Hex(d.dumpOffset) + " of the dump";
    } else {
      line += ", byte " + Hex(d.dumpOffset) + " of the dump";
    }
    line += "; " + std::to_string(r.differingBits) + (r.differingBits == 1 ? " bit differs in " : " bits differ in ") +
            std::to_string(r.differingPages) + (r.differingPages == 1 ? " page" : " pages");
    if (bitflips != 0 && !r.ecc) {
      line += ", " + std::to_string(r.pagesOverLimit) + " of them beyond --bitflips " + std::to_string(bitflips);
    }
  }
  if (!r.Matches()) return line + "; DIFFERS";
  if (r.ecc) return line + (r.differingPages != 0 ? "; matches through its ECC" : "; matches");
  return line + (r.first ? "; matches within --bitflips" : "; matches");
}

}  // namespace folvane
