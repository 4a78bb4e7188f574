// folvane-cli check: everything a merge of the job would decide, from the merge's own
// code run without writing: which rows it takes, why it leaves others out, where each
// partition lands, and whether the outputs could be created.

#include <cstdio>
#include <string>

#include "job/block_mode.hpp"
#include "cli.hpp"
#include "json_report.hpp"
#include "report.hpp"
#include "terminal_map.hpp"
#include "margins.hpp"
#include "image_lint.hpp"

namespace folvane::cli {

namespace {

struct OutputCheck {
  std::string path;
  bool creatable = false;
  std::string problem;  ///< why not, for people
  InPlaceReason inPlace = InPlaceReason::None;
};

// The merge's own checks, made by looking only: nothing is opened for writing.
OutputCheck CheckOutput(const std::string& path, bool allowInPlace) {
  OutputCheck c{path, false, {}};
  if (MergePathTooLong(path)) {
    c.problem = "the path is longer than " + std::to_string(kMergePathChars) + " bytes";
  } else if (const auto probe = ProbeReplacement(path, allowInPlace); !probe) {
    c.problem = !probe.error().detail.empty() ? probe.error().detail
                : probe.error().notAFile        ? "it is not a file"
                                                : FileErrorLine(probe.error());
  } else {
    c.creatable = true;
    c.inPlace = *probe;
  }
  return c;
}

void PrintRows(MemoryForm& form, const MergeResult& result) {
  for (int row = 1; row <= kRowCount; ++row) {
    if (!form.IsRowChecked(row)) continue;
    const PartitionSlot& slot = form.set.Slot(row);
    const MergedRow& merged = result.rows[static_cast<std::size_t>(row - 1)];
    auto block = [](std::uint32_t v) { return v == kUnset ? std::string("unset") : Hex(v); };
    std::string name;  // appended piece by piece: GCC 12 warns of a false overlap otherwise
    if (!slot.name.empty()) name.append("(").append(Printable(slot.name)).append(") ");
    std::printf("  FILE%-2d %s%s\n", row, name.c_str(), Printable(slot.imagePath).c_str());
    std::string size = merged.measured ? std::to_string(merged.imageBytes) + " bytes, " : std::string();
    size += slot.imageBlocks == kUnset ? "length unset" : HexDec(slot.imageBlocks) + " blocks";
    std::string spare;
    if (slot.startBlock != kUnset && slot.endBlock != kUnset && slot.imageBlocks != kUnset &&
        slot.startBlock <= slot.endBlock) {
      spare = ", " + std::to_string(std::int64_t{slot.endBlock} - slot.startBlock + 1 - slot.imageBlocks) + " spare";
    }
    std::printf("         start %s  end %s  %s%s\n", block(slot.startBlock).c_str(), block(slot.endBlock).c_str(),
                size.c_str(), spare.c_str());
    if (merged.accepted) {
      std::printf("         taken, at byte %s of the data image\n", HexDec(merged.offset).c_str());
    } else if (result.tableBuilt) {
      for (const RowRejection& r : result.rejections) {
        if (r.row == row) std::printf("         left out: %s\n", r.Describe().c_str());
      }
    }
    if (!slot.ecc.empty()) {
      std::printf("         page data only, each page laid out with ECC %s\n", Printable(slot.ecc).c_str());
    } else if (!slot.rawEcc.empty()) {
      std::printf("         raw pages that should carry ECC %s\n", Printable(slot.rawEcc).c_str());
    }
  }
}

// Writes the page of a check: never over a file the check reads (the job, its images,
// the outputs, the bad-block list), replaced or written in place as an output is.
bool WriteCheckReport(const std::string& path, const std::string& job, MemoryForm& form, const Args& args,
                      const ReportData& report, Console& console, std::vector<std::string>& details) {
  std::vector<std::string> read = {job, form.GetDataPathText(), form.GetTablePathText()};
  for (int row = 1; row <= kRowCount; ++row) {
    if (form.IsRowChecked(row)) read.push_back(form.GetRowPathText(row));
  }
  if (const auto list = args.Option("bad-blocks")) read.push_back(*list);
  auto say = [&](const std::string& line) {
    details.push_back(line);
    console.Detail(line);
  };
  if (const auto clash = ReportClash(path, read, "check")) {
    say(*clash);
    return false;
  }
  if (NamesStandardStream(path)) {
    say("Report File " + path + " is where standard output or error goes.");
    return false;
  }
  std::string failure;
  std::vector<std::string> lines;
  auto file = OpenReportFile(path, !args.Flag("no-in-place"), failure, lines);
  if (!file) say(failure);
  for (const std::string& line : lines) say(line);
  if (!file) return false;
  const std::string html = ReportHtml(report);
  Status written = WriteReportPage(*file, html);
  if (written) written = file->Commit();
  if (!written) say(FileErrorLine(written.error()));
  return static_cast<bool>(written);
}

}  // namespace

int RunCheck(const Args& args) {
  if (args.positional.size() != 1) return Usage(kCheckCommand, "check takes one JOB.part");
  const bool json = args.Flag("json");
  std::string problem;
  const auto marginOptions = ReadMarginOptions(args, problem);
  if (!marginOptions) return Usage(kCheckCommand, problem);
  const auto markerPages = ReadMarkerPages(args, problem);
  if (!markerPages) return Usage(kCheckCommand, problem);
  // Only the lint reads the images' bytes: without it a check costs no more than
  // measuring the files.
  const bool lint = args.Flag("lint") || args.Option("marker-pages");
  Console console;
  MemoryForm form = FreshForm();
  const std::string job = args.positional[0];
  MergeResult result;
  std::vector<std::string> details;
  int loadStatus = kExitOk;
  const bool loaded = OpenJob(form, console, args, &loadStatus);
  // A text job that is not one: its line and key are said; nothing is checked.
  if (!loaded && loadStatus == kExitUsage && !json) return kExitUsage;
  std::string eccProblem;
  const std::optional<RowCodecs> codecs = loaded ? ReadRowCodecs(form, args, eccProblem) : std::nullopt;
  if (loaded && !codecs) {
    console.Detail(eccProblem);
    if (json) {
      nlohmann::json doc = JsonDocument("check");
      doc["job"] = job;
      doc.update(JobReport(form, result, kExitUsage));
      doc["details"] = nlohmann::json::array({eccProblem});
      doc["exitStatus"] = kExitUsage;
      PrintJson(doc);
    }
    return kExitUsage;
  }
  if (loaded) {
    // Only the messages: status texts of a merge that does not happen would mislead.
    form.onStatus = nullptr;
    form.onProgress = nullptr;
    if (!OutputsAreTheJob(form, job)) {
      MergeOptions options;
      options.dryRun = true;
      options.replaceOutputs = true;
      options.allowInPlace = !args.Flag("no-in-place");
      options.pageCodecs = codecs->PageCodecs();
      options.onRejected = [&](const RowRejection& r) { console.Detail(r.Describe()); };
      options.onDetail = [&](const std::string& line) {
        details.push_back(line);
        console.Detail(line);
      };
      result = form.Merge(options);
      for (const RangeOverlap& o : RecordOverlaps(form, result)) console.Detail(OverlapWarning(o));
    }
  }
  // The margins of the rows the merge would take; a wrong option or list ends the
  // check before it says anything. A file it cannot read ends it too, but a document
  // is still owed to a reader of --json: it comes, status 2, its details naming the file.
  std::optional<Margins> margins;
  std::string unread;
  if (result.tableBuilt) {
    MarginsOrStatus outcome = ComputeMargins(form.set, result, *marginOptions);
    if (!outcome.margins) {
      std::fprintf(stderr, "folvane-cli: %s\n", outcome.problem.c_str());
      if (!json || outcome.status != kExitFailed) return outcome.status;
      unread = outcome.problem;
    }
    margins = std::move(outcome.margins);
  }
  // The lint reads images the merge would copy: only a merge that would complete has
  // them all open and measured.
  std::optional<LintReport> lintReport;
  if (lint && result.completed && unread.empty()) {
    auto read = LintJobImages(form.set, result, form.GetBlockModeSelection(), *markerPages, *codecs);
    if (!read) {
      std::fprintf(stderr, "folvane-cli: %s\n", FileErrorText(read.error()).c_str());
      if (!json) return kExitFailed;
      unread = FileErrorText(read.error());
    } else {
      lintReport = std::move(*read);
      WarnMarks(console, *lintReport);
    }
  }
  int status = loaded ? MergeExitStatus(form, result) : loadStatus;
  if (!unread.empty()) {
    status = kExitFailed;
    details.push_back(unread);
  }
  const bool chipRisk = margins && (margins->AnyOverflow() || RiskExceeded(*margins, *marginOptions));
  const bool marked = lintReport && lintReport->MarkedBlocks() != 0;
  const bool eccDiffers = lintReport && lintReport->DifferingEccSteps() != 0;
  if ((chipRisk || marked || eccDiffers) && status == kExitOk) status = kExitWithMessages;
  const OutputCheck data = CheckOutput(form.GetDataPathText(), !args.Flag("no-in-place"));
  const OutputCheck table = CheckOutput(form.GetTablePathText(), !args.Flag("no-in-place"));
  const std::optional<BadBlockSet> badBlocks = margins ? margins->badBlocks : std::nullopt;
  // The report is gathered only for those who asked for it: it reads the job file
  // and measures the images once more.
  const std::optional<std::string> reportPath = args.Option("report");
  const ReportData report =
      json || reportPath ? FormReport("check", job, form, result, badBlocks) : ReportData{};
  // The page is written last, once everything it says is known; a page that cannot be
  // written ends the check with status 2, the document saying why.
  const bool reportFailed =
      reportPath && loaded && !WriteCheckReport(*reportPath, job, form, args, report, console, details);
  if (reportFailed) status = kExitFailed;
  nlohmann::json doc;
  if (json) doc["report"] = ReportJson(report);

  if (json) {
    doc.update(JsonDocument("check"));
    doc["job"] = job;
    doc.update(JobReport(form, result, status));
    doc["data"]["creatable"] = data.creatable;
    doc["table"]["creatable"] = table.creatable;
    doc["data"]["inPlace"] = InPlaceJson(data.inPlace);
    doc["table"]["inPlace"] = InPlaceJson(table.inPlace);
    doc["details"] = details;
    if (margins && marginOptions->Requested()) AddMarginsJson(doc, *margins, *marginOptions);
    if (lintReport) {
      AddLintJson(doc, *lintReport, *markerPages);
    } else if (lint) {
      doc["lint"] = nullptr;
    }
    doc["exitStatus"] = status;
    PrintJson(doc);
    return status;
  }
  const int mode = StoredBlockMode(form.GetBlockModeSelection());
  std::string label;
  if (mode >= 0 && mode < kBlockModeCount) label.append(" ").append(kBlockModes[static_cast<std::size_t>(mode)].label);
  std::printf("Block mode: %d%s, block size %s bytes, page size %s bytes\n", mode, label.c_str(),
              HexDec(form.geometry.blockSize).c_str(), HexDec(form.geometry.pageSize).c_str());
  PrintRows(form, result);
  if (margins) PrintMargins(*margins, *marginOptions);
  if (lintReport) {
    PrintLint(*lintReport, *markerPages);
  } else if (lint) {
    std::printf("Image lint: not done, the merge would not complete\n");
  }
  if (!args.Flag("no-map")) std::fputs(DrawTerminalMap(FormLayout(form, badBlocks), StandardOutputStyle()).c_str(), stdout);
  for (const OutputCheck* o : {&data, &table}) {
    std::string size;
    if (result.completed) size = (o == &data ? HexDec(result.dataBytes) : HexDec(kTableSize)) + " bytes, ";
    const std::string can = !o->creatable ? "cannot be created: " + o->problem
                            : o->inPlace == InPlaceReason::None || o->inPlace == InPlaceReason::Device
                                ? std::string("can be created")
                                : "can be written in place (" + std::string(InPlaceText(o->inPlace)) + ")";
    std::printf("%s %s\n       %s%s\n", o == &data ? "Data: " : "Table:", Printable(o->path).c_str(), size.c_str(),
                can.c_str());
  }
  std::printf("%s\n", status == kExitOk ? "The merge would take every ticked row."
                      : reportFailed && unread.empty() && MergeExitStatus(form, result) != kExitFailed
                          ? "The merge would complete, but the report could not be written."
                      : status == kExitFailed ? "The merge would end early."
                      : chipRisk && form.messages.empty() && details.empty()
                          ? "The merge would take every ticked row, but a chip could run out of good blocks."
                      : marked && form.messages.empty() && details.empty()
                          ? "The merge would take every ticked row, but a chip would read image blocks as bad."
                      : eccDiffers && form.messages.empty() && details.empty()
                          ? "The merge would take every ticked row, but stored ECC differs from the data's."
                          : "The merge would complete, with messages.");
  return status;
}

const Command kCheckCommand = {"check", "say what a merge of a saved job would do, writing nothing",
    "Usage: folvane-cli check JOB.part [--table FILE] [--data FILE] [--no-in-place]\n"
    "           [--json] [--no-map] [--report FILE.html]\n"
    "           [--bad-blocks FILE] [--max-bad N --chip-blocks B [--max-risk P]]\n"
    "           [--lint] [--marker-pages first,second,last]\n"
    "           [--ecc ROW=SCHEME]... [--raw-ecc ROW=SCHEME]...\n"
    "\n"
    "Runs the merge of JOB.part without creating or writing anything: for each ticked\n"
    "row, whether the merge takes it (and if not, which rule it breaks), the image's\n"
    "size in bytes and blocks as measured now, its range, its spare blocks and its\n"
    "byte offset in the data image; then the data image's size and whether the\n"
    "outputs could be created (or would be written in place, and why), by looking\n"
    "only: nothing is opened for writing. Messages the merge would show go to\n"
    "standard error.\n"
    "A map of the flash follows the rows, scaled to the terminal's width and in\n"
    "colour on a terminal unless NO_COLOR is set; --no-map leaves it out. With\n"
    "--bad-blocks it marks the chip's bad blocks and each row that runs out.\n"
    "--report FILE.html writes the same as one self-contained page for the record.\n"
    "\n"
    "Margins: for each taken row, its range, image blocks and spare blocks. A device\n"
    "programmer skips each bad block of a range and writes the next good one, and\n"
    "rejects the chip when a range runs out of good blocks.\n"
    "  --bad-blocks FILE  a chip's bad blocks (numbers separated by blanks, commas or\n"
    "                     new lines, '#' starts a comment): where each image block\n"
    "                     lands, and each row that runs out of good blocks\n"
    "  --max-bad N        with --chip-blocks B: the chance that a chip whose N bad\n"
    "  --chip-blocks B    blocks lie anywhere in blocks 1 to B-1 overflows each row,\n"
    "                     and the whole job (exact, not sampled); N up to 0x100000\n"
    "  --max-risk P       exit 1 when the job's chance is above P (0.001, 1e-6)\n"
    "Numbers are decimal or hexadecimal with 0x.\n"
    "\n"
    "Image lint (--lint; reads every byte of the taken rows' images once):\n"
    "  each image block that a chip would read as factory-bad once programmed: a\n"
    "  byte other than 0xFF at the first spare byte of a marker page (for pages of 512\n"
    "  data bytes also at the sixth), as a warning naming the row, the image block,\n"
    "  the page and the byte's offset in the image; per row the blocks that are\n"
    "  entirely 0xFF and the run of them that ends the image (the programmer need not\n"
    "  write those); and the 32-bit byte sums a programmer shows: of the data image,\n"
    "  and of each row's range as the data image holds it (0xFF past its end). A\n"
    "  partial last block counts as the merge writes it, completed with 0xFF.\n"
    "  --marker-pages WORDS  the pages a chip marks, of first, second and last,\n"
    "                        separated by commas (all three unless given); implies\n"
    "                        --lint\n"
    "  --raw-ecc ROW=SCHEME  the row's image is raw pages with SCHEME's ECC (see\n"
    "                        folvane-cli ecc): every step is encoded again from its\n"
    "                        data and compared with the ECC stored, erased pages\n"
    "                        counted apart; the steps that differ, the first named\n"
    "                        by image block, page, step and byte offset in the image\n"
    "  --ecc ROW=SCHEME      the row's image is page data only, laid out with SCHEME\n"
    "                        at merge: no mark is looked for in it\n"
    "\n"
    "Exit status: 0 the merge would take every ticked row, 1 it would leave rows out,\n"
    "show messages or take two rows that share blocks, or a chip's range runs out of\n"
    "good blocks, or the risk is above --max-risk, or an image block would read as\n"
    "bad, or a step's stored ECC differs from its data's; 2 it would end early or a\n"
    "file cannot be read, 64 usage (a wrong line in the bad-blocks list, a wrong\n"
    "--marker-pages word or an unknown scheme included).\n",
    JobGrammar({"report", "bad-blocks", "max-bad", "chip-blocks", "max-risk", "marker-pages", "ecc", "raw-ecc"},
               {"ecc", "raw-ecc"},
               {"json", "no-map", "no-in-place", "lint"}),
    RunCheck};

}  // namespace folvane::cli
