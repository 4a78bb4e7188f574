#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <csignal>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "io/file_io.hpp"
#include "test_support.hpp"

namespace folvane {
namespace {

using testing::TempDir;

#ifdef _WIN32
// A folder on the way that does not exist: Windows says "path not found", POSIX
// systems only "no such file".
constexpr FileErrorCause kMissingFolder = FileErrorCause::BadPath;
#else
constexpr FileErrorCause kMissingFolder = FileErrorCause::FileNotFound;
#endif

#ifdef _WIN32
TEST(FileError, CausesMapToTheirTexts) {
  struct Case {
    DWORD error;
    const char* text;
  } cases[] = {
      {ERROR_FILE_NOT_FOUND, "没有找到 一未命名文件。"},
      {ERROR_PATH_NOT_FOUND, "一未命名文件 中包含无效的路径。"},
      {ERROR_INVALID_NAME, "一未命名文件 中包含无效的路径。"},
      {ERROR_FILENAME_EXCED_RANGE, "一未命名文件 中包含无效的路径。"},
      {ERROR_TOO_MANY_OPEN_FILES, "无法打开 一未命名文件 因为太多文件已被打开。"},
      {ERROR_ACCESS_DENIED, "对 一未命名文件 的存取被拒绝。"},
      {ERROR_WRITE_PROTECT, "对 一未命名文件 的存取被拒绝。"},
      {ERROR_INVALID_HANDLE, "一个无效的文件柄与 一未命名文件 相关联。"},
      {ERROR_CURRENT_DIRECTORY, "无法删除 一未命名文件 因为它是当前目录。"},
      {ERROR_CANNOT_MAKE, "该目录已满，无法创建 一未命名文件。"},
      {ERROR_NEGATIVE_SEEK, "对 一未命名文件 进行查找失败。"},
      {ERROR_CRC, "在存取 一未命名文件 时一个硬件输入/输出错误被报告。"},
      {ERROR_IO_DEVICE, "在存取 一未命名文件 时一个硬件输入/输出错误被报告。"},
      {ERROR_SHARING_VIOLATION, "在存取 一未命名文件 时发生共享违例。"},
      {ERROR_LOCK_VIOLATION, "在存取 一未命名文件 时发生锁违例。"},
      {ERROR_DISK_FULL, "在存取 一未命名文件 时磁盘已满。"},
      {ERROR_HANDLE_DISK_FULL, "在存取 一未命名文件 时磁盘已满。"},
      {ERROR_HANDLE_EOF, "试图越过其尾端对 一未命名文件 进行读写。"},
      {ERROR_NOT_ENOUGH_MEMORY, "在对 一未命名文件 进行访问时发生了一个不明错误。"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    const int error = static_cast<int>(c.error);
    EXPECT_EQ((FileError{ClassifySystemError(error), FileOp::Read, "C:\\x\\y", error}.Message()), c.text);
  }
}
#else
TEST(FileError, CausesMapToTheirTexts) {
  struct Case {
    int error;
    const char* text;
  } cases[] = {
      {ENOENT, "没有找到 一未命名文件。"},
      {ENOTDIR, "一未命名文件 中包含无效的路径。"},
      {ENAMETOOLONG, "一未命名文件 中包含无效的路径。"},
      {EACCES, "对 一未命名文件 的存取被拒绝。"},
      {EROFS, "对 一未命名文件 的存取被拒绝。"},
      {EISDIR, "对 一未命名文件 的存取被拒绝。"},
      {EMFILE, "无法打开 一未命名文件 因为太多文件已被打开。"},
      {ENOSPC, "在存取 一未命名文件 时磁盘已满。"},
      {EDQUOT, "在存取 一未命名文件 时磁盘已满。"},
      {EIO, "在存取 一未命名文件 时一个硬件输入/输出错误被报告。"},
      {EWOULDBLOCK, "在存取 一未命名文件 时发生共享违例。"},
      {EBADF, "一个无效的文件柄与 一未命名文件 相关联。"},
      {ENOLCK, "在存取 一未命名文件 时发生锁违例。"},
      {ESPIPE, "对 一未命名文件 进行查找失败。"},
      {EPROTO, "在对 一未命名文件 进行访问时发生了一个不明错误。"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    EXPECT_EQ((FileError{ClassifySystemError(c.error), FileOp::Read, "/x/y", c.error}.Message()), c.text);
  }
}
#endif

TEST(FileError, WritesNameTheFullPathReadsAndSeeksDoNot) {
  const std::string abs = testing::Utf8Path(std::filesystem::current_path() / "out.bin");
  EXPECT_EQ((FileError{FileErrorCause::DiskFull, FileOp::Write, "out.bin"}.Message()), "在存取 " + abs + " 时磁盘已满。");
#ifdef _WIN32
  EXPECT_EQ((FileError{FileErrorCause::AccessDenied, FileOp::Create, "C:/a/./b"}.Message()), "对 C:\\a\\b 的存取被拒绝。");
  // Non-ASCII paths keep every character: UTF-8 in, UTF-8 out, whatever the code page.
  EXPECT_EQ((FileError{FileErrorCause::AccessDenied, FileOp::Create, "C:\\固件\\镜像.bin"}.Message()),
            "对 C:\\固件\\镜像.bin 的存取被拒绝。");
#else
  EXPECT_EQ((FileError{FileErrorCause::AccessDenied, FileOp::Create, "/a/./b"}.Message()), "对 /a/b 的存取被拒绝。");
#endif
  EXPECT_EQ((FileError{FileErrorCause::BadSeek, FileOp::Seek, "/a/b"}.Message()), "对 一未命名文件 进行查找失败。");
  EXPECT_EQ((FileError{FileErrorCause::HardIO, FileOp::Read, "/a/b"}.Message()),
            "在存取 一未命名文件 时一个硬件输入/输出错误被报告。");
}

TEST(File, OperationsOnAFileThatIsNotOpenAreFileNotFound) {
  File file;
  std::uint8_t b[4];
  const auto read = file.ReadAt(0, b);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().cause, FileErrorCause::FileNotFound);
  EXPECT_EQ(read.error().Message(), "没有找到 一未命名文件。");
  const Status write = file.Write(b);
  ASSERT_FALSE(write.ok());
  EXPECT_EQ(write.error().cause, FileErrorCause::FileNotFound);
  EXPECT_EQ(file.Seek(0).error().cause, FileErrorCause::FileNotFound);
  EXPECT_EQ(file.Size().error().cause, FileErrorCause::FileNotFound);
}

#ifdef _WIN32
/// A path that may not be written: a file with the read-only attribute.
std::string DeniedPath(const TempDir& dir) {
  const std::string ro = dir / "ro.bin";
  testing::WriteText(ro, "x");
  const auto wide = testing::FsPath(ro).wstring();
  ::SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_READONLY);
  if (auto f = File::CreateWrite(ro); !f.ok()) return ro;
  return {};  // Wine running as root writes read-only files: nothing here is denied
}
#else
/// A path where even root may not create a file: a read-only folder, or for root,
/// which ignores folder permissions, a place the kernel refuses.
std::string DeniedPath(const TempDir& dir) {
  const std::string ro = dir / "ro";
  std::filesystem::create_directory(ro);
  ::chmod(ro.c_str(), 0555);
  const std::string candidate = ro + "/out.bin";
  if (auto f = File::CreateWrite(candidate); !f.ok()) return candidate;
  std::filesystem::remove(candidate);
  return "/sys/kernel/folvane-test.bin";
}
#endif

TEST(File, OpenFailuresAreClassifiedByCause) {
  TempDir dir;
  testing::WriteText(dir / "plain", "x");
  std::filesystem::create_directory(dir / "folder");
  struct Case {
    const char* name;
    std::string path;
    bool forWriting;
    FileErrorCause cause;
  } cases[] = {
      {"missing file", dir / "none", false, FileErrorCause::FileNotFound},
      {"missing folder", dir / "none/out.bin", true, kMissingFolder},
      {"empty path", "", true, FileErrorCause::FileNotFound},
      {"file used as a folder", dir / "plain/out.bin", true, FileErrorCause::BadPath},
      {"folder read as a file", dir / "folder", false, FileErrorCause::AccessDenied},
      {"folder written as a file", dir / "folder", true, FileErrorCause::AccessDenied},
      {"name too long", dir / std::string(300, 'n'), true, FileErrorCause::BadPath},
      {"no access", DeniedPath(dir), true, FileErrorCause::AccessDenied},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.path.empty() && c.cause == FileErrorCause::AccessDenied) continue;  // no denied path here
    const auto f = c.forWriting ? File::CreateWrite(c.path) : File::OpenRead(c.path);
    ASSERT_FALSE(f.ok());
    EXPECT_EQ(f.error().cause, c.cause);
  }
}

TEST(File, ReadersAndWritersOfOneFileExcludeEachOther) {
  TempDir dir;
  const std::string path = dir / "shared.bin";
  testing::WriteText(path, "abc");
  {
    auto reader = File::OpenRead(path);
    ASSERT_TRUE(reader.ok());
    auto second_reader = File::OpenRead(path);
    EXPECT_TRUE(second_reader.ok()) << "two readers may share";
    auto writer = File::CreateWrite(path);
    ASSERT_FALSE(writer.ok());
    EXPECT_EQ(writer.error().cause, FileErrorCause::SharingViolation);
    EXPECT_EQ(testing::ReadFile(path).size(), 3u) << "a refused writer must not empty the file";
  }
  auto writer = File::CreateWrite(path);
  ASSERT_TRUE(writer.ok());
  EXPECT_EQ(testing::ReadFile(path).size(), 0u);
  const auto reader = File::OpenRead(path);
  ASSERT_FALSE(reader.ok());
  EXPECT_EQ(reader.error().cause, FileErrorCause::SharingViolation);
}

#ifdef _WIN32
// What another program does to a file, done here with the system's own calls.
HANDLE HoldElsewhere(const std::string& path, DWORD access, DWORD share) {
  const auto wide = testing::FsPath(path).wstring();
  return ::CreateFileW(wide.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

TEST(File, AFileAnotherProgramHoldsIsASharingViolation) {
  TempDir dir;
  const std::string path = dir / "held.bin";
  testing::WriteText(path, "abc");
  struct Case {
    const char* name;
    DWORD access, share;
    bool readRefused, writeRefused;
  } cases[] = {
      {"held without sharing", GENERIC_READ, 0, true, true},
      {"held for writing, readers allowed", GENERIC_WRITE, FILE_SHARE_READ, true, true},
      {"held for reading, readers allowed", GENERIC_READ, FILE_SHARE_READ, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const HANDLE other = HoldElsewhere(path, c.access, c.share);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    const auto reader = File::OpenRead(path);
    EXPECT_EQ(reader.ok(), !c.readRefused);
    if (!reader.ok()) {
      EXPECT_EQ(reader.error().cause, FileErrorCause::SharingViolation);
    }
    const auto writer = File::CreateWrite(path);
    ASSERT_EQ(writer.ok(), !c.writeRefused);
    if (!writer.ok()) {
      EXPECT_EQ(writer.error().Message(), "在存取 " + AbsolutePath(path) + " 时发生共享违例。");
      EXPECT_EQ(ProbeCreate(path).error().cause, FileErrorCause::SharingViolation);
      EXPECT_FALSE(File::CreateReplacement(path).ok());
    }
    ::CloseHandle(other);
    EXPECT_EQ(testing::ReadFile(path).size(), 3u) << "a refused writer must not empty the file";
  }
}

TEST(File, ARangeLockedElsewhereIsALockViolation) {
  TempDir dir;
  const std::string path = dir / "locked.bin";
  testing::WriteFile(path, testing::Pattern(4096, 1));
  const HANDLE other = HoldElsewhere(path, GENERIC_READ, FILE_SHARE_READ);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  OVERLAPPED at{};
  ASSERT_TRUE(::LockFileEx(other, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 4096, 0, &at));
  auto f = File::OpenRead(path);
  ASSERT_TRUE(f.ok());
  std::uint8_t b[16];
  const auto read = f->ReadAt(0, b);
  ::UnlockFileEx(other, 0, 4096, 0, &at);
  ::CloseHandle(other);
  if (read.ok()) GTEST_SKIP() << "this system does not enforce range locks on reads (Wine)";
  EXPECT_EQ(read.error().Message(), "在存取 一未命名文件 时发生锁违例。");
}

TEST(File, PathsBeyondTheClassicLimitAreHandledWhole) {
  TempDir dir;
  std::string deep = dir.str();
  for (int i = 0; i < 6; ++i) {
    deep += "\\" + std::string(60, static_cast<char>('a' + i));
    // The folders themselves need the long form: the C library stops at MAX_PATH.
    ASSERT_TRUE(::CreateDirectoryW((L"\\\\?\\" + testing::FsPath(deep).wstring()).c_str(), nullptr));
  }
  const std::string path = deep + "\\固件.bin";
  ASSERT_GT(path.size(), 260u);
  auto out = File::CreateWrite(path);
  ASSERT_TRUE(out.ok()) << out.error().Message();
  ASSERT_TRUE(out->Write(testing::Pattern(10, 2)).ok());
  out->Close();
  EXPECT_EQ(*MeasureFile(path), 10u);
  EXPECT_TRUE(SameFile(path, deep + "\\..\\" + std::string(60, 'f') + "\\固件.bin"));
}
#endif

TEST(File, WriteToAFullDiskIsDiskFullWithThePath) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no device that is always full";
#endif
  auto full = File::CreateWrite("/dev/full");
  ASSERT_TRUE(full.ok());
  const std::uint8_t data[16] = {};
  std::size_t written = 99;
  const Status s = full->Write(data, &written);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(s.error().Message(), "在存取 /dev/full 时磁盘已满。");
}

TEST(File, ReadsUntilTheBufferIsFullOrTheFileEnds) {
  TempDir dir;
  testing::WriteFile(dir / "f", testing::Pattern(10, 3));
  auto f = File::OpenRead(dir / "f");
  ASSERT_TRUE(f.ok());
  EXPECT_EQ(*f->Size(), 10u);
  std::uint8_t b[8];
  EXPECT_EQ(*f->ReadAt(4, b), 6u);
  EXPECT_EQ(*f->ReadAt(10, b), 0u);
  EXPECT_EQ(*f->ReadAt(0, b), 8u);
  EXPECT_EQ(*MeasureFile(dir / "f"), 10u);
  EXPECT_EQ(MeasureFile(dir / "none").error().cause, FileErrorCause::FileNotFound);
}

// Pieces filled in turn as one buffer: more pieces than one system call takes, empty
// ones among them, the file ending inside one, and a read failing part-way, which
// reports what reached the pieces before it as ReadAt does.
TEST(File, AScatteredReadFillsItsPiecesInTurn) {
  TempDir dir;
  const testing::Bytes file = testing::Pattern(5000, 7);
  testing::WriteFile(dir / "f", file);
  auto f = File::OpenRead(dir / "f");
  ASSERT_TRUE(f.ok());
  struct Case {
    std::uint64_t offset;
    std::size_t pieces, pieceBytes;
    std::optional<std::uint64_t> faultAt;
    std::size_t expected;
  } cases[] = {
      {0, 600, 7, std::nullopt, 2800},  // every third piece empty: 400 of 7 bytes
      {100, 600, 9, std::nullopt, 3600},
      {2000, 300, 16, std::nullopt, 3000},  // the file ends inside a piece
      {5000, 3, 16, std::nullopt, 0},
      {10, 600, 7, 2010, 2000},  // a failure after 2000 bytes
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    TestHooks() = {};
    if (c.faultAt) TestHooks().readFault = PlantedReadFault{dir / "f", *c.faultAt};
    std::vector<testing::Bytes> buffers(c.pieces);
    std::vector<std::span<std::uint8_t>> pieces;
    for (std::size_t i = 0; i < c.pieces; ++i) {
      buffers[i].assign(i % 3 == 2 ? 0 : c.pieceBytes, 0xEE);
      pieces.emplace_back(buffers[i]);
    }
    std::size_t got = 99;
    const auto read = f->ReadScattered(c.offset, pieces, &got);
    EXPECT_EQ(read.ok(), !c.faultAt);
    EXPECT_EQ(got, c.expected);
    if (read.ok()) {
      EXPECT_EQ(*read, c.expected);
    }
    testing::Bytes joined;
    for (const testing::Bytes& b : buffers) joined.insert(joined.end(), b.begin(), b.end());
    const auto end = file.begin() + static_cast<std::ptrdiff_t>(c.offset + c.expected);
    EXPECT_TRUE(std::equal(file.begin() + static_cast<std::ptrdiff_t>(c.offset), end, joined.begin()));
    EXPECT_TRUE(std::all_of(joined.begin() + static_cast<std::ptrdiff_t>(c.expected), joined.end(),
                            [](std::uint8_t b) { return b == 0xEE; }));
  }
  TestHooks() = {};
}

#ifdef _WIN32
TEST(File, NothingThatIsNotAFileIsWaitedOnOrEmptied) {
  // A pipe may never end and a character device has no end to measure.
  const std::string pipe = "\\\\.\\pipe\\folvane-test-" + std::to_string(::GetCurrentProcessId());
  const auto widePipe = testing::FsPath(pipe).wstring();
  const HANDLE server = ::CreateNamedPipeW(widePipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, PIPE_UNLIMITED_INSTANCES,
                                           4096, 4096, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  struct Case {
    const char* name;
    std::function<Status()> open;
  } cases[] = {
      {"read a pipe", [&] { auto f = File::OpenRead(pipe); return f ? Status() : Status(f.error()); }},
      {"read a character device", [] { auto f = File::OpenRead("NUL"); return f ? Status() : Status(f.error()); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Status s = c.open();
    ASSERT_FALSE(s.ok());
    EXPECT_TRUE(s.error().notAFile);
  }
  ::CloseHandle(server);
  EXPECT_TRUE(File::CreateWrite("NUL").ok()) << "devices are still written in place";
  EXPECT_TRUE(ProbeCreate("NUL").ok());
}
#else
TEST(File, NothingThatIsNotAFileIsWaitedOnOrEmptied) {
  // A FIFO would block an open for ever; a character device has no end to measure.
  TempDir dir;
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  struct Case {
    const char* name;
    std::function<Status()> open;
  } cases[] = {
      {"read a FIFO", [&] { auto f = File::OpenRead(fifo); return f ? Status() : Status(f.error()); }},
      {"create over a FIFO", [&] { auto f = File::CreateWrite(fifo); return f ? Status() : Status(f.error()); }},
      {"replace a FIFO", [&] { auto f = File::CreateReplacement(fifo); return f ? Status() : Status(f.error()); }},
      {"probe a FIFO", [&] { return ProbeCreate(fifo); }},
      {"read a character device", [] { auto f = File::OpenRead("/dev/zero"); return f ? Status() : Status(f.error()); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Status s = c.open();
    ASSERT_FALSE(s.ok());
    EXPECT_TRUE(s.error().notAFile);
  }
  EXPECT_TRUE(File::CreateWrite("/dev/null").ok()) << "devices are still written in place";
  EXPECT_TRUE(ProbeCreate("/dev/null").ok());
}
#endif

TEST(File, ABlockDeviceIsMeasuredByItsCapacity) {
  // stat says 0 for a block device; an image on one is as long as the device. A loop
  // device over a 3 MiB file stands for a flash device where the system lets us.
#ifdef _WIN32
  GTEST_SKIP() << "loop devices are a Linux facility";
#else
  TempDir dir;
  testing::WriteFile(dir / "backing", testing::Pattern(3 << 20, 5));
  std::string device;
  if (FILE* p = ::popen(("losetup -f --show '" + dir / "backing" + "' 2>/dev/null").c_str(), "r")) {
    char line[256] = {};
    if (std::fgets(line, sizeof line, p)) device = std::string(line, std::strcspn(line, "\n"));
    ::pclose(p);
  }
  if (device.empty()) GTEST_SKIP() << "no loop device can be set up here";
  const auto size = MeasureFile(device);
  [[maybe_unused]] const int detached = std::system(("losetup -d '" + device + "'").c_str());
  ASSERT_TRUE(size.ok()) << size.error().Message();
  EXPECT_EQ(*size, 3u << 20);
#endif
}

TEST(File, ReplacementTakesTheOldFilesPlaceOnlyOnCommit) {
  TempDir dir;
  const std::string out = dir / "out.bin";
  testing::WriteText(out, "old");
#ifndef _WIN32
  ::chmod(out.c_str(), 0640);
#endif
  auto names = [&] {
    std::vector<std::string> all;
    for (const auto& e : std::filesystem::directory_iterator(testing::FsPath(dir.str()))) {
      all.push_back(testing::Utf8Path(e.path().filename()));
    }
    std::sort(all.begin(), all.end());
    return all;
  };
  {
    auto f = File::CreateReplacement(out);
    ASSERT_TRUE(f.ok());
    EXPECT_FALSE(File::CreateReplacement(out).ok()) << "a second writer is refused as before";
    ASSERT_TRUE(f->Write(testing::Pattern(5, 1)).ok());
    EXPECT_EQ(testing::ReadFile(out), (testing::Bytes{'o', 'l', 'd'}));
    const auto during = names();
    ASSERT_EQ(during.size(), 2u);
    EXPECT_EQ(during[1].rfind("out.bin.folvane-partial-", 0), 0u) << "a leftover says what it is";
  }  // dropped without Commit
  EXPECT_EQ(testing::ReadFile(out), (testing::Bytes{'o', 'l', 'd'}));
  EXPECT_EQ(names(), std::vector<std::string>{"out.bin"});

  auto f = File::CreateReplacement(out);
  ASSERT_TRUE(f.ok());
  ASSERT_TRUE(f->Write(testing::Pattern(5, 1)).ok());
  ASSERT_TRUE(f->Commit().ok());
  f->Close();
  EXPECT_EQ(testing::ReadFile(out), testing::Pattern(5, 1));
  EXPECT_EQ(names(), std::vector<std::string>{"out.bin"});
#ifndef _WIN32  // Windows files carry no permission bits; the folder's ACL applies
  struct stat st {};
  ASSERT_EQ(::stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u) << "the replaced file's permission bits are kept";
#endif
}

TEST(File, AnOutputNameTooLongForItsPartialNameTakesAShortOneOnEverySystem) {
  TempDir dir;
  // 250 characters fit one name on every system, with the partial suffix they do not.
  const std::string out = dir / std::string(250, 'n');
  for (const bool exists : {false, true}) {
    SCOPED_TRACE(exists ? "existing" : "new");
    auto f = File::CreateReplacement(out);
    ASSERT_TRUE(f.ok()) << f.error().Message();
    bool shortName = false;
    for (const auto& e : std::filesystem::directory_iterator(testing::FsPath(dir.str()))) {
      shortName |= e.path().filename().u8string().rfind(u8"folvane-partial-", 0) == 0;
    }
    EXPECT_TRUE(shortName);
    ASSERT_TRUE(f->Write(testing::Pattern(6, exists ? 2 : 1)).ok());
    ASSERT_TRUE(f->Commit().ok());
    EXPECT_EQ(testing::ReadFile(out), testing::Pattern(6, exists ? 2 : 1));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(testing::FsPath(dir.str())), {}), 1);
  }
}

#ifndef _WIN32
// ---- replacing an output so that nobody else can tell ------------------------------

constexpr uid_t kHelper = 1001;  // a second user; any uid will do as root

bool WriteAndCommit(const std::string& path, const testing::Bytes& bytes, InPlaceReason* reason = nullptr) {
  auto f = File::CreateReplacement(path);
  if (!f) return false;
  if (reason) *reason = f->InPlace();
  return f->Write(bytes).ok() && f->Commit().ok();
}

// Runs `body` in a child process as the helper user; its exit status.
int AsHelper(const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(kHelper, kHelper, kHelper) != 0 ||
        ::setresuid(kHelper, kHelper, kHelper) != 0) {
      ::_exit(99);
    }
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Shown {
  uid_t uid;
  gid_t gid;
  mode_t mode;
  std::vector<std::pair<std::string, std::string>> xattrs;
  bool operator==(const Shown&) const = default;
};

Shown ShownBy(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  Shown s{st.st_uid, st.st_gid, static_cast<mode_t>(st.st_mode & 07777), {}};
  std::vector<char> names(4096);
  const ssize_t n = ::listxattr(path.c_str(), names.data(), names.size());
  for (ssize_t i = 0; i < n; i += static_cast<ssize_t>(std::strlen(names.data() + i)) + 1) {
    std::vector<char> value(4096);
    const ssize_t v = ::getxattr(path.c_str(), names.data() + i, value.data(), value.size());
    s.xattrs.emplace_back(names.data() + i, std::string(value.data(), static_cast<std::size_t>(std::max<ssize_t>(v, 0))));
  }
  std::sort(s.xattrs.begin(), s.xattrs.end());
  return s;
}

// An access ACL as the kernel stores it: user::rw- user:1001:r-- group::--- mask::r-- other::---.
// An ACL as the kernel stores it, from the permissions of user::, user:1001:, group::,
// mask:: and other::.
std::string Acl(std::uint32_t owner, std::uint32_t helper, std::uint32_t group, std::uint32_t mask, std::uint32_t other) {
  std::string acl;
  auto put = [&](std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) acl.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  };
  put(2, 4);  // version
  const std::uint32_t entries[][3] = {{0x01, owner, 0xFFFFFFFF}, {0x02, helper, kHelper}, {0x04, group, 0xFFFFFFFF},
                                      {0x10, mask, 0xFFFFFFFF}, {0x20, other, 0xFFFFFFFF}};
  for (const auto& e : entries) {
    put(e[0], 2);
    put(e[1], 2);
    put(e[2], 4);
  }
  return acl;
}

// user::rw- user:1001:r-- group::--- mask::r-- other::---.
std::string AclGivingHelperRead() { return Acl(6, 4, 0, 4, 0); }

TEST(Replacement, TheNewFileShowsWhatTheOldOneShowedFromItsFirstByte) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving a file another user's ownership needs root";
  struct Case {
    const char* name;
    std::function<void(const std::string&)> setUp;
    mode_t mode;  // expected afterwards
  } cases[] = {
      {"another user's setuid program",
       [](const std::string& p) {
         ASSERT_EQ(::chown(p.c_str(), kHelper, kHelper), 0);
         ASSERT_EQ(::chmod(p.c_str(), 04755), 0);
       },
       0755},
      {"another user's 0640 file",
       [](const std::string& p) {
         ASSERT_EQ(::chown(p.c_str(), kHelper, kHelper), 0);
         ASSERT_EQ(::chmod(p.c_str(), 0640), 0);
       },
       0640},
      {"a 0600 file with a user ACL and an attribute",
       [](const std::string& p) {
         ASSERT_EQ(::chmod(p.c_str(), 0600), 0);
         const std::string acl = AclGivingHelperRead();
         if (::setxattr(p.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0 ||
             ::setxattr(p.c_str(), "user.origin", "lab", 3, 0) != 0) {
           GTEST_SKIP() << "this file system keeps no ACLs or user attributes";
         }
       },
       0640},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string out = dir / "out.bin";
    testing::WriteText(out, "old bytes");
    c.setUp(out);
    if (::testing::Test::IsSkipped()) return;
    Shown before = ShownBy(out);
    before.mode = c.mode;
    auto f = File::CreateReplacement(out);
    ASSERT_TRUE(f.ok()) << f.error().Message();
    EXPECT_EQ(f->InPlace(), InPlaceReason::None);
    // Before the first byte the new file already shows what the result will.
    std::string partial;
    for (const auto& e : std::filesystem::directory_iterator(dir.str())) {
      if (e.path().filename().string().find("folvane-partial") != std::string::npos) partial = e.path().string();
    }
    ASSERT_FALSE(partial.empty());
    EXPECT_EQ(ShownBy(partial), before);
    ASSERT_TRUE(f->Write(testing::Pattern(7, 1)).ok());
    ASSERT_TRUE(f->Commit().ok());
    EXPECT_EQ(testing::ReadFile(out), testing::Pattern(7, 1));
    EXPECT_EQ(ShownBy(out), before);
  }
}

TEST(Replacement, ANewOutputShowsWhatAnyFileCreatedThereShows) {
  for (const bool defaultAcl : {false, true}) {
    SCOPED_TRACE(defaultAcl ? "a folder with a default ACL" : "a plain folder");
    TempDir dir;
    if (defaultAcl) {
      // Others get nothing, the helper may write: not what the umask would give.
      const std::string acl = Acl(7, 6, 6, 6, 0);
      if (::setxattr(dir.str().c_str(), "system.posix_acl_default", acl.data(), acl.size(), 0) != 0) {
        GTEST_SKIP() << "this file system keeps no ACLs";
      }
    }
    ASSERT_TRUE(File::CreateWrite(dir / "written").ok());
    ASSERT_TRUE(WriteAndCommit(dir / "replaced", testing::Pattern(2, 7)));
    EXPECT_EQ(ShownBy(dir / "replaced"), ShownBy(dir / "written"));
  }
}

TEST(Replacement, WhereANewFileWouldShowTheOldOneIsWrittenInPlace) {
  if (::geteuid() != 0) GTEST_SKIP() << "the cases need a second user, set up as root";
  struct Case {
    const char* name;
    mode_t folderMode;
    bool otherLink;
    bool asHelper;
    InPlaceReason expected;
  } cases[] = {
      {"a file with another hard link", 0755, true, false, InPlaceReason::OtherLinks},
      {"a folder the user cannot write", 0755, false, true, InPlaceReason::FolderLocked},
      {"another user's file in a sticky folder", 01777, false, true, InPlaceReason::StickyFolder},
      {"a file whose owner the user cannot give", 0777, false, true, InPlaceReason::Owner},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir top;
    ASSERT_EQ(::chmod(top.str().c_str(), 0755), 0);
    const std::string folder = top / "f";
    ASSERT_EQ(::mkdir(folder.c_str(), c.folderMode), 0);
    ASSERT_EQ(::chmod(folder.c_str(), c.folderMode), 0);
    const std::string out = folder + "/out.bin";
    testing::WriteText(out, "old bytes, longer than the new");
    ASSERT_EQ(::chmod(out.c_str(), 0666), 0);
    if (c.otherLink) {
      ASSERT_EQ(::link(out.c_str(), (top / "other").c_str()), 0);
    }
    InPlaceReason reason = InPlaceReason::None;
    if (c.asHelper) {
      const int status = AsHelper([&] {
        InPlaceReason r = InPlaceReason::None;
        return WriteAndCommit(out, testing::Pattern(5, 2), &r) ? 10 + static_cast<int>(r) : 1;
      });
      ASSERT_GE(status, 10);
      reason = static_cast<InPlaceReason>(status - 10);
    } else {
      ASSERT_TRUE(WriteAndCommit(out, testing::Pattern(5, 2), &reason));
    }
    EXPECT_EQ(reason, c.expected);
    EXPECT_EQ(testing::ReadFile(out), testing::Pattern(5, 2)) << "cut to the new length";
    if (c.otherLink) {
      EXPECT_EQ(testing::ReadFile(top / "other"), testing::Pattern(5, 2));
    }
    struct stat st {};
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u) << "the file keeps its owner";
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1) << "no leftover";
    auto refused = File::CreateReplacement(out, false);
    if (!c.asHelper) {
      ASSERT_FALSE(refused.ok());
      EXPECT_NE(refused.error().detail.find("--no-in-place"), std::string::npos);
    }
  }
}

TEST(Replacement, AProgramsCapabilitiesGoAsWritingIntoItWouldTakeThem) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving a file capabilities needs root";
  TempDir top;
  ASSERT_EQ(::chmod(top.str().c_str(), 0755), 0);
  const std::string folder = top / "f";
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  ASSERT_EQ(::chown(folder.c_str(), kHelper, kHelper), 0);
  const std::string out = folder + "/out.bin";
  testing::WriteText(out, "old program");
  ASSERT_EQ(::chown(out.c_str(), kHelper, kHelper), 0);
  // Revision 2, effective, permitted CAP_NET_RAW: what setcap cap_net_raw+ep stores.
  const std::uint8_t caps[20] = {0x01, 0, 0, 0x02, 0, 0x20};
  if (::setxattr(out.c_str(), "security.capability", caps, sizeof caps, 0) != 0) {
    GTEST_SKIP() << "this file system keeps no capabilities";
  }
  // Its owner, who may not set capabilities, replaces it as check said.
  const int status = AsHelper([&] {
    const auto probe = ProbeReplacement(out, false);
    auto f = File::CreateReplacement(out, false);
    if (!probe || *probe != InPlaceReason::None || !f) return 1;
    return f->Write(testing::Pattern(3, 10)).ok() && f->Commit().ok() ? 0 : 2;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(testing::ReadFile(out), testing::Pattern(3, 10));
  EXPECT_LT(::getxattr(out.c_str(), "security.capability", nullptr, 0), 0);
}

TEST(Replacement, ASymlinkIsFollowedAndTheNewFileLivesBesideItsTarget) {
  TempDir dir;
  std::filesystem::create_directory(dir / "real");
  testing::WriteText(dir / "real/target.bin", "old");
  std::filesystem::create_symlink("real/target.bin", dir / "out.bin");
  auto f = File::CreateReplacement(dir / "out.bin");
  ASSERT_TRUE(f.ok());
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "real"), {}), 2) << "the new file beside the target";
  ASSERT_TRUE(f->Write(testing::Pattern(4, 3)).ok());
  ASSERT_TRUE(f->Commit().ok());
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "out.bin"));
  EXPECT_EQ(testing::ReadFile(dir / "real/target.bin"), testing::Pattern(4, 3));
}

