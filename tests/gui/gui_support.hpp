#pragma once
// The window under test: a real CMergeDlg on the X server, driven through real
// control events, with its modal dialogs caught by a recording hook (so an unexpected
// box fails the test instead of hanging it) and its file choosers scripted.

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/modalhook.h>
#include <wx/msgdlg.h>
#include <wx/uiaction.h>
#include <wx/window.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "merge_dialog.hpp"

namespace folvane::testing {

/// Every modal dialog opened while it is registered, answered at once.
class RecordingModalHook : public wxModalDialogHook {
 public:
  struct Shown {
    std::string kind;     ///< "message", "about" or the class name
    std::string text;     ///< the message
    std::string caption;
    long style = 0;
  };
  std::vector<Shown> shown;
  /// Called while the dialog is "up", before it is answered.
  std::function<void(wxDialog*)> onShow;
  /// What every dialog is answered with.
  int reply = wxID_OK;

  RecordingModalHook() { Register(); }
  ~RecordingModalHook() override { Unregister(); }

  /// The message texts, in order.
  [[nodiscard]] std::vector<std::string> Messages() const;

 protected:
  int Enter(wxDialog* dialog) override;
  void Exit(wxDialog*) override {}
};

/// Lets pending events, repaints and simulated input arrive.
void Pump(int milliseconds = 50);

/// Whether the test runs under Wine rather than on Windows itself.
bool UnderWine();

/// Skips a test that needs what Wine without a window manager does not give: the real
/// input path (simulated keys reach no Wine window; the test helpers send the
/// controls' own events instead) or a full device. The test says so itself, so that it
/// keeps being skipped under any name and runs everywhere else.
#define SKIP_UNDER_WINE(why) \
  if (::folvane::testing::UnderWine()) GTEST_SKIP() << "under Wine: " << (why)

/// A left click in the middle of a control, through the X server.
void Click(wxWindow* control);

/// Focuses an edit and types `text` key by key through the X server.
void TypeInto(wxWindow* edit, const std::string& text);

/// Runs folvane-cli with `args` (single-quoted as a POSIX shell quotes); its status.
int RunCli(const std::string& args);

/// The X window of a shown top-level window.
#ifdef __WXGTK__
unsigned long XWindowOf(wxWindow* window);
#endif

/// A shown main dialog with its choosers scripted.
class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  CMergeDlg* dlg = nullptr;
  RecordingModalHook hook;
  /// Answers for the next file choosers, in order; none left means cancel.
  std::vector<std::optional<std::string>> answers;
  std::vector<ui::ChooserSetup> requests;

  wxWindow* Ctrl(int id) const { return dlg->FindWindow(id); }
  std::string Text(int id) const;
};

}  // namespace folvane::testing
