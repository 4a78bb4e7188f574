// Times a merge started from the window against folvane-cli merging the same saved
// job, in the same run, for the smallest block size (where the window's repaint
// throttling matters most) and the default one. Then verifies a chip's read-back of
// the default one's data image from the pane and measures how long the window's
// thread is ever kept from its events meanwhile (its longest freeze). Needs an X
// server:
//   xvfb-run -a build/bench/window_bench [MiB] [repeats]
#include <sys/wait.h>
#include <wx/app.h>
#include <wx/init.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <wx/timer.h>

#include "merge_dialog.hpp"
#include <wx/textctrl.h>

namespace {

using Clock = std::chrono::steady_clock;

void WriteImage(const std::string& path, std::size_t size, unsigned seed) {
  std::vector<unsigned char> chunk(1 << 20);
  for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<unsigned char>((i * 13 + seed) & 0xFF);
  FILE* f = std::fopen(path.c_str(), "wb");
  for (std::size_t done = 0; done < size;) {
    const std::size_t n = std::min(chunk.size(), size - done);
    std::fwrite(chunk.data(), 1, n, f);
    done += n;
  }
  std::fclose(f);
}

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

int Shell(const std::string& command) {
  const int raw = std::system(command.c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// The window, timing the merge's calls into it: the merge runs on the window's
// thread, and the window repaints and sees input only inside these calls, so the
// longest gap between two of them is the longest the window is frozen.
class TimedDialog : public CMergeDlg {
 public:
  void SetProgressPos(std::uint32_t pos) override {
    Mark();
    CMergeDlg::SetProgressPos(pos);
    last_ = Clock::now();
  }
  void SetStatusText(const std::string& text) override {
    Mark();
    CMergeDlg::SetStatusText(text);
    last_ = Clock::now();
  }
  void Start() { last_ = Clock::now(), longest_ = 0; }
  [[nodiscard]] double Longest() const { return longest_; }

 private:
  void Mark() { longest_ = std::max(longest_, Seconds(last_)); }
  Clock::time_point last_ = Clock::now();
  double longest_ = 0;
};

class BenchApp : public wxApp {
 public:
  bool OnInit() override { return true; }
};

// Verifies `dump` (a whole chip's read-back of the job's data image) from the pane
// while the window's loop runs, and prints the verify's time and the longest spell the
// window's thread spent away from its events: the longest single pass of the loop,
// and the longest gap between the ticks of a 10 ms timer.
void MeasureVerifyFreeze(const std::string& job, const std::string& noBadBlocks, const std::string& dump) {
  std::vector<std::string> answers = {job, noBadBlocks, dump};
  auto* dlg = new CMergeDlg(nullptr);
  dlg->SetFileChooser([&](const folvane::FileChooserRequest&) {
    std::optional<std::string> next;
    if (!answers.empty()) next = answers.front(), answers.erase(answers.begin());
    return next;
  });
  dlg->Show();
  wxTheApp->Yield(true);
  dlg->OnImport();
  dlg->Tools()->OnBadBlocks();  // a listed chip without bad blocks: image bytes are no marks
  wxTheApp->Yield(true);
  Clock::time_point lastTick = Clock::now();
  double longestGap = 0, longestPass = 0;
  wxTimer ticks;
  ticks.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
    const Clock::time_point now = Clock::now();
    longestGap = std::max(longestGap, std::chrono::duration<double>(now - lastTick).count());
    lastTick = now;
  });
  const auto t0 = Clock::now();
  dlg->Tools()->OnVerify();
  ticks.Start(10);
  lastTick = Clock::now();
  while (dlg->Tools()->Busy()) {
    const auto pass = Clock::now();
    wxTheApp->Yield(true);
    longestPass = std::max(longestPass, Seconds(pass));
    wxMilliSleep(1);
  }
  const double verify = Seconds(t0);
  ticks.Stop();
  const std::string results = dlg->Tools()->Results()->GetValue().utf8_string();
  std::printf("verify from the pane: %.3f s; longest pass of the window's loop %.1f ms, longest gap between 10 ms "
              "ticks %.1f ms; %s\n",
              verify, longestPass * 1000, longestGap * 1000,
              results.find("The chip holds the job.") != std::string::npos ? "the chip holds the job" : "NO MATCH");
  dlg->Destroy();
  wxTheApp->Yield(true);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 3;
  wxApp::SetInstance(new BenchApp);
  int one = 1;
  char* args[] = {argv[0], nullptr};
  if (!wxEntryStart(one, args) || !wxTheApp->CallOnInit()) return 1;

  char pattern[] = "/tmp/folvane-wbench-XXXXXX";
  if (!::mkdtemp(pattern)) return 1;
  const std::string dir = pattern;
  const std::string cli = FOLVANE_CLI;
  std::vector<std::string> images;
  for (unsigned i = 0; i < 4; ++i) {
    images.push_back(dir + "/image" + std::to_string(i) + ".bin");
    WriteImage(images.back(), (mib << 20) / 4 + 777 * (i + 1), i);
  }
  std::printf("images: 4, %zu MiB in all; best of %d runs each\n", mib, repeats);
  std::printf("%-16s %10s %10s %8s %16s\n", "block mode", "window s", "cli s", "ratio", "longest freeze ms");
  for (int mode : {0, 2}) {
    // Back to back in blocks of this mode: each row starts where the previous ends.
    const std::uint32_t block = folvane::kBlockModes[static_cast<std::size_t>(mode)].blockSize;
    std::string rows;
    std::uint64_t start = 0;
    for (const auto& image : images) {
      const std::uint64_t blocks = (std::filesystem::file_size(image) + block - 1) / block;
      char range[64];
      std::snprintf(range, sizeof range, ":%llx:%llx", static_cast<unsigned long long>(start),
                    static_cast<unsigned long long>(start + blocks - 1));
      rows += " --row '" + image + range + "'";
      start += blocks;
    }
    // Block numbers stop at 0x10000: a job too long for small blocks is made shorter.
    if (start > 0x10001) {
      std::printf("%-16s skipped: %llu blocks exceed the block numbers the edits take\n",
                  std::string(folvane::kBlockModes[static_cast<std::size_t>(mode)].label).c_str(),
                  static_cast<unsigned long long>(start));
      continue;
    }
    const std::string job = dir + "/job.part";
    if (Shell("'" + cli + "' new '" + job + "' --mode " + std::to_string(mode) + " --table '" + dir +
              "/t.bin' --data '" + dir + "/d.bin'" + rows) != 0) {
      return 2;
    }
    double bestWindow = 1e9, bestCli = 1e9, longestFreeze = 0;
    for (int r = 0; r < repeats; ++r) {
      auto t0 = Clock::now();
      if (Shell("'" + cli + "' merge '" + job + "' 2>/dev/null") != 0) return 3;
      bestCli = std::min(bestCli, Seconds(t0));

      auto* dlg = new TimedDialog;
      dlg->SetFileChooser([&](const folvane::FileChooserRequest&) { return std::optional<std::string>(job); });
      dlg->Show();
      wxTheApp->Yield(true);
      dlg->OnImport();
      t0 = Clock::now();
      dlg->Start();
      dlg->OnMerge();
      bestWindow = std::min(bestWindow, Seconds(t0));
      longestFreeze = std::max(longestFreeze, dlg->Longest());
      dlg->Destroy();
      wxTheApp->Yield(true);
    }
    std::printf("%-16s %10.3f %10.3f %8.3f %16.1f\n",
                std::string(folvane::kBlockModes[static_cast<std::size_t>(mode)].label).c_str(), bestWindow, bestCli,
                bestWindow / bestCli, longestFreeze * 1000);
  }
  // The default mode's job is the last one saved, and its data image the last merged.
  std::FILE* list = std::fopen((dir + "/none.txt").c_str(), "w");
  if (list) std::fclose(list);
  // The read-back is a copy of its own, so that the verify reads two files, as it does
  // with a real chip's.
  std::filesystem::copy_file(dir + "/d.bin", dir + "/chip.bin");
  MeasureVerifyFreeze(dir + "/job.part", dir + "/none.txt", dir + "/chip.bin");
  std::filesystem::remove_all(dir);
  wxEntryCleanup();
  return 0;
}
