#pragma once
// The images of a job read the way a chip will hold them: image blocks that a chip
// would take for factory-bad once programmed (a byte other than 0xFF where the mark
// goes), blocks that are entirely 0xFF and need not be programmed, and the 32-bit
// byte sums a device programmer shows for the data image and for each range.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ecc/page.hpp"

#include "flash/bad_blocks.hpp"
#include "flash/pages.hpp"
#include "io/file_io.hpp"

namespace folvane {

/// One accepted row: its image and its range; the data image holds its blocks from
/// byte range.first x block size on.
struct LintRow {
  int row = 0;
  std::string imagePath;
  BlockRange range;
  /// The scheme whose ECC a raw image's pages carry: every step's stored ECC is
  /// computed again from its data and compared.
  const PageCodec* rawEcc = nullptr;
  /// The image holds page data only, laid out with its spare area by the merge: its
  /// bytes are no page's spare area, and no mark is looked for in them.
  bool pageData = false;
  /// With pageData, the codec the merge lays the pages out with: the blocks are read
  /// as page data and looked at, and summed, as the merge writes them.
  const PageCodec* pageCodec = nullptr;
  bool programErased = false;
};

/// What to read: the rows in data image order, their pages, and which pages a chip
/// marks.
struct LintJob {
  PageLayout layout;
  unsigned markerPages = kMarkAll;
  std::vector<LintRow> rows;
};

/// A mark in an image block: the block would read as factory-bad after programming.
struct LintMark {
  std::uint32_t imageBlock = 0;
  std::uint32_t page = 0;           ///< within the block
  std::uint64_t imageOffset = 0;    ///< of the byte, in the image file
  std::uint8_t value = 0;           ///< the byte found there
};

/// A step whose stored ECC is not what its data gives.
struct LintEccDifference {
  std::uint32_t imageBlock = 0;
  std::uint32_t page = 0;         ///< within the block
  std::uint32_t step = 0;         ///< within the page
  std::uint64_t imageOffset = 0;  ///< of the first stored ECC byte that differs, in the image file
};

/// A raw image's stored ECC against its data. Erased pages (all 0xFF) are counted
/// apart: they carry no ECC.
struct LintEcc {
  EccScheme scheme;
  std::uint64_t pages = 0;  ///< pages checked, erased ones not included
  std::uint64_t erasedPages = 0;
  std::uint64_t steps = 0;
  std::uint64_t differingSteps = 0;
  std::uint64_t differingPages = 0;
  std::optional<LintEccDifference> first;
};

/// Image blocks first.. first+count-1.
struct BlockRun {
  std::uint32_t first = 0;
  std::uint32_t count = 0;
  friend bool operator==(const BlockRun&, const BlockRun&) = default;
};

/// One row's image as the data image will hold it: a partial last block completed
/// with 0xFF.
struct LintRowReport {
  int row = 0;
  BlockRange range;
  std::uint64_t imageBytes = 0;
  std::vector<LintMark> marks;           ///< one per marked block, in block order
  bool pageData = false;                 ///< marks not looked for (see LintRow::pageData)
  std::optional<LintEcc> ecc;            ///< with LintRow::rawEcc
  std::vector<BlockRun> erasedRuns;      ///< blocks entirely 0xFF, in order
  std::uint64_t erasedBlocks = 0;
  /// The run of 0xFF blocks that ends the image: the programmer need not write them.
  std::uint32_t trailingErased = 0;
  /// The range first..last as the data image holds it, bytes beyond the data image's
  /// end counted as 0xFF, as an erased chip and a programmer's blank buffer hold them.
  std::uint32_t rangeSum = 0;
};

struct LintReport {
  std::vector<LintRowReport> rows;
  std::uint64_t dataBytes = 0;  ///< the data image's length
  std::uint32_t dataSum = 0;    ///< of the data image as the merge writes it
  std::uint64_t bytesRead = 0;
  [[nodiscard]] std::uint64_t MarkedBlocks() const;
  /// Steps whose stored ECC differs, in all rows.
  [[nodiscard]] std::uint64_t DifferingEccSteps() const;
};

/// Reads each row's image once, in order, in large pieces. An image that cannot be
/// read, or whose length no longer gives the row's image blocks, is an error. Rows
/// must start in ascending order, each at or after the end of the image above, as the
/// merge accepts them.
Expected<LintReport> LintImages(const LintJob& job);

}  // namespace folvane
