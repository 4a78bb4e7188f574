#pragma once
// Job files of either form loaded into a dialog, as the window's Open job… loads them,
// and the dialog's job taken back out for saving as a text job. Reading them is
// job/job_file.hpp's.

#include <string>

#include "dialog/dialog_ops.hpp"
#include "io/file_io.hpp"
#include "job/job.hpp"
#include "job/job_file.hpp"

namespace folvane {

/// Loads a job file into the dialog: a .part as IMPORT does, a text job as IMPORT
/// would load the .part it converts to (rows without a saved length measured now, as
/// their Browse would), with each row's name and ECC schemes in its slot. `describe`
/// words a file error (the window's own text when null). `programErasedPages` learns
/// the text job's setting (false for a .part). `head`, when given, is the file's first
/// bytes as already read (ReadJobHead), so that a text job is the one read before.
/// The dialog has shown why it failed.
JobLoad LoadJobInto(DialogOps& dialog, const std::string& path, std::string (*describe)(const FileError&),
                    bool& programErasedPages, const std::string* head = nullptr);

/// The job the dialog holds, as a text job saves it: the outputs, the block mode and
/// the leading run of ticked rows (as EXPORT saves them), with what each row's slot
/// keeps that the dialog does not show (its name and ECC schemes).
Job JobOfDialog(DialogOps& dialog, bool programErasedPages);

}  // namespace folvane
