// The file layer on POSIX systems: descriptors, advisory locks for "without
// sharing", and the errno values each cause of the file-error table stands for.

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/sendfile.h>
#include <linux/fs.h>  // FICLONERANGE
#include <sys/ioctl.h>
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <vector>

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

bool NamesStandardStream(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
    struct stat stream {};
    if (::fstat(fd, &stream) == 0 && stream.st_dev == st.st_dev && stream.st_ino == st.st_ino) return true;
  }
  return false;
}

namespace {

// A system call made again while a signal interrupts it (-1 with EINTR); its result
// as the last call gave it, errno with it.
template <typename Call>
auto Retrying(Call call) {
  for (;;) {
    const auto rc = call();
    if (rc != -1 || errno != EINTR) return rc;
  }
}

// ---- opening ---------------------------------------------------------------------

// O_NONBLOCK makes the open of a FIFO return at once instead of waiting for its other
// end; it is taken off again as soon as the file is known to be a file.
int OpenRetrying(const char* path, int flags) {
  const int fd = Retrying([&] { return ::open(path, flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666); });
  if (fd >= 0) {
    const int fl = ::fcntl(fd, F_GETFL);
    if (fl >= 0) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  }
  return fd;
}

// The descriptor kept in File's platform-neutral handle.
int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

bool IsDevice(mode_t mode) { return S_ISCHR(mode) || S_ISBLK(mode); }

// The kernel's own file systems hold settings and views of the running system, not
// files: a data image, a table or a page written into one of them would change the
// system (a host name, a limit) instead of making a file. Their names, by the magic
// number statfs gives; nothing on any other file system.
const char* PseudoFileSystemOf(const struct statfs& fs) {
  static constexpr struct {
    unsigned long magic;
    const char* name;
  } kPseudo[] = {
      {0x9fa0, "proc"},           {0x62656572, "sysfs"},     {0x64626720, "debugfs"},
      {0x74726163, "tracefs"},    {0x73636673, "securityfs"}, {0x27e0eb, "cgroup"},
      {0x63677270, "cgroup2"},    {0x6165676c, "pstore"},    {0xcafe4a11, "bpf"},
      {0x62656570, "configfs"},   {0xde5e81e4, "efivarfs"},  {0x65735543, "fusectl"},
      {0x42494e4d, "binfmt_misc"}, {0xf97cff8c, "selinuxfs"}, {0x43415d53, "smackfs"},
      {0x19800202, "mqueue"},     {0x6e736673, "nsfs"},      {0x67596969, "rpc_pipefs"},
      {0x0187, "autofs"},
  };
  const auto magic = static_cast<unsigned long>(fs.f_type) & 0xffffffffUL;
  for (const auto& p : kPseudo) {
    if (p.magic == magic) return p.name;
  }
  return nullptr;
}

// Where no output can go, said before anything is opened for writing: a pipe or a
// socket (also behind /dev/stdout), whose reader would get the bytes, and a file of
// the kernel's own file systems (the file when it exists, else its folder). The
// kernel follows the links here: this only looks.
std::optional<FileError> NoOutputThere(FileOp op, const std::string& path) {
  auto refuse = [&](const std::string& what) {
    FileError e = NotAFile(op, path);
    e.detail = path + " " + what;
    return e;
  };
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISFIFO(st.st_mode)) return refuse("is a pipe (FIFO), not a file");
    if (S_ISSOCK(st.st_mode)) return refuse("is a socket, not a file");
  }
  struct statfs fs {};
  if (::statfs(path.c_str(), &fs) != 0) {
    const std::string folder = std::filesystem::path(path).parent_path().string();
    if (::statfs(folder.empty() ? "." : folder.c_str(), &fs) != 0) return std::nullopt;
  }
  if (const char* name = PseudoFileSystemOf(fs)) {
    return refuse("is on the system's " + std::string(name) +
                  " file system, which holds settings of the running system, not files");
  }
  return std::nullopt;
}

// Whether something owned by `owner` in the folder `dir` may have been put there by
// another user for this one to follow or to write into: in a sticky folder that
// everyone may write, only this user's and the folder owner's links and files count.
// The kernel's own rules (protected_symlinks, protected_regular), kept whatever the
// system's settings say: a file another user planted where this user's output goes
// would hand them the output to read and change, and root's to own.
bool PlantedByAnother(uid_t owner, const struct stat& dir) {
  return (dir.st_mode & S_ISVTX) && (dir.st_mode & S_IWOTH) && owner != ::geteuid() && owner != dir.st_uid;
}