TEST(Replacement, LinksPlantedInAStickyFolderByAnotherUserAreNotFollowed) {
  if (::geteuid() != 0) GTEST_SKIP() << "planting a link as another user needs root";
  TempDir dir;
  const std::string shared = dir / "shared";
  ASSERT_EQ(::mkdir(shared.c_str(), 01777), 0);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  testing::WriteText(dir / "victim", "precious");
  const std::string link = shared + "/out.bin";
  ASSERT_EQ(::symlink((dir / "victim").c_str(), link.c_str()), 0);
  ASSERT_EQ(::lchown(link.c_str(), kHelper, kHelper), 0);
  EXPECT_FALSE(File::CreateWrite(link).ok());
  EXPECT_FALSE(File::CreateReplacement(link).ok());
  EXPECT_FALSE(ProbeCreate(link).ok());
  EXPECT_EQ(testing::ReadFile(dir / "victim").size(), 8u);
  // The folder's owner's link is followed, as the kernel's rule allows.
  ASSERT_EQ(::lchown(link.c_str(), 0, 0), 0);
  EXPECT_TRUE(WriteAndCommit(link, testing::Pattern(2, 4)));
  EXPECT_EQ(testing::ReadFile(dir / "victim"), testing::Pattern(2, 4));
}

// The same links met as folders on the way to the output: another user makes
// shared/build a link to a folder of the writer's own, which holds a file of the
// name the writer means to write in shared/build.
TEST(Replacement, FolderLinksPlantedInAStickyFolderByAnotherUserAreNotFollowed) {
  if (::geteuid() != 0) GTEST_SKIP() << "planting a link as another user needs root";
  TempDir dir;
  const std::string shared = dir / "shared";
  ASSERT_EQ(::mkdir(shared.c_str(), 01777), 0);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  std::filesystem::create_directories(dir / "own/sub");
  testing::WriteText(dir / "own/out.bin", "precious");
  const std::string build = shared + "/build";
  ASSERT_EQ(::symlink((dir / "own").c_str(), build.c_str()), 0);
  ASSERT_EQ(::lchown(build.c_str(), kHelper, kHelper), 0);
  // The writer's own link, in a folder of its own, whose text leads through the planted one.
  ASSERT_EQ(::symlink("../../shared/build/out.bin", (dir / "own/sub/mine.bin").c_str()), 0);
  const std::string paths[] = {build + "/out.bin", build + "/sub/../out.bin", shared + "/./build/new.bin",
                               dir / "own/sub/mine.bin"};
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    const auto denied = [](const Expected<File>& f) { return !f && f.error().cause == FileErrorCause::AccessDenied; };
    EXPECT_TRUE(denied(File::CreateWrite(path)));
    EXPECT_TRUE(denied(File::CreateReplacement(path)));
    EXPECT_FALSE(ProbeCreate(path).ok());
    EXPECT_FALSE(ProbeReplacement(path).ok());
  }
  EXPECT_EQ(testing::ReadFile(dir / "own/out.bin").size(), 8u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "own"), {}), 2) << "nothing created";
  // The folder's owner's link is followed, as the kernel's rule allows.
  ASSERT_EQ(::lchown(build.c_str(), 0, 0), 0);
  EXPECT_TRUE(WriteAndCommit(build + "/sub/../out.bin", testing::Pattern(2, 4)));
  EXPECT_EQ(testing::ReadFile(dir / "own/out.bin"), testing::Pattern(2, 4));
}

