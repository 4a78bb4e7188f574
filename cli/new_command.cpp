// folvane-cli new: a job saved as the window's EXPORT saves it, from rows typed on
// the command line.

#include <cctype>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "job/block_text.hpp"
#include "cli.hpp"
#include "job/job_file.hpp"
#include "job/stored_text.hpp"
#include "job/text_job.hpp"
#include "io/exe_path.hpp"
#include "io/utf8_path.hpp"

namespace folvane::cli {

namespace text {
inline constexpr std::string_view kJobIsImage = "The job file is also an image file.";
}  // namespace text

namespace {

struct RowArg {
  std::string image, start, end;
};

// "IMAGE:START:END", the image path being everything before the last two colons.
std::optional<RowArg> SplitRow(const std::string& r) {
  const auto second = r.rfind(':');
  const auto first = second == std::string::npos || second == 0 ? std::string::npos : r.rfind(':', second - 1);
  if (first == std::string::npos) return std::nullopt;
  return RowArg{r.substr(0, first), r.substr(first + 1, second - first - 1), r.substr(second + 1)};
}

bool PlainDecimal(const std::string& s) {
  return !s.empty() && s.size() <= 2 && s.find_first_not_of("0123456789") == std::string::npos;
}

bool EndsWith(const std::string& s, std::string_view tail) {
  if (s.size() < tail.size()) return false;
  for (std::size_t i = 0; i < tail.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(s[s.size() - tail.size() + i])) != tail[i]) return false;
  }
  return true;
}

// A message the window would show, and the status of a job not saved. The texts
// name paths as given: they reach the terminal in the printable form.
int Refuse(const std::string& message) {
  std::fprintf(stderr, "%s\n", Printable(message).c_str());
  return kExitFailed;
}

// Why EXPORT would not save the record: the first path that would not load back as
// itself, in the order the window checks them.
std::optional<std::string> PartPathRefusal(const PartFileRecord& r) {
  std::vector<std::pair<std::string, std::string>> saved = {{"Table File", r.tablePath}, {"Data File", r.dataPath}};
  for (int i = 0; i < r.UsableRows(); ++i) saved.emplace_back("FILE" + std::to_string(i + 1), r.rows[static_cast<std::size_t>(i)].imagePath);
  for (const auto& [field, p] : saved) {
    if (auto refusal = PathSaveRefusal(field, p)) return refusal;
  }
  return std::nullopt;
}

// Writes a job file whole, replacing an old one only once every byte is written.
int WriteJobFile(const std::string& path, std::span<const std::uint8_t> bytes) {
  auto file = File::CreateReplacement(path);
  Status s = file ? file->Write(bytes) : Status(file.error());
  if (s) s = file->Commit();
  if (!s) {
    std::fprintf(stderr, "%s\n", FileErrorText(s.error()).c_str());
    if (!s.error().detail.empty()) std::fprintf(stderr, "folvane-cli: %s\n", Printable(s.error().detail).c_str());
    return kExitFailed;
  }
  return kExitOk;
}

// The job as a text job beside `path`: its paths relative to that file's folder where
// they lie under it.
int WriteTextJob(const std::string& path, const Job& job) {
  std::string problem;
  const auto text = TextJobAt(job, path, problem);
  if (!text) {
    std::fprintf(stderr, "folvane-cli: %s cannot be written: %s\n", Printable(path).c_str(), Printable(problem).c_str());
    return kExitFailed;
  }
  return WriteJobFile(path, std::span(reinterpret_cast<const std::uint8_t*>(text->data()), text->size()));
}

// The job as a .part file: what the record cannot hold is said, one line each, and
// the status is 1.
int WritePartJob(const std::string& path, Job job) {
  MeasureJobImages(job);
  const PartRecordOfJob part = PartRecordFromJob(job, DefaultTablePath(), DefaultDataPath());
  // Without its schemes the .part would merge other bytes: it is not written.
  if (!part.changesMerge.empty()) {
    for (const std::string& lost : part.changesMerge) {
      std::fprintf(stderr, "folvane-cli: a .part file cannot hold %s, which changes what the merge writes\n",
                   Printable(lost).c_str());
    }
    return kExitFailed;
  }
  if (const auto refusal = PartPathRefusal(part.record)) return Refuse(*refusal);
  const PartFileRecord::Bytes bytes = part.record.Encode();
  const int status = WriteJobFile(path, bytes);
  if (status != kExitOk) return status;
  for (const std::string& lost : part.leftOut) {
    std::fprintf(stderr, "folvane-cli: a .part file cannot hold %s: left out\n", Printable(lost).c_str());
  }
  return part.leftOut.empty() ? kExitOk : kExitWithMessages;
}

