// CMergeApp: runs the one dialog modally and ends; no main loop follows it.
#include <wx/app.h>

#include "merge_dialog.hpp"

class CMergeApp : public wxApp {
 public:
  bool OnInit() override {
    auto* dialog = new CMergeDlg(nullptr);
    dialog->ShowModal();  // the result is not examined
    dialog->Destroy();
    return true;
  }
  // Nothing runs after the dialog: the process ends as soon as it is closed.
  int OnRun() override { return 0; }
};

wxIMPLEMENT_APP(CMergeApp);
