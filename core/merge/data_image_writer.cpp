#include "merge/data_image_writer.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <numeric>
#include <optional>
#include <system_error>
#include <thread>

namespace folvane {

namespace {

// Whole blocks read through the program go out in pieces of about this size, so that
// small blocks do not cost a system call each.
constexpr std::size_t kBufferBytes = std::size_t{1} << 20;
// 0xFF fill goes out from one constant buffer of this size, several at a time.
constexpr std::size_t kFillBytes = std::size_t{1} << 20;
// Image blocks the kernel copies in one go before the bar moves: large enough that
// the system calls cost nothing, small enough that the bar moves smoothly. The same
// amount, copied once each way, tells which way is faster.
constexpr std::uint64_t kKernelBatchBytes = std::uint64_t{16} << 20;
// Sharing costs no copying at all; the bar still moves in steps.
constexpr std::uint64_t kShareBatchBytes = std::uint64_t{256} << 20;
// Written bytes are sent to the disk in pieces of this size as the merge goes on.
constexpr std::uint64_t kWriteBackBytes = std::uint64_t{32} << 20;
constexpr std::uint64_t kPageBytes = 4096;
// Pages laid out with their ECC are laid out in batches of about this size: the three
// batches in flight stay in the processor's cache between the read, the layout and the
// write, and the buffers' first touch costs few page faults (a GiB merged in batches
// of 8 MiB took a tenth longer).
constexpr std::size_t kPagedBatchBytes = std::size_t{2} << 20;

std::uint64_t RoundDown(std::uint64_t at, std::uint64_t unit) { return at / unit * unit; }
std::uint64_t RoundUp(std::uint64_t at, std::uint64_t unit) { return RoundDown(at + unit - 1, unit); }

// Blocks per kernel copy: about kKernelBatchBytes, and where the block size allows a
// whole number of 64 KiB, so that no batch after the first starts inside a page and
// the kernel copies whole pages (small blocks such as 8448 bytes are not page sized).
std::uint64_t KernelBatchBlocks(std::uint32_t blockSize) {
  const std::uint64_t blocks = std::max<std::uint64_t>(1, kKernelBatchBytes / blockSize);
  const std::uint64_t step = 65536 / std::gcd<std::uint64_t>(blockSize, 65536);
  return blocks >= step ? blocks / step * step : blocks;
}

}  // namespace

FileError ChangedImage(const std::string& path) { return FileError{FileErrorCause::BadSeek, FileOp::Seek, path, 0}; }

DataImageWriter::DataImageWriter(File& out, MergeHost& host, const Settings& settings)
    : out_(out), host_(host), tap_(settings.tap), blockSize_(settings.blockSize), writeBack_(settings.writeBack) {
  buffer_.resize(std::max<std::size_t>(1, kBufferBytes / blockSize_) * blockSize_);
  const FileLayerTestHooks& hooks = TestHooks();
  if (!hooks.kernelCopyOff) shareBlock_ = out_.ShareBlockSize();
  // With a tap every byte passes through the program anyway: the kernel's copy would
  // only read them twice. Shared extents still save the writing.
  if (hooks.kernelCopyOff || hooks.bufferCopyAlways || tap_) path_ = Path::Buffer;
  else if (hooks.kernelCopyAlways) path_ = Path::Kernel;
}

void DataImageWriter::Written(std::uint64_t bytes) {
  cursor_ += bytes;
  // Only whole pages are sent: a page still being filled that is under write-back
  // holds up the next write into it.
  const std::uint64_t end = RoundDown(cursor_, kPageBytes);
  if (writeBack_ && end - writeBackFrom_ >= kWriteBackBytes) {
    out_.StartWriteBack(writeBackFrom_, end - writeBackFrom_);
    writeBackFrom_ = end;
  }
}

void DataImageWriter::Commit(std::size_t blocks, std::uint64_t firstRead) {
  if (used_ == 0) firstProgress_ = static_cast<std::uint32_t>(firstRead + 2);
  used_ += blocks * blockSize_;
}

// Writes what is buffered, then reports the progress positions of the blocks it
// completed: the window sees exactly what it would if every block were written on its
// own, and a failure leaves the bar at the last block that was really written. While
// more blocks follow, each write ends on a page boundary of the file and the bytes
// after it wait for the next: btrfs, writing back as the merge goes, takes writes
// that end inside a page a fifth slower (a GiB in pieces of 124 blocks of 8448 bytes).
Status DataImageWriter::Flush(Upto upto) {
  if (used_ == 0) return {};
  std::size_t length = used_;
  if (upto == Upto::PageEnd) {
    const auto after = static_cast<std::size_t>((cursor_ + used_) % kPageBytes);
    if (after < used_) length = used_ - after;
  }
  std::size_t written = 0;
  Status status = out_.Write(std::span<const std::uint8_t>(buffer_.data(), length), &written);
  if (tap_ && written) tap_->DataWritten(std::span<const std::uint8_t>(buffer_.data(), written));
  const std::size_t blocks = (headWritten_ + written) / blockSize_;
  for (std::size_t i = 0; i < blocks; ++i) host_.SetProgressPos(firstProgress_ + static_cast<std::uint32_t>(i));
  Written(written);
  if (!status) {
    used_ = headWritten_ = 0;
    return status;
  }
  used_ -= written;
  std::memmove(buffer_.data(), buffer_.data() + written, used_);
  headWritten_ = (headWritten_ + written) % blockSize_;
  firstProgress_ += static_cast<std::uint32_t>(blocks);
  return status;
}

Status DataImageWriter::FillTo(std::uint64_t target) {
  if (Status s = Flush(); !s) return s;
  if (target <= cursor_) return {};
  return WriteFill(target - cursor_);
}

// `bytes` of 0xFF at the cursor, nothing buffered. Where the output shares extents,
// every whole file-system block of fill after the first stretch shares that stretch's
// blocks: a range's spare blocks then cost no writing, as its image costs none.
Status DataImageWriter::WriteFill(std::uint64_t bytes) {
  if (fill_.empty()) fill_.assign(kFillBytes, 0xFF);
  const std::uint64_t end = cursor_ + bytes;
  while (cursor_ < end) {
    const std::uint64_t start = cursor_;
    std::uint64_t piece = end - start;
    bool shared = false;
    if (shareBlock_ != 0 && fillShares_ && fillSourceBytes_ > 0) {
      const std::uint64_t aligned = RoundUp(start, shareBlock_);
      if (aligned > start) {
        piece = std::min(piece, aligned - start);
      } else if (piece >= shareBlock_) {
        piece = std::min(RoundDown(piece, shareBlock_), fillSourceBytes_);
        if (!fillReader_) {
          if (auto twin = out_.ReadableTwin()) fillReader_.emplace(std::move(*twin));
        }
        if (fillReader_) {
          const File::CopyResult copy = out_.CopyFrom(*fillReader_, fillSource_, piece, File::KernelCopy::Share);
          shared = copy.copied == piece && !copy.error && !copy.unsupported;
        }
        if (!shared) {
          // Written instead, over whatever the system may have placed.
          fillShares_ = false;
          if (Status s = out_.Seek(start); !s) return s;
        }
      }
    }
    std::uint64_t written = piece;
    Status status;
    if (!shared) status = out_.WriteRepeated(fill_, piece, &written);
    if (tap_) {
      for (std::uint64_t done = 0; done < written;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(fill_.size(), written - done));
        tap_->DataWritten(std::span<const std::uint8_t>(fill_.data(), n));
        done += n;
      }
    }
    Written(written);
    if (!status) return status;
    if (shareBlock_ == 0) continue;
    if (shared && fillSource_ + fillSourceBytes_ == start && fillSourceBytes_ < kShareBatchBytes) {
      fillSourceBytes_ += piece;  // the source grows by what it just lent, up to a batch
    } else if (!shared && fillSourceBytes_ == 0) {
      const std::uint64_t first = RoundUp(start, shareBlock_);
      const std::uint64_t last = RoundDown(cursor_, shareBlock_);
      if (last > first) {
        fillSource_ = first;
        fillSourceBytes_ = std::min(last - first, kShareBatchBytes);
      }
    }
  }
  return {};
}

