#include "merge/verify.hpp"

#include "job/block_text.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace folvane {

namespace {

// Each file is read in pieces of this size: large enough that the system calls cost
// nothing next to the comparison, small enough to stay in the cache.
constexpr std::size_t kPieceBytes = std::size_t{1} << 20;

// Where `a` and `b` first differ, or `n` if they agree.
std::size_t FirstDifference(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
  if (std::memcmp(a, b, n) == 0) return n;
  return static_cast<std::size_t>(std::mismatch(a, a + n, b).first - a);
}

}  // namespace

namespace {

// The bytes a region of page data holds from data-image byte `from` (a block
// boundary) on: the image's data for those blocks, 0xFF past its end, each page laid
// out by the region's codec.
Status LaidOutPages(File& image, const DataRegion& region, std::uint64_t from, std::span<std::uint8_t> out) {
  const PageCodec& codec = *region.codec;
  const std::uint64_t pages = out.size() / codec.PageBytes();
  const std::uint64_t dataFrom = from / codec.PageBytes() * codec.DataBytes();
  std::vector<std::uint8_t> data(pages * codec.DataBytes(), 0xFF);
  if (dataFrom < region.imageBytes) {
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(data.size(), region.imageBytes - dataFrom));
    auto read = image.ReadAt(dataFrom, std::span(data).first(wanted));
    if (!read) return read.error();
    if (*read != wanted) return FileError{FileErrorCause::BadSeek, FileOp::Seek, region.imagePath, 0};
  }
  const EccLayoutOptions options{region.programErased};
  for (std::uint64_t p = 0; p < pages; ++p) {
    codec.LayOut(std::span(data).subspan(p * codec.DataBytes(), codec.DataBytes()),
                 out.subspan(p * codec.PageBytes(), codec.PageBytes()), options);
  }
  return {};
}

}  // namespace

std::vector<DataRegion> DataLayout(const PartitionSet& set, const MergeResult& planned, const MergeOptions& options) {
  std::vector<DataRegion> regions;
  std::uint64_t cursor = 0;
  for (int row = 1; row <= kRowCount; ++row) {
    const PlannedRow& r = planned.plan.Row(row);
    if (!r.taken) continue;
    if (r.offset > cursor) regions.push_back({DataRegion::Kind::Fill, row, cursor, r.offset - cursor, {}, 0});
    const PageCodec* codec = options.pageCodecs[static_cast<std::size_t>(row - 1)];
    regions.push_back({DataRegion::Kind::Partition, row, r.offset, r.dataBytes, set.Slot(row).imagePath,
                       r.imageBytes.value_or(0), codec, options.programErasedPages});
    cursor = r.offset + r.dataBytes;
  }
  return regions;
}

std::string VerifyDifference::Describe() const {
  if (byDigest) {
    const std::string what = place == VerifyPlace::Table ? "table"
                             : place == VerifyPlace::Data
                                 ? "data image"
                                 : "row " + std::to_string(row) + ", blocks " + Hex(block) + " to " + Hex(block + blocks - 1);
    if (bytes == expectedBytes) return what + ": the digests differ from the manifest's";
    return what + ": " + std::to_string(bytes) + " bytes, the manifest says " + std::to_string(expectedBytes);
  }
  switch (place) {
    case VerifyPlace::Table: {
      const std::string where =
          block == 0 ? "after the records" : "record " + std::to_string(block) + ", row " + std::to_string(row);
      if (cause == VerifyCause::Missing) return "table: the file ends at byte " + Hex(offset) + " (" + where + ")";
      if (cause == VerifyCause::Extra) return "table: the file goes on after its 512 bytes";
      return "table: byte " + Hex(offset) + " differs (" + where + ")";
    }
    case VerifyPlace::Partition: {
      const std::string what = "row " + std::to_string(row) + ": block " + Hex(block) + " (block " +
                               Hex(imageBlock) + " of its image)";
      if (cause == VerifyCause::Missing) return what + " is missing: the data image ends before byte " + Hex(offset);
      return what + " differs at byte " + Hex(offset);
    }
    case VerifyPlace::Fill: {
      const std::string what = "fill before row " + std::to_string(row) + ": block " + Hex(block);
      if (cause == VerifyCause::Missing) return what + " is missing: the data image ends before byte " + Hex(offset);
      return what + " is not all 0xFF at byte " + Hex(offset);
    }
    case VerifyPlace::AfterEnd:
      return "the data image goes on after the end of row " + std::to_string(row) + "'s image: block " + Hex(block) +
             " at byte " + Hex(offset) + " should not be there";
    case VerifyPlace::Data:
      break;  // only ever compared by digest
  }
  return {};
}

