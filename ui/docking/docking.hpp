#pragma once
// The docking-pane layer: the least that gives the main dialog its one docked pane.
// A pane is an empty window that keeps its size and sticks to the corner of the edge
// it is docked to; it takes no focus and never covers or moves a control.

#include <wx/gdicmn.h>
#include <wx/window.h>

namespace folvane::ui {

/// Where a pane is docked: left, right, top or bottom edge of the host.
enum DockDirection { kDockLeft = 0, kDockRight = 1, kDockTop = 2, kDockBottom = 3 };

class DockingPane;

class DockingPaneManager {
 public:
  DockingPaneManager() = default;
  DockingPaneManager(const DockingPaneManager&) = delete;
  DockingPaneManager& operator=(const DockingPaneManager&) = delete;

  /// Makes `host` the window whose edges panes dock to. `flags` is reserved (0).
  bool InstallDockingPanes(wxWindow* host, int flags);
  /// Creates a hidden pane `id` with the size of `rect`, docked in `direction`
  /// (a DockDirection); `neighbour`, when given, is the pane it docks beside.
  DockingPane* CreatePane(int id, const wxRect& rect, int direction, DockingPane* neighbour);
  /// Shows (`flags` & 1) or hides the pane.
  void ShowPane(DockingPane* pane, int flags);

  [[nodiscard]] wxWindow* Host() const { return host_; }

 private:
  void Place(DockingPane* pane) const;
  wxWindow* host_ = nullptr;
};

/// An empty docked pane; a child window of the host, destroyed with it.
class DockingPane : public wxWindow {
 public:
  DockingPane(wxWindow* host, int id, const wxSize& size, int direction, DockingPane* neighbour);
  bool AcceptsFocus() const override { return false; }
  bool AcceptsFocusFromKeyboard() const override { return false; }
  [[nodiscard]] int Direction() const { return direction_; }
  [[nodiscard]] DockingPane* Neighbour() const { return neighbour_; }

 private:
  int direction_;
  DockingPane* neighbour_;
};

}  // namespace folvane::ui
