#pragma once
// A job's margins on a chip: for each taken row, how many spare blocks its range has,
// where a chip's bad blocks put its image, and how likely a chip is to run out of
// good blocks in it, with the words operators read. The command line's check and the
// window's pane both show these.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "flash/bad_blocks.hpp"
#include "io/file_io.hpp"

namespace folvane {

/// "about 1 in 81,000 chips", "about 7 in 10 chips", "nearly every chip", "every chip",
/// "no chip".
std::string OneIn(long double probability);
/// A chance to three significant digits ("0.0123", "1.5e-07").
std::string ChanceText(long double probability);

/// A bad-block list read from its file. `set` holds it; otherwise either `error` says
/// why the file cannot be read, or `line` and `problem` name what is wrong in it.
struct BadBlockFile {
  std::optional<BadBlockSet> set;
  std::optional<FileError> error;  ///< with its path set to the list's
  std::size_t line = 0;            ///< from 1; 0 when the file as a whole is wrong
  std::string problem;
};
BadBlockFile ReadBadBlockFile(const std::string& path, std::optional<std::uint64_t> chipBlocks);

/// The chip a job's margins are worked out on: its bad blocks as listed, and/or a
/// count of bad blocks on a chip of so many blocks.
struct ChipModel {
  std::optional<BadBlockSet> badBlocks;
  std::optional<std::uint64_t> maxBad;
  std::optional<std::uint64_t> chipBlocks;
};

/// One taken row's margin.
struct RowMargin {
  int row = 0;
  BlockRange range;
  std::optional<RangePlacement> placement;  ///< on a chip with listed bad blocks
  std::optional<long double> overflow;      ///< with a count of bad blocks
};

struct Margins {
  std::vector<RowMargin> rows;
  bool overlap = false;                  ///< two taken ranges share blocks
  std::optional<BadBlockSet> badBlocks;  ///< the chip's listed ones
  std::optional<std::uint64_t> maxBad;
  std::optional<std::uint64_t> chipBlocks;
  std::optional<long double> job;        ///< chance that any row overflows
  [[nodiscard]] bool AnyOverflow() const;
};

/// The margins of the taken rows on `chip`, or the problem that prevents them (a
/// chip too small for a range).
struct MarginOutcome {
  std::optional<Margins> margins;
  std::string problem;
};
MarginOutcome ComputeMargins(const std::vector<TakenRange>& taken, const ChipModel& chip);

/// The margins for people, a line each.
std::vector<std::string> MarginLines(const Margins& margins);

}  // namespace folvane
