// Feeds arbitrary chips to the dump comparison (verify --dump): small pages, a few
// rows with any ranges (overlapping ones too), bad blocks from marks or from a list,
// then the dump and the data image from the input's bytes. Whatever the bytes, each
// row places no more image blocks than it has, skips only blocks of its own range,
// and counts its differences consistently.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "flash/dump_verify.hpp"
#include "fuzz_support.hpp"

using folvane::fuzz::MemoryFile;
using folvane::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace folvane;
  constexpr std::size_t kHeader = 6 + 3 * 3;
  if (size < kHeader) return 0;
  DumpCheck check;
  check.layout = PageLayout{data[0] % 32u + 1, data[1] % 8u + 1, data[2] % 4u + 1};
  check.markerPages = data[3] % 7u + 1;
  check.bitflips = data[4] % 4u;
  const std::uint32_t blockBytes = check.layout.BlockBytes();
  const std::size_t rows = data[5] % 3u + 1;
  std::vector<std::uint32_t> listed;
  for (std::size_t r = 0; r < rows; ++r) {
    const std::uint8_t* at = data + 6 + 3 * r;
    const std::uint32_t first = at[0] % 16u, last = first + at[1] % 8u;
    check.rows.push_back({static_cast<int>(r + 1), BlockRange{first, last, at[2] % 10u}});
    if (at[2] & 0x80) listed.push_back(last);
  }
  const std::uint8_t* rest = data + kHeader;
  const std::size_t restSize = size - kHeader;
  // The dump takes whole blocks from the front (at least enough for the ranges when the
  // input has them); the data image what follows.
  const std::size_t dumpBytes = std::min(restSize, (restSize / 2 / blockBytes + 1) * std::size_t{blockBytes});
  if (data[5] & 0x80) {
    std::sort(listed.begin(), listed.end());
    listed.erase(std::unique(listed.begin(), listed.end()), listed.end());
    check.badBlocks = BadBlockSet(listed);
  }
  static int dumpFd = -1, dataFd = -1;
  check.dumpPath = MemoryFile(dumpFd, rest, dumpBytes);
  check.dataPath = MemoryFile(dataFd, rest + dumpBytes, restSize - dumpBytes);
  if (check.dumpPath.empty() || check.dataPath.empty()) return 0;

  auto report = VerifyDump(check);
  if (!report || !report->sizeProblem.empty()) return 0;
  Require(report->rows.size() == check.rows.size());
  Require(report->chipBlocks * blockBytes == report->dumpBytes);
  for (const DumpRow& r : report->rows) {
    Require(r.placedBlocks <= r.range.imageBlocks);
    Require(r.placedBlocks + r.badBlocks.size() <= r.range.Blocks());
    for (std::size_t i = 0; i < r.badBlocks.size(); ++i) {
      Require(r.range.first <= r.badBlocks[i] && r.badBlocks[i] <= r.range.last);
      Require(i == 0 || r.badBlocks[i - 1] < r.badBlocks[i]);
    }
    Require(r.pagesOverLimit <= r.differingPages && r.differingPages <= r.differingBits);
    Require(r.first.has_value() == (r.differingPages != 0));
    if (r.first) {
      Require(r.range.first <= r.first->physicalBlock && r.first->physicalBlock <= r.range.last);
      Require(r.first->dumpOffset / blockBytes == r.first->physicalBlock);
      if (r.first->imageBlock) Require(*r.first->imageBlock < r.placedBlocks);
    }
  }
  return 0;
}
