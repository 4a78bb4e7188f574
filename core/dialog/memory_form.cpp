#include "dialog/memory_form.hpp"

#include "dialog/procedures.hpp"

namespace folvane {

MemoryForm::MemoryForm(std::string defaultDataPath, std::string defaultTablePath) {
  ApplyBlockMode(geometry, kDefaultBlockModeIndex);
  texts_[ids::kDataEdit] = std::move(defaultDataPath);
  texts_[ids::kTableEdit] = std::move(defaultTablePath);
  for (const RowControls& c : kRowControls) {
    for (int id : c.Inputs()) disabled_.insert(id);
  }
}

void MemoryForm::ClickCheck(int row) {
  const int id = RowControlsFor(row).check;
  SetItemChecked(id, !IsItemChecked(id));
  HandleFileCheck(*this, row);
}

void MemoryForm::SelectBlockMode(int index) {
  SetBlockModeSelection(index);
  ApplyBlockMode(geometry, selection_);
}

MergeResult MemoryForm::Merge(const MergeOptions& options) {
  return RunMerge(set, geometry, *this, options);
}

std::string MemoryForm::GetItemText(int id) {
  const auto it = texts_.find(id);
  return it == texts_.end() ? std::string() : it->second;
}

void MemoryForm::SetItemText(int id, const std::string& text) {
  texts_[id] = text;
  if (const auto edit = FindBlockEdit(id)) OnBlockEditChange(edit->row, edit->which);
}

bool MemoryForm::IsItemChecked(int id) { return checked_.count(id) != 0; }

void MemoryForm::SetItemChecked(int id, bool checked) {
  if (checked) {
    checked_.insert(id);
  } else {
    checked_.erase(id);
  }
}

void MemoryForm::EnableItem(int id, bool enable) {
  if (enable) {
    disabled_.erase(id);
  } else {
    disabled_.insert(id);
  }
}

void MemoryForm::SetBlockModeSelection(int index) {
  selection_ = index >= 0 && index < kBlockModeCount ? index : -1;
}

void MemoryForm::OnBlockEditChange(int row, BlockEdit which) { HandleBlockEditChange(*this, row, which); }

std::optional<std::string> MemoryForm::ChooseFile(const FileChooserRequest& request) {
  if (!chooser) return std::nullopt;
  return chooser(request);
}

void MemoryForm::ShowMessage(const std::string& text, MessageIcon icon) {
  messages.push_back({text, icon});
  if (onMessage) onMessage(messages.back());
}

void MemoryForm::SetStatusText(const std::string& text) {
  status = text;
  if (onStatus) onStatus(text);
}

void MemoryForm::SetProgressRange(std::uint32_t upper) {
  progressRange = upper;
  if (onProgress) onProgress(progressPos, progressRange);
}

void MemoryForm::SetProgressPos(std::uint32_t pos) {
  progressPos = pos;
  if (onProgress) onProgress(progressPos, progressRange);
}

}  // namespace folvane
