// The file layer on Windows: handles opened with a share mode for "without sharing",
// UTF-16 paths at the system calls, and the GetLastError() codes each cause of the
// file-error table stands for.

#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <csignal>
#include <cstring>
#include <vector>

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

bool NamesStandardStream(const std::string& path) {
  const auto file = IdentityOf(path);
  if (!file) return false;
  for (const DWORD which : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    const HANDLE h = ::GetStdHandle(which);
    BY_HANDLE_FILE_INFORMATION info{};
    if (h == INVALID_HANDLE_VALUE || h == nullptr || ::GetFileType(h) != FILE_TYPE_DISK ||
        !::GetFileInformationByHandle(h, &info)) {
      continue;
    }
    if (FileIdentity{info.dwVolumeSerialNumber, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow} == *file) {
      return true;
    }
  }
  return false;
}

namespace {

// ---- opening ---------------------------------------------------------------------

// Readers share the file with other readers only; a writer shares it with nobody.
// An open never waits: a file held elsewhere fails at once with a sharing violation.
HANDLE OpenShared(const std::wstring& path, DWORD access, DWORD disposition) {
  const DWORD share = access == GENERIC_READ ? FILE_SHARE_READ : 0;
  return ::CreateFileW(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A disk file is a file; NUL and the console are character devices, pipes are pipes.
DWORD TypeOf(HANDLE h) { return ::GetFileType(h); }

}  // namespace

// ---- File --------------------------------------------------------------------------

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

// The system's scattered read wants page-sized pieces of memory and a file opened
// without its cache, and one read per piece would cost a call for every page of page
// data: the bytes are read in one go and handed out from there.
Expected<std::size_t> File::ReadScattered(std::uint64_t offset, std::span<const std::span<std::uint8_t>> pieces,
                                          std::size_t* got) {
  std::size_t total = 0;
  for (const std::span<std::uint8_t> piece : pieces) total += piece.size();
  std::vector<std::uint8_t> all(total);
  std::size_t n = 0;
  auto read = ReadAt(offset, all, &n);
  std::size_t at = 0;
  for (const std::span<std::uint8_t> piece : pieces) {
    const std::size_t k = std::min(piece.size(), n - at);
    if (k > 0) std::memcpy(piece.data(), all.data() + at, k);
    at += k;
  }
  if (got) *got = n;
  if (!read) return read.error();
  return n;
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

File::CopyResult File::CopyFrom(File&, std::uint64_t, std::uint64_t, KernelCopy) {
  // Windows has no copy between two open handles; the merge copies through its buffer.
  CopyResult result;
  result.unsupported = true;
  return result;
}

// Nothing on Windows copies between two handles, so nothing needs a second one.
Expected<File> File::ReadableTwin() { return Fail(FileOp::Open, ERROR_NOT_SUPPORTED); }

// Block cloning exists only on ReFS, behind a different interface; nothing is shared.
std::uint32_t File::ShareBlockSize() { return 0; }

// Windows starts writing back on its own; FlushFileBuffers waits for the rest.
void File::StartWriteBack(std::uint64_t, std::uint64_t) {}
Status File::WaitWriteBack(std::uint64_t, std::uint64_t) { return Sync(); }

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
  if (regular_ && TestHooks().failedSyncs > 0) {
    --TestHooks().failedSyncs;
    return Fail(FileOp::Write, ERROR_CRC);
  }
  if (regular_ && !::FlushFileBuffers(H(handle_))) return Fail(FileOp::Write, LastError());
  return {};
}

// ---- free functions ----------------------------------------------------------------

void EnsureStandardStreams() {
  // Nothing to do: files are opened as handles, which never take the place of the
  // C library's standard streams, closed or not.
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
  const auto folder = SystemPath(sys::FolderOf(path));
  if (!folder) return OpenFailure(FileOp::Create, path, static_cast<int>(folder.error));
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(folder->c_str(), GetFileExInfoStandard, &data)) {
    return OpenFailure(FileOp::Create, path, LastError());
  }
  if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return OpenFailure(FileOp::Create, path, ERROR_DIRECTORY);
  return {};
}

}  // namespace folvane

