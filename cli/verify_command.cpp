// folvane-cli verify: a table and data image read back and compared with what a merge
// of the job writes now, or with the digests of a manifest when the images are not
// at hand.

#include <algorithm>
#include <cstdio>
#include <string>

#include "cli.hpp"
#include "dump_verify.hpp"
#include "manifest/verify_manifest.hpp"
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
    case VerifyPlace::Data: return "data";
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

// The differences as the document lists them, and as lines for people.
nlohmann::json DifferencesJson(const VerifyReport& report, std::vector<std::string>& lines) {
  nlohmann::json differences = nlohmann::json::array();
  for (const VerifyDifference& d : report.differences) {
    const bool inData = d.place != VerifyPlace::Table && !d.byDigest;
    const bool inTable = d.place == VerifyPlace::Table && !d.byDigest;
    differences.push_back({{"place", PlaceName(d.place)},
                           {"cause", CauseName(d.cause)},
                           {"row", d.row == 0 ? nlohmann::json() : nlohmann::json(d.row)},
                           {"block", inData ? nlohmann::json(d.block) : nlohmann::json()},
                           {"record", inTable && d.block ? nlohmann::json(d.block) : nlohmann::json()},
                           {"imageBlock", inData && d.place == VerifyPlace::Partition ? nlohmann::json(d.imageBlock)
                                                                                       : nlohmann::json()},
                           {"offset", d.byDigest ? nlohmann::json() : nlohmann::json(d.offset)},
                           {"description", d.Describe()}});
    lines.push_back(d.Describe());
  }
  return differences;
}

// Whether a place (and, for a partition, its row) came through without a difference.
bool Matches(const VerifyReport& report, VerifyPlace place, int row = 0) {
  return std::none_of(report.differences.begin(), report.differences.end(), [&](const VerifyDifference& d) {
    return d.place == place && (row == 0 || d.row == row);
  });
}

// Ends the command: the differences on standard output (or the document), the
// status as the exit status.
int Finish(bool json, nlohmann::json& doc, const std::vector<std::string>& lines, int status) {
  // Overlapping records match yet end with 1; nothing matches where nothing was read.
  const bool compared = status == kExitOk || status == kExitWithMessages;
  doc["match"] = compared && lines.empty();
  doc["exitStatus"] = status;
  if (json) {
    PrintJson(doc);
  } else {
    for (const std::string& line : lines) std::printf("%s\n", line.c_str());
    const char* verdict = status == kExitOk  ? "The outputs match."
                          : lines.empty()    ? "The outputs match, but their table's records overlap."
                                             : "The outputs differ.";
    if (compared) std::printf("%s\n", verdict);
  }
  return status;
}

int CannotRead(bool json, nlohmann::json& doc, const std::string& why, int status = kExitFailed) {
  std::fprintf(stderr, "folvane-cli: %s\n", why.c_str());
  doc["error"] = why;
  return Finish(json, doc, {}, status);
}

}  // namespace

MergeResult PlanForReading(LoadedJob& loaded, Console& console, const RowCodecs& codecs) {
  loaded.onStatus = nullptr;
  loaded.onProgress = nullptr;
  // What the merge would write now, decided by the merge itself; existing outputs are
  // read, never created, so whether they could be created does not matter.
  MergeOptions options;
  options.dryRun = true;
  options.probeOutputs = false;
  options.pageCodecs = codecs.PageCodecs();
  options.onRejected = [&](const RowRejection& r) { console.Line("folvane-cli: " + r.Describe()); };
  options.onDetail = [&](const std::string& line) { console.Line("folvane-cli: " + line); };
  return loaded.Merge(options);
}