// The same for an existing regular file, looked up by its folder's name.
bool FilePlantedByAnother(const struct stat& file, const std::string& path) {
  struct stat dir {};
  return S_ISREG(file.st_mode) && ::stat(sys::FolderOf(path).c_str(), &dir) == 0 && PlantedByAnother(file.st_uid, dir);
}

// The text of the symlink `link`; errno on failure.
int ReadLink(const std::string& link, std::string& to) {
  std::vector<char> text(PATH_MAX);
  const ssize_t n = ::readlink(link.c_str(), text.data(), text.size());
  if (n < 0) return errno;
  if (static_cast<std::size_t>(n) >= text.size()) return ENAMETOOLONG;
  to.assign(text.data(), static_cast<std::size_t>(n));
  return 0;
}

// The folders on the way to `folder` are walked one by one and the links among them
// followed as the system would: a link another user planted among them (a /tmp/build
// made a link to this user's own folder) is EACCES, as the kernel's rule has it for
// every link of a path. Whatever cannot be looked at is left to the open.
int PlantedLinkOnTheWay(const std::string& folder) {
  std::vector<std::string> todo;  // the components still to walk, the next one last
  const auto walkAlso = [&todo](const std::string& text) {
    std::vector<std::string> parts;
    for (std::size_t from = 0; from <= text.size();) {
      const std::size_t slash = std::min(text.find('/', from), text.size());
      parts.push_back(text.substr(from, slash - from));
      from = slash + 1;
    }
    todo.insert(todo.end(), parts.rbegin(), parts.rend());
  };
  walkAlso(folder);
  std::string at = folder.front() == '/' ? "/" : ".";
  for (int hops = 0; !todo.empty();) {
    const std::string part = std::move(todo.back());
    todo.pop_back();
    if (part.empty() || part == ".") continue;
    const std::string next = sys::Join(at, part);
    struct stat st {};
    if (::lstat(next.c_str(), &st) != 0) return 0;
    if (!S_ISLNK(st.st_mode)) {
      at = next;  // never a link: ".." after it is its real parent
      continue;
    }
    struct stat dir {};
    if (::stat(at.c_str(), &dir) != 0) return 0;
    if (PlantedByAnother(st.st_uid, dir)) return EACCES;
    if (++hops > 40) return ELOOP;
    std::string to;
    if (ReadLink(next, to) != 0 || to.empty()) return 0;
    if (to.front() == '/') at.assign(1, '/');
    walkAlso(to);
  }
  return 0;
}

// Follows the symlinks `path` ends in to the file they finally name. A link planted
// by another user (PlantedByAnother) is not followed, on the way to the file either.
int FollowLinks(const std::string& path, std::string& target) {
  std::string at = path;
  for (int hops = 0; hops <= 40; ++hops) {
    if (const int error = PlantedLinkOnTheWay(sys::FolderOf(at)); error != 0) return error;
    struct stat st {};
    if (::lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      target = at;
      return 0;  // a missing file or folder is found by whoever opens it
    }
    const std::string folder = sys::FolderOf(at);
    struct stat dir {};
    if (::stat(folder.c_str(), &dir) != 0) return errno;
    if (PlantedByAnother(st.st_uid, dir)) return EACCES;
    std::string to;
    if (const int error = ReadLink(at, to); error != 0) return error;
    at = to.front() == '/' ? to : sys::Join(folder, to);
  }
  return ELOOP;
}

bool InMyGroups(gid_t gid) {
  if (gid == ::getegid()) return true;
  std::vector<gid_t> groups(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)) + 1);
  const int n = ::getgroups(static_cast<int>(groups.size()), groups.data());
  return n > 0 && std::find(groups.begin(), groups.begin() + n, gid) != groups.begin() + n;
}

// Extended attributes only the administrator may set.
bool HasTrustedAttributes(const std::string& path) {
  const ssize_t size = ::llistxattr(path.c_str(), nullptr, 0);
  if (size <= 0) return false;
  std::vector<char> names(static_cast<std::size_t>(size));
  const ssize_t got = ::llistxattr(path.c_str(), names.data(), names.size());
  for (ssize_t i = 0; i < got; i += static_cast<ssize_t>(std::strlen(names.data() + i)) + 1) {
    if (std::strncmp(names.data() + i, "trusted.", 8) == 0) return true;
  }
  return false;
}

