#include "io/file_io.hpp"
#include "io/file_io_internal.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "io/utf8_path.hpp"

namespace folvane {

std::string AbsolutePath(const std::string& path) {
  std::error_code ec;
  const auto abs = std::filesystem::absolute(FsPath(path), ec);
  return ec ? path : Utf8Path(abs.lexically_normal());
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
  return MessageNaming(op == FileOp::Write || op == FileOp::Create ? AbsolutePath(path) : std::string(kUnnamedFile));
}

std::string FileError::MessageNaming(std::string_view name) const {
  std::string text(FileErrorTemplate(cause));
  if (const auto at = text.find("%1"); at != std::string::npos) text.replace(at, 2, name);
  return text;
}

std::string FileError::Line() const {
  if ((op == FileOp::Open || notAFile) && !detail.empty()) return detail;
  return MessageNaming(path);
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
  // A link to a file not yet created names that file: the links a path ends in are
  // followed by hand, since the canonical form stops at the first name that is missing.
  const auto spelled = [](const std::string& path, std::error_code& ec) {
    std::filesystem::path p = std::filesystem::absolute(FsPath(path), ec);
    for (int hops = 0; !ec && hops < 40 && std::filesystem::is_symlink(p, ec); ++hops) {
      p = p.parent_path() / std::filesystem::read_symlink(p, ec);
    }
    return std::filesystem::weakly_canonical(p, ec);
  };
  std::error_code ea, eb;
  const auto pa = spelled(a, ea);
  const auto pb = spelled(b, eb);
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

Expected<std::size_t> ReadPieceByPiece(File& file, std::uint64_t offset,
                                       std::span<const std::span<std::uint8_t>> pieces, std::size_t* got) {
  std::size_t done = 0;
  if (got) *got = 0;
  for (const std::span<std::uint8_t> piece : pieces) {
    std::size_t n = 0;
    auto read = file.ReadAt(offset + done, piece, &n);
    done += n;
    if (got) *got = done;
    if (!read) return read.error();
    if (n < piece.size()) break;
  }
  return done;
}

std::string_view InPlaceText(InPlaceReason reason) {
  switch (reason) {
    case InPlaceReason::None: return "it is replaced";
    case InPlaceReason::Device: return "it is a device";
    case InPlaceReason::FolderLocked: return "its folder does not let this user create or rename files";
    case InPlaceReason::OtherLinks: return "it has other hard links, which would keep the old bytes";
    case InPlaceReason::Owner: return "this user cannot give a new file its owner and group";
    case InPlaceReason::StickyFolder: return "its sticky folder lets only the file's or the folder's owner rename it";
    case InPlaceReason::Attributes: return "its ACL or extended attributes cannot be given to a new file";
  }
  return "it is replaced";
}

// ---- new files of uncommitted replacements, for a signal handler to remove ----------

namespace {

// Fixed storage, so that a signal handler (or Windows' console handler, on a thread of
// its own) reads no heap and takes no lock.
// Set while CommitAll exchanges outputs, with the thread that does.
std::atomic<bool> gCommitting{false};
std::atomic<std::thread::id> gCommitter{};
// Signal handlers removing partial files right now: the commit does not start its
// exchanges under one that began before it.
std::atomic<int> gCleaning{0};

constexpr std::size_t kPartialSlots = 16;
constexpr std::size_t kPartialBytes = 4096 * 3;
std::array<std::array<char, kPartialBytes>, kPartialSlots> gPartialPaths{};
std::array<std::atomic<bool>, kPartialSlots> gPartialUsed{};

// False when every slot is taken: a new file that no handler would remove is not kept.
bool RegisterPartial(const std::string& path) {
  if (path.size() >= kPartialBytes) return false;
  for (std::size_t i = 0; i < kPartialSlots; ++i) {
    if (gPartialUsed[i].load()) continue;
    std::memcpy(gPartialPaths[i].data(), path.c_str(), path.size() + 1);
    gPartialUsed[i].store(true);
    return true;
  }
  return false;
}

void UnregisterPartial(const std::string& path) {
  for (std::size_t i = 0; i < kPartialSlots; ++i) {
    if (gPartialUsed[i].load() && path == gPartialPaths[i].data()) gPartialUsed[i].store(false);
  }
}

// "<name>.folvane-partial-<pid>[-<attempt>]", or where that is too long for one name
// "folvane-partial-<pid>-<attempt>": the same on every system, measured by its rule.
// A folder whose file system counts a name in other units than the system does (a
// share served from another system) may refuse the long form all the same: the merge
// then takes the short one.
constexpr std::string_view kPartialMark = ".folvane-partial-";
constexpr std::string_view kShortPartialMark = kPartialMark.substr(1);

std::string PartialLeaf(const std::string& name, int attempt, bool shortForm) {
  std::string leaf = name;
  leaf.append(kPartialMark).append(sys::ProcessId());
  if (attempt) leaf.append("-").append(std::to_string(attempt));
  if (shortForm || !sys::LeafFits(leaf)) leaf = std::string(kShortPartialMark) + sys::ProcessId() + "-" + std::to_string(attempt);
  return leaf;
}

// The prefixes the partial files of every merge writing `name` may carry: the long
// form where it fits, and the short form, which names no output.
std::vector<std::string> PartialPrefixes(const std::string& name) {
  std::string full = name + std::string(kPartialMark);
  std::vector<std::string> prefixes{std::string(kShortPartialMark)};
  if (sys::LeafFits(full + "4294967295-99")) prefixes.push_back(std::move(full));
  return prefixes;
}

// Another merge writing the same file holds its partial file open beside it: found
// by name and by its lock, so that a leftover of a killed run does not count. Every
// merge creates its own partial file before it looks, so of two that start together
// at least the second sees the first. A merge whose own partial name has the long
// form looks for that form only: a short one beside it belongs to another output,
// since the same folder refuses the long form to every merge alike.
std::optional<std::string> OtherWriter(const std::string& target, const std::string& own) {
  const std::string folder = sys::FolderOf(target);
  std::vector<std::string> prefixes = PartialPrefixes(sys::NameOf(target));
  if (!own.empty() && sys::NameOf(own).rfind(kShortPartialMark, 0) != 0) prefixes.erase(prefixes.begin());
  std::error_code ec;
  for (std::filesystem::directory_iterator it(FsPath(folder), ec), end; !ec && it != end; it.increment(ec)) {
    const std::string leaf = Utf8Path(it->path().filename());
    const bool named = std::any_of(prefixes.begin(), prefixes.end(),
                                   [&](const std::string& prefix) { return leaf.rfind(prefix, 0) == 0; });
    if (!named) continue;
    const std::string path = sys::Join(folder, leaf);
    if (path != own && sys::HeldByWriter(path)) return path;
  }
  return std::nullopt;
}

FileError Busy(const std::string& path, const std::string& other) {
  FileError e{FileErrorCause::SharingViolation, FileOp::Create, path, 0};
  e.detail = "another merge is writing " + path + " (its new file is " + other + ")";
  return e;
}

FileError MustReplace(const std::string& path, InPlaceReason reason) {
  FileError e{FileErrorCause::AccessDenied, FileOp::Create, path, 0};
  e.detail = path + " cannot be replaced unseen (" + std::string(InPlaceText(reason)) +
             ") and --no-in-place forbids writing it in place";
  return e;
}

}  // namespace

void RemovePartialOutputs() noexcept {
  // Taken on another thread (a digest thread, or the thread Windows runs Ctrl+C on)
  // while the outputs are exchanged, the signal waits for the last exchange: a
  // partial name then holds an old output, and removing it would lose that output
  // while the others are new. On the exchanging thread itself (a crash there) it
  // does not wait for itself.
  const bool committer = gCommitter.load() == std::this_thread::get_id();
  for (;;) {
    while (!committer && gCommitting.load()) sys::PauseBriefly();
    gCleaning.fetch_add(1);
    // Either the commit sees this handler and waits for it, or the handler sees the
    // commit and waits for its end.
    if (committer || !gCommitting.load()) break;
    gCleaning.fetch_sub(1);
  }
  for (std::size_t i = 0; i < kPartialSlots; ++i) {
    if (gPartialUsed[i].load()) sys::RemoveFile(gPartialPaths[i].data());
  }
  gCleaning.fetch_sub(1);
}

// ---- File: what both systems share --------------------------------------------------

File::File(File&& other) noexcept { *this = std::move(other); }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, kNoHandle);
    path_ = std::move(other.path_);
    regular_ = other.regular_;
    openedSize_ = other.openedSize_;
    partialPath_ = std::exchange(other.partialPath_, {});
    target_ = std::move(other.target_);
    targetExisted_ = other.targetExisted_;
    destination_ = std::exchange(other.destination_, kNoHandle);
    inPlace_ = std::exchange(other.inPlace_, InPlaceReason::None);
  }
  return *this;
}

