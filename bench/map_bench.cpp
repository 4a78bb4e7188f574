// Times drawing the window's flash map for a full sixteen-row job, and laying the job
// out, against a baseline in the same run: clearing the same bitmap. Needs an X
// server:
//   xvfb-run -a build/bench/map_bench [repeats]
#include <wx/app.h>
#include <wx/dcmemory.h>
#include <wx/frame.h>
#include <wx/init.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "flash_map_view.hpp"
#include "merge_dialog.hpp"

namespace {

using Clock = std::chrono::steady_clock;

class BenchApp : public wxApp {
 public:
  bool OnInit() override { return true; }
};

template <typename F>
double MillisecondsEach(int repeats, F&& f) {
  const auto start = Clock::now();
  for (int i = 0; i < repeats; ++i) f();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / repeats;
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::atoi(argv[1]) : 500;
  wxApp::SetInstance(new BenchApp);
  int one = 1;
  char* args[] = {argv[0], nullptr};
  if (!wxEntryStart(one, args) || !wxTheApp->CallOnInit()) return 1;

  auto* dlg = new CMergeDlg(nullptr);
  dlg->Show();
  folvane::ui::FlashMapView* map = dlg->Map();
  const wxSize size = map->GetClientSize();
  std::printf("map %d x %d pixels, %d draws each\n", size.x, size.y, repeats);

  struct Job {
    const char* name;
    std::uint32_t rangeBlocks;
    std::uint32_t imageBlocks;
  } jobs[] = {{"16 rows of 0x1000 blocks", 0x1000, 0x800}, {"16 one-block rows up to 0xFFFF", 0x1000, 1}};
  wxBitmap bitmap(size);
  wxMemoryDC dc(bitmap);
  dc.SetFont(map->GetFont());
  const double baseline = MillisecondsEach(repeats, [&] {
    dc.SetBackground(*wxWHITE_BRUSH);
    dc.Clear();
  });
  std::printf("%-34s %10s %10s %8s\n", "job", "layout ms", "draw ms", "draw/clear");
  for (const Job& job : jobs) {
    folvane::PartitionSet set;
    for (int row = 1; row <= folvane::kRowCount; ++row) {
      folvane::PartitionSlot& slot = set.Slot(row);
      slot.startBlock = static_cast<std::uint32_t>(row - 1) * job.rangeBlocks;
      slot.endBlock = slot.startBlock + job.rangeBlocks - 1;
      slot.imageBlocks = job.imageBlocks;
      slot.imagePath = "/images/partition-" + std::to_string(row) + ".bin";
    }
    folvane::LayoutOptions options;
    options.imageBytes = [&](int row) -> std::optional<std::uint64_t> {
      return std::uint64_t{set.Slot(row).imageBlocks} * 0x21000;
    };
    folvane::FlashLayout layout;
    const double layoutMs = MillisecondsEach(repeats, [&] {
      layout = folvane::BuildFlashLayout(set, folvane::FlashGeometry{}, [](int) { return true; }, options);
    });
    map->SetLayout(layout);
    const double drawMs = MillisecondsEach(repeats, [&] { map->Draw(dc, size); });
    std::printf("%-34s %10.3f %10.3f %8.1f\n", job.name, layoutMs, drawMs, drawMs / baseline);
  }
  std::printf("baseline: clearing the bitmap, %.4f ms\n", baseline);
  dc.SelectObject(wxNullBitmap);
  dlg->Destroy();
  wxEntryCleanup();
  return 0;
}
