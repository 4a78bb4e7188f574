#pragma once
// The program's one file layer. Every open, read, positioning, write and size query
// goes through File, and every failure comes back as a FileError whose cause is one
// of the rows of the program's file-error table, ready to be shown with its text.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace folvane {

/// The causes a file failure is reported with; each has its own message text.
enum class FileErrorCause {
  None,
  Generic,
  FileNotFound,
  BadPath,
  TooManyOpenFiles,
  AccessDenied,
  InvalidFile,
  RemoveCurrentDir,
  DirectoryFull,
  BadSeek,
  HardIO,
  SharingViolation,
  LockViolation,
  DiskFull,
  EndOfFile,
};

/// What was being done when the failure happened: it decides which name the message
/// carries (the full path for a write, an unnamed file for a read or positioning).
enum class FileOp { Open, Create, Read, Seek, Write, Size };

/// The name a message gives a file that it cannot name.
inline constexpr std::string_view kUnnamedFile = "一未命名文件";

struct FileError {
  FileErrorCause cause = FileErrorCause::Generic;
  FileOp op = FileOp::Read;
  std::string path;  ///< as the caller gave it
  int sysError = 0;  ///< errno or GetLastError(); 0 where the layer itself detected the failure
  /// The path names something that is neither a file nor, for an output, a device (a
  /// folder, a FIFO, a socket): refused at once instead of waiting on it.
  bool notAFile = false;
  /// A line that says more than the cause's text can (another merge is writing the
  /// file, or it could only be written in place), for the command line; may be empty.
  std::string detail{};

  /// The text of the cause with %1 filled in: the full path for a failed write or
  /// creation, "一未命名文件" for everything else.
  [[nodiscard]] std::string Message() const;
  /// The text of the cause with %1 filled in by `name`: for the command line's own
  /// commands, which know the file they mean and say which.
  [[nodiscard]] std::string MessageNaming(std::string_view name) const;
  /// The line the command line and the window's tools say it with: the cause naming
  /// the file, or, for an input that is no file at all (a folder, a pipe, /dev/zero),
  /// what it is, since "access denied" would send its user after permissions.
  [[nodiscard]] std::string Line() const;
};

/// The message template of a cause, with "%1" where the file's name goes.
std::string_view FileErrorTemplate(FileErrorCause cause);

/// Maps a system error code (errno on POSIX systems, GetLastError() on Windows) to
/// the cause it is reported with.
FileErrorCause ClassifySystemError(int error);

/// Why an output is written into the old file instead of replacing it: a replacement
/// would differ, for someone else, from writing the same bytes into the old file.
enum class InPlaceReason {
  None,           ///< replaced
  Device,         ///< a device has no file to replace
  FolderLocked,   ///< the folder does not let this user create or rename files
  OtherLinks,     ///< other hard links would keep the old bytes
  Owner,          ///< this user cannot give a new file the old one's owner and group
  StickyFolder,   ///< a sticky folder lets only the file's or the folder's owner rename it
  Attributes,     ///< its ACL or extended attributes cannot be given to a new file
};

/// "it has other hard links", ...: the reason as a clause for a message.
std::string_view InPlaceText(InPlaceReason reason);

/// A value or the FileError that prevented it.
template <class T>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : v_(std::move(value)) {}                 // NOLINT(google-explicit-constructor)
  Expected(FileError error) : v_(std::move(error)) {}         // NOLINT(google-explicit-constructor)
  [[nodiscard]] bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const T& value() const& { return std::get<0>(v_); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  [[nodiscard]] const FileError& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, FileError> v_;
};

/// Success, or the FileError that ended the operation.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(FileError error) : error_(std::move(error)) {}  // NOLINT(google-explicit-constructor)
  [[nodiscard]] bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  [[nodiscard]] const FileError& error() const { return *error_; }

 private:
  std::optional<FileError> error_;
};

