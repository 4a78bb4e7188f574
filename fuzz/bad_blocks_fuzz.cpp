// Feeds arbitrary text to the bad-block list reader (check --bad-blocks, verify --dump
// --bad-blocks). The first byte chooses the chip's size, if any; the rest is the list.
// A list it accepts names each block once, inside the chip, and reads back the same
// from its own numbers; one it refuses says which line and why.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "flash/bad_blocks.hpp"
#include "job/block_text.hpp"
#include "fuzz_support.hpp"

using folvane::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace folvane;
  if (size == 0) return 0;
  std::optional<std::uint64_t> chipBlocks;
  if (data[0] != 0) chipBlocks = std::uint64_t{1} << (data[0] % 33);
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const BadBlockList list = ParseBadBlockList(text, chipBlocks);
  if (!list.set) {
    Require(!list.problem.empty() && list.line >= 1);
    return 0;
  }
  Require(list.problem.empty());
  const auto& blocks = list.set->Blocks();
  std::string written;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    Require(i == 0 || blocks[i - 1] < blocks[i]);  // ascending, each once
    if (chipBlocks) Require(blocks[i] < *chipBlocks);
    Require(list.set->IsBad(blocks[i]));
    written += (i % 2 ? "0x" + Hex(blocks[i]).substr(2) : std::to_string(blocks[i])) + (i % 3 ? ", " : "\n");
  }
  const BadBlockList again = ParseBadBlockList(written, chipBlocks);
  Require(again.set.has_value() && again.set->Blocks() == blocks);
  return 0;
}
