#include "merge/loaded_job.hpp"

#include <utility>

#include "job/block_text.hpp"
#include "job/stored_text.hpp"

namespace folvane {

LoadedJob::LoadedJob(std::string defaultDataPath, std::string defaultTablePath)
    : tablePath(std::move(defaultTablePath)), dataPath(std::move(defaultDataPath)) {
  ApplyBlockMode(geometry, kDefaultBlockModeIndex);
}

void LoadedJob::Load(const PartFileRecord& record, const LegacyPaths& legacy) {
  const bool otherFile = !LegacyPathNamesSavedFile();
  // A path read through the legacy code page may name an unrelated file here: it is
  // shown, then emptied, as every refused entry is.
  auto kept = [&](const std::string& path, bool wasLegacy, std::string_view what) {
    if (!wasLegacy || !otherFile) return path;
    ShowMessage(text::PathFromOtherCodePage(what), MessageIcon::Warning);
    return std::string();
  };
  // A start or end text is judged as its edit judges it; a refused one is shown and
  // its emptied edit holds 0.
  auto block = [&](const std::string& text) {
    const BlockTextCheck check = CheckBlockText(text);
    if (check.verdict == BlockTextVerdict::Accepted) return check.value;
    ShowMessage(std::string(BlockTextRefusal(check.verdict)), MessageIcon::Warning);
    return std::uint32_t{0};
  };
  tablePath = kept(record.tablePath, legacy.tablePath, "Table File");
  dataPath = kept(record.dataPath, legacy.dataPath, "Data File");
  blockMode = record.blockModeIndex < kBlockModeCount ? record.blockModeIndex : -1;
  ApplyBlockMode(geometry, blockMode);
  // A file may claim more rows than there are; only the sixteen that exist are used.
  tickedRows = record.UsableRows();
  for (int i = 0; i < tickedRows; ++i) {
    const auto u = static_cast<std::size_t>(i);
    const PartFileRow& row = record.rows[u];
    PartitionSlot& slot = set.slots[u];
    rowPaths[u] = kept(row.imagePath, legacy.imagePaths[u], "FILE" + std::to_string(i + 1));
    slot.imagePath = rowPaths[u];
    slot.startBlock = block(row.startText);
    slot.endBlock = block(row.endText);
    slot.imageBlocks = row.imageBlocks;
    slot.name.clear();
    slot.ecc.clear();
    slot.rawEcc.clear();
  }
  set.programErasedPages = false;
}

void LoadedJob::Load(Job job) {
  MeasureJobImages(job);
  Load(PartRecordFromJob(job, tablePath, dataPath).record);
  for (std::size_t i = 0; i < job.rows.size() && i < set.slots.size(); ++i) {
    PartitionSlot& slot = set.slots[i];
    slot.name = job.rows[i].name;
    slot.ecc = job.rows[i].ecc;
    slot.rawEcc = job.rows[i].rawEcc;
  }
  set.programErasedPages = job.programErasedPages;
}

JobLoad LoadedJob::LoadFile(const std::string& path, std::string (*describe)(const FileError&)) {
  JobFileRead read = ReadJobFileAt(path, describe);
  if (read.outcome != JobLoad::kLoaded) {
    ShowMessage(read.refusal, read.refusalIsError ? MessageIcon::Error : MessageIcon::Warning);
  } else if (read.part) {
    Load(*read.part, read.legacy);
  } else {
    Load(std::move(*read.text));
  }
  return read.outcome;
}

MergeResult LoadedJob::Merge(const MergeOptions& options) { return RunMerge(set, geometry, *this, options); }

void LoadedJob::SetStatusText(const std::string& text) {
  if (onStatus) onStatus(text);
}

void LoadedJob::SetProgressRange(std::uint32_t upper) {
  progressRange = upper;
  if (onProgress) onProgress(progressPos, progressRange);
}

void LoadedJob::SetProgressPos(std::uint32_t pos) {
  progressPos = pos;
  if (onProgress) onProgress(progressPos, progressRange);
}

void LoadedJob::ShowMessage(const std::string& text, MessageIcon icon) {
  messages.push_back({text, icon});
  if (onMessage) onMessage(messages.back());
}

}  // namespace folvane