File::~File() { Close(); }

void File::Close() {
  if (handle_ != kNoHandle && sys::kOpenFilesPinned) sys::CloseHandle(std::exchange(handle_, kNoHandle));
  if (!partialPath_.empty()) {
    // Never committed: the destination keeps its old bytes and the new file goes,
    // removed while its lock is still held where the system allows it.
    sys::RemoveFile(partialPath_.c_str());
    UnregisterPartial(partialPath_);
    partialPath_.clear();
  }
  if (handle_ != kNoHandle) sys::CloseHandle(std::exchange(handle_, kNoHandle));
  if (destination_ != kNoHandle) sys::CloseHandle(std::exchange(destination_, kNoHandle));
  inPlace_ = InPlaceReason::None;
}

Status File::Write(std::span<const std::uint8_t> data, std::size_t* written) {
  std::uint64_t done = 0;
  Status s = WriteRepeated(data, data.size(), &done);
  if (written) *written = static_cast<std::size_t>(done);
  return s;
}

Expected<std::intptr_t> File::CreatePartial(const std::string& path, const std::string& target, bool exists) {
  const std::string folder = sys::FolderOf(target);
  const std::string name = sys::NameOf(target);
  int error = 0;
  bool shortForm = false;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string leaf = PartialLeaf(name, attempt, shortForm);
    const std::string partial = sys::Join(folder, leaf);
    // Signals wait from the creation to the registration: one in between would leave
    // the new file behind.
    sys::HoldSignals();
    std::intptr_t fresh = sys::CreateNew(partial, exists, error);
    bool known = true;
    if (fresh != kNoHandle) {
      if (TestHooks().partialCreated) TestHooks().partialCreated();
      known = RegisterPartial(partial);
      if (known) {
        partialPath_ = partial;
      } else {
        sys::RemoveFile(partial.c_str());
        sys::CloseHandle(std::exchange(fresh, kNoHandle));
      }
    }
    sys::ReleaseSignals();
    if (!known) {
      FileError e{FileErrorCause::TooManyOpenFiles, FileOp::Create, path, 0};
      e.detail = "more outputs are being replaced at once than an interrupted merge could clean up";
      return e;
    }
    if (fresh != kNoHandle) return fresh;
    if (error != sys::kExists && !shortForm && leaf.rfind(kShortPartialMark, 0) != 0) {
      shortForm = true;  // refused in its long form: the short one, from the first attempt
      attempt = -1;
    } else if (error != sys::kExists) {
      break;
    }
  }
  return OpenFailure(FileOp::Create, path, error);
}

