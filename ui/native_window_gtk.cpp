#include "native_window.hpp"

#include <gtk/gtk.h>
#include <wx/toplevel.h>

namespace folvane::ui {

void MarkAsMainWindow(wxTopLevelWindow* window) {
  // wxGTK marks every wxDialog as a dialog to the window manager; one without an
  // owner is then left out of the task bar and the window switcher by some desktops,
  // and cannot be minimised on others.
  gtk_window_set_type_hint(GTK_WINDOW(window->GetHandle()), GDK_WINDOW_TYPE_HINT_NORMAL);
}

void MarkAsAlert(wxTopLevelWindow* window) {
  // A box built of wx controls is a plain GtkWindow, which GTK presents as a frame.
  atk_object_set_role(gtk_widget_get_accessible(window->GetHandle()), ATK_ROLE_ALERT);
}

}  // namespace folvane::ui
