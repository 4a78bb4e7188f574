// The file layer on Windows: handles opened with a share mode for "without sharing",
// UTF-16 paths at the system calls, and the GetLastError() codes each cause of the
// file-error table stands for.

#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstring>

#include "io/file_io.hpp"
#include "io/file_io_internal.hpp"
#include "platform/windows/win_text.hpp"

namespace folvane {

FileErrorCause ClassifySystemError(int error) {
  switch (static_cast<DWORD>(error)) {
    case ERROR_SUCCESS: return FileErrorCause::None;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_DEV_NOT_EXIST: return FileErrorCause::FileNotFound;
    // A folder on the way that does not exist: the path itself is wrong, as Windows
    // programs have always reported it (POSIX systems cannot tell it from a missing
    // file and say "file not found").
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_DIRECTORY:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_NO_UNICODE_TRANSLATION: return FileErrorCause::BadPath;
    case ERROR_TOO_MANY_OPEN_FILES: return FileErrorCause::TooManyOpenFiles;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_NETWORK_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD: return FileErrorCause::AccessDenied;
    case ERROR_INVALID_HANDLE:
    case ERROR_INVALID_TARGET_HANDLE: return FileErrorCause::InvalidFile;
    case ERROR_CURRENT_DIRECTORY: return FileErrorCause::RemoveCurrentDir;
    case ERROR_CANNOT_MAKE: return FileErrorCause::DirectoryFull;
    case ERROR_NEGATIVE_SEEK:
    case ERROR_SEEK_ON_DEVICE:
    case ERROR_SEEK: return FileErrorCause::BadSeek;
    case ERROR_CRC:
    case ERROR_SECTOR_NOT_FOUND:
    case ERROR_WRITE_FAULT:
    case ERROR_READ_FAULT:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_IO_DEVICE: return FileErrorCause::HardIO;
    case ERROR_SHARING_VIOLATION: return FileErrorCause::SharingViolation;
    case ERROR_LOCK_VIOLATION:
    case ERROR_DRIVE_LOCKED: return FileErrorCause::LockViolation;
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_DISK_FULL:
    case ERROR_FILE_TOO_LARGE: return FileErrorCause::DiskFull;
    case ERROR_HANDLE_EOF: return FileErrorCause::EndOfFile;
    default: return FileErrorCause::Generic;
  }
}

namespace {

HANDLE H(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
std::intptr_t Keep(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }
int LastError() { return static_cast<int>(::GetLastError()); }

// Opening for attributes only conflicts with no share mode: it works on a file that
// another program, or this one, holds open without sharing.
HANDLE OpenForAttributes(const std::wstring& path) {
  return ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

std::optional<FileIdentity> IdentityOf(const std::string& path) {
  const auto wide = SystemPath(path);
  if (!wide) return std::nullopt;
  const HANDLE h = OpenForAttributes(*wide);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info{};
  const BOOL ok = ::GetFileInformationByHandle(h, &info);
  ::CloseHandle(h);
  if (!ok) return std::nullopt;
  return FileIdentity{info.dwVolumeSerialNumber,
                      (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

namespace {

// ---- new files of uncommitted replacements, for a console handler to remove ------

// Fixed storage, so that the handler (which Windows runs on a thread of its own)
// reads no heap and takes no lock.
constexpr std::size_t kPartialSlots = 8;
constexpr std::size_t kPartialChars = 32768;
std::array<std::array<wchar_t, kPartialChars>, kPartialSlots> gPartialPaths{};
std::array<std::atomic<bool>, kPartialSlots> gPartialUsed{};

void RegisterPartial(const std::wstring& path) {
  if (path.size() >= kPartialChars) return;
  for (std::size_t i = 0; i < kPartialSlots; ++i) {
    if (gPartialUsed[i].load()) continue;
    std::wmemcpy(gPartialPaths[i].data(), path.c_str(), path.size() + 1);
    gPartialUsed[i].store(true);
    return;
  }
}

void UnregisterPartial(const std::wstring& path) {
  for (std::size_t i = 0; i < kPartialSlots; ++i) {
    if (gPartialUsed[i].load() && path == gPartialPaths[i].data()) gPartialUsed[i].store(false);
  }
}

// ---- opening ---------------------------------------------------------------------

// Readers share the file with other readers only; a writer shares it with nobody.
// An open never waits: a file held elsewhere fails at once with a sharing violation.
HANDLE OpenShared(const std::wstring& path, DWORD access, DWORD disposition) {
  const DWORD share = access == GENERIC_READ ? FILE_SHARE_READ : 0;
  return ::CreateFileW(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A disk file is a file; NUL and the console are character devices, pipes are pipes.
DWORD TypeOf(HANDLE h) { return ::GetFileType(h); }

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return ".";
  if (slash == 0 || (slash == 2 && path[1] == ':')) return path.substr(0, slash + 1);
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const auto slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

// ---- File --------------------------------------------------------------------------

File::File(File&& other) noexcept
    : handle_(std::exchange(other.handle_, kNoHandle)),
      path_(std::move(other.path_)),
      regular_(other.regular_),
      openedSize_(other.openedSize_),
      partialPath_(std::move(other.partialPath_)),
      destination_(std::exchange(other.destination_, kNoHandle)) {
  other.partialPath_.clear();
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, kNoHandle);
    path_ = std::move(other.path_);
    regular_ = other.regular_;
    openedSize_ = other.openedSize_;
    partialPath_ = std::move(other.partialPath_);
    other.partialPath_.clear();
    destination_ = std::exchange(other.destination_, kNoHandle);
  }
  return *this;
}

File::~File() { Close(); }

void File::Close() {
  if (handle_ != kNoHandle) {
    ::CloseHandle(H(handle_));
    handle_ = kNoHandle;
  }
  if (!partialPath_.empty()) {
    // Never committed: the destination keeps its old bytes and the new file goes.
    if (const auto wide = SystemPath(partialPath_)) {
      ::DeleteFileW(wide->c_str());
      UnregisterPartial(*wide);
    }
    partialPath_.clear();
  }
  if (destination_ != kNoHandle) {
    ::CloseHandle(H(destination_));
    destination_ = kNoHandle;
  }
}

FileError File::Fail(FileOp op, int error) const {
  // Whatever the system says, an operation on a file that is not open reads as
  // "file not found", the way the program has always reported it.
  const FileErrorCause cause = handle_ == kNoHandle ? FileErrorCause::FileNotFound : ClassifySystemError(error);
  return FileError{cause, op, path_, error};
}

Expected<File> File::OpenRead(const std::string& path) {
  if (path.empty()) return OpenFailure(FileOp::Open, path, ERROR_FILE_NOT_FOUND);
  const auto wide = SystemPath(path);
  if (!wide) return OpenFailure(FileOp::Open, path, static_cast<int>(wide.error));
  // A folder cannot be opened as a file (access denied), as on every system.
  const HANDLE h = OpenShared(*wide, GENERIC_READ, OPEN_EXISTING);
  if (h == INVALID_HANDLE_VALUE) return OpenFailure(FileOp::Open, path, LastError());
  File file(Keep(h), path);
  // A character device or a pipe has no length to measure and may never end.
  if (TypeOf(h) != FILE_TYPE_DISK) return NotAFile(FileOp::Open, path);
  auto size = file.Size();
  if (!size) return OpenFailure(FileOp::Open, path, size.error().sysError);
  file.openedSize_ = *size;
  return file;
}

Expected<File> File::CreateWrite(const std::string& path) {
  if (path.empty()) return OpenFailure(FileOp::Create, path, ERROR_FILE_NOT_FOUND);
  const auto wide = SystemPath(path);
  if (!wide) return OpenFailure(FileOp::Create, path, static_cast<int>(wide.error));
  // Opened, then emptied once it is known to be ours: a file held elsewhere is
  // refused by the open itself and never cut short.
  const HANDLE h = OpenShared(*wide, GENERIC_WRITE, OPEN_ALWAYS);
  if (h == INVALID_HANDLE_VALUE) return OpenFailure(FileOp::Create, path, LastError());
  File file(Keep(h), path);
  const DWORD type = TypeOf(h);
  if (type != FILE_TYPE_DISK && type != FILE_TYPE_CHAR) return NotAFile(FileOp::Create, path);
  file.regular_ = type == FILE_TYPE_DISK;
  // Devices such as NUL cannot be truncated and need not be.
  if (file.regular_ && !::SetEndOfFile(h)) return OpenFailure(FileOp::Create, path, LastError());
  return file;
}

Expected<File> File::CreateReplacement(const std::string& path) {
  if (path.empty()) return OpenFailure(FileOp::Create, path, ERROR_FILE_NOT_FOUND);
  const auto wide = SystemPath(path);
  if (!wide) return OpenFailure(FileOp::Create, path, static_cast<int>(wide.error));
  // The destination, if there is one, is held, not emptied: it is refused where
  // CreateWrite would refuse it (a folder or a read-only file is access denied, a
  // file held elsewhere a sharing violation), and no other program writes it while
  // the new file is written. Readers may still read the old bytes meanwhile.
  HANDLE destination = ::CreateFileW(wide->c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
  if (destination == INVALID_HANDLE_VALUE) {
    const int error = LastError();
    if (error != ERROR_FILE_NOT_FOUND) return OpenFailure(FileOp::Create, path, error);
  } else {
    const DWORD type = TypeOf(destination);
    if (type == FILE_TYPE_CHAR) {
      ::CloseHandle(destination);
      return CreateWrite(path);  // devices are written in place
    }
    if (type != FILE_TYPE_DISK) {
      ::CloseHandle(destination);
      return NotAFile(FileOp::Create, path);
    }
  }

  const std::string folder = FolderOf(path);
  const std::string name = NameOf(path);
  const std::string suffix = ".folvane-partial-" + std::to_string(::GetCurrentProcessId());
  HANDLE h = INVALID_HANDLE_VALUE;
  int error = 0;
  std::string partial;
  std::wstring widePartial;
  for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
    std::string leaf = name + suffix;
    if (attempt) leaf.append("-").append(std::to_string(attempt));
    partial = folder;
    if (partial.back() != '/' && partial.back() != '\\') partial += '\\';
    partial += leaf;
    const auto w = SystemPath(partial);
    if (!w) {
      error = static_cast<int>(w.error);
      break;
    }
    widePartial = *w;
    h = ::CreateFileW(widePartial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      error = LastError();
      if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
    }
  }
  if (h == INVALID_HANDLE_VALUE) {
    if (destination != INVALID_HANDLE_VALUE) ::CloseHandle(destination);
    return OpenFailure(FileOp::Create, path, error);
  }
  File file(Keep(h), path);
  if (destination != INVALID_HANDLE_VALUE) file.destination_ = Keep(destination);
  file.partialPath_ = partial;
  RegisterPartial(widePartial);
  return file;
}

Expected<std::size_t> File::ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer, std::size_t* got) {
  std::size_t done = 0;
  if (got) *got = 0;
  if (handle_ == kNoHandle) return Fail(FileOp::Read, ERROR_INVALID_HANDLE);
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) return Fail(FileOp::Seek, ERROR_NEGATIVE_SEEK);
  const auto& fault = TestHooks().readFault;
  const bool faulty = fault && fault->path == path_;
  while (done < buffer.size()) {
    std::size_t want = std::min<std::size_t>(buffer.size() - done, std::size_t{1} << 30);
    const std::uint64_t at = offset + done;
    if (faulty) {
      if (at >= fault->offset) {
        if (got) *got = done;
        return Fail(FileOp::Read, ERROR_IO_DEVICE);
      }
      want = static_cast<std::size_t>(std::min<std::uint64_t>(want, fault->offset - at));
    }
    // The position goes with the read: no shared file pointer is moved first.
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD n = 0;
    if (!::ReadFile(H(handle_), buffer.data() + done, static_cast<DWORD>(want), &n, &where)) {
      const int error = LastError();
      if (error == ERROR_HANDLE_EOF) break;  // reading at or past the end finds nothing
      if (got) *got = done;
      return Fail(FileOp::Read, error);
    }
    if (n == 0) break;
    done += n;
  }
  if (got) *got = done;
  return done;
}

Status File::Write(std::span<const std::uint8_t> data, std::size_t* written) {
  std::uint64_t done = 0;
  Status s = WriteRepeated(data, data.size(), &done);
  if (written) *written = static_cast<std::size_t>(done);
  return s;
}

Status File::WriteRepeated(std::span<const std::uint8_t> chunk, std::uint64_t total, std::uint64_t* written) {
  std::uint64_t done = 0;
  if (written) *written = 0;
  if (handle_ == kNoHandle) return Fail(FileOp::Write, ERROR_INVALID_HANDLE);
  if (total > 0 && chunk.empty()) return Fail(FileOp::Write, ERROR_INVALID_PARAMETER);
  while (done < total) {
    const std::size_t within = static_cast<std::size_t>(done % chunk.size());
    const std::size_t take = static_cast<std::size_t>(
        std::min<std::uint64_t>({chunk.size() - within, total - done, std::uint64_t{1} << 30}));
    DWORD n = 0;
    if (!::WriteFile(H(handle_), chunk.data() + within, static_cast<DWORD>(take), &n, nullptr)) {
      const int error = LastError();
      done += n;
      if (written) *written = done;
      return Fail(FileOp::Write, error);
    }
    if (n == 0) {
      if (written) *written = done;
      return Fail(FileOp::Write, ERROR_DISK_FULL);
    }
    done += n;
  }
  if (written) *written = done;
  return {};
}

File::CopyResult File::CopyFrom(File&, std::uint64_t, std::uint64_t) {
  // Windows has no copy between two open handles; the merge copies through its buffer.
  CopyResult result;
  result.unsupported = true;
  return result;
}

Status File::Seek(std::uint64_t position) {
  if (handle_ == kNoHandle) return Fail(FileOp::Seek, ERROR_INVALID_HANDLE);
  if (position > static_cast<std::uint64_t>(INT64_MAX)) return Fail(FileOp::Seek, ERROR_NEGATIVE_SEEK);
  LARGE_INTEGER to{};
  to.QuadPart = static_cast<LONGLONG>(position);
  if (!::SetFilePointerEx(H(handle_), to, nullptr, FILE_BEGIN)) return Fail(FileOp::Seek, LastError());
  return {};
}

Status File::Truncate(std::uint64_t size) {
  if (handle_ == kNoHandle) return Fail(FileOp::Seek, ERROR_INVALID_HANDLE);
  if (Status s = Seek(size); !s) return s;
  if (regular_ && !::SetEndOfFile(H(handle_))) return Fail(FileOp::Seek, LastError());
  return {};
}

Expected<std::uint64_t> File::Size() {
  if (handle_ == kNoHandle) return Fail(FileOp::Size, ERROR_INVALID_HANDLE);
  if (!regular_) return std::uint64_t{0};
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(H(handle_), &size)) return Fail(FileOp::Size, LastError());
  return static_cast<std::uint64_t>(size.QuadPart);
}

Status File::Sync() {
  if (handle_ == kNoHandle) return Fail(FileOp::Write, ERROR_INVALID_HANDLE);
  if (regular_ && !::FlushFileBuffers(H(handle_))) return Fail(FileOp::Write, LastError());
  return {};
}

Status File::Commit() {
  if (partialPath_.empty()) return {};
  if (Status s = Sync(); !s) return s;
  const auto from = SystemPath(partialPath_);
  const auto to = SystemPath(path_);
  if (!from || !to) return Fail(FileOp::Write, static_cast<int>(from ? to.error : from.error));
  // Windows renames neither a file that is open without sharing nor over one: both
  // handles are closed just before the move.
  ::CloseHandle(H(handle_));
  handle_ = kNoHandle;
  if (destination_ != kNoHandle) {
    ::CloseHandle(H(destination_));
    destination_ = kNoHandle;
  }
  if (!::MoveFileExW(from->c_str(), to->c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const int error = LastError();
    return FileError{ClassifySystemError(error), FileOp::Write, path_, error};
  }
  UnregisterPartial(*from);
  partialPath_.clear();
  return {};
}

// ---- free functions ----------------------------------------------------------------

void EnsureStandardStreams() {
  // Nothing to do: files are opened as handles, which never take the place of the
  // C library's standard streams, closed or not.
}

void RemovePartialOutputs() noexcept {
  for (std::size_t i = 0; i < kPartialSlots; ++i) {
    if (gPartialUsed[i].load()) ::DeleteFileW(gPartialPaths[i].data());
  }
}

Status ProbeCreate(const std::string& path) {
  if (path.empty()) return OpenFailure(FileOp::Create, path, ERROR_FILE_NOT_FOUND);
  const auto wide = SystemPath(path);
  if (!wide) return OpenFailure(FileOp::Create, path, static_cast<int>(wide.error));
  // Opened for writing but neither created nor emptied: only the refusals are tried.
  const HANDLE h = OpenShared(*wide, GENERIC_WRITE, OPEN_EXISTING);
  if (h != INVALID_HANDLE_VALUE) {
    const DWORD type = TypeOf(h);
    ::CloseHandle(h);
    if (type != FILE_TYPE_DISK && type != FILE_TYPE_CHAR) return NotAFile(FileOp::Create, path);
    return {};
  }
  const int error = LastError();
  if (error != ERROR_FILE_NOT_FOUND) return OpenFailure(FileOp::Create, path, error);
  // A new file: its folder must be there.
  const auto folder = SystemPath(FolderOf(path));
  if (!folder) return OpenFailure(FileOp::Create, path, static_cast<int>(folder.error));
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(folder->c_str(), GetFileExInfoStandard, &data)) {
    return OpenFailure(FileOp::Create, path, LastError());
  }
  if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return OpenFailure(FileOp::Create, path, ERROR_DIRECTORY);
  return {};
}

}  // namespace folvane
