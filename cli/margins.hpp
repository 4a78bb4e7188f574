#pragma once
// check's margins on the command line: its options, and the core's margins printed
// and added to the documents.

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "cli.hpp"
#include "flash/margins.hpp"
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

/// The margins of the rows `result` accepted, or the exit status (2 or 64) and the
/// problem that prevents them.
struct MarginsOrStatus {
  std::optional<Margins> margins;
  int status = kExitOk;
  std::string problem;
};
MarginsOrStatus ComputeMargins(const MergeResult& result, const MarginOptions& options);

/// Whether the job's chance of overflowing passes --max-risk.
bool RiskExceeded(const Margins& margins, const MarginOptions& options);

/// The margins for people, on standard output.
void PrintMargins(const Margins& margins, const MarginOptions& options);
/// Adds the margins to check's document and to its rows.
void AddMarginsJson(nlohmann::json& doc, const Margins& margins, const MarginOptions& options);

}  // namespace folvane::cli