// The image's leading blocks that can share extents with the image: the data image's
// offset must be a multiple of the file system's block, and the stretch a whole number
// of both kinds of block (so that every batch starts aligned on both sides).
std::uint64_t DataImageWriter::SharedBlocks(std::uint64_t whole) {
  if (shareBlock_ == 0 || cursor_ % shareBlock_ != 0) return 0;
  const std::uint64_t unit = std::lcm<std::uint64_t>(blockSize_, shareBlock_);
  if (unit > kShareBatchBytes) return 0;
  const std::uint64_t unitBlocks = unit / blockSize_;
  return RoundDown(whole, unitBlocks);
}

// Image blocks from `reads` up to `end` through the kernel. Stops (`stopped`) where
// the kernel stops, with every whole block it placed written and shown and nothing
// after them in the file: the caller goes on from `reads` through the buffer.
Status DataImageWriter::KernelBlocks(File& image, std::uint64_t& reads, std::uint64_t end, File::KernelCopy how,
                                     bool& stopped) {
  stopped = false;
  std::uint64_t batch = KernelBatchBlocks(blockSize_);
  if (how == File::KernelCopy::Share) {
    const std::uint64_t unitBlocks = std::lcm<std::uint64_t>(blockSize_, shareBlock_) / blockSize_;
    batch = std::max<std::uint64_t>(1, kShareBatchBytes / (unitBlocks * blockSize_)) * unitBlocks;
  }
  while (reads < end) {
    const std::uint64_t want = std::min(batch, end - reads);
    const File::CopyResult copy = out_.CopyFrom(image, reads * blockSize_, want * blockSize_, how);
    const std::uint64_t full = copy.copied / blockSize_;
    if (tap_ && full) {
      if (Status s = TapFromImage(image, reads * blockSize_, full * blockSize_); !s) {
        (void)out_.Truncate(cursor_);  // what the tap could not see is not the data image's
        return s;
      }
    }
    for (std::uint64_t i = 0; i < full; ++i) host_.SetProgressPos(static_cast<std::uint32_t>(reads + i + 2));
    reads += full;
    Written(full * blockSize_);
    if (full < want) {
      // Part of a block, or a stretch the system gave up on, may have reached the
      // file: the data image keeps whole blocks only, as when every block is read and
      // written on its own.
      if (Status s = out_.Truncate(cursor_); !s) return s;
      if (copy.error) return *copy.error;
      stopped = true;
      return {};
    }
  }
  return {};
}