// Copies every extended attribute, the ACL (system.posix_acl_access) among them.
// Attributes == this user may not set one of them.
InPlaceReason CopyAttributes(int from, int to, int& error) {
  ssize_t size = ::flistxattr(from, nullptr, 0);
  if (size < 0) {
    if (errno == ENOTSUP) return InPlaceReason::None;  // a file system without any
    error = errno;
    return InPlaceReason::None;
  }
  std::vector<char> names(static_cast<std::size_t>(size) + 1);
  size = ::flistxattr(from, names.data(), names.size());
  if (size < 0) {
    error = errno;
    return InPlaceReason::None;
  }
  std::vector<char> value;
  for (ssize_t i = 0; i < size; i += static_cast<ssize_t>(std::strlen(names.data() + i)) + 1) {
    const char* name = names.data() + i;
    // The system takes a program's capabilities off at the first byte written into it:
    // the new file goes without them, as the old one would have.
    if (std::strcmp(name, "security.capability") == 0) continue;
    const ssize_t length = ::fgetxattr(from, name, nullptr, 0);
    if (length < 0) {
      error = errno;
      return InPlaceReason::None;
    }
    value.resize(static_cast<std::size_t>(length) + 1);
    const ssize_t got = ::fgetxattr(from, name, value.data(), value.size());
    if (got < 0) {
      error = errno;
      return InPlaceReason::None;
    }
    if (::fsetxattr(to, name, value.data(), static_cast<std::size_t>(got), 0) != 0) {
      if (errno == EPERM || errno == EACCES || errno == ENOTSUP) return InPlaceReason::Attributes;
      error = errno;
      return InPlaceReason::None;
    }
  }
  return InPlaceReason::None;
}

}  // namespace

