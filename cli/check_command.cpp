// folvane-cli check: everything a merge of the job would decide, from the merge's own
// code run without writing: which rows it takes, why it leaves others out, where each
// partition lands, and whether the outputs could be created.

#include <cstdio>
#include <string>

#include "job/block_mode.hpp"
#include "cli.hpp"
#include "json_report.hpp"
#include "manifest/report.hpp"
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
  if (PathTooLongToStore(path)) {
    c.problem = "the path is longer than " + std::to_string(kMaxPathBytes) + " bytes";
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

void PrintRows(LoadedJob& loaded, const MergeResult& result) {
  for (int row = 1; row <= kRowCount; ++row) {
    if (!loaded.IsRowChecked(row)) continue;
    const PartitionSlot& slot = loaded.set.Slot(row);
    const PlannedRow& planned = result.plan.Row(row);
    auto block = [](std::uint32_t v) { return v == kUnset ? std::string("unset") : Hex(v); };
    std::string name;  // appended piece by piece: GCC 12 warns of a false overlap otherwise
    if (!slot.name.empty()) name.append("(").append(Printable(slot.name)).append(") ");
    std::printf("  FILE%-2d %s%s\n", row, name.c_str(), Printable(slot.imagePath).c_str());
    std::string size = planned.imageBytes ? std::to_string(*planned.imageBytes) + " bytes, " : std::string();
    size += slot.imageBlocks == kUnset ? "length unset" : HexDec(slot.imageBlocks) + " blocks";
    std::string spare;
    if (const auto blocks = ShownSpareBlocks(slot, slot.imageBlocks)) spare = ", " + std::to_string(*blocks) + " spare";
    std::printf("         start %s  end %s  %s%s\n", block(slot.startBlock).c_str(), block(slot.endBlock).c_str(),
                size.c_str(), spare.c_str());
    if (planned.taken) {
      std::printf("         taken, at byte %s of the data image\n", HexDec(planned.offset).c_str());
    } else if (const RowRejection* r = result.tableBuilt ? result.plan.RejectionOf(row) : nullptr) {
      std::printf("         left out: %s\n", r->Describe().c_str());
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
bool WriteCheckReport(const std::string& path, const std::string& job, LoadedJob& loaded, const Args& args,
                      const manifest::ReportData& report, Console& console, std::vector<std::string>& details) {
  std::vector<std::string> read = {job, loaded.dataPath, loaded.tablePath};
  for (int row = 1; row <= kRowCount; ++row) {
    if (loaded.IsRowChecked(row)) read.push_back(loaded.GetRowPathText(row));
  }
  if (const auto list = args.Option("bad-blocks")) read.push_back(*list);
  auto say = [&](const std::string& line) {
    details.push_back(line);
    console.Detail(line);
  };
  if (const auto clash = manifest::ReportClash(path, read, "check")) {
    say(*clash);
    return false;
  }
  if (NamesStandardStream(path)) {
    say("Report File " + path + " is where standard output or error goes.");
    return false;
  }
  std::string failure;
  std::vector<std::string> lines;
  auto file = manifest::OpenReportFile(path, !args.Flag("no-in-place"), failure, lines);
  if (!file) say(failure);
  for (const std::string& line : lines) say(line);
  if (!file) return false;
  const std::string html = manifest::ReportHtml(report);
  Status written = manifest::WriteReportPage(*file, html);
  if (written) written = file->Commit();
  if (!written) say(FileErrorLine(written.error()));
  return static_cast<bool>(written);
}

}  // namespace

namespace {

// One check, step by step: what it was asked, the merge run dry, the chip's margins,
// the lint, and then the document or the text.
class CheckRun {
 public:
  explicit CheckRun(const Args& args) : args_(args), json_(args.Flag("json")), job_(args.positional.at(0)) {}
  int Run();

 private:
  bool ReadOptions(int& status);
  bool DryMerge(int& status);
  bool ReadMargins(int& status);
  bool Lint(int& status);
  int Status(bool reportFailed) const;
  std::string Verdict(int status, bool reportFailed) const;
  void PrintJsonDocument(int status, const manifest::ReportData& report, const OutputCheck& data, const OutputCheck& table);
  void PrintText(int status, bool reportFailed, const OutputCheck& data, const OutputCheck& table);
  [[nodiscard]] std::optional<BadBlockSet> BadBlocks() const { return margins_ ? margins_->badBlocks : std::nullopt; }

  const Args& args_;
  const bool json_;
  const std::string job_;
  std::optional<MarginOptions> marginOptions_;
  std::optional<unsigned> markerPages_;
  bool lint_ = false;
  Console console_;
  LoadedJob loadedJob_ = FreshJob();
  MergeResult result_;
  std::vector<std::string> details_;
  int loadStatus_ = kExitOk;
  bool loaded_ = false;
  std::optional<RowCodecs> codecs_;
  std::optional<Margins> margins_;
  std::optional<LintReport> lintReport_;
  std::string unread_;  ///< a file the margins or the lint could not read, for --json
};

bool CheckRun::ReadOptions(int& status) {
  std::string problem;
  marginOptions_ = ReadMarginOptions(args_, problem);
  if (marginOptions_) markerPages_ = ReadMarkerPages(args_, problem);
  if (!marginOptions_ || !markerPages_) {
    status = Usage(kCheckCommand, problem);
    return false;
  }
  // Only the lint reads the images' bytes: without it a check costs no more than
  // measuring the files.
  lint_ = args_.Flag("lint") || args_.Option("marker-pages");
  return true;
}

bool CheckRun::DryMerge(int& status) {
  loaded_ = OpenJob(loadedJob_, console_, args_, &loadStatus_);
  // A text job that is not one: its line and key are said; nothing is checked.
  if (!loaded_ && loadStatus_ == kExitUsage && !json_) {
    status = kExitUsage;
    return false;
  }
  if (!loaded_) return true;
  std::string eccProblem;
  codecs_ = ReadRowCodecs(loadedJob_, args_, eccProblem);
  if (!codecs_) {
    console_.Detail(eccProblem);
    if (json_) {
      nlohmann::json doc = JsonDocument("check");
      doc["job"] = job_;
      doc.update(JobReport(loadedJob_, result_, kExitUsage));
      doc["details"] = nlohmann::json::array({eccProblem});
      doc["exitStatus"] = kExitUsage;
      PrintJson(doc);
    }
    status = kExitUsage;
    return false;
  }
  // Only the messages: status texts of a merge that does not happen would mislead.
  loadedJob_.onStatus = nullptr;
  loadedJob_.onProgress = nullptr;
  if (OutputsAreTheJob(loadedJob_, job_)) return true;
  MergeOptions options;
  options.dryRun = true;
  options.replaceOutputs = true;
  options.allowInPlace = !args_.Flag("no-in-place");
  options.pageCodecs = codecs_->PageCodecs();
  options.onRejected = [&](const RowRejection& r) { console_.Detail(r.Describe()); };
  options.onDetail = [&](const std::string& line) {
    details_.push_back(line);
    console_.Detail(line);
  };
  result_ = loadedJob_.Merge(options);
  for (const RangeOverlap& o : RecordOverlaps(result_)) console_.Detail(OverlapWarning(o));
  return true;
}

// The margins of the rows the merge would take; a wrong option or list ends the check
// before it says anything. A file it cannot read ends it too, but a document is still
// owed to a reader of --json: it comes, status 2, its details naming the file.
bool CheckRun::ReadMargins(int& status) {
  if (!result_.tableBuilt) return true;
  MarginsOrStatus outcome = ComputeMargins(result_, *marginOptions_);
  if (!outcome.margins) {
    std::fprintf(stderr, "folvane-cli: %s\n", outcome.problem.c_str());
    if (!json_ || outcome.status != kExitFailed) {
      status = outcome.status;
      return false;
    }
    unread_ = outcome.problem;
  }
  margins_ = std::move(outcome.margins);
  return true;
}

// The lint reads images the merge would copy: only a merge that would complete has
// them all open and measured.
bool CheckRun::Lint(int& status) {
  if (!lint_ || !result_.completed || !unread_.empty()) return true;
  auto read = LintJobImages(loadedJob_.set, result_, loadedJob_.blockMode, *markerPages_, *codecs_);
  if (!read) {
    std::fprintf(stderr, "folvane-cli: %s\n", FileErrorText(read.error()).c_str());
    if (!json_) {
      status = kExitFailed;
      return false;
    }
    unread_ = FileErrorText(read.error());
    return true;
  }
  lintReport_ = std::move(*read);
  WarnMarks(console_, *lintReport_);
  return true;
}

int CheckRun::Status(bool reportFailed) const {
  int status = loaded_ ? MergeExitStatus(loadedJob_, result_) : loadStatus_;
  if (!unread_.empty() || reportFailed) return kExitFailed;
  const bool chipRisk = margins_ && (margins_->AnyOverflow() || RiskExceeded(*margins_, *marginOptions_));
  const bool marked = lintReport_ && lintReport_->MarkedBlocks() != 0;
  const bool eccDiffers = lintReport_ && lintReport_->DifferingEccSteps() != 0;
  if ((chipRisk || marked || eccDiffers) && status == kExitOk) status = kExitWithMessages;
  return status;
}

// The last line of the text: what a merge would do, the gravest thing first.
std::string CheckRun::Verdict(int status, bool reportFailed) const {
  const bool quiet = loadedJob_.messages.empty() && details_.empty();
  const bool chipRisk = margins_ && (margins_->AnyOverflow() || RiskExceeded(*margins_, *marginOptions_));
  if (status == kExitOk) return "The merge would take every ticked row.";
  if (reportFailed && unread_.empty() && MergeExitStatus(loadedJob_, result_) != kExitFailed) {
    return "The merge would complete, but the report could not be written.";
  }
  if (status == kExitFailed) return "The merge would end early.";
  if (chipRisk && quiet) return "The merge would take every ticked row, but a chip could run out of good blocks.";
  if (lintReport_ && lintReport_->MarkedBlocks() != 0 && quiet) {
    return "The merge would take every ticked row, but a chip would read image blocks as bad.";
  }
  if (lintReport_ && lintReport_->DifferingEccSteps() != 0 && quiet) {
    return "The merge would take every ticked row, but stored ECC differs from the data's.";
  }
  return "The merge would complete, with messages.";
}

int CheckRun::Run() {
  int status = kExitOk;
  if (!ReadOptions(status) || !DryMerge(status) || !ReadMargins(status) || !Lint(status)) return status;
  if (!unread_.empty()) details_.push_back(unread_);
  const OutputCheck data = CheckOutput(loadedJob_.dataPath, !args_.Flag("no-in-place"));
  const OutputCheck table = CheckOutput(loadedJob_.tablePath, !args_.Flag("no-in-place"));
  // The report is gathered only for those who asked for it: it reads the job file
  // and measures the images once more.
  const std::optional<std::string> reportPath = args_.Option("report");
  const manifest::ReportData report = json_ || reportPath ? ReportDataOf("check", job_, loadedJob_, result_, BadBlocks()) : manifest::ReportData{};
  // The page is written last, once everything it says is known; a page that cannot be
  // written ends the check with status 2, the document saying why.
  const bool reportFailed =
      reportPath && loaded_ && !WriteCheckReport(*reportPath, job_, loadedJob_, args_, report, console_, details_);
  status = Status(reportFailed);
  if (json_) {
    PrintJsonDocument(status, report, data, table);
  } else {
    PrintText(status, reportFailed, data, table);
  }
  return status;
}

void CheckRun::PrintJsonDocument(int status, const manifest::ReportData& report, const OutputCheck& data,
                                 const OutputCheck& table) {
  nlohmann::json doc;
  doc["report"] = manifest::ReportJson(report);
  doc.update(JsonDocument("check"));
  doc["job"] = job_;
  doc.update(JobReport(loadedJob_, result_, status));
  doc["data"]["creatable"] = data.creatable;
  doc["table"]["creatable"] = table.creatable;
  doc["data"]["inPlace"] = InPlaceJson(data.inPlace);
  doc["table"]["inPlace"] = InPlaceJson(table.inPlace);
  doc["details"] = details_;
  if (margins_ && marginOptions_->Requested()) AddMarginsJson(doc, *margins_, *marginOptions_);
  if (lintReport_) {
    AddLintJson(doc, *lintReport_, *markerPages_);
  } else if (lint_) {
    doc["lint"] = nullptr;
  }
  doc["exitStatus"] = status;
  PrintJson(doc);
}

void CheckRun::PrintText(int status, bool reportFailed, const OutputCheck& data, const OutputCheck& table) {
  const int mode = StoredBlockMode(loadedJob_.blockMode);
  std::string label;
  if (mode >= 0 && mode < kBlockModeCount) label.append(" ").append(kBlockModes[static_cast<std::size_t>(mode)].label);
  std::printf("Block mode: %d%s, block size %s bytes, page size %s bytes\n", mode, label.c_str(),
              HexDec(loadedJob_.geometry.blockSize).c_str(), HexDec(loadedJob_.geometry.pageSize).c_str());
  PrintRows(loadedJob_, result_);
  if (margins_) PrintMargins(*margins_, *marginOptions_);
  if (lintReport_) {
    PrintLint(*lintReport_, *markerPages_);
  } else if (lint_) {
    std::printf("Image lint: not done, the merge would not complete\n");
  }
  if (!args_.Flag("no-map")) std::fputs(DrawTerminalMap(LayoutOf(loadedJob_, BadBlocks()), StandardOutputStyle()).c_str(), stdout);
  for (const OutputCheck* o : {&data, &table}) {
    std::string size;
    if (result_.completed) size = (o == &data ? HexDec(result_.dataBytes) : HexDec(kTableSize)) + " bytes, ";
    const std::string can = !o->creatable ? "cannot be created: " + o->problem
                            : o->inPlace == InPlaceReason::None || o->inPlace == InPlaceReason::Device
                                ? std::string("can be created")
                                : "can be written in place (" + std::string(InPlaceText(o->inPlace)) + ")";
    std::printf("%s %s\n       %s%s\n", o == &data ? "Data: " : "Table:", Printable(o->path).c_str(), size.c_str(),
                can.c_str());
  }
  std::printf("%s\n", Verdict(status, reportFailed).c_str());
}

}  // namespace

int RunCheck(const Args& args) {
  if (args.positional.size() != 1) return Usage(kCheckCommand, "check takes one JOB.part");
  return CheckRun(args).Run();
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