Expected<File> File::CreateReplacement(const std::string& path, bool allowInPlace) {
  if (path.empty()) return OpenFailure(FileOp::Create, path, sys::kNotFound);
  auto plan = sys::PlanReplacement(path);
  if (!plan) return plan.error();
  if (plan->inPlace == InPlaceReason::Device) {
    auto device = CreateWrite(plan->target);
    if (device) {
      device->path_ = path;
      device->inPlace_ = InPlaceReason::Device;
    }
    return device;
  }
  if (plan->inPlace != InPlaceReason::None && !allowInPlace) return MustReplace(path, plan->inPlace);

  int error = 0;
  // Held, not emptied: it is refused where CreateWrite would refuse it, and no other
  // copy of the program starts on it while the new file is written.
  std::intptr_t held = kNoHandle;
  if (plan->exists) {
    held = sys::OpenExisting(plan->target, error);
    if (held == kNoHandle) {
      FileError e = OpenFailure(FileOp::Create, path, error);
      if (error == sys::kSharing) e.detail = "another merge or program is writing or reading " + path;
      return e;
    }
  }
  File file(kNoHandle, path);
  file.target_ = plan->target;
  file.targetExisted_ = plan->exists;
  file.inPlace_ = plan->inPlace;
  if (plan->inPlace == InPlaceReason::None) {
    auto fresh = file.CreatePartial(path, plan->target, plan->exists);
    if (!fresh) {
      if (held != kNoHandle) sys::CloseHandle(held);
      return fresh.error();
    }
    file.handle_ = *fresh;
    file.destination_ = held;
    if (const auto other = OtherWriter(plan->target, file.partialPath_)) return Busy(path, *other);
    // Before its first byte the new file shows what the old one shows; where it
    // cannot, the old file is written in place after all.
    const InPlaceReason adopted = sys::Adopt(*fresh, held, error);
    if (error != 0) return OpenFailure(FileOp::Create, path, error);
    if (adopted == InPlaceReason::None) return file;
    if (!allowInPlace) return MustReplace(path, adopted);
    file.Close();
    file = File(kNoHandle, path);
    file.target_ = plan->target;
    file.targetExisted_ = true;
    file.inPlace_ = adopted;
    held = sys::OpenExisting(plan->target, error);
    if (held == kNoHandle) return OpenFailure(FileOp::Create, path, error);
  }
  file.handle_ = held;
  if (const auto other = OtherWriter(plan->target, {})) return Busy(path, *other);
  sys::DropSetId(held);
  return file;
}

