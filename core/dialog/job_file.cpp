#include "dialog/job_file.hpp"

#include "dialog/procedures.hpp"

namespace folvane {

JobLoad LoadJobInto(DialogOps& dialog, const std::string& path, std::string (*describe)(const FileError&),
                    bool& programErasedPages, const std::string* head) {
  JobFileRead read = ReadJobFileAt(path, describe, head);
  if (read.outcome != JobLoad::kLoaded) {
    dialog.ShowMessage(read.refusal, read.refusalIsError ? MessageIcon::Error : MessageIcon::Warning);
    return read.outcome;
  }
  if (read.part) {
    ApplyPartRecord(dialog, *read.part, read.legacy);
    programErasedPages = false;
    for (int row = 1; row <= kRowCount; ++row) {
      PartitionSlot& slot = dialog.Slot(row);
      slot.name.clear();
      slot.ecc.clear();
      slot.rawEcc.clear();
    }
    return JobLoad::kLoaded;
  }
  Job& parsed = *read.text;
  MeasureJobImages(parsed);
  const PartRecordOfJob part =
      PartRecordFromJob(parsed, dialog.GetItemText(ids::kTableEdit), dialog.GetItemText(ids::kDataEdit));
  ApplyPartRecord(dialog, part.record);
  for (int row = 1; row <= kRowCount; ++row) {
    const auto i = static_cast<std::size_t>(row - 1);
    PartitionSlot& slot = dialog.Slot(row);
    const bool given = i < parsed.rows.size();
    slot.name = given ? parsed.rows[i].name : std::string();
    slot.ecc = given ? parsed.rows[i].ecc : std::string();
    slot.rawEcc = given ? parsed.rows[i].rawEcc : std::string();
  }
  programErasedPages = parsed.programErasedPages;
  return JobLoad::kLoaded;
}

Job JobOfDialog(DialogOps& dialog, bool programErasedPages) {
  Job job;
  job.tablePath = dialog.GetItemText(ids::kTableEdit);
  job.dataPath = dialog.GetItemText(ids::kDataEdit);
  job.blockMode = StoredBlockMode(dialog.GetBlockModeSelection());
  job.programErasedPages = programErasedPages;
  const int run = LeadingRunRows([&](int row) { return dialog.IsItemChecked(RowControlsFor(row).check); });
  for (int row = 1; row <= run; ++row) {
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
