#pragma once
// The one JSON document a command prints with --json: built as a value and written
// once, at the end, on standard output. docs/cli-json.md describes every field.

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "merge/loaded_job.hpp"
#include "merge/merge.hpp"
#include "manifest/report.hpp"

namespace folvane::cli {

/// The document's version, raised when a field changes meaning or goes away.
inline constexpr int kJsonVersion = 1;

/// A document's first fields: the command and the version.
nlohmann::json JsonDocument(const std::string& command);
/// Writes the document on standard output. Texts that are not UTF-8 (a path saved on
/// a Chinese Windows) have each bad byte replaced by U+FFFD.
void PrintJson(const nlohmann::json& document);

/// What check and merge report of a job: its block mode, every checked row with what
/// the merge decided, the outputs, the messages shown and the exit status.
nlohmann::json JobReport(LoadedJob& loaded, const MergeResult& result, int exitStatus);

/// A row's spare blocks with an image of `imageBlocks`, or nothing while a block field
/// is unset or the range is reversed.
std::optional<std::uint64_t> ShownSpareBlocks(const PartitionSlot& slot, std::uint32_t imageBlocks);

/// What the report says of the job `loaded`, laid out as the check or merge left it
/// (placed on a chip with `badBlocks`, when given).
manifest::ReportData ReportDataOf(const std::string& command, const std::string& jobPath, LoadedJob& loaded,
                        const MergeResult& result, const std::optional<BadBlockSet>& badBlocks = std::nullopt);

/// Why an output is (or would be) written in place, or null where it is replaced.
nlohmann::json InPlaceJson(InPlaceReason reason);

/// The exit status a merge (or check) ends with: 0 done without a message, 1 done
/// with messages or overlapping records, 2 ended early.
int MergeExitStatus(const LoadedJob& loaded, const MergeResult& result);

/// The accepted rows of a merge (or check) whose records share blocks.
std::vector<RangeOverlap> RecordOverlaps(const MergeResult& result);
/// The warning line of one overlap, as printed and as the documents carry it.
std::string OverlapWarning(const RangeOverlap& overlap);
/// The documents' "overlaps" array.
nlohmann::json OverlapsJson(const std::vector<RangeOverlap>& overlaps);

}  // namespace folvane::cli
