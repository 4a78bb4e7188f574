#include "manifest/manifest.hpp"

#include <limits>
#include <stdexcept>

#include "job/block_text.hpp"
#include "job/part_file.hpp"
#include "job/stored_text.hpp"
#include "manifest/sha256.hpp"

namespace folvane::manifest {

std::optional<Manifest> MakeManifest(const PartitionSet& set, const MergeResult& result, int blockModeSelection,
                                     const FlashGeometry& geometry, const std::string& tablePath,
                                     const std::string& dataPath, DigestTap& tap, ManifestFailure& failure) {
  Manifest m;
  m.blockMode = StoredBlockMode(blockModeSelection);
  m.blockSize = geometry.blockSize;
  m.pageSize = geometry.pageSize;
  m.tablePath = tablePath;
  m.dataPath = dataPath;
  m.table = tap.Table();
  m.data = tap.Data();
  const std::vector<DigestValue> ranges = tap.Ranges();
  const std::vector<std::uint32_t> wholeRanges = tap.WholeRangeSums();
  if (tap.Failed()) {
    failure.problem = "SHA-256 failed: the system's hashing is not available";
    return std::nullopt;
  }
  std::size_t next = 0;
  for (int row = 1; row <= kRowCount && next < ranges.size(); ++row) {
    const PlannedRow& planned = result.plan.Row(row);
    if (!planned.taken) continue;
    const PartitionSlot& slot = set.Slot(row);
    m.partitions.push_back({row, slot.name, slot.ecc, planned.range.first, planned.range.last, planned.range.imageBlocks,
                            planned.offset, ranges[next], wholeRanges[next]});
    ++next;
  }
  return m;
}

namespace {

bool IsHex(const std::string& text, std::size_t length) {
  return text.size() == length && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// A file's place in the manifest. A path that is not UTF-8 cannot stand in a JSON
// text as it is: its bytes go into "pathBytes" as well, and "path" shows it to people.
nlohmann::json DigestJson(const std::string& path, const DigestValue& v) {
  nlohmann::json j = {{"path", path}, {"bytes", v.bytes}, {"sha256", v.sha256}, {"crc32", Crc32Text(v.crc32)}};
  if (v.byteSum) j["byteSum"] = *v.byteSum;
  if (!IsValidUtf8(path)) {
    j["pathBytes"] = HexText(std::span(reinterpret_cast<const std::uint8_t*>(path.data()), path.size()));
  }
  return j;
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

// The path of a file the manifest names: its bytes where it gives them, else its
// text. A NUL would cut the path short where the system reads it: refused.
std::string PathFromJson(const nlohmann::json& j) {
  std::string path;
  if (const auto bytes = j.find("pathBytes"); bytes != j.end()) {
    const std::string hex = bytes->get<std::string>();
    if (hex.size() % 2 != 0 || !IsHex(hex, hex.size())) throw std::invalid_argument("a pathBytes is not hexadecimal");
    for (std::size_t i = 0; i < hex.size(); i += 2) path += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  } else {
    path = j.at("path").get<std::string>();
  }
  if (path.find('\0') != std::string::npos) throw std::invalid_argument("a path holds a NUL character");
  return path;
}

DigestValue DigestFromJson(const nlohmann::json& j) {
  DigestValue v;
  v.bytes = Count<std::uint64_t>(j, "bytes");
  v.sha256 = j.at("sha256").get<std::string>();
  const auto crc = j.at("crc32").get<std::string>();
  if (!IsHex(v.sha256, 64) || !IsHex(crc, 8)) throw std::invalid_argument("a digest is not lower-case hexadecimal");
  v.crc32 = static_cast<std::uint32_t>(std::stoul(crc, nullptr, 16));
  // Manifests written before byte sums were recorded have none.
  if (j.contains("byteSum")) v.byteSum = Count<std::uint32_t>(j, "byteSum");
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
    if (!p.name.empty()) entry["name"] = p.name;
    if (!p.ecc.empty()) entry["ecc"] = p.ecc;
    entry["sha256"] = p.digest.sha256;
    entry["crc32"] = Crc32Text(p.digest.crc32);
    if (p.digest.byteSum) entry["byteSum"] = *p.digest.byteSum;
    if (p.rangeByteSum) entry["rangeByteSum"] = *p.rangeByteSum;
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
    m.tablePath = PathFromJson(j.at("table"));
    m.table = DigestFromJson(j.at("table"));
    m.dataPath = PathFromJson(j.at("data"));
    m.data = DigestFromJson(j.at("data"));
    // No merge writes more than the blocks up to the highest block number: a larger
    // size is no manifest of ours, and would have verify read on without end.
    if (m.table.bytes != kTableSize || m.data.bytes > std::uint64_t{m.blockSize} * (kMaxBlockNumber + 1)) {
      throw std::invalid_argument("its sizes are larger than any merge writes");
    }
    const nlohmann::json& list = j.at("partitions");
    if (!list.is_array() || list.size() > static_cast<std::size_t>(kRowCount)) {
      throw std::invalid_argument("its partitions are not a list of at most 16");
    }
    std::uint64_t end = 0;
    for (const auto& p : list) {
      ManifestPartition part;
      part.row = Count<std::uint8_t>(p, "row");
      for (const auto& [key, into] : {std::pair{"name", &part.name}, {"ecc", &part.ecc}}) {
        if (!p.contains(key)) continue;
        if (!p.at(key).is_string()) throw std::invalid_argument(std::string("a partition's ") + key + " is not a text");
        *into = p.at(key).get<std::string>();
      }
      part.startBlock = Count<std::uint32_t>(p, "startBlock");
      part.endBlock = Count<std::uint32_t>(p, "endBlock");
      part.imageBlocks = Count<std::uint32_t>(p, "imageBlocks");
      part.offset = Count<std::uint64_t>(p, "offset");
      part.digest = DigestFromJson(p);
      if (p.contains("rangeByteSum")) part.rangeByteSum = Count<std::uint32_t>(p, "rangeByteSum");
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

std::optional<Manifest> ReadManifest(const std::string& path, ManifestFailure& failure) {
  // A manifest of sixteen partitions is a few kilobytes; anything far larger is no
  // manifest, and is not read to its end.
  constexpr std::size_t kMaxManifestBytes = std::size_t{1} << 20;
  auto file = File::OpenRead(path);
  if (!file) {
    failure.file = file.error();
    return std::nullopt;
  }
  std::string text(kMaxManifestBytes + 1, '\0');
  auto got = file->ReadAt(0, std::span(reinterpret_cast<std::uint8_t*>(text.data()), text.size()));
  if (!got) {
    failure.file = got.error();
    return std::nullopt;
  }
  text.resize(*got);
  const auto parsed = text.size() > kMaxManifestBytes ? nlohmann::json() : nlohmann::json::parse(text, nullptr, false);
  std::string problem = "it is not JSON";
  auto manifest = parsed.is_discarded() || parsed.is_null() ? std::nullopt : ManifestFromJson(parsed, &problem);
  if (!manifest) failure.problem = problem;
  return manifest;
}

}  // namespace folvane::manifest
