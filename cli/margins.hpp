#pragma once
// check's margins: for each accepted row, how many spare blocks its range has, where
// a chip's bad blocks put its image, and how likely a chip is to run out of good
// blocks in it. Everything comes from the core's bad-block model.

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli.hpp"
#include "flash/bad_blocks.hpp"
#include "merge/merge.hpp"

namespace folvane::cli {

/// --bad-blocks, --max-bad, --chip-blocks and --max-risk as given.
struct MarginOptions {
  std::optional<std::string> badBlocksPath;
  std::optional<std::uint64_t> maxBad;
  std::optional<std::uint64_t> chipBlocks;
  std::optional<double> maxRisk;
  /// A chip was described: the rows' documents then carry the margins' fields.
  [[nodiscard]] bool Requested() const { return badBlocksPath || maxBad || chipBlocks; }
};

/// The options' values, or nothing and `problem` says which is wrong.
std::optional<MarginOptions> ReadMarginOptions(const Args& args, std::string& problem);

/// A bad-blocks file read and parsed, or the exit status to end with and why: 2 when
/// the file cannot be read, 64 when a line of it is wrong.
struct LoadedBadBlocks {
  std::optional<BadBlockSet> set;
  int status = kExitOk;
  std::string problem;
};
LoadedBadBlocks LoadBadBlocks(const std::string& path, std::optional<std::uint64_t> chipBlocks);

/// One accepted row's margin.
struct RowMargin {
  int row = 0;
  BlockRange range;
  std::optional<RangePlacement> placement;  ///< with --bad-blocks
  std::optional<long double> overflow;      ///< with --max-bad and --chip-blocks
};

struct Margins {
  std::vector<RowMargin> rows;
  bool overlap = false;                  ///< two accepted ranges share blocks
  std::optional<BadBlockSet> badBlocks;  ///< the chip's, with --bad-blocks
  std::optional<long double> job;        ///< chance that any row overflows
  [[nodiscard]] bool AnyOverflow() const;
  [[nodiscard]] bool RiskExceeded(const MarginOptions& options) const;
};

/// The margins of the rows `result` accepted, or the exit status (2 or 64) and the
/// problem that prevents them.
struct MarginOutcome {
  std::optional<Margins> margins;
  int status = kExitOk;
  std::string problem;
};
MarginOutcome ComputeMargins(const PartitionSet& set, const MergeResult& result, const MarginOptions& options);

/// The margins for people, on standard output.
void PrintMargins(const Margins& margins, const MarginOptions& options);
/// Adds the margins to check's document and to its rows.
void AddMarginsJson(nlohmann::json& doc, const Margins& margins, const MarginOptions& options);

/// "about 1 in 81,000 chips", "about 7 in 10 chips", "nearly every chip", "every chip",
/// "no chip".
std::string OneIn(long double probability);

}  // namespace folvane::cli
