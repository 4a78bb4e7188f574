#include "native_window.hpp"

namespace folvane::ui {

// On Windows a dialog without an owner is already a main window: it has its task-bar
// button and is minimised and restored like any other.
void MarkAsMainWindow(wxTopLevelWindow*) {}

// The message boxes are Windows' own, which screen readers announce as alerts.
void MarkAsAlert(wxTopLevelWindow*) {}

}  // namespace folvane::ui
