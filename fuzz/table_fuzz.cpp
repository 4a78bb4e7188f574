// Feeds arbitrary bytes to the partition table reader (folvane-cli table, verify). The
// records it gives back are those of the area up to the first all-0xFF one, and
// written again, field by field, give the same bytes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "job/partition.hpp"
#include "fuzz_support.hpp"

using folvane::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace folvane;
  TableArea area{};
  area.fill(0xFF);
  std::copy_n(data, std::min(size, area.size()), area.begin());
  const auto entries = DecodePartitionTable(area);
  Require(entries.size() <= kTableSize / PartitionEntry::kSize);
  TableArea written{};
  written.fill(0xFF);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    entries[i].EncodeTo(std::span<std::uint8_t, PartitionEntry::kSize>(written.data() + i * PartitionEntry::kSize,
                                                                        PartitionEntry::kSize));
  }
  const std::size_t used = entries.size() * PartitionEntry::kSize;
  Require(std::equal(area.begin(), area.begin() + static_cast<std::ptrdiff_t>(used), written.begin()));
  // The record after the last one read ends the table: all 0xFF, or the area's end.
  if (used < area.size()) {
    Require(std::all_of(area.begin() + static_cast<std::ptrdiff_t>(used),
                        area.begin() + static_cast<std::ptrdiff_t>(used + PartitionEntry::kSize),
                        [](std::uint8_t b) { return b == 0xFF; }));
  }
  Require(DecodePartitionTable(written) == entries);
  return 0;
}
