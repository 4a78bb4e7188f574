// folvane-cli table: a partition table file printed and checked against everything
// a merge guarantees of it.

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cli.hpp"
#include "json_report.hpp"

namespace folvane::cli {

namespace {

// The table's first 512 bytes, 0xFF past its end, and the file's length; or why they
// cannot be read.
std::optional<FileError> ReadTableArea(const std::string& path, TableArea& area, std::uint64_t& bytes) {
  auto file = File::OpenRead(path);
  if (!file) return file.error();
  area.fill(0xFF);
  auto got = file->ReadAt(0, area);
  auto size = file->Size();
  if (!got || !size) return !got ? got.error() : size.error();
  bytes = *size;
  return std::nullopt;
}

// What record `i` breaks of what a merge guarantees, each with its record number.
void AddRecordProblems(const std::vector<PartitionEntry>& entries, std::size_t i, std::vector<std::string>& problems) {
  const PartitionEntry& e = entries[i];
  const std::size_t n = i + 1;
  auto problem = [&](const std::string& what) { problems.push_back("record " + std::to_string(n) + ": " + what); };
  if (n > static_cast<std::size_t>(kRowCount)) problem("a table holds at most 16 records");
  if (e.reserved != 0xFFFFFFFF) problem("reserved word is " + Hex(e.reserved) + ", not 0xFFFFFFFF");
  // The merge's own acceptance rule, in the table's words.
  switch (RangeRule(BlockRange{e.startBlock, e.endBlock, e.imageBlocks})) {
    case SlotRule::BlockUnset: problem("a block is 0xFFFFFFFF, which no merge records"); break;
    case SlotRule::EndBeforeStart:
      problem("start block " + Hex(e.startBlock) + " lies after end block " + Hex(e.endBlock));
      break;
    case SlotRule::ImageTooLong:
      problem("the image's " + Hex(e.imageBlocks) + " blocks do not fit blocks " + Hex(e.startBlock) + " to " +
              Hex(e.endBlock));
      break;
    default: break;
  }
  if (i > 0 && e.startBlock <= entries[i - 1].endBlock) {
    problem("start block " + Hex(e.startBlock) + " is not after end block " + Hex(entries[i - 1].endBlock) +
            " of record " + std::to_string(i));
  }
}

std::vector<std::string> TableProblems(const std::string& path, std::uint64_t bytes, const TableArea& area,
                                       const std::vector<PartitionEntry>& entries) {
  std::vector<std::string> problems;
  if (bytes != kTableSize) {
    problems.push_back(Printable(path) + " is " + std::to_string(bytes) + " bytes long, not 512");
  }
  for (std::size_t i = 0; i < entries.size(); ++i) AddRecordProblems(entries, i, problems);
  // Past the all-0xFF record that ends the table, every byte is 0xFF.
  for (std::size_t at = (entries.size() + 1) * PartitionEntry::kSize; at < kTableSize; at += PartitionEntry::kSize) {
    const auto first = area.begin() + static_cast<std::ptrdiff_t>(at);
    if (!std::all_of(first, first + PartitionEntry::kSize, [](std::uint8_t b) { return b == 0xFF; })) {
      problems.push_back("record " + std::to_string(at / PartitionEntry::kSize + 1) +
                         " follows the end of the table (the first all-0xFF record)");
    }
  }
  return problems;
}

void PrintRecords(const std::vector<PartitionEntry>& entries) {
  std::printf("%-4s %-20s %-20s %-20s\n", "row", "start", "end", "blocks");
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const PartitionEntry& e = entries[i];
    std::printf("%-4zu %-20s %-20s %-20s\n", i + 1, HexDec(e.startBlock).c_str(), HexDec(e.endBlock).c_str(),
                HexDec(e.imageBlocks).c_str());
  }
}

nlohmann::json RecordsJson(const std::vector<PartitionEntry>& entries) {
  nlohmann::json records = nlohmann::json::array();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const PartitionEntry& e = entries[i];
    records.push_back({{"record", i + 1},
                       {"startBlock", e.startBlock},
                       {"endBlock", e.endBlock},
                       {"imageBlocks", e.imageBlocks},
                       {"reserved", e.reserved}});
  }
  return records;
}

}  // namespace

int RunTable(const Args& args) {
  if (args.positional.size() != 1) return Usage(kTableCommand, "table takes one FILE");
  const std::string path = args.positional[0];
  const bool json = args.Flag("json");
  nlohmann::json doc = JsonDocument("table");
  doc["path"] = path;
  TableArea area{};
  std::uint64_t bytes = 0;
  if (const auto error = ReadTableArea(path, area, bytes)) {
    std::fprintf(stderr, "%s\n", FileErrorText(*error).c_str());
    if (json) {
      doc["error"] = FileErrorText(*error);
      doc["exitStatus"] = kExitFailed;
      PrintJson(doc);
    }
    return kExitFailed;
  }
  const std::vector<PartitionEntry> entries = DecodePartitionTable(area);
  if (!json) PrintRecords(entries);
  const std::vector<std::string> problems = TableProblems(path, bytes, area, entries);
  for (const auto& p : problems) std::fprintf(stderr, "folvane-cli: %s\n", p.c_str());
  const int status = problems.empty() ? kExitOk : kExitWithMessages;
  if (json) {
    doc["bytes"] = bytes;
    doc["records"] = RecordsJson(entries);
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
    "follows the first all-0xFF one, or a record's start lies after its end, a block is\n"
    "0xFFFFFFFF, its image is longer than its range, or it does not start after the\n"
    "record before it.\n"
    "--json prints the records and the problems as one JSON document.\n",
    {{}, {}, {"json"}},
    RunTable};

}  // namespace folvane::cli
