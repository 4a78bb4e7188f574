// folvane-cli show: a saved job in words.

#include <cstdio>

#include "job/block_mode.hpp"
#include "cli.hpp"
#include "json_report.hpp"

namespace folvane::cli {

int RunShow(const Args& args) {
  if (args.positional.size() != 1) return Usage(kShowCommand, "show takes one JOB.part");
  const auto record = ReadJob(args.positional[0]);
  if (!record) {
    if (args.Flag("json")) {
      nlohmann::json doc = JsonDocument("show");
      doc["job"] = args.positional[0];
      doc["error"] = "the job cannot be read";
      doc["exitStatus"] = kExitFailed;
      PrintJson(doc);
    }
    return kExitFailed;
  }
  if (args.Flag("json")) {
    const FlashGeometry g = LookupBlockMode(record->blockModeIndex);
    nlohmann::json doc = JsonDocument("show");
    doc["job"] = args.positional[0];
    doc["tablePath"] = record->tablePath;
    doc["dataPath"] = record->dataPath;
    doc["blockMode"] = record->blockModeIndex;
    // A mode outside the list merges with the default block size, as the window does.
    doc["blockModeLabel"] = record->blockModeIndex < kBlockModeCount
                                ? nlohmann::json(kBlockModes[static_cast<std::size_t>(record->blockModeIndex)].label)
                                : nlohmann::json();
    doc["blockSize"] = g.blockSize;
    doc["pageSize"] = g.pageSize;
    doc["rowCount"] = record->rowCount;
    nlohmann::json rows = nlohmann::json::array();
    for (int i = 0; i < record->UsableRows(); ++i) {
      const PartFileRow& row = record->rows[static_cast<std::size_t>(i)];
      rows.push_back({{"row", i + 1},
                      {"imagePath", row.imagePath},
                      {"startText", row.startText},
                      {"endText", row.endText},
                      {"imageBlocks", row.imageBlocks == kUnset ? nlohmann::json() : nlohmann::json(row.imageBlocks)}});
    }
    doc["rows"] = rows;
    PrintJson(doc);
    return kExitOk;
  }
  std::printf("Table: %s\n", Printable(record->tablePath).c_str());
  std::printf("Data:  %s\n", Printable(record->dataPath).c_str());
  const int mode = record->blockModeIndex;
  const FlashGeometry g = LookupBlockMode(mode);
  if (mode < kBlockModeCount) {
    std::printf("Block mode: %d %s, block size %s bytes, page size %s bytes\n", mode,
                std::string(kBlockModes[static_cast<std::size_t>(mode)].label).c_str(), HexDec(g.blockSize).c_str(),
                HexDec(g.pageSize).c_str());
  } else {
    std::printf("Block mode: none (%d), so the default block size %s bytes, page size %s bytes\n", mode,
                HexDec(g.blockSize).c_str(), HexDec(g.pageSize).c_str());
  }
  if (record->rowCount > kRowCount) {
    std::printf("Rows: %d stored, the first %d used\n", record->rowCount, kRowCount);
  } else {
    std::printf("Rows: %d\n", record->rowCount);
  }
  for (int i = 0; i < record->UsableRows(); ++i) {
    const PartFileRow& row = record->rows[static_cast<std::size_t>(i)];
    const std::string length = row.imageBlocks == kUnset ? "unset" : HexDec(row.imageBlocks) + " blocks";
    std::printf("  FILE%-2d %s\n         start 0x%s  end 0x%s  length %s\n", i + 1, Printable(row.imagePath).c_str(),
                Printable(row.startText).c_str(), Printable(row.endText).c_str(), length.c_str());
  }
  return kExitOk;
}

const Command kShowCommand = {"show", "print a saved job",
    "Usage: folvane-cli show JOB.part [--json]\n"
    "\n"
    "Prints the output paths, the block mode and every saved row of JOB.part. Control\n"
    "characters in stored paths are printed as escapes such as \\x1B. --json prints\n"
    "one JSON document instead (docs/cli-json.md).\n",
    {{}, {}, {"json"}},
    RunShow};

}  // namespace folvane::cli
