#include "manifest/digest.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <thread>

#include <fmt/format.h>

#include "merge/byte_sums.hpp"
#include "manifest/sha256.hpp"

namespace folvane::manifest {

namespace {

std::uint32_t Crc(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
  return static_cast<std::uint32_t>(crc32_z(crc, bytes.data(), bytes.size()));
}

}  // namespace

std::uint32_t CrcCombine(std::uint32_t first, std::uint32_t second, std::uint64_t secondBytes) {
  // zlib takes the length as a long, which has 32 bits on Windows. The combination
  // is the first CRC carried over the second part's length, then the second CRC
  // added; carrying it over a long length is carrying it over its pieces in turn.
  constexpr std::uint64_t kStep = std::uint64_t{1} << 30;
  for (; secondBytes > kStep; secondBytes -= kStep)
    first = static_cast<std::uint32_t>(crc32_combine(first, 0, static_cast<z_off_t>(kStep)));
  return static_cast<std::uint32_t>(crc32_combine(first, second, static_cast<z_off_t>(secondBytes)));
}

std::string Crc32Text(std::uint32_t crc) { return fmt::format("{:08x}", crc); }

// Every digest of the data image is taken beside the merge, on two threads of its
// own, from a copy of the bytes: one takes the data image's SHA-256 and all the byte
// sums, the other each range's SHA-256 and all the CRC-32s, so that the merge's thread
// only copies and the two SHA-256 passes over a partition's bytes run side by side
// (the sums go with the lighter lane). The data image's
// CRC-32 is put together from the CRC of each range and of the bytes between them, so
// that each byte goes through the CRC once.
struct DigestTap::State {
  Sha256 tableSha;
  std::uint32_t tableCrc = 0;
  std::uint32_t tableSum = 0;
  std::uint64_t tableBytes = 0;
  std::uint64_t dataBytes = 0;

  // The data image's lane.
  Sha256 dataSha;
  RangeByteSums sums;  // the data image's, each range's and each whole range's
  // The ranges' lane.
  std::vector<std::unique_ptr<Sha256>> rangeSha;
  std::vector<std::uint64_t> rangeBytes;
  std::vector<std::uint32_t> rangeCrc;
  std::uint32_t dataCrc = 0;  // of every byte before the range in progress
  std::uint64_t crcBytes = 0;
  std::size_t crcNext = 0;