// Shared bytes never pass through the program: a tap reads them from the image.
Status DataImageWriter::TapFromImage(File& image, std::uint64_t offset, std::uint64_t bytes) {
  for (std::uint64_t done = 0; done < bytes;) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size(), bytes - done));
    const auto got = image.ReadAt(offset + done, std::span(buffer_).first(n));
    if (!got) return got.error();
    if (*got != n) return ChangedImage(image.Path());
    tap_->DataWritten(std::span<const std::uint8_t>(buffer_.data(), n));
    done += n;
  }
  return {};
}

// Image blocks from `reads` up to `end` through the buffer; they may stay buffered.
Status DataImageWriter::BufferBlocks(File& image, std::uint64_t& reads, std::uint64_t end) {
  while (reads < end) {
    if (FreeBlocks() == 0) {
      if (Status s = Flush(Upto::PageEnd); !s) return s;
    }
    const auto blocks = static_cast<std::size_t>(std::min<std::uint64_t>(FreeBlocks(), end - reads));
    const auto space = std::span(buffer_).subspan(used_, blocks * blockSize_);
    std::size_t got = 0;
    const auto read = image.ReadAt(reads * blockSize_, space, &got);
    if (!read || got != space.size()) {
      // Every whole block read before the failure is written and shown, then the failure.
      const std::size_t done = got / blockSize_;
      Commit(done, reads);
      reads += done;
      if (Status s = Flush(); !s) return s;
      return read ? ChangedImage(image.Path()) : read.error();
    }
    Commit(blocks, reads);
    reads += blocks;
  }
  return {};
}

