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

// Whether column `x` of the map has colour `c` from the top of its strip to above the
// label: what a segment, a bar or a frame paints.
bool ColumnIs(const wxImage& shot, const wxRect& strip, int x, Rgb c) {
  for (int y = strip.y + 2; y < strip.y + 8; ++y) {
    if (shot.GetRed(x, y) != c.r || shot.GetGreen(x, y) != c.g || shot.GetBlue(x, y) != c.b) return false;
  }
  return true;
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
  auto is = [&](int x, Rgb c) { return ColumnIs(shot, strip, x, c); };
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

TEST_F(FlashMap, AChipsBadBlocksAreBarsAndARowThatRunsOutIsFramedInRed) {
  // The window has no bad-block list of its own; a layout that carries one is drawn.
  PartitionSet set;
  const std::uint32_t ranges[][3] = {{0, 7, 3}, {0x10, 0x2F, 11}};
  for (int row = 1; row <= 2; ++row) {
    const auto* r = ranges[row - 1];
    set.Slot(row).startBlock = r[0];
    set.Slot(row).endBlock = r[1];
    set.Slot(row).imageBlocks = r[2];
  }
  std::vector<std::uint32_t> bad = {1};
  for (std::uint32_t b = 0x11; b <= 0x2A; ++b) bad.push_back(b);  // row 2 keeps 6 good blocks for 11
  LayoutOptions options;
  options.imageBytes = [&](int row) -> std::optional<std::uint64_t> {
    return std::uint64_t{set.Slot(row).imageBlocks} * kBlock;
  };
  options.badBlocks = BadBlockSet(bad);
  ui::FlashMapView* map = dlg->Map();
  map->SetLayout(BuildFlashLayout(set, FlashGeometry{}, [](int row) { return row <= 2; }, options));
  ASSERT_TRUE(map->Layout().Row(2)->Overflows());
  map->Refresh();
  map->Update();
  Pump(100);
  const wxImage shot = Capture(map);
  const wxRect strip = map->Strip();
  const Rgb black{0, 0, 0};
  for (const std::uint64_t b : {std::uint64_t{1}, std::uint64_t{0x11}, std::uint64_t{0x2A}}) {
    for (int x = map->BlockX(b); x < map->BlockX(b + 1); ++x) EXPECT_TRUE(ColumnIs(shot, strip, x, black)) << b;
  }
  // Row 1 steps over block 1: its image is drawn to block 3, its frame as ever.
  EXPECT_TRUE(ColumnIs(shot, strip, map->BlockX(3), RowColour(1)));
  EXPECT_TRUE(ColumnIs(shot, strip, map->BlockX(0), kOutlineColour));
  EXPECT_TRUE(ColumnIs(shot, strip, map->BlockX(0x10), kLeftOutColour));
}

TEST_F(FlashMap, DraggingTheEdgeGrowsTheWindowAndMovesNoControl) {
  SKIP_UNDER_WINE("dragging the edge needs real mouse input, which does not reach Wine's windows without a window manager");
  wxWindow* pane = dlg->Pane();
  const wxPoint merge = Ctrl(ids::kMerge)->GetPosition();
  const wxSize client = dlg->GetClientSize();
  const int paneHeight = pane->GetSize().y;
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
  EXPECT_EQ(dlg->Map()->GetSize().y, ui::kMapHeight + 40) << "the map takes what the edge gained";
  EXPECT_EQ(pane->GetSize().y, paneHeight + 40);
  EXPECT_EQ(dlg->GetClientSize(), client + wxSize(0, 40));
  EXPECT_EQ(Ctrl(ids::kMerge)->GetPosition(), merge);
  for (wxWindow* w : dlg->GetChildren()) {
    if (w == pane || !w->IsShown()) continue;
    EXPECT_FALSE(w->GetRect().Intersects(pane->GetRect())) << ui::FromWx(w->GetLabel());
  }
}

}  // namespace
}  // namespace folvane::testing