// Another user creates the output's name first, readable and writable by everyone,
// in a sticky folder everyone may write: neither root nor a second user writes into
// it (where it could be read and changed) or replaces it (root's new file would take
// its owner), by any way of opening an output, and nothing is left beside it.
TEST(Replacement, AFilePlantedByAnotherUserInAStickyFolderIsNotWritten) {
  if (::geteuid() != 0) GTEST_SKIP() << "planting a file as another user needs root";
  constexpr uid_t kPlanter = kHelper + 1;
  const std::pair<const char*, std::function<bool(const std::string&)>> ways[] = {
      {"CreateWrite", [](const std::string& p) { return File::CreateWrite(p).ok(); }},
      {"CreateReplacement", [](const std::string& p) { return File::CreateReplacement(p).ok(); }},
      {"ProbeCreate", [](const std::string& p) { return ProbeCreate(p).ok(); }},
      {"ProbeReplacement", [](const std::string& p) { return ProbeReplacement(p).ok(); }},
  };
  for (const bool asHelper : {false, true}) {
    for (const auto& [name, open] : ways) {
      SCOPED_TRACE(std::string(name) + (asHelper ? " by a second user" : " by root"));
      TempDir top;
      ASSERT_EQ(::chmod(top.str().c_str(), 0755), 0);
      const std::string shared = top / "shared";
      ASSERT_EQ(::mkdir(shared.c_str(), 01777), 0);
      ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
      const std::string out = shared + "/out.bin";
      testing::WriteText(out, "planted");
      ASSERT_EQ(::chown(out.c_str(), kPlanter, kPlanter), 0);
      ASSERT_EQ(::chmod(out.c_str(), 0666), 0);
      const auto attempt = [&, open = open] {
        if (open(out)) return 1;
        auto f = File::CreateReplacement(out);
        return !f && f.error().cause == FileErrorCause::AccessDenied ? 0 : 2;
      };
      EXPECT_EQ(asHelper ? AsHelper(attempt) : attempt(), 0);
      EXPECT_EQ(testing::ReadFile(out), (testing::Bytes{'p', 'l', 'a', 'n', 't', 'e', 'd'}));
      EXPECT_EQ(std::distance(std::filesystem::directory_iterator(shared), {}), 1) << "no leftover";
    }
  }
  // The writer's own file there is replaced as anywhere else.
  TempDir top;
  const std::string shared = top / "shared";
  ASSERT_EQ(::mkdir(shared.c_str(), 01777), 0);
  ASSERT_EQ(::chown(shared.c_str(), kPlanter, kPlanter), 0);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  testing::WriteText(shared + "/mine.bin", "old");
  EXPECT_TRUE(WriteAndCommit(shared + "/mine.bin", testing::Pattern(2, 6)));
  EXPECT_EQ(testing::ReadFile(shared + "/mine.bin"), testing::Pattern(2, 6));
}

