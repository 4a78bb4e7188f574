#include "merge/merge.hpp"

#include <algorithm>
#include <numeric>
#include <cstdio>
#include <cstring>
#include <optional>
#include <tuple>

#include "job/stored_text.hpp"

namespace folvane {

bool MergePathTooLong(std::string_view path) { return StoredTextLength(path) > kMergePathChars; }

namespace text {
namespace {
std::string WithRow(const char* pattern, int row) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, pattern, row);
  return buffer;
}
}  // namespace
std::string RowOpenFail(int row) { return WithRow("FILE[%d] open fail", row); }
std::string RowEmpty(int row) { return WithRow("FILE[%d] empty", row); }
std::string RowMerging(int row) { return WithRow("FILE%d MER...", row); }
std::string ImageOpenError(int row) { return WithRow("Image File%d open error", row); }
}  // namespace text

namespace {

// Image blocks the kernel copies in one go before the bar moves: large enough that
// the system calls cost nothing, small enough that the bar moves smoothly.
constexpr std::uint64_t kKernelBatchBytes = std::uint64_t{16} << 20;
// 0xFF fill goes out from one constant buffer of this size, several at a time.
constexpr std::size_t kFillBytes = std::size_t{1} << 20;

// Blocks per kernel copy: about kKernelBatchBytes, and where the block size allows a
// whole number of 64 KiB, so that no batch after the first starts inside a page and
// the kernel copies whole pages (small blocks such as 8448 bytes are not page sized).
std::uint64_t KernelBatchBlocks(std::uint32_t blockSize) {
  const std::uint64_t blocks = std::max<std::uint64_t>(1, kKernelBatchBytes / blockSize);
  const std::uint64_t step = 65536 / std::gcd<std::uint64_t>(blockSize, 65536);
  return blocks >= step ? blocks / step * step : blocks;
}

FileError ChangedImage(const std::string& path) { return FileError{FileErrorCause::BadSeek, FileOp::Seek, path, 0}; }

// "the Data File path is 300 bytes long; ...", for the command line's detail line.
std::string TooLongDetail(const std::string& what, const std::string& path) {
  return what + " path is " + std::to_string(StoredTextLength(path)) + " bytes long; paths may be at most " +
         std::to_string(kMergePathChars) + " bytes";
}

// Image blocks read through the program go to the data image through one buffer of
// whole blocks, so that small blocks do not cost a system call each. Progress
// positions of image blocks are passed to the window only once their bytes have
// reached the file, so the window sees exactly what it would if every block were
// written on its own: a failure leaves the bar at the last block that was really
// written.
class BlockWriter {
 public:
  BlockWriter(File& out, MergeHost& host, MergeTap* tap, std::uint32_t blockSize)
      : out_(out), host_(host), tap_(tap), blockSize_(blockSize) {
    const std::size_t blocks = std::max<std::size_t>(1, (std::size_t{1} << 20) / blockSize);
    buffer_.resize(blocks * blockSize);
  }

  [[nodiscard]] std::size_t FreeBlocks() const { return (buffer_.size() - used_) / blockSize_; }
  std::span<std::uint8_t> FreeSpace() { return std::span(buffer_).subspan(used_); }

  /// Marks `count` image blocks at the start of the free space as filled; `progressFrom`
  /// is the progress position of the first one.
  void Commit(std::size_t count, std::uint32_t progressFrom) {
    if (used_ == 0) firstProgress_ = progressFrom;
    used_ += count * blockSize_;
  }

  /// Writes what is buffered, then reports its blocks' progress positions.
  Status Flush() {
    if (used_ == 0) return {};
    std::size_t written = 0;
    Status status = out_.Write(std::span<const std::uint8_t>(buffer_.data(), used_), &written);
    if (tap_ && written) tap_->DataWritten(std::span<const std::uint8_t>(buffer_.data(), written));
    const std::size_t blocks = written / blockSize_;
    for (std::size_t i = 0; i < blocks; ++i) host_.SetProgressPos(firstProgress_ + static_cast<std::uint32_t>(i));
    used_ = 0;
    return status;
  }

