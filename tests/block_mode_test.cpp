#include <gtest/gtest.h>

#include "job/block_mode.hpp"

namespace folvane {
namespace {

struct ModeCase {
  const char* label;
  std::uint32_t pageSize;
  std::uint32_t blockSize;
  std::uint32_t dataBytes;  // the page's data bytes, as the label gives them
};

// The list exactly as the user sees it, with the numbers the flash vendors give.
constexpr ModeCase kExpected[kBlockModeCount] = {
    {"(512+16)B*16", 528, 0x2100, 512},        {"(512+16)B*32", 528, 0x4200, 512},
    {"(2048+64)B*64", 2112, 0x21000, 2048},     {"(4096+128)B*64", 4224, 0x42000, 4096},
    {"(2048+64)B*128", 2112, 0x42000, 2048},    {"(4096+128)B*128", 4224, 0x84000, 4096},
    {"(8192+436)*128", 8628, 0x10DA00, 8192},   {"(4096+224)*256", 4320, 0x10E000, 4096},
    {"(8192+640)*128", 8832, 0x114000, 8192},   {"(8192+448)*256", 8640, 0x21C000, 8192},
    {"(8192+448)*128", 8640, 0x10E000, 8192},   {"(8192+488)*256", 8680, 0x21E800, 8192},
    {"(2048+128)*64", 2176, 0x22000, 2048},     {"(8192+1024)*128", 9216, 0x120000, 8192},
    {"(8192+512)*128", 8704, 0x110000, 8192},   {"(8192+640)*256", 8832, 0x228000, 8192},
};

TEST(BlockMode, EveryRowGivesItsOwnGeometry) {
  for (int i = 0; i < kBlockModeCount; ++i) {
    SCOPED_TRACE(i);
    const ModeCase& c = kExpected[i];
    EXPECT_EQ(kBlockModes[static_cast<std::size_t>(i)].label, c.label);
    EXPECT_EQ(kBlockModes[static_cast<std::size_t>(i)].index, i);
    EXPECT_EQ(kBlockModes[static_cast<std::size_t>(i)].pageSize * kBlockModes[static_cast<std::size_t>(i)].pagesPerBlock,
              c.blockSize);
    FlashGeometry g{1, 1};
    ApplyBlockMode(g, i);
    EXPECT_EQ(g, (FlashGeometry{c.blockSize, c.pageSize, c.dataBytes}));
  }
}

TEST(BlockMode, AnyOtherIndexGivesTheDefault) {
  const FlashGeometry fallback{0x21000, 2112};
  for (int index : {-1, -2, 16, 17, 100, 255, 256, 0x7FFFFFFF}) {
    SCOPED_TRACE(index);
    EXPECT_EQ(LookupBlockMode(index), fallback);
  }
  EXPECT_EQ(FlashGeometry{}, fallback) << "a fresh geometry is the start-up one";
}

}  // namespace
}  // namespace folvane
