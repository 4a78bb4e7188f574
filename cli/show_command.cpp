// folvane-cli show: a saved job in words, as JSON, or as a text job.

#include <cstdio>

#include "job/block_mode.hpp"
#include "job/text_job.hpp"
#include "io/utf8_path.hpp"
#include "cli.hpp"
#include "json_report.hpp"

namespace folvane::cli {

namespace {

// The text of an output a job may leave to the window's defaults.
std::string OutputText(const std::optional<std::string>& path) {
  return path ? Printable(*path) : std::string("(not given: the window's default)");
}

// A job that cannot be read, for --json: the reason is already on standard error.
void PrintUnreadableJson(const std::string& path, int status) {
  nlohmann::json doc = JsonDocument("show");
  doc["job"] = path;
  doc["error"] = "the job cannot be read";
  doc["exitStatus"] = status;
  PrintJson(doc);
}

// --toml: paths relative to the job's own folder where they lie under it.
int PrintTextJob(const std::string& path, const JobFile& file) {
  std::string problem;
  const auto text = TextJobAt(file.text ? file.job : WithAbsolutePaths(file.job), path, problem);
  if (!text) {
    std::fprintf(stderr, "folvane-cli: %s cannot be shown as a text job: %s\n", Printable(path).c_str(),
                 Printable(problem).c_str());
    return kExitFailed;
  }
  std::fputs(text->c_str(), stdout);
  return kExitOk;
}

nlohmann::json RowJson(std::size_t number, const JobRow& row) {
  const bool known = row.imageBlocks && *row.imageBlocks != kUnset;
  return {{"row", number},
          {"name", row.name.empty() ? nlohmann::json() : nlohmann::json(row.name)},
          {"imagePath", row.imagePath},
          {"startText", row.startText},
          {"endText", row.endText},
          {"imageBlocks", known ? nlohmann::json(*row.imageBlocks) : nlohmann::json()}};
}

void PrintJobJson(const std::string& path, const JobFile& file, int storedRows) {
  const Job& job = file.job;
  const int mode = job.blockMode;
  const FlashGeometry g = LookupBlockMode(mode);
  nlohmann::json doc = JsonDocument("show");
  doc["job"] = path;
  doc["format"] = file.text ? "text" : "part";
  doc["tablePath"] = job.tablePath ? nlohmann::json(*job.tablePath) : nlohmann::json();
  doc["dataPath"] = job.dataPath ? nlohmann::json(*job.dataPath) : nlohmann::json();
  doc["blockMode"] = mode;
  // A mode outside the list merges with the default block size, as the window does.
  doc["blockModeLabel"] = mode < kBlockModeCount ? nlohmann::json(kBlockModes[static_cast<std::size_t>(mode)].label)
                                                 : nlohmann::json();
  doc["blockSize"] = g.blockSize;
  doc["pageSize"] = g.pageSize;
  doc["rowCount"] = storedRows;
  nlohmann::json rows = nlohmann::json::array();
  for (std::size_t i = 0; i < job.rows.size(); ++i) rows.push_back(RowJson(i + 1, job.rows[i]));
  doc["rows"] = rows;
  PrintJson(doc);
}

void PrintBlockMode(int mode) {
  const FlashGeometry g = LookupBlockMode(mode);
  if (mode < kBlockModeCount) {
    std::printf("Block mode: %d %s, block size %s bytes, page size %s bytes\n", mode,
                std::string(kBlockModes[static_cast<std::size_t>(mode)].label).c_str(), HexDec(g.blockSize).c_str(),
                HexDec(g.pageSize).c_str());
  } else {
    std::printf("Block mode: none (%d), so the default block size %s bytes, page size %s bytes\n", mode,
                HexDec(g.blockSize).c_str(), HexDec(g.pageSize).c_str());
  }
}

void PrintRow(std::size_t number, const JobRow& row) {
  const std::string length = !row.imageBlocks          ? "not saved (measured when the job is loaded)"
                             : *row.imageBlocks == kUnset ? "unset"
                                                          : HexDec(*row.imageBlocks) + " blocks";
  std::string name;  // appended piece by piece: GCC 12 warns of a false overlap otherwise
  if (!row.name.empty()) name.append("(").append(Printable(row.name)).append(") ");
  std::printf("  FILE%-2zu %s%s\n         start 0x%s  end 0x%s  length %s\n", number, name.c_str(),
              Printable(row.imagePath).c_str(), Printable(row.startText).c_str(), Printable(row.endText).c_str(),
              length.c_str());
}

void PrintJob(const Job& job, int storedRows) {
  std::printf("Table: %s\n", OutputText(job.tablePath).c_str());
  std::printf("Data:  %s\n", OutputText(job.dataPath).c_str());
  PrintBlockMode(job.blockMode);
  if (storedRows > kRowCount) {
    std::printf("Rows: %d stored, the first %d used\n", storedRows, kRowCount);
  } else {
    std::printf("Rows: %d\n", storedRows);
  }
  for (std::size_t i = 0; i < job.rows.size(); ++i) PrintRow(i + 1, job.rows[i]);
}

}  // namespace

int RunShow(const Args& args) {
  if (args.positional.size() != 1) return Usage(kShowCommand, "show takes one JOB");
  const std::string path = args.positional[0];
  int status = kExitFailed;
  const auto file = ReadJobFile(path, status);
  if (!file) {
    if (args.Flag("json")) PrintUnreadableJson(path, status);
    return status;
  }
  if (args.Flag("toml")) return PrintTextJob(path, *file);
  const int storedRows = file->record ? file->record->rowCount : static_cast<int>(file->job.rows.size());
  if (args.Flag("json")) {
    PrintJobJson(path, *file, storedRows);
  } else {
    PrintJob(file->job, storedRows);
  }
  return kExitOk;
}

const Command kShowCommand = {"show", "print a saved job",
    "Usage: folvane-cli show JOB [--json | --toml]\n"
    "\n"
    "Prints the output paths, the block mode and every saved row of JOB, a .part file\n"
    "or a text job. Control characters in stored paths are printed as escapes such as\n"
    "\\x1B. --json prints one JSON document instead (docs/cli-json.md); --toml prints\n"
    "the job as a text job, its paths relative to the job's folder where they lie\n"
    "under it.\n",
    {{}, {}, {"json", "toml"}},
    RunShow};

}  // namespace folvane::cli
