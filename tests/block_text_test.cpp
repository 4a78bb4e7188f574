#include <gtest/gtest.h>

#include "job/block_text.hpp"

namespace folvane {
namespace {

TEST(BlockText, JudgedByTheFirstNineCharacters) {
  using V = BlockTextVerdict;
  struct Case {
    const char* text;
    V verdict;
    std::uint32_t value;
  } cases[] = {
      {"", V::Accepted, 0},
      {"0", V::Accepted, 0},
      {"ff", V::Accepted, 255},
      {"FF", V::Accepted, 255},
      {"fF", V::Accepted, 255},
      {"00010", V::Accepted, 16},
      {"10000", V::Accepted, 0x10000},
      {"000010000", V::Accepted, 0x10000},
      {"10001", V::TooHuge, 0},
      {"100000000", V::TooHuge, 0},
      {"FFFFFFFFF", V::TooHuge, 0},
      {"0000000010", V::Accepted, 1},    // tenth character not read
      {"000000001zz", V::Accepted, 1},   // nor checked
      {"0000000000000", V::Accepted, 0},
      {"0x10", V::NotHex, 0},
      {" 1", V::NotHex, 0},
      {"1 ", V::NotHex, 0},
      {"1 2", V::NotHex, 0},
      {"-1", V::NotHex, 0},
      {"g", V::NotHex, 0},
      {"12345678 ", V::NotHex, 0},  // a blank as the ninth character
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const BlockTextCheck check = CheckBlockText(c.text);
    EXPECT_EQ(check.verdict, c.verdict);
    EXPECT_EQ(check.value, c.value);
  }
}

TEST(BlockText, ParseIsExactBeyond32Bits) {
  EXPECT_EQ(ParseBlockNumber("FFFFFFFFF"), 0xFFFFFFFFFull);
  EXPECT_EQ(ParseBlockNumber("123456789abc"), 0x123456789ull);
}

TEST(BlockText, ShortestTextReadsBackAsTheSameValue) {
  for (std::uint32_t v : {0u, 1u, 0xFu, 0x10u, 0xFFFFu, 0x10000u}) {
    SCOPED_TRACE(v);
    const std::string t = ShortestBlockText(v);
    EXPECT_LE(t.size(), 5u);
    EXPECT_EQ(CheckBlockText(t).value, v);
  }
}

}  // namespace
}  // namespace folvane
