#pragma once
// The operations behind the row controls and the IMPORT and EXPORT buttons, written
// once against DialogOps for the window and the tests that stand for it. The texts
// they show and the reading of job files are job/job_file.hpp's.

#include <optional>
#include <string>
#include <string_view>

#include "dialog/dialog_ops.hpp"
#include "io/file_io.hpp"
#include "job/job_file.hpp"
#include "job/part_file.hpp"

namespace folvane {

/// Row 1..16's start or end edit changed: judge its text, store the value in the slot,
/// or show the refusal and empty the edit (which stores 0 when it runs again).
void HandleBlockEditChange(DialogOps& dialog, int row, BlockEdit which);

/// The row's check box was clicked: its other four controls follow the box.
void HandleFileCheck(DialogOps& dialog, int row);

/// The row's Browse: choose the image, store its path and measure it in blocks.
void BrowseImage(DialogOps& dialog, int row);

/// Table or Data Browse: put the chosen path into the edit `editId`; the file is
/// not opened and need not exist.
void BrowseOutputPath(DialogOps& dialog, int editId);

/// EXPORT: save the set-up as a .part file. True when the file was written.
bool ExportPartFile(DialogOps& dialog);

/// IMPORT: load a .part file into the window. True when it was loaded.
bool ImportPartFile(DialogOps& dialog);

/// IMPORT once the file is chosen: reads `path` and puts the job into the window, or
/// shows why not. A file error is shown in the window's own words unless `describe`
/// gives others.
bool LoadPartFile(DialogOps& dialog, const std::string& path, std::string (*describe)(const FileError&) = nullptr);

/// Puts a record into the window as IMPORT does once the file is read. A path the file
/// held in the legacy code page, where that names another file than the one saved
/// (`legacy`), is shown with its message and then emptied, as a refused entry is, so
/// that no merge writes to or reads from a file the job never named.
void ApplyPartRecord(DialogOps& dialog, const PartFileRecord& record, const LegacyPaths& legacy = {});

}  // namespace folvane
