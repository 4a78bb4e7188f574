#include "dialog/procedures.hpp"

#include <array>

#include "job/block_text.hpp"
#include "io/file_io.hpp"
#include "job/stored_text.hpp"

namespace folvane {

std::string text::PathTooLong(std::string_view what) {
  return std::string(what) + " path is longer than 255 characters.";
}

void HandleBlockEditChange(DialogOps& dialog, int row, BlockEdit which) {
  const RowControls& c = RowControlsFor(row);
  const int id = which == BlockEdit::Start ? c.startEdit : c.endEdit;
  const BlockTextCheck check = CheckBlockText(dialog.GetItemText(id));
  if (check.verdict != BlockTextVerdict::Accepted) {
    // The message comes while the refused text is still in the edit; emptying the
    // edit then runs this handler again, which stores 0.
    dialog.ShowMessage(std::string(check.verdict == BlockTextVerdict::NotHex ? text::kErrorInputNum
                                                                              : text::kTooHugeNum),
                       MessageIcon::Warning);
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
  if (chosen && StoredTextLength(*chosen) > kMaxPathChars) {
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

namespace {

// What the export stores for a start or end text. A text the 6-byte field cannot
// hold (leading zeros, characters after the ninth that the edit never reads) is
// stored as the shortest text of the same value, so it imports as the same number.
std::string StoredBlockText(const std::string& text) {
  if (text.size() <= kMaxStoredBlockText) return text;
  const BlockTextCheck check = CheckBlockText(text);
  if (check.verdict == BlockTextVerdict::Accepted) return ShortestBlockText(check.value);
  return text.substr(0, kMaxStoredBlockText);
}

}  // namespace

bool ExportPartFile(DialogOps& dialog) {
  // Everything is gathered before the chooser opens: the file holds the state at the
  // moment the button was pressed.
  PartFileRecord record;
  record.tablePath = dialog.GetItemText(ids::kTableEdit);
  record.dataPath = dialog.GetItemText(ids::kDataEdit);
  auto refuse = [&](std::string_view what) {
    dialog.ShowMessage(text::PathTooLong(what), MessageIcon::Warning);
    return false;
  };
  if (StoredTextLength(record.tablePath) > kMaxPathChars) return refuse("Table File");
  if (StoredTextLength(record.dataPath) > kMaxPathChars) return refuse("Data File");
  int n = 0;
  while (n < kRowCount && dialog.IsItemChecked(RowControlsFor(n + 1).check)) ++n;
  for (int i = 0; i < n; ++i) {
    const RowControls& c = RowControlsFor(i + 1);
    PartFileRow& row = record.rows[static_cast<std::size_t>(i)];
    row.imagePath = dialog.GetItemText(c.pathEdit);
    if (StoredTextLength(row.imagePath) > kMaxPathChars) return refuse("FILE" + std::to_string(i + 1));
    row.startText = StoredBlockText(dialog.GetItemText(c.startEdit));
    row.endText = StoredBlockText(dialog.GetItemText(c.endEdit));
    row.imageBlocks = dialog.Slot(i + 1).imageBlocks;
  }
  record.blockModeIndex = static_cast<std::uint8_t>(dialog.GetBlockModeSelection());  // -1 becomes 255
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

Expected<std::optional<PartFileRecord>> ReadPartFile(const std::string& path) {
  std::array<std::uint8_t, part_layout::kSize> bytes{};
  auto file = File::OpenRead(path);
  std::optional<FileError> error;
  if (!file) {
    error = file.error();
  } else if (auto got = file->ReadAt(0, bytes); !got) {
    error = got.error();
  }
  // Something that is not a file (a FIFO, a device) holds no job.
  if (error) return error->notAFile ? Expected<std::optional<PartFileRecord>>(std::nullopt) : *error;
  return PartFileRecord::Decode(bytes);  // the file closes as `file` goes
}

bool ImportPartFile(DialogOps& dialog) {
  const auto chosen = dialog.ChooseFile({ChooserKind::Open, filters::kPartFile, "part"});
  if (!chosen) return false;
  const auto record = ReadPartFile(*chosen);
  if (!record) {
    dialog.ShowMessage(record.error().Message(), MessageIcon::Error);
    return false;
  }
  if (!*record) {
    dialog.ShowMessage(std::string(text::kBadPartFile), MessageIcon::Warning);
    return false;
  }
  ApplyPartRecord(dialog, **record);
  return true;
}

void ApplyPartRecord(DialogOps& dialog, const PartFileRecord& record) {
  dialog.SetItemText(ids::kTableEdit, record.tablePath);
  dialog.SetItemText(ids::kDataEdit, record.dataPath);
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
    dialog.SetItemText(c.pathEdit, row.imagePath);
    dialog.EnableItem(c.startEdit, true);
    dialog.SetItemText(c.startEdit, row.startText);
    dialog.EnableItem(c.endEdit, true);
    dialog.EnableItem(c.browse, true);
    dialog.SetItemText(c.endEdit, row.endText);
    PartitionSlot& slot = dialog.Slot(i + 1);
    slot.imageBlocks = row.imageBlocks;
    slot.imagePath = row.imagePath;
  }
  // Each restored row's block numbers go through the edits' own validation once more;
  // the import never parses them itself.
  for (int row = 1; row <= kRowCount && dialog.IsItemChecked(RowControlsFor(row).check); ++row) {
    dialog.OnBlockEditChange(row, BlockEdit::Start);
    dialog.OnBlockEditChange(row, BlockEdit::End);
  }
}

}  // namespace folvane
