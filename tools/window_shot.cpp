// Saves a picture of the window for the README:
//   window_shot OUT.png [JOB.part [BAD-BLOCKS.txt ["N of B"]]|--about|--message]
// With a job, it is loaded as IMPORT loads it and merged before the picture is taken,
// and the pane is given the chip's bad-block list and count when they follow;
// with --about, the picture is of the about box; with --message, of the message box
// that a refused block number raises.
// Runs on the X server in DISPLAY (tools/screenshot.sh starts one).
#include <wx/app.h>
#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
#include <wx/init.h>
#include <wx/stopwatch.h>
#include <wx/timer.h>

#include <algorithm>
#include <string>
#include <vector>

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
bool SavePicture(wxWindow* subject, const char* path) {
  const wxRect r(subject->GetScreenPosition(), subject->GetClientSize());
  wxBitmap picture(r.width, r.height);
  {
    wxScreenDC screen;
    wxMemoryDC memory(picture);
    memory.Blit(0, 0, r.width, r.height, &screen, r.x, r.y);
  }
  return picture.SaveFile(path, wxBITMAP_TYPE_PNG);
}

// The message box is modal: it is photographed from inside its own loop, then closed.
bool PictureOfAMessage(CMergeDlg* dlg, const char* path) {
  bool saved = false;
  wxTimer timer;
  timer.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
    auto* box = wxDynamicCast(wxTopLevelWindows.GetLast()->GetData(), wxDialog);
    if (!box || box == dlg || !box->IsModal()) return;
    timer.Stop();
    Pump(300);
    saved = SavePicture(box, path);
    box->EndModal(wxID_OK);
  });
  timer.Start(200);
  const folvane::RowControls& row = folvane::RowControlsFor(1);
  dlg->SetItemChecked(row.check, true);
  dlg->OnFileCheck(1);
  dlg->SetItemText(row.startEdit, "10001");  // "Too Huge Num!"
  return saved;
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
  if (argc > 2 && std::string(argv[2]) == "--message") {
    const bool saved = PictureOfAMessage(dlg, argv[1]);
    dlg->Destroy();
    wxEntryCleanup();
    return saved ? 0 : 1;
  }
  if (argc > 2 && std::string(argv[2]) == "--about") {
    auto* about = new CAboutDlg(dlg);
    about->Move(0, 0);
    about->Show();
    subject = about;
  } else if (argc > 2) {
    // A job imported and merged; with a bad-block list and a count ("N of B"), the
    // pane's chip too.
    std::vector<std::string> answers(argv + 2, argv + std::min(argc, 4));
    dlg->SetFileChooser([&](const folvane::FileChooserRequest&) {
      std::optional<std::string> next;
      if (!answers.empty()) next = answers.front(), answers.erase(answers.begin());
      return next;
    });
    dlg->OnImport();
    dlg->OnMerge();
    if (argc > 3) dlg->Tools()->OnBadBlocks();
    if (argc > 4) dlg->Tools()->SetChipCount(argv[4]);
  }
  Pump(500);
  const bool saved = SavePicture(subject, argv[1]);
  dlg->Destroy();
  wxEntryCleanup();
  return saved ? 0 : 1;
}
