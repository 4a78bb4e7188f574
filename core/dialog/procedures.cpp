#include "dialog/procedures.hpp"

#include <array>

#include "job/block_text.hpp"
#include "io/file_io.hpp"
#include "job/stored_text.hpp"

namespace folvane {

void HandleBlockEditChange(DialogOps& dialog, int row, BlockEdit which) {
  const RowControls& c = RowControlsFor(row);
  const int id = which == BlockEdit::Start ? c.startEdit : c.endEdit;
  const BlockTextCheck check = CheckBlockText(dialog.GetItemText(id));
  if (check.verdict != BlockTextVerdict::Accepted) {
    // The message comes while the refused text is still in the edit; emptying the
    // edit then runs this handler again, which stores 0.
    dialog.ShowMessage(std::string(BlockTextRefusal(check.verdict)), MessageIcon::Warning);
    dialog.SetItemText(id, "");
    return;
  }
  PartitionSlot& slot = dialog.Slot(row);
  (which == BlockEdit::Start ? slot.startBlock : slot.endBlock) = check.value;
}

void HandleFileCheck(DialogOps& dialog, int row) {
  const RowControls& c = RowControlsFor(row);
  const bool on = dialog.IsItemChecked(c.check);
  for (int id : c.Inputs()) dialog.EnableItem(id, on);
}

namespace {

// The open-file chooser of the Browse buttons. A path that the 256-byte fields cannot
// hold is refused here rather than stored cut short, naming another file.
std::optional<std::string> ChooseBrowsePath(DialogOps& dialog) {
  auto chosen = dialog.ChooseFile({ChooserKind::Open, filters::kAnyFile, ""});
  if (chosen && PathTooLongToStore(*chosen)) {
    dialog.ShowMessage(text::PathTooLong("The chosen"), MessageIcon::Warning);
    return std::nullopt;
  }
  return chosen;
}

}  // namespace

void BrowseImage(DialogOps& dialog, int row) {
  const auto chosen = ChooseBrowsePath(dialog);
  if (!chosen) return;
  const RowControls& c = RowControlsFor(row);
  PartitionSlot& slot = dialog.Slot(row);
  slot.imagePath = *chosen;
  dialog.SetItemText(c.pathEdit, *chosen);
  // The image is held open only while it is measured.
  const auto size = MeasureFile(*chosen);
  if (!size || *size == 0) {
    dialog.ShowMessage(std::string(size ? text::kEmptyFile : text::kImageOpenError), MessageIcon::Warning);
    dialog.SetItemText(c.pathEdit, "");
    return;
  }
  slot.imageBlocks = ImageBlocksFor(*size, dialog.Geometry().blockSize);
}

void BrowseOutputPath(DialogOps& dialog, int editId) {
  if (const auto chosen = ChooseBrowsePath(dialog)) dialog.SetItemText(editId, *chosen);
}

bool ExportPartFile(DialogOps& dialog) {
  // Everything is gathered before the chooser opens: the file holds the state at the
  // moment the button was pressed.
  PartFileRecord record;
  record.tablePath = dialog.GetItemText(ids::kTableEdit);
  record.dataPath = dialog.GetItemText(ids::kDataEdit);
  // A path is saved only if it loads back as itself: cut short or read as another code
  // page it would name another file, which a merge would then overwrite.
  auto refused = [&](std::string_view what, const std::string& path) {
    const auto refusal = PathSaveRefusal(what, path);
    if (refusal) dialog.ShowMessage(*refusal, MessageIcon::Warning);
    return refusal.has_value();
  };
  if (refused("Table File", record.tablePath) || refused("Data File", record.dataPath)) return false;
  const int n = LeadingRunRows([&](int row) { return dialog.IsItemChecked(RowControlsFor(row).check); });
  for (int i = 0; i < n; ++i) {
    const RowControls& c = RowControlsFor(i + 1);
    PartFileRow& row = record.rows[static_cast<std::size_t>(i)];
    row.imagePath = dialog.GetItemText(c.pathEdit);
    if (refused("FILE" + std::to_string(i + 1), row.imagePath)) return false;
    row.startText = StoredBlockText(dialog.GetItemText(c.startEdit));
    row.endText = StoredBlockText(dialog.GetItemText(c.endEdit));
    row.imageBlocks = dialog.Slot(i + 1).imageBlocks;
  }
  record.blockModeIndex = StoredBlockMode(dialog.GetBlockModeSelection());
  record.rowCount = static_cast<std::uint8_t>(n);

  const auto chosen = dialog.ChooseFile({ChooserKind::Save, filters::kPartFile, "part"});
  if (!chosen) return false;
  const PartFileRecord::Bytes bytes = record.Encode();
  auto file = File::CreateWrite(*chosen);
  Status written = file ? file->Write(bytes) : Status(file.error());
  if (!written) {
    dialog.ShowMessage(written.error().Message(), MessageIcon::Error);
    return false;
  }
  return true;
}

bool ImportPartFile(DialogOps& dialog) {
  const auto chosen = dialog.ChooseFile({ChooserKind::Open, filters::kPartFile, "part"});
  return chosen && LoadPartFile(dialog, *chosen);
}

bool LoadPartFile(DialogOps& dialog, const std::string& path, std::string (*describe)(const FileError&)) {
  LegacyPaths legacy;
  const auto record = ReadPartFile(path, &legacy);
  if (!record) {
    dialog.ShowMessage(describe ? describe(record.error()) : record.error().Message(), MessageIcon::Error);
    return false;
  }
  if (!*record) {
    dialog.ShowMessage(std::string(text::kBadPartFile), MessageIcon::Warning);
    return false;
  }
  ApplyPartRecord(dialog, **record, legacy);
  return true;
}

void ApplyPartRecord(DialogOps& dialog, const PartFileRecord& record, const LegacyPaths& legacy) {
  const bool otherFile = !LegacyPathNamesSavedFile();
  // Shown first, then emptied, as every refused entry is.
  auto setPath = [&](int id, const std::string& path, bool wasLegacy, std::string_view what) {
    dialog.SetItemText(id, path);
    if (!wasLegacy || !otherFile) return true;
    dialog.ShowMessage(text::PathFromOtherCodePage(what), MessageIcon::Warning);
    dialog.SetItemText(id, "");
    return false;
  };
  setPath(ids::kTableEdit, record.tablePath, legacy.tablePath, "Table File");
  setPath(ids::kDataEdit, record.dataPath, legacy.dataPath, "Data File");
  dialog.SetBlockModeSelection(record.blockModeIndex);
  ApplyBlockMode(dialog.Geometry(), record.blockModeIndex);
  for (const RowControls& c : kRowControls) {
    dialog.SetItemChecked(c.check, false);
    for (int id : c.Inputs()) dialog.EnableItem(id, false);
  }
  // A file may claim more rows than there are; only the sixteen that exist are used.
  for (int i = 0; i < record.UsableRows(); ++i) {
    const RowControls& c = RowControlsFor(i + 1);
    const PartFileRow& row = record.rows[static_cast<std::size_t>(i)];
    dialog.SetItemChecked(c.check, true);
    dialog.EnableItem(c.pathEdit, true);
    const bool kept = setPath(c.pathEdit, row.imagePath, legacy.imagePaths[static_cast<std::size_t>(i)],
                              "FILE" + std::to_string(i + 1));
    dialog.EnableItem(c.startEdit, true);
    dialog.SetItemText(c.startEdit, row.startText);
    dialog.EnableItem(c.endEdit, true);
    dialog.EnableItem(c.browse, true);
    dialog.SetItemText(c.endEdit, row.endText);
    PartitionSlot& slot = dialog.Slot(i + 1);
    slot.imageBlocks = row.imageBlocks;
    slot.imagePath = kept ? row.imagePath : std::string();
  }
  // Each restored row's block numbers go through the edits' own validation once more;
  // the import never parses them itself.
  const int run = LeadingRunRows([&](int row) { return dialog.IsItemChecked(RowControlsFor(row).check); });
  for (int row = 1; row <= run; ++row) {
    dialog.OnBlockEditChange(row, BlockEdit::Start);
    dialog.OnBlockEditChange(row, BlockEdit::End);
  }
}

}  // namespace folvane
