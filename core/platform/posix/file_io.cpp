// The file layer on POSIX systems: descriptors, advisory locks for "without
// sharing", and the errno values each cause of the file-error table stands for.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <filesystem>

#include "io/file_io.hpp"
#include "io/file_io_internal.hpp"

namespace folvane {

FileErrorCause ClassifySystemError(int error) {
  switch (error) {
    case 0: return FileErrorCause::None;
    case ENOENT:
    case ENXIO:
    case ENODEV: return FileErrorCause::FileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
    case EILSEQ: return FileErrorCause::BadPath;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY: return FileErrorCause::AccessDenied;
    case EMFILE:
    case ENFILE: return FileErrorCause::TooManyOpenFiles;
    case EBADF: return FileErrorCause::InvalidFile;
    case EMLINK: return FileErrorCause::DirectoryFull;
    case ESPIPE:
    case EINVAL: return FileErrorCause::BadSeek;
    case EIO: return FileErrorCause::HardIO;
    case EWOULDBLOCK: return FileErrorCause::SharingViolation;
    case ENOLCK:
    case EDEADLK: return FileErrorCause::LockViolation;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return FileErrorCause::DiskFull;
    case EOVERFLOW: return FileErrorCause::EndOfFile;
    default: return FileErrorCause::Generic;
  }
}

std::optional<FileIdentity> IdentityOf(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

namespace {

// ---- new files of uncommitted replacements, for a signal handler to remove -------

// Fixed storage, so that the signal handler reads no heap and takes no lock.
constexpr std::size_t kPartialSlots = 8;
std::array<std::array<char, PATH_MAX>, kPartialSlots> gPartialPaths{};
std::array<std::atomic<bool>, kPartialSlots> gPartialUsed{};

int RegisterPartial(const std::string& path) {
  if (path.size() >= PATH_MAX) return -1;
  for (std::size_t i = 0; i < kPartialSlots; ++i) {
    if (gPartialUsed[i].load()) continue;
    std::memcpy(gPartialPaths[i].data(), path.c_str(), path.size() + 1);
    gPartialUsed[i].store(true);
    return static_cast<int>(i);
  }
  return -1;
}

void UnregisterPartial(const std::string& path) {
  for (std::size_t i = 0; i < kPartialSlots; ++i) {
    if (gPartialUsed[i].load() && path == gPartialPaths[i].data()) gPartialUsed[i].store(false);
  }
}

// ---- opening ---------------------------------------------------------------------

// O_NONBLOCK makes the open of a FIFO return at once instead of waiting for its other
// end; it is taken off again as soon as the file is known to be a file.
int OpenRetrying(const char* path, int flags) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) {
    const int fl = ::fcntl(fd, F_GETFL);
    if (fl >= 0) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  }
  return fd;
}

// The descriptor kept in File's platform-neutral handle.
int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

bool IsDevice(mode_t mode) { return S_ISCHR(mode) || S_ISBLK(mode); }

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

// ---- File --------------------------------------------------------------------------

File::File(File&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)),
      path_(std::move(other.path_)),
      regular_(other.regular_),
      openedSize_(other.openedSize_),
      kernelCopyPays_(other.kernelCopyPays_),
      partialPath_(std::move(other.partialPath_)),
      destination_(std::exchange(other.destination_, -1)) {
  other.partialPath_.clear();
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, -1);
    path_ = std::move(other.path_);
    regular_ = other.regular_;
    openedSize_ = other.openedSize_;
    kernelCopyPays_ = other.kernelCopyPays_;
    partialPath_ = std::move(other.partialPath_);
    other.partialPath_.clear();
    destination_ = std::exchange(other.destination_, -1);
  }
  return *this;
}

File::~File() { Close(); }

void File::Close() {
  if (!partialPath_.empty()) {
    // Never committed: the destination keeps its old bytes and the new file goes.
    ::unlink(partialPath_.c_str());
    UnregisterPartial(partialPath_);
    partialPath_.clear();
  }
  if (handle_ >= 0) {
    ::close(Fd(handle_));  // closing also releases the advisory lock
    handle_ = -1;
  }
  if (destination_ >= 0) {
    ::close(Fd(destination_));
    destination_ = -1;
  }
}

