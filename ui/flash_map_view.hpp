#pragma once
// The flash map in the window's docked pane: the job's layout drawn as a strip from
// block 0 to the end of the last range, each row in its own colour (image solid,
// spare blocks light, left-out rows hatched red), 0xFF fill grey, the row numbers
// where they fit and a hexadecimal block scale. Hovering a segment tells its row,
// path, range, lengths and byte offset. The pane's top edge can be dragged to make
// the map taller; the host grows by as much, so no control ever moves or is covered.

#include <wx/window.h>

#include <cstdint>
#include <functional>
#include <set>
#include <vector>

#include "layout/flash_layout.hpp"

namespace folvane::ui {

class FlashMapView : public wxWindow {
 public:
  /// Lies in `pane`, which sizes it. `onHeight` is asked to give the map a new height
  /// when its top edge is dragged.
  FlashMapView(wxWindow* pane, std::function<void(int height)> onHeight);
  bool AcceptsFocus() const override { return false; }
  bool AcceptsFocusFromKeyboard() const override { return false; }

  void SetLayout(FlashLayout layout);
  [[nodiscard]] const FlashLayout& Layout() const { return layout_; }
  /// Rows that a chip's read-back showed to differ: framed in red.
  void SetDifferingRows(std::set<int> rows);
  [[nodiscard]] const std::set<int>& DifferingRows() const { return differing_; }

  /// The strip's pixel columns, in this window's coordinates: block `block` begins at
  /// BlockX(block) and a run of blocks ends before BlockX(end), never narrower than
  /// one pixel.
  [[nodiscard]] int BlockX(std::uint64_t block) const;
  /// The strip's rows of pixels.
  [[nodiscard]] wxRect Strip() const;
  /// What the tooltip says at `point`, or nothing.
  [[nodiscard]] wxString HoverText(wxPoint point) const;
  /// Draws the map into `dc` over `size`.
  void Draw(wxDC& dc, wxSize size) const;

  /// Height of the grip along the top edge that resizes the pane.
  static constexpr int kGrip = 5;
  static constexpr int kMinHeight = 48;
  static constexpr int kMaxHeight = 400;

 private:
  struct Drawn {
    const LayoutSegment* segment;
    int x0, x1;  ///< [x0, x1)
  };
  [[nodiscard]] std::vector<Drawn> Columns() const;
  void DrawSegments(wxDC& dc, const wxRect& strip) const;
  void DrawBadBlocks(wxDC& dc, const wxRect& strip) const;
  void DrawRows(wxDC& dc, const wxRect& strip) const;
  void DrawScale(wxDC& dc, const wxRect& strip, wxSize size, const wxColour& text) const;
  void OnPaint(wxPaintEvent& event);
  void OnMouse(wxMouseEvent& event);

  FlashLayout layout_;
  std::set<int> differing_;
  std::function<void(int)> onHeight_;
  int dragFrom_ = -1;  ///< screen y where a drag of the edge began
  int dragHeight_ = 0;
  wxString tip_;
};

}  // namespace folvane::ui
