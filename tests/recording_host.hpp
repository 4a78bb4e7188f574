#pragma once
// A MergeHost that stands for the main window: it holds the fields the merge reads
// and records, in order, everything the window would show.

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "merge/merge.hpp"

namespace folvane::testing {

class RecordingHost : public MergeHost {
 public:
  std::array<bool, kRowCount> checked{};
  std::array<std::string, kRowCount> rowPath{};
  std::string dataPath;
  std::string tablePath;
  /// "status:TEXT", "range:N", "pos:N", "warn:TEXT", "error:TEXT", "clear:ROW".
  std::vector<std::string> log;
  /// Called after a status text is recorded, to change the world mid-merge.
  std::function<void(const std::string&)> onStatus;
  /// Called after any entry is recorded, with the entry.
  std::function<void(const std::string&)> onEntry;

  void Check(int row, const std::string& path) {
    checked[static_cast<std::size_t>(row - 1)] = true;
    rowPath[static_cast<std::size_t>(row - 1)] = path;
  }

  bool IsRowChecked(int row) override { return checked.at(static_cast<std::size_t>(row - 1)); }
  std::string GetRowPathText(int row) override { return rowPath.at(static_cast<std::size_t>(row - 1)); }
  void ClearRowPathText(int row) override {
    rowPath.at(static_cast<std::size_t>(row - 1)).clear();
    Record("clear:" + std::to_string(row));
  }
  std::string GetDataPathText() override { return dataPath; }
  std::string GetTablePathText() override { return tablePath; }
  void SetStatusText(const std::string& text) override {
    log.push_back("status:" + text);
    if (onStatus) onStatus(text);
    if (onEntry) onEntry(log.back());
  }
  void SetProgressRange(std::uint32_t upper) override { Record("range:" + std::to_string(upper)); }
  void SetProgressPos(std::uint32_t pos) override { Record("pos:" + std::to_string(pos)); }
  void ShowMessage(const std::string& text, MessageIcon icon) override {
    Record((icon == MessageIcon::Error ? "error:" : "warn:") + text);
  }

 private:
  void Record(std::string entry) {
    log.push_back(std::move(entry));
    if (onEntry) onEntry(log.back());
  }
};

}  // namespace folvane::testing
