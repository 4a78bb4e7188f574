#pragma once
// Job files of either form as they are read and saved: a .part, or a text job, told
// apart by their first bytes; the messages that refuse one; and a job file read
// whole, before anything is put in place.

#include <optional>
#include <string>
#include <string_view>

#include "io/file_io.hpp"
#include "job/job.hpp"
#include "job/part_file.hpp"

namespace folvane {

namespace text {
inline constexpr std::string_view kBadPartFile = "文件错误,请选择正确的文件";
inline constexpr std::string_view kImageOpenError = "Image File open error.";
inline constexpr std::string_view kEmptyFile = "Empty File.";
/// "<what> path is longer than 255 bytes.", for a path that a 256-byte field
/// cannot hold; `what` is "Table File", "Data File", "FILE3" or "The chosen".
std::string PathTooLong(std::string_view what);
/// "<what> path would load back as a different path.", for a path that a .part file
/// would give back as another text (stored_text.hpp).
std::string PathNotKept(std::string_view what);
/// "<what> path was saved in another code page and names a different file here.",
/// for a path a .part file holds in the legacy code page, read where file names are
/// bytes: the converted text may name an unrelated file.
std::string PathFromOtherCodePage(std::string_view what);
}  // namespace text

/// Why EXPORT would not save `path` in the field named `what` ("Table File", "FILE3"),
/// as the message the window shows; nothing when it saves it so that it loads back as
/// the same path.
std::optional<std::string> PathSaveRefusal(std::string_view what, const std::string& path);

/// Reads a .part file as IMPORT does: the file error that stopped it, or the record,
/// nothing when the file holds no job (it is not "PART", or not a file at all).
/// `legacy`, when given, learns which paths the file held in the legacy code page.
Expected<std::optional<PartFileRecord>> ReadPartFile(const std::string& path, LegacyPaths* legacy = nullptr);

/// Whether a job file is read as a .part: its first bytes are a .part's, or its name
/// ends in ".part" (any case), so that a damaged .part is named as one.
bool ReadsAsPartFile(const std::string& path, const std::string& head);

/// The file's first bytes (all of any text job), or the error that kept them.
Expected<std::string> ReadJobHead(const std::string& path);

/// A text job read from `text`, the file at `path`; nothing, and `problem` names the
/// file, the line and the key, when it is not one.
std::optional<Job> ReadTextJob(const std::string& path, const std::string& text, std::string& problem);

/// The folder a text job's relative paths are relative to: the real folder of the job
/// file, links followed, so that a job means the same whichever name it is given by.
std::string JobFolder(const std::string& path);

/// The text of `job` as a text job saved at `path`, checked to read back as the same
/// job; nothing (and `problem` says why) where no text job can hold it.
std::optional<std::string> TextJobAt(const Job& job, const std::string& path, std::string& problem);

/// How loading a job file ended.
enum class JobLoad { kLoaded, kUnreadable, kNotAJob };

/// A job file read as the window's Open job… reads it, before anything is put in place.
struct JobFileRead {
  JobLoad outcome = JobLoad::kLoaded;
  /// When it is not loaded, the message the window shows: a file error (in the words
  /// of `describe`, or the window's own), "not a .part" or why a text job is none.
  std::string refusal;
  bool refusalIsError = true;  ///< a stop message; the one of a damaged .part is a warning
  std::optional<PartFileRecord> part;  ///< a .part's record as read
  LegacyPaths legacy;                  ///< which of its paths were in the legacy code page
  std::optional<Job> text;             ///< a text job, its images not measured yet
};

/// Reads the job file at `path`: a .part as IMPORT reads it, anything else as a text
/// job. `head`, when given, is the file's first bytes as already read (ReadJobHead),
/// so that a text job is the one read before.
JobFileRead ReadJobFileAt(const std::string& path, std::string (*describe)(const FileError&),
                          const std::string* head = nullptr);

}  // namespace folvane
