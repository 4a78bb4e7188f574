#pragma once
// CMergeDlg: the program's one window. It lays out its controls from the template,
// routes every control event to one handler, and lends its controls to the core as
// the merge's host and as the dialog operations of the row handlers, IMPORT and
// EXPORT.

#include <wx/dialog.h>
#include <wx/eventfilter.h>
#include <wx/icon.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "dialog/dialog_ops.hpp"
#include "docking/docking.hpp"
#include "flash_map_view.hpp"
#include "job_pane.hpp"
#include "merge/merge.hpp"
#include "toolkit_dialogs.hpp"

class wxButton;
class wxCheckBox;
class wxChoice;
class wxGauge;
class wxStaticText;
class wxTextCtrl;

namespace folvane::ui {

/// Identifier of the About command (as in the window menu of the original).
inline constexpr int kAboutCommand = 16;
/// Identifier of the docked pane.
inline constexpr int kPaneId = 103;
/// The flash map's height in pixels until its edge is dragged.
inline constexpr int kMapHeight = 72;

/// The dialog's font: SimSun where installed, otherwise a face that has the Chinese
/// texts, found through the font enumerator.
wxFont DialogFont();

/// The application icon in its 32 x 32 and 16 x 16 images.
wxIconBundle AppIcons();

}  // namespace folvane::ui

class CMergeDlg : public wxDialog, public folvane::MergeHost, public folvane::DialogOps {
 public:
  explicit CMergeDlg(wxWindow* parent = nullptr);
  ~CMergeDlg() override;

  /// Replaces the platform's file chooser (for tests and scripted use). It is handed
  /// what the toolkit's file dialog would be; the window completes its answer.
  using Chooser = std::function<std::optional<std::string>(const folvane::ui::ChooserSetup&)>;
  void SetFileChooser(Chooser chooser) { chooser_ = std::move(chooser); }

  folvane::PartitionSet& Job() { return set_; }
  folvane::FlashGeometry& Geometry() override { return geometry_; }

  // Handlers, one per control event.
  void OnMerge();
  void OnExit();
  void OnFileCheck(int row);
  void OnBrowseImage(int row);
  void OnBlockEditChange(int row, folvane::BlockEdit which) override;
  void OnBrowseTable();
  void OnBrowseData();
  void OnBlockModeChange();
  void OnImport();
  void OnExport();
  void OnSystemCommand(int command);

  // MergeHost
  bool IsRowChecked(int row) override;
  std::string GetRowPathText(int row) override;
  void ClearRowPathText(int row) override;
  std::string GetDataPathText() override;
  std::string GetTablePathText() override;
  void SetStatusText(const std::string& text) override;
  void SetProgressRange(std::uint32_t upper) override;
  void SetProgressPos(std::uint32_t pos) override;
  void ShowMessage(const std::string& text, folvane::MessageIcon icon) override;

  // DialogOps
  std::string GetItemText(int id) override;
  void SetItemText(int id, const std::string& text) override;
  bool IsItemChecked(int id) override;
  void SetItemChecked(int id, bool checked) override;
  void EnableItem(int id, bool enable) override;
  int GetBlockModeSelection() override;
  void SetBlockModeSelection(int index) override;
  folvane::PartitionSlot& Slot(int row) override { return set_.Slot(row); }
  std::optional<std::string> ChooseFile(const folvane::FileChooserRequest& request) override;

  /// The progress bar's range and position as the merge set them.
  [[nodiscard]] std::uint32_t ProgressRange() const { return progressRange_; }
  [[nodiscard]] std::uint32_t ProgressPos() const { return progressPos_; }
  /// The docked pane.
  [[nodiscard]] wxWindow* Pane() const { return pane_; }
  /// The flash map drawn in the pane.
  [[nodiscard]] folvane::ui::FlashMapView* Map() const { return map_; }
  /// The pane's tools under the map.
  [[nodiscard]] folvane::ui::JobPane* Tools() const { return tools_; }
  /// The job as the map draws it now: on the chip the pane was given, if any.
  [[nodiscard]] folvane::FlashLayout CurrentLayout();
  /// Lays the job out again and redraws the map: at once, or once the event being
  /// handled is done (so that an IMPORT setting every field redraws once).
  void UpdateMap();
  void ScheduleMapUpdate();
  /// The message box caption: the executable's name without its extension.
  [[nodiscard]] const wxString& Caption() const { return caption_; }

 private:
  class InputBlocker;

  void CreateControls();
  void RouteEvents();
  void InitMainDialog();
  void Repaint(bool now);
  void SyncGauge();
  void SetPaneHeight(int mapHeight);
  bool OnPaneKey(wxKeyEvent& event);
  std::optional<std::string> RunFileDialog(const folvane::ui::ChooserSetup& chooserSetup, const std::string& previous);
  wxTextCtrl* Edit(int id) const;
  wxCheckBox* Check(int id) const;

  folvane::PartitionSet set_;
  folvane::FlashGeometry geometry_;
  folvane::ui::DockingPaneManager docking_;
  wxWindow* pane_ = nullptr;
  folvane::ui::FlashMapView* map_ = nullptr;
  folvane::ui::JobPane* tools_ = nullptr;
  bool mapScheduled_ = false;
  wxIconBundle icons_;
  wxString caption_;
  Chooser chooser_;
  wxChoice* blockMode_ = nullptr;
  wxGauge* progress_ = nullptr;
  wxStaticText* status_ = nullptr;
  std::uint32_t progressRange_ = 100;
  std::uint32_t progressPos_ = 0;
  std::unique_ptr<InputBlocker> blocker_;
  std::chrono::steady_clock::time_point lastRepaint_{};
};
