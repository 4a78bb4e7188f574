#pragma once
// The copy pass's writing of the data image: 0xFF fill and images, strictly in
// sequence from offset 0, each image's whole blocks by the fastest way the output's
// file system offers, and the window's progress positions as if every block were read
// and written on its own.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ecc/page.hpp"
#include "io/file_io.hpp"
#include "merge/merge.hpp"

namespace folvane {

/// The failure an image that no longer has the length the table records ends the
/// merge with.
FileError ChangedImage(const std::string& path);

class DataImageWriter {
 public:
  struct Settings {
    std::uint32_t blockSize = 0;
    MergeTap* tap = nullptr;  ///< sees every byte in file order once it is in the file
    /// Start writing each batch to the disk as the copy goes on, so that forcing the
    /// output to the disk at the end waits only for the last of it.
    bool writeBack = false;
  };
  DataImageWriter(File& out, MergeHost& host, const Settings& settings);

  /// Bytes of the data image written so far.
  [[nodiscard]] std::uint64_t Cursor() const { return cursor_; }

  /// 0xFF blocks from the cursor up to `target`, a block boundary at or after it.
  Status FillTo(std::uint64_t target);

  /// Copies one image of `size` bytes at the cursor as the window reports it: after
  /// every read of a block (the last, empty or partial one included) the bar moves to
  /// the read's number plus one. The partial last block is completed with 0xFF. The
  /// image must still be `size` bytes long: any other length ends the merge.
  Status CopyImage(File& image, std::uint64_t size);

  /// Copies an image of page data only, `size` bytes, at the cursor: each block's pages
  /// are read as their data bytes and laid out by `codec` with their spare areas, a
  /// partial last page and block completed with 0xFF data first. Pages whose data is
  /// all 0xFF stay erased unless `programErased`. The bar moves as CopyImage moves it.
  Status CopyPagedImage(File& image, std::uint64_t size, const PageCodec& codec, bool programErased);

 private:
  enum class Path { Unknown, Kernel, Buffer };

  std::uint64_t SharedBlocks(std::uint64_t whole);
  Status KernelBlocks(File& image, std::uint64_t& reads, std::uint64_t end, File::KernelCopy how, bool& stopped);
  Status BufferBlocks(File& image, std::uint64_t& reads, std::uint64_t end);
  Status LastRead(File& image, std::uint64_t reads, std::uint64_t rest);
  Status SharedLastRead(File& image, std::uint64_t reads, std::uint64_t rest);
  Status WriteFill(std::uint64_t bytes);
  Status TapFromImage(File& image, std::uint64_t offset, std::uint64_t bytes);
  Status MeasurePaths(File& image, std::uint64_t& reads, std::uint64_t whole);

  // The buffer holds whole blocks read through the program until they are written,
  // the first of them perhaps partly written already (`headWritten_` bytes).
  [[nodiscard]] std::size_t FreeBlocks() const { return (buffer_.size() - used_) / blockSize_; }
  void Commit(std::size_t blocks, std::uint64_t firstRead);
  /// `Flush(Upto::PageEnd)` writes only up to the last page boundary of the file and
  /// keeps the rest at the front of the buffer, for when more blocks follow.
  enum class Upto { All, PageEnd };
  Status Flush(Upto upto = Upto::All);
  void Written(std::uint64_t bytes);

  File& out_;
  MergeHost& host_;
  MergeTap* tap_;
  const std::uint32_t blockSize_;
  const bool writeBack_;
  std::vector<std::uint8_t> buffer_;
  std::size_t used_ = 0;
  std::size_t headWritten_ = 0;      // bytes of the buffer's first block already in the file
  std::uint32_t firstProgress_ = 0;  // the progress position of the buffer's first block
  std::vector<std::uint8_t> fill_;
  // Page data's second and third output buffers (see CopyPagedImage), kept from row
  // to row.
  std::vector<std::uint8_t> pagedOut_[2];
  std::uint64_t cursor_ = 0;
  std::uint64_t writeBackFrom_ = 0;  // the first byte not yet sent to the disk
  // What this output's file system does: its block size for sharing (0: it shares
  // none, or stopped doing so), and which of the other two paths is faster.
  std::uint32_t shareBlock_ = 0;
  bool sharedAny_ = false;
  // The first stretch of 0xFF this merge wrote whole file-system blocks of: later fill
  // shares its extents instead of writing them again (length 0: none yet, or the file
  // system would not share it).
  std::optional<File> fillReader_;  // the output, open for reading: the source of shares
  std::uint64_t fillSource_ = 0;
  std::uint64_t fillSourceBytes_ = 0;
  bool fillShares_ = true;
  Path path_ = Path::Unknown;
};

}  // namespace folvane
