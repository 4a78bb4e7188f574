#include "docking.hpp"

namespace folvane::ui {

DockingPane::DockingPane(wxWindow* host, int id, const wxSize& size, int direction, DockingPane* neighbour)
    : wxWindow(host, id, wxDefaultPosition, size, wxBORDER_NONE), direction_(direction), neighbour_(neighbour) {
  Hide();
}

bool DockingPaneManager::InstallDockingPanes(wxWindow* host, int /*flags*/) {
  host_ = host;
  return host_ != nullptr;
}

DockingPane* DockingPaneManager::CreatePane(int id, const wxRect& rect, int direction, DockingPane* neighbour) {
  if (!host_) return nullptr;
  auto* pane = new DockingPane(host_, id, rect.GetSize(), direction, neighbour);
  Place(pane);
  // Keep the pane on its edge when the window is resized; the controls stay put.
  host_->Bind(wxEVT_SIZE, [this, pane](wxSizeEvent& event) {
    Place(pane);
    event.Skip();
  });
  return pane;
}

void DockingPaneManager::ShowPane(DockingPane* pane, int flags) {
  if (pane) pane->Show((flags & 1) != 0);
}

void DockingPaneManager::Place(DockingPane* pane) const {
  const wxSize client = host_->GetClientSize();
  const wxSize size = pane->GetSize();
  wxPoint at(0, 0);  // left and top panes sit in the top-left corner
  if (pane->Direction() == kDockRight) at.x = client.x - size.x;
  if (pane->Direction() == kDockBottom) at.y = client.y - size.y;
  if (DockingPane* n = pane->Neighbour()) {
    // Beside its neighbour along the same edge.
    const bool vertical = pane->Direction() == kDockLeft || pane->Direction() == kDockRight;
    (vertical ? at.y : at.x) = vertical ? n->GetRect().GetBottom() + 1 : n->GetRect().GetRight() + 1;
  }
  pane->Move(at);
}

}  // namespace folvane::ui
