#pragma once
// Job files of either form as the window's procedures meet them: a .part, or a text
// job, told apart by their first bytes; read, loaded into a dialog, and the dialog's
// job taken back out for saving as a text job.

#include <optional>
#include <string>

#include "dialog/dialog_ops.hpp"
#include "io/file_io.hpp"
#include "job/job.hpp"

namespace folvane {

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

/// How loading a job file into a dialog ended; the dialog has shown why it failed.
enum class JobLoad { kLoaded, kUnreadable, kNotAJob };

/// Loads a job file into the dialog: a .part as IMPORT does, a text job as IMPORT
/// would load the .part it converts to (rows without a saved length measured now, as
/// their Browse would), with each row's name and ECC schemes in its slot. `describe`
/// words a file error (the window's own text when null). `programErasedPages` learns
/// the text job's setting (false for a .part). `head`, when given, is the file's first
/// bytes as already read (ReadJobHead), so that a text job is the one read before.
JobLoad LoadJobInto(DialogOps& dialog, const std::string& path, std::string (*describe)(const FileError&),
                    bool& programErasedPages, const std::string* head = nullptr);

/// The job the dialog holds, as a text job saves it: the outputs, the block mode and
/// the leading run of ticked rows (as EXPORT saves them), with what each row's slot
/// keeps that the dialog does not show (its name and ECC schemes).
Job JobOfDialog(DialogOps& dialog, bool programErasedPages);

}  // namespace folvane
