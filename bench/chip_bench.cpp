// Times the chip checks against what they cannot do without, in each folder given
// (one per file system), and prints the ratios:
//  - verify --dump's comparison of a whole chip read back (bad blocks from the marks
//    in the dump, and from a list) against reading the same dump and discarding it in
//    pieces of 128 KiB, as `cat FILE > /dev/null` does, and against reading the dump
//    and the data image so: the comparison must read both;
//  - the exact overflow chances of a 16-row job on a chip of 0x10000 blocks with
//    2,000 bad blocks, in milliseconds (wanted: under 50).
// The job is merged from images of pseudo-random bytes (their bad-block mark bytes
// left 0xFF, as real images keep them) in block mode 2; the dump is that job as a
// programmer writes it on a chip with a few bad blocks in each range (all bytes 0x00,
// so marked in every page), with one bit flipped in a few pages. The comparison must
// find every row matching within one flip a page, or the benchmark stops.
// Each timed pair runs in turn and the medians are compared, since the machine is
// noisy; the files are in the system's cache, as they are for a `cat` run twice.
// Usage: chip_bench [--mib N] [--runs N] DIR...   (defaults: 256 MiB of dump, 7 runs)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "flash/bad_blocks.hpp"
#include "flash/dump_verify.hpp"
#include "io/file_io.hpp"
#include "job/block_mode.hpp"
#include "bench_support.hpp"
#include "merge/merge.hpp"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kMode = 2;
constexpr int kRows = 4;
constexpr std::uint32_t kBadPerRow = 3;
constexpr std::uint32_t kSparePerRow = 8;
constexpr std::uint32_t kFlippedPages = 5;

using folvane::bench::Median;
using folvane::bench::ReadAndDiscard;
using folvane::bench::Seconds;
using folvane::bench::SilentHost;

[[noreturn]] void Stop(const std::string& why) {
  std::fprintf(stderr, "chip_bench: %s\n", why.c_str());
  std::exit(2);
}

void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0) Stop("cannot write " + path);
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(fs::file_size(path)));
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f || std::fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) Stop("cannot read " + path);
  std::fclose(f);
  return bytes;
}

// A job of kRows rows filling a chip of `chipBlocks` blocks, merged; the data image's
// path and the rows' ranges.
struct Job {
  std::string data;
  std::vector<std::pair<int, folvane::BlockRange>> rows;
};

Job MergeJob(const std::string& dir, std::uint64_t chipBlocks) {
  const folvane::FlashGeometry g = folvane::LookupBlockMode(kMode);
  const folvane::PageLayout pages = folvane::PageLayoutOf(kMode);
  if (g.blockSize != pages.BlockBytes()) Stop("block mode 2's pages do not make its block");
  const std::uint64_t rangeBlocks = chipBlocks / kRows;
  if (rangeBlocks <= kSparePerRow) Stop("--mib is too small for the job");
  folvane::PartitionSet set;
  SilentHost host;
  host.data = dir + "/data.bin";
  host.table = dir + "/table.bin";
  std::mt19937_64 random(20);
  for (int row = 1; row <= kRows; ++row) {
    const std::uint64_t imageBlocks = rangeBlocks - kSparePerRow;
    std::vector<std::uint8_t> image(imageBlocks * g.blockSize);
    for (std::size_t i = 0; i + 8 <= image.size(); i += 8) {
      const std::uint64_t word = random();
      std::memcpy(image.data() + i, &word, 8);
    }
    // Every page's first spare byte, where a factory marks a bad block.
    for (std::size_t at = pages.dataBytes; at < image.size(); at += pages.PageBytes()) image[at] = 0xFF;
    host.paths.push_back(dir + "/image" + std::to_string(row) + ".bin");
    WriteFile(host.paths.back(), image);
    auto& slot = set.slots[static_cast<std::size_t>(row - 1)];
    slot.startBlock = static_cast<std::uint32_t>((row - 1) * rangeBlocks);
    slot.endBlock = static_cast<std::uint32_t>(row * rangeBlocks - 1);
  }
  folvane::MergeOptions options;
  options.replaceOutputs = true;
  options.probeOutputs = false;
  const folvane::MergeResult r = folvane::RunMerge(set, g, host, options);
  if (!r.completed || !host.messages.empty()) Stop("merge failed: " + (host.messages.empty() ? "?" : host.messages.front()));
  Job job{host.data, {}};
  for (int row = 1; row <= kRows; ++row) {
    const auto& slot = set.slots[static_cast<std::size_t>(row - 1)];
    job.rows.push_back({row, folvane::BlockRange{slot.startBlock, slot.endBlock, slot.imageBlocks}});
  }
  return job;
}

