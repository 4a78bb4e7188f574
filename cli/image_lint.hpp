#pragma once
// check --lint: the images of the rows a merge would take, read once, the way a chip
// will hold them. The core's LintImages does the reading; this is the command line's
// wording of it.

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "cli.hpp"
#include "flash/image_lint.hpp"
#include "merge/merge.hpp"

namespace folvane::cli {

/// --marker-pages as given (all three pages without it), or nothing and `problem`
/// says which word is wrong.
std::optional<unsigned> ReadMarkerPages(const Args& args, std::string& problem);

/// The lint of the rows `result` accepted, read from their images now, or the file
/// error that stopped it. A row with a raw scheme in `codecs` has its stored ECC
/// checked; one with a page data scheme has no marks looked for.
Expected<LintReport> LintJobImages(const PartitionSet& set, const MergeResult& result, int blockModeSelection,
                                   unsigned markerPages, const RowCodecs& codecs);

/// Each marked block as a warning on the console, a few per row, and each row's
/// first step whose stored ECC differs.
void WarnMarks(Console& console, const LintReport& lint);
/// The lint for people, on standard output.
void PrintLint(const LintReport& lint, unsigned markerPages);
/// Adds the lint to check's document and to its rows.
void AddLintJson(nlohmann::json& doc, const LintReport& lint, unsigned markerPages);

}  // namespace folvane::cli