 private:
  File& out_;
  MergeHost& host_;
  MergeTap* tap_;
  std::uint32_t blockSize_;
  std::vector<std::uint8_t> buffer_;
  std::size_t used_ = 0;
  std::uint32_t firstProgress_ = 0;
};

// One run of the merge, in the order the window has always shown it.
class MergeRun {
 public:
  MergeRun(PartitionSet& set, const FlashGeometry& geometry, MergeHost& host, const MergeOptions& options)
      : set_(set), host_(host), options_(options), blockSize_(geometry.blockSize) {}

  MergeResult Run();

 private:
  bool RefreshLeadingRun();
  bool RefuseOutputsThatAreInputs(const std::string& dataPath, const std::string& tablePath);
  bool CreateOutputs(const std::string& dataPath, const std::string& tablePath);
  bool CopyPass(const std::string& dataPath);
  Status WriteFill(std::uint64_t blocks);
  Status CopyImage(File& image, std::uint64_t size);
  void Detail(const std::string& line) {
    if (options_.onDetail) options_.onDetail(line);
  }
  bool Fail(const FileError& error) {
    const std::string message = error.Message();
    host_.ShowMessage(message, MessageIcon::Error);
    // The window's text names no file it read: the command line says which.
    if (message.find(kUnnamedFile) != std::string::npos) Detail(error.MessageNaming(error.path));
    return false;
  }

