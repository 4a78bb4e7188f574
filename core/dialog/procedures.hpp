#pragma once
// The operations behind the row controls and the IMPORT and EXPORT buttons, written
// once against DialogOps so that the window and the command-line tool share them.

#include <optional>
#include <string>
#include <string_view>

#include "dialog/dialog_ops.hpp"
#include "io/file_io.hpp"
#include "job/part_file.hpp"

namespace folvane {

namespace text {
inline constexpr std::string_view kBadPartFile = "文件错误,请选择正确的文件";
inline constexpr std::string_view kImageOpenError = "Image File open error.";
inline constexpr std::string_view kEmptyFile = "Empty File.";
/// "<what> path is longer than 255 characters.", for a path that a 256-byte field
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

/// Reads a .part file as IMPORT does: the file error that stopped it, or the record,
/// nothing when the file holds no job (it is not "PART", or not a file at all).
/// `legacy`, when given, learns which paths the file held in the legacy code page.
Expected<std::optional<PartFileRecord>> ReadPartFile(const std::string& path, LegacyPaths* legacy = nullptr);

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
