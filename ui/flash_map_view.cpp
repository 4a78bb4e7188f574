#include "flash_map_view.hpp"

#include <wx/dcbuffer.h>
#include <wx/settings.h>

#include <algorithm>

#include "job/block_text.hpp"
#include "layout/palette.hpp"
#include "wx_text.hpp"

namespace folvane::ui {

namespace {

wxColour Wx(Rgb c) { return wxColour(c.r, c.g, c.b); }


// The kinds in the order a pixel column shows them when several share it: a left-out
// range over everything, then images, spare blocks and fill.
int Priority(SegmentKind kind) {
  switch (kind) {
    case SegmentKind::LeftOut: return 3;
    case SegmentKind::Image: return 2;
    case SegmentKind::Spare: return 1;
    case SegmentKind::Fill: return 0;
  }
  return 0;
}

void PaintSegment(wxDC& dc, const LayoutSegment& s, const wxRect& r) {
  switch (s.kind) {
    case SegmentKind::Fill:
      dc.SetBrush(wxBrush(Wx(kFillColour)));
      dc.DrawRectangle(r);
      break;
    case SegmentKind::Image:
      dc.SetBrush(wxBrush(Wx(RowColour(s.row))));
      dc.DrawRectangle(r);
      break;
    case SegmentKind::Spare:
      // Light, with the row's colour in fine diagonals: tells spare from image
      // without relying on the shade alone.
      dc.SetBrush(wxBrush(Wx(SpareColour(s.row))));
      dc.DrawRectangle(r);
      dc.SetBrush(wxBrush(Wx(RowColour(s.row)), wxBRUSHSTYLE_FDIAGONAL_HATCH));
      dc.DrawRectangle(r);
      break;
    case SegmentKind::LeftOut:
      dc.SetBrush(wxBrush(Wx(kLeftOutColour), wxBRUSHSTYLE_CROSSDIAG_HATCH));
      dc.DrawRectangle(r);
      dc.SetPen(wxPen(Wx(kLeftOutColour), 2));
      dc.SetBrush(*wxTRANSPARENT_BRUSH);
      dc.DrawRectangle(r);
      dc.SetPen(*wxTRANSPARENT_PEN);
      break;
  }
}

// A row's number on white, centred in its columns [x0, x1) of the strip, and only
// where it fits; the row's name from a text job beside its number, where both fit.
void DrawRowLabel(wxDC& dc, const wxRect& strip, const LayoutRow& row, int x0, int x1, bool marked) {
  const wxString number = wxString::Format(marked ? "%d!" : "%d", row.row);
  const wxString named = number + " " + ToWx(row.name);
  const wxString text = !row.name.empty() && dc.GetTextExtent(named).x + 4 <= x1 - x0 ? named : number;
  const wxSize extent = dc.GetTextExtent(text);
  if (extent.x + 4 > x1 - x0 || extent.y + 2 > strip.height) return;
  const wxRect box(x0 + (x1 - x0 - extent.x - 4) / 2, strip.y + (strip.height - extent.y - 2) / 2, extent.x + 4,
                   extent.y + 2);
  dc.SetPen(*wxTRANSPARENT_PEN);
  dc.SetBrush(*wxWHITE_BRUSH);
  dc.DrawRectangle(box);
  dc.SetTextForeground(!row.accepted || marked ? Wx(kLeftOutColour) : *wxBLACK);
  dc.DrawText(text, box.x + 2, box.y + 1);
}

}  // namespace

FlashMapView::FlashMapView(wxWindow* pane, std::function<void(int)> onHeight)
    : wxWindow(pane, wxID_ANY, wxPoint(0, 0), pane->GetClientSize(), wxBORDER_NONE | wxFULL_REPAINT_ON_RESIZE),
      onHeight_(std::move(onHeight)) {
  SetBackgroundStyle(wxBG_STYLE_PAINT);
  Bind(wxEVT_PAINT, &FlashMapView::OnPaint, this);
  for (auto type : {wxEVT_LEFT_DOWN, wxEVT_LEFT_UP, wxEVT_MOTION, wxEVT_LEAVE_WINDOW}) {
    Bind(type, &FlashMapView::OnMouse, this);
  }
  Bind(wxEVT_MOUSE_CAPTURE_LOST, [this](wxMouseCaptureLostEvent&) { dragFrom_ = -1; });
}

void FlashMapView::SetDifferingRows(std::set<int> rows) {
  if (rows == differing_) return;
  differing_ = std::move(rows);
  Refresh(false);
}

void FlashMapView::SetLayout(FlashLayout layout) {
  layout_ = std::move(layout);
  Refresh(false);
}

wxRect FlashMapView::Strip() const {
  const wxSize size = GetClientSize();
  const int scale = GetCharHeight() + 6;
  const int top = kGrip + 3;
  return wxRect(4, top, std::max(1, size.x - 8), std::max(8, size.y - top - scale - 2));
}

int FlashMapView::BlockX(std::uint64_t block) const {
  const wxRect strip = Strip();
  if (layout_.endBlock == 0) return strip.x;
  return strip.x + static_cast<int>(block * static_cast<std::uint64_t>(strip.width) / layout_.endBlock);
}

std::vector<FlashMapView::Drawn> FlashMapView::Columns() const {
  std::vector<Drawn> drawn;
  auto add = [&](const LayoutSegment& s) {
    const int x0 = BlockX(s.firstBlock);
    drawn.push_back(Drawn{&s, x0, std::max(BlockX(s.EndBlock()), x0 + 1)});
  };
  for (const LayoutSegment& s : layout_.axis) add(s);
  for (const LayoutSegment& s : layout_.leftOut) add(s);
  return drawn;
}

void FlashMapView::Draw(wxDC& dc, wxSize size) const {
  const wxColour face = wxSystemSettings::GetColour(wxSYS_COLOUR_BTNFACE);
  const wxColour text = wxSystemSettings::GetColour(wxSYS_COLOUR_BTNTEXT);
  dc.SetBackground(wxBrush(face));
  dc.Clear();
  dc.SetFont(GetFont());
  // The grip: a line along the top edge that says it can be dragged.
  dc.SetPen(wxPen(wxSystemSettings::GetColour(wxSYS_COLOUR_BTNSHADOW)));
  dc.DrawLine(0, kGrip / 2, size.x, kGrip / 2);

  const wxRect strip = Strip();
  if (layout_.endBlock == 0) {
    dc.SetTextForeground(text);
    dc.DrawText(_("Flash map: no ticked row has a range yet."), strip.x, strip.y);
    return;
  }
  DrawSegments(dc, strip);
  DrawBadBlocks(dc, strip);
  DrawRows(dc, strip);
  DrawScale(dc, strip, size, text);
}

void FlashMapView::DrawSegments(wxDC& dc, const wxRect& strip) const {
  const std::vector<Drawn> columns = Columns();
  // Narrow segments that share a pixel column show the kind that matters most, so a
  // one-block image in a wide flash stays visible.
  std::vector<const Drawn*> order;
  for (const Drawn& d : columns) order.push_back(&d);
  std::stable_sort(order.begin(), order.end(), [](const Drawn* a, const Drawn* b) {
    return Priority(a->segment->kind) < Priority(b->segment->kind);
  });
  dc.SetPen(*wxTRANSPARENT_PEN);
  for (const Drawn* d : order) PaintSegment(dc, *d->segment, wxRect(d->x0, strip.y, d->x1 - d->x0, strip.height));
}

// A chip's bad blocks, when the layout was given one: a black bar over each.
void FlashMapView::DrawBadBlocks(wxDC& dc, const wxRect& strip) const {
  dc.SetBrush(*wxBLACK_BRUSH);
  for (const std::uint64_t b : layout_.badBlocks) {
    const int x0 = BlockX(b);
    dc.DrawRectangle(x0, strip.y, std::max(BlockX(b + 1) - x0, 1), strip.height);
  }
}

// Each row's range framed, and numbered where the number fits; a row that runs out
// of good blocks on that chip framed in red, its number with a '!'.
void FlashMapView::DrawRows(wxDC& dc, const wxRect& strip) const {
  dc.SetFont(GetFont().Bold());
  for (const LayoutRow& r : layout_.rows) {
    if (!r.RangeValid()) continue;
    const int x0 = BlockX(r.startBlock);
    const int x1 = std::max(BlockX(std::uint64_t{r.startBlock} + r.rangeBlocks), x0 + 1);
    // A row the chip read back does not hold is framed like one that runs out.
    const bool marked = r.Overflows() || differing_.count(r.row) != 0;
    if (r.accepted && x1 - x0 >= 3) {
      dc.SetPen(wxPen(Wx(marked ? kLeftOutColour : kOutlineColour), marked ? 2 : 1));
      dc.SetBrush(*wxTRANSPARENT_BRUSH);
      dc.DrawRectangle(x0, strip.y, x1 - x0, strip.height);
    }
    DrawRowLabel(dc, strip, r, x0, x1, marked);
  }
}

// The scale: block numbers in hexadecimal under ticks, as many as fit.
void FlashMapView::DrawScale(wxDC& dc, const wxRect& strip, wxSize size, const wxColour& text) const {
  dc.SetFont(GetFont());
  dc.SetTextForeground(text);
  dc.SetPen(wxPen(text));
  const int y = strip.GetBottom() + 1;
  const int step = dc.GetTextExtent(ToWx(Hex(layout_.endBlock))).x + 16;
  int lastRight = -1;
  const int ticks = std::max(1, strip.width / step);
  for (int i = 0; i <= ticks; ++i) {
    const std::uint64_t block = layout_.endBlock * static_cast<std::uint64_t>(i) / static_cast<std::uint64_t>(ticks);
    const int x = i == ticks ? strip.GetRight() : BlockX(block);
    const wxString mark = ToWx(Hex(block));
    const int w = dc.GetTextExtent(mark).x;
    const int at = std::clamp(x - w / 2, 0, size.x - w);
    if (at <= lastRight + 4) continue;
    dc.DrawLine(x, y, x, y + 3);
    dc.DrawText(mark, at, y + 3);
    lastRight = at + w;
  }
}

wxString FlashMapView::HoverText(wxPoint point) const {
  const wxRect strip = Strip();
  if (point.y < strip.y || point.y > strip.GetBottom()) return {};
  const std::vector<Drawn> columns = Columns();
  const Drawn* hit = nullptr;
  for (const Drawn& d : columns) {
    if (point.x >= d.x0 && point.x < d.x1 && (!hit || Priority(d.segment->kind) > Priority(hit->segment->kind))) {
      hit = &d;
    }
  }
  if (!hit) return {};
  return ToWx(DescribeSegment(layout_, *hit->segment));
}

void FlashMapView::OnPaint(wxPaintEvent&) {
  wxAutoBufferedPaintDC dc(this);
  Draw(dc, GetClientSize());
}

void FlashMapView::OnMouse(wxMouseEvent& event) {
  const int screenY = ClientToScreen(event.GetPosition()).y;
  if (event.LeftDown() && event.GetY() < kGrip) {
    dragFrom_ = screenY;
    dragHeight_ = GetSize().y;
    CaptureMouse();
    return;
  }
  if (dragFrom_ >= 0) {
    if (event.Dragging() || event.LeftUp()) {
      onHeight_(std::clamp(dragHeight_ + dragFrom_ - screenY, kMinHeight, kMaxHeight));
    }
    if (event.LeftUp()) {
      dragFrom_ = -1;
      if (HasCapture()) ReleaseMouse();
    }
    return;
  }
  SetCursor(event.GetY() < kGrip && !event.Leaving() ? wxCursor(wxCURSOR_SIZENS) : wxNullCursor);
  const wxString tip = event.Leaving() ? wxString() : HoverText(event.GetPosition());
  if (tip != tip_) {
    tip_ = tip;
    if (tip.empty()) {
      UnsetToolTip();
    } else {
      SetToolTip(tip);
    }
  }
  event.Skip();
}

}  // namespace folvane::ui