// ---- File --------------------------------------------------------------------------

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
  // The window's texts stay those of the causes; the detail says what the path names
  // instead, for the command line's messages.
  if (S_ISDIR(st.st_mode)) {
    FileError e = OpenFailure(FileOp::Open, path, EISDIR);
    e.detail = path + " is a folder, not a file";
    return e;
  }
  // A character device or a FIFO has no length to measure and may never end.
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
    FileError e = NotAFile(FileOp::Open, path);
    e.detail = path + (S_ISFIFO(st.st_mode)   ? " is a pipe (FIFO), not a file"
                       : S_ISSOCK(st.st_mode) ? " is a socket, not a file"
                                              : " is a character device, not a file: it has no size to read");
    return e;
  }
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
  std::string target;
  if (auto refused = NoOutputThere(FileOp::Create, path)) return *refused;
  if (const int error = FollowLinks(path, target); error != 0) return OpenFailure(FileOp::Create, path, error);
  // No O_TRUNC: the file is emptied only once it is known to be a file and the lock
  // is ours, so neither a FIFO nor a file another copy of the program is reading is
  // cut short before the refusal. The links were followed above, under their rule.
  const int fd = OpenRetrying(target.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW);
  if (fd < 0) {
    const int error = errno;
    // A FIFO with nobody reading it refuses a writer that will not wait.
    struct stat st {};
    if (error == ENXIO && ::stat(target.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) {
      return NotAFile(FileOp::Create, path);
    }
    return OpenFailure(FileOp::Create, path, error);
  }
  File file(fd, path);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return OpenFailure(FileOp::Create, path, errno);
  if (!S_ISREG(st.st_mode) && !IsDevice(st.st_mode)) return NotAFile(FileOp::Create, path);
  // Asked of the file opened, not of the name: one planted after the links were
  // followed is refused as well (a file this open created is this user's own).
  if (FilePlantedByAnother(st, target)) return OpenFailure(FileOp::Create, path, EACCES);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return OpenFailure(FileOp::Create, path, errno);
  file.regular_ = S_ISREG(st.st_mode);
  // Devices such as /dev/null cannot be truncated and need not be.
  if (file.regular_ && ::ftruncate(fd, 0) != 0) return OpenFailure(FileOp::Create, path, errno);
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
    const ssize_t n =
        Retrying([&] { return ::pread(Fd(handle_), buffer.data() + done, want, static_cast<off_t>(offset + done)); });
    if (n < 0) {
      if (got) *got = done;
      return Fail(FileOp::Read, errno);
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  if (got) *got = done;
  return done;
}

Expected<std::size_t> File::ReadScattered(std::uint64_t offset, std::span<const std::span<std::uint8_t>> pieces,
                                          std::size_t* got) {
  const auto& fault = TestHooks().readFault;
  // A planted fault is met where ReadAt meets it.
  if (handle_ < 0 || (fault && fault->path == path_)) return ReadPieceByPiece(*this, offset, pieces, got);
  std::size_t done = 0;
  if (got) *got = 0;
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) return Fail(FileOp::Seek, EINVAL);
  constexpr std::size_t kPieces = 256;
  std::size_t next = 0, within = 0;  // the first piece not yet full, and its bytes already read
  while (next < pieces.size()) {
    std::array<iovec, kPieces> iov{};
    int count = 0;
    for (std::size_t p = next; p < pieces.size() && count < static_cast<int>(kPieces); ++p) {
      const std::size_t skip = p == next ? within : 0;
      iov[static_cast<std::size_t>(count++)] = {pieces[p].data() + skip, pieces[p].size() - skip};
    }
    const ssize_t n = Retrying([&] { return ::preadv(Fd(handle_), iov.data(), count, static_cast<off_t>(offset + done)); });
    if (n < 0) {
      if (got) *got = done;
      return Fail(FileOp::Read, errno);
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
    for (auto left = static_cast<std::size_t>(n); next < pieces.size();) {
      const std::size_t room = pieces[next].size() - within;
      if (left < room) {
        within += left;
        break;
      }
      left -= room;
      ++next;
      within = 0;
    }
  }
  if (got) *got = done;
  return done;
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
    const ssize_t n = Retrying([&] { return ::writev(Fd(handle_), iov.data(), count); });
    if (n < 0) {
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

namespace {

// Whether a failed kernel copy only means that the system will not copy between these
// files (the caller goes on through its buffer), rather than a failed read or write.
bool CopyRefused(int error) {
  return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == ENOTTY ||
         error == ETXTBSY || error == EPERM || error == EBADF || error == EISDIR;
}

// Shares `length` bytes of `in` from `offset` at `out`'s position and moves the position
// past them; errno on failure.
int ShareStretch(int in, std::uint64_t offset, int out, std::uint64_t length) {
#ifdef FICLONERANGE
  const off_t at = ::lseek(out, 0, SEEK_CUR);
  if (at < 0) return errno;
  file_clone_range range{};
  range.src_fd = in;
  range.src_offset = offset;
  range.src_length = length;
  range.dest_offset = static_cast<std::uint64_t>(at);
  if (Retrying([&] { return ::ioctl(out, FICLONERANGE, &range); }) != 0) return errno;
  if (::lseek(out, at + static_cast<off_t>(length), SEEK_SET) < 0) return errno;
  return 0;
#else
  (void)in, (void)offset, (void)out, (void)length;
  return EOPNOTSUPP;
#endif
}

}  // namespace

Expected<File> File::ReadableTwin() {
  if (handle_ < 0 || !regular_) return Fail(FileOp::Open, EBADF);
  // Through the descriptor's own entry, not the path: the file, not whatever the path
  // names now.
  const std::string self = "/proc/self/fd/" + std::to_string(Fd(handle_));
  const int fd = OpenRetrying(self.c_str(), O_RDONLY);
  if (fd < 0) return Fail(FileOp::Open, errno);
  File twin(fd, path_);
  struct stat mine {}, theirs {};
  if (::fstat(Fd(handle_), &mine) != 0 || ::fstat(fd, &theirs) != 0) return Fail(FileOp::Open, errno);
  if (mine.st_dev != theirs.st_dev || mine.st_ino != theirs.st_ino) return Fail(FileOp::Open, EBADF);
  twin.regular_ = true;
  return twin;
}

std::uint32_t File::ShareBlockSize() {
#ifdef FICLONERANGE
  struct statfs fs {};
  if (handle_ < 0 || !regular_ || ::fstatfs(Fd(handle_), &fs) != 0 || fs.f_bsize <= 0) return 0;
  return static_cast<std::uint32_t>(fs.f_bsize);
#else
  return 0;
#endif
}

void File::StartWriteBack(std::uint64_t offset, std::uint64_t length) {
#ifdef SYNC_FILE_RANGE_WRITE
  if (handle_ >= 0 && regular_ && length > 0) {
    ::sync_file_range(Fd(handle_), static_cast<off64_t>(offset), static_cast<off64_t>(length), SYNC_FILE_RANGE_WRITE);
  }
#else
  (void)offset, (void)length;
#endif
}

Status File::WaitWriteBack(std::uint64_t offset, std::uint64_t length) {
#ifdef SYNC_FILE_RANGE_WRITE
  if (handle_ < 0 || !regular_ || length == 0) return Sync();
  if (TestHooks().failedSyncs > 0) {
    --TestHooks().failedSyncs;
    return Fail(FileOp::Write, EIO);
  }
  constexpr unsigned kWriteAndWait = SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
  const int rc = Retrying([&] {
    return ::sync_file_range(Fd(handle_), static_cast<off64_t>(offset), static_cast<off64_t>(length), kWriteAndWait);
  });
  if (rc == 0) return {};
  if (errno == ENOSYS || errno == EINVAL || errno == ESPIPE) return Sync();
  return Fail(FileOp::Write, errno);
#else
  (void)offset, (void)length;
  return Sync();
#endif
}

File::CopyResult File::CopyFrom(File& source, std::uint64_t offset, std::uint64_t length, KernelCopy how) {
  CopyResult result;
  // The kernel copies between regular files only; devices go through a buffer.
  if (TestHooks().kernelCopyOff || handle_ < 0 || source.handle_ < 0 || !regular_ || !source.regular_) {
    result.unsupported = true;
    return result;
  }
  const auto& fault = TestHooks().readFault;
  const bool faulty = fault && fault->path == source.path_;
  auto& planted = TestHooks().copyFault;
  // copy_file_range first asks the file system to share the stretch, and btrfs, before
  // it finds that positions inside its blocks cannot be shared, writes the output's
  // last page and waits for every write of the file still under way: once per call,
  // it keeps the copy waiting for the disk. No file system shares at such positions,
  // so there the kernel copies straight away (sendfile), as it would after refusing.
  bool streamed = false;
  if (how == KernelCopy::Copy) {
    const std::uint32_t block = ShareBlockSize();
    const off_t at = ::lseek(Fd(handle_), 0, SEEK_CUR);
    streamed = block != 0 && at >= 0 && (offset % block != 0 || static_cast<std::uint64_t>(at) % block != 0);
  }
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
    int error = 0;
    if (planted && planted->moved >= planted->after) {
      error = planted->error;
      if (error == 0) {
        result.unsupported = true;  // a short copy: what is not copied goes through the buffer
        return result;
      }
    } else {
      if (planted) want = std::min(want, planted->after - planted->moved);
      const auto in = offset + result.copied;
      if (how == KernelCopy::Share) {
        error = ShareStretch(Fd(source.handle_), in, Fd(handle_), want);
      } else {
        auto from = static_cast<off64_t>(in);
        const ssize_t n = streamed ? ::sendfile(Fd(handle_), Fd(source.handle_), &from, static_cast<std::size_t>(want))
                                   : ::copy_file_range(Fd(source.handle_), &from, Fd(handle_), nullptr,
                                                       static_cast<std::size_t>(want), 0);
        if (n < 0) error = errno;
        else want = static_cast<std::uint64_t>(n);
      }
    }
    if (error == EINTR) continue;
    if (error != 0) {
      // Sharing is all or nothing: any refusal sends the stretch through the buffer,
      // which reports the failures that are really the files'.
      if (how == KernelCopy::Share || CopyRefused(error)) {
        result.unsupported = true;
        return result;
      }
      // The system does not say which side failed: a full disk is the output's, the
      // rest is reported as the reading of the image.
      const FileErrorCause cause = ClassifySystemError(error);
      result.error = cause == FileErrorCause::DiskFull ? Fail(FileOp::Write, error) : source.Fail(FileOp::Read, error);
      return result;
    }
    if (want == 0) break;  // the end of the source
    result.copied += want;
    if (planted) planted->moved += want;
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
  if (regular_ && TestHooks().failedSyncs > 0) {
    --TestHooks().failedSyncs;
    return Fail(FileOp::Write, EIO);
  }
  // A disk named as a device is forced like a file; a device that keeps nothing
  // (/dev/null, a terminal, a pipe) has nothing to force and says so.
  if (::fsync(Fd(handle_)) != 0 && (regular_ || (errno != EINVAL && errno != EROFS && errno != ENOTSUP))) {
    return Fail(FileOp::Write, errno);
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

Status ProbeCreate(const std::string& path) {
  if (path.empty()) return OpenFailure(FileOp::Create, path, ENOENT);
  std::string target;
  if (auto refused = NoOutputThere(FileOp::Create, path)) return *refused;
  if (const int error = FollowLinks(path, target); error != 0) return OpenFailure(FileOp::Create, path, error);
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return OpenFailure(FileOp::Create, path, EISDIR);
    if (!S_ISREG(st.st_mode) && !IsDevice(st.st_mode)) return NotAFile(FileOp::Create, path);
    if (FilePlantedByAnother(st, target)) return OpenFailure(FileOp::Create, path, EACCES);
    // Nothing is opened for writing: the permission is asked, and a writer's lock is
    // tried on the file opened for reading (when it may be read at all).
    if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return OpenFailure(FileOp::Create, path, errno);
    if (!S_ISREG(st.st_mode)) return {};
    const int fd = OpenRetrying(target.c_str(), O_RDONLY | O_NOFOLLOW);
    if (fd < 0) return {};
    const int locked = ::flock(fd, LOCK_EX | LOCK_NB);
    const int error = errno;
    ::close(fd);
    if (locked != 0) return OpenFailure(FileOp::Create, path, error);
    return {};
  }
  if (errno != ENOENT) return OpenFailure(FileOp::Create, path, errno);
  const std::string folder = sys::FolderOf(target);
  struct stat dir {};
  if (::stat(folder.c_str(), &dir) != 0) return OpenFailure(FileOp::Create, path, errno);
  if (!S_ISDIR(dir.st_mode)) return OpenFailure(FileOp::Create, path, ENOTDIR);
  if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return OpenFailure(FileOp::Create, path, errno);
  return {};
}

// ---- signals -----------------------------------------------------------------------

namespace {

// Every signal whose default action ends the process: the terminating ones, the
// crashes, and the real-time signals.
std::vector<int> EndingSignals() {
  std::vector<int> all = {SIGHUP,  SIGINT,  SIGQUIT, SIGILL,  SIGTRAP,   SIGABRT, SIGBUS,  SIGFPE,
                          SIGUSR1, SIGSEGV, SIGUSR2, SIGALRM, SIGTERM,   SIGXCPU, SIGVTALRM,
                          SIGPROF, SIGIO,   SIGSYS,
#ifdef SIGSTKFLT
                          SIGSTKFLT,
#endif
#ifdef SIGPWR
                          SIGPWR,
#endif
  };
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) all.push_back(sig);
  return all;
}

extern "C" void OnEndingSignal(int sig) {
  RemovePartialOutputs();
  ::signal(sig, SIG_DFL);
  ::raise(sig);  // held until the handler returns, then ends the process as it would have
}

sigset_t gHeldBefore;

}  // namespace

void RemovePartialOutputsOnSignals() {
  // A reader of our messages that goes away, or a file-size limit, must not kill a
  // merge: the write then fails and is reported like any other.
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = OnEndingSignal;
  sigfillset(&action.sa_mask);  // no second signal interrupts the cleaning up
  for (int sig : EndingSignals()) ::sigaction(sig, &action, nullptr);
}

namespace sys {

const int kNotFound = ENOENT;
const int kAccessDenied = EACCES;
const int kSharing = EWOULDBLOCK;
const int kExists = EEXIST;
const bool kOpenFilesPinned = false;

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

std::string Join(const std::string& folder, const std::string& leaf) {
  return folder.back() == '/' ? folder + leaf : folder + "/" + leaf;
}

bool LeafFits(std::string_view leaf) { return leaf.size() <= NAME_MAX; }

std::string ProcessId() { return std::to_string(::getpid()); }

Expected<Plan> PlanReplacement(const std::string& path) {
  Plan plan;
  if (auto refused = NoOutputThere(FileOp::Create, path)) return *refused;
  if (const int error = FollowLinks(path, plan.target); error != 0) return OpenFailure(FileOp::Create, path, error);
  struct stat st {};
  plan.exists = ::lstat(plan.target.c_str(), &st) == 0;
  if (!plan.exists && errno != ENOENT) return OpenFailure(FileOp::Create, path, errno);
  if (plan.exists) {
    if (IsDevice(st.st_mode)) {
      plan.inPlace = InPlaceReason::Device;
      return plan;
    }
    if (S_ISDIR(st.st_mode)) return OpenFailure(FileOp::Create, path, EISDIR);
    if (!S_ISREG(st.st_mode)) return NotAFile(FileOp::Create, path);
    if (FilePlantedByAnother(st, plan.target)) return OpenFailure(FileOp::Create, path, EACCES);
  }
  const std::string folder = FolderOf(plan.target);
  struct stat dir {};
  if (::stat(folder.c_str(), &dir) != 0) return OpenFailure(FileOp::Create, path, errno);
  if (!S_ISDIR(dir.st_mode)) return OpenFailure(FileOp::Create, path, ENOTDIR);
  if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    if (!plan.exists) return OpenFailure(FileOp::Create, path, errno);
    plan.inPlace = InPlaceReason::FolderLocked;
    return plan;
  }
  if (!plan.exists) return plan;
  const uid_t me = ::geteuid();
  if (st.st_nlink > 1) {
    plan.inPlace = InPlaceReason::OtherLinks;
  } else if (me != 0 && (dir.st_mode & S_ISVTX) && me != st.st_uid && me != dir.st_uid) {
    plan.inPlace = InPlaceReason::StickyFolder;
  } else if (me != 0 && (st.st_uid != me || !InMyGroups(st.st_gid))) {
    plan.inPlace = InPlaceReason::Owner;
  } else if (me != 0 && HasTrustedAttributes(plan.target)) {
    plan.inPlace = InPlaceReason::Attributes;
  }
  return plan;
}

std::intptr_t OpenExisting(const std::string& target, int& error) {
  const int fd = OpenRetrying(target.c_str(), O_WRONLY | O_NOFOLLOW);
  if (fd < 0) {
    error = errno;
    return kNoHandle;
  }
  struct stat st {};
  error = ::fstat(fd, &st) != 0 ? errno : 0;
  // The file opened, which may not be the one planned: refused as the plan would have.
  if (error == 0 && (!S_ISREG(st.st_mode) || FilePlantedByAnother(st, target))) error = EACCES;
  if (error == 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) error = errno;
  if (error != 0) {
    ::close(fd);
    return kNoHandle;
  }
  return fd;
}

namespace {

// Gives `fd` what a file created for writing with mode 0666 gets in `folder`: the
// folder's default ACL, its owner, group (or mask) and others limited to that mode;
// without one, 0666 less the umask. errno on failure.
int GiveNewFilePermissions(int fd, const std::string& folder) {
  std::vector<char> acl(256);
  ssize_t n;
  while ((n = ::getxattr(folder.c_str(), "system.posix_acl_default", acl.data(), acl.size())) < 0 && errno == ERANGE) {
    acl.resize(acl.size() * 4);
  }
  if (n < 0) {
    if (errno != ENODATA && errno != ENOTSUP) return errno;
    // The umask is read by setting it back.
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return ::fchmod(fd, 0666 & ~mask) == 0 ? 0 : errno;
  }
  // After a 4-byte version, entries of 8 bytes: tag, permissions, id (little-endian).
  char* group = nullptr;
  char* mask = nullptr;
  for (ssize_t at = 4; at + 8 <= n; at += 8) {
    char* entry = acl.data() + at;
    const unsigned tag = static_cast<unsigned char>(entry[0]) | static_cast<unsigned char>(entry[1]) << 8;
    if (tag == 0x01 || tag == 0x20) entry[2] &= 6;  // the owner and others: no execute
    if (tag == 0x04) group = entry;
    if (tag == 0x10) mask = entry;
  }
  if (char* limited = mask ? mask : group) limited[2] &= 6;
  return ::fsetxattr(fd, "system.posix_acl_access", acl.data(), static_cast<std::size_t>(n), 0) == 0 ? 0 : errno;
}

}  // namespace

std::intptr_t CreateNew(const std::string& path, bool replacing, int& error) {
  const int fd =
      Retrying([&] { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600); });
  if (fd < 0) {
    error = errno;
    return kNoHandle;
  }
  // A new output gets, before its first byte, what any file created for writing gets
  // there: with a default ACL on the folder that is not the umask's mode.
  error = replacing ? 0 : GiveNewFilePermissions(fd, FolderOf(path));
  if (error != 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (error == 0) error = errno;
    ::unlink(path.c_str());
    ::close(fd);
    return kNoHandle;
  }
  return fd;
}

InPlaceReason Adopt(std::intptr_t fresh, std::intptr_t old, int& error) {
  error = 0;
  const int to = Fd(fresh);
  if (old == kNoHandle) return InPlaceReason::None;  // created as a new file is
  const int from = Fd(old);
  struct stat st {};
  if (::fstat(from, &st) != 0) {
    error = errno;
    return InPlaceReason::None;
  }
  // Owner first, while the file is still its creator's alone; then the ACL, which
  // sets the permission bits with it; then the bits themselves.
  if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid()) && ::fchown(to, st.st_uid, st.st_gid) != 0) {
    if (errno == EPERM) return InPlaceReason::Owner;
    error = errno;
    return InPlaceReason::None;
  }
  if (const InPlaceReason r = CopyAttributes(from, to, error); r != InPlaceReason::None || error != 0) return r;
  if (::fchmod(to, st.st_mode & 0777) != 0) error = errno;
  return InPlaceReason::None;
}