TEST(Replacement, ASecondWriterIsRefusedWhetherTheFileExistsOrNot) {
  for (const bool exists : {false, true}) {
    SCOPED_TRACE(exists ? "existing" : "new");
    TempDir dir;
    if (exists) testing::WriteText(dir / "out.bin", "old");
    auto first = File::CreateReplacement(dir / "out.bin");
    ASSERT_TRUE(first.ok());
    auto second = File::CreateReplacement(dir / "out.bin");
    ASSERT_FALSE(second.ok());
    EXPECT_NE(second.error().detail.find("is writing"), std::string::npos) << second.error().detail;
    EXPECT_FALSE(ProbeReplacement(dir / "out.bin").ok());
    first->Close();
    EXPECT_TRUE(ProbeReplacement(dir / "out.bin").ok()) << "free again";
  }
}

TEST(Replacement, ACommitPutsEveryOutputInPlaceOrNone) {
  TempDir dir;
  testing::WriteText(dir / "a", "old a");
  auto a = File::CreateReplacement(dir / "a");
  auto b = File::CreateReplacement(dir / "b");  // new
  auto c = File::CreateReplacement(dir / "c");  // new, and its new file goes missing
  ASSERT_TRUE(a.ok() && b.ok() && c.ok());
  for (File* f : {&*a, &*b, &*c}) ASSERT_TRUE(f->Write(testing::Pattern(3, 5)).ok());
  for (const auto& e : std::filesystem::directory_iterator(dir.str())) {
    if (e.path().filename().string().rfind("c.folvane-partial-", 0) == 0) std::filesystem::remove(e.path());
  }
  const std::array<File*, 3> all = {&*a, &*b, &*c};
  EXPECT_FALSE(File::CommitAll(all).ok());
  EXPECT_EQ(testing::ReadFile(dir / "a"), (testing::Bytes{'o', 'l', 'd', ' ', 'a'})) << "the first is put back";
  EXPECT_FALSE(std::filesystem::exists(dir / "b"));
  for (File* f : all) f->Close();
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.str()), {}), 1) << "no leftover";
}

