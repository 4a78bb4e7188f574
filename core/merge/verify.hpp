#pragma once
// Reading a merge's outputs back: the table and the data image compared with what a
// merge of the job would write now, from the images as they are, without writing.

#include <cstdint>
#include <string>
#include <vector>

#include "io/file_io.hpp"
#include "merge/merge.hpp"
#include "job/partition.hpp"

namespace folvane {

/// One stretch of the data image as the merge lays it out, in file order.
struct DataRegion {
  enum class Kind { Fill, Partition };
  Kind kind = Kind::Fill;
  /// Partition: its row. Fill: the row whose start block the fill leads up to.
  int row = 0;
  std::uint64_t offset = 0;      ///< first byte in the data image
  std::uint64_t bytes = 0;       ///< whole blocks
  std::string imagePath;         ///< Partition: the image copied there
  std::uint64_t imageBytes = 0;  ///< Partition: bytes from the image; the rest of its blocks is 0xFF
  /// Partition of page data only: the codec that laid its pages out, and whether
  /// erased pages were programmed too.
  const PageCodec* codec = nullptr;
  bool programErased = false;
};

/// The regions of the data image that `planned` (a completed dry run of the merge on
/// `set` with `options`) describes: each accepted image at its offset, 0xFF fill before
/// it; a row of page data laid out by its codec.
std::vector<DataRegion> DataLayout(const PartitionSet& set, const MergeResult& planned, const MergeOptions& options = {});

/// Where a difference was found.
enum class VerifyPlace {
  Table,      ///< the table file
  Partition,  ///< an accepted row's blocks in the data image
  Fill,       ///< 0xFF blocks before a partition
  AfterEnd,   ///< bytes after the end of the last partition
  Data,       ///< the data image as a whole (compared by its digest)
};

/// What kind of difference it is.
enum class VerifyCause {
  Differs,  ///< a byte is not the one the merge writes
  Missing,  ///< the file ends before this byte
  Extra,    ///< the file goes on where the merge ends it
};

/// The first difference of one place: a table, a partition or a fill stops being
/// read at its first difference.
struct VerifyDifference {
  VerifyPlace place = VerifyPlace::Table;
  VerifyCause cause = VerifyCause::Differs;
  /// Partition: its row. Fill: the row it leads up to. Table: the row of the record
  /// that differs (0 past the records). AfterEnd: the last accepted row (0 if none).
  int row = 0;
  /// Data image: the block that holds the byte. Table: the record, from 1 (0 past the
  /// records).
  std::uint64_t block = 0;
  std::uint64_t offset = 0;      ///< the byte's offset in its file
  std::uint64_t imageBlock = 0;  ///< Partition: the block within the image, from 0
  /// Compared by digest (with a manifest): the place as a whole differs, and where in
  /// it is not known. `block` is then its first block (Partition), `blocks` how many
  /// it spans, `bytes` its length as read and `expectedBytes` as recorded.
  bool byDigest = false;
  std::uint64_t blocks = 0;
  std::uint64_t bytes = 0;
  std::uint64_t expectedBytes = 0;

  /// One line for people, with the numbers in hexadecimal as the rows show them.
  [[nodiscard]] std::string Describe() const;
};

/// What was found, against a job or against a manifest alike.
struct VerifyReport {
  std::uint64_t tableBytes = 0;  ///< the table file's length as read
  std::uint64_t dataBytes = 0;   ///< the data image's length as read
  std::vector<VerifyDifference> differences;  ///< table first, then in data image order
};

/// What the outputs should hold.
struct VerifyExpectation {
  TableArea table{};
  std::vector<int> recordRows;  ///< the row of each table record, in order
  std::vector<DataRegion> regions;
  std::uint64_t dataBytes = 0;  ///< where the data image ends
  std::uint32_t blockSize = 0;
};

/// Reads the table file, then the data image and each image once, in order, and
/// compares them with `expected`. A file that cannot be opened or read, or an image
/// that is shorter than it was when the job was measured, is an error.
Expected<VerifyReport> VerifyOutputs(const std::string& tablePath, const std::string& dataPath,
                                     const VerifyExpectation& expected);

}  // namespace folvane
