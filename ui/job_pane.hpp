#pragma once
// The tools under the flash map in the window's docked pane: what the command line
// tells of a job, in the window. After Merge, the outputs' sizes, byte sums, CRC-32
// and SHA-256, taken as the merge wrote them; the chip (its listed bad blocks, or a
// count of bad blocks) with each row's margin; the report page; a chip's read-back
// verified against the data image off the window's thread; text jobs opened and
// saved. The results stay as selectable text. F6 or Ctrl+Tab reaches the pane, Tab
// moves among its actions, and every action has a mnemonic.

#include <wx/panel.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "manifest/digest.hpp"
#include "flash/dump_verify.hpp"
#include "flash/margins.hpp"
#include "flash/row_codecs.hpp"
#include "layout/flash_layout.hpp"
#include "merge/merge.hpp"

class CMergeDlg;
class wxButton;
class wxGauge;
class wxTextCtrl;

namespace folvane::ui {

/// The digests of one merge's outputs, as the pane shows them.
struct MergeDigests {
  manifest::DigestValue data;
  manifest::DigestValue table;
  std::string dataPath;
  std::string tablePath;
};

/// The pane's actions, in Tab order.
enum class PaneAction { kBadBlocks, kChipOdds, kReport, kCopy, kVerify, kCancel, kOpenJob, kSaveJob };

class JobPane : public wxPanel {
 public:
  JobPane(wxWindow* parent, CMergeDlg& dialog);
  ~JobPane() override;

  /// The pane's height in pixels, under the map.
  [[nodiscard]] static int Height(wxWindow* dialog);

  /// What a merge wrote, or nothing for one that failed or was stopped;
  /// `digestsFailed`: the merge completed but its checksums could not be taken.
  void SetMergeDigests(std::optional<MergeDigests> digests, const MergeResult& result, bool digestsFailed = false);
  /// The set-up changed: the chip's margins follow.
  void SetupChanged(const FlashLayout& layout);
  /// The chip's listed bad blocks, for the map.
  [[nodiscard]] const std::optional<BadBlockSet>& BadBlocks() const { return chip_.badBlocks; }
  /// Rows that differ on the chip last verified.
  [[nodiscard]] const std::set<int>& DifferingRows() const { return differing_; }
  /// Whether a dump is being verified.
  [[nodiscard]] bool Busy() const { return worker_.joinable(); }

  [[nodiscard]] wxButton* Action(PaneAction action) const;
  [[nodiscard]] wxTextCtrl* Results() const { return results_; }
  /// The checksums as Copy puts them on the clipboard.
  [[nodiscard]] std::string ChecksumText() const;
  /// The first action, where F6 puts the focus.
  void FocusFirst();
  /// Tab and Shift+Tab inside the pane: round its own actions and results.
  void Navigate(bool forward);
  /// Alt+`letter`: presses the enabled action with that mnemonic; false if none has it.
  bool PressMnemonic(int letter);

  void OnBadBlocks();
  void OnChipOdds();
  /// The chip as a count, "N of B" as typed after Chip odds…; refused with a message.
  void SetChipCount(const std::string& text);
  void OnReport();
  void OnCopy();
  void OnVerify();
  void OnCancel();
  void OnOpenJob();
  void OnSaveJob();

 private:
  struct Finished;
  void ShowResults();
  void SetChip(ChipModel chip, std::string description);
  void ShowProgress();
  void Finish(Expected<DumpReport> report);
  void VerifyDone(Expected<DumpReport> report);
  std::optional<DumpCheck> PrepareVerify(const std::string& dumpPath);
  /// The files a report or a job file must not replace: the images, the outputs, the
  /// bad-block list and, `withJobFile`, the job file the pane opened or saved.
  [[nodiscard]] std::vector<std::string> JobFiles(bool withJobFile) const;

  CMergeDlg& dialog_;
  std::vector<wxButton*> actions_;
  wxTextCtrl* results_ = nullptr;
  wxGauge* gauge_ = nullptr;

  std::optional<MergeDigests> digests_;
  std::optional<MergeResult> lastMerge_;
  std::string mergedSetUp_;  ///< the set-up the checksums are of
  [[nodiscard]] std::string CurrentSetUpKey(const FlashLayout& layout) const;
  ChipModel chip_;
  std::string chipDescription_;  ///< "bad-block list /x/bad.txt", "8 bad blocks of 0x400"
  std::string chipPath_;         ///< the list's path, refused as a report's
  std::vector<std::string> marginLines_;
  std::vector<std::string> verifyLines_;
  std::set<int> differing_;
  RowCodecs codecs_;  ///< the verify's, alive while its thread reads
  std::string jobPath_;
  std::string jobSetUp_;       ///< the set-up the job file held when opened or saved
  std::string verifiedSetUp_;  ///< the set-up the verify's lines are of
  bool digestsFailed_ = false;
  std::string dumpPath_;

  std::thread worker_;
  std::atomic<bool> cancel_{false};
  std::atomic<std::uint64_t> done_{0};
  std::atomic<std::uint64_t> total_{0};
};

}  // namespace folvane::ui