  PartitionSet& set_;
  MergeHost& host_;
  const MergeOptions& options_;
  const std::uint32_t blockSize_;
  MergeResult result_;
  // Every image the table measured stays open, with its reader's lock, until the merge
  // ends: another copy of the program cannot overwrite one before it is copied.
  std::array<File, kRowCount> images_;
  File data_;
  File table_;
  std::optional<BlockWriter> writer_;
  std::vector<std::uint8_t> fill_;
  std::uint64_t cursor_ = 0;  // bytes of the data image written so far
};

bool MergeRun::RefreshLeadingRun() {
  for (int row = 1; row <= kRowCount && host_.IsRowChecked(row); ++row) {
    PartitionSlot& slot = set_.Slot(row);
    slot.imagePath = host_.GetRowPathText(row);
    auto image = MergePathTooLong(slot.imagePath) ? Expected<File>(FileError{}) : File::OpenRead(slot.imagePath);
    if (!image) {
      host_.ShowMessage(text::RowOpenFail(row), MessageIcon::Warning);
      if (MergePathTooLong(slot.imagePath)) {
        Detail(TooLongDetail("row " + std::to_string(row) + ": the image", slot.imagePath));
      } else if (image.error().notAFile) {
        Detail("row " + std::to_string(row) + ": " + slot.imagePath + " is not a file");
      }
      host_.ClearRowPathText(row);
      return false;
    }
    const std::uint64_t size = image->OpenedSize();
    if (size == 0) {
      image->Close();
      host_.ShowMessage(text::RowEmpty(row), MessageIcon::Warning);
      host_.ClearRowPathText(row);
      return false;
    }
    slot.imageBlocks = ImageBlocksFor(size, blockSize_);
    MergedRow& planned = result_.rows[static_cast<std::size_t>(row - 1)];
    planned.measured = true;
    planned.imageBytes = size;
    images_[static_cast<std::size_t>(row - 1)] = std::move(*image);
  }
  return true;
}

bool MergeRun::RefuseOutputsThatAreInputs(const std::string& dataPath, const std::string& tablePath) {
  if (SameFile(tablePath, dataPath)) {
    host_.ShowMessage(std::string(text::kTableIsData), MessageIcon::Warning);
    return false;
  }
  for (int row = 1; row <= kRowCount; ++row) {
    if (!host_.IsRowChecked(row)) continue;
    const std::string& image = set_.Slot(row).imagePath;
    const char* clash = SameFile(dataPath, image)    ? text::kDataIsImage.data()
                        : SameFile(tablePath, image) ? text::kTableIsImage.data()
                                                     : nullptr;
    if (clash) {
      host_.ShowMessage(clash, MessageIcon::Warning);
      return false;
    }
  }
  return true;
}

bool MergeRun::CreateOutputs(const std::string& dataPath, const std::string& tablePath) {
  if (options_.dryRun && !options_.probeOutputs) return true;
  auto refuse = [&](std::string_view message, const std::string& what, const std::string& path) {
    host_.ShowMessage(std::string(message), MessageIcon::Warning);
    if (MergePathTooLong(path)) Detail(TooLongDetail(what, path));
    return false;
  };
  // A table path that names a FIFO or the like is refused before the data image is
  // created, so that nothing is emptied for a merge that cannot happen.
  if (!MergePathTooLong(tablePath) && !MergePathTooLong(dataPath)) {
    if (const Status probe = ProbeCreate(tablePath); !probe && probe.error().notAFile) {
      host_.ShowMessage(std::string(text::kPointTableFile), MessageIcon::Warning);
      Detail("the Table File " + tablePath + " is not a file");
      return false;
    }
  }
  if (options_.dryRun && !options_.replaceOutputs) {
    if (MergePathTooLong(dataPath) || !ProbeCreate(dataPath)) return refuse(text::kPointDataFile, "the Data File", dataPath);
    if (MergePathTooLong(tablePath) || !ProbeCreate(tablePath)) return refuse(text::kPointTableFile, "the Table File", tablePath);
    return true;
  }
  // A replacement is decided (and every check that can fail made) for both outputs
  // before the first byte is written; a dry run makes the same checks by looking.
  auto open = [&](const std::string& path, std::string_view message, const std::string& what, File& into,
                  InPlaceReason& inPlace) {
    if (MergePathTooLong(path)) return refuse(message, what, path);
    if (options_.dryRun) {
      const auto probe = ProbeReplacement(path, options_.allowInPlace);
      if (!probe) {
        refuse(message, what, path);
        if (!probe.error().detail.empty()) Detail(probe.error().detail);
        return false;
      }
      inPlace = *probe;
      return true;
    }
    auto file = options_.replaceOutputs ? File::CreateReplacement(path, options_.allowInPlace) : File::CreateWrite(path);
    if (!file) {
      refuse(message, what, path);
      if (!file.error().detail.empty()) Detail(file.error().detail);
      return false;
    }
    into = std::move(*file);
    inPlace = into.InPlace();
    return true;
  };
  if (!open(dataPath, text::kPointDataFile, "the Data File", data_, result_.dataInPlace)) return false;
  if (!open(tablePath, text::kPointTableFile, "the Table File", table_, result_.tableInPlace)) return false;
  for (const auto& [what, path, why] : {std::tuple{"the Data File ", &dataPath, result_.dataInPlace},
                                        std::tuple{"the Table File ", &tablePath, result_.tableInPlace}}) {
    if (why != InPlaceReason::None && why != InPlaceReason::Device) {
      Detail(what + *path + (options_.dryRun ? " would be" : " is") + " written in place: " + std::string(InPlaceText(why)));
    }
  }
  return true;
}

Status MergeRun::WriteFill(std::uint64_t blocks) {
  const std::uint64_t bytes = blocks * blockSize_;
  if (bytes == 0 || options_.dryRun) return {};
  if (fill_.empty()) fill_.assign(kFillBytes, 0xFF);
  std::uint64_t written = 0;
  Status status = data_.WriteRepeated(fill_, bytes, &written);
  if (options_.tap) {
    for (std::uint64_t done = 0; done < written;) {
      const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(fill_.size(), written - done));
      options_.tap->DataWritten(std::span<const std::uint8_t>(fill_.data(), piece));
      done += piece;
    }
  }
  return status;
}