  // Each piece goes to both lanes and comes back to `spare` when both are done with
  // it: a fresh allocation for every piece would cost the page faults of touching new
  // memory, as much as the copy itself.
  using Piece = std::shared_ptr<std::vector<std::uint8_t>>;
  struct Lane {
    std::deque<Piece> queued;
    bool working = false;
    std::thread thread;
  };
  std::array<Lane, 2> lanes;
  std::vector<Piece> spare;
  std::mutex mutex;
  std::condition_variable changed;
  bool stop = false;
};

namespace {
// Pieces waiting for a lane at most: enough to ride out a slow moment on either
// side, few enough to keep the copies in the cache.
constexpr std::size_t kQueuedPieces = 4;
}  // namespace

DigestTap::DigestTap(std::uint32_t blockSize) : state_(std::make_unique<State>()), blockSize_(blockSize) {
  state_->tableCrc = Crc(0, {});
  state_->dataCrc = Crc(0, {});
}

DigestTap::~DigestTap() {
  State& s = *state_;
  {
    std::lock_guard lock(s.mutex);
    s.stop = true;
  }
  s.changed.notify_all();
  for (State::Lane& lane : s.lanes) {
    if (lane.thread.joinable()) lane.thread.join();
  }
}

void DigestTap::SetRanges(std::vector<DigestRange> ranges) {
  State& s = *state_;
  ranges_ = std::move(ranges);
  rangesSet_ = true;
  s.rangeSha.clear();
  s.rangeBytes.assign(ranges_.size(), 0);
  s.rangeCrc.assign(ranges_.size(), Crc(0, {}));
  for (std::size_t i = 0; i < ranges_.size(); ++i) s.rangeSha.push_back(std::make_unique<Sha256>());
  std::vector<ByteSpan> spans;
  for (const DigestRange& r : ranges_) spans.push_back({r.offset, r.bytes});
  for (const DigestRange& r : ranges_) spans.push_back({r.offset, std::max(r.bytes, r.rangeBytes)});
  s.sums = RangeByteSums(std::move(spans));
}

void DigestTap::TableWritten(std::span<const std::uint8_t> bytes) {
  State& s = *state_;
  s.tableSha.Update(bytes);
  s.tableCrc = Crc(s.tableCrc, bytes);
  s.tableSum = ByteSum(bytes, s.tableSum);
  s.tableBytes += bytes.size();
}

DigestRange DigestRange::Of(const BlockRange& range, std::uint32_t blockSize) {
  return {std::uint64_t{range.first} * blockSize, std::uint64_t{range.imageBlocks} * blockSize, range.Blocks() * blockSize};
}

void DigestTap::Planned(const MergePlan& plan) {
  if (rangesSet_) return;
  std::vector<DigestRange> ranges;
  for (const TakenRange& taken : plan.TakenRanges()) ranges.push_back(DigestRange::Of(taken.range, blockSize_));
  SetRanges(std::move(ranges));
}

// Splits `bytes`, which start at data image offset `at`, at the range borders and
// calls `part(range or npos, piece)` for each piece in order; `next` is the caller's
// first range not yet passed.
template <class Part>
void SplitAtRanges(const std::vector<DigestRange>& ranges, std::size_t& next, std::uint64_t at,
                   std::span<const std::uint8_t> bytes, Part part) {
  while (!bytes.empty()) {
    while (next < ranges.size() && ranges[next].offset + ranges[next].bytes <= at) ++next;
    std::size_t take = bytes.size();
    std::size_t range = std::string::npos;
    if (next < ranges.size() && at >= ranges[next].offset) {
      range = next;
      take = static_cast<std::size_t>(std::min<std::uint64_t>(take, ranges[next].offset + ranges[next].bytes - at));
    } else if (next < ranges.size()) {
      take = static_cast<std::size_t>(std::min<std::uint64_t>(take, ranges[next].offset - at));
    }
    part(range, bytes.first(take));
    at += take;
    bytes = bytes.subspan(take);
  }
}

void DigestTap::DataWritten(std::span<const std::uint8_t> bytes) {
  State& s = *state_;
  if (!s.lanes[0].thread.joinable()) {
    for (int lane = 0; lane < 2; ++lane) s.lanes[lane].thread = std::thread([this, lane] { Work(lane); });
  }
  State::Piece piece;
  {
    std::lock_guard lock(s.mutex);
    if (!s.spare.empty()) {
      piece = std::move(s.spare.back());
      s.spare.pop_back();
    }
  }
  if (!piece) piece = std::make_shared<std::vector<std::uint8_t>>();
  piece->assign(bytes.begin(), bytes.end());
  {
    std::unique_lock lock(s.mutex);
    s.changed.wait(lock, [&] {
      return s.lanes[0].queued.size() < kQueuedPieces && s.lanes[1].queued.size() < kQueuedPieces;
    });
    s.lanes[0].queued.push_back(piece);
    s.lanes[1].queued.push_back(std::move(piece));
  }
  s.changed.notify_all();
  s.dataBytes += bytes.size();
}

void DigestTap::Work(int laneIndex) {
  State& s = *state_;
  State::Lane& lane = s.lanes[static_cast<std::size_t>(laneIndex)];
  for (;;) {
    State::Piece piece;
    {
      std::unique_lock lock(s.mutex);
      s.changed.wait(lock, [&] { return s.stop || !lane.queued.empty(); });
      if (lane.queued.empty()) return;
      piece = lane.queued.front();
      lane.working = true;
    }
    if (laneIndex == 0) {
      s.dataSha.Update(*piece);
      s.sums.Add(*piece);
    } else {
      SplitAtRanges(ranges_, s.crcNext, s.crcBytes, *piece, [&](std::size_t range, std::span<const std::uint8_t> part) {
        if (range == std::string::npos) {
          s.dataCrc = Crc(s.dataCrc, part);
          return;
        }
        // Inside a range: its own digests; the data image's CRC takes it whole at its end.
        s.rangeSha[range]->Update(part);
        s.rangeCrc[range] = Crc(s.rangeCrc[range], part);
        s.rangeBytes[range] += part.size();
        if (s.rangeBytes[range] == ranges_[range].bytes) {
          s.dataCrc = CrcCombine(s.dataCrc, s.rangeCrc[range], s.rangeBytes[range]);
        }
      });
      s.crcBytes += piece->size();
    }
    {
      std::lock_guard lock(s.mutex);
      lane.queued.pop_front();
      lane.working = false;
      // Every other holder gives its reference up under this lock: the last one out
      // sees it alone.
      if (piece.use_count() == 1) s.spare.push_back(std::move(piece));
      piece.reset();
    }
    s.changed.notify_all();
  }
}

void DigestTap::Drain() {
  State& s = *state_;
  std::unique_lock lock(s.mutex);
  s.changed.wait(lock, [&] {
    return std::all_of(s.lanes.begin(), s.lanes.end(), [](const State::Lane& l) { return l.queued.empty() && !l.working; });
  });
}

DigestValue DigestTap::Table() {
  State& s = *state_;
  return {s.tableBytes, s.tableSha.Hex().value_or(""), s.tableCrc, s.tableSum};
}

DigestValue DigestTap::Data() {
  Drain();
  State& s = *state_;
  std::uint32_t crc = s.dataCrc;
  // The data ended inside a range: that range's bytes so far still belong to the CRC.
  for (std::size_t i = 0; i < ranges_.size(); ++i) {
    if (s.rangeBytes[i] != 0 && s.rangeBytes[i] != ranges_[i].bytes) {
      crc = CrcCombine(crc, s.rangeCrc[i], s.rangeBytes[i]);
    }
  }
  return {s.dataBytes, s.dataSha.Hex().value_or(""), crc, s.sums.Total()};
}

bool DigestTap::Failed() {
  Drain();
  State& s = *state_;
  bool failed = s.tableSha.Failed() || s.dataSha.Failed();
  for (const auto& sha : s.rangeSha) failed = failed || sha->Failed();
  return failed;
}

std::vector<DigestValue> DigestTap::Ranges() {
  Drain();
  State& s = *state_;
  const std::vector<std::uint32_t> sums = s.sums.Sums();
  std::vector<DigestValue> values(ranges_.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    values[i] = {s.rangeBytes[i], s.rangeSha[i]->Hex().value_or(""), s.rangeCrc[i], sums[i]};
  }
  return values;
}

std::vector<std::uint32_t> DigestTap::WholeRangeSums() {
  Drain();
  const std::vector<std::uint32_t> sums = state_->sums.Sums(0xFF);
  return {sums.begin() + static_cast<std::ptrdiff_t>(ranges_.size()), sums.end()};
}

}  // namespace folvane::manifest
