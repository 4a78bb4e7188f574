#include "job/block_mode.hpp"

namespace folvane {

namespace {
constexpr BlockMode Mode(int index, std::string_view label, std::uint32_t page, std::uint32_t pages) {
  return BlockMode{index, label, page, pages, page * pages};
}
}  // namespace

const std::array<BlockMode, kBlockModeCount> kBlockModes = {{
    Mode(0, "(512+16)B*16", 528, 16),
    Mode(1, "(512+16)B*32", 528, 32),
    Mode(2, "(2048+64)B*64", 2112, 64),
    Mode(3, "(4096+128)B*64", 4224, 64),
    Mode(4, "(2048+64)B*128", 2112, 128),
    Mode(5, "(4096+128)B*128", 4224, 128),
    Mode(6, "(8192+436)*128", 8628, 128),
    Mode(7, "(4096+224)*256", 4320, 256),
    Mode(8, "(8192+640)*128", 8832, 128),
    Mode(9, "(8192+448)*256", 8640, 256),
    Mode(10, "(8192+448)*128", 8640, 128),
    Mode(11, "(8192+488)*256", 8680, 256),
    Mode(12, "(2048+128)*64", 2176, 64),
    Mode(13, "(8192+1024)*128", 9216, 128),
    Mode(14, "(8192+512)*128", 8704, 128),
    Mode(15, "(8192+640)*256", 8832, 256),
}};

FlashGeometry LookupBlockMode(int index) {
  // Taken as unsigned, the list's -1 lands above 15 like any other stray index.
  const auto i = static_cast<unsigned>(index);
  const BlockMode& m = kBlockModes[i < kBlockModeCount ? i : kDefaultBlockModeIndex];
  return FlashGeometry{m.blockSize, m.pageSize};
}

void ApplyBlockMode(FlashGeometry& geometry, int index) { geometry = LookupBlockMode(index); }

}  // namespace folvane
