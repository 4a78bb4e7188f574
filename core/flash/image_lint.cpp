#include "flash/image_lint.hpp"

#include <algorithm>
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
constexpr std::uint64_t kPieceBytes = std::uint64_t{512} << 10;

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

void CheckEcc(std::span<const std::uint8_t> block, std::uint32_t index, const PageCodec& codec, LintEcc& ecc) {
  const std::uint32_t pageBytes = codec.PageBytes();
  const std::uint64_t steps = codec.Plan().steps.size();
  for (std::uint32_t page = 0; page * std::size_t{pageBytes} < block.size(); ++page) {
    const auto bytes = block.subspan(std::size_t{page} * pageBytes, pageBytes);
    const PageCheck check = codec.Check(bytes);
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
}

// A second thread that runs one task at a time beside the caller's: checking a raw
// image's ECC costs more than reading it, so the later half of each piece's blocks is
// checked there while this thread checks the rest. Where no thread can be had, a task
// runs at once on the caller's.
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
      busy_ = true;
    }
    changed_.notify_all();
  }
  // Until the task started last has run.
  void Wait() {
    if (!thread_.joinable()) return;
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !busy_; });
  }

 private:
  void Loop() {
    for (;;) {
      std::function<void()> task;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return stop_ || task_; });
        if (stop_) return;
        task = std::move(task_);
        task_ = nullptr;
      }
      task();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        busy_ = false;
      }
      changed_.notify_all();
    }
  }
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::function<void()> task_;
  bool busy_ = false, stop_ = false, started_ = false;
};

// What the helper found in its blocks added to what this thread found in the blocks
// before them: the first difference stays the earliest.
void AddLater(LintEcc& ecc, const LintEcc& later) {
  ecc.pages += later.pages;
  ecc.erasedPages += later.erasedPages;
  ecc.steps += later.steps;
  ecc.differingSteps += later.differingSteps;
  ecc.differingPages += later.differingPages;
  if (!ecc.first) ecc.first = later.first;
}

// Notes one image block: its mark, its stored ECC (unless the helper checks it),
// whether it is entirely 0xFF, and its sum.
void LookAtBlock(std::span<const std::uint8_t> block, std::uint32_t index, const LintJob& job, const LintRow& lintRow,
                 LintRowReport& row, SumKeeper& sums, bool checkEcc) {
  const auto mark = row.pageData ? std::optional<BlockMark>() : FindMark(block, job.layout, job.markerPages);
  if (mark) {
    row.marks.push_back({index, mark->page, std::uint64_t{index} * block.size() + mark->offset, block[mark->offset]});
  }
  if (row.ecc && checkEcc) CheckEcc(block, index, *lintRow.rawEcc, *row.ecc);
  const std::uint64_t total = ByteTotal(block);
  if (total == 0xFF * std::uint64_t{block.size()}) {
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

Expected<LintReport> LintImages(const LintJob& job) {
  LintReport report;
  const std::uint64_t blockBytes = job.layout.BlockBytes();
  const std::uint64_t pieceBlocks = std::max<std::uint64_t>(1, kPieceBytes / blockBytes);
  std::vector<std::uint8_t> piece(static_cast<std::size_t>(pieceBlocks * blockBytes));
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
    // Page data is read in blocks of its pages' data bytes and laid out as the merge
    // lays it out; any other image in whole blocks.
    const PageCodec* codec = lintRow.pageCodec;
    const std::uint64_t imageBlock =
        codec ? std::uint64_t{codec->DataBytes()} * (blockBytes / codec->PageBytes()) : blockBytes;
    if ((row.imageBytes + imageBlock - 1) / imageBlock != lintRow.range.imageBlocks) {
      return ChangedImage(lintRow.imagePath);
    }
    std::vector<std::uint8_t> data(codec ? static_cast<std::size_t>(pieceBlocks * imageBlock) : 0);
    std::span<std::uint8_t> in = codec ? std::span(data) : std::span(piece);
    std::uint32_t index = 0;
    for (std::uint64_t at = 0; at < row.imageBytes;) {
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(in.size(), row.imageBytes - at));
      auto got = image->ReadAt(at, in.first(want));
      if (!got) return got.error();
      // The image grew shorter since it was measured.
      if (*got != want) return ChangedImage(lintRow.imagePath);
      // The partial last block as the merge writes it: completed with 0xFF.
      const std::size_t blocks = static_cast<std::size_t>((want + imageBlock - 1) / imageBlock);
      std::memset(in.data() + want, 0xFF, blocks * imageBlock - want);
      if (codec) {
        const EccLayoutOptions options{lintRow.programErased};
        for (std::size_t p = 0; p < blocks * (blockBytes / codec->PageBytes()); ++p) {
          codec->LayOut(in.subspan(p * codec->DataBytes(), codec->DataBytes()),
                        std::span(piece).subspan(p * codec->PageBytes(), codec->PageBytes()), options);
        }
      }
      auto blockAt = [&](std::size_t b) {
        return std::span<const std::uint8_t>(piece).subspan(b * static_cast<std::size_t>(blockBytes),
                                                            static_cast<std::size_t>(blockBytes));
      };
      // The later half of the piece's ECC goes to the helper; this thread checks the
      // earlier half and does the rest of every block.
      const std::size_t mine = row.ecc && blocks >= 2 ? blocks / 2 : blocks;
      LintEcc later;
      if (mine < blocks) {
        helper.Start([&, mine, blocks, index] {
          for (std::size_t b = mine; b < blocks; ++b)
            CheckEcc(blockAt(b), index + static_cast<std::uint32_t>(b), *lintRow.rawEcc, later);
        });
      }
      for (std::size_t b = 0; b < blocks; ++b) {
        LookAtBlock(blockAt(b), index++, job, lintRow, row, sums, b < mine);
      }
      helper.Wait();
      if (mine < blocks) AddLater(*row.ecc, later);
      at += want;
      report.bytesRead += want;
    }
    if (!row.erasedRuns.empty() && row.erasedRuns.back().first + row.erasedRuns.back().count == index) {
      row.trailingErased = row.erasedRuns.back().count;
    }
    report.dataBytes = (std::uint64_t{lintRow.range.first} + lintRow.range.imageBlocks) * blockBytes;
    report.rows.push_back(std::move(row));
  }
  for (std::size_t i = 0; i < report.rows.size(); ++i) report.rows[i].rangeSum = sums.rangeSums[i];
  report.dataSum = static_cast<std::uint32_t>(sums.dataSum + RepeatedByteSum(0xFF, report.dataBytes));
  return report;
}

}  // namespace folvane