Expected<InPlaceReason> ProbeReplacement(const std::string& path, bool allowInPlace) {
  if (path.empty()) return OpenFailure(FileOp::Create, path, sys::kNotFound);
  auto plan = sys::PlanReplacement(path);
  if (!plan) return plan.error();
  if (plan->inPlace != InPlaceReason::None && plan->inPlace != InPlaceReason::Device && !allowInPlace) {
    return MustReplace(path, plan->inPlace);
  }
  if (Status s = ProbeCreate(plan->target); !s) {
    FileError e = s.error();
    e.path = path;
    return e;
  }
  if (const auto other = OtherWriter(plan->target, {})) return Busy(path, *other);
  return plan->inPlace;
}

Status File::PrepareCommit() {
  // A device keeps its size; what was written is forced to it where it can be.
  if (inPlace_ == InPlaceReason::Device) return Sync();
  if (inPlace_ != InPlaceReason::None) {
    // Written over the old bytes from the start: what lies beyond the new end goes.
    if (const int error = sys::EndHere(handle_); error != 0) return Fail(FileOp::Write, error);
    return Sync();
  }
  if (partialPath_.empty()) return {};
  if (Status s = Sync(); !s) return s;
  if (sys::kOpenFilesPinned) {
    sys::CloseHandle(std::exchange(handle_, kNoHandle));
    if (destination_ != kNoHandle) sys::CloseHandle(std::exchange(destination_, kNoHandle));
  }
  return {};
}

void File::FinishCommit() {
  if (!partialPath_.empty()) {
    // The exchange left the old file under the partial name (nothing, for a file
    // that did not exist): it goes with the name.
    sys::RemoveFile(partialPath_.c_str());
    UnregisterPartial(partialPath_);
    partialPath_.clear();
  }
  inPlace_ = InPlaceReason::None;
  Close();
}

Status File::Commit() {
  File* self = this;
  return CommitAll(std::span<File* const>(&self, 1));
}

Status File::CommitAll(std::span<File* const> files) {
  for (File* f : files) {
    if (Status s = f->PrepareCommit(); !s) return s;
  }
  std::vector<File*> done;
  std::optional<FileError> failure;
  sys::HoldSignals();
  gCommitter.store(std::this_thread::get_id());
  gCommitting.store(true);
  while (gCleaning.load() != 0) sys::PauseBriefly();  // a handler already removing: the process is ending
  for (File* f : files) {
    if (f->partialPath_.empty()) continue;
    if (!done.empty() && TestHooks().betweenExchanges) TestHooks().betweenExchanges();
    if (const int error = sys::Install(f->partialPath_, f->target_, f->targetExisted_); error != 0) {
      failure = FileError{ClassifySystemError(error), FileOp::Write, f->path_, error};
      break;
    }
    done.push_back(f);
  }
  if (failure) {
    // Those already exchanged go back, the last first: the outputs stay as they were.
    for (auto it = done.rbegin(); it != done.rend(); ++it) {
      sys::Uninstall((*it)->partialPath_, (*it)->target_, (*it)->targetExisted_);
    }
  } else {
    for (File* f : files) f->FinishCommit();
  }
  gCommitting.store(false);
  sys::ReleaseSignals();
  if (failure) return *failure;
  return {};
}

FileLayerTestHooks& TestHooks() {
  static FileLayerTestHooks hooks;
  return hooks;
}

}  // namespace folvane
