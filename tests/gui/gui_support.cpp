#include "gui_support.hpp"

#include <wx/stopwatch.h>
#include <wx/textctrl.h>

#include "about_dialog.hpp"
#include "wx_text.hpp"

// Last: Xlib's macros (None, Bool, Status) would break the headers above.
#include <gdk/gdkx.h>
#include <gtk/gtk.h>

namespace folvane::testing {

std::vector<std::string> RecordingModalHook::Messages() const {
  std::vector<std::string> texts;
  for (const auto& s : shown)
    if (s.kind == "message") texts.push_back(s.text);
  return texts;
}

int RecordingModalHook::Enter(wxDialog* dialog) {
  Shown s;
  s.caption = ui::FromWx(dialog->GetTitle());
  if (auto* box = dynamic_cast<wxMessageDialogBase*>(dialog)) {
    s.kind = "message";
    s.text = ui::FromWx(box->GetMessage());
    s.caption = ui::FromWx(box->GetTitle());
    s.style = box->GetMessageDialogStyle();
  } else if (dynamic_cast<CAboutDlg*>(dialog)) {
    s.kind = "about";
  } else {
    s.kind = ui::FromWx(dialog->GetClassInfo()->GetClassName());
  }
  shown.push_back(s);
  if (onShow) onShow(dialog);
  return reply;
}

void Pump(int milliseconds) {
  wxStopWatch sw;
  do {
    wxTheApp->Yield(true);
    wxMilliSleep(5);
  } while (sw.Time() < milliseconds);
}

namespace {
// Without a window manager the X server sends keys to the window under the pointer.
void PointAt(wxWindow* control) {
  wxUIActionSimulator sim;
  const wxRect r = control->GetScreenRect();
  sim.MouseMove(r.GetLeft() + r.GetWidth() / 2, r.GetTop() + r.GetHeight() / 2);
  Pump(40);
}
}  // namespace

void Click(wxWindow* control) {
  PointAt(control);
  wxUIActionSimulator sim;
  sim.MouseClick();
  Pump(80);
}

void TypeInto(wxWindow* edit, const std::string& text) {
  PointAt(edit);
  edit->SetFocus();
  Pump(30);
  wxUIActionSimulator sim;
  for (char c : text) {
    sim.Char(static_cast<unsigned char>(c));
    Pump(20);
  }
}

unsigned long XWindowOf(wxWindow* window) { return GDK_WINDOW_XID(gtk_widget_get_window(window->GetHandle())); }

void DialogTest::SetUp() {
  dlg = new CMergeDlg(nullptr);
  dlg->SetFileChooser([this](const ui::ChooserSpec& r) -> std::optional<std::string> {
    requests.push_back(r);
    if (answers.empty()) return std::nullopt;
    auto a = answers.front();
    answers.erase(answers.begin());
    return a;
  });
  dlg->Show();
  dlg->Raise();
  Pump(150);
}

void DialogTest::TearDown() {
  dlg->Destroy();
  Pump(20);
}

std::string DialogTest::Text(int id) const {
  return ui::FromWx(wxStaticCast(dlg->FindWindow(id), wxTextCtrl)->GetValue());
}

}  // namespace folvane::testing
