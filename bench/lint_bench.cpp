// Times check's image lint against reading the same images and throwing the bytes
// away (what `cat IMAGES > /dev/null` does), in this process, in each folder given
// (one per file system: tmpfs, ext4, ...). The lint reads each byte once, looks at the
// marker bytes of every page it chooses, adds every byte up and tells 0xFF blocks;
// the goal is at most 1.3 times the plain read. Both runs find the images in the page
// cache (the folders are written just before), as a check right after a build does.
// Usage: lint_bench [--mib N] [--runs N] DIR...   (defaults: 1024 MiB, 5 runs)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "flash/image_lint.hpp"
#include "io/file_io.hpp"

namespace {

using folvane::bench::Median;
using folvane::bench::ReadAndDiscard;
using folvane::bench::Seconds;
namespace fs = std::filesystem;

// Four images in block mode 2 ((2048+64) bytes x 64 pages): pseudo-random data with
// every page's spare bytes 0xFF, one block in sixteen erased, each image's last block
// partial; nothing a chip would read as bad, so every page is looked at.
constexpr int kImages = 4;
constexpr int kBlockMode = 2;

std::vector<std::string> WriteImages(const std::string& dir, std::uint64_t totalBytes, const folvane::PageLayout& l) {
  std::vector<std::string> paths;
  const std::uint64_t block = l.BlockBytes();
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(block));
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  for (int i = 0; i < kImages; ++i) {
    const std::string path = dir + "/image" + std::to_string(i) + ".bin";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::exit(2);
    const std::uint64_t size = totalBytes / kImages - 1000;
    for (std::uint64_t done = 0, b = 0; done < size; ++b) {
      if (b % 16 == 5) {
        std::fill(buffer.begin(), buffer.end(), 0xFF);
      } else {
        for (std::size_t at = 0; at + 8 <= buffer.size(); at += 8) {
          state ^= state << 13, state ^= state >> 7, state ^= state << 17;
          std::memcpy(buffer.data() + at, &state, 8);
        }
        for (std::uint32_t p = 0; p < l.pagesPerBlock; ++p) {
          std::fill_n(buffer.begin() + p * l.PageBytes() + l.dataBytes, l.spareBytes, 0xFF);
        }
      }
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(block, size - done));
      if (std::fwrite(buffer.data(), 1, n, f) != n) std::exit(2);
      done += n;
    }
    std::fclose(f);
    paths.push_back(path);
  }
  return paths;
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t mib = 1024;
  int runs = 5;
  std::vector<std::string> dirs;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--mib" && i + 1 < argc) mib = std::strtoull(argv[++i], nullptr, 10);
    else if (a == "--runs" && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
    else dirs.push_back(a);
  }
  if (dirs.empty()) {
    std::fprintf(stderr, "usage: lint_bench [--mib N] [--runs N] DIR...\n");
    return 64;
  }
  const folvane::PageLayout layout = folvane::PageLayoutOf(kBlockMode);
  std::printf("%-24s %8s %10s %10s %7s %12s\n", "folder", "MiB", "read s", "lint s", "ratio", "lint s/GiB");
  for (const std::string& parent : dirs) {
    std::string dir = parent + "/folvane-lint-bench-XXXXXX";
    if (!::mkdtemp(dir.data())) return 2;
    const std::vector<std::string> paths = WriteImages(dir, mib << 20, layout);
    folvane::LintJob job{layout, folvane::kMarkAll, {}};
    std::uint32_t first = 0;
    for (std::size_t i = 0; i < paths.size(); ++i) {
      const auto blocks = static_cast<std::uint32_t>((fs::file_size(paths[i]) + layout.BlockBytes() - 1) / layout.BlockBytes());
      job.rows.push_back({static_cast<int>(i + 1), paths[i], {first, first + blocks + 15, blocks}});
      first += blocks + 16;
    }
    std::uint64_t bytes = 0, marked = 1;
    std::vector<double> read, lint;
    ReadAndDiscard(paths);  // the first read of all takes the pages into the cache
    for (int r = 0; r < runs; ++r) {
      read.push_back(Seconds([&] { bytes = ReadAndDiscard(paths); }));
      lint.push_back(Seconds([&] {
        auto report = folvane::LintImages(job);
        if (!report) std::exit(2);
        marked = report->MarkedBlocks();
      }));
    }
    if (marked != 0) return 3;  // the images carry no mark: every page was looked at
    const double readS = Median(read), lintS = Median(lint);
    std::printf("%-24s %8.0f %10.3f %10.3f %7.2f %12.3f\n", parent.c_str(), static_cast<double>(bytes) / (1 << 20),
                readS, lintS, lintS / readS, lintS / (static_cast<double>(bytes) / (1u << 30)));
    fs::remove_all(dir);
  }
  return 0;
}