void DropSetId(std::intptr_t handle) noexcept {
  struct stat st {};
  if (::fstat(Fd(handle), &st) == 0 && (st.st_mode & (S_ISUID | S_ISGID))) {
    ::fchmod(Fd(handle), st.st_mode & 0777);
  }
}

int EndHere(std::intptr_t handle) {
  const off_t end = ::lseek(Fd(handle), 0, SEEK_CUR);
  if (end < 0) return errno;
  return ::ftruncate(Fd(handle), end) == 0 ? 0 : errno;
}

void CloseHandle(std::intptr_t handle) noexcept { ::close(Fd(handle)); }

void RemoveFile(const char* path) noexcept { ::unlink(path); }

bool HeldByWriter(const std::string& path) {
  const int fd = OpenRetrying(path.c_str(), O_RDONLY | O_NOFOLLOW);
  // Another user's new file may not be readable here: it counts as held, and the
  // message names it for whoever must remove a leftover.
  if (fd < 0) return errno == EACCES;
  const int locked = ::flock(fd, LOCK_SH | LOCK_NB);
  ::close(fd);
  return locked != 0;
}

namespace {
bool NoExchangeHere(int error) { return error == EINVAL || error == ENOSYS || error == ENOTSUP; }

// A file system without hard links (FAT, exFAT) refuses a second name so.
bool NoLinksHere(int error) { return error == EPERM || error == ENOSYS || error == EOPNOTSUPP; }

int Exchange(const std::string& partial, const std::string& target) {
  if (TestHooks().plainRenamesOnly) return EINVAL;
  return ::renameat2(AT_FDCWD, partial.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0 ? 0 : errno;
}

int Link(const std::string& from, const std::string& to) {
  if (TestHooks().plainRenamesOnly) return EPERM;
  return ::link(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}
}  // namespace

int Install(const std::string& partial, const std::string& target, bool targetExisted) {
  if (targetExisted) {
    int error = Exchange(partial, target);
    if (!NoExchangeHere(error)) return error;
    // A file system without the exchange: the old file keeps a second name while the
    // new one replaces it in one step, then takes the partial name.
    const std::string keep = partial + "-old";
    error = Link(target, keep);
    if (NoLinksHere(error)) {
      // Nor hard links: the old file steps aside first, and the name is missing for
      // the moment between the two renames.
      if (::rename(target.c_str(), keep.c_str()) != 0) return errno;
      if (::rename(partial.c_str(), target.c_str()) != 0) {
        error = errno;
        ::rename(keep.c_str(), target.c_str());
        return error;
      }
    } else if (error != 0) {
      return error;
    } else if (::rename(partial.c_str(), target.c_str()) != 0) {
      error = errno;
      ::unlink(keep.c_str());
      return error;
    }
    ::rename(keep.c_str(), partial.c_str());
    return 0;
  }
  // Never over a file that appeared meanwhile.
  if (::renameat2(AT_FDCWD, partial.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (!NoExchangeHere(errno)) return errno;
  return ::rename(partial.c_str(), target.c_str()) == 0 ? 0 : errno;
}

int Uninstall(const std::string& partial, const std::string& target, bool targetExisted) {
  if (targetExisted && Exchange(partial, target) == 0) return 0;
  const bool back = targetExisted ? ::rename(partial.c_str(), target.c_str()) == 0
                                  : ::rename(target.c_str(), partial.c_str()) == 0;
  return back ? 0 : errno;
}

void HoldSignals() noexcept {
  sigset_t all;
  sigfillset(&all);
  // A crash still ends the process at once.
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) sigdelset(&all, sig);
  ::pthread_sigmask(SIG_BLOCK, &all, &gHeldBefore);
}

void ReleaseSignals() noexcept { ::pthread_sigmask(SIG_SETMASK, &gHeldBefore, nullptr); }

void PauseBriefly() noexcept {
  const struct timespec moment {0, 1000000};
  ::nanosleep(&moment, nullptr);
}

}  // namespace sys

}  // namespace folvane
