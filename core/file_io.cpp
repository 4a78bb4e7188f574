#include "file_io.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace folvane {

std::string_view FileErrorTemplate(FileErrorCause cause) {
  switch (cause) {
    case FileErrorCause::None: return "无错误发生。";
    case FileErrorCause::Generic: return "在对 %1 进行访问时发生了一个不明错误。";
    case FileErrorCause::FileNotFound: return "没有找到 %1。";
    case FileErrorCause::BadPath: return "%1 中包含无效的路径。";
    case FileErrorCause::TooManyOpenFiles: return "无法打开 %1 因为太多文件已被打开。";
    case FileErrorCause::AccessDenied: return "对 %1 的存取被拒绝。";
    case FileErrorCause::InvalidFile: return "一个无效的文件柄与 %1 相关联。";
    case FileErrorCause::RemoveCurrentDir: return "无法删除 %1 因为它是当前目录。";
    case FileErrorCause::DirectoryFull: return "该目录已满，无法创建 %1。";
    case FileErrorCause::BadSeek: return "对 %1 进行查找失败。";
    case FileErrorCause::HardIO: return "在存取 %1 时一个硬件输入/输出错误被报告。";
    case FileErrorCause::SharingViolation: return "在存取 %1 时发生共享违例。";
    case FileErrorCause::LockViolation: return "在存取 %1 时发生锁违例。";
    case FileErrorCause::DiskFull: return "在存取 %1 时磁盘已满。";
    case FileErrorCause::EndOfFile: return "试图越过其尾端对 %1 进行读写。";
  }
  return "在对 %1 进行访问时发生了一个不明错误。";
}

FileErrorCause ClassifyErrno(int error) {
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

std::string FileError::Message() const {
  std::string name;
  if (op == FileOp::Write || op == FileOp::Create) {
    std::error_code ec;
    const auto abs = std::filesystem::absolute(path, ec);
    name = ec ? path : abs.lexically_normal().string();
  } else {
    name = kUnnamedFile;
  }
  std::string text(FileErrorTemplate(cause));
  if (const auto at = text.find("%1"); at != std::string::npos) text.replace(at, 2, name);
  return text;
}

File::File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

File::~File() { Close(); }

void File::Close() {
  if (fd_ >= 0) {
    ::close(fd_);  // closing also releases the advisory lock
    fd_ = -1;
  }
}

FileError File::Fail(FileOp op, int error) const {
  // Whatever the system says, an operation on a file that is not open reads as
  // "file not found", the way the program has always reported it.
  const FileErrorCause cause = fd_ < 0 ? FileErrorCause::FileNotFound : ClassifyErrno(error);
  return FileError{cause, op, path_, error};
}

namespace {

FileError OpenFailure(FileOp op, const std::string& path, int error) {
  return FileError{ClassifyErrno(error), op, path, error};
}

int OpenRetrying(const char* path, int flags) {
  int fd;
  do {
    fd = ::open(path, flags, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

Expected<File> File::OpenRead(const std::string& path) {
  if (path.empty()) return OpenFailure(FileOp::Open, path, ENOENT);
  const int fd = OpenRetrying(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return OpenFailure(FileOp::Open, path, errno);
  File file(fd, path);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return OpenFailure(FileOp::Open, path, errno);
  if (S_ISDIR(st.st_mode)) return OpenFailure(FileOp::Open, path, EISDIR);
  if (::flock(fd, LOCK_SH | LOCK_NB) != 0) return OpenFailure(FileOp::Open, path, errno);
  return file;
}

Expected<File> File::CreateWrite(const std::string& path) {
  if (path.empty()) return OpenFailure(FileOp::Create, path, ENOENT);
  // No O_TRUNC: the file is emptied only once the lock is ours, so a file that
  // another copy of the program is reading is refused rather than cut short.
  const int fd = OpenRetrying(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC);
  if (fd < 0) return OpenFailure(FileOp::Create, path, errno);
  File file(fd, path);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return OpenFailure(FileOp::Create, path, errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return OpenFailure(FileOp::Create, path, errno);
  // Devices such as /dev/null cannot be truncated and need not be.
  if (S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0) return OpenFailure(FileOp::Create, path, errno);
  return file;
}

Expected<std::size_t> File::ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer) {
  if (fd_ < 0) return Fail(FileOp::Read, EBADF);
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) return Fail(FileOp::Seek, EINVAL);
  std::size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t n = ::pread(fd_, buffer.data() + done, buffer.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail(FileOp::Read, errno);
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

Status File::Write(std::span<const std::uint8_t> data, std::size_t* written) {
  std::size_t done = 0;
  if (written) *written = 0;
  if (fd_ < 0) return Fail(FileOp::Write, EBADF);
  while (done < data.size()) {
    const ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (written) *written = done;
      return Fail(FileOp::Write, errno);
    }
    if (n == 0) {
      if (written) *written = done;
      return Fail(FileOp::Write, ENOSPC);
    }
    done += static_cast<std::size_t>(n);
  }
  if (written) *written = done;
  return {};
}

Status File::Seek(std::uint64_t position) {
  if (fd_ < 0) return Fail(FileOp::Seek, EBADF);
  if (position > static_cast<std::uint64_t>(INT64_MAX)) return Fail(FileOp::Seek, EINVAL);
  if (::lseek(fd_, static_cast<off_t>(position), SEEK_SET) < 0) return Fail(FileOp::Seek, errno);
  return {};
}

Expected<std::uint64_t> File::Size() {
  if (fd_ < 0) return Fail(FileOp::Size, EBADF);
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return Fail(FileOp::Size, errno);
  return static_cast<std::uint64_t>(st.st_size);
}

Expected<std::uint64_t> MeasureFile(const std::string& path) {
  auto file = File::OpenRead(path);
  if (!file) return file.error();
  return file->Size();
}

std::optional<FileIdentity> IdentityOf(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

bool SameFile(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return false;
  const auto ia = IdentityOf(a);
  const auto ib = IdentityOf(b);
  if (ia && ib) return *ia == *ib;
  if (ia || ib) return false;
  std::error_code ea, eb;
  const auto pa = std::filesystem::weakly_canonical(std::filesystem::absolute(a, ea), ea);
  const auto pb = std::filesystem::weakly_canonical(std::filesystem::absolute(b, eb), eb);
  return !ea && !eb && pa == pb;
}

}  // namespace folvane
