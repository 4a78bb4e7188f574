// CMergeApp: runs the one dialog modally and ends; no main loop follows it.
#include <wx/app.h>

#include <optional>
#include <string>

#include "merge_dialog.hpp"
#include "wx_text.hpp"

class CMergeApp : public wxApp {
 public:
  bool OnInit() override {
    auto* dialog = new CMergeDlg(nullptr);
    // A job file named on the command line (opening a .part file from the desktop
    // does that) is loaded as IMPORT loads it, before the window is shown.
    if (argc > 1) {
      const std::string job = folvane::ui::FromWx(argv[1]);
      dialog->SetFileChooser([job](const folvane::FileChooserRequest&) { return std::optional<std::string>(job); });
      dialog->OnImport();
      dialog->SetFileChooser(nullptr);
    }
    dialog->ShowModal();  // the result is not examined
    dialog->Destroy();
    return true;
  }
  // Nothing runs after the dialog: the process ends as soon as it is closed.
  int OnRun() override { return 0; }
};

wxIMPLEMENT_APP(CMergeApp);
