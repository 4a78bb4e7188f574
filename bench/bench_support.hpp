#pragma once
// What the benchmarks share: a merge host that answers from fixed paths and keeps its
// messages, the timing of a run and the median of several, and the plain read that
// stands for `cat FILES > /dev/null`.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "io/file_io.hpp"
#include "merge/merge.hpp"

namespace folvane::bench {

/// Ticks the first `paths.size()` rows with those images; shows nothing.
struct SilentHost : MergeHost {
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
  void ShowMessage(const std::string& text, MessageIcon) override { messages.push_back(text); }
};

inline double Seconds(const std::function<void()>& run) {
  const auto t0 = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

/// What cat does with its input: reads the files one after the other in pieces of
/// 128 KiB and drops the bytes; how many there were. A file it cannot read ends the
/// benchmark.
inline std::uint64_t ReadAndDiscard(const std::vector<std::string>& paths) {
  std::vector<std::uint8_t> piece(std::size_t{128} << 10);
  std::uint64_t total = 0;
  for (const std::string& path : paths) {
    auto file = File::OpenRead(path);
    bool whole = false;
    for (std::uint64_t at = 0; file && !whole;) {
      auto got = file->ReadAt(at, piece);
      if (!got) break;
      whole = *got == 0;
      at += *got;
      total += *got;
    }
    if (!whole) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      std::exit(2);
    }
  }
  return total;
}

}  // namespace folvane::bench
