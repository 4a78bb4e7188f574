// folvane-cli merge: a saved job merged exactly as the window's Merge button does,
// with outputs that replace the old ones only once the merge has succeeded, and on
// request a manifest of what was written, hashed while it was written.

#include <algorithm>
#include <optional>
#include <span>
#include <string>

#include "cli.hpp"
#include "manifest/manifest.hpp"
#include "json_report.hpp"
#include "manifest/report.hpp"

namespace folvane::cli {

namespace {

// A manifest or report written over the job, an output or an image would destroy it,
// and a report over a manifest too: refused before anything is written.
bool OutputClashes(LoadedJob& loaded, const std::string& job, const std::vector<std::string>& manifests,
                   const std::optional<std::string>& report) {
  std::vector<std::string> taken = {job, loaded.dataPath, loaded.tablePath};
  for (int row = 1; row <= kRowCount; ++row) {
    if (loaded.IsRowChecked(row)) taken.push_back(loaded.GetRowPathText(row));
  }
  // Where standard output or error is redirected to a file, the program writes there
  // itself: an output in its place would replace what it prints, or be mixed with it.
  std::vector<std::pair<std::string, std::string>> outputs = {{"Data File", loaded.dataPath},
                                                              {"Table File", loaded.tablePath}};
  for (const std::string& m : manifests) outputs.emplace_back("Manifest File", m);
  if (report) outputs.emplace_back("Report File", *report);
  for (const auto& [what, path] : outputs) {
    if (NamesStandardStream(path)) {
      loaded.ShowMessage(what + " " + path + " is where standard output or error goes.", MessageIcon::Warning);
      return true;
    }
  }
  for (const std::string& m : manifests) {
    if (std::any_of(taken.begin(), taken.end(),
                    [&](const std::string& other) { return !other.empty() && SameFile(m, other); })) {
      loaded.ShowMessage("Manifest File " + m + " is also an input or output of the merge.", MessageIcon::Warning);
      return true;
    }
  }
  taken.insert(taken.end(), manifests.begin(), manifests.end());
  if (const auto clash = report ? manifest::ReportClash(*report, taken, "merge") : std::nullopt) {
    loaded.ShowMessage(*clash, MessageIcon::Warning);
    return true;
  }
  return false;
}

// The manifests' new files, created before the merge writes anything: a manifest
// that cannot be written refuses the merge instead of leaving new outputs beside an
// old manifest.
bool CreateManifestFiles(LoadedJob& loaded, const std::vector<std::string>& paths, bool allowInPlace,
                         std::vector<File>& files, std::vector<std::string>& details, Console& console) {
  for (const std::string& path : paths) {
    auto file = File::CreateReplacement(path, allowInPlace);
    if (!file) {
      loaded.ShowMessage(FileErrorLine(file.error()), MessageIcon::Error);
      if (!file.error().detail.empty() && file.error().detail != FileErrorLine(file.error())) {
        details.push_back(file.error().detail);
        console.Detail(file.error().detail);
      }
      return false;
    }
    if (file->InPlace() != InPlaceReason::None) {
      details.push_back("the manifest " + path + " is written in place: " + std::string(InPlaceText(file->InPlace())));
      console.Detail(details.back());
    }
    files.push_back(std::move(*file));
  }
  return true;
}

// The report's file, opened before the merge writes anything, like the manifests': a
// report that cannot be written refuses the merge.
bool CreateReportFile(LoadedJob& loaded, const std::optional<std::string>& path, bool allowInPlace,
                      std::optional<File>& file, std::vector<std::string>& details, Console& console) {
  if (!path) return true;
  std::string failure;
  std::vector<std::string> lines;
  file = manifest::OpenReportFile(*path, allowInPlace, failure, lines);
  // The cause is a message, as a manifest's is; the lines say more.
  if (!file) loaded.ShowMessage(failure, MessageIcon::Error);
  for (const std::string& line : lines) {
    details.push_back(line);
    console.Detail(line);
  }
  return file.has_value();
}

// The merge's digests and byte sums, as the report shows them.
void AddDigests(manifest::ReportData& report, const manifest::Manifest& manifest, const std::optional<manifest::ByteSumTap>& sums) {
  report.merged = true;
  for (auto [out, digest] : {std::pair{&report.data, &manifest.data}, std::pair{&report.table, &manifest.table}}) {
    out->bytes = digest->bytes;
    out->sha256 = digest->sha256;
    out->crc32 = digest->crc32;
  }
  if (sums) {
    report.data.byteSum = sums->DataSum();
    report.table.byteSum = sums->TableSum();
  }
}

// One merge from the command line: the job and its records' files made ready, the
// merge with its taps, the records written before the commit, and the document.
class MergeCommand {
 public:
  explicit MergeCommand(const Args& args)
      : args_(args), allowInPlace_(!args.Flag("no-in-place")), manifests_(args.All("manifest")),
        reportPath_(args.Option("report")), job_(args.positional.at(0)) {}
  int Run();

