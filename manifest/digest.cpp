#include "digest.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <limits>
#include <mutex>
#include <thread>

#include "io/file_io.hpp"
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

// Every digest of the data image is taken beside the merge, on two threads of its
// own, from a copy of the bytes: one takes the data image's SHA-256, the other each
// range's SHA-256 and all the CRC-32s, so that the merge's thread only copies and the
// two SHA-256 passes over a partition's bytes run side by side. The data image's
// CRC-32 is put together from the CRC of each range and of the bytes between them, so
// that each byte goes through the CRC once.
struct DigestTap::State {
  Sha256 tableSha;
  std::uint32_t tableCrc = 0;
  std::uint64_t tableBytes = 0;
  std::uint64_t dataBytes = 0;

  // The data image's lane.
  Sha256 dataSha;
  // The ranges' lane.
  std::vector<std::unique_ptr<Sha256>> rangeSha;
  std::vector<std::uint64_t> rangeBytes;
  std::vector<std::uint32_t> rangeCrc;
  std::uint32_t dataCrc = 0;  // of every byte before the range in progress
  std::uint64_t crcBytes = 0;
  std::size_t crcNext = 0;

  // Each piece goes to both lanes and is freed when both are done with it.
  using Piece = std::shared_ptr<const std::vector<std::uint8_t>>;
  struct Lane {
    std::deque<Piece> queued;
    bool working = false;
    std::thread thread;
  };
  std::array<Lane, 2> lanes;
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
  if (!s.lanes[0].thread.joinable()) {
    for (int lane = 0; lane < 2; ++lane) s.lanes[lane].thread = std::thread([this, lane] { Work(lane); });
  }
  auto piece = std::make_shared<const std::vector<std::uint8_t>>(bytes.begin(), bytes.end());
  {
    std::unique_lock lock(s.mutex);
    s.changed.wait(lock, [&] {
      return s.lanes[0].queued.size() < kQueuedPieces && s.lanes[1].queued.size() < kQueuedPieces;
    });
    for (State::Lane& lane : s.lanes) lane.queued.push_back(piece);
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
  return {s.tableBytes, s.tableSha.Hex(), s.tableCrc};
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
  return {s.dataBytes, s.dataSha.Hex(), crc};
}

std::vector<DigestValue> DigestTap::Ranges() {
  Drain();
  State& s = *state_;
  std::vector<DigestValue> values(ranges_.size());
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = {s.rangeBytes[i], s.rangeSha[i]->Hex(), s.rangeCrc[i]};
  return values;
}

namespace {

nlohmann::json DigestJson(const std::string& path, const DigestValue& v) {
  return {{"path", path}, {"bytes", v.bytes}, {"sha256", v.sha256}, {"crc32", Crc32Text(v.crc32)}};
}

bool IsHex(const std::string& text, std::size_t length) {
  return text.size() == length && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// A count from a manifest, which anyone may have edited: a whole number that fits,
// never a negative or fractional one converted into something else.
template <class T>
T Count(const nlohmann::json& j, const char* key) {
  const nlohmann::json& v = j.at(key);
  if (!v.is_number_unsigned() || v.get<std::uint64_t>() > std::numeric_limits<T>::max()) {
    throw std::invalid_argument(std::string(key) + " is not a count");
  }
  return static_cast<T>(v.get<std::uint64_t>());
}

DigestValue DigestFromJson(const nlohmann::json& j) {
  DigestValue v;
  v.bytes = Count<std::uint64_t>(j, "bytes");
  v.sha256 = j.at("sha256").get<std::string>();
  const auto crc = j.at("crc32").get<std::string>();
  if (!IsHex(v.sha256, 64) || !IsHex(crc, 8)) throw std::invalid_argument("a digest is not lower-case hexadecimal");
  v.crc32 = static_cast<std::uint32_t>(std::stoul(crc, nullptr, 16));
  return v;
}

// A file name as sha256sum writes it: a line with a backslash, a newline or a carriage
// return in its name starts with a backslash and has them escaped.
std::string Sha256SumLine(const std::string& sha, const std::string& path) {
  std::string name;
  bool escaped = false;
  for (char c : path) {
    if (c == '\\') name += "\\\\";
    else if (c == '\n') name += "\\n";
    else if (c == '\r') name += "\\r";
    else {
      name += c;
      continue;
    }
    escaped = true;
  }
  return (escaped ? "\\" : "") + sha + "  " + name + "\n";
}

}  // namespace

nlohmann::json PartitionPlaceJson(const ManifestPartition& p) {
  return {{"row", p.row},
          {"startBlock", p.startBlock},
          {"endBlock", p.endBlock},
          {"imageBlocks", p.imageBlocks},
          {"offset", p.offset},
          {"bytes", p.digest.bytes}};
}

nlohmann::json ManifestJson(const Manifest& m) {
  nlohmann::json partitions = nlohmann::json::array();
  for (const ManifestPartition& p : m.partitions) {
    nlohmann::json entry = PartitionPlaceJson(p);
    entry["sha256"] = p.digest.sha256;
    entry["crc32"] = Crc32Text(p.digest.crc32);
    partitions.push_back(std::move(entry));
  }
  return {{"format", "folvane-manifest"},
          {"version", 1},
          {"blockMode", m.blockMode},
          {"blockSize", m.blockSize},
          {"pageSize", m.pageSize},
          {"table", DigestJson(m.tablePath, m.table)},
          {"data", DigestJson(m.dataPath, m.data)},
          {"partitions", partitions}};
}

std::optional<Manifest> ManifestFromJson(const nlohmann::json& j, std::string* problem) {
  try {
    if (j.at("format") != "folvane-manifest") throw std::invalid_argument("it is not a folvane manifest");
    if (j.at("version") != 1) throw std::invalid_argument("it is a manifest of another version");
    Manifest m;
    m.blockMode = Count<std::uint8_t>(j, "blockMode");
    m.blockSize = Count<std::uint32_t>(j, "blockSize");
    m.pageSize = Count<std::uint32_t>(j, "pageSize");
    if (m.blockSize == 0) throw std::invalid_argument("its block size is 0");
    m.tablePath = j.at("table").at("path").get<std::string>();
    m.table = DigestFromJson(j.at("table"));
    m.dataPath = j.at("data").at("path").get<std::string>();
    m.data = DigestFromJson(j.at("data"));
    const nlohmann::json& list = j.at("partitions");
    if (!list.is_array() || list.size() > static_cast<std::size_t>(kRowCount)) {
      throw std::invalid_argument("its partitions are not a list of at most 16");
    }
    std::uint64_t end = 0;
    for (const auto& p : list) {
      ManifestPartition part;
      part.row = Count<std::uint8_t>(p, "row");
      part.startBlock = Count<std::uint32_t>(p, "startBlock");
      part.endBlock = Count<std::uint32_t>(p, "endBlock");
      part.imageBlocks = Count<std::uint32_t>(p, "imageBlocks");
      part.offset = Count<std::uint64_t>(p, "offset");
      part.digest = DigestFromJson(p);
      // The ranges are hashed in one pass over the data image: they must come in
      // order and stay inside it.
      if (part.offset < end || part.digest.bytes > m.data.bytes || part.offset > m.data.bytes - part.digest.bytes) {
        throw std::invalid_argument("its partitions overlap or lie outside the data image");
      }
      end = part.offset + part.digest.bytes;
      m.partitions.push_back(part);
    }
    return m;
  } catch (const std::exception& e) {
    if (problem) *problem = e.what();
    return std::nullopt;
  }
}

std::string Sha256SumText(const Manifest& m) {
  return Sha256SumLine(m.data.sha256, m.dataPath) + Sha256SumLine(m.table.sha256, m.tablePath);
}

std::string ManifestText(const Manifest& manifest, const std::string& path) {
  const bool json = path.size() >= 5 && path.compare(path.size() - 5, 5, ".json") == 0;
  return json ? ManifestJson(manifest).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n"
              : Sha256SumText(manifest);
}

}  // namespace folvane::cli
