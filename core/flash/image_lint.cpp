#include "flash/image_lint.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>

#include "merge/byte_sums.hpp"
#include "merge/data_image_writer.hpp"

namespace folvane {

namespace {

// Images are read in pieces of whole blocks of about this size: large enough that the
// system calls cost nothing, small enough that a piece is still in the cache when its
// blocks are looked at.
constexpr std::uint64_t kPieceBytes = std::uint64_t{1} << 20;

// Every block of a range that holds no image block is 0xFF in the data image (the fill
// between images) or past its end (an erased chip, a programmer's blank buffer). A
// range's sum is therefore that of an all-0xFF range, moved by how much each image
// block inside it differs from an all-0xFF block; the data image's likewise.
struct SumKeeper {
  std::uint64_t blockBytes;
  std::vector<BlockRange> ranges;
  std::vector<std::uint32_t> rangeSums;
  std::uint32_t dataSum = 0;

  SumKeeper(std::uint64_t bytes, const std::vector<LintRow>& rows) : blockBytes(bytes) {
    for (const LintRow& r : rows) {
      ranges.push_back(r.range);
      rangeSums.push_back(RepeatedByteSum(0xFF, r.range.Blocks() * blockBytes));
    }
  }
  void Block(std::uint64_t dataBlock, std::uint64_t total) {
    const auto delta = static_cast<std::uint32_t>(total - 0xFF * blockBytes);
    dataSum += delta;
    for (std::size_t i = 0; i < ranges.size(); ++i) {
      if (ranges[i].first <= dataBlock && dataBlock <= ranges[i].last) rangeSums[i] += delta;
    }
  }
};

// The page offset of the first stored ECC byte of `step` that is not what the page's
// data gives: the data gathered from the page and laid out again beside it. The step's
// first ECC byte where the difference lies in bytes of its codeword past the data (the
// last codeword of an interleaved page), which the layout fills with 0xFF.
std::uint32_t FirstDifferingEccByte(const PageCodec& codec, std::span<const std::uint8_t> page, std::uint32_t step) {
  const PagePlan& plan = codec.Plan();
  const std::uint32_t stepBytes = codec.Scheme().step, stored = codec.Scheme().eccBytes;
  std::vector<std::uint8_t> data(codec.DataBytes()), codeword(stepBytes), laid(codec.PageBytes());
  for (const StepPlace& p : plan.steps) {
    std::memcpy(codeword.data(), page.data() + p.at[0], p.split);
    std::memcpy(codeword.data() + p.split, page.data() + p.at[1], stepBytes - p.split);
    std::memcpy(data.data() + p.dataFrom, codeword.data(), p.dataLen);
  }
  EccLayoutOptions all;
  all.programErased = true;
  codec.LayOut(data, laid, all);
  const std::uint32_t* at = plan.eccOffsets.data() + plan.steps[step].eccFirst;
  for (std::uint32_t i = 0; i < stored; ++i)
    if (page[at[i]] != laid[at[i]]) return at[i];
  return at[0];
}

// Checks the ECC of every page of a block, and adds its bytes up into `total` while
// each page is still in the processor's nearest cache. The counts are kept here and
// written out once: the other thread writes its blocks' beside them, and sharing a
// cache line page after page would cost both threads.
void CheckEcc(std::span<const std::uint8_t> block, std::uint32_t index, const PageCodec& codec, LintEcc& out,
              std::uint64_t& outTotal) {
  const std::uint32_t pageBytes = codec.PageBytes();
  const std::uint64_t steps = codec.Plan().steps.size();
  LintEcc ecc;
  std::uint64_t total = 0;
  for (std::uint32_t page = 0; page * std::size_t{pageBytes} < block.size(); ++page) {
    const auto bytes = block.subspan(std::size_t{page} * pageBytes, pageBytes);
    const PageCheck check = codec.Check(bytes);
    total += ByteTotal(bytes);
    if (check.erased) {
      ++ecc.erasedPages;
      continue;
    }
    ++ecc.pages;
    ecc.steps += steps;
    if (check.differing.empty()) continue;
    ecc.differingSteps += check.differing.size();
    ++ecc.differingPages;
    if (!ecc.first) {
      const std::uint32_t step = check.differing.front();
      ecc.first = LintEccDifference{index, page, step,
                                    std::uint64_t{index} * block.size() + std::uint64_t{page} * pageBytes +
                                        FirstDifferingEccByte(codec, bytes, step)};
    }
  }
  out = std::move(ecc);
  outTotal = total;
}

// A second thread that runs one task at a time beside the caller's: checking a raw
// image's ECC costs more than reading it, so both threads read and check (see
// LintRowImage). Where no thread can be had, a task runs at once on the caller's.
// Tasks follow each other every fraction of a millisecond, about as long as putting a
// thread to sleep and waking it again takes: both sides first wait a little while
// awake (SpinUntil) and only then sleep.
class Helper {
 public:
  Helper() = default;
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;
  ~Helper() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
      posted_.store(true, std::memory_order_release);
    }
    changed_.notify_all();
    thread_.join();
  }
  void Start(std::function<void()> task) {
    if (!started_) {
      started_ = true;
      try {
        thread_ = std::thread([this] { Loop(); });
      } catch (const std::system_error&) {
        // No second thread: every task runs here.
      }
    }
    if (!thread_.joinable()) {
      task();
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      task_ = std::move(task);
      busy_.store(true, std::memory_order_relaxed);
      posted_.store(true, std::memory_order_release);
    }
    changed_.notify_all();
  }
  // Until the task started last has run.
  void Wait() {
    if (!thread_.joinable()) return;
    SpinUntil([&] { return !busy_.load(std::memory_order_acquire); });
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !busy_.load(std::memory_order_relaxed); });
  }

 private:
  // Polls `done` for up to about a tenth of a millisecond.
  template <typename Done>
  static void SpinUntil(Done done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(100);
    for (unsigned i = 1; !done(); ++i) {
      if (i % 64 == 0 && std::chrono::steady_clock::now() > until) return;
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    }
  }
  void Loop() {
    for (;;) {
      std::function<void()> task;
      SpinUntil([&] { return posted_.load(std::memory_order_acquire); });
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return stop_ || task_; });
        if (stop_) return;
        task = std::move(task_);
        task_ = nullptr;
        posted_.store(false, std::memory_order_relaxed);
      }
      task();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        busy_.store(false, std::memory_order_release);
      }
      changed_.notify_all();
    }
  }
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::function<void()> task_;
  std::atomic<bool> busy_{false}, posted_{false};
  bool stop_ = false, started_ = false;
};

