// folvane-cli table: a partition table file printed and checked against everything
// a merge guarantees of it.

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli.hpp"
#include "json_report.hpp"

namespace folvane::cli {

int RunTable(const Args& args) {
  if (args.positional.size() != 1) return Usage(kTableCommand, "table takes one FILE");
  const std::string path = args.positional[0];
  const bool json = args.Flag("json");
  nlohmann::json doc = JsonDocument("table");
  doc["path"] = path;
  auto cannotRead = [&](const FileError& error) {
    std::fprintf(stderr, "%s\n", FileErrorText(error).c_str());
    if (json) {
      doc["error"] = FileErrorText(error);
      doc["exitStatus"] = kExitFailed;
      PrintJson(doc);
    }
    return kExitFailed;
  };
  auto file = File::OpenRead(path);
  if (!file) return cannotRead(file.error());
  TableArea area{};
  area.fill(0xFF);
  auto got = file->ReadAt(0, area);
  auto size = file->Size();
  if (!got || !size) return cannotRead(!got ? got.error() : size.error());
  std::vector<std::string> problems;
  auto problem = [&](std::size_t record, const std::string& what) {
    problems.push_back("record " + std::to_string(record) + ": " + what);
  };
  if (*size != kTableSize) {
    problems.push_back(Printable(path) + " is " + std::to_string(*size) + " bytes long, not 512");
  }
  const auto entries = DecodePartitionTable(area);
  if (!json) std::printf("%-4s %-20s %-20s %-20s\n", "row", "start", "end", "blocks");
  nlohmann::json records = nlohmann::json::array();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const PartitionEntry& e = entries[i];
    const std::size_t n = i + 1;
    if (!json) {
      std::printf("%-4zu %-20s %-20s %-20s\n", n, HexDec(e.startBlock).c_str(), HexDec(e.endBlock).c_str(),
                  HexDec(e.imageBlocks).c_str());
    }
    records.push_back({{"record", n},
                       {"startBlock", e.startBlock},
                       {"endBlock", e.endBlock},
                       {"imageBlocks", e.imageBlocks},
                       {"reserved", e.reserved}});
    if (n > static_cast<std::size_t>(kRowCount)) problem(n, "a table holds at most 16 records");
    if (e.reserved != 0xFFFFFFFF) problem(n, "reserved word is " + Hex(e.reserved) + ", not 0xFFFFFFFF");
    if (e.endBlock < e.startBlock) {
      problem(n, "start block " + Hex(e.startBlock) + " lies after end block " + Hex(e.endBlock));
    } else if (std::uint64_t{e.endBlock} - e.startBlock + 1 < e.imageBlocks) {
      problem(n, "the image's " + Hex(e.imageBlocks) + " blocks do not fit blocks " + Hex(e.startBlock) + " to " +
                     Hex(e.endBlock));
    }
    if (i > 0 && e.startBlock <= entries[i - 1].endBlock) {
      problem(n, "start block " + Hex(e.startBlock) + " is not after end block " + Hex(entries[i - 1].endBlock) +
                     " of record " + std::to_string(i));
    }
  }
  for (std::size_t at = (entries.size() + 1) * PartitionEntry::kSize; at < kTableSize; at += PartitionEntry::kSize) {
    const auto first = area.begin() + static_cast<std::ptrdiff_t>(at);
    if (!std::all_of(first, first + PartitionEntry::kSize, [](std::uint8_t b) { return b == 0xFF; })) {
      problems.push_back("record " + std::to_string(at / PartitionEntry::kSize + 1) +
                         " follows the end of the table (the first all-0xFF record)");
    }
  }
  for (const auto& p : problems) std::fprintf(stderr, "folvane-cli: %s\n", p.c_str());
  const int status = problems.empty() ? kExitOk : kExitWithMessages;
  if (json) {
    doc["bytes"] = *size;
    doc["records"] = records;
    doc["problems"] = problems;
    doc["valid"] = problems.empty();
    doc["exitStatus"] = status;
    PrintJson(doc);
  }
  return status;
}

const Command kTableCommand = {"table", "print and check a partition table file",
    "Usage: folvane-cli table FILE [--json]\n"
    "\n"
    "Prints the records of a partition table file. Exit status 1 if the file is not\n"
    "512 bytes, holds more than 16 records, a reserved word is not 0xFFFFFFFF, a record\n"
    "follows the first all-0xFF one, or a record's start lies after its end, its image\n"
    "is longer than its range, or it does not start after the record before it.\n"
    "--json prints the records and the problems as one JSON document.\n",
    {{}, {}, {"json"}},
    RunTable};

}  // namespace folvane::cli
