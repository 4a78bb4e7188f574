#pragma once
// A programmed chip read back whole (every block's pages with their spare bytes, as
// the device programmer reads it) compared with the data image it was programmed
// from: each row rebuilt by the skip rule from the chip's bad blocks.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ecc/page.hpp"
#include "flash/bad_blocks.hpp"
#include "flash/pages.hpp"
#include "io/file_io.hpp"

namespace folvane {

/// A row to compare: its number, its range, and the ECC scheme its pages carry.
struct DumpCheckRow {
  int row = 0;
  /// Its image blocks stand in the data image from byte range.first x block size on.
  BlockRange range;
  /// For a row with a scheme, the codec of its pages: the data image holds them laid
  /// out, and each page of the chip is read through it. Null: compared byte by byte.
  const PageCodec* codec = nullptr;
};

/// What to compare: the dump, the data image, the rows, and how to tell bad blocks.
struct DumpCheck {
  std::string dumpPath;
  std::string dataPath;
  PageLayout layout;
  /// Each accepted row.
  std::vector<DumpCheckRow> rows;
  /// The chip's bad blocks from a list; without one, from the marks in the dump.
  std::optional<BadBlockSet> badBlocks;
  unsigned markerPages = kMarkAll;
  /// Differing bits a page of a row without a scheme may show and still count as
  /// matching (they are counted).
  std::uint64_t bitflips = 0;
  /// Told the dump's bytes read so far and its size, once a piece; false stops the
  /// comparison (the report then says it was cancelled).
  std::function<bool(std::uint64_t done, std::uint64_t total)> progress;
};

/// Why a step of a row with a scheme does not read as the job's bytes.
enum class StepFault : std::uint8_t {
  kCannotCorrect,  ///< more bits flipped than the code corrects
  kOtherData,      ///< decoded, to other data than the data image's page holds
};

/// A step that does not read as the job's bytes.
struct DumpStep {
  std::uint32_t page = 0;  ///< in its block
  std::uint32_t step = 0;  ///< in its page
  StepFault fault = StepFault::kCannotCorrect;
};

/// The first byte where a row's blocks differ from what the chip should hold; for a
/// row with a scheme, the first step that does not read as the job's bytes.
struct DumpDifference {
  std::uint32_t physicalBlock = 0;
  /// The image block it holds, or nothing for a good block after the image that
  /// should be erased.
  std::optional<std::uint32_t> imageBlock;
  /// The first differing byte; for a step, the first byte of its codeword.
  std::uint64_t dumpOffset = 0;
  std::optional<DumpStep> step;  ///< rows with a scheme only
};

/// A row with a scheme read through its codec. An erased page reads as erased while
/// no step shows more bits at 0 than the code corrects (PageCodec::Decode).
struct DumpEcc {
  std::string scheme;                ///< its text (SchemeText)
  std::uint64_t correctedBits = 0;   ///< in the steps that read as the job's bytes and the others
  unsigned maxInStep = 0;
  /// stepsByBits[b]: steps with b bits corrected, b from 1 to the code's t ([0] unused).
  std::vector<std::uint64_t> stepsByBits;
  std::uint64_t uncorrectableSteps = 0;
  std::uint64_t otherDataSteps = 0;  ///< decoded, to other data than the job's
  /// Pages that should be erased and are not byte for byte, yet read as erased.
  std::uint64_t erasedPagesWithFlips = 0;
};

/// One row as the chip holds it.
struct DumpRow {
  int row = 0;
  BlockRange range;
  std::vector<std::uint32_t> badBlocks;  ///< skipped inside the range, ascending
  std::uint64_t placedBlocks = 0;        ///< image blocks that found a good block
  std::uint64_t differingBits = 0;       ///< byte for byte, with a scheme too
  std::uint64_t differingPages = 0;      ///< pages with at least one differing bit
  /// Pages with more than the accepted bit flips; with a scheme, pages with a step
  /// that does not read as the job's bytes.
  std::uint64_t pagesOverLimit = 0;
  /// Without a scheme, the first differing byte, even within the accepted bit flips;
  /// with one, the first step that does not read as the job's bytes.
  std::optional<DumpDifference> first;
  std::optional<DumpEcc> ecc;            ///< rows with a scheme only
  [[nodiscard]] bool Overflows() const { return placedBlocks < range.imageBlocks; }
  [[nodiscard]] bool Matches() const { return !Overflows() && pagesOverLimit == 0; }
};

struct DumpReport {
  std::uint64_t dumpBytes = 0;
  std::uint64_t chipBlocks = 0;
  /// Set when the dump's size does not fit the job: why, with the size expected.
  std::string sizeProblem;
  std::vector<DumpRow> rows;
  /// Bad blocks found by their marks outside every row's range (a row's own marked
  /// blocks are told with the row).
  std::uint64_t markedBlocks = 0;
  bool cancelled = false;          ///< stopped by the progress callback: the rows are partial
};

/// Reads the dump once, in order, and the data image's row blocks as they are
/// needed (also in order). A file that cannot be opened or read, or a data image
/// that ends before a row's image does, is an error.
Expected<DumpReport> VerifyDump(const DumpCheck& check);

/// A row's result for people: its range, the bad blocks skipped, what its ECC
/// corrected, the first difference, and whether it matches. `bitflips` as checked.
std::string DumpRowText(const DumpRow& row, std::uint64_t bitflips);
/// Where a verify took the chip's bad blocks from: "the list", or "the marks in the
/// first pages (N marked)".
std::string DumpBadBlockSource(const DumpCheck& check, const DumpReport& report);

}  // namespace folvane
