#pragma once
// What the benchmarks share: a merge host that answers from fixed paths and keeps its
// messages, and the timing of a run and the median of several.

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

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

}  // namespace folvane::bench
