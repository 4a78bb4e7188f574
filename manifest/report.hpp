#pragma once
// The report for the production record: one self-contained HTML page (the flash map
// as inline SVG, the rows, the block mode, the outputs with their digests, the job
// file's own digest, the program's version, the date and the host), and the same
// data as JSON for --json.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "io/file_io.hpp"
#include "layout/flash_layout.hpp"
#include "merge/merge.hpp"

namespace folvane::manifest {

/// Counts every byte a merge writes into a 32-bit sum per output, passing the bytes
/// on to another tap (the digests) when there is one.
class ByteSumTap : public MergeTap {
 public:
  explicit ByteSumTap(MergeTap* next) : next_(next) {}
  void Planned(const MergePlan& plan) override;
  void TableWritten(std::span<const std::uint8_t> bytes) override;
  void DataWritten(std::span<const std::uint8_t> bytes) override;
  [[nodiscard]] std::uint32_t TableSum() const { return tableSum_; }
  [[nodiscard]] std::uint32_t DataSum() const { return dataSum_; }

 private:
  MergeTap* next_;
  std::uint32_t tableSum_ = 0;
  std::uint32_t dataSum_ = 0;
};

/// One output file as the report shows it; the digests only once a merge wrote it.
struct ReportOutput {
  std::string path;
  std::optional<std::uint64_t> bytes;
  std::string sha256;
  std::optional<std::uint32_t> crc32;
  std::optional<std::uint32_t> byteSum;
};

/// The command of a report of what the window holds, neither checked nor merged.
inline constexpr const char* kWindowSetUp = "window";

struct ReportData {
  std::string command;  ///< "check", "merge" or kWindowSetUp
  std::string jobPath;
  std::string jobSha256;  ///< empty when the job file cannot be read
  int blockMode = 0;
  std::uint32_t blockSize = 0;
  std::uint32_t pageSize = 0;
  bool merged = false;  ///< the outputs were written and hashed
  bool completed = false;
  FlashLayout layout;
  ReportOutput data;
  ReportOutput table;
  std::string version;
  std::string date;  ///< UTC, ISO 8601
  std::string host;
};

/// The job a report is of: its file (empty for one set up in the window and never
/// saved), block mode, outputs and layout as the check or merge left them.
struct ReportJob {
  std::string jobPath;
  int blockMode = 0;
  FlashGeometry geometry;
  std::string dataPath;
  std::string tablePath;
  FlashLayout layout;
};

/// What the report says of a job a check or merge has just run: the job, the outputs'
/// sizes, and the job file's digest, the date and the host taken now. The caller adds
/// the digests of a merge.
ReportData CollectReport(const std::string& command, ReportJob job, const MergeResult& result);

nlohmann::json ReportJson(const ReportData& report);

/// The whole page. Every text from a file or the command line is escaped; bytes that
/// are not UTF-8 show as U+FFFD.
std::string ReportHtml(const ReportData& report);

/// The map alone, as the page embeds it.
std::string ReportSvg(const FlashLayout& layout);

/// The refusal of a report at `path` that names one of `others`, the files the command
/// reads or writes (the job, its images, the outputs, the manifests, a bad-block list,
/// a dump): the page would destroy it. Nothing when it names none of them. `command`
/// is "merge" or "check", for the message.
std::optional<std::string> ReportClash(const std::string& path, const std::vector<std::string>& others,
                                       const std::string& command);

/// The report's file, opened as the outputs are: a new file that takes the old one's
/// place only at the commit, or, where that would show, the old file written in place
/// (a line in `lines` says so), refused instead unless `allowInPlace`. Nothing when it
/// cannot be opened: `failure` is the cause, naming the file, and `lines` may say more.
std::optional<File> OpenReportFile(const std::string& path, bool allowInPlace, std::string& failure,
                                   std::vector<std::string>& lines);

/// Writes the page into the report's file; the commit puts it in place.
Status WriteReportPage(File& file, const std::string& html);

}  // namespace folvane::manifest
