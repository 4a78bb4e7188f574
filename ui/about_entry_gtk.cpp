// GTK has no window menu to add to: the About entry lives in the context menu of the
// window's background, and F1 opens it too.
#include <wx/accel.h>
#include <wx/menu.h>
#include <wx/toplevel.h>

#include "about_entry.hpp"
#include "merge_dialog.hpp"

namespace folvane::ui {

void InstallAboutEntry(wxTopLevelWindow& window) {
  window.Bind(wxEVT_CONTEXT_MENU, [&window](wxContextMenuEvent& event) {
    if (event.GetEventObject() != &window) return event.Skip();
    wxMenu menu;
    menu.Append(kAboutCommand, wxString::FromUTF8(kAboutEntryText));
    window.PopupMenu(&menu);
  });
  wxAcceleratorEntry keys[] = {{wxACCEL_NORMAL, WXK_F1, kAboutCommand}};
  window.SetAcceleratorTable(wxAcceleratorTable(1, keys));
}

}  // namespace folvane::ui
