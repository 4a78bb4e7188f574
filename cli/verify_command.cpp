// folvane-cli verify: a table and data image read back and compared with what a merge
// of the job writes now, or with the digests of a manifest when the images are not
// at hand.

#include <cstdio>
#include <string>

#include "cli.hpp"
#include "digest.hpp"
#include "dump_verify.hpp"
#include "json_report.hpp"
#include "merge/verify.hpp"

namespace folvane::cli {

namespace {

const char* PlaceName(VerifyPlace place) {
  switch (place) {
    case VerifyPlace::Table: return "table";
    case VerifyPlace::Partition: return "partition";
    case VerifyPlace::Fill: return "fill";
    case VerifyPlace::AfterEnd: return "afterEnd";
  }
  return "table";
}

const char* CauseName(VerifyCause cause) {
  switch (cause) {
    case VerifyCause::Differs: return "differs";
    case VerifyCause::Missing: return "missing";
    case VerifyCause::Extra: return "extra";
  }
  return "differs";
}

nlohmann::json FileJson(const std::string& path, std::uint64_t bytes, std::uint64_t expected, bool match) {
  return {{"path", path}, {"bytes", bytes}, {"expectedBytes", expected}, {"match", match}};
}

// Ends the command: the differences on standard output (or the document), the
// status as the exit status.
int Finish(bool json, nlohmann::json& doc, const std::vector<std::string>& lines, int status) {
  doc["match"] = status != kExitFailed && lines.empty();  // overlapping records match yet end with 1
  doc["exitStatus"] = status;
  if (json) {
    PrintJson(doc);
  } else {
    for (const std::string& line : lines) std::printf("%s\n", line.c_str());
    const char* verdict = status == kExitOk  ? "The outputs match."
                          : lines.empty()    ? "The outputs match, but their table's records overlap."
                                             : "The outputs differ.";
    if (status != kExitFailed) std::printf("%s\n", verdict);
  }
  return status;
}

int CannotRead(bool json, nlohmann::json& doc, const std::string& why) {
  std::fprintf(stderr, "folvane-cli: %s\n", why.c_str());
  doc["error"] = why;
  return Finish(json, doc, {}, kExitFailed);
}

}  // namespace

MergeResult PlanForReading(MemoryForm& form, Console& console) {
  form.onStatus = nullptr;
  form.onProgress = nullptr;
  // What the merge would write now, decided by the merge itself; existing outputs are
  // read, never created, so whether they could be created does not matter.
  MergeOptions options;
  options.dryRun = true;
  options.probeOutputs = false;
  options.onRejected = [&](const RowRejection& r) { console.Line("folvane-cli: " + r.Describe()); };
  options.onDetail = [&](const std::string& line) { console.Line("folvane-cli: " + line); };
  return form.Merge(options);
}

namespace {

int VerifyJob(const Args& args, bool json, nlohmann::json& doc) {
  Console console;
  MemoryForm form = FreshForm();
  const std::string job = args.positional[0];
  doc["job"] = job;
  if (!OpenJob(form, console, args, JobMessages::NamingTheFile)) return CannotRead(json, doc, "the job cannot be loaded");
  const MergeResult planned = PlanForReading(form, console);
  const std::uint32_t blockSize = form.geometry.blockSize;
  doc["blockSize"] = blockSize;
  if (!planned.completed) return CannotRead(json, doc, "the job cannot be merged now, so there is nothing to compare with");

  VerifyExpectation expected;
  expected.table = planned.table;
  expected.regions = DataLayout(form.set, planned, blockSize);
  expected.dataBytes = planned.dataBytes;
  expected.blockSize = blockSize;
  for (int row = 1; row <= kRowCount; ++row) {
    if (planned.rows[static_cast<std::size_t>(row - 1)].accepted) expected.recordRows.push_back(row);
  }
  const std::string tablePath = form.GetTablePathText();
  const std::string dataPath = form.GetDataPathText();
  auto report = VerifyOutputs(tablePath, dataPath, expected);
  if (!report) return CannotRead(json, doc, FileErrorText(report.error()));
  // Outputs that match the job still mislead a programmer when records overlap.
  const std::vector<RangeOverlap> overlaps = RecordOverlaps(form, planned);
  for (const RangeOverlap& o : overlaps) console.Line("folvane-cli: " + OverlapWarning(o));
  doc["overlaps"] = OverlapsJson(overlaps);

  bool tableMatch = true, dataMatch = true;
  nlohmann::json differences = nlohmann::json::array();
  std::vector<std::string> lines;
  for (const VerifyDifference& d : report->differences) {
    (d.place == VerifyPlace::Table ? tableMatch : dataMatch) = false;
    const bool inData = d.place != VerifyPlace::Table;
    differences.push_back({{"place", PlaceName(d.place)},
                           {"cause", CauseName(d.cause)},
                           {"row", d.row == 0 ? nlohmann::json() : nlohmann::json(d.row)},
                           {"block", inData ? nlohmann::json(d.block) : nlohmann::json()},
                           {"record", !inData && d.block ? nlohmann::json(d.block) : nlohmann::json()},
                           {"imageBlock", d.place == VerifyPlace::Partition ? nlohmann::json(d.imageBlock) : nlohmann::json()},
                           {"offset", d.offset},
                           {"description", d.Describe()}});
    lines.push_back(d.Describe());
  }
  nlohmann::json partitions = nlohmann::json::array();
  for (const DataRegion& region : expected.regions) {
    if (region.kind != DataRegion::Kind::Partition) continue;
    bool match = true;
    for (const VerifyDifference& d : report->differences) {
      if (d.place == VerifyPlace::Partition && d.row == region.row) match = false;
    }
    const PartitionSlot& slot = form.set.Slot(region.row);
    partitions.push_back({{"row", region.row},
                          {"startBlock", slot.startBlock},
                          {"endBlock", slot.endBlock},
                          {"imageBlocks", slot.imageBlocks},
                          {"offset", region.offset},
                          {"bytes", region.bytes},
                          {"match", match}});
  }
  doc["table"] = FileJson(tablePath, report->tableBytes, kTableSize, tableMatch);
  doc["data"] = FileJson(dataPath, report->dataBytes, planned.dataBytes, dataMatch);
  doc["partitions"] = partitions;
  doc["differences"] = differences;
  return Finish(json, doc, lines, report->differences.empty() && overlaps.empty() ? kExitOk : kExitWithMessages);
}

// Feeds a whole file to `feed` in pieces; the error if it cannot be read.
template <class Feed>
std::optional<FileError> ReadWhole(const std::string& path, Feed feed) {
  auto file = File::OpenRead(path);
  if (!file) return file.error();
  std::vector<std::uint8_t> piece(std::size_t{1} << 20);
  for (std::uint64_t at = 0;;) {
    auto got = file->ReadAt(at, piece);
    if (!got) return got.error();
    if (*got == 0) return std::nullopt;
    feed(std::span<const std::uint8_t>(piece.data(), *got));
    at += *got;
  }
}

int VerifyManifest(const Args& args, const std::string& manifestPath, bool json, nlohmann::json& doc) {
  doc["manifest"] = manifestPath;
  std::string text;
  // A manifest of sixteen partitions is a few kilobytes; anything far larger is no manifest.
  constexpr std::size_t kMaxManifestBytes = std::size_t{1} << 20;
  if (auto error = ReadWhole(manifestPath, [&](std::span<const std::uint8_t> b) {
        if (text.size() <= kMaxManifestBytes) text.append(reinterpret_cast<const char*>(b.data()), b.size());
      })) {
    return CannotRead(json, doc, FileErrorText(*error));
  }
  const auto parsed = text.size() > kMaxManifestBytes ? nlohmann::json() : nlohmann::json::parse(text, nullptr, false);
  std::string problem = "it is not JSON";
  const auto manifest = parsed.is_discarded() || parsed.is_null() ? std::nullopt : ManifestFromJson(parsed, &problem);
  if (!manifest) return CannotRead(json, doc, Printable(manifestPath) + " is not a manifest: " + problem);
  doc["blockSize"] = manifest->blockSize;

  const std::string tablePath = args.Option("table").value_or(manifest->tablePath);
  const std::string dataPath = args.Option("data").value_or(manifest->dataPath);
  DigestTap tap(manifest->blockSize);
  std::vector<DigestRange> ranges;
  for (const ManifestPartition& p : manifest->partitions) ranges.push_back({p.offset, p.digest.bytes});
  tap.SetRanges(ranges);
  if (auto error = ReadWhole(tablePath, [&](auto b) { tap.TableWritten(b); })) return CannotRead(json, doc, FileErrorText(*error));
  if (auto error = ReadWhole(dataPath, [&](auto b) { tap.DataWritten(b); })) return CannotRead(json, doc, FileErrorText(*error));

  nlohmann::json differences = nlohmann::json::array();
  std::vector<std::string> lines;
  auto compare = [&](const char* place, int row, const DigestValue& got, const DigestValue& want,
                     const std::string& what) {
    if (got == want) return true;
    const char* cause = got.bytes < want.bytes ? "missing" : got.bytes > want.bytes ? "extra" : "differs";
    const std::string line = what + (got.bytes == want.bytes ? ": the digests differ from the manifest's"
                                                             : ": " + std::to_string(got.bytes) + " bytes, the manifest says " +
                                                                   std::to_string(want.bytes));
    differences.push_back({{"place", place},
                           {"cause", cause},
                           {"row", row == 0 ? nlohmann::json() : nlohmann::json(row)},
                           {"block", nullptr},
                           {"record", nullptr},
                           {"imageBlock", nullptr},
                           {"offset", nullptr},
                           {"description", line}});
    lines.push_back(line);
    return false;
  };
  const DigestValue table = tap.Table(), data = tap.Data();
  const std::vector<DigestValue> got = tap.Ranges();
  const bool tableMatch = compare("table", 0, table, manifest->table, "table");
  nlohmann::json partitions = nlohmann::json::array();
  bool partitionsMatch = true;
  for (std::size_t i = 0; i < manifest->partitions.size(); ++i) {
    const ManifestPartition& p = manifest->partitions[i];
    const bool match = compare("partition", p.row, got[i], p.digest, "row " + std::to_string(p.row) + ", blocks " + Hex(p.startBlock) + " to " +
                                                 Hex(std::uint64_t{p.startBlock} + p.imageBlocks - 1));
    partitionsMatch = partitionsMatch && match;
    nlohmann::json entry = PartitionPlaceJson(p);
    entry["match"] = match;
    partitions.push_back(std::move(entry));
  }
  // The fill between partitions has no digest of its own: only the whole image's
  // digest can tell that it differs.
  const bool dataMatch = compare("data", 0, data, manifest->data, "data image");
  doc["table"] = FileJson(tablePath, table.bytes, manifest->table.bytes, tableMatch);
  doc["data"] = FileJson(dataPath, data.bytes, manifest->data.bytes, dataMatch && partitionsMatch);
  doc["partitions"] = partitions;
  doc["differences"] = differences;
  return Finish(json, doc, lines, differences.empty() ? kExitOk : kExitWithMessages);
}

}  // namespace

int RunVerify(const Args& args) {
  const bool json = args.Flag("json");
  const auto manifest = args.Option("manifest");
  if (manifest ? !args.positional.empty() : args.positional.size() != 1) {
    return Usage(kVerifyCommand, "verify takes one JOB.part, or --manifest FILE without one");
  }
  const auto dump = args.Option("dump");
  const bool chipOptions = args.Option("marker-pages") || args.Option("bad-blocks") || args.Option("bitflips");
  if ((dump && manifest) || (chipOptions && !dump)) {
    return Usage(kVerifyCommand, dump ? "--dump takes a JOB.part, not --manifest"
                                      : "--marker-pages, --bad-blocks and --bitflips go with --dump");
  }
  nlohmann::json doc = JsonDocument("verify");
  if (dump) return VerifyDumpOf(args, *dump, json, doc);
  return manifest ? VerifyManifest(args, *manifest, json, doc) : VerifyJob(args, json, doc);
}

const Command kVerifyCommand = {"verify", "compare a merge's outputs with the job or a manifest",
    "Usage: folvane-cli verify JOB.part [--table FILE] [--data FILE] [--json]\n"
    "       folvane-cli verify --manifest FILE [--table FILE] [--data FILE] [--json]\n"
    "       folvane-cli verify JOB.part --dump CHIP.bin [--data FILE] [--json]\n"
    "           [--marker-pages first,second,last] [--bad-blocks FILE] [--bitflips K]\n"
    "\n"
    "Reads the table and the data image back and compares them with what a merge of\n"
    "JOB.part writes from the images as they are now: the table's 512 bytes, each\n"
    "partition's blocks (its image, padded with 0xFF), the 0xFF blocks between\n"
    "partitions, and where the data image ends. Names the first differing block of\n"
    "each partition and fill. With --manifest, compares the files with the digests a\n"
    "merge recorded (a .json manifest), without the images; the paths default to\n"
    "those in the manifest.\n"
    "\n"
    "With --dump, compares a programmed chip read back whole (every block's pages\n"
    "with their spare bytes, as a device programmer reads it) with the data image: for\n"
    "each row, the range's bad blocks are skipped and image block i is looked for in\n"
    "the i-th good block; the good blocks after the image must be erased (0xFF). The\n"
    "chip's block count is the dump's size divided by the block size.\n"
    "  --marker-pages P   the pages whose first spare byte (also the sixth, for pages\n"
    "                     of 512 bytes) marks a bad block when it is not 0xFF:\n"
    "                     first, second, last, or several (default all three)\n"
    "  --bad-blocks FILE  the chip's bad blocks from a list instead of its marks\n"
    "  --bitflips K       up to K differing bits a page still matches (counted)\n"
    "Numbers are decimal or hexadecimal with 0x.\n"
    "\n"
    "Exit status: 0 they match, 1 they differ (or the job's taken rows share blocks,\n"
    "or with --dump a chip's range runs out of good blocks), 2 something cannot be\n"
    "read (or the dump's size does not fit), 64 usage.\n",
    JobGrammar({"manifest", "dump", "marker-pages", "bad-blocks", "bitflips"}, {}, {"json"}),
    RunVerify};

}  // namespace folvane::cli
