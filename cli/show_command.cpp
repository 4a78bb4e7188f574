// folvane-cli show: a saved job in words.

#include <cstdio>

#include "block_mode.hpp"
#include "cli.hpp"

namespace folvane::cli {

int RunShow(const Args& args) {
  if (args.positional.size() != 1) return Usage(CommandNamed("show"), "show takes one JOB.part");
  const auto record = ReadJob(args.positional[0]);
  if (!record) return kExitFailed;
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

}  // namespace folvane::cli
