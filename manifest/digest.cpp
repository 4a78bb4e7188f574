#include "digest.hpp"

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <limits>
#include <mutex>
#include <thread>

#include "sha256.hpp"

namespace folvane::cli {

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

std::string Crc32Text(std::uint32_t crc) {
  char b[16];
  std::snprintf(b, sizeof b, "%08x", crc);
  return b;
}

// The data image's digest and the CRC-32s are taken on a second thread from copies
// of the bytes, while the merge goes on writing and this thread hashes each range's
// SHA-256: the two SHA-256 passes over a partition's bytes run side by side. The
// data image's CRC-32 is put together from the CRC of each range and of the bytes
// between them, so that each byte goes through the CRC once.
struct DigestTap::State {
  Sha256 tableSha;
  std::uint32_t tableCrc = 0;
  std::uint64_t tableBytes = 0;
  std::vector<std::unique_ptr<Sha256>> rangeSha;
  std::vector<DigestValue> rangeValues;  // bytes and sha256 here, crc32 from the worker
  std::uint64_t dataBytes = 0;
  std::size_t next = 0;  // the first range not yet passed, for this thread

  // The worker's own.
  Sha256 dataSha;
  std::uint32_t dataCrc = 0;  // of every byte before the range in progress
  std::uint64_t crcBytes = 0;
  std::size_t crcNext = 0;
  std::vector<std::uint32_t> rangeCrc;
  std::vector<std::uint64_t> rangeCrcBytes;

  // Pieces travel to the worker and come back to be filled again.
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::vector<std::uint8_t>> queued, spare;
  bool working = false;
  bool stop = false;
  std::thread worker;
};

namespace {
// Pieces waiting for the worker at most: enough to ride out a slow moment on either
// side, few enough to keep the copies in the cache.
constexpr std::size_t kQueuedPieces = 4;
}  // namespace

DigestTap::DigestTap(std::uint32_t blockSize) : state_(std::make_unique<State>()), blockSize_(blockSize) {
  state_->tableCrc = Crc(0, {});
  state_->dataCrc = Crc(0, {});
}

DigestTap::~DigestTap() {
  State& s = *state_;
  if (!s.worker.joinable()) return;
  {
    std::lock_guard lock(s.mutex);
    s.stop = true;
  }
  s.changed.notify_all();
  s.worker.join();
}

void DigestTap::SetRanges(std::vector<DigestRange> ranges) {
  State& s = *state_;
  ranges_ = std::move(ranges);
  rangesSet_ = true;
  s.rangeSha.clear();
  s.rangeValues.assign(ranges_.size(), DigestValue{});
  s.rangeCrc.assign(ranges_.size(), Crc(0, {}));
  s.rangeCrcBytes.assign(ranges_.size(), 0);
  for (std::size_t i = 0; i < ranges_.size(); ++i) s.rangeSha.push_back(std::make_unique<Sha256>());
}

void DigestTap::TableWritten(std::span<const std::uint8_t> bytes) {
  State& s = *state_;
  s.tableSha.Update(bytes);
  s.tableCrc = Crc(s.tableCrc, bytes);
  s.tableBytes += bytes.size();
  if (!rangesSet_ && s.tableBytes == kTableSize && bytes.size() == kTableSize) {
    std::vector<DigestRange> ranges;
    for (const PartitionEntry& e : DecodePartitionTable(bytes.first<kTableSize>())) {
      ranges.push_back({std::uint64_t{e.startBlock} * blockSize_, std::uint64_t{e.imageBlocks} * blockSize_});
    }
    SetRanges(std::move(ranges));
  }
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
  if (!s.worker.joinable()) s.worker = std::thread([this] { Work(); });
  std::vector<std::uint8_t> copy;
  {
    std::unique_lock lock(s.mutex);
    s.changed.wait(lock, [&] { return s.queued.size() < kQueuedPieces; });
    if (!s.spare.empty()) {
      copy = std::move(s.spare.front());
      s.spare.pop_front();
    }
  }
  copy.assign(bytes.begin(), bytes.end());
  {
    std::lock_guard lock(s.mutex);
    s.queued.push_back(std::move(copy));
  }
  s.changed.notify_all();

  SplitAtRanges(ranges_, s.next, s.dataBytes, bytes, [&](std::size_t range, std::span<const std::uint8_t> piece) {
    if (range == std::string::npos) return;
    s.rangeSha[range]->Update(piece);
    s.rangeValues[range].bytes += piece.size();
  });
  s.dataBytes += bytes.size();
}

void DigestTap::Work() {
  State& s = *state_;
  for (;;) {
    std::vector<std::uint8_t> piece;
    {
      std::unique_lock lock(s.mutex);
      s.changed.wait(lock, [&] { return s.stop || !s.queued.empty(); });
      if (s.queued.empty()) return;
      piece = std::move(s.queued.front());
      s.queued.pop_front();
      s.working = true;
    }
    s.dataSha.Update(piece);
    SplitAtRanges(ranges_, s.crcNext, s.crcBytes, piece, [&](std::size_t range, std::span<const std::uint8_t> part) {
      if (range == std::string::npos) {
        s.dataCrc = Crc(s.dataCrc, part);
        return;
      }
      // Inside a range: its own CRC; the data image's takes it whole at its end.
      s.rangeCrc[range] = Crc(s.rangeCrc[range], part);
      s.rangeCrcBytes[range] += part.size();
      if (s.rangeCrcBytes[range] == ranges_[range].bytes) {
        s.dataCrc = CrcCombine(s.dataCrc, s.rangeCrc[range], s.rangeCrcBytes[range]);
      }
    });
    s.crcBytes += piece.size();
    {
      std::lock_guard lock(s.mutex);
      s.spare.push_back(std::move(piece));
      s.working = false;
    }
    s.changed.notify_all();
  }
}

void DigestTap::Drain() {
  State& s = *state_;
  std::unique_lock lock(s.mutex);
  s.changed.wait(lock, [&] { return s.queued.empty() && !s.working; });
}

DigestValue DigestTap::Table() {
  State& s = *state_;
  return {s.tableBytes, s.tableSha.Hex().value_or(""), s.tableCrc};
}

DigestValue DigestTap::Data() {
  Drain();
  State& s = *state_;
  std::uint32_t crc = s.dataCrc;
  // The data ended inside a range: that range's bytes so far still belong to the CRC.
  for (std::size_t i = 0; i < ranges_.size(); ++i) {
    if (s.rangeCrcBytes[i] != 0 && s.rangeCrcBytes[i] != ranges_[i].bytes) {
      crc = CrcCombine(crc, s.rangeCrc[i], s.rangeCrcBytes[i]);
    }
  }
  return {s.dataBytes, s.dataSha.Hex().value_or(""), crc};
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
  std::vector<DigestValue> values = s.rangeValues;
  for (std::size_t i = 0; i < values.size(); ++i) {
    values[i].sha256 = s.rangeSha[i]->Hex().value_or("");
    values[i].crc32 = s.rangeCrc[i];
  }
  return values;
}

}  // namespace folvane::cli
