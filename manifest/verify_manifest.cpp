#include "manifest/verify_manifest.hpp"

#include <algorithm>
#include <vector>

namespace folvane::manifest {

namespace {

// Feeds the first `limit` bytes of a file to `feed` in pieces; the file's length,
// which may be more: what lies past the limit cannot make the file match, and a
// sparse file of hundreds of gigabytes is not read to its end.
template <class Feed>
Expected<std::uint64_t> ReadUpTo(const std::string& path, std::uint64_t limit, Feed feed) {
  auto file = File::OpenRead(path);
  if (!file) return file.error();
  std::vector<std::uint8_t> piece(std::size_t{1} << 20);
  std::uint64_t at = 0;
  while (at < limit) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), limit - at));
    auto got = file->ReadAt(at, std::span(piece.data(), n));
    if (!got) return got.error();
    if (*got == 0) return at;
    feed(std::span<const std::uint8_t>(piece.data(), *got));
    at += *got;
  }
  // At the limit: one byte more says whether the file goes on, its size how far.
  std::uint8_t more = 0;
  auto got = file->ReadAt(at, std::span(&more, 1));
  if (!got) return got.error();
  if (*got == 0) return at;
  auto size = file->Size();
  return size && *size > at ? *size : at + 1;
}

}  // namespace

std::optional<VerifyReport> VerifyAgainstManifest(const Manifest& manifest, const std::string& tablePath,
                                                  const std::string& dataPath, ManifestFailure& failure) {
  DigestTap tap(manifest.blockSize);
  std::vector<DigestRange> ranges;
  for (const ManifestPartition& p : manifest.partitions) {
    ranges.push_back({p.offset, p.digest.bytes, BlockRange{p.startBlock, p.endBlock, 0}.Blocks() * manifest.blockSize});
  }
  tap.SetRanges(ranges);
  VerifyReport report;
  for (auto [path, limit, length, table] : {std::tuple{&tablePath, manifest.table.bytes, &report.tableBytes, true},
                                            std::tuple{&dataPath, manifest.data.bytes, &report.dataBytes, false}}) {
    auto read = ReadUpTo(*path, limit, [&, table = table](std::span<const std::uint8_t> b) {
      table ? tap.TableWritten(b) : tap.DataWritten(b);
    });
    if (!read) {
      failure.file = read.error();
      return std::nullopt;
    }
    *length = *read;
  }
  DigestValue table = tap.Table(), data = tap.Data();
  const std::vector<DigestValue> got = tap.Ranges();
  const std::vector<std::uint32_t> wholeRanges = tap.WholeRangeSums();
  if (tap.Failed()) {
    failure.problem = "SHA-256 failed: the system's hashing is not available";
    return std::nullopt;
  }
  table.bytes = report.tableBytes;
  data.bytes = report.dataBytes;

  auto compare = [&](VerifyPlace place, int row, const DigestValue& have, const DigestValue& want,
                     std::uint64_t block, std::uint64_t blocks) {
    // A manifest from before byte sums were recorded is checked by what it holds.
    if (have.bytes == want.bytes && have.sha256 == want.sha256 && have.crc32 == want.crc32 &&
        (!want.byteSum || have.byteSum == want.byteSum)) {
      return;
    }
    VerifyDifference d;
    d.place = place;
    d.cause = have.bytes < want.bytes ? VerifyCause::Missing
              : have.bytes > want.bytes ? VerifyCause::Extra
                                        : VerifyCause::Differs;
    d.row = row;
    d.byDigest = true;
    d.block = block;
    d.blocks = blocks;
    d.bytes = have.bytes;
    d.expectedBytes = want.bytes;
    report.differences.push_back(d);
  };
  compare(VerifyPlace::Table, 0, table, manifest.table, 0, 0);
  for (std::size_t i = 0; i < manifest.partitions.size(); ++i) {
    const ManifestPartition& p = manifest.partitions[i];
    compare(VerifyPlace::Partition, p.row, got[i], p.digest, p.startBlock, p.imageBlocks);
  }
  // The fill between partitions has no digest of its own: only the whole image's
  // digest can tell that it differs.
  const std::size_t before = report.differences.size();
  compare(VerifyPlace::Data, 0, data, manifest.data, 0, 0);
  // A range's sum covers its partition and the bytes after it up to its end block,
  // all of which the digests above compared; with all of them matching, a range sum
  // that does not is the manifest's own inconsistency, told against the range.
  for (std::size_t i = 0; i < manifest.partitions.size() && report.differences.size() == before; ++i) {
    const ManifestPartition& p = manifest.partitions[i];
    if (!p.rangeByteSum || *p.rangeByteSum == wholeRanges[i]) continue;
    DigestValue range = p.digest, wanted = p.digest;
    range.byteSum = wholeRanges[i];
    wanted.byteSum = p.rangeByteSum;
    compare(VerifyPlace::Partition, p.row, range, wanted, p.startBlock, BlockRange{p.startBlock, p.endBlock, 0}.Blocks());
  }
  return report;
}

}  // namespace folvane::manifest
