#pragma once
// What the row handlers and the .part procedures need of the main window. The window
// implements it over its real controls; MemoryForm implements it in memory for the
// command-line tool and the tests.

#include <optional>
#include <string>
#include <string_view>

#include "job/block_mode.hpp"
#include "dialog/controls.hpp"
#include "merge/merge.hpp"
#include "job/partition.hpp"

namespace folvane {

enum class ChooserKind { Open, Save };

/// A request for the platform's file chooser.
struct FileChooserRequest {
  ChooserKind kind = ChooserKind::Open;
  std::string_view filter;            ///< "Label|pattern|Label|pattern||"
  std::string_view defaultExtension;  ///< empty for none
};

namespace filters {
inline constexpr std::string_view kAnyFile = "File(*.*)|*.*||";
inline constexpr std::string_view kPartFile = "Part File(*.part)|*.part|File(*.*)|*.*||";
}  // namespace filters

class DialogOps {
 public:
  virtual ~DialogOps() = default;
  /// The full text of an edit.
  virtual std::string GetItemText(int id) = 0;
  /// Sets an edit's text; for a start or end edit this runs its change handling at
  /// once, exactly as typing would.
  virtual void SetItemText(int id, const std::string& text) = 0;
  /// A check box's state.
  virtual bool IsItemChecked(int id) = 0;
  /// Sets a check box's state without running its click handling.
  virtual void SetItemChecked(int id, bool checked) = 0;
  virtual void EnableItem(int id, bool enable) = 0;
  /// The Block Mode list's selection, -1 for none.
  virtual int GetBlockModeSelection() = 0;
  /// Selects an entry without raising a selection change; an index outside 0..15
  /// leaves the list without a selection.
  virtual void SetBlockModeSelection(int index) = 0;
  /// Validates the text of row 1..16's start or end edit and stores it in the slot.
  virtual void OnBlockEditChange(int row, BlockEdit which) = 0;
  /// The partition slot of row 1..16.
  virtual PartitionSlot& Slot(int row) = 0;
  /// The current flash geometry.
  virtual FlashGeometry& Geometry() = 0;
  /// The platform's file chooser; nothing if the user cancelled.
  virtual std::optional<std::string> ChooseFile(const FileChooserRequest& request) = 0;
  /// A modal message box with one OK button.
  virtual void ShowMessage(const std::string& text, MessageIcon icon) = 0;
};

}  // namespace folvane
