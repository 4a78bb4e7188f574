#pragma once
// What the two halves of the file layer share behind File's interface: the system
// calls each system provides (namespace sys), and the helpers the common part offers
// them.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "io/file_io.hpp"

namespace folvane {

/// A failed open of `path`, with the cause the system's error code names.
FileError OpenFailure(FileOp op, const std::string& path, int error);

/// The refusal of something that is not a file (a FIFO, a folder's stand-in, a
/// character device where a file must be read).
FileError NotAFile(FileOp op, const std::string& path);

/// File::ReadScattered as one ReadAt a piece, where a test planted a read fault.
Expected<std::size_t> ReadPieceByPiece(File& file, std::uint64_t offset,
                                       std::span<const std::span<std::uint8_t>> pieces, std::size_t* got);

namespace sys {

inline constexpr std::intptr_t kNoHandle = -1;

/// Error codes the common part hands to the system's own classification.
extern const int kNotFound;       ///< ENOENT, ERROR_FILE_NOT_FOUND
extern const int kAccessDenied;   ///< EACCES, ERROR_ACCESS_DENIED
extern const int kSharing;        ///< EWOULDBLOCK, ERROR_SHARING_VIOLATION
extern const int kExists;         ///< EEXIST, ERROR_FILE_EXISTS
/// Windows neither renames nor removes a file that is open without sharing: its
/// handles are closed first there.
extern const bool kOpenFilesPinned;

/// What a replacement of a path comes to, found by looking only.
struct Plan {
  std::string target;     ///< the file the path finally names, symlinks followed
  bool exists = false;    ///< whether that file exists
  InPlaceReason inPlace = InPlaceReason::None;
};
/// Follows `path` to its final file and decides whether a new file could take its
/// place unseen; a FileError where nothing can be written there at all.
Expected<Plan> PlanReplacement(const std::string& path);

/// Opens the existing regular file `target` for writing, not following a symlink,
/// without emptying it, holding the writer's lock; kNoHandle and `error` on failure.
std::intptr_t OpenExisting(const std::string& target, int& error);
/// Creates `path` new (never an existing file, never through a symlink), readable
/// and writable by its creator alone, locked as a writer's. One that is not to
/// replace a file then gets what any file created for writing gets there (the
/// folder's default ACL, or the umask), which Adopt, knowing no folder, could not.
std::intptr_t CreateNew(const std::string& path, bool replacing, int& error);
/// Gives the new file `fresh` what the old file `old` shows everyone else: owner and
/// group, ACL and extended attributes, mode without setuid, setgid and sticky bits.
/// `old` is kNoHandle for a file that did not exist (nothing to give). None
/// or the reason it cannot be done; `error` set where something else failed.
InPlaceReason Adopt(std::intptr_t fresh, std::intptr_t old, int& error);
/// Takes setuid and setgid off a file about to be rewritten in place, as the system
/// does for a writer who is not its administrator. Failure is not an error.
void DropSetId(std::intptr_t handle) noexcept;
/// Cuts a regular file at its current position.
int EndHere(std::intptr_t handle);
void CloseHandle(std::intptr_t handle) noexcept;
/// Removes a file named in UTF-8; safe inside a signal handler on POSIX systems.
void RemoveFile(const char* path) noexcept;
/// Whether another process holds the file `path` open as a writer.
bool HeldByWriter(const std::string& path);

/// Whether a file name (the last component) of this length fits the system's limit.
bool LeafFits(std::string_view leaf);
std::string ProcessId();
std::string FolderOf(const std::string& path);
std::string NameOf(const std::string& path);
std::string Join(const std::string& folder, const std::string& leaf);

/// Puts `partial` in the place of `target`; afterwards the old target, if there was
/// one, is under the name `partial`. 0 or the system's error code.
int Install(const std::string& partial, const std::string& target, bool targetExisted);
/// Undoes Install: the old target back in place (or no target, if there was none).
int Uninstall(const std::string& partial, const std::string& target, bool targetExisted);
/// Holds and releases the signals that end the process, around the exchanges.
void HoldSignals() noexcept;
void ReleaseSignals() noexcept;
/// Waits a moment; safe inside a signal handler.
void PauseBriefly() noexcept;

}  // namespace sys
}  // namespace folvane