namespace {

int VerifyJob(const Args& args, bool json, nlohmann::json& doc) {
  Console console;
  LoadedJob loaded = FreshJob();
  const std::string job = args.positional[0];
  doc["job"] = job;
  int loadStatus = kExitOk;
  if (!OpenJob(loaded, console, args, &loadStatus)) return CannotRead(json, doc, "the job cannot be loaded", loadStatus);
  std::string eccProblem;
  const auto codecs = ReadRowCodecs(loaded, args, eccProblem);
  if (!codecs) return CannotRead(json, doc, eccProblem, kExitUsage);
  const MergeResult planned = PlanForReading(loaded, console, *codecs);
  const std::uint32_t blockSize = loaded.geometry.blockSize;
  doc["blockSize"] = blockSize;
  if (!planned.completed) return CannotRead(json, doc, "the job cannot be merged now, so there is nothing to compare with");

  VerifyExpectation expected;
  expected.table = planned.plan.table;
  MergeOptions laidOut;
  laidOut.pageCodecs = codecs->PageCodecs();
  laidOut.programErasedPages = loaded.set.programErasedPages;
  expected.regions = DataLayout(loaded.set, planned, laidOut);
  expected.dataBytes = planned.dataBytes;
  expected.blockSize = blockSize;
  for (const TakenRange& taken : planned.plan.TakenRanges()) expected.recordRows.push_back(taken.row);
  const std::string tablePath = loaded.tablePath;
  const std::string dataPath = loaded.dataPath;
  auto report = VerifyOutputs(tablePath, dataPath, expected);
  if (!report) return CannotRead(json, doc, FileErrorText(report.error()));
  // Outputs that match the job still mislead a programmer when records overlap.
  const std::vector<RangeOverlap> overlaps = RecordOverlaps(planned);
  for (const RangeOverlap& o : overlaps) console.Line("folvane-cli: " + OverlapWarning(o));
  doc["overlaps"] = OverlapsJson(overlaps);

  std::vector<std::string> lines;
  const nlohmann::json differences = DifferencesJson(*report, lines);
  const bool tableMatch = Matches(*report, VerifyPlace::Table);
  const bool dataMatch = std::all_of(report->differences.begin(), report->differences.end(),
                                     [](const VerifyDifference& d) { return d.place == VerifyPlace::Table; });
  nlohmann::json partitions = nlohmann::json::array();
  for (const DataRegion& region : expected.regions) {
    if (region.kind != DataRegion::Kind::Partition) continue;
    const bool match = Matches(*report, VerifyPlace::Partition, region.row);
    const PartitionSlot& slot = loaded.set.Slot(region.row);
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

std::string FailureText(const manifest::ManifestFailure& failure) {
  return failure.file ? FileErrorText(*failure.file) : failure.problem;
}

int VerifyManifest(const Args& args, const std::string& manifestPath, bool json, nlohmann::json& doc) {
  doc["manifest"] = manifestPath;
  manifest::ManifestFailure failure;
  const auto manifest = manifest::ReadManifest(manifestPath, failure);
  if (!manifest) {
    return CannotRead(json, doc,
                      failure.file ? FailureText(failure) : Printable(manifestPath) + " is not a manifest: " + failure.problem);
  }
  doc["blockSize"] = manifest->blockSize;

  const std::string tablePath = args.Option("table").value_or(manifest->tablePath);
  const std::string dataPath = args.Option("data").value_or(manifest->dataPath);
  const auto report = manifest::VerifyAgainstManifest(*manifest, tablePath, dataPath, failure);
  if (!report) return CannotRead(json, doc, FailureText(failure));

  std::vector<std::string> lines;
  const nlohmann::json differences = DifferencesJson(*report, lines);
  nlohmann::json partitions = nlohmann::json::array();
  bool partitionsMatch = true;
  for (const manifest::ManifestPartition& p : manifest->partitions) {
    const bool match = Matches(*report, VerifyPlace::Partition, p.row);
    partitionsMatch = partitionsMatch && match;
    nlohmann::json entry = manifest::PartitionPlaceJson(p);
    entry["match"] = match;
    partitions.push_back(std::move(entry));
  }
  doc["table"] = FileJson(tablePath, report->tableBytes, manifest->table.bytes, Matches(*report, VerifyPlace::Table));
  doc["data"] = FileJson(dataPath, report->dataBytes, manifest->data.bytes,
                         partitionsMatch && Matches(*report, VerifyPlace::Data));
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
    "           [--ecc ROW=SCHEME] [--raw-ecc ROW=SCHEME]\n"
    "\n"
    "Reads the table and the data image back and compares them with what a merge of\n"
    "JOB.part writes from the images as they are now: the table's 512 bytes, each\n"
    "partition's blocks (its image, padded with 0xFF), the 0xFF blocks between\n"
    "partitions, and where the data image ends. Names the first differing block of\n"
    "each partition and fill. With --manifest, compares the files with the digests a\n"
    "merge recorded (a .json manifest: SHA-256, CRC-32 and, where it holds them, byte\n"
    "sums), without the images; the paths default to those in the manifest.\n"
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
    "  --bitflips K       up to K differing bits a page still matches (counted), in\n"
    "                     the rows without an ECC scheme\n"
    "  --ecc ROW=SCHEME, --raw-ecc ROW=SCHEME\n"
    "                     the row's pages carry SCHEME (folvane-cli ecc list), laid\n"
    "                     out by the merge or already in the image; instead of the\n"
    "                     job's ecc or raw-ecc\n"
    "A row with an ECC scheme is read through it step by step where a page differs\n"
    "from the data image's: each step must correct to the data image's data, and the\n"
    "corrected bits are counted per row (in all, the most in a step, and how many steps\n"
    "needed each count). A page the data image holds erased must read as erased; one\n"
    "with a few bits at 0 still does, and is counted, while no step shows more of them\n"
    "than the code corrects (its t, or 1 for Hamming).\n"
    "Numbers are decimal or hexadecimal with 0x.\n"
    "\n"
    "Exit status: 0 they match, 1 they differ (or the job's taken rows share blocks,\n"
    "or with --dump a chip's range runs out of good blocks), 2 something cannot be\n"
    "read (or the dump's size does not fit), 64 usage.\n",
    JobGrammar({"manifest", "dump", "marker-pages", "bad-blocks", "bitflips", "ecc", "raw-ecc"}, {"ecc", "raw-ecc"},
               {"json"}),
    RunVerify};

}  // namespace folvane::cli
