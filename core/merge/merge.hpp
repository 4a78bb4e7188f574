#pragma once
// The merge: turns a partition set into the partition table file and the merged
// data image, reporting through the window (or whatever stands in for it).

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ecc/page.hpp"
#include "io/file_io.hpp"
#include "job/block_mode.hpp"
#include "job/partition.hpp"
#include "merge/plan.hpp"

namespace folvane {

/// Which icon a message box carries: the file-error texts are stop messages, every
/// other message of the program is a warning.
enum class MessageIcon { Warning, Error };

/// A message as shown: its text and its icon.
struct ShownMessage {
  std::string text;
  MessageIcon icon = MessageIcon::Warning;
  friend bool operator==(const ShownMessage&, const ShownMessage&) = default;
};

/// What the merge needs of the main window.
class MergeHost {
 public:
  virtual ~MergeHost() = default;
  /// Whether row 1..16's check box is checked now.
  virtual bool IsRowChecked(int row) = 0;
  /// The current text of row 1..16's image path field.
  virtual std::string GetRowPathText(int row) = 0;
  /// Empties row 1..16's image path field on screen (the slot keeps its path).
  virtual void ClearRowPathText(int row) = 0;
  /// The current text of the "Data:" field.
  virtual std::string GetDataPathText() = 0;
  /// The current text of the "Table:" field.
  virtual std::string GetTablePathText() = 0;
  /// Shows `text` in the status line at once.
  virtual void SetStatusText(const std::string& text) = 0;
  /// Sets the progress bar's range to 0 .. upper.
  virtual void SetProgressRange(std::uint32_t upper) = 0;
  /// Moves the progress bar at once; beyond the upper end shows a full bar.
  virtual void SetProgressPos(std::uint32_t pos) = 0;
  /// A modal message box with one OK button; returns once it is dismissed.
  virtual void ShowMessage(const std::string& text, MessageIcon icon) = 0;
};

// The merge takes path texts from the window up to the length a .part file holds
// (PathTooLongToStore); a longer one is treated as a path that cannot be opened rather than
// cut to a different path.

namespace text {
inline constexpr std::string_view kHeadGen = "HEAD GEN...";
inline constexpr std::string_view kDone = "Done!";
inline constexpr std::string_view kPartitionSetError = "Partition Set Error.";
inline constexpr std::string_view kPointDataFile = "Please point a Data File";
inline constexpr std::string_view kPointTableFile = "Please point a Table File";
inline constexpr std::string_view kTableIsData = "Table File and Data File are the same file.";
inline constexpr std::string_view kDataIsImage = "Data File is also an image file.";
inline constexpr std::string_view kTableIsImage = "Table File is also an image file.";
/// "FILE[%d] open fail", "FILE[%d] empty", "FILE%d MER...", "Image File%d open error".
std::string RowOpenFail(int row);
std::string RowEmpty(int row);
std::string RowMerging(int row);
std::string ImageOpenError(int row);
}  // namespace text

/// Sees every byte the merge writes, in file order, once it has reached its file.
class MergeTap {
 public:
  virtual ~MergeTap() = default;
  /// Learns what the merge will write, just before the table goes by.
  virtual void Planned(const MergePlan& plan) { (void)plan; }
  virtual void TableWritten(std::span<const std::uint8_t> bytes) = 0;
  virtual void DataWritten(std::span<const std::uint8_t> bytes) = 0;
};

struct MergeOptions {
  /// Learns the details of each rejected row right after its "Partition Set Error."
  std::function<void(const RowRejection&)> onRejected;
  /// Learns, right after a message, a line that says more than the message can (which
  /// path is too long, which image changed length); for the command line.
  std::function<void(const std::string&)> onDetail;
  /// Sees every byte written: copied through the program, or read back from the
  /// image where the file system shared its extents.
  MergeTap* tap = nullptr;
  /// Write each output under a new name and put it in place of the old one only when
  /// the whole merge has succeeded, so that a failed or killed merge leaves the
  /// previous outputs as they were.
  bool replaceOutputs = false;
  /// With replaceOutputs: an output that cannot be replaced unseen is written in place
  /// (and said so through onDetail); false refuses it instead, before anything is
  /// written.
  bool allowInPlace = true;
  /// With replaceOutputs: more replacements (manifests) that are put in place together
  /// with the outputs, all or none. They were created before the merge started.
  std::vector<File*> commitWith;
  /// With replaceOutputs: called once the outputs are written, before any is put in
  /// place, to write the files of `commitWith`; false ends the merge with the old
  /// outputs kept (the callee has said why).
  std::function<bool(const struct MergeResult&)> beforeCommit;
  /// Decide everything (measure, refuse, build the table, check every copy could
  /// start) and report it as the merge would, but create and write nothing.
  bool dryRun = false;
  /// With dryRun: whether to ask if the outputs could be created. Off for reading
  /// existing outputs back, which may well be read-only.
  bool probeOutputs = true;
  /// Rows whose images hold page data only (`pageCodecs[row - 1]`): measured in blocks
  /// of pages' data bytes, and each page laid out with its spare area by the codec.
  /// Exactly the ticked rows whose slot names an ECC scheme (`ecc`) have one: the plan
  /// measures by the slot, the copy lays out by the codec (`MakeRowCodecs` gives both).
  /// Pages whose data is all 0xFF stay erased unless `programErasedPages`.
  std::array<const PageCodec*, kRowCount> pageCodecs{};
  bool programErasedPages = false;
};

struct MergeResult {
  bool completed = false;                 ///< reached "Done!"
  /// How far the merge got: the plan's decisions and table are meaningful once
  /// `tableBuilt` is set; before, only the sizes of the images it measured.
  bool tableBuilt = false;
  MergePlan plan;
  /// The data image's length once complete (the end of the last accepted image).
  std::uint64_t dataBytes = 0;
  /// Outputs written into the old file instead of replacing it, and why (a dry run:
  /// what a merge would do).
  InPlaceReason dataInPlace = InPlaceReason::None;
  InPlaceReason tableInPlace = InPlaceReason::None;
};

/// Runs the whole merge with the geometry's block size. Refreshes the image path and
/// length of the leading run of checked rows in `set` and changes nothing else of it.
MergeResult RunMerge(PartitionSet& set, const FlashGeometry& geometry, MergeHost& host,
                     const MergeOptions& options = {});

}  // namespace folvane
