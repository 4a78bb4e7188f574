#pragma once
// A job as a value: the outputs, the block mode and the rows, each row as the window's
// edits hold it (texts as typed) plus what only a text job can say (a name). The
// .part record and the text job both encode it; the command line loads either.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "job/part_file.hpp"

namespace folvane {

/// One row of a job, ticked: the window restores every saved row ticked.
struct JobRow {
  std::string imagePath;
  std::string startText;  ///< hexadecimal as typed in the window, not made canonical
  std::string endText;
  /// The image's length in blocks as saved; nothing where the job does not say, and
  /// the image is measured when the job is loaded.
  std::optional<std::uint32_t> imageBlocks;
  std::string name;  ///< empty: none (a .part holds no names)
  /// The ECC scheme that lays the row's image of page data out (empty: the image
  /// holds whole pages, spare bytes and all), and the scheme a raw image should
  /// already carry (empty: none checked). A .part holds neither.
  std::string ecc;
  std::string rawEcc;
  friend bool operator==(const JobRow&, const JobRow&) = default;
};

struct Job {
  /// The outputs; nothing where the job does not say, and the window's defaults are
  /// used (a .part always says, if only an empty text).
  std::optional<std::string> tablePath;
  std::optional<std::string> dataPath;
  std::uint8_t blockMode = 2;  ///< as stored: 0 to 15, or kNoBlockMode
  std::vector<JobRow> rows;    ///< at most kRowCount
  /// Rows of page data: lay out pages whose data is all 0xFF with their ECC too,
  /// instead of leaving them erased. A .part cannot say so.
  bool programErasedPages = false;
  friend bool operator==(const Job&, const Job&) = default;
};

/// The job a .part record holds: its usable rows, in order.
Job JobFromPartRecord(const PartFileRecord& record);

/// The .part record of a job, and what the record cannot hold.
struct PartRecordOfJob {
  PartFileRecord record;
  /// One line per thing left out that the merge does not read ("row 1's name
  /// 'boot'"); empty when nothing was.
  std::vector<std::string> leftOut;
  /// One line per thing the record cannot hold that changes what a merge writes (an
  /// ECC scheme, programming erased pages): such a record stands for another job.
  std::vector<std::string> changesMerge;
};
/// Rows without a saved length must have been measured first (MeasureJobImages);
/// outputs the job does not name get `defaultTable` and `defaultData`. Block texts
/// are stored as EXPORT stores them; paths are not checked here (PathSaveRefusal).
PartRecordOfJob PartRecordFromJob(const Job& job, const std::string& defaultTable, const std::string& defaultData);

/// Gives every row without a saved length the length of its image now, in blocks of
/// the job's mode; an image that cannot be measured gets 0, as a row whose Browse
/// failed keeps.
void MeasureJobImages(Job& job);

/// Whether a file's first bytes are a .part record's ("PART" and a zero byte):
/// anything else is read as a text job.
bool StartsAsPartFile(std::span<const std::uint8_t> bytes);

}  // namespace folvane
