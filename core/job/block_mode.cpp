#include "job/block_mode.hpp"

namespace folvane {

namespace {
constexpr BlockMode Mode(int index, std::string_view label, std::uint32_t data, std::uint32_t spare, std::uint32_t pages) {
  return BlockMode{index, label, data + spare, pages, (data + spare) * pages, data};
}
}  // namespace

const std::array<BlockMode, kBlockModeCount> kBlockModes = {{
    Mode(0, "(512+16)B*16", 512, 16, 16),
    Mode(1, "(512+16)B*32", 512, 16, 32),
    Mode(2, "(2048+64)B*64", 2048, 64, 64),
    Mode(3, "(4096+128)B*64", 4096, 128, 64),
    Mode(4, "(2048+64)B*128", 2048, 64, 128),
    Mode(5, "(4096+128)B*128", 4096, 128, 128),
    Mode(6, "(8192+436)*128", 8192, 436, 128),
    Mode(7, "(4096+224)*256", 4096, 224, 256),
    Mode(8, "(8192+640)*128", 8192, 640, 128),
    Mode(9, "(8192+448)*256", 8192, 448, 256),
    Mode(10, "(8192+448)*128", 8192, 448, 128),
    Mode(11, "(8192+488)*256", 8192, 488, 256),
    Mode(12, "(2048+128)*64", 2048, 128, 64),
    Mode(13, "(8192+1024)*128", 8192, 1024, 128),
    Mode(14, "(8192+512)*128", 8192, 512, 128),
    Mode(15, "(8192+640)*256", 8192, 640, 256),
}};

FlashGeometry LookupBlockMode(int index) {
  // Taken as unsigned, the list's -1 lands above 15 like any other stray index.
  const auto i = static_cast<unsigned>(index);
  const BlockMode& m = kBlockModes[i < kBlockModeCount ? i : kDefaultBlockModeIndex];
  return FlashGeometry{m.blockSize, m.pageSize, m.dataBytes};
}

void ApplyBlockMode(FlashGeometry& geometry, int index) { geometry = LookupBlockMode(index); }

}  // namespace folvane
