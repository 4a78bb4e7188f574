#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

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
    EXPECT_EQ((FileError{ClassifyErrno(c.error), FileOp::Read, "/x/y", c.error}.Message()), c.text);
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
