#include "merge.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

namespace folvane {

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

// Blocks go to the data image through one buffer of whole blocks, so that small
// blocks do not cost a system call each. Progress positions of image blocks are
// passed to the window only once their bytes have reached the file, so the window
// sees exactly what it would if every block were written on its own: a failure
// leaves the bar at the last block that was really written.
class BlockWriter {
 public:
  BlockWriter(File& out, MergeHost& host, std::uint32_t blockSize)
      : out_(out), host_(host), blockSize_(blockSize) {
    constexpr std::size_t kChunk = std::size_t{1} << 20;
    const std::size_t blocks = std::max<std::size_t>(1, kChunk / blockSize);
    buffer_.resize(blocks * blockSize);
  }

  [[nodiscard]] std::size_t FreeBlocks() const { return (buffer_.size() - used_) / blockSize_; }
  std::span<std::uint8_t> FreeSpace() { return std::span(buffer_).subspan(used_); }

  /// Marks `count` blocks at the start of the free space as filled; `progressFrom`
  /// is the progress position of the first one, or nothing for 0xFF fill blocks.
  void Commit(std::size_t count, std::optional<std::uint32_t> progressFrom) {
    if (used_ == 0) {
      hasProgress_ = progressFrom.has_value();
      firstProgress_ = progressFrom.value_or(0);
    }
    used_ += count * blockSize_;
  }

  void FillBlock() {
    std::memset(buffer_.data() + used_, 0xFF, blockSize_);
    Commit(1, std::nullopt);
  }

  /// Writes what is buffered, then reports its blocks' progress positions.
  Status Flush() {
    if (used_ == 0) return {};
    std::size_t written = 0;
    Status status = out_.Write(std::span<const std::uint8_t>(buffer_.data(), used_), &written);
    if (hasProgress_) {
      const std::size_t blocks = written / blockSize_;
      for (std::size_t i = 0; i < blocks; ++i) host_.SetProgressPos(firstProgress_ + static_cast<std::uint32_t>(i));
    }
    used_ = 0;
    hasProgress_ = false;
    return status;
  }

 private:
  File& out_;
  MergeHost& host_;
  std::uint32_t blockSize_;
  std::vector<std::uint8_t> buffer_;
  std::size_t used_ = 0;
  bool hasProgress_ = false;  // the buffered blocks are image blocks, not 0xFF fill
  std::uint32_t firstProgress_ = 0;
};

// Copies one image into the data image block by block, as the window reports it:
// after every read of a block (the last, empty or partial one included) the bar
// moves to the read's number plus one.
Status CopyImage(File& image, BlockWriter& writer, MergeHost& host, std::uint32_t blockSize, std::uint64_t& cursor) {
  std::uint64_t readsDone = 0;  // block reads made so far
  for (;;) {
    if (writer.FreeBlocks() == 0) {
      if (Status s = writer.Flush(); !s) return s;
    }
    const std::size_t blocks = writer.FreeBlocks();
    auto space = writer.FreeSpace().first(blocks * blockSize);
    auto got = image.ReadAt(readsDone * blockSize, space);
    if (!got) {
      if (Status s = writer.Flush(); !s) return s;
      return got.error();
    }
    const std::size_t whole = *got / blockSize;
    const std::size_t rest = *got % blockSize;
    const auto firstPos = static_cast<std::uint32_t>(readsDone + 2);
    std::size_t committed = whole;
    if (rest != 0) {
      // A partial last block is completed with 0xFF and still written whole.
      std::memset(space.data() + *got, 0xFF, blockSize - rest);
      ++committed;
    }
    writer.Commit(committed, firstPos);
    readsDone += committed;
    cursor += std::uint64_t{committed} * blockSize;
    if (rest != 0) return writer.Flush();
    if (whole < blocks) {
      // The read that found the end came back empty: it moves the bar all the same.
      if (Status s = writer.Flush(); !s) return s;
      host.SetProgressPos(static_cast<std::uint32_t>(readsDone + 2));
      return {};
    }
  }
}

bool TooLong(const std::string& path) { return path.size() > kMergePathChars; }

}  // namespace

