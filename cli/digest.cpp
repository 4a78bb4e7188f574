#include "digest.hpp"

#include <openssl/evp.h>
#include <zlib.h>

#include <cstdio>

#include "file_io.hpp"

namespace folvane::cli {

namespace {

// One SHA-256 in progress, through libcrypto (which uses the processor's SHA
// instructions where there are some).
class Sha256 {
 public:
  Sha256() : ctx_(EVP_MD_CTX_new()) { EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr); }
  ~Sha256() { EVP_MD_CTX_free(ctx_); }
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void Update(std::span<const std::uint8_t> bytes) {
    if (!bytes.empty()) EVP_DigestUpdate(ctx_, bytes.data(), bytes.size());
  }
  std::string Hex() {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_DigestFinal_ex(ctx_, out, &n);
    std::string hex;
    char b[3];
    for (unsigned int i = 0; i < n; ++i) {
      std::snprintf(b, sizeof b, "%02x", out[i]);
      hex += b;
    }
    return hex;
  }

 private:
  EVP_MD_CTX* ctx_;
};

std::uint32_t Crc(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
  return static_cast<std::uint32_t>(crc32_z(crc, bytes.data(), bytes.size()));
}

std::uint32_t CrcCombine(std::uint32_t first, std::uint32_t second, std::uint64_t secondBytes) {
  return static_cast<std::uint32_t>(crc32_combine64(first, second, static_cast<z_off64_t>(secondBytes)));
}

}  // namespace

std::string Crc32Text(std::uint32_t crc) {
  char b[16];
  std::snprintf(b, sizeof b, "%08x", crc);
  return b;
}

// The CRC-32 of the data image is put together from the CRC of each range and of the
// bytes between them, so that each byte goes through the CRC once.
struct DigestTap::State {
  Sha256 tableSha;
  std::uint32_t tableCrc = 0;
  std::uint64_t tableBytes = 0;
  Sha256 dataSha;
  std::uint32_t dataCrc = 0;  // of every byte before the range in progress
  std::uint64_t dataBytes = 0;
  std::vector<std::unique_ptr<Sha256>> rangeSha;
  std::vector<DigestValue> rangeValues;
  std::size_t next = 0;  // the first range not yet finished
};

DigestTap::DigestTap(std::uint32_t blockSize) : state_(std::make_unique<State>()), blockSize_(blockSize) {
  state_->tableCrc = Crc(0, {});
  state_->dataCrc = Crc(0, {});
}

DigestTap::~DigestTap() = default;

