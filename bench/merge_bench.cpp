// Times the merge against what a user compares it with, in a folder given as the
// first argument (tmpfs or disk):
//  - for block modes 0, 2 and 15, RunMerge of eight images against `cat` of the same
//    images into one file, run as a process;
//  - a job that is mostly 0xFF fill (tiny images, wide ranges) against
//    `dd if=/dev/zero bs=1M` writing the same number of bytes;
//  - the command line's replacing of its outputs (one fsync each) against the
//    window's writing in place.
// Each pair runs in turn, and the medians are compared, since the machine is noisy.
// FOLVANE_BENCH_BUFFERED=1 turns the kernel's copy off, to compare the two copy paths.
// On Windows, which has neither `cat` nor `dd`, the two yardsticks are the same
// copies done through the C library's streams in this process.
// Usage: merge_bench DIR [MiB] [runs] [only]   (only: "modes", "fill", "replace", or
// "paths": the kernel's copy against the buffered copy, which runs only when asked)
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "merge/merge.hpp"

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

#ifdef _WIN32
double CpuSeconds() {
  FILETIME created, exited, kernel, user;
  if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  auto s = [](const FILETIME& t) { return double((std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime) / 1e7; };
  return s(kernel) + s(user);
}

std::string MakeFolder(const std::string& parent) {
  for (unsigned i = 0; i < 1000; ++i) {
    const std::string dir = parent + "/folvane-bench-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(i);
    std::error_code ec;
    if (fs::create_directory(dir, ec)) return dir;
  }
  return {};
}
#else
double CpuSeconds() {
  rusage self{}, children{};
  ::getrusage(RUSAGE_SELF, &self);
  ::getrusage(RUSAGE_CHILDREN, &children);
  auto s = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return s(self.ru_utime) + s(self.ru_stime) + s(children.ru_utime) + s(children.ru_stime);
}

std::string MakeFolder(const std::string& parent) {
  std::string pattern = parent + "/folvane-bench-XXXXXX";
  return ::mkdtemp(pattern.data()) ? pattern : std::string();
}
#endif

// The yardsticks in this process: the images one after the other through the C
// library's streams, and `bytes` zero bytes written in pieces of 1 MiB.
void StdioConcatenate(const std::vector<std::string>& images, const std::string& out) {
  FILE* o = std::fopen(out.c_str(), "wb");
  if (!o) std::exit(2);
  std::vector<char> buffer(1 << 20);
  for (const auto& image : images) {
    FILE* i = std::fopen(image.c_str(), "rb");
    if (!i) std::exit(2);
    for (std::size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), i)) > 0;) std::fwrite(buffer.data(), 1, n, o);
    std::fclose(i);
  }
  std::fclose(o);
}

void StdioZeros(const std::string& out, std::uint64_t mib) {
  FILE* o = std::fopen(out.c_str(), "wb");
  if (!o) std::exit(2);
  const std::vector<char> zeros(1 << 20);
  for (std::uint64_t i = 0; i < mib; ++i) std::fwrite(zeros.data(), 1, zeros.size(), o);
  std::fclose(o);
}

// Wall-clock seconds of a run; with FOLVANE_BENCH_CPU set, processor seconds (this
// process and its children), which a shared virtual machine disturbs less.
double Seconds(const std::function<void()>& run) {
  static const bool cpu = std::getenv("FOLVANE_BENCH_CPU") != nullptr;
  const double c0 = cpu ? CpuSeconds() : 0;
  const auto t0 = Clock::now();
  run();
  return cpu ? CpuSeconds() - c0 : std::chrono::duration<double>(Clock::now() - t0).count();
}

void Shell(const std::string& command) {
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    std::exit(2);
  }
}

struct Job {
  std::vector<std::string> images;
  std::vector<std::uint32_t> starts;
};