/// An open file, closed when it goes out of scope. Files are opened "without
/// sharing": readers may share a file with other readers, a writer shares it with
/// nobody, so two running copies of the program never read and write the same file
/// at once; a file held elsewhere is reported as a sharing violation. (POSIX systems:
/// shared and exclusive advisory locks. Windows: the share mode of the open.)
///
/// No open ever waits: a path that names a FIFO, a socket or a folder is refused at
/// once. Inputs may be regular files or block devices (a flash device's contents);
/// outputs may be regular files or devices, which are written in place. In a sticky
/// folder everyone may write, a link or a file that neither this user nor the folder's
/// owner owns is refused as an output (access denied): another user may have put it
/// there to catch it.
class File {
 public:
  File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  ~File();

  /// Opens an existing file for reading.
  static Expected<File> OpenRead(const std::string& path);
  /// Creates a file for writing, or empties it if it exists.
  static Expected<File> CreateWrite(const std::string& path);
  /// Creates an output that replaces `path` only when Commit() succeeds: the bytes go
  /// to a new file beside the file `path` finally names (symlinks followed), named
  /// "<name>.folvane-partial-<pid>" so that a leftover of a killed run says what it
  /// is, and an existing file keeps every byte until then. The new file is created
  /// readable by its creator alone and gets the old file's owner, group, ACL,
  /// extended attributes and mode (without setuid, setgid and sticky bits) before
  /// its first byte. An existing file is held with the writer's lock meanwhile, so it
  /// is refused exactly when CreateWrite would refuse it; another merge writing the
  /// same file is refused too, whether the file exists yet or not.
  ///
  /// Where a replacement would show (see InPlaceReason), the old file is written in
  /// place instead, emptied only by the Commit that ends it, and InPlace() says why;
  /// with `allowInPlace` false that is refused instead, nothing opened for writing.
  static Expected<File> CreateReplacement(const std::string& path, bool allowInPlace = true);

  [[nodiscard]] bool IsOpen() const { return handle_ != kNoHandle; }
  /// The path the caller gave (the destination, for a replacement).
  [[nodiscard]] const std::string& Path() const { return path_; }
  /// Whether the file is a regular file (not a device).
  [[nodiscard]] bool IsRegular() const { return regular_; }
  /// For a replacement written in place, why; None otherwise.
  [[nodiscard]] InPlaceReason InPlace() const { return inPlace_; }