FileError File::Fail(FileOp op, int error) const {
  // Whatever the system says, an operation on a file that is not open reads as
  // "file not found", the way the program has always reported it.
  const FileErrorCause cause = handle_ < 0 ? FileErrorCause::FileNotFound : ClassifySystemError(error);
  return FileError{cause, op, path_, error};
}

Expected<File> File::OpenRead(const std::string& path) {
  if (path.empty()) return OpenFailure(FileOp::Open, path, ENOENT);
  const int fd = OpenRetrying(path.c_str(), O_RDONLY);
  if (fd < 0) return OpenFailure(FileOp::Open, path, errno);
  File file(fd, path);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return OpenFailure(FileOp::Open, path, errno);
  if (S_ISDIR(st.st_mode)) return OpenFailure(FileOp::Open, path, EISDIR);
  // A character device or a FIFO has no length to measure and may never end.
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) return NotAFile(FileOp::Open, path);
  if (::flock(fd, LOCK_SH | LOCK_NB) != 0) return OpenFailure(FileOp::Open, path, errno);
  file.regular_ = S_ISREG(st.st_mode);
  if (file.regular_) {
    file.openedSize_ = static_cast<std::uint64_t>(st.st_size);
  } else {
    auto size = file.Size();  // stat reports 0 for a block device
    if (!size) return OpenFailure(FileOp::Open, path, size.error().sysError);
    file.openedSize_ = *size;
  }
  return file;
}

Expected<File> File::CreateWrite(const std::string& path) {
  if (path.empty()) return OpenFailure(FileOp::Create, path, ENOENT);
  // No O_TRUNC: the file is emptied only once it is known to be a file and the lock
  // is ours, so neither a FIFO nor a file another copy of the program is reading is
  // cut short before the refusal.
  const int fd = OpenRetrying(path.c_str(), O_WRONLY | O_CREAT);
  if (fd < 0) {
    const int error = errno;
    // A FIFO with nobody reading it refuses a writer that will not wait.
    struct stat st {};
    if (error == ENXIO && ::stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) {
      return NotAFile(FileOp::Create, path);
    }
    return OpenFailure(FileOp::Create, path, error);
  }
  File file(fd, path);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return OpenFailure(FileOp::Create, path, errno);
  if (!S_ISREG(st.st_mode) && !IsDevice(st.st_mode)) return NotAFile(FileOp::Create, path);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return OpenFailure(FileOp::Create, path, errno);
  file.regular_ = S_ISREG(st.st_mode);
  // Devices such as /dev/null cannot be truncated and need not be.
  if (file.regular_ && ::ftruncate(fd, 0) != 0) return OpenFailure(FileOp::Create, path, errno);
  return file;
}