Expected<VerifyReport> VerifyOutputs(const std::string& tablePath, const std::string& dataPath,
                                     const VerifyExpectation& expected) {
  VerifyReport report;
  const std::uint64_t blockSize = expected.blockSize;

  auto table = File::OpenRead(tablePath);
  if (!table) return table.error();
  report.tableBytes = table->OpenedSize();
  TableArea area{};
  auto tableGot = table->ReadAt(0, area);
  if (!tableGot) return tableGot.error();
  table->Close();
  const std::size_t same = FirstDifference(area.data(), expected.table.data(), *tableGot);
  if (same < *tableGot || *tableGot < kTableSize || report.tableBytes > kTableSize) {
    VerifyDifference d{VerifyPlace::Table, VerifyCause::Differs, 0, 0, same, 0};
    if (same == *tableGot) d.cause = *tableGot < kTableSize ? VerifyCause::Missing : VerifyCause::Extra;
    const std::size_t record = same / PartitionEntry::kSize;
    if (record < expected.recordRows.size()) {
      d.block = record + 1;
      d.row = expected.recordRows[record];
    }
    report.differences.push_back(d);
  }

  auto data = File::OpenRead(dataPath);
  if (!data) return data.error();
  report.dataBytes = data->OpenedSize();
  std::vector<std::uint8_t> piece(std::max<std::size_t>(kPieceBytes, blockSize)),
      want(std::max<std::size_t>(kPieceBytes, blockSize));
  const std::vector<std::uint8_t> fill(kPieceBytes, 0xFF);
  bool ended = false;  // the data image was found to end early
  int lastRow = 0;
  for (const DataRegion& region : expected.regions) {
    const bool partition = region.kind == DataRegion::Kind::Partition;
    if (partition) lastRow = region.row;
    auto differ = [&](VerifyCause cause, std::uint64_t at) {
      VerifyDifference d{partition ? VerifyPlace::Partition : VerifyPlace::Fill, cause, region.row, at / blockSize,
                         at, 0};
      if (partition) d.imageBlock = (at - region.offset) / blockSize;
      report.differences.push_back(d);
    };
    if (ended) {
      differ(VerifyCause::Missing, region.offset);
      continue;
    }
    File image;
    if (partition) {
      auto opened = File::OpenRead(region.imagePath);
      if (!opened) return opened.error();
      image = std::move(*opened);
    }
    // Pages laid out by a codec are compared a block at a time, each laid out again
    // from the image's data as the merge laid it out.
    const std::uint64_t step = region.codec ? std::uint64_t{blockSize} * std::max<std::uint64_t>(1, kPieceBytes / blockSize)
                                            : kPieceBytes;
    for (std::uint64_t done = 0; done < region.bytes;) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(step, region.bytes - done));
      auto got = data->ReadAt(region.offset + done, std::span(piece).first(n));
      if (!got) return got.error();
      const std::uint8_t* expect = fill.data();
      if (partition && region.codec) {
        if (auto laid = LaidOutPages(image, region, done, std::span(want).first(n)); !laid) return laid.error();
        expect = want.data();
      } else if (partition && done < region.imageBytes) {
        const auto fromImage = static_cast<std::size_t>(std::min<std::uint64_t>(n, region.imageBytes - done));
        auto read = image.ReadAt(done, std::span(want).first(fromImage));
        if (!read) return read.error();
        // The image is shorter than when the job was measured: there is nothing to
        // compare the rest with.
        if (*read != fromImage) return FileError{FileErrorCause::BadSeek, FileOp::Seek, region.imagePath, 0};
        std::memset(want.data() + fromImage, 0xFF, n - fromImage);
        expect = want.data();
      }
      const std::size_t at = FirstDifference(piece.data(), expect, *got);
      if (at < *got) {
        differ(VerifyCause::Differs, region.offset + done + at);
        break;
      }
      if (*got < n) {
        differ(VerifyCause::Missing, region.offset + done + *got);
        ended = true;
        break;
      }
      done += n;
    }
  }
  if (!ended && report.dataBytes > expected.dataBytes) {
    report.differences.push_back(VerifyDifference{VerifyPlace::AfterEnd, VerifyCause::Extra, lastRow,
                                                  expected.dataBytes / blockSize, expected.dataBytes, 0});
  }
  return report;
}

}  // namespace folvane