TEST(Replacement, WithoutExchangesOrHardLinksOutputsAreStillReplacedTogether) {
  struct PlainRenames {
    PlainRenames() { TestHooks().plainRenamesOnly = true; }
    ~PlainRenames() { TestHooks().plainRenamesOnly = false; }
  } fat;
  TempDir dir;
  testing::WriteText(dir / "a", "old a");
  testing::WriteText(dir / "b", "old b");
  for (const bool complete : {true, false}) {
    SCOPED_TRACE(complete ? "committed" : "the second new file gone");
    auto a = File::CreateReplacement(dir / "a");
    auto b = File::CreateReplacement(dir / "b");
    ASSERT_TRUE(a.ok() && b.ok());
    for (File* f : {&*a, &*b}) ASSERT_TRUE(f->Write(testing::Pattern(4, complete ? 8 : 9)).ok());
    if (!complete) {
      for (const auto& e : std::filesystem::directory_iterator(dir.str())) {
        if (e.path().filename().string().rfind("b.folvane-partial-", 0) == 0) std::filesystem::remove(e.path());
      }
    }
    const std::array<File*, 2> both = {&*a, &*b};
    EXPECT_EQ(File::CommitAll(both).ok(), complete);
    for (File* f : both) f->Close();
    // The failed commit leaves what the first one put in place.
    EXPECT_EQ(testing::ReadFile(dir / "a"), testing::Pattern(4, 8));
    EXPECT_EQ(testing::ReadFile(dir / "b"), testing::Pattern(4, 8));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.str()), {}), 2) << "no leftover";
  }
}

