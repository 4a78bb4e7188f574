// Saves a picture of the window for the README: window_shot OUT.png [JOB.part|--about]
// With a job, it is loaded as IMPORT loads it and merged before the picture is taken;
// with --about, the picture is of the about box.
// Runs on the X server in DISPLAY (tools/screenshot.sh starts one).
#include <wx/app.h>
#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
#include <wx/init.h>
#include <wx/stopwatch.h>

#include "about_dialog.hpp"
#include "merge_dialog.hpp"

namespace {
class ShotApp : public wxApp {
 public:
  bool OnInit() override { return true; }
};

void Pump(int ms) {
  wxStopWatch sw;
  while (sw.Time() < ms) {
    wxTheApp->Yield(true);
    wxMilliSleep(10);
  }
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 64;
  wxApp::SetInstance(new ShotApp);
  int one = 1;
  char* args[] = {argv[0], nullptr};
  if (!wxEntryStart(one, args) || !wxTheApp->CallOnInit()) return 1;
  wxInitAllImageHandlers();
  auto* dlg = new CMergeDlg(nullptr);
  dlg->Show();
  Pump(300);
  wxWindow* subject = dlg;
  if (argc > 2 && std::string(argv[2]) == "--about") {
    auto* about = new CAboutDlg(dlg);
    about->Move(0, 0);
    about->Show();
    subject = about;
  } else if (argc > 2) {
    const std::string job = argv[2];
    dlg->SetFileChooser([&](const folvane::FileChooserRequest&) { return std::optional<std::string>(job); });
    dlg->OnImport();
    dlg->OnMerge();
  }
  Pump(500);
  const wxRect r(subject->GetScreenPosition(), subject->GetClientSize());
  wxBitmap picture(r.width, r.height);
  {
    wxScreenDC screen;
    wxMemoryDC memory(picture);
    memory.Blit(0, 0, r.width, r.height, &screen, r.x, r.y);
  }
  const bool saved = picture.SaveFile(argv[1], wxBITMAP_TYPE_PNG);
  dlg->Destroy();
  wxEntryCleanup();
  return saved ? 0 : 1;
}
