#include "gui_support.hpp"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/stopwatch.h>
#include <wx/textctrl.h>

#include "../test_support.hpp"
#include "about_dialog.hpp"
#include "wx_text.hpp"

#include <algorithm>
#include <cstdlib>
#ifndef _WIN32
#include <sys/wait.h>
#endif

#ifdef _WIN32
#include <wx/msw/wrapwin.h>  // windows.h without its macros that clash with wx's names
#endif

#ifdef __WXGTK__
// Last: Xlib's macros (None, Bool, Status) would break the headers above.
#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#endif

namespace folvane::testing {

bool UnderWine() {
#ifdef _WIN32
  // Wine's ntdll exports its version; Windows' own does not.
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

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

#ifdef __WXMSW__
// Wine's desktop without a window manager does not route simulated mouse clicks and
// keys reliably. A click and a printable key are made here the way the controls
// themselves turn them into events: a click toggles a check box and sends its event,
// or sends a button's; a key inserts its character, which sends the text event. A
// click on a disabled control does nothing, as it would.
void Click(wxWindow* control) {
  if (control->IsEnabled()) {
    if (auto* box = dynamic_cast<wxCheckBox*>(control)) {
      box->SetValue(!box->GetValue());
      wxCommandEvent event(wxEVT_CHECKBOX, box->GetId());
      event.SetEventObject(box);
      event.SetInt(box->GetValue() ? 1 : 0);
      box->ProcessWindowEvent(event);
    } else if (dynamic_cast<wxButton*>(control)) {
      wxCommandEvent event(wxEVT_BUTTON, control->GetId());
      event.SetEventObject(control);
      control->ProcessWindowEvent(event);
    } else {
      ADD_FAILURE() << "no click made for " << control->GetClassInfo()->GetClassName();
    }
  }
  Pump(30);
}

void TypeInto(wxWindow* edit, const std::string& text) {
  edit->SetFocus();
  auto* textEdit = dynamic_cast<wxTextCtrl*>(edit);
  for (char c : text) {
    if (textEdit && static_cast<unsigned char>(c) >= 0x20) {
      textEdit->WriteText(wxString(c));
    } else {
      wxUIActionSimulator sim;  // keys the control handles itself (Enter, Esc)
      sim.Char(static_cast<unsigned char>(c));
    }
    Pump(10);
  }
}
#else
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
#endif

int RunCli(const std::string& args) {
#ifdef _WIN32
  std::string quoted = args;  // the Windows command line quotes with double quotes
  std::replace(quoted.begin(), quoted.end(), '\'', '"');
  return RunProgram(FOLVANE_CLI, quoted, ".").status;
#else
  const int raw = std::system(("'" FOLVANE_CLI "' " + args + " 2>/dev/null").c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
}

#ifdef __WXGTK__
unsigned long XWindowOf(wxWindow* window) { return GDK_WINDOW_XID(gtk_widget_get_window(window->GetHandle())); }
#endif

void DialogTest::SetUp() {
  dlg = new CMergeDlg(nullptr);
  dlg->SetFileChooser([this](const ui::ChooserSetup& r) -> std::optional<std::string> {
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