int Convert(const std::string& out, const std::string& from) {
  int status = kExitFailed;
  const auto file = ReadJobFile(from, status);
  if (!file) return status;
  for (const JobRow& row : file->job.rows) {
    if (SameFile(out, row.imagePath)) {
      std::fprintf(stderr, "%s\n", std::string(text::kJobIsImage).c_str());
      return kExitFailed;
    }
  }
  // A .part's relative paths are relative to the working directory: made absolute, so
  // that the text job, whose paths are relative to its own folder, means the same.
  if (EndsWith(out, ".toml")) return WriteTextJob(out, file->text ? file->job : WithAbsolutePaths(file->job));
  return WritePartJob(out, file->job);
}

// The job that --from names, in the form `out`'s name asks for.
int RunConvert(const Args& args, const std::string& out, const std::string& from) {
  const Command& self = kNewCommand;
  if (args.Option("mode") || !args.All("row").empty() || args.Option("table") || args.Option("data")) {
    return Usage(self, "--from takes no --mode, --table, --data or --row: the job comes whole");
  }
  if (!EndsWith(out, ".toml") && !EndsWith(out, ".part")) {
    return Usage(self, "a converted job's name ends in .part or .toml");
  }
  return Convert(out, from);
}

// The block mode of --mode into `mode`, or the status of its refusal.
std::optional<int> ReadMode(const Args& args, std::uint8_t& mode) {
  const Command& self = kNewCommand;
  const auto modeText = args.Option("mode");
  if (!modeText) return Usage(self, "--mode is required");
  // Only what the list offers: a plain decimal index, no sign, blank or base prefix.
  if (!PlainDecimal(*modeText) || std::stoi(*modeText) >= kBlockModeCount) {
    return Usage(self, "--mode takes a block mode from 0 to 15, not '" + *modeText + "'");
  }
  mode = static_cast<std::uint8_t>(std::stoi(*modeText));
  return std::nullopt;
}

// The --row options into `rowArgs` as the window's edits would take them, or the
// status of the first refused.
std::optional<int> ReadRows(const Args& args, std::vector<RowArg>& rowArgs) {
  const Command& self = kNewCommand;
  const std::vector<std::string> rows = args.All("row");
  if (rows.size() > static_cast<std::size_t>(kRowCount)) return Usage(self, "at most 16 rows");
  for (const std::string& r : rows) {
    const auto rowArg = SplitRow(r);
    if (!rowArg) return Usage(self, "--row takes IMAGE:START:END, not '" + r + "'");
    for (const std::string* t : {&rowArg->start, &rowArg->end}) {
      // The window reads nine characters of an edit; a longer text here would be
      // saved as some other number, so it is refused rather than read in part.
      if (t->size() > kBlockTextChars) {
        return Usage(self, "block number '" + *t + "' of --row " + r + " is longer than 9 characters");
      }
      const BlockTextCheck check = CheckBlockText(*t);
      if (check.verdict != BlockTextVerdict::Accepted) {
        std::fprintf(stderr, "%s\n", std::string(BlockTextRefusal(check.verdict)).c_str());
        return Usage(self, "block number '" + *t + "' of --row " + r + " is refused");
      }
    }
    rowArgs.push_back(*rowArg);
  }
  return std::nullopt;
}

// The job the options describe, before its images are opened. Stored absolute, like
// the images, so the job means the same from any folder (a text job writes them
// relative to its own folder where they lie under it).
Job JobOfOptions(const Args& args, std::uint8_t mode, const std::vector<RowArg>& rowArgs) {
  Job job;
  if (auto t = args.Option("table")) job.tablePath = AbsolutePath(*t);
  if (auto d = args.Option("data")) job.dataPath = AbsolutePath(*d);
  job.blockMode = mode;
  for (const RowArg& r : rowArgs) {
    job.rows.push_back(JobRow{AbsolutePath(r.image), r.start, r.end, std::nullopt, {}, {}, {}});
  }
  return job;
}

// A text job keeps no lengths: its images are measured whenever it is loaded. Each
// must open now, as Browse would have opened it.
int SaveTextJob(const std::string& path, const Job& job) {
  for (const JobRow& row : job.rows) {
    if (const auto size = MeasureFile(row.imagePath); !size) {
      std::fprintf(stderr, "%s\n", FileErrorText(size.error()).c_str());
      return kExitFailed;
    }
  }
  return WriteTextJob(path, job);
}