Expected<File> File::CreateReplacement(const std::string& path) {
  if (path.empty()) return OpenFailure(FileOp::Create, path, ENOENT);
  struct stat st {};
  const bool exists = ::stat(path.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) return OpenFailure(FileOp::Create, path, errno);
  if (exists && IsDevice(st.st_mode)) return CreateWrite(path);
  if (exists && S_ISDIR(st.st_mode)) return OpenFailure(FileOp::Create, path, EISDIR);
  if (exists && !S_ISREG(st.st_mode)) return NotAFile(FileOp::Create, path);

  int destination = -1;
  mode_t mode = 0;
  if (exists) {
    // Held, not emptied: it is refused where CreateWrite would refuse it, and no other
    // copy of the program starts on it while the new file is written.
    destination = OpenRetrying(path.c_str(), O_WRONLY);
    if (destination < 0) return OpenFailure(FileOp::Create, path, errno);
    struct stat held {};
    if (::fstat(destination, &held) != 0 || !S_ISREG(held.st_mode)) {
      ::close(destination);
      return NotAFile(FileOp::Create, path);
    }
    if (::flock(destination, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      ::close(destination);
      return OpenFailure(FileOp::Create, path, error);
    }
    mode = held.st_mode & 07777;
  }

  const std::string folder = FolderOf(path);
  const std::string name = NameOf(path);
  const std::string suffix = ".folvane-partial-" + std::to_string(::getpid());
  int fd = -1;
  std::string partial;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    std::string leaf = name;
    leaf += suffix;
    if (attempt) leaf.append("-").append(std::to_string(attempt));
    if (leaf.size() > NAME_MAX) leaf = "folvane-partial-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
    partial = folder;
    partial.append("/").append(leaf);
    do {
      fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    const int error = errno;
    if (destination >= 0) ::close(destination);
    return OpenFailure(FileOp::Create, path, error);
  }
  File file(fd, path);
  file.destination_ = destination;
  file.partialPath_ = partial;
  RegisterPartial(partial);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return OpenFailure(FileOp::Create, path, errno);
  if (exists && ::fchmod(fd, mode) != 0) return OpenFailure(FileOp::Create, path, errno);
  return file;
}

Expected<std::size_t> File::ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer, std::size_t* got) {
  std::size_t done = 0;
  if (got) *got = 0;
  if (handle_ < 0) return Fail(FileOp::Read, EBADF);
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) return Fail(FileOp::Seek, EINVAL);
  const auto& fault = TestHooks().readFault;
  const bool faulty = fault && fault->path == path_;
  while (done < buffer.size()) {
    std::size_t want = buffer.size() - done;
    if (faulty) {
      const std::uint64_t at = offset + done;
      if (at >= fault->offset) {
        if (got) *got = done;
        return Fail(FileOp::Read, EIO);
      }
      want = static_cast<std::size_t>(std::min<std::uint64_t>(want, fault->offset - at));
    }
    const ssize_t n = ::pread(Fd(handle_), buffer.data() + done, want, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      if (got) *got = done;
      return Fail(FileOp::Read, errno);
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
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
  if (handle_ < 0) return Fail(FileOp::Write, EBADF);
  if (total > 0 && chunk.empty()) return Fail(FileOp::Write, EINVAL);
  constexpr int kPieces = 16;
  while (done < total) {
    std::array<iovec, kPieces> iov{};
    int count = 0;
    std::uint64_t planned = 0;
    std::size_t within = static_cast<std::size_t>(done % chunk.size());
    while (count < kPieces && done + planned < total) {
      const std::size_t take =
          static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size() - within, total - done - planned));
      iov[static_cast<std::size_t>(count++)] = {const_cast<std::uint8_t*>(chunk.data() + within), take};
      planned += take;
      within = 0;
    }
    const ssize_t n = ::writev(Fd(handle_), iov.data(), count);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (written) *written = done;
      return Fail(FileOp::Write, errno);
    }
    if (n == 0) {
      if (written) *written = done;
      return Fail(FileOp::Write, ENOSPC);
    }
    done += static_cast<std::uint64_t>(n);
  }
  if (written) *written = done;
  return {};
}

// Into ext2/3/4 the kernel's copy (a splice through page-sized pieces, as these file
// systems share no extents) measured slower than reading and writing large pieces:
// it is used where it pays, on tmpfs and on file systems that can share extents or
// copy on the server.
bool File::KernelCopyPays() {
  if (kernelCopyPays_ < 0) {
    constexpr decltype(statfs::f_type) kExtMagic = 0xEF53;
    struct statfs fs {};
    kernelCopyPays_ = ::fstatfs(Fd(handle_), &fs) == 0 && fs.f_type == kExtMagic ? 0 : 1;
  }
  return kernelCopyPays_ != 0;
}

File::CopyResult File::CopyFrom(File& source, std::uint64_t offset, std::uint64_t length) {
  CopyResult result;
  // The kernel copies between regular files only; devices go through a buffer.
  if (TestHooks().kernelCopyOff || handle_ < 0 || source.handle_ < 0 || !regular_ || !source.regular_ ||
      !(TestHooks().kernelCopyAlways || KernelCopyPays())) {
    result.unsupported = true;
    return result;
  }
  const auto& fault = TestHooks().readFault;
  const bool faulty = fault && fault->path == source.path_;
  while (result.copied < length) {
    std::uint64_t want = std::min<std::uint64_t>(length - result.copied, std::uint64_t{1} << 30);
    if (faulty) {
      const std::uint64_t at = offset + result.copied;
      if (at >= fault->offset) {
        result.error = source.Fail(FileOp::Read, EIO);
        return result;
      }
      want = std::min(want, fault->offset - at);
    }
    auto in = static_cast<off64_t>(offset + result.copied);
    const ssize_t n = ::copy_file_range(Fd(source.handle_), &in, Fd(handle_), nullptr, static_cast<std::size_t>(want), 0);
    if (n < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      if (error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP) {
        result.unsupported = true;  // the caller goes on through its buffer from here
        return result;
      }
      // The system does not say which side failed: a full disk is the output's, the
      // rest is reported as the reading of the image.
      const FileErrorCause cause = ClassifySystemError(error);
      result.error = cause == FileErrorCause::DiskFull ? Fail(FileOp::Write, error) : source.Fail(FileOp::Read, error);
      return result;
    }
    if (n == 0) break;  // the end of the source
    result.copied += static_cast<std::uint64_t>(n);
  }
  return result;
}