// The read after the whole blocks: the partial last block, completed with 0xFF, or
// the read that finds the end, which moves the bar all the same.
Status DataImageWriter::LastRead(File& image, std::uint64_t reads, std::uint64_t rest) {
  if (FreeBlocks() == 0) {
    if (Status s = Flush(); !s) return s;
  }
  const auto space = std::span(buffer_).subspan(used_, blockSize_);
  std::size_t got = 0;
  const auto read = image.ReadAt(reads * blockSize_, space, &got);
  if (!read || got != rest) {
    if (Status s = Flush(); !s) return s;
    return read ? ChangedImage(image.Path()) : read.error();
  }
  if (rest == 0) {
    if (Status s = Flush(); !s) return s;
    host_.SetProgressPos(static_cast<std::uint32_t>(reads + 2));
    return {};
  }
  std::memset(space.data() + got, 0xFF, blockSize_ - got);
  Commit(1, reads);
  return Flush();
}

// The partial last block where the blocks before it were shared: its whole
// file-system blocks are shared as well, and only the image's last bytes and the
// 0xFF after them are written. Reads first what will be written, so that an image
// whose length changed leaves nothing of this block in the file.
Status DataImageWriter::SharedLastRead(File& image, std::uint64_t reads, std::uint64_t rest) {
  const std::uint64_t at = reads * blockSize_;
  const std::uint64_t head = RoundDown(rest, shareBlock_);
  // One byte more than the image should have: a longer image is caught.
  std::vector<std::uint8_t> last(static_cast<std::size_t>(rest - head) + 1);
  std::size_t got = 0;
  const auto read = image.ReadAt(at + head, last, &got);
  if (!read) return read.error();
  if (got != rest - head) return ChangedImage(image.Path());
  const File::CopyResult copy = out_.CopyFrom(image, at, head, File::KernelCopy::Share);
  if (copy.copied != head || copy.error || copy.unsupported) {
    // A shorter image, or a system that stopped sharing: the buffer reads it again.
    if (Status s = out_.Truncate(cursor_); !s) return s;
    shareBlock_ = 0;
    return LastRead(image, reads, rest);
  }
  if (tap_) {
    if (Status s = TapFromImage(image, at, head); !s) {
      (void)out_.Truncate(cursor_);  // the data image keeps whole blocks only
      return s;
    }
  }
  Written(head);
  std::size_t written = 0;
  const auto tail = std::span<const std::uint8_t>(last.data(), got);
  Status status = out_.Write(tail, &written);
  if (tap_ && written) tap_->DataWritten(tail.first(written));
  Written(written);
  if (!status) return status;
  if (Status s = WriteFill(blockSize_ - rest); !s) return s;
  host_.SetProgressPos(static_cast<std::uint32_t>(reads + 2));
  return {};
}

// Where the output shares nothing, the kernel's copy may be faster than the buffer
// (tmpfs) or far slower (a file system that copies unaligned stretches page by page).
// The first image long enough copies one batch each way, and the faster way copies
// the rest of this output. But where the output is forced to a disk as the merge goes,
// the disk sets the pace, and the buffer's large writes keep it busier than the
// kernel's copy does (a GiB on ext4: 0.25 s against 0.31 s, with the disk in memory;
// 0.8-1.1 s against 1.4-2.8 s on a disk; on XFS with its disk in memory 0.45 against
// 0.6 times cat), although one batch alone copies faster in the kernel. So the kernel's
// batch is also waited for until it is on the disk: where that takes a tenth of the
// copy's time or more, there is a disk, and the buffer copies. Only the batch's own
// pages are waited for: forcing the whole file here would commit the file system's
// journal in the middle of the merge, and on btrfs, after shared extents, its whole
// transaction.
Status DataImageWriter::MeasurePaths(File& image, std::uint64_t& reads, std::uint64_t whole) {
  using Clock = std::chrono::steady_clock;
  const std::uint64_t probe = KernelBatchBlocks(blockSize_);
  if (whole - reads < 2 * probe) return {};
  const std::uint64_t from = RoundDown(cursor_, kPageBytes);
  const auto t0 = Clock::now();
  bool stopped = false;
  if (Status s = KernelBlocks(image, reads, reads + probe, File::KernelCopy::Copy, stopped); !s) return s;
  const auto t1 = Clock::now();
  if (stopped) {
    path_ = Path::Buffer;
    return {};
  }
  if (writeBack_) {
    // The system reports a failed write-back once per open file, to the first to ask:
    // this is the merge's failure, as it would be at the end.
    if (Status s = out_.WaitWriteBack(from, cursor_ - from); !s) return s;
    if ((Clock::now() - t1) * 10 >= t1 - t0) {
      path_ = Path::Buffer;
      return {};
    }
  }
  const auto t2 = Clock::now();
  if (Status s = BufferBlocks(image, reads, reads + probe); !s) return s;
  if (Status s = Flush(); !s) return s;
  path_ = t1 - t0 <= Clock::now() - t2 ? Path::Kernel : Path::Buffer;
  return {};
}