// A block's ECC counts added to those of the blocks before it: the first difference
// stays the earliest.
void AddLater(LintEcc& ecc, const LintEcc& later) {
  ecc.pages += later.pages;
  ecc.erasedPages += later.erasedPages;
  ecc.steps += later.steps;
  ecc.differingSteps += later.differingSteps;
  ecc.differingPages += later.differingPages;
  if (!ecc.first) ecc.first = later.first;
}

// Notes one image block's mark.
void MarkOfBlock(std::span<const std::uint8_t> block, std::uint32_t index, const LintJob& job, LintRowReport& row) {
  const auto mark = row.pageData ? std::optional<BlockMark>() : FindMark(block, job.layout, job.markerPages);
  if (mark) {
    row.marks.push_back({index, mark->page, std::uint64_t{index} * block.size() + mark->offset, block[mark->offset]});
  }
}

// Notes one image block's byte total: whether it is entirely 0xFF, and its sum.
void TotalOfBlock(std::uint64_t total, std::uint64_t blockBytes, std::uint32_t index, LintRowReport& row,
                  SumKeeper& sums) {
  if (total == 0xFF * blockBytes) {
    ++row.erasedBlocks;
    if (!row.erasedRuns.empty() && row.erasedRuns.back().first + row.erasedRuns.back().count == index) {
      ++row.erasedRuns.back().count;
    } else {
      row.erasedRuns.push_back({index, 1});
    }
  }
  sums.Block(std::uint64_t{row.range.first} + index, total);
}

}  // namespace

std::uint64_t LintReport::MarkedBlocks() const {
  std::uint64_t n = 0;
  for (const LintRowReport& r : rows) n += r.marks.size();
  return n;
}

std::uint64_t LintReport::DifferingEccSteps() const {
  std::uint64_t n = 0;
  for (const LintRowReport& r : rows) n += r.ecc ? r.ecc->differingSteps : 0;
  return n;
}