void DigestTap::SetRanges(std::vector<DigestRange> ranges) {
  ranges_ = std::move(ranges);
  rangesSet_ = true;
  state_->rangeSha.clear();
  state_->rangeValues.assign(ranges_.size(), DigestValue{});
  for (std::size_t i = 0; i < ranges_.size(); ++i) {
    state_->rangeSha.push_back(std::make_unique<Sha256>());
    state_->rangeValues[i].crc32 = Crc(0, {});
  }
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

void DigestTap::DataWritten(std::span<const std::uint8_t> bytes) {
  State& s = *state_;
  s.dataSha.Update(bytes);
  while (!bytes.empty()) {
    const std::uint64_t at = s.dataBytes;
    while (s.next < ranges_.size() && ranges_[s.next].offset + ranges_[s.next].bytes <= at) ++s.next;
    std::size_t take = bytes.size();
    if (s.next < ranges_.size() && at >= ranges_[s.next].offset) {
      // Inside a range: its own digests; the data image's CRC takes it whole at its end.
      const DigestRange& r = ranges_[s.next];
      take = static_cast<std::size_t>(std::min<std::uint64_t>(take, r.offset + r.bytes - at));
      const auto part = bytes.first(take);
      DigestValue& v = s.rangeValues[s.next];
      s.rangeSha[s.next]->Update(part);
      v.crc32 = Crc(v.crc32, part);
      v.bytes += take;
      if (v.bytes == r.bytes) s.dataCrc = CrcCombine(s.dataCrc, v.crc32, v.bytes);
    } else {
      if (s.next < ranges_.size()) take = static_cast<std::size_t>(std::min<std::uint64_t>(take, ranges_[s.next].offset - at));
      s.dataCrc = Crc(s.dataCrc, bytes.first(take));
    }
    s.dataBytes += take;
    bytes = bytes.subspan(take);
  }
}

DigestValue DigestTap::Table() {
  State& s = *state_;
  return {s.tableBytes, s.tableSha.Hex(), s.tableCrc};
}

DigestValue DigestTap::Data() {
  State& s = *state_;
  std::uint32_t crc = s.dataCrc;
  // The data ended inside a range: that range's bytes so far still belong to the CRC.
  for (std::size_t i = 0; i < ranges_.size(); ++i) {
    const DigestValue& v = s.rangeValues[i];
    if (v.bytes != 0 && v.bytes != ranges_[i].bytes) crc = CrcCombine(crc, v.crc32, v.bytes);
  }
  return {s.dataBytes, s.dataSha.Hex(), crc};
}

std::vector<DigestValue> DigestTap::Ranges() {
  State& s = *state_;
  std::vector<DigestValue> values = s.rangeValues;
  for (std::size_t i = 0; i < values.size(); ++i) values[i].sha256 = s.rangeSha[i]->Hex();
  return values;
}

namespace {

nlohmann::json DigestJson(const std::string& path, const DigestValue& v) {
  return {{"path", path}, {"bytes", v.bytes}, {"sha256", v.sha256}, {"crc32", Crc32Text(v.crc32)}};
}

bool IsHex(const std::string& text, std::size_t length) {
  return text.size() == length && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

DigestValue DigestFromJson(const nlohmann::json& j) {
  DigestValue v;
  v.bytes = j.at("bytes").get<std::uint64_t>();
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

nlohmann::json ManifestJson(const Manifest& m) {
  nlohmann::json partitions = nlohmann::json::array();
  for (const ManifestPartition& p : m.partitions) {
    partitions.push_back({{"row", p.row},
                          {"startBlock", p.startBlock},
                          {"endBlock", p.endBlock},
                          {"imageBlocks", p.imageBlocks},
                          {"offset", p.offset},
                          {"bytes", p.digest.bytes},
                          {"sha256", p.digest.sha256},
                          {"crc32", Crc32Text(p.digest.crc32)}});
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
    m.blockMode = j.at("blockMode").get<int>();
    m.blockSize = j.at("blockSize").get<std::uint32_t>();
    m.pageSize = j.at("pageSize").get<std::uint32_t>();
    if (m.blockSize == 0) throw std::invalid_argument("its block size is 0");
    m.tablePath = j.at("table").at("path").get<std::string>();
    m.table = DigestFromJson(j.at("table"));
    m.dataPath = j.at("data").at("path").get<std::string>();
    m.data = DigestFromJson(j.at("data"));
    std::uint64_t end = 0;
    for (const auto& p : j.at("partitions")) {
      ManifestPartition part;
      part.row = p.at("row").get<int>();
      part.startBlock = p.at("startBlock").get<std::uint32_t>();
      part.endBlock = p.at("endBlock").get<std::uint32_t>();
      part.imageBlocks = p.at("imageBlocks").get<std::uint32_t>();
      part.offset = p.at("offset").get<std::uint64_t>();
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

bool WriteManifests(const Manifest& manifest, const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    const bool json = path.size() >= 5 && path.compare(path.size() - 5, 5, ".json") == 0;
    const std::string text = json ? ManifestJson(manifest).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n"
                                  : Sha256SumText(manifest);
    auto file = File::CreateReplacement(path);
    Status status = file ? file->Write(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()))
                         : Status(file.error());
    if (status && file) status = file->Commit();
    if (!status) {
      std::fprintf(stderr, "%s\n", status.error().Message().c_str());
      return false;
    }
  }
  return true;
}

}  // namespace folvane::cli
