// verify --dump: a whole programmed chip, read back, compared with the job's data
// image row by row, each row rebuilt by the programmer's skip rule.

#include "dump_verify.hpp"

#include <cstdio>

#include "flash/dump_verify.hpp"
#include "job/block_mode.hpp"
#include "image_lint.hpp"
#include "json_report.hpp"
#include "margins.hpp"

namespace folvane::cli {

namespace {

const char* FaultName(StepFault fault) {
  return fault == StepFault::kCannotCorrect ? "uncorrectable" : "otherData";
}

nlohmann::json EccJson(const DumpEcc& e) {
  nlohmann::json histogram = nlohmann::json::array();
  for (std::size_t b = 1; b < e.stepsByBits.size(); ++b) {
    if (e.stepsByBits[b] != 0) histogram.push_back({{"bits", b}, {"steps", e.stepsByBits[b]}});
  }
  return {{"scheme", e.scheme},
          {"correctedBits", e.correctedBits},
          {"maxInStep", e.maxInStep},
          {"histogram", histogram},
          {"uncorrectableSteps", e.uncorrectableSteps},
          {"otherDataSteps", e.otherDataSteps},
          {"erasedPagesWithFlips", e.erasedPagesWithFlips}};
}

int Fail(bool json, nlohmann::json& doc, const std::string& why, int status = kExitFailed) {
  std::fprintf(stderr, "folvane-cli: %s\n", why.c_str());
  doc["error"] = why;
  doc["match"] = false;
  doc["exitStatus"] = status;
  if (json) PrintJson(doc);
  return status;
}

// The chip's bad blocks from --bad-blocks, once the dump is known to be of this job's
// chip: a dump of the wrong size is the problem to name first. Nothing when the
// marks are to be read instead; the status otherwise (64: a wrong list).
int ReadDumpBadBlocks(const Args& args, DumpCheck& check, bool json, nlohmann::json& doc) {
  const auto list = args.Option("bad-blocks");
  if (!list) return kExitOk;
  const auto size = MeasureFile(check.dumpPath);
  if (!size) return Fail(json, doc, FileErrorText(size.error()));
  const std::uint64_t blockBytes = check.layout.BlockBytes();
  std::uint64_t needed = 0;
  for (const DumpCheckRow& r : check.rows) needed = std::max<std::uint64_t>(needed, std::uint64_t{r.range.last} + 1);
  if (*size % blockBytes != 0 || *size / blockBytes < std::max<std::uint64_t>(needed, 1)) return kExitOk;
  LoadedBadBlocks bad = LoadBadBlocks(*list, *size / blockBytes);
  if (bad.status == kExitUsage) {
    std::fprintf(stderr, "folvane-cli: %s\n", bad.problem.c_str());
    return kExitUsage;
  }
  if (!bad.set) return Fail(json, doc, bad.problem);
  check.badBlocks = std::move(bad.set);
  return kExitOk;
}

nlohmann::json RowJson(const DumpRow& r) {
  nlohmann::json first;
  if (r.first) {
    first = {{"physicalBlock", r.first->physicalBlock},
             {"imageBlock", r.first->imageBlock ? nlohmann::json(*r.first->imageBlock) : nlohmann::json()},
             {"dumpOffset", r.first->dumpOffset}};
    if (r.first->step) {
      first["page"] = r.first->step->page;
      first["step"] = r.first->step->step;
      first["stepFault"] = FaultName(r.first->step->fault);
    }
  }
  return {{"row", r.row},
          {"startBlock", r.range.first},
          {"endBlock", r.range.last},
          {"imageBlocks", r.range.imageBlocks},
          {"badBlocks", r.badBlocks},
          {"placedBlocks", r.placedBlocks},
          {"overflows", r.Overflows()},
          {"differingBits", r.differingBits},
          {"differingPages", r.differingPages},
          {"pagesOverLimit", r.pagesOverLimit},
          {"firstDifference", first},
          {"ecc", r.ecc ? EccJson(*r.ecc) : nlohmann::json()},
          {"match", r.Matches()}};
}

// The comparison's result: the document, or the rows for people; the exit status.
int ShowDumpReport(const DumpCheck& check, const DumpReport& report, bool overlaps, bool json, nlohmann::json& doc) {
  bool match = true;
  nlohmann::json rows = nlohmann::json::array();
  std::vector<std::string> lines;
  for (const DumpRow& r : report.rows) {
    match = match && r.Matches();
    lines.push_back(DumpRowText(r, check.bitflips));
    rows.push_back(RowJson(r));
  }
  // Rows whose records share blocks mislead a programmer even where the chip matches.
  const int status = match && !overlaps ? kExitOk : kExitWithMessages;
  doc["chip"] = {{"path", check.dumpPath},
                 {"bytes", report.dumpBytes},
                 {"blocks", report.chipBlocks},
                 {"badBlocksFrom", check.badBlocks ? "list" : "marks"},
                 {"markerPages", MarkerPagesText(check.markerPages)},
                 {"markedBlocks", report.markedBlocks},
                 {"bitflips", check.bitflips}};
  doc["data"] = check.dataPath;
  doc["rows"] = rows;
  doc["match"] = match;
  doc["exitStatus"] = status;
  if (json) {
    PrintJson(doc);
    return status;
  }
  std::printf("Chip: %s, %s blocks; bad blocks from %s\n", Printable(check.dumpPath).c_str(),
              HexDec(report.chipBlocks).c_str(), DumpBadBlockSource(check, report).c_str());
  for (const std::string& line : lines) std::printf("%s\n", line.c_str());
  std::printf("%s\n", match ? "The chip holds the job." : "The chip does not hold the job.");
  return status;
}

}  // namespace

int VerifyDumpOf(const Args& args, const std::string& dumpPath, bool json, nlohmann::json& doc) {
  std::string problem;
  const auto pages = ReadMarkerPages(args, problem);
  if (!pages) return Usage(kVerifyCommand, problem);
  std::uint64_t bitflips = 0;
  if (const auto text = args.Option("bitflips")) {
    const auto value = ParseCount(*text, UINT32_MAX);
    if (!value) return Usage(kVerifyCommand, "--bitflips takes a number (decimal, or hexadecimal with 0x), not '" + Printable(*text) + "'");
    bitflips = *value;
  }

  Console console;
  LoadedJob loaded = FreshJob();
  doc["job"] = args.positional.at(0);
  doc["dump"] = dumpPath;
  int loadStatus = kExitOk;
  if (!OpenJob(loaded, console, args, &loadStatus)) return Fail(json, doc, "the job cannot be loaded", loadStatus);
  std::string eccProblem;
  const auto codecs = ReadRowCodecs(loaded, args, eccProblem);
  if (!codecs) return Fail(json, doc, eccProblem, kExitUsage);
  const MergeResult planned = PlanForReading(loaded, console, *codecs);
  doc["blockSize"] = loaded.geometry.blockSize;
  if (!planned.completed) return Fail(json, doc, "the job cannot be merged now, so there is nothing to compare with");
  // Rows whose records share blocks are each compared on their own, and warned of as
  // every command warns of them: the chip's programmer cannot hold both.
  const std::vector<RangeOverlap> overlaps = RecordOverlaps(planned);
  for (const RangeOverlap& o : overlaps) console.Detail(OverlapWarning(o));
  doc["overlaps"] = OverlapsJson(overlaps);

  DumpCheck check;
  check.dumpPath = dumpPath;
  check.dataPath = loaded.dataPath;
  check.layout = PageLayoutOf(loaded.blockMode);
  check.markerPages = *pages;
  check.bitflips = bitflips;
  for (const auto& [row, range] : planned.plan.TakenRanges()) {
    const auto i = static_cast<std::size_t>(row - 1);
    const std::optional<PageCodec>& codec = codecs->ecc[i] ? codecs->ecc[i] : codecs->raw[i];
    check.rows.push_back({row, range, codec ? &*codec : nullptr});
  }
  if (const int status = ReadDumpBadBlocks(args, check, json, doc); status != kExitOk) return status;
  auto report = VerifyDump(check);
  if (!report) return Fail(json, doc, FileErrorText(report.error()));
  if (!report->sizeProblem.empty()) return Fail(json, doc, Printable(dumpPath) + " is no dump of this job's chip: " + report->sizeProblem);
  return ShowDumpReport(check, *report, !overlaps.empty(), json, doc);
}

}  // namespace folvane::cli