namespace {

// One piece of a row's image in a buffer of its own: read in chunks that either
// thread may take, each chunk's outcome kept until the piece is looked at.
struct PieceRead {
  std::vector<std::uint8_t> bytes;
  std::uint64_t at = 0;    // its offset in the image
  std::size_t want = 0;    // its bytes, the image's last piece shorter
  std::vector<std::size_t> got;
  std::vector<std::optional<FileError>> failed;
};

// Chunks of a piece read on their own: enough of them to share the reading out.
constexpr std::size_t kChunkBytes = std::size_t{256} << 10;

std::size_t Chunks(std::size_t bytes) { return (bytes + kChunkBytes - 1) / kChunkBytes; }

void ReadChunk(File& image, PieceRead& piece, std::size_t c) {
  const std::size_t from = c * kChunkBytes, n = std::min(kChunkBytes, piece.want - from);
  auto got = image.ReadAt(piece.at + from, std::span(piece.bytes).subspan(from, n), &piece.got[c]);
  if (!got) piece.failed[c] = got.error();
}

void StartPiece(PieceRead& piece, std::uint64_t at, std::size_t want) {
  piece.at = at;
  piece.want = want;
  piece.got.assign(Chunks(want), 0);
  piece.failed.assign(Chunks(want), std::nullopt);
}

// The piece as read: the first chunk's failure, or an image that grew shorter since
// it was measured.
Status PieceStatus(const PieceRead& piece, const std::string& path) {
  for (std::size_t c = 0; c < piece.got.size(); ++c) {
    if (piece.failed[c]) return *piece.failed[c];
    if (piece.got[c] != std::min(kChunkBytes, piece.want - c * kChunkBytes)) return ChangedImage(path);
  }
  return {};
}

// `pages` pages of page data laid out into `laid` as the merge lays them out.
std::span<const std::uint8_t> LayOutPageData(const PageCodec& codec, bool programErased,
                                             std::span<const std::uint8_t> data, std::size_t pages,
                                             std::vector<std::uint8_t>& laid) {
  const EccLayoutOptions options{programErased};
  for (std::size_t p = 0; p < pages; ++p) {
    codec.LayOut(data.subspan(p * codec.DataBytes(), codec.DataBytes()),
                 std::span(laid).subspan(p * codec.PageBytes(), codec.PageBytes()), options);
  }
  return laid;
}

// Reads one row's image a piece at a time and looks at every block. While a piece is
// looked at the next one is read: this thread notes each block's mark, erased state
// and sum, and then both threads take the next piece's chunks to read and this
// piece's blocks to check the ECC of, until none are left. So neither the reading nor
// the ECC waits for the other, and each gets whichever thread is free.
Status LintRowImage(const LintJob& job, const LintRow& lintRow, File& image, LintRowReport& row, SumKeeper& sums,
                    Helper& helper, std::uint64_t& bytesRead) {
  const std::uint64_t blockBytes = job.layout.BlockBytes();
  const std::uint64_t pieceBlocks = std::max<std::uint64_t>(1, kPieceBytes / blockBytes);
  // Page data is read in blocks of its pages' data bytes and laid out as the merge
  // lays it out; any other image in whole blocks.
  const PageCodec* codec = lintRow.pageCodec;
  const std::uint64_t imageBlock =
      codec ? std::uint64_t{codec->DataBytes()} * (blockBytes / codec->PageBytes()) : blockBytes;
  PieceRead reads[2];
  for (PieceRead& r : reads) r.bytes.resize(static_cast<std::size_t>(pieceBlocks * imageBlock));
  std::vector<std::uint8_t> laid(codec ? static_cast<std::size_t>(pieceBlocks * blockBytes) : 0);
  auto pieceAt = [&](std::uint64_t at) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(reads[0].bytes.size(), row.imageBytes - at));
  };
  if (row.imageBytes > 0) {
    StartPiece(reads[0], 0, pieceAt(0));
    for (std::size_t c = 0; c < reads[0].got.size(); ++c) ReadChunk(image, reads[0], c);
  }
  std::uint32_t index = 0;
  for (std::uint64_t at = 0, k = 0; at < row.imageBytes; ++k) {
    PieceRead& current = reads[k % 2];
    if (Status s = PieceStatus(current, lintRow.imagePath); !s) return s;
    const std::size_t want = current.want;
    // The partial last block as the merge writes it: completed with 0xFF.
    const std::size_t blocks = static_cast<std::size_t>((want + imageBlock - 1) / imageBlock);
    std::memset(current.bytes.data() + want, 0xFF, blocks * imageBlock - want);
    std::span<const std::uint8_t> piece = current.bytes;
    if (codec) {
      piece = LayOutPageData(*codec, lintRow.programErased, piece, blocks * (blockBytes / codec->PageBytes()), laid);
    }
    PieceRead& next = reads[(k + 1) % 2];
    const bool more = at + want < row.imageBytes;
    if (more) StartPiece(next, at + want, pieceAt(at + want));
    const std::size_t chunks = more ? next.got.size() : 0;
    auto blockAt = [&](std::size_t b) {
      return piece.subspan(b * static_cast<std::size_t>(blockBytes), static_cast<std::size_t>(blockBytes));
    };
    // Blocks whose ECC is checked are added up by the check, the others here.
    std::vector<LintEcc> ecc(row.ecc ? blocks : 0);
    std::vector<std::uint64_t> totals(blocks);
    std::atomic<std::size_t> taken{0};
    auto share = [&] {
      for (std::size_t item; (item = taken.fetch_add(1, std::memory_order_relaxed)) < chunks + ecc.size();) {
        if (item < chunks) ReadChunk(image, next, item);
        else CheckEcc(blockAt(item - chunks), index + static_cast<std::uint32_t>(item - chunks), *lintRow.rawEcc,
                      ecc[item - chunks], totals[item - chunks]);
      }
    };
    if (chunks + ecc.size() > 1) helper.Start(share);
    for (std::size_t b = 0; b < blocks; ++b) {
      MarkOfBlock(blockAt(b), index + static_cast<std::uint32_t>(b), job, row);
      if (ecc.empty()) totals[b] = ByteTotal(blockAt(b));
    }
    share();
    helper.Wait();
    for (const LintEcc& e : ecc) AddLater(*row.ecc, e);
    for (std::size_t b = 0; b < blocks; ++b)
      TotalOfBlock(totals[b], blockBytes, index + static_cast<std::uint32_t>(b), row, sums);
    index += static_cast<std::uint32_t>(blocks);
    at += want;
    bytesRead += want;
  }
  if (!row.erasedRuns.empty() && row.erasedRuns.back().first + row.erasedRuns.back().count == index) {
    row.trailingErased = row.erasedRuns.back().count;
  }
  return {};
}

}  // namespace

