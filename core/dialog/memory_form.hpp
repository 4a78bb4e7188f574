#pragma once
// The main window's state without a window: check boxes, edit texts, enabled flags,
// the Block Mode selection, the status line and the progress bar. Setting a start or
// end edit's text runs its change handling at once, as a real edit does. Tests use it
// to stand for the window (the command line loads jobs as LoadedJob).

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "dialog/dialog_ops.hpp"
#include "merge/merge.hpp"

namespace folvane {

class MemoryForm : public DialogOps, public MergeHost {
 public:
  /// The state of a freshly started window, with the two default output paths.
  MemoryForm(std::string defaultDataPath, std::string defaultTablePath);

  PartitionSet set;
  FlashGeometry geometry;
  std::string status = "IDLE";
  std::uint32_t progressRange = 100;
  std::uint32_t progressPos = 0;

  using Message = ShownMessage;
  /// Every message shown, in order.
  std::vector<Message> messages;

  /// Answers file choosers; unset means the user cancels.
  std::function<std::optional<std::string>(const FileChooserRequest&)> chooser;
  /// Observers for the command-line tool's output.
  std::function<void(const Message&)> onMessage;
  std::function<void(const std::string&)> onStatus;
  std::function<void(std::uint32_t pos, std::uint32_t range)> onProgress;

  /// A click on row 1..16's check box: toggles it and lets the row follow.
  void ClickCheck(int row);
  /// The user picks a Block Mode entry.
  void SelectBlockMode(int index);
  /// The Merge button.
  MergeResult Merge(const MergeOptions& options = {});
  [[nodiscard]] bool IsItemEnabled(int id) const { return disabled_.count(id) == 0; }

  // DialogOps
  std::string GetItemText(int id) override;
  void SetItemText(int id, const std::string& text) override;
  bool IsItemChecked(int id) override;
  void SetItemChecked(int id, bool checked) override;
  void EnableItem(int id, bool enable) override;
  int GetBlockModeSelection() override { return selection_; }
  void SetBlockModeSelection(int index) override;
  void OnBlockEditChange(int row, BlockEdit which) override;
  PartitionSlot& Slot(int row) override { return set.Slot(row); }
  FlashGeometry& Geometry() override { return geometry; }
  std::optional<std::string> ChooseFile(const FileChooserRequest& request) override;
  void ShowMessage(const std::string& text, MessageIcon icon) override;

  // MergeHost
  bool IsRowChecked(int row) override { return IsItemChecked(RowControlsFor(row).check); }
  std::string GetRowPathText(int row) override { return GetItemText(RowControlsFor(row).pathEdit); }
  void ClearRowPathText(int row) override { SetItemText(RowControlsFor(row).pathEdit, ""); }
  std::string GetDataPathText() override { return GetItemText(ids::kDataEdit); }
  std::string GetTablePathText() override { return GetItemText(ids::kTableEdit); }
  void SetStatusText(const std::string& text) override;
  void SetProgressRange(std::uint32_t upper) override;
  void SetProgressPos(std::uint32_t pos) override;

 private:
  std::map<int, std::string> texts_;
  std::set<int> checked_;
  std::set<int> disabled_;
  int selection_ = kDefaultBlockModeIndex;
};

}  // namespace folvane