// Copies one image of `size` bytes into the data image as the window reports it:
// after every read of a block (the last, empty or partial one included) the bar
// moves to the read's number plus one. Whole blocks go through the kernel where it
// can copy them; the last partial block, and everything where it cannot, through the
// buffer. The image must still be `size` bytes long: any other length ends the merge.
Status MergeRun::CopyImage(File& image, std::uint64_t size) {
  const std::uint64_t whole = size / blockSize_;
  const std::uint64_t rest = size % blockSize_;
  std::uint64_t reads = 0;  // block reads done so far

  bool kernel = options_.tap == nullptr;
  const std::uint64_t batch = KernelBatchBlocks(blockSize_);
  while (kernel && reads < whole) {
    const std::uint64_t want = std::min(batch, whole - reads);
    const File::CopyResult copy = data_.CopyFrom(image, reads * blockSize_, want * blockSize_);
    const std::uint64_t full = copy.copied / blockSize_;
    for (std::uint64_t i = 0; i < full; ++i) host_.SetProgressPos(static_cast<std::uint32_t>(reads + i + 2));
    reads += full;
    cursor_ += full * blockSize_;
    // Part of a block reached the file before the copy stopped: the data image keeps
    // whole blocks only, as when every block is read and written on its own.
    if (copy.copied % blockSize_ != 0) {
      if (Status s = data_.Truncate(cursor_); !s) return s;
    }
    if (copy.error) return *copy.error;
    if (copy.unsupported) kernel = false;
    else if (full < want) return ChangedImage(image.Path());
  }

  BlockWriter& writer = *writer_;
  for (;;) {
    if (writer.FreeBlocks() == 0) {
      if (Status s = writer.Flush(); !s) return s;
    }
    const bool last = reads == whole;  // the partial last block, or the read that finds the end
    const std::size_t blocks = last ? 1 : static_cast<std::size_t>(std::min<std::uint64_t>(writer.FreeBlocks(), whole - reads));
    auto space = writer.FreeSpace().first(blocks * blockSize_);
    std::size_t got = 0;
    const auto read = image.ReadAt(reads * blockSize_, space, &got);
    const auto firstPos = static_cast<std::uint32_t>(reads + 2);
    if (!read || (!last && got != space.size())) {
      // Every whole block read before the failure is written and shown, then the failure.
      const std::size_t done = got / blockSize_;
      writer.Commit(done, firstPos);
      reads += done;
      cursor_ += std::uint64_t{done} * blockSize_;
      if (Status s = writer.Flush(); !s) return s;
      return read ? ChangedImage(image.Path()) : read.error();
    }
    if (!last) {
      writer.Commit(blocks, firstPos);
      reads += blocks;
      cursor_ += std::uint64_t{blocks} * blockSize_;
      continue;
    }
    if (got != rest) {
      if (Status s = writer.Flush(); !s) return s;
      return ChangedImage(image.Path());
    }
    if (rest == 0) {
      // The read that found the end came back empty: it moves the bar all the same.
      if (Status s = writer.Flush(); !s) return s;
      host_.SetProgressPos(firstPos);
      return {};
    }
    // A partial last block is completed with 0xFF and still written whole.
    std::memset(space.data() + got, 0xFF, blockSize_ - got);
    writer.Commit(1, firstPos);
    cursor_ += blockSize_;
    return writer.Flush();
  }
}

bool MergeRun::CopyPass(const std::string& dataPath) {
  if (!options_.dryRun) writer_.emplace(data_, host_, options_.tap, blockSize_);
  for (int row = 1; row <= kRowCount; ++row) {
    const std::size_t index = static_cast<std::size_t>(row - 1);
    if (!result_.rows[index].accepted) continue;
    const PartitionSlot& slot = set_.Slot(row);
    host_.SetStatusText(text::RowMerging(row));
    File& image = images_[index];
    if (!image.IsOpen()) {
      if (auto opened = File::OpenRead(slot.imagePath); opened) image = std::move(*opened);
    }
    std::uint64_t size = 0;
    if (!image.IsOpen()) {
      // The fill and the range still come; the copy then fails on the image that is
      // not open.
      host_.ShowMessage(text::ImageOpenError(row), MessageIcon::Warning);
    } else {
      auto now = image.Size();
      if (!now) return Fail(now.error());
      size = *now;
      // The table already says how long this partition is: an image that has changed
      // length since would make the data image disagree with it.
      if (BlocksFor(size, blockSize_) != slot.imageBlocks) {
        const bool ok = Fail(ChangedImage(slot.imagePath));
        Detail("row " + std::to_string(row) + ": its image is now " + std::to_string(BlocksFor(size, blockSize_)) +
               " blocks long, but the table records " + std::to_string(slot.imageBlocks));
        return ok;
      }
    }
    const std::uint64_t target = std::uint64_t{slot.startBlock} * blockSize_;
    if (target < cursor_) return Fail(ChangedImage(dataPath));
    if (!options_.dryRun) {
      if (Status s = writer_->Flush(); !s) return Fail(s.error());
      if (Status s = WriteFill((target - cursor_) / blockSize_); !s) return Fail(s.error());
    }
    cursor_ = target;
    if (options_.dryRun) {
      if (!image.IsOpen()) return Fail(FileError{FileErrorCause::FileNotFound, FileOp::Seek, slot.imagePath, 0});
      cursor_ += BlocksFor(size, blockSize_) * blockSize_;
      continue;
    }
    host_.SetProgressRange(slot.imageBlocks);
    if (!image.IsOpen()) return Fail(image.ReadAt(0, {}).error());
    if (Status s = CopyImage(image, size); !s) return Fail(s.error());
    image.Close();
    host_.SetProgressPos(0);
  }
  return true;
}

