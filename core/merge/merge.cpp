#include "merge/merge.hpp"

#include <optional>
#include <tuple>

#include <fmt/format.h>

#include "job/stored_text.hpp"
#include "merge/data_image_writer.hpp"

namespace folvane {


namespace text {
std::string RowOpenFail(int row) { return fmt::format("FILE[{}] open fail", row); }
std::string RowEmpty(int row) { return fmt::format("FILE[{}] empty", row); }
std::string RowMerging(int row) { return fmt::format("FILE{} MER...", row); }
std::string ImageOpenError(int row) { return fmt::format("Image File{} open error", row); }
}  // namespace text

namespace {


// "the Data File path is 300 bytes long; ...", for the command line's detail line.
std::string TooLongDetail(const std::string& what, const std::string& path) {
  return what + " path is " + std::to_string(StoredTextLength(path)) + " bytes long; paths may be at most " +
         std::to_string(kMaxPathBytes) + " bytes";
}

// One run of the merge, in the order the window has always shown it.
class MergeRun {
 public:
  MergeRun(PartitionSet& set, const FlashGeometry& geometry, MergeHost& host, const MergeOptions& options)
      : set_(set), host_(host), options_(options), geometry_(geometry), blockSize_(geometry.blockSize) {}

  MergeResult Run();