// A path the job would give back as another (bytes that are not UTF-8 read as GBK)
// would name another file, which a merge of the job would overwrite.
std::optional<int> RefuseChangingPaths(const Job& job) {
  std::vector<std::pair<std::string, std::string>> saved;  // field, path
  if (job.tablePath) saved.emplace_back("Table File", *job.tablePath);
  if (job.dataPath) saved.emplace_back("Data File", *job.dataPath);
  for (std::size_t i = 0; i < job.rows.size(); ++i) {
    saved.emplace_back("FILE" + std::to_string(i + 1), job.rows[i].imagePath);
  }
  for (const auto& [field, path] : saved) {
    if (!StoredTextKeeps(path)) {
      return Usage(kNewCommand, field + " path " + Printable(path) +
                                    " would load back as a different path: a job reads bytes that are not UTF-8 as GBK");
    }
  }
  return std::nullopt;
}

// The rows as Browse takes their images: a path the fields cannot hold, or an image
// that cannot be opened or is empty, is said as the window says it, and no job is
// saved. Then as EXPORT saves it, every path checked to load back as itself, in the
// words the window uses when the file cannot be written. It replaces an old job only
// once every byte is written: a job cut short would load as another job.
int SavePartJob(const std::string& path, Job job) {
  if (const auto refused = RefuseChangingPaths(job)) return *refused;
  if (!job.tablePath) job.tablePath = DefaultTablePath();
  if (!job.dataPath) job.dataPath = DefaultDataPath();
  const std::uint32_t blockSize = LookupBlockMode(job.blockMode).blockSize;
  for (JobRow& row : job.rows) {
    if (PathTooLongToStore(row.imagePath)) return Refuse(folvane::text::PathTooLong("The chosen"));
    const auto size = MeasureFile(row.imagePath);
    if (!size || *size == 0) {
      return Refuse(std::string(size ? folvane::text::kEmptyFile : folvane::text::kImageOpenError));
    }
    row.imageBlocks = ImageBlocksFor(*size, blockSize);
  }
  const PartFileRecord record = PartRecordFromJob(job, DefaultTablePath(), DefaultDataPath()).record;
  if (const auto refusal = PartPathRefusal(record)) return Refuse(*refusal);
  auto file = File::CreateReplacement(path);
  const PartFileRecord::Bytes bytes = record.Encode();
  Status written = file ? file->Write(bytes) : Status(file.error());
  if (written) written = file->Commit();
  return written ? kExitOk : Refuse(written.error().Message());
}

}  // namespace

int RunNew(const Args& args) {
  if (args.positional.size() != 1) return Usage(kNewCommand, "new takes one JOB.part or JOB.toml");
  const std::string path = args.positional[0];
  if (const auto from = args.Option("from")) return RunConvert(args, path, *from);
  std::uint8_t mode = 0;
  if (const auto refused = ReadMode(args, mode)) return *refused;
  std::vector<RowArg> rows;
  if (const auto refused = ReadRows(args, rows)) return *refused;
  // Saving the job over one of its own images would destroy the image it describes.
  for (const RowArg& r : rows) {
    if (SameFile(path, r.image)) {
      std::fprintf(stderr, "%s\n", std::string(text::kJobIsImage).c_str());
      return kExitFailed;
    }
  }
  const Job job = JobOfOptions(args, mode, rows);
  return EndsWith(path, ".toml") ? SaveTextJob(path, job) : SavePartJob(path, job);
}

const Command kNewCommand = {"new", "save a job as the window's EXPORT would",
    "Usage: folvane-cli new JOB.part|JOB.toml --mode N [--table FILE] [--data FILE]\n"
    "                   --row IMAGE:START:END [--row ...]\n"
    "       folvane-cli new OUT.part|OUT.toml --from JOB\n"
    "\n"
    "Writes the .part file that EXPORT writes with these rows checked in order, or,\n"
    "for a name ending in .toml, the same job as a text job. N is the block mode, 0 to\n"
    "15. START and END are hexadecimal block numbers as typed in the window (at most\n"
    "10000, at most 9 characters). A .part measures each image in blocks of that mode\n"
    "and stores all paths absolute; a text job measures its images whenever it is\n"
    "loaded, and holds paths relative to its own folder where they lie under it.\n"
    "\n"
    "--from JOB converts a job, .part or text, into the form OUT's name ends in. What a\n"
    ".part cannot hold (a row's name) is left out with a line naming it, exit status 1.\n",
    {{"mode", "table", "data", "row", "from"}, {"row"}, {}},
    RunNew};

}  // namespace folvane::cli