MergeResult MergeRun::Run() {
  if (!RefreshLeadingRun()) return result_;

  const std::string dataPath = host_.GetDataPathText();
  const std::string tablePath = host_.GetTablePathText();
  // Outputs must never overwrite an input: refuse the job before anything is created.
  if (!RefuseOutputsThatAreInputs(dataPath, tablePath)) return result_;

  host_.SetStatusText(std::string(text::kHeadGen));
  if (!CreateOutputs(dataPath, tablePath)) return result_;

  // The table, one message per rejected row as it is examined. An accepted image is
  // measured once and stays open from here until the merge ends.
  const PartitionTable built = BuildPartitionTable(
      set_, blockSize_, [&](int row) { return host_.IsRowChecked(row); },
      [&](const RowRejection& rejection) {
        host_.ShowMessage(std::string(text::kPartitionSetError), MessageIcon::Warning);
        if (options_.onRejected) options_.onRejected(rejection);
      },
      [&](int row) -> std::optional<std::uint64_t> {
        const std::size_t index = static_cast<std::size_t>(row - 1);
        MergedRow& planned = result_.rows[index];
        if (!images_[index].IsOpen()) {
          auto opened = File::OpenRead(set_.Slot(row).imagePath);
          if (!opened) return std::nullopt;
          images_[index] = std::move(*opened);
          planned.measured = true;
          planned.imageBytes = images_[index].OpenedSize();
        }
        return planned.imageBytes;
      });
  result_.rejections = built.rejections;
  result_.table = built.area;
  result_.tableBuilt = true;
  for (int row = 1; row <= kRowCount; ++row) {
    const std::size_t index = static_cast<std::size_t>(row - 1);
    result_.rows[index].accepted = built.accepted[index];
    if (built.accepted[index]) result_.rows[index].offset = std::uint64_t{set_.Slot(row).startBlock} * blockSize_;
  }
  if (!options_.dryRun) {
    if (Status s = WritePartitionTable(table_, built.area); !s) {
      Fail(s.error());
      return result_;
    }
    if (options_.tap) options_.tap->TableWritten(built.area);
  }

  // Copy pass: the data image is written strictly in sequence from offset 0.
  if (!CopyPass(dataPath)) return result_;
  result_.dataBytes = cursor_;

  // The replaced outputs (and the manifests) take their places only now, all of them
  // or none.
  if (options_.beforeCommit && !options_.beforeCommit(result_)) return result_;
  std::vector<File*> outputs = {&data_, &table_};
  outputs.insert(outputs.end(), options_.commitWith.begin(), options_.commitWith.end());
  if (Status s = File::CommitAll(outputs); !s) {
    Fail(s.error());
    return result_;
  }
  for (File& image : images_) image.Close();
  host_.SetStatusText(std::string(text::kDone));
  result_.completed = true;
  return result_;
}

}  // namespace

MergeResult RunMerge(PartitionSet& set, const FlashGeometry& geometry, MergeHost& host, const MergeOptions& options) {
  return MergeRun(set, geometry, host, options).Run();
}

}  // namespace folvane