namespace folvane {

namespace {
extern "C" void OnEndingSignal(int sig) {
  RemovePartialOutputs();
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}
}  // namespace

void RemovePartialOutputsOnSignals() {
  // Windows has only these; Ctrl+C and Ctrl+Break arrive as SIGINT and SIGBREAK.
  for (int sig : {SIGINT, SIGTERM, SIGSEGV, SIGABRT, SIGFPE, SIGILL, SIGBREAK}) std::signal(sig, OnEndingSignal);
}

namespace sys {

const int kNotFound = ERROR_FILE_NOT_FOUND;
const int kAccessDenied = ERROR_ACCESS_DENIED;
const int kSharing = ERROR_SHARING_VIOLATION;
const int kExists = ERROR_FILE_EXISTS;
const bool kOpenFilesPinned = true;

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

std::string Join(const std::string& folder, const std::string& leaf) {
  return folder.back() == '/' || folder.back() == '\\' ? folder + leaf : folder + "\\" + leaf;
}

// NTFS and the other Windows file systems count a name's length in UTF-16 units.
bool LeafFits(std::string_view leaf) {
  const auto wide = SystemPath(std::string(leaf));
  return wide && wide->size() <= 255;
}

std::string ProcessId() { return std::to_string(::GetCurrentProcessId()); }

Expected<Plan> PlanReplacement(const std::string& path) {
  Plan plan;
  plan.target = path;  // the system follows links itself; ReplaceFileW replaces the file they name
  const auto wide = SystemPath(path);
  if (!wide) return OpenFailure(FileOp::Create, path, static_cast<int>(wide.error));
  const HANDLE h = OpenForAttributes(*wide);
  if (h == INVALID_HANDLE_VALUE) {
    const int error = LastError();
    if (error != ERROR_FILE_NOT_FOUND) return OpenFailure(FileOp::Create, path, error);
    return plan;
  }
  plan.exists = true;
  const DWORD type = TypeOf(h);
  BY_HANDLE_FILE_INFORMATION info{};
  const BOOL known = ::GetFileInformationByHandle(h, &info);
  ::CloseHandle(h);
  if (type == FILE_TYPE_CHAR) {
    plan.inPlace = InPlaceReason::Device;
  } else if (type != FILE_TYPE_DISK) {
    return NotAFile(FileOp::Create, path);
  } else if (known && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return OpenFailure(FileOp::Create, path, ERROR_ACCESS_DENIED);
  } else if (known && info.nNumberOfLinks > 1) {
    plan.inPlace = InPlaceReason::OtherLinks;
  }
  return plan;
}

std::intptr_t OpenExisting(const std::string& target, int& error) {
  const auto wide = SystemPath(target);
  if (!wide) {
    error = static_cast<int>(wide.error);
    return kNoHandle;
  }
  // Readers may still read the old bytes meanwhile; no other program writes them.
  const HANDLE h = ::CreateFileW(wide->c_str(), GENERIC_WRITE | READ_CONTROL, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = LastError();
    return kNoHandle;
  }
  if (TypeOf(h) != FILE_TYPE_DISK) {
    ::CloseHandle(h);
    error = ERROR_ACCESS_DENIED;
    return kNoHandle;
  }
  return Keep(h);
}

std::intptr_t CreateNew(const std::string& path, bool, int& error) {
  const auto wide = SystemPath(path);
  if (!wide) {
    error = static_cast<int>(wide.error);
    return kNoHandle;
  }
  // Shared with nobody until it is committed: no other program reads or writes a byte
  // of it. Deleting is shared, so that Ctrl+C's handler can remove it while the
  // merge still holds it open; it then goes when the process ends.
  const HANDLE h =
      ::CreateFileW(wide->c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = LastError();
    if (error == ERROR_ALREADY_EXISTS) error = ERROR_FILE_EXISTS;
    return kNoHandle;
  }
  return Keep(h);
}

InPlaceReason Adopt(std::intptr_t, std::intptr_t, int& error) {
  // ReplaceFileW gives the new file the old one's security descriptor, attributes and
  // streams when it takes its place; until then nobody else can open it.
  error = 0;
  return InPlaceReason::None;
}

void DropSetId(std::intptr_t) noexcept {}

int EndHere(std::intptr_t handle) { return ::SetEndOfFile(H(handle)) ? 0 : LastError(); }

void CloseHandle(std::intptr_t handle) noexcept { ::CloseHandle(H(handle)); }

void RemoveFile(const char* path) noexcept {
  // Converted into storage of its own: the console handler may run while the heap is
  // in use.
  static thread_local wchar_t wide[32768];
  if (::MultiByteToWideChar(CP_UTF8, 0, path, -1, wide, 32768) > 0) ::DeleteFileW(wide);
}

bool HeldByWriter(const std::string& path) {
  const auto wide = SystemPath(path);
  if (!wide) return false;
  const HANDLE h = ::CreateFileW(wide->c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastError() == ERROR_SHARING_VIOLATION;
  ::CloseHandle(h);
  return false;
}

int Install(const std::string& partial, const std::string& target, bool targetExisted) {
  const auto from = SystemPath(partial);
  const auto to = SystemPath(target);
  if (!from || !to) return static_cast<int>(from ? to.error : from.error);
  if (!targetExisted) {
    return ::MoveFileExW(from->c_str(), to->c_str(), MOVEFILE_WRITE_THROUGH) ? 0 : LastError();
  }
  // The old file is kept under a second name, then takes the partial one.
  const std::wstring keep = *from + L"-old";
  if (!::ReplaceFileW(to->c_str(), from->c_str(), keep.c_str(), REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
    return LastError();
  }
  ::MoveFileExW(keep.c_str(), from->c_str(), MOVEFILE_WRITE_THROUGH);
  return 0;
}

int Uninstall(const std::string& partial, const std::string& target, bool targetExisted) {
  const auto from = SystemPath(partial);
  const auto to = SystemPath(target);
  if (!from || !to) return static_cast<int>(from ? to.error : from.error);
  const BOOL back = targetExisted
                        ? ::MoveFileExW(from->c_str(), to->c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
                        : ::MoveFileExW(to->c_str(), from->c_str(), MOVEFILE_WRITE_THROUGH);
  return back ? 0 : LastError();
}

// Windows delivers Ctrl+C on a thread of its own, which waits in
// RemovePartialOutputs until the exchanges are done: there is nothing to hold here.
void HoldSignals() noexcept {}
void ReleaseSignals() noexcept {}
void PauseBriefly() noexcept { ::Sleep(1); }

}  // namespace sys
}  // namespace folvane
