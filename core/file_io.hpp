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
  int sysError = 0;  ///< errno, 0 where the layer itself detected the failure

  /// The text of the cause with %1 filled in: the full path for a failed write or
  /// creation, "一未命名文件" for everything else.
  [[nodiscard]] std::string Message() const;
};

/// The message template of a cause, with "%1" where the file's name goes.
std::string_view FileErrorTemplate(FileErrorCause cause);

/// Maps an errno value to the cause it is reported with.
FileErrorCause ClassifyErrno(int error);

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
/// sharing": a reader holds a shared advisory lock and a writer an exclusive one, so
/// two running copies of the program never read and write the same file at once; a
/// lock held elsewhere is reported as a sharing violation.
class File {
 public:
  File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  ~File();

  /// Opens an existing file for reading. A folder is refused as access denied.
  static Expected<File> OpenRead(const std::string& path);
  /// Creates a file for writing, or empties it if it exists.
  static Expected<File> CreateWrite(const std::string& path);

  [[nodiscard]] bool IsOpen() const { return fd_ >= 0; }
  [[nodiscard]] const std::string& Path() const { return path_; }

  /// Reads from `offset` until `buffer` is full or the file ends; returns the count.
  Expected<std::size_t> ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer);
  /// Writes all of `data` at the current position. A write that cannot be completed
  /// is a failure (disk full when the system gives no other cause); `written`, when
  /// given, receives how many bytes did reach the file.
  Status Write(std::span<const std::uint8_t> data, std::size_t* written = nullptr);
  /// Moves the current position.
  Status Seek(std::uint64_t position);
  /// The file's size in bytes.
  Expected<std::uint64_t> Size();
  /// Closes the file; closing a closed file does nothing.
  void Close();

 private:
  File(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  [[nodiscard]] FileError Fail(FileOp op, int error) const;
  int fd_ = -1;
  std::string path_;
};

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

/// Whether two paths name the same file: by identity where both exist, otherwise by
/// their absolute, normalised spelling (a file about to be created twice).
bool SameFile(const std::string& a, const std::string& b);

}  // namespace folvane
