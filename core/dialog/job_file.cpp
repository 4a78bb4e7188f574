#include "dialog/job_file.hpp"

#include <cctype>
#include <filesystem>
#include <variant>

#include "dialog/procedures.hpp"
#include "io/utf8_path.hpp"
#include "job/text_job.hpp"

namespace folvane {

namespace {

// A text job of sixteen rows is a few kilobytes; anything far larger is none.
constexpr std::size_t kMaxTextJobBytes = std::size_t{1} << 20;

bool NamedAsPartFile(const std::string& path) {
  if (path.size() < 5) return false;
  std::string tail = path.substr(path.size() - 5);
  for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return tail == ".part";
}

}  // namespace

bool ReadsAsPartFile(const std::string& path, const std::string& head) {
  return StartsAsPartFile(std::span(reinterpret_cast<const std::uint8_t*>(head.data()), head.size())) ||
         NamedAsPartFile(path);
}

Expected<std::string> ReadJobHead(const std::string& path) {
  auto file = File::OpenRead(path);
  if (!file) return file.error();
  std::string text(kMaxTextJobBytes + 1, '\0');
  auto got = file->ReadAt(0, std::span(reinterpret_cast<std::uint8_t*>(text.data()), text.size()));
  if (!got) return got.error();
  text.resize(*got);
  return text;
}

std::optional<Job> ReadTextJob(const std::string& path, const std::string& text, std::string& problem) {
  if (text.size() > kMaxTextJobBytes) {
    problem = path + " is too large for a text job";
    return std::nullopt;
  }
  auto parsed = ParseTextJob(text, JobFolder(path));
  if (auto* error = std::get_if<TextJobError>(&parsed)) {
    problem = error->Describe(path);
    return std::nullopt;
  }
  return std::get<Job>(std::move(parsed));
}

std::string JobFolder(const std::string& path) {
  std::error_code ec;
  const auto real = std::filesystem::weakly_canonical(FsPath(AbsolutePath(path)), ec);
  return Utf8Path((ec ? FsPath(AbsolutePath(path)) : real).parent_path());
}

std::optional<std::string> TextJobAt(const Job& job, const std::string& path, std::string& problem) {
  const std::string folder = JobFolder(path);
  auto text = TextJobOf(job, folder, problem);
  if (!text) return std::nullopt;
  // What a .part may hold that a text job refuses (a block text the window would not
  // take, a block mode outside the list) is found here, before anything is written.
  auto back = ParseTextJob(*text, folder);
  if (auto* error = std::get_if<TextJobError>(&back)) {
    problem = error->problem + (error->key.empty() ? std::string() : " (" + error->key + ")");
    return std::nullopt;
  }
  if (!(std::get<Job>(back) == job)) {
    problem = "it would not read back as the same job";
    return std::nullopt;
  }
  return text;
}

JobLoad LoadJobInto(DialogOps& dialog, const std::string& path, std::string (*describe)(const FileError&),
                    bool& programErasedPages, const std::string* given) {
  auto head = given ? Expected<std::string>(*given) : ReadJobHead(path);
  if (!head) {
    dialog.ShowMessage(describe ? describe(head.error()) : head.error().Message(), MessageIcon::Error);
    return JobLoad::kUnreadable;
  }
  if (ReadsAsPartFile(path, *head)) {
    if (!LoadPartFile(dialog, path, describe)) return JobLoad::kUnreadable;
    programErasedPages = false;
    for (int row = 1; row <= kRowCount; ++row) {
      PartitionSlot& slot = dialog.Slot(row);
      slot.name.clear();
      slot.ecc.clear();
      slot.rawEcc.clear();
    }
    return JobLoad::kLoaded;
  }
  std::string problem;
  auto parsed = ReadTextJob(path, *head, problem);
  if (!parsed) {
    dialog.ShowMessage(problem, MessageIcon::Error);
    return JobLoad::kNotAJob;
  }
  MeasureJobImages(*parsed);
  const PartRecordOfJob part =
      PartRecordFromJob(*parsed, dialog.GetItemText(ids::kTableEdit), dialog.GetItemText(ids::kDataEdit));
  ApplyPartRecord(dialog, part.record);
  for (int row = 1; row <= kRowCount; ++row) {
    const auto i = static_cast<std::size_t>(row - 1);
    PartitionSlot& slot = dialog.Slot(row);
    const bool given = i < parsed->rows.size();
    slot.name = given ? parsed->rows[i].name : std::string();
    slot.ecc = given ? parsed->rows[i].ecc : std::string();
    slot.rawEcc = given ? parsed->rows[i].rawEcc : std::string();
  }
  programErasedPages = parsed->programErasedPages;
  return JobLoad::kLoaded;
}

Job JobOfDialog(DialogOps& dialog, bool programErasedPages) {
  Job job;
  job.tablePath = dialog.GetItemText(ids::kTableEdit);
  job.dataPath = dialog.GetItemText(ids::kDataEdit);
  job.blockMode = StoredBlockMode(dialog.GetBlockModeSelection());
  job.programErasedPages = programErasedPages;
  for (int row = 1; row <= kRowCount && dialog.IsItemChecked(RowControlsFor(row).check); ++row) {
    const RowControls& c = RowControlsFor(row);
    const PartitionSlot& slot = dialog.Slot(row);
    JobRow r;
    r.imagePath = dialog.GetItemText(c.pathEdit);
    r.startText = StoredBlockText(dialog.GetItemText(c.startEdit));
    r.endText = StoredBlockText(dialog.GetItemText(c.endEdit));
    if (slot.imageBlocks != kUnset) r.imageBlocks = slot.imageBlocks;
    r.name = slot.name;
    r.ecc = slot.ecc;
    r.rawEcc = slot.rawEcc;
    job.rows.push_back(std::move(r));
  }
  return job;
}

}  // namespace folvane