  /// Reads from `offset` until `buffer` is full or the file ends; returns the count.
  /// On a failure part-way, `got` (when given) receives what was read before it.
  Expected<std::size_t> ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer, std::size_t* got = nullptr);
  /// ReadAt() into several buffers in turn, as if they were one: the file's bytes from
  /// `offset` fill `pieces` in order, in as few system calls as the system allows.
  Expected<std::size_t> ReadScattered(std::uint64_t offset, std::span<const std::span<std::uint8_t>> pieces,
                                      std::size_t* got = nullptr);
  /// Writes all of `data` at the current position. A write that cannot be completed
  /// is a failure (disk full when the system gives no other cause); `written`, when
  /// given, receives how many bytes did reach the file.
  Status Write(std::span<const std::uint8_t> data, std::size_t* written = nullptr);
  /// Writes `total` bytes made of `chunk` repeated (the last repetition cut short),
  /// several repetitions per system call. `written` as for Write.
  Status WriteRepeated(std::span<const std::uint8_t> chunk, std::uint64_t total, std::uint64_t* written = nullptr);

  /// How the kernel is to move bytes between two files.
  enum class KernelCopy {
    Share,  ///< the output shares the source's extents: nothing is read or written
    Copy,   ///< the kernel reads and writes the bytes itself
  };
  /// What a copy inside the kernel achieved.
  struct CopyResult {
    std::uint64_t copied = 0;         ///< bytes that reached this file
    bool unsupported = false;         ///< the system stopped copying between these files
    std::optional<FileError> error;   ///< a read or write failed after `copied` bytes
  };
  /// Places `length` bytes of `source`, from `offset`, at the current position without
  /// passing them through the program's memory, and moves the position after them.
  /// Sharing takes the whole stretch or nothing; both offsets and the length must be
  /// multiples of ShareBlockSize(). Where the system cannot do it, or stops part way
  /// (a short copy included), `unsupported` is set with `copied` counting only the bytes
  /// known to be in place: whatever else may have reached the file after them is the
  /// caller's to overwrite. A copy stops early, without `unsupported`, only at the end
  /// of `source`.
  CopyResult CopyFrom(File& source, std::uint64_t offset, std::uint64_t length, KernelCopy how);
  /// The same open file once more, for reading only: where a file was opened for
  /// writing, what it already holds can then be a source of CopyFrom. Fails where the
  /// system cannot reopen it or the user may not read it.
  Expected<File> ReadableTwin();
  /// The block size extents are shared at, in the file system holding this file; 0
  /// where the system shares none.
  std::uint32_t ShareBlockSize();
  /// Starts writing `length` bytes from `offset` to the disk and returns without
  /// waiting, so that a later Sync has less left to wait for. Does nothing where the
  /// system offers no such start; never fails (Sync reports what did not reach the disk).
  void StartWriteBack(std::uint64_t offset, std::uint64_t length);
  /// Writes `length` bytes from `offset` to the disk and waits until they are there,
  /// without forcing anything else of the file or its file system (a Sync may commit
  /// a whole file system's journal). A failed write is this file's failure, as Sync's
  /// would be: the system reports it once, to the first to ask. Where the system has
  /// no such wait, it is a Sync.
  Status WaitWriteBack(std::uint64_t offset, std::uint64_t length);

  /// Moves the current position.
  Status Seek(std::uint64_t position);
  /// Cuts a regular file to `size` bytes and moves the position there (a device only
  /// moves).
  Status Truncate(std::uint64_t size);
  /// The file's size in bytes now (a block device's capacity).
  Expected<std::uint64_t> Size();
  /// The size an opened input had when it was opened, taken with no further query.
  [[nodiscard]] std::uint64_t OpenedSize() const { return openedSize_; }
  /// Forces what was written to the disk.
  Status Sync();
  /// Puts a replacement in place of its destination after forcing it to the disk
  /// (CommitAll of this file alone). Does nothing for a file that is not a
  /// replacement. Nothing may be written after a Commit: a committed replacement is
  /// closed.
  Status Commit();
  /// Puts every replacement of `files` in place, all of them or none: each new file
  /// is forced to the disk, then exchanged with its destination, in order; if one
  /// exchange fails, those before it are exchanged back. Termination signals wait
  /// until the exchanges are done, on whichever thread they arrive. A replacement written in place is cut to what was
  /// written and forced to the disk. Only a crash or an uncatchable kill inside the
  /// exchanges can leave some outputs new and others old; the old file of each
  /// exchanged output is then still under its partial name.
  static Status CommitAll(std::span<File* const> files);
  /// Closes the file; closing a closed file does nothing. A replacement that was not
  /// committed is removed.
  void Close();

 private:
  // A descriptor on POSIX systems, a HANDLE on Windows; -1 is "none" on both.
  static constexpr std::intptr_t kNoHandle = -1;
  File(std::intptr_t handle, std::string path) : handle_(handle), path_(std::move(path)) {}
  [[nodiscard]] FileError Fail(FileOp op, int error) const;
  std::intptr_t handle_ = kNoHandle;
  std::string path_;
  bool regular_ = true;
  std::uint64_t openedSize_ = 0;  // an input's size when it was opened
  /// Forces the file to the disk and, on systems that cannot rename an open file,
  /// closes it: the part of a commit that comes before the exchanges.
  Status PrepareCommit();
  /// After the exchanges: forgets the partial name and closes every handle.
  void FinishCommit();
  /// Creates the new file of a replacement of `target` beside it under a partial name
  /// that an interrupted merge's clean-up knows (set in partialPath_); its handle, or
  /// the failure, naming `path`.
  Expected<std::intptr_t> CreatePartial(const std::string& path, const std::string& target, bool exists);
  // A replacement: the new file's own name, the file it replaces (symlinks followed),
  // whether that existed, and the destination held with a lock.
  std::string partialPath_;
  std::string target_;
  bool targetExisted_ = false;
  std::intptr_t destination_ = kNoHandle;
  // A replacement written in place: why, and emptied beyond the written end on commit.
  InPlaceReason inPlace_ = InPlaceReason::None;
};