Status DataImageWriter::CopyImage(File& image, std::uint64_t size) {
  const std::uint64_t whole = size / blockSize_;
  const std::uint64_t rest = size % blockSize_;
  std::uint64_t reads = 0;  // block reads done so far
  // A kernel copy writes at the file's position: nothing may wait in the buffer.
  if (Status s = Flush(); !s) return s;

  if (const std::uint64_t shared = SharedBlocks(whole); shared > 0) {
    bool stopped = false;
    if (Status s = KernelBlocks(image, reads, shared, File::KernelCopy::Share, stopped); !s) return s;
    if (stopped) {
      // A file system that shared and then stopped is not trusted with the kernel's
      // copy either; one that never shared simply has no extents to share.
      if (sharedAny_ || reads > 0) path_ = Path::Buffer;
      shareBlock_ = 0;
    }
    sharedAny_ = sharedAny_ || reads > 0;
  }
  if (path_ == Path::Unknown) {
    if (Status s = MeasurePaths(image, reads, whole); !s) return s;
  }
  if (path_ == Path::Kernel && reads < whole) {
    bool stopped = false;
    if (Status s = KernelBlocks(image, reads, whole, File::KernelCopy::Copy, stopped); !s) return s;
    if (stopped) path_ = Path::Buffer;
  }
  if (Status s = BufferBlocks(image, reads, whole); !s) return s;
  if (shareBlock_ != 0 && used_ == 0 && rest >= shareBlock_ && cursor_ % shareBlock_ == 0) {
    return SharedLastRead(image, reads, rest);
  }
  return LastRead(image, reads, rest);
}