 private:
  bool RefreshLeadingRun();
  bool RefuseOutputsThatAreInputs(const std::string& dataPath, const std::string& tablePath);
  bool CreateOutputs(const std::string& dataPath, const std::string& tablePath);
  std::optional<std::uint64_t> MeasureForTable(int row);
  bool BuildAndWriteTable();
  bool CopyPass(const std::string& dataPath);
  bool CommitOutputs();
  void Detail(const std::string& line) {
    if (options_.onDetail) options_.onDetail(line);
  }
  // The window's text says which output but not why: the command line says both,
  // for an output the job names (an empty one is the window's text already).
  void Why(const FileError& error, const std::string& path) {
    if (!error.detail.empty()) Detail(error.detail);
    else if (!path.empty()) Detail(error.MessageNaming(path));
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
  const FlashGeometry& geometry_;
  const std::uint32_t blockSize_;
  // The images measured so far, each once.
  std::array<std::optional<std::uint64_t>, kRowCount> measured_{};
  MergeResult result_;
  // Every image the table measured stays open, with its reader's lock, until the merge
  // ends: another copy of the program cannot overwrite one before it is copied.
  std::array<File, kRowCount> images_;
  File data_;
  File table_;
  std::optional<DataImageWriter> writer_;
  std::uint64_t cursor_ = 0;  // bytes of the data image written (or, dry, planned) so far
};

bool MergeRun::RefreshLeadingRun() {
  const int run = LeadingRunRows([&](int row) { return host_.IsRowChecked(row); });
  for (int row = 1; row <= run; ++row) {
    PartitionSlot& slot = set_.Slot(row);
    slot.imagePath = host_.GetRowPathText(row);
    auto image = PathTooLongToStore(slot.imagePath) ? Expected<File>(FileError{}) : File::OpenRead(slot.imagePath);
    if (!image) {
      host_.ShowMessage(text::RowOpenFail(row), MessageIcon::Warning);
      if (PathTooLongToStore(slot.imagePath)) {
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
    slot.imageBlocks = ImageBlocksFor(size, ImageBlockBytes(slot, geometry_));
    measured_[static_cast<std::size_t>(row - 1)] = size;
    result_.plan.Row(row).imageBytes = size;
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
    if (PathTooLongToStore(path)) Detail(TooLongDetail(what, path));
    return false;
  };
  // A table path that names a FIFO or the like is refused before the data image is
  // created, so that nothing is emptied for a merge that cannot happen.
  if (!PathTooLongToStore(tablePath) && !PathTooLongToStore(dataPath)) {
    if (const Status probe = ProbeCreate(tablePath); !probe && probe.error().notAFile) {
      host_.ShowMessage(std::string(text::kPointTableFile), MessageIcon::Warning);
      Detail(probe.error().detail.empty() ? "the Table File " + tablePath + " is not a file" : probe.error().detail);
      return false;
    }
  }
  if (options_.dryRun && !options_.replaceOutputs) {
    if (PathTooLongToStore(dataPath) || !ProbeCreate(dataPath)) return refuse(text::kPointDataFile, "the Data File", dataPath);
    if (PathTooLongToStore(tablePath) || !ProbeCreate(tablePath)) return refuse(text::kPointTableFile, "the Table File", tablePath);
    return true;
  }
  // A replacement is decided (and every check that can fail made) for both outputs
  // before the first byte is written; a dry run makes the same checks by looking.
  auto open = [&](const std::string& path, std::string_view message, const std::string& what, File& into,
                  InPlaceReason& inPlace) {
    if (PathTooLongToStore(path)) return refuse(message, what, path);
    if (options_.dryRun) {
      const auto probe = ProbeReplacement(path, options_.allowInPlace);
      if (!probe) {
        refuse(message, what, path);
        Why(probe.error(), path);
        return false;
      }
      inPlace = *probe;
      return true;
    }
    auto file = options_.replaceOutputs ? File::CreateReplacement(path, options_.allowInPlace) : File::CreateWrite(path);
    if (!file) {
      refuse(message, what, path);
      Why(file.error(), path);
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

// An accepted image is measured once and stays open from here until the merge ends.
std::optional<std::uint64_t> MergeRun::MeasureForTable(int row) {
  const std::size_t index = static_cast<std::size_t>(row - 1);
  if (!images_[index].IsOpen()) {
    auto opened = File::OpenRead(set_.Slot(row).imagePath);
    if (!opened) return std::nullopt;
    images_[index] = std::move(*opened);
    measured_[index] = images_[index].OpenedSize();
  }
  return measured_[index];
}

// The table, one message per rejected row as it is examined, then its one write.
bool MergeRun::BuildAndWriteTable() {
  result_.plan = PlanMerge(
      set_, geometry_, [&](int row) { return host_.IsRowChecked(row); },
      [&](int row) { return MeasureForTable(row); },
      [&](const RowRejection& rejection) {
        host_.ShowMessage(std::string(text::kPartitionSetError), MessageIcon::Warning);
        if (options_.onRejected) options_.onRejected(rejection);
      });
  for (int row = 1; row <= kRowCount; ++row) {
    if (const auto& bytes = measured_[static_cast<std::size_t>(row - 1)]) result_.plan.Row(row).imageBytes = bytes;
  }
  result_.tableBuilt = true;
  if (options_.dryRun) return true;
  if (Status s = WritePartitionTable(table_, result_.plan.table); !s) return Fail(s.error());
  if (options_.tap) {
    options_.tap->Planned(result_.plan);
    options_.tap->TableWritten(result_.plan.table);
  }
  return true;
}

// The data image is written strictly in sequence from offset 0.
bool MergeRun::CopyPass(const std::string& dataPath) {
  if (!options_.dryRun) {
    // Only outputs forced to the disk at the end gain from starting early; the window
    // writes in place and leaves the writing back to the system.
    writer_.emplace(data_, host_, DataImageWriter::Settings{blockSize_, options_.tap, options_.replaceOutputs});
  }
  for (int row = 1; row <= kRowCount; ++row) {
    const std::size_t index = static_cast<std::size_t>(row - 1);
    const PlannedRow& planned = result_.plan.Row(row);
    if (!planned.taken) continue;
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
      if (BlocksFor(size, planned.imageBlockBytes) != planned.range.imageBlocks) {
        const bool ok = Fail(ChangedImage(slot.imagePath));
        Detail("row " + std::to_string(row) + ": its image is now " + std::to_string(BlocksFor(size, planned.imageBlockBytes)) +
               " blocks long, but the table records " + std::to_string(planned.range.imageBlocks));
        return ok;
      }
    }
    const std::uint64_t target = planned.offset;
    if (target < cursor_) return Fail(ChangedImage(dataPath));
    if (options_.dryRun) {
      if (!image.IsOpen()) return Fail(FileError{FileErrorCause::FileNotFound, FileOp::Seek, slot.imagePath, 0});
      cursor_ = target + BlocksFor(size, planned.imageBlockBytes) * blockSize_;
      continue;
    }
    if (Status s = writer_->FillTo(target); !s) return Fail(s.error());
    cursor_ = target;
    host_.SetProgressRange(planned.range.imageBlocks);
    if (!image.IsOpen()) return Fail(image.ReadAt(0, {}).error());
    const PageCodec* codec = options_.pageCodecs[index];
    if (Status s = codec ? writer_->CopyPagedImage(image, size, *codec, options_.programErasedPages)
                         : writer_->CopyImage(image, size);
        !s) {
      return Fail(s.error());
    }
    cursor_ = writer_->Cursor();
    image.Close();
    host_.SetProgressPos(0);
  }
  return true;
}

// The replaced outputs (and the manifests) take their places only now, all of them
// or none.
bool MergeRun::CommitOutputs() {
  if (options_.beforeCommit && !options_.beforeCommit(result_)) return false;
  std::vector<File*> outputs = {&data_, &table_};
  outputs.insert(outputs.end(), options_.commitWith.begin(), options_.commitWith.end());
  if (Status s = File::CommitAll(outputs); !s) return Fail(s.error());
  for (File& image : images_) image.Close();
  return true;
}

MergeResult MergeRun::Run() {
  if (!RefreshLeadingRun()) return result_;
  const std::string dataPath = host_.GetDataPathText();
  const std::string tablePath = host_.GetTablePathText();
  // Outputs must never overwrite an input: refuse the job before anything is created.
  if (!RefuseOutputsThatAreInputs(dataPath, tablePath)) return result_;
  host_.SetStatusText(std::string(text::kHeadGen));
  if (!CreateOutputs(dataPath, tablePath) || !BuildAndWriteTable() || !CopyPass(dataPath)) return result_;
  result_.dataBytes = cursor_;
  if (!CommitOutputs()) return result_;
  host_.SetStatusText(std::string(text::kDone));
  result_.completed = true;
  return result_;
}

}  // namespace

MergeResult RunMerge(PartitionSet& set, const FlashGeometry& geometry, MergeHost& host, const MergeOptions& options) {
  return MergeRun(set, geometry, host, options).Run();
}

}  // namespace folvane
