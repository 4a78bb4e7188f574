// The flash map in the window's pane: it follows the job as the user edits it, its
// pixel columns are the layout's block numbers, and dragging its edge grows the
// window without moving a control.
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/dcclient.h>
#include <wx/dcmemory.h>
#include <wx/uiaction.h>

#include "../test_support.hpp"
#include "gui_support.hpp"
#include "layout/palette.hpp"
#include "wx_text.hpp"

namespace folvane::testing {
namespace {

using FlashMap = DialogTest;

constexpr std::uint32_t kBlock = 0x21000;  // the default block mode

// Rows 1 to 3 ticked with these images and ranges, typed as the user would.
void EnterJob(CMergeDlg* d, const TempDir& dir) {
  struct Row {
    const char* name;
    std::size_t bytes;
    const char* start;
    const char* end;
  } rows[] = {{"boot.bin", 3 * kBlock, "0", "7"}, {"kernel.bin", 10 * kBlock + 1, "10", "2F"},
              {"root.bin", 30 * kBlock, "30", "5F"}};
  int row = 1;
  for (const Row& r : rows) {
    WriteFile(dir / r.name, Pattern(r.bytes, static_cast<std::uint8_t>(row)));
    const RowControls& c = RowControlsFor(row++);
    Click(d->FindWindow(c.check));
    d->SetItemText(c.pathEdit, dir / r.name);
    d->SetItemText(c.startEdit, r.start);
    d->SetItemText(c.endEdit, r.end);
  }
  Pump(100);
}

wxImage Capture(wxWindow* w) {
  const wxSize size = w->GetClientSize();
  wxBitmap bitmap(size);
  wxMemoryDC memory(bitmap);
  wxClientDC screen(w);
  memory.Blit(0, 0, size.x, size.y, &screen, 0, 0);
  memory.SelectObject(wxNullBitmap);
  return bitmap.ConvertToImage();
}

TEST_F(FlashMap, FollowsEveryChangeWithoutAMerge) {
  TempDir dir;
  ui::FlashMapView* map = dlg->Map();
  ASSERT_NE(map, nullptr);
  EXPECT_TRUE(map->Layout().rows.empty());
  EnterJob(dlg, dir);
  const FlashLayout& l = map->Layout();
  ASSERT_EQ(l.rows.size(), 3u);
  EXPECT_EQ(l.endBlock, 0x60u);
  EXPECT_EQ(l.Row(2)->imageBlocks, 11u);  // measured from the path field, as the merge will
  // A block text.
  dlg->SetItemText(RowControlsFor(3).endEdit, "3F");
  Pump(100);
  EXPECT_EQ(map->Layout().endBlock, 0x40u);
  // The Block Mode list: the same images in bigger blocks.
  auto* list = wxStaticCast(Ctrl(ids::kBlockModeList), wxChoice);
  list->SetSelection(5);
  wxCommandEvent chosen(wxEVT_CHOICE, ids::kBlockModeList);
  list->ProcessWindowEvent(chosen);
  Pump(100);
  EXPECT_EQ(map->Layout().blockSize, 0x84000u);
  EXPECT_EQ(map->Layout().Row(2)->imageBlocks, 3u);
  // A tick: row 2 off ends the leading run, so row 3's typed path is not measured
  // and its length is still unset: the merge would leave it out, and so does the map.
  Click(Ctrl(RowControlsFor(2).check));
  Pump(100);
  ASSERT_EQ(map->Layout().rows.size(), 2u);
  EXPECT_EQ(map->Layout().Row(3)->rule, SlotRule::ImageTooLong);
  EXPECT_EQ(map->Layout().leftOut.size(), 1u);
  // Hovering row 1's image names it.
  const int x = map->BlockX(1);
  EXPECT_NE(ui::FromWx(map->HoverText(wxPoint(x, map->Strip().y + 2))).find("Row 1: " + dir / "boot.bin"),
            std::string::npos);
  EXPECT_TRUE(hook.Messages().empty());
}

TEST_F(FlashMap, PixelColumnsAreTheLayoutsBlocks) {
  TempDir dir;
  EnterJob(dlg, dir);
  ui::FlashMapView* map = dlg->Map();
  map->Refresh();
  map->Update();
  Pump(100);
  const wxImage shot = Capture(map);
  const wxRect strip = map->Strip();
  // A column shows a row's image when it has the row's colour from top to bottom
  // above the label.
  auto is = [&](int x, Rgb c) {
    for (int y = strip.y + 2; y < strip.y + 8; ++y) {
      if (shot.GetRed(x, y) != c.r || shot.GetGreen(x, y) != c.g || shot.GetBlue(x, y) != c.b) return false;
    }
    return true;
  };
  const FlashLayout& l = map->Layout();
  for (const LayoutRow& r : l.rows) {
    SCOPED_TRACE(r.row);
    ASSERT_TRUE(r.accepted);
    const int x0 = map->BlockX(r.startBlock);
    const int x1 = map->BlockX(std::uint64_t{r.startBlock} + r.imageBlocks);
    const int end = map->BlockX(std::uint64_t{r.startBlock} + r.rangeBlocks);
    // The range's first column is its frame; the image fills the rest up to its
    // last block, the spare blocks after it and the frame's last column do not.
    EXPECT_TRUE(is(x0, kOutlineColour));
    for (int x = x0 + 1; x < x1; ++x) EXPECT_TRUE(is(x, RowColour(r.row))) << x;
    for (int x = x1; x < end; ++x) EXPECT_FALSE(is(x, RowColour(r.row))) << x;
  }
  // The fill between rows 1 and 2 is grey.
  EXPECT_TRUE(is(map->BlockX(0xC), kFillColour));
}

TEST_F(FlashMap, DraggingTheEdgeGrowsTheWindowAndMovesNoControl) {
  SKIP_UNDER_WINE("dragging the edge needs real mouse input, which does not reach Wine's windows without a window manager");
  wxWindow* pane = dlg->Pane();
  const wxPoint merge = Ctrl(ids::kMerge)->GetPosition();
  const wxSize client = dlg->GetClientSize();
  wxUIActionSimulator sim;
  const wxPoint grip = dlg->Map()->ClientToScreen(wxPoint(40, 2));
  sim.MouseMove(grip);
  Pump(50);
  sim.MouseDown();
  Pump(50);
  sim.MouseMove(grip - wxPoint(0, 40));
  Pump(50);
  sim.MouseUp();
  Pump(150);
  EXPECT_EQ(pane->GetSize().y, ui::kMapHeight + 40);
  EXPECT_EQ(dlg->GetClientSize(), client + wxSize(0, 40));
  EXPECT_EQ(Ctrl(ids::kMerge)->GetPosition(), merge);
  for (wxWindow* w : dlg->GetChildren()) {
    if (w == pane || !w->IsShown()) continue;
    EXPECT_FALSE(w->GetRect().Intersects(pane->GetRect())) << ui::FromWx(w->GetLabel());
  }
}

}  // namespace
}  // namespace folvane::testing