MergeResult RunMerge(PartitionSet& set, const FlashGeometry& geometry, MergeHost& host,
                     const std::function<void(const RowRejection&)>& onRejected) {
  MergeResult result;
  const std::uint32_t blockSize = geometry.blockSize;

  // Refresh the leading run of checked rows from their path fields.
  for (int row = 1; row <= kRowCount && host.IsRowChecked(row); ++row) {
    PartitionSlot& slot = set.Slot(row);
    slot.imagePath = host.GetRowPathText(row);
    // Measured and closed again at once: the image is opened anew for its copy.
    const auto size = TooLong(slot.imagePath) ? Expected<std::uint64_t>(FileError{}) : MeasureFile(slot.imagePath);
    if (!size) {
      host.ShowMessage(text::RowOpenFail(row), MessageIcon::Warning);
      host.ClearRowPathText(row);
      return result;
    }
    if (*size == 0) {
      host.ShowMessage(text::RowEmpty(row), MessageIcon::Warning);
      host.ClearRowPathText(row);
      return result;
    }
    slot.imageBlocks = ImageBlocksFor(*size, blockSize);
  }

  const std::string dataPath = host.GetDataPathText();
  const std::string tablePath = host.GetTablePathText();

  // Outputs must never overwrite an input: refuse the job before anything is created.
  if (SameFile(tablePath, dataPath)) {
    host.ShowMessage(std::string(text::kTableIsData), MessageIcon::Warning);
    return result;
  }
  for (int row = 1; row <= kRowCount; ++row) {
    if (!host.IsRowChecked(row)) continue;
    const std::string& image = set.Slot(row).imagePath;
    const char* clash = SameFile(dataPath, image) ? text::kDataIsImage.data()
                        : SameFile(tablePath, image) ? text::kTableIsImage.data()
                                                     : nullptr;
    if (clash) {
      host.ShowMessage(clash, MessageIcon::Warning);
      return result;
    }
  }

  // Create the data image, then the table file.
  host.SetStatusText(std::string(text::kHeadGen));
  auto data = TooLong(dataPath) ? Expected<File>(FileError{}) : File::CreateWrite(dataPath);
  if (!data) {
    host.ShowMessage(std::string(text::kPointDataFile), MessageIcon::Warning);
    return result;
  }
  auto table = TooLong(tablePath) ? Expected<File>(FileError{}) : File::CreateWrite(tablePath);
  if (!table) {
    host.ShowMessage(std::string(text::kPointTableFile), MessageIcon::Warning);
    return result;
  }

  // The table, one message per rejected row as it is examined.
  const PartitionTable built = BuildPartitionTable(
      set, blockSize, [&](int row) { return host.IsRowChecked(row); },
      [&](const RowRejection& rejection) {
        host.ShowMessage(std::string(text::kPartitionSetError), MessageIcon::Warning);
        if (onRejected) onRejected(rejection);
      });
  result.rejections = built.rejections;
  auto fail = [&](const FileError& error) {
    host.ShowMessage(error.Message(), MessageIcon::Error);
    return result;
  };
  if (Status s = WritePartitionTable(*table, built.area); !s) return fail(s.error());

  // Copy pass: the data image is written strictly in sequence from offset 0.
  BlockWriter writer(*data, host, blockSize);
  std::uint64_t cursor = 0;
  for (int row = 1; row <= kRowCount; ++row) {
    if (!built.accepted[static_cast<std::size_t>(row - 1)]) continue;
    const PartitionSlot& slot = set.Slot(row);
    host.SetStatusText(text::RowMerging(row));
    File image;
    if (auto opened = File::OpenRead(slot.imagePath); opened) {
      image = std::move(*opened);
    } else {
      // The copy below then fails on the image that is not open.
      host.ShowMessage(text::ImageOpenError(row), MessageIcon::Warning);
    }
    const std::uint64_t target = std::uint64_t{slot.startBlock} * blockSize;
    if (target < cursor) {
      // Only an image that grew since the table was built gets here; writing on would
      // put this partition out of place.
      return fail(FileError{FileErrorCause::BadSeek, FileOp::Seek, dataPath, 0});
    }
    for (std::uint64_t blocks = (target - cursor) / blockSize; blocks > 0; --blocks) {
      if (writer.FreeBlocks() == 0) {
        if (Status s = writer.Flush(); !s) return fail(s.error());
      }
      writer.FillBlock();
    }
    cursor = target;
    if (Status s = writer.Flush(); !s) return fail(s.error());
    host.SetProgressRange(slot.imageBlocks);
    if (Status s = CopyImage(image, writer, host, blockSize, cursor); !s) return fail(s.error());
    image.Close();
    host.SetProgressPos(0);
  }

  // Close the data image, then the table file.
  data->Close();
  table->Close();
  host.SetStatusText(std::string(text::kDone));
  result.completed = true;
  return result;
}

}  // namespace folvane