void Merge(const Job& job, int mode, const std::string& dir, bool replace) {
  const folvane::FlashGeometry g = folvane::LookupBlockMode(mode);
  folvane::PartitionSet set;
  SilentHost host;
  host.paths = job.images;
  host.data = dir + "/Data_Merge.bin";
  host.table = dir + "/Partition_Table.bin";
  for (std::size_t i = 0; i < job.images.size(); ++i) {
    set.slots[i].startBlock = job.starts[i];
    // The last range ends with its image. In the smallest mode 1 GiB needs block
    // numbers above what the window lets a user type; the merge takes them all the same.
    set.slots[i].endBlock = i + 1 < job.images.size() ? job.starts[i + 1] - 1 : job.starts[i] + 0xFFFF;
  }
  folvane::MergeOptions options;
  options.replaceOutputs = replace;
  const folvane::MergeResult r = folvane::RunMerge(set, g, host, options);
  if (!r.completed || !host.messages.empty()) {
    std::fprintf(stderr, "merge failed: %s\n", host.messages.empty() ? "?" : host.messages.front().c_str());
    std::exit(3);
  }
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// On a disk each run leaves a GiB of dirty pages that the next run would pay for when
// it replaces or outruns them. Everything is written out before each timed run, so
// that each pays for what it writes and nothing else.
void Settle() {
#ifndef _WIN32
  ::sync();
#endif
}

/// Runs a and b in turn `runs` times; gives their medians.
std::pair<double, double> InTurn(int runs, const std::function<void()>& a, const std::function<void()>& b) {
  std::vector<double> ta, tb;
  for (int i = 0; i < runs; ++i) {
    Settle();
    ta.push_back(Seconds(a));
    Settle();
    tb.push_back(Seconds(b));
  }
  return {Median(ta), Median(tb)};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: merge_bench DIR [MiB] [runs]\n");
    return 64;
  }
  const std::size_t mib = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1024;
  const int runs = argc > 3 ? std::atoi(argv[3]) : 7;
  const std::string only = argc > 4 ? argv[4] : "";
  if (std::getenv("FOLVANE_BENCH_BUFFERED")) folvane::TestHooks().kernelCopyOff = true;
  auto wanted = [&](const char* part) { return only.empty() || only == part; };
  const std::string dir = MakeFolder(argv[1]);
  if (dir.empty()) return 1;
#ifdef _WIN32
  const bool inProcess = true;
#else
  const bool inProcess = false;
#endif

  // Eight images of equal size, back to back in every mode.
  Job big;
  const std::size_t imageBytes = (mib << 20) / 8;
  std::string catCommand = "cat";
  for (unsigned i = 0; i < 8; ++i) {
    big.images.push_back(dir + "/image" + std::to_string(i) + ".bin");
    WriteImage(big.images.back(), imageBytes, i);
    catCommand += " '" + big.images.back() + "'";
  }
  catCommand += " >'" + dir + "/cat.bin'";
  std::printf("%s: 8 images, %zu MiB in all; medians of %d runs in turn\n", dir.c_str(), mib, runs);
  std::printf("%-18s %10s %10s %10s %8s\n", "block mode", "block", "merge s", "cat s", "ratio");
  for (int mode : {0, 2, 15}) {
    if (!wanted("modes")) break;
    const std::uint32_t block = folvane::kBlockModes[static_cast<std::size_t>(mode)].blockSize;
    big.starts.clear();
    for (std::size_t i = 0; i < big.images.size(); ++i) {
      big.starts.push_back(static_cast<std::uint32_t>(i * folvane::ImageBlocksFor(imageBytes, block)));
    }
    const auto [merge, cat] = InTurn(runs, [&] { Merge(big, mode, dir, false); }, [&] {
      if (inProcess) StdioConcatenate(big.images, dir + "/cat.bin");
      else Shell(catCommand);
    });
    std::printf("%-18s %10u %10.3f %10.3f %8.3f\n",
                std::string(folvane::kBlockModes[static_cast<std::size_t>(mode)].label).c_str(), block, merge, cat,
                merge / cat);
  }

  // The kernel's copy against the copy through the buffer, in turn, on the same job.
  if (only == "paths") {
    std::printf("%-18s %10s %10s %10s %8s\n", "block mode", "block", "kernel s", "buffer s", "ratio");
    for (int mode : {0, 2, 15}) {
      const std::uint32_t block = folvane::kBlockModes[static_cast<std::size_t>(mode)].blockSize;
      big.starts.clear();
      for (std::size_t i = 0; i < big.images.size(); ++i) {
        big.starts.push_back(static_cast<std::uint32_t>(i * folvane::ImageBlocksFor(imageBytes, block)));
      }
      auto merge = [&](bool kernel) {
        folvane::TestHooks().kernelCopyOff = !kernel;
        folvane::TestHooks().kernelCopyAlways = kernel;
        Merge(big, mode, dir, false);
        folvane::TestHooks() = {};
      };
      const auto [kernel, buffered] = InTurn(runs, [&] { merge(true); }, [&] { merge(false); });
      std::printf("%-18s %10u %10.3f %10.3f %8.3f\n",
                  std::string(folvane::kBlockModes[static_cast<std::size_t>(mode)].label).c_str(), block, kernel,
                  buffered, kernel / buffered);
    }
  }

  // Mostly fill: eight 4 KiB images spread so that the fill adds up to about MiB.
  Job fill;
  const std::uint32_t block = folvane::kBlockModes[2].blockSize;
  const std::uint32_t gap = static_cast<std::uint32_t>((mib << 20) / 8 / block);
  for (unsigned i = 0; i < 8; ++i) {
    fill.images.push_back(dir + "/small" + std::to_string(i) + ".bin");
    WriteImage(fill.images.back(), 4096, i);
    fill.starts.push_back((i + 1) * (gap + 1) - 1);
  }
  const std::uint64_t fillMiB = std::uint64_t{8} * gap * block >> 20;
  const std::string dd = "dd if=/dev/zero of='" + dir + "/dd.bin' bs=1M count=" + std::to_string(fillMiB) +
                         " status=none";
  const auto [fillMerge, ddTime] =
      wanted("fill") ? InTurn(runs, [&] { Merge(fill, 2, dir, false); },
                              [&] {
                                if (inProcess) StdioZeros(dir + "/dd.bin", fillMiB);
                                else Shell(dd);
                              })
                     : std::pair{0.0, 1.0};
  if (wanted("fill")) std::printf("%-18s %10s %10.3f %10.3f %8.3f   (%llu MiB of 0xFF fill against dd bs=1M)\n", "fill-heavy", "135168",
              fillMerge, ddTime, fillMerge / ddTime, static_cast<unsigned long long>(fillMiB));

  // The command line writes new files, forces them to disk and renames them.
  big.starts.clear();
  for (std::size_t i = 0; i < big.images.size(); ++i) {
    big.starts.push_back(static_cast<std::uint32_t>(i * folvane::ImageBlocksFor(imageBytes, block)));
  }
  const auto [replaced, inPlace] = wanted("replace") ? InTurn(runs, [&] { Merge(big, 2, dir, true); },
                                                                 [&] { Merge(big, 2, dir, false); })
                                                     : std::pair{0.0, 1.0};
  if (wanted("replace")) std::printf("%-18s %10s %10.3f %10.3f %8.3f   (replaced with fsync against in place)\n", "replace outputs",
              "135168", replaced, inPlace, replaced / inPlace);
  fs::remove_all(dir);
  return 0;
}
