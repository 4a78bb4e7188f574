// Times a merge of at least 1 GiB of images against a plain copy of the same bytes
// (read/write of 128 KiB, as cat does) in the same process, for the smallest block
// size, the default and the largest. Usage: merge_bench [MiB] [repeats]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "merge.hpp"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

struct SilentHost : folvane::MergeHost {
  std::vector<std::string> paths;
  std::string data, table;
  std::vector<std::string> messages;
  bool IsRowChecked(int row) override { return row <= static_cast<int>(paths.size()); }
  std::string GetRowPathText(int row) override { return paths[static_cast<std::size_t>(row - 1)]; }
  void ClearRowPathText(int) override {}
  std::string GetDataPathText() override { return data; }
  std::string GetTablePathText() override { return table; }
  void SetStatusText(const std::string&) override {}
  void SetProgressRange(std::uint32_t) override {}
  void SetProgressPos(std::uint32_t) override {}
  void ShowMessage(const std::string& text, folvane::MessageIcon) override { messages.push_back(text); }
};

void WriteImage(const std::string& path, std::size_t size, unsigned seed) {
  std::vector<unsigned char> chunk(1 << 20);
  for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<unsigned char>((i * 31 + seed) & 0xFF);
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::exit(1);
  for (std::size_t done = 0; done < size;) {
    const std::size_t n = std::min(chunk.size(), size - done);
    std::fwrite(chunk.data(), 1, n, f);
    done += n;
  }
  std::fclose(f);
}

double CatCopy(const std::vector<std::string>& images, const std::string& out) {
  const auto t0 = Clock::now();
  const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char> buf(128 * 1024);
  for (const auto& image : images) {
    const int i = ::open(image.c_str(), O_RDONLY);
    for (ssize_t n; (n = ::read(i, buf.data(), buf.size())) > 0;) {
      if (::write(o, buf.data(), static_cast<std::size_t>(n)) != n) std::exit(2);
    }
    ::close(i);
  }
  ::close(o);
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

double Merge(const std::vector<std::string>& images, const std::vector<std::uint64_t>& sizes, int mode,
             const std::string& dir) {
  const folvane::FlashGeometry g = folvane::LookupBlockMode(mode);
  folvane::PartitionSet set;
  SilentHost host;
  host.paths = images;
  host.data = dir + "/Data_Merge.bin";
  host.table = dir + "/Partition_Table.bin";
  std::uint32_t start = 0;
  for (std::size_t i = 0; i < images.size(); ++i) {
    const std::uint32_t blocks = folvane::ImageBlocksFor(sizes[i], g.blockSize);
    set.slots[i].startBlock = start;
    set.slots[i].endBlock = start + blocks - 1;
    start += blocks;
  }
  const auto t0 = Clock::now();
  const folvane::MergeResult r = folvane::RunMerge(set, g, host);
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  if (!r.completed || !host.messages.empty()) {
    std::fprintf(stderr, "merge failed: %s\n", host.messages.empty() ? "?" : host.messages.front().c_str());
    std::exit(3);
  }
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 3;
  char pattern[] = "/tmp/folvane-bench-XXXXXX";
  if (!::mkdtemp(pattern)) return 1;
  const std::string dir = pattern;

  // Four partitions back to back, none a whole number of blocks long.
  std::vector<std::string> images;
  std::vector<std::uint64_t> sizes;
  for (unsigned i = 0; i < 4; ++i) {
    images.push_back(dir + "/image" + std::to_string(i) + ".bin");
    sizes.push_back((mib << 20) / 4 + 12345 * (i + 1));
    WriteImage(images.back(), sizes.back(), i);
  }
  std::uint64_t total = 0;
  for (auto s : sizes) total += s;
  std::printf("images: %zu, %.1f MiB in all; best of %d runs each\n", images.size(), double(total) / (1 << 20),
              repeats);
  std::printf("%-18s %10s %10s %10s %8s\n", "block mode", "block", "merge s", "cat s", "ratio");
  for (int mode : {0, 2, 15}) {
    double bestMerge = 1e9, bestCat = 1e9;
    for (int i = 0; i < repeats; ++i) {
      bestCat = std::min(bestCat, CatCopy(images, dir + "/cat.bin"));
      bestMerge = std::min(bestMerge, Merge(images, sizes, mode, dir));
    }
    std::printf("%-18s %10u %10.3f %10.3f %8.3f\n", std::string(folvane::kBlockModes[mode].label).c_str(),
                folvane::kBlockModes[mode].blockSize, bestMerge, bestCat, bestMerge / bestCat);
  }
  fs::remove_all(dir);
  return 0;
}
