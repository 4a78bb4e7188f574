#include "io/file_io.hpp"
#include "io/file_io_internal.hpp"

#include <filesystem>

namespace folvane {

namespace {
// Paths are UTF-8 inside the program. std::filesystem would take a plain std::string
// in the system's code page on Windows, so every path crosses as UTF-8 explicitly.
std::filesystem::path FsPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}
std::string Utf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}
}  // namespace

std::string AbsolutePath(const std::string& path) {
  std::error_code ec;
  const auto abs = std::filesystem::absolute(FsPath(path), ec);
  return ec ? path : Utf8(abs.lexically_normal());
}

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

std::string FileError::Message() const {
  std::string name;
  if (op == FileOp::Write || op == FileOp::Create) {
    name = AbsolutePath(path);
  } else {
    name = kUnnamedFile;
  }
  std::string text(FileErrorTemplate(cause));
  if (const auto at = text.find("%1"); at != std::string::npos) text.replace(at, 2, name);
  return text;
}

Expected<std::uint64_t> MeasureFile(const std::string& path) {
  auto file = File::OpenRead(path);
  if (!file) return file.error();
  return file->OpenedSize();
}

bool SameFile(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return false;
  const auto ia = IdentityOf(a);
  const auto ib = IdentityOf(b);
  if (ia && ib) return *ia == *ib;
  if (ia || ib) return false;
  std::error_code ea, eb;
  const auto pa = std::filesystem::weakly_canonical(std::filesystem::absolute(FsPath(a), ea), ea);
  const auto pb = std::filesystem::weakly_canonical(std::filesystem::absolute(FsPath(b), eb), eb);
  return !ea && !eb && pa == pb;
}

FileError OpenFailure(FileOp op, const std::string& path, int error) {
  return FileError{ClassifySystemError(error), op, path, error};
}

FileError NotAFile(FileOp op, const std::string& path) {
  FileError e{FileErrorCause::AccessDenied, op, path, 0};
  e.notAFile = true;
  return e;
}

FileLayerTestHooks& TestHooks() {
  static FileLayerTestHooks hooks;
  return hooks;
}

}  // namespace folvane