// The chip as the programmer leaves it: bad blocks all 0x00, each row's image blocks
// on the good blocks of its range in order, the rest 0xFF, a bit flipped in a few pages.
folvane::BadBlockSet WriteDump(const std::string& path, const Job& job, std::uint64_t chipBlocks) {
  const folvane::PageLayout pages = folvane::PageLayoutOf(kMode);
  const std::uint64_t blockBytes = pages.BlockBytes();
  const std::vector<std::uint8_t> data = ReadFile(job.data);
  std::vector<std::uint8_t> dump(chipBlocks * blockBytes, 0xFF);
  std::mt19937_64 random(7);
  std::vector<std::uint32_t> bad;
  for (const auto& [row, range] : job.rows) {
    std::vector<std::uint32_t> mine;
    while (mine.size() < kBadPerRow) {
      const auto b = static_cast<std::uint32_t>(range.first + 1 + random() % (range.Blocks() - 1));
      if (std::find(mine.begin(), mine.end(), b) == mine.end()) mine.push_back(b);
    }
    bad.insert(bad.end(), mine.begin(), mine.end());
  }
  folvane::BadBlockSet set(bad);
  for (const auto& [row, range] : job.rows) {
    const folvane::RangePlacement placed = folvane::PlaceRange(range, set);
    if (placed.Overflows()) Stop("the dump's bad blocks overflow a row");
    for (const folvane::PlacementRun& run : placed.runs) {
      std::memcpy(dump.data() + std::uint64_t{run.physicalBlock} * blockBytes,
                  data.data() + (std::uint64_t{range.first} + run.imageBlock) * blockBytes,
                  std::uint64_t{run.count} * blockBytes);
    }
  }
  for (const std::uint32_t b : set.Blocks()) std::memset(dump.data() + std::uint64_t{b} * blockBytes, 0, blockBytes);
  std::vector<std::uint64_t> flipped;
  while (flipped.size() < kFlippedPages) {
    const std::uint64_t page = random() % (chipBlocks * pages.pagesPerBlock);
    if (set.IsBad(static_cast<std::uint32_t>(page / pages.pagesPerBlock)) ||
        std::find(flipped.begin(), flipped.end(), page) != flipped.end()) {
      continue;
    }
    flipped.push_back(page);
    dump[page * pages.PageBytes() + random() % pages.dataBytes] ^= 0x10;
  }
  WriteFile(path, dump);
  return set;
}

void Measure(const std::string& parent, std::uint64_t mib, int runs) {
  std::string pattern = (fs::path(parent) / "folvane-chip-bench-").string() + std::to_string(Clock::now().time_since_epoch().count());
  std::error_code ec;
  if (!fs::create_directory(pattern, ec)) Stop("cannot make a folder in " + parent);
  const std::string dir = pattern;
  const folvane::PageLayout pages = folvane::PageLayoutOf(kMode);
  const std::uint64_t chipBlocks = (mib << 20) / pages.BlockBytes();
  const Job job = MergeJob(dir, chipBlocks);
  const std::string dumpPath = dir + "/chip.bin";
  const folvane::BadBlockSet bad = WriteDump(dumpPath, job, chipBlocks);

  folvane::DumpCheck byMarks;
  byMarks.dumpPath = dumpPath;
  byMarks.dataPath = job.data;
  byMarks.layout = pages;
  for (const auto& [row, range] : job.rows) byMarks.rows.push_back({row, range});
  byMarks.bitflips = 1;
  folvane::DumpCheck byList = byMarks;
  byList.badBlocks = bad;
  auto verify = [&](const folvane::DumpCheck& check) {
    auto report = folvane::VerifyDump(check);
    if (!report || !report->sizeProblem.empty()) Stop("the dump cannot be compared");
    for (const folvane::DumpRow& r : report->rows) {
      if (!r.Matches() || r.badBlocks.size() != kBadPerRow) Stop("row " + std::to_string(r.row) + " does not match its dump");
    }
  };
  verify(byMarks);  // once untimed: every file in the cache, and the dump right
  ReadAndDiscard({dumpPath, job.data});

  std::vector<double> marks, list, dumpOnly, both;
  for (int i = 0; i < runs; ++i) {
    marks.push_back(Seconds([&] { verify(byMarks); }));
    dumpOnly.push_back(Seconds([&] { ReadAndDiscard({dumpPath}); }));
    list.push_back(Seconds([&] { verify(byList); }));
    both.push_back(Seconds([&] { ReadAndDiscard({dumpPath, job.data}); }));
  }
  const double m = Median(marks), l = Median(list), d = Median(dumpOnly), b = Median(both);
  std::printf("%s: dump %llu MiB (0x%llX blocks of 0x%X bytes), data image %llu MiB, %d runs, medians\n",
              parent.c_str(), static_cast<unsigned long long>(mib), static_cast<unsigned long long>(chipBlocks),
              pages.BlockBytes(), static_cast<unsigned long long>(fs::file_size(job.data) >> 20), runs);
  std::printf("  read dump %.1f ms, read dump + data image %.1f ms\n", d * 1e3, b * 1e3);
  std::printf("  verify --dump, marks: %.1f ms = %.2fx the dump's read, %.2fx both files' read\n", m * 1e3, m / d, m / b);
  std::printf("  verify --dump, list:  %.1f ms = %.2fx the dump's read, %.2fx both files' read\n", l * 1e3, l / d, l / b);
  fs::remove_all(dir, ec);
}

void MeasureChances(int runs) {
  std::vector<folvane::BlockRange> ranges;
  for (std::uint32_t i = 0; i < 16; ++i) ranges.push_back({i * 0x1000, i * 0x1000 + 0xFFF, 3966});
  std::vector<double> t;
  folvane::OverflowOdds odds;
  for (int i = 0; i < runs; ++i) t.push_back(Seconds([&] { odds = folvane::OverflowProbabilities(ranges, 0x10000, 2000); }));
  std::printf("overflow chances, 16 rows, B = 0x10000, N = 2000: %.2f ms median of %d (wanted under 50 ms: %.3fx); job %.3Lg\n",
              Median(t) * 1e3, runs, Median(t) * 1e3 / 50, odds.job ? *odds.job : -1.0L);
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t mib = 256;
  int runs = 7;
  std::vector<std::string> dirs;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--mib" && i + 1 < argc) {
      mib = std::strtoull(argv[++i], nullptr, 10);
    } else if (a == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else {
      dirs.push_back(a);
    }
  }
  if (dirs.empty()) {
    std::fprintf(stderr, "usage: chip_bench [--mib N] [--runs N] DIR...\n");
    return 64;
  }
  MeasureChances(std::max(runs, 20));
  for (const std::string& dir : dirs) Measure(dir, mib, runs);
  return 0;
}