 private:
  bool Prepare();
  MergeOptions Options();
  bool WriteRecords(const MergeResult& written);
  void PrintJsonDocument(int status);

  const Args& args_;
  const bool allowInPlace_;
  const std::vector<std::string> manifests_;
  const std::optional<std::string> reportPath_;
  const std::string job_;
  Console console_;
  LoadedJob loadedJob_ = FreshJob();
  MergeResult result_;
  std::vector<std::string> details_;
  int loaded_ = kExitOk;
  std::optional<RowCodecs> codecs_;
  std::string eccProblem_;
  std::vector<File> manifestFiles_;
  std::optional<File> reportFile_;
  std::optional<manifest::DigestTap> tap_;
  std::optional<manifest::ByteSumTap> sums_;
  std::optional<manifest::Manifest> manifest_;
  /// The page of the merge that was committed: written with the outputs, or not at all.
  std::optional<manifest::ReportData> committedReport_;
};

// The merge replaces its outputs whole: one that names the job file would turn the job
// into a data image or a table; the records' files are created before anything is
// written.
bool MergeCommand::Prepare() {
  return OpenJob(loadedJob_, console_, args_, &loaded_) && (codecs_ = ReadRowCodecs(loadedJob_, args_, eccProblem_)) &&
         !OutputsAreTheJob(loadedJob_, job_) && !OutputClashes(loadedJob_, job_, manifests_, reportPath_) &&
         CreateManifestFiles(loadedJob_, manifests_, allowInPlace_, manifestFiles_, details_, console_) &&
         CreateReportFile(loadedJob_, reportPath_, allowInPlace_, reportFile_, details_, console_);
}

MergeOptions MergeCommand::Options() {
  MergeOptions options;
  options.replaceOutputs = true;
  options.allowInPlace = allowInPlace_;
  options.pageCodecs = codecs_->PageCodecs();
  options.programErasedPages = loadedJob_.set.programErasedPages;
  options.onRejected = [this](const RowRejection& r) { console_.Detail(r.Describe()); };
  options.onDetail = [this](const std::string& line) {
    details_.push_back(line);
    console_.Detail(line);
  };
  // With a manifest every byte is hashed on its way: read by the program, or read
  // back from its image where the file system shared the image's extents.
  if (!manifests_.empty() || reportPath_) options.tap = &tap_.emplace(loadedJob_.geometry.blockSize);
  // The report also gives each output's 32-bit byte sum.
  if (reportPath_) options.tap = &sums_.emplace(options.tap);
  // The manifests and the report are written once the outputs are, and put in place
  // with them.
  for (File& f : manifestFiles_) options.commitWith.push_back(&f);
  if (reportFile_) options.commitWith.push_back(&*reportFile_);
  if (tap_) options.beforeCommit = [this](const MergeResult& written) { return WriteRecords(written); };
  return options;
}

bool MergeCommand::WriteRecords(const MergeResult& written) {
  manifest::ManifestFailure failure;
  manifest_ = manifest::MakeManifest(loadedJob_.set, written, loadedJob_.blockMode, loadedJob_.geometry, loadedJob_.tablePath,
                           loadedJob_.dataPath, *tap_, failure);
  if (!manifest_) {
    console_.Detail(failure.problem);
    return false;
  }
  auto fail = [&](const Status& s) {
    manifest_.reset();
    loadedJob_.ShowMessage(FileErrorLine(s.error()), MessageIcon::Error);
    return false;
  };
  for (std::size_t i = 0; i < manifestFiles_.size(); ++i) {
    const std::string text = manifest::ManifestText(*manifest_, manifests_[i]);
    const Status s = manifestFiles_[i].Write(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    if (!s) return fail(s);
  }
  if (reportFile_) {
    // The page describes the merge as it ends once the commit succeeds.
    MergeResult done = written;
    done.completed = true;
    manifest::ReportData page = ReportDataOf("merge", job_, loadedJob_, done);
    AddDigests(page, *manifest_, sums_);
    if (const Status s = manifest::WriteReportPage(*reportFile_, manifest::ReportHtml(page)); !s) return fail(s);
    committedReport_ = std::move(page);
  }
  return true;
}

int MergeCommand::Run() {
  int status = kExitFailed;
  if (Prepare()) {
    result_ = loadedJob_.Merge(Options());
    console_.ClearBar();
    for (const RangeOverlap& o : RecordOverlaps(result_)) console_.Detail(OverlapWarning(o));
    status = MergeExitStatus(loadedJob_, result_);
    if (!result_.completed) {
      manifest_.reset();
      committedReport_.reset();
    }
  } else if (loaded_ == kExitUsage) {
    status = kExitUsage;  // a text job that is not one
  } else if (!eccProblem_.empty()) {
    console_.Detail(eccProblem_);
    details_.push_back(eccProblem_);
    status = kExitUsage;  // a scheme the job cannot run with: nothing written
  }
  if (args_.Flag("json")) PrintJsonDocument(status);
  return status;
}

void MergeCommand::PrintJsonDocument(int status) {
  // The report is gathered only for those who asked for it: it reads the job file and
  // measures the images once more.
  manifest::ReportData report = committedReport_ ? *committedReport_ : ReportDataOf("merge", job_, loadedJob_, result_);
  if (!committedReport_ && manifest_) AddDigests(report, *manifest_, sums_);
  nlohmann::json doc = JsonDocument("merge");
  doc["report"] = manifest::ReportJson(report);
  doc["job"] = job_;
  doc.update(JobReport(loadedJob_, result_, status));
  doc["data"]["inPlace"] = InPlaceJson(result_.dataInPlace);
  doc["table"]["inPlace"] = InPlaceJson(result_.tableInPlace);
  doc["details"] = details_;
  doc["manifestPaths"] = manifests_;
  doc["manifest"] = manifest_ && !manifests_.empty() ? manifest::ManifestJson(*manifest_) : nlohmann::json();
  PrintJson(doc);
}

}  // namespace

int RunMerge(const Args& args) {
  if (args.positional.size() != 1) return Usage(kMergeCommand, "merge takes one JOB.part");
  return MergeCommand(args).Run();
}

const Command kMergeCommand = {"merge", "merge a saved job",
    "Usage: folvane-cli merge JOB.part [--table FILE] [--data FILE] [--manifest FILE ...]\n"
    "                         [--no-in-place] [--json] [--report FILE.html]\n"
    "\n"
    "Loads JOB.part as IMPORT does and merges it as the Merge button does. --table and\n"
    "--data replace the saved output paths. Each output is written under a new name\n"
    "beside it (NAME.folvane-partial-PID) that carries the old file's owner, group,\n"
    "mode, ACL and attributes, and all outputs take the old ones' places together\n"
    "only when the whole merge has succeeded: a failed or interrupted merge leaves the\n"
    "previous outputs as they were. An output that a new file could not stand in for\n"
    "unseen (other hard links, an owner this user cannot give, a folder it cannot\n"
    "write, a device) is written in place, as the window does, and said so;\n"
    "--no-in-place refuses such a merge instead, before anything is written. A second\n"
    "merge onto the same outputs is refused while one runs. Messages and status texts\n"
    "go to standard error.\n"
    "\n"
    "--manifest FILE writes, after \"Done!\", the SHA-256, CRC-32 and 32-bit byte sum of\n"
    "the data image, of the table and of each partition's blocks, taken while they\n"
    "are written, and the byte sum of each partition's whole range. A FILE whose\n"
    "name ends in .json gets the full record in JSON; any other FILE the two output\n"
    "files' lines in the format of sha256sum -c. Give it twice for both.\n"
    "--report FILE.html writes one self-contained page for the production record:\n"
    "the flash map, the rows, the block mode and each output's size, SHA-256,\n"
    "CRC-32 and 32-bit byte sum. It is an output like the others: put in place with\n"
    "them, so that a merge that does not complete leaves the previous page.\n"
    "--json prints the result as one JSON document on standard output\n"
    "(docs/cli-json.md).\n"
    "Exit status: 0 done, 1 done but a message was shown or two taken rows share\n"
    "blocks (a warning line names them), 2 ended early (or the manifest could not be\n"
    "written), 64 usage.\n",
    JobGrammar({"manifest", "report", "ecc"}, {"manifest", "ecc"}, {"json", "no-in-place"}),
    RunMerge};

}  // namespace folvane::cli
