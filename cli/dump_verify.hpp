#pragma once
// verify --dump: a programmed chip read back whole, compared with the job.

#include <string>

#include <nlohmann/json.hpp>

#include "cli.hpp"
#include "json_report.hpp"

namespace folvane::cli {

/// A dry run of the job's merge for commands that read outputs back: its messages on
/// the console, no status texts, and no question whether the outputs could be created.
MergeResult PlanForReading(LoadedJob& loaded, Console& console, const RowCodecs& codecs);

/// Compares the dump at `dumpPath` with JOB.part's data image; the exit status.
int VerifyDumpOf(const Args& args, const std::string& dumpPath, bool json, nlohmann::json& doc);

}  // namespace folvane::cli