Expected<LintReport> LintImages(const LintJob& job) {
  LintReport report;
  const std::uint64_t blockBytes = job.layout.BlockBytes();
  SumKeeper sums(blockBytes, job.rows);
  Helper helper;
  for (const LintRow& lintRow : job.rows) {
    LintRowReport row;
    row.row = lintRow.row;
    row.range = lintRow.range;
    row.pageData = lintRow.pageData;
    // A codec for another page size would read every page out of step.
    if (lintRow.rawEcc && lintRow.rawEcc->PageBytes() == job.layout.PageBytes()) row.ecc.emplace().scheme = lintRow.rawEcc->Scheme();
    auto image = File::OpenRead(lintRow.imagePath);
    if (!image) return image.error();
    row.imageBytes = image->OpenedSize();
    const PageCodec* codec = lintRow.pageCodec;
    const std::uint64_t imageBlock =
        codec ? std::uint64_t{codec->DataBytes()} * (blockBytes / codec->PageBytes()) : blockBytes;
    if ((row.imageBytes + imageBlock - 1) / imageBlock != lintRow.range.imageBlocks) {
      return ChangedImage(lintRow.imagePath);
    }
    if (Status s = LintRowImage(job, lintRow, *image, row, sums, helper, report.bytesRead); !s) return s.error();
    report.dataBytes = (std::uint64_t{lintRow.range.first} + lintRow.range.imageBlocks) * blockBytes;
    report.rows.push_back(std::move(row));
  }
  for (std::size_t i = 0; i < report.rows.size(); ++i) report.rows[i].rangeSum = sums.rangeSums[i];
  report.dataSum = static_cast<std::uint32_t>(sums.dataSum + RepeatedByteSum(0xFF, report.dataBytes));
  return report;
}

}  // namespace folvane
