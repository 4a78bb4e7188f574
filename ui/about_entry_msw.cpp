// Windows: a separator and the About entry at the end of the real window menu. wx
// masks the WM_SYSCOMMAND's identifier with 0xFFF0, as the system asks, and turns a
// command of ours into a wxEVT_MENU.
#include <wx/menu.h>
#include <wx/toplevel.h>

#include "about_entry.hpp"
#include "merge_dialog.hpp"

namespace folvane::ui {

void InstallAboutEntry(wxTopLevelWindow& window) {
  wxMenu* menu = window.MSWGetSystemMenu();
  if (!menu) return;  // no window menu: no About entry, and nothing else changes
  menu->AppendSeparator();
  menu->Append(kAboutCommand, wxString::FromUTF8(kAboutEntryText));
}

}  // namespace folvane::ui
