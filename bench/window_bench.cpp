// Times a merge started from the window against folvane-cli merging the same saved
// job, in the same run, for the smallest block size (where the window's repaint
// throttling matters most) and the default one. Needs an X server:
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

#include "merge_dialog.hpp"

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

class BenchApp : public wxApp {
 public:
  bool OnInit() override { return true; }
};

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
  std::printf("%-16s %10s %10s %8s\n", "block mode", "window s", "cli s", "ratio");
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
    double bestWindow = 1e9, bestCli = 1e9;
    for (int r = 0; r < repeats; ++r) {
      auto t0 = Clock::now();
      if (Shell("'" + cli + "' merge '" + job + "' 2>/dev/null") != 0) return 3;
      bestCli = std::min(bestCli, Seconds(t0));

      auto* dlg = new CMergeDlg(nullptr);
      dlg->SetFileChooser([&](const folvane::FileChooserRequest&) { return std::optional<std::string>(job); });
      dlg->Show();
      wxTheApp->Yield(true);
      dlg->OnImport();
      t0 = Clock::now();
      dlg->OnMerge();
      bestWindow = std::min(bestWindow, Seconds(t0));
      dlg->Destroy();
      wxTheApp->Yield(true);
    }
    std::printf("%-16s %10.3f %10.3f %8.3f\n",
                std::string(folvane::kBlockModes[static_cast<std::size_t>(mode)].label).c_str(), bestWindow, bestCli,
                bestWindow / bestCli);
  }
  std::filesystem::remove_all(dir);
  wxEntryCleanup();
  return 0;
}