// The image's page data goes through three stages a batch at a time: read straight
// into the places of its pages in an output buffer, laid out there (spare areas and
// ECC), written. They overlap: while batch k is laid out, batch k-1 is written (by
// this thread, which alone writes, shows progress and feeds the tap, in order) and
// batch k+1 is read (by a second thread); each thread then lays out pages of batch k
// until none are left. So the copies in and out of the system cost no time beside the
// layout, and the layout gets whichever thread is free. A failure comes out as it
// would one batch at a time: a batch that could not be read whole leaves the batches
// before it written and nothing of itself.
Status DataImageWriter::CopyPagedImage(File& image, std::uint64_t size, const PageCodec& codec, bool programErased) {
  if (Status s = Flush(); !s) return s;
  const std::uint32_t pages = blockSize_ / codec.PageBytes();
  const std::uint64_t dataBlock = std::uint64_t{codec.DataBytes()} * pages;
  const std::uint64_t blocks = (size + dataBlock - 1) / dataBlock;
  const EccLayoutOptions options{programErased};
  const std::size_t batchBlocks = std::max<std::size_t>(1, kPagedBatchBytes / blockSize_);
  // Three output buffers, batch k in the k % 3rd: the one being written, the one being
  // laid out and the one being read into.
  std::vector<std::uint8_t> laidOut[3];
  laidOut[0].swap(buffer_);
  laidOut[1].swap(pagedOut_[0]);
  laidOut[2].swap(pagedOut_[1]);
  for (auto& b : laidOut) b.resize(std::max<std::size_t>(b.size(), batchBlocks * blockSize_));
  auto batchOf = [&](std::uint64_t k) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(batchBlocks, blocks - k * batchBlocks));
  };
  const std::uint64_t batches = (blocks + batchBlocks - 1) / batchBlocks;

  // Reads batch k's page data into its pages: the data of its blocks, and with the
  // last one a byte more, so that an image that grew since it was measured is found,
  // not cut short silently. Data past the image's end is 0xFF. False with `failure`
  // set where the image did not give them.
  struct ReadResult {
    bool ok = true;
    Status failure;
  };
  auto read = [&](std::uint64_t k) {
    ReadResult result;
    const std::size_t n = batchOf(k) * pages;
    const std::uint64_t from = k * batchBlocks * dataBlock;
    const std::uint64_t expected = std::min<std::uint64_t>(n * std::uint64_t{codec.DataBytes()}, size - from);
    std::uint8_t* out = laidOut[k % 3].data();
    std::vector<std::span<std::uint8_t>> places(n);
    for (std::size_t p = 0; p < n; ++p) places[p] = std::span(out + p * codec.PageBytes(), codec.DataBytes());
    std::uint8_t beyond = 0;
    if (k + 1 == batches) places.emplace_back(&beyond, 1);
    std::size_t got = 0;
    const auto done = image.ReadScattered(from, places, &got);
    if (!done || got != expected) {
      result.ok = false;
      result.failure = done ? Status(ChangedImage(image.Path())) : Status(done.error());
      return result;
    }
    for (std::size_t p = got / codec.DataBytes(); p < n; ++p) {
      const std::size_t in = p == got / codec.DataBytes() ? got % codec.DataBytes() : 0;
      std::memset(places[p].data() + in, 0xFF, codec.DataBytes() - in);
    }
    return result;
  };
  // Pages of batch k, a few at a time, until none are left; both threads take them.
  std::atomic<std::size_t> nextPage{0};
  constexpr std::size_t kPagesTaken = 16;
  auto layOut = [&](std::uint64_t k) {
    const std::size_t total = batchOf(k) * pages;
    std::vector<std::uint8_t>& to = laidOut[k % 3];
    for (;;) {
      const std::size_t first = nextPage.fetch_add(kPagesTaken, std::memory_order_relaxed);
      if (first >= total) return;
      for (std::size_t page = first; page < std::min(total, first + kPagesTaken); ++page)
        codec.LayOutInPlace(std::span(to).subspan(page * codec.PageBytes(), codec.PageBytes()), options);
    }
  };
  // Writes batch k, shows its blocks and feeds them to the tap, through Flush.
  auto write = [&](std::uint64_t k) {
    buffer_.swap(laidOut[k % 3]);
    Commit(batchOf(k), k * batchBlocks);
    Status status = Flush();
    buffer_.swap(laidOut[k % 3]);
    return status;
  };

  Status failure;
  bool failed = false;
  if (blocks > 0) {
    if (ReadResult first = read(0); !first.ok) {
      failure = first.failure;
      failed = true;
    }
  }
  for (std::uint64_t k = 0; k < batches && !failed; ++k) {
    nextPage.store(0, std::memory_order_relaxed);
    const bool readNext = k + 1 < batches;
    ReadResult next;
    auto helper = [&] {
      if (readNext) next = read(k + 1);
      layOut(k);
    };
    std::optional<std::thread> other;
    try {
      other.emplace(helper);
    } catch (const std::system_error&) {
      // No second thread to be had: this one does its part too, after its own.
    }
    Status written;
    if (k > 0) written = write(k - 1);
    if (other) {
      layOut(k);
      other->join();
    } else {
      helper();
    }
    if (!written) {
      failure = written;
      failed = true;
    } else if (!next.ok) {
      // The batches up to this one were read whole: they are written before the failure.
      if (Status s = write(k); !s) failure = s;
      else failure = next.failure;
      failed = true;
    } else if (!readNext) {
      if (Status s = write(k); !s) {
        failure = s;
        failed = true;
      }
    }
  }
  buffer_.swap(laidOut[0]);
  pagedOut_[0].swap(laidOut[1]);
  pagedOut_[1].swap(laidOut[2]);
  if (failed) return failure;
  // The read that finds the end of an image of whole blocks moves the bar too.
  if (size % dataBlock == 0) host_.SetProgressPos(static_cast<std::uint32_t>(blocks + 2));
  return {};
}

}  // namespace folvane