Status File::Seek(std::uint64_t position) {
  if (handle_ < 0) return Fail(FileOp::Seek, EBADF);
  if (position > static_cast<std::uint64_t>(INT64_MAX)) return Fail(FileOp::Seek, EINVAL);
  if (::lseek(Fd(handle_), static_cast<off_t>(position), SEEK_SET) < 0) return Fail(FileOp::Seek, errno);
  return {};
}

Status File::Truncate(std::uint64_t size) {
  if (handle_ < 0) return Fail(FileOp::Seek, EBADF);
  if (regular_ && ::ftruncate(Fd(handle_), static_cast<off_t>(size)) != 0) return Fail(FileOp::Seek, errno);
  return Seek(size);
}

Expected<std::uint64_t> File::Size() {
  if (handle_ < 0) return Fail(FileOp::Size, EBADF);
  struct stat st {};
  if (::fstat(Fd(handle_), &st) != 0) return Fail(FileOp::Size, errno);
  if (S_ISBLK(st.st_mode)) {
    const off_t end = ::lseek(Fd(handle_), 0, SEEK_END);
    if (end < 0) return Fail(FileOp::Size, errno);
    return static_cast<std::uint64_t>(end);
  }
  return static_cast<std::uint64_t>(st.st_size);
}

Status File::Sync() {
  if (handle_ < 0) return Fail(FileOp::Write, EBADF);
  if (regular_ && ::fsync(Fd(handle_)) != 0) return Fail(FileOp::Write, errno);
  return {};
}

Status File::Commit() {
  if (partialPath_.empty()) return {};
  if (Status s = Sync(); !s) return s;
  if (::rename(partialPath_.c_str(), path_.c_str()) != 0) return Fail(FileOp::Write, errno);
  UnregisterPartial(partialPath_);
  partialPath_.clear();
  if (destination_ >= 0) {
    ::close(Fd(destination_));
    destination_ = -1;
  }
  return {};
}

// ---- free functions ----------------------------------------------------------------

void EnsureStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

void RemovePartialOutputs() noexcept {
  for (std::size_t i = 0; i < kPartialSlots; ++i) {
    if (gPartialUsed[i].load()) ::unlink(gPartialPaths[i].data());
  }
}

Status ProbeCreate(const std::string& path) {
  if (path.empty()) return OpenFailure(FileOp::Create, path, ENOENT);
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return OpenFailure(FileOp::Create, path, EISDIR);
    if (!S_ISREG(st.st_mode) && !IsDevice(st.st_mode)) return NotAFile(FileOp::Create, path);
    // Opened for writing but neither created nor emptied: only the refusals are tried.
    const int fd = OpenRetrying(path.c_str(), O_WRONLY);
    if (fd < 0) return OpenFailure(FileOp::Create, path, errno);
    const int locked = S_ISREG(st.st_mode) ? ::flock(fd, LOCK_EX | LOCK_NB) : 0;
    const int error = errno;
    ::close(fd);
    if (locked != 0) return OpenFailure(FileOp::Create, path, error);
    return {};
  }
  if (errno != ENOENT) return OpenFailure(FileOp::Create, path, errno);
  const std::string folder = FolderOf(path);
  struct stat dir {};
  if (::stat(folder.c_str(), &dir) != 0) return OpenFailure(FileOp::Create, path, errno);
  if (!S_ISDIR(dir.st_mode)) return OpenFailure(FileOp::Create, path, ENOTDIR);
  if (::access(folder.c_str(), W_OK | X_OK) != 0) return OpenFailure(FileOp::Create, path, errno);
  return {};
}

}  // namespace folvane
