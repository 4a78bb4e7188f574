#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

#include "file_io.hpp"
#include "test_support.hpp"

namespace folvane {
namespace {

using testing::TempDir;

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

TEST(FileError, WritesNameTheFullPathReadsAndSeeksDoNot) {
  const std::string abs = (std::filesystem::current_path() / "out.bin").string();
  EXPECT_EQ((FileError{FileErrorCause::DiskFull, FileOp::Write, "out.bin"}.Message()), "在存取 " + abs + " 时磁盘已满。");
  EXPECT_EQ((FileError{FileErrorCause::AccessDenied, FileOp::Create, "/a/./b"}.Message()), "对 /a/b 的存取被拒绝。");
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
      {"missing folder", dir / "none/out.bin", true, FileErrorCause::FileNotFound},
      {"empty path", "", true, FileErrorCause::FileNotFound},
      {"file used as a folder", dir / "plain/out.bin", true, FileErrorCause::BadPath},
      {"folder read as a file", dir / "folder", false, FileErrorCause::AccessDenied},
      {"folder written as a file", dir / "folder", true, FileErrorCause::AccessDenied},
      {"name too long", dir / std::string(300, 'n'), true, FileErrorCause::BadPath},
      {"no access", DeniedPath(dir), true, FileErrorCause::AccessDenied},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
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

TEST(File, WriteToAFullDiskIsDiskFullWithThePath) {
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

TEST(File, ABlockDeviceIsMeasuredByItsCapacity) {
  // stat says 0 for a block device; an image on one is as long as the device. A loop
  // device over a 3 MiB file stands for a flash device where the system lets us.
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
  std::system(("losetup -d '" + device + "'").c_str());
  ASSERT_TRUE(size.ok()) << size.error().Message();
  EXPECT_EQ(*size, 3u << 20);
}

TEST(File, ReplacementTakesTheOldFilesPlaceOnlyOnCommit) {
  TempDir dir;
  const std::string out = dir / "out.bin";
  testing::WriteText(out, "old");
  ::chmod(out.c_str(), 0640);
  auto names = [&] {
    std::vector<std::string> all;
    for (const auto& e : std::filesystem::directory_iterator(dir.str())) all.push_back(e.path().filename());
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
  struct stat st {};
  ASSERT_EQ(::stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u) << "the replaced file's permission bits are kept";
}

TEST(File, ProbeCreateTouchesNothing) {
  TempDir dir;
  testing::WriteText(dir / "held", "abc");
  auto reader = File::OpenRead(dir / "held");
  ASSERT_TRUE(reader.ok());
  EXPECT_EQ(ProbeCreate(dir / "held").error().cause, FileErrorCause::SharingViolation);
  EXPECT_EQ(testing::ReadFile(dir / "held").size(), 3u);
  EXPECT_TRUE(ProbeCreate(dir / "new.bin").ok());
  EXPECT_FALSE(std::filesystem::exists(dir / "new.bin"));
  EXPECT_EQ(ProbeCreate(dir / "none/new.bin").error().cause, FileErrorCause::FileNotFound);
}

TEST(SameFile, ComparesIdentityNotSpelling) {
  TempDir dir;
  testing::WriteText(dir / "a", "1");
  std::filesystem::create_hard_link(dir / "a", dir / "link");
  std::filesystem::create_directory(dir / "sub");
  EXPECT_TRUE(SameFile(dir / "a", dir / "link"));
  EXPECT_TRUE(SameFile(dir / "a", dir / "sub/../a"));
  EXPECT_TRUE(SameFile(dir / "new", dir / "sub/../new")) << "a file about to be created twice";
  EXPECT_FALSE(SameFile(dir / "a", dir / "new"));
  EXPECT_FALSE(SameFile("", ""));
}

}  // namespace
}  // namespace folvane