// A signal ends a process that holds new files of replacements: none is left behind,
// whenever it comes and however many outputs are being written.
TEST(Replacement, ASignalLeavesNoNewFileBehind) {
  struct Case {
    const char* name;
    int outputs;
    bool justAfterCreation;
  } cases[] = {
      {"a signal just after the new file is created", 1, true},
      {"more outputs at once than the handler keeps", 40, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const pid_t child = ::fork();
    if (child == 0) {
      RemovePartialOutputsOnSignals();
      if (c.justAfterCreation) TestHooks().partialCreated = [] { ::raise(SIGTERM); };
      std::vector<Expected<File>> files;
      for (int i = 0; i < c.outputs; ++i) files.push_back(File::CreateReplacement(dir / std::to_string(i)));
      ::raise(SIGTERM);
      ::_exit(5);  // not reached
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.str()), {}), 0) << "no leftover";
  }
}
#endif

TEST(File, ProbeCreateTouchesNothing) {
  TempDir dir;
  testing::WriteText(dir / "held", "abc");
  auto reader = File::OpenRead(dir / "held");
  ASSERT_TRUE(reader.ok());
  EXPECT_EQ(ProbeCreate(dir / "held").error().cause, FileErrorCause::SharingViolation);
  EXPECT_EQ(testing::ReadFile(dir / "held").size(), 3u);
  EXPECT_TRUE(ProbeCreate(dir / "new.bin").ok());
  EXPECT_FALSE(std::filesystem::exists(dir / "new.bin"));
  EXPECT_EQ(ProbeCreate(dir / "none/new.bin").error().cause, kMissingFolder);
}

TEST(SameFile, ComparesIdentityNotSpelling) {
  TempDir dir;
  testing::WriteText(dir / "a", "1");
  std::filesystem::create_hard_link(dir / "a", dir / "link");
  std::filesystem::create_directory(dir / "sub");
  EXPECT_TRUE(SameFile(dir / "a", dir / "link"));
  EXPECT_TRUE(SameFile(dir / "a", dir / "sub/../a"));
  EXPECT_TRUE(SameFile(dir / "new", dir / "sub/../new")) << "a file about to be created twice";
  // Windows lets only some users make symbolic links; where none can be made there is
  // no link to follow.
  std::error_code linked;
  std::filesystem::create_symlink("../new", dir / "sub/to-new", linked);
  if (!linked) EXPECT_TRUE(SameFile(dir / "new", dir / "sub/to-new")) << "and once through a link to it";
  EXPECT_FALSE(SameFile(dir / "a", dir / "new"));
  EXPECT_FALSE(SameFile("", ""));
}

}  // namespace
}  // namespace folvane
