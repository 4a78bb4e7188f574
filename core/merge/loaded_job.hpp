#pragma once
// A job loaded to be merged without a window: the partition set, the geometry and the
// texts the merge reads, put in place as the window's IMPORT puts a job into its
// controls, and everything the window would show (messages, status texts, progress)
// recorded in order. The command line loads, merges, checks and verifies jobs as one.

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "job/block_mode.hpp"
#include "job/job.hpp"
#include "job/job_file.hpp"
#include "job/part_file.hpp"
#include "merge/merge.hpp"

namespace folvane {

class LoadedJob : public MergeHost {
 public:
  /// Nothing loaded yet: the outputs a freshly started window shows.
  LoadedJob(std::string defaultDataPath, std::string defaultTablePath);

  PartitionSet set;
  FlashGeometry geometry;
  /// The Block Mode list's index: 0 to 15, or -1 where the job stores a mode outside
  /// the list (the geometry is then the default mode's).
  int blockMode = kDefaultBlockModeIndex;
  /// The rows 1..tickedRows are ticked: the rows the job holds. No other row is.
  int tickedRows = 0;
  /// The output fields' texts; a job's own may be replaced before the merge.
  std::string tablePath;
  std::string dataPath;
  /// Each row's image path field: the job's path, empty where it was refused at load
  /// or a merge found the image missing or empty. The slot keeps its path apart.
  std::array<std::string, kRowCount> rowPaths{};
  /// The progress bar as the merge last set it.
  std::uint32_t progressRange = 100;
  std::uint32_t progressPos = 0;

  /// Every message shown, in order.
  std::vector<ShownMessage> messages;
  /// Observers for the command-line tool's output: messages, status texts, progress.
  std::function<void(const ShownMessage&)> onMessage;
  std::function<void(const std::string&)> onStatus;
  std::function<void(std::uint32_t pos, std::uint32_t range)> onProgress;

  /// Puts a .part record in place as IMPORT does, into a job loaded with nothing yet:
  /// its usable rows ticked, each start and end text judged as its edit judges it (a
  /// refused text is shown and counts as 0), the saved lengths, and the block mode.
  /// A path held in the legacy code page that names another file here (`legacy`) is
  /// shown and emptied, so that no merge reads or writes a file the job never named.
  void Load(const PartFileRecord& record, const LegacyPaths& legacy = {});
  /// A text job as IMPORT would load the .part it converts to: rows without a saved
  /// length measured now, outputs it does not name left as they are; then each row's
  /// name and ECC schemes, and whether erased pages are programmed.
  void Load(Job job);
  /// Reads the job file at `path` (a .part, or a text job) and loads it; otherwise
  /// shows why not, a file error in the words of `describe` (the window's own if null).
  JobLoad LoadFile(const std::string& path, std::string (*describe)(const FileError&) = nullptr);

  /// The merge, with this job as its host.
  MergeResult Merge(const MergeOptions& options = {});

  // MergeHost
  bool IsRowChecked(int row) override { return row >= 1 && row <= tickedRows; }
  std::string GetRowPathText(int row) override { return rowPaths.at(static_cast<std::size_t>(row - 1)); }
  void ClearRowPathText(int row) override { rowPaths.at(static_cast<std::size_t>(row - 1)).clear(); }
  std::string GetDataPathText() override { return dataPath; }
  std::string GetTablePathText() override { return tablePath; }
  void SetStatusText(const std::string& text) override;
  void SetProgressRange(std::uint32_t upper) override;
  void SetProgressPos(std::uint32_t pos) override;
  void ShowMessage(const std::string& text, MessageIcon icon) override;
};

}  // namespace folvane