/// Makes sure the standard input, output and error descriptors are open (on the null
/// device when they are not), so that no file the program opens can take their
/// place and receive its messages. Call first thing in main().
void EnsureStandardStreams();

/// Removes the new files of replacements not yet committed. Safe inside a signal
/// handler: a command interrupted mid-merge calls it before it dies.
void RemovePartialOutputs() noexcept;

/// Whether `path` could be created (or emptied) for writing now, without touching it:
/// the file layer's own refusals (a FIFO, a folder, a lock held elsewhere) and the
/// system's permissions are checked; nothing is created or opened for writing.
Status ProbeCreate(const std::string& path);

/// What CreateReplacement(path, allowInPlace) would do, found without creating or
/// opening anything for writing: replace (None), write in place and why, or the
/// refusal it would meet.
Expected<InPlaceReason> ProbeReplacement(const std::string& path, bool allowInPlace = true);

/// Makes every signal whose default action ends the process (and the crashes) remove
/// the new files of uncommitted replacements before the process ends as the signal
/// would have ended it. SIGPIPE and SIGXFSZ are ignored instead: the write that meets
/// them fails and is reported. Call once, early in main().
void RemovePartialOutputsOnSignals();

/// A fault planted for tests: reads and kernel copies of a file whose path is
/// `path` fail with an input/output error once they reach byte `offset`.
struct PlantedReadFault {
  std::string path;
  std::uint64_t offset = 0;
};
/// A kernel copy planted to stop part way, for tests: kernel copies move bytes as usual
/// until `after` bytes have been moved since the fault was planted; the call that
/// crosses that count moves the bytes before it and then fails with the system error
/// `error` (0: a short copy, which simply moves no more).
struct PlantedCopyFault {
  int error = 0;
  std::uint64_t after = 0;
  std::uint64_t moved = 0;  ///< counted by the file layer
};
/// What tests may change in the file layer's behaviour.
struct FileLayerTestHooks {
  std::optional<PlantedReadFault> readFault;
  std::optional<PlantedCopyFault> copyFault;
  bool kernelCopyOff = false;     ///< every kernel copy reports itself unsupported
  bool kernelCopyAlways = false;  ///< the kernel copies also where the buffer measured faster
  bool bufferCopyAlways = false;  ///< the buffer copies also where the kernel measured faster; sharing stays
  /// The next this many forcings of a file to the disk fail with an I/O error: the
  /// system reports a failed write-back once, to the first who asks.
  int failedSyncs = 0;
  /// Runs inside CommitAll after each exchange but the last, with termination
  /// signals held: a test raises a signal here to see that the commit completes
  /// before the signal ends the process. folvane-cli sets it from the environment
  /// variable FOLVANE_TEST_SIGNAL_IN_COMMIT (a signal number).
  void (*betweenExchanges)() = nullptr;
  /// Runs inside CreateReplacement right after the new file is created, with
  /// termination signals held: a test raises a signal here to see that the file is
  /// removed all the same.
  void (*partialCreated)() = nullptr;
  /// Renames behave as on a file system without exchanges or hard links (FAT, exFAT).
  bool plainRenamesOnly = false;
};
/// The one set of hooks; production code never sets them.
FileLayerTestHooks& TestHooks();

/// The size of an existing file, opened for reading (and closed again) to take it.
Expected<std::uint64_t> MeasureFile(const std::string& path);

/// Device and inode of an existing file, to tell whether two paths name one file.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

/// The identity of the file at `path`, or nothing if there is none.
std::optional<FileIdentity> IdentityOf(const std::string& path);

/// Whether `path` names the regular file the program's standard output or error
/// writes to (a shell's redirection): an output written there would replace or mix
/// with what the program prints.
bool NamesStandardStream(const std::string& path);

/// The absolute, lexically normal spelling of a UTF-8 path, in the system's own
/// separators; the path as given if it cannot be made absolute.
std::string AbsolutePath(const std::string& path);

/// Whether two paths name the same file: by identity where both exist, otherwise by
/// their absolute, normalised spelling (a file about to be created twice).
bool SameFile(const std::string& a, const std::string& b);

}  // namespace folvane
