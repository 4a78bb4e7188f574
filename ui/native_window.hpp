#pragma once
// What the window asks of the desktop beyond what wxWidgets offers. One interface;
// the GTK half lives in native_window_gtk.cpp.

class wxTopLevelWindow;

namespace folvane::ui {

/// Makes a window without an owner a main window to the window manager: listed in
/// the task bar and the window switcher, minimised and restored like any other.
void MarkAsMainWindow(wxTopLevelWindow* window);

/// Gives a message box the accessible role of an alert, so that a screen reader
/// announces it and reads its text.
void MarkAsAlert(wxTopLevelWindow* window);

}  // namespace folvane::ui
