#include <gtest/gtest.h>

#include "bytes.hpp"
#include "part_file.hpp"
#include "test_support.hpp"

namespace folvane {
namespace {

using testing::Bytes;

TEST(PartFileRecord, FieldsLandAtTheirOffsets) {
  PartFileRecord r;
  r.tablePath = "T";
  r.dataPath = "D";
  r.blockModeIndex = 15;
  r.rowCount = 2;
  r.rows[0] = {"/a", "10", "2F", 5};
  r.rows[1] = {"/b", "30", "FFFF", kUnset};
  r.rows[2] = {"/not-saved", "1", "2", 7};  // beyond the row count
  const auto b = r.Encode();
  ASSERT_EQ(b.size(), 4872u);
  EXPECT_EQ(Bytes(b.begin(), b.begin() + 6), (Bytes{'P', 'A', 'R', 'T', 0, 0}));
  EXPECT_EQ(b[6], 'T');
  EXPECT_EQ(b[7], 0);
  EXPECT_EQ(b[262], 'D');
  EXPECT_EQ(b[518], 15);
  EXPECT_EQ(b[519], 2);
  EXPECT_EQ(b[520], '/');
  EXPECT_EQ(b[521], 'a');
  EXPECT_EQ(b[776], '/');
  EXPECT_EQ(b[777], 'b');
  EXPECT_EQ(Bytes(b.begin() + 4616, b.begin() + 4622), (Bytes{'1', '0', 0, 0, 0, 0}));
  EXPECT_EQ(Bytes(b.begin() + 4622, b.begin() + 4628), (Bytes{'3', '0', 0, 0, 0, 0}));
  EXPECT_EQ(Bytes(b.begin() + 4718, b.begin() + 4724), (Bytes{'F', 'F', 'F', 'F', 0, 0}));
  EXPECT_EQ(Bytes(b.begin() + 4808, b.begin() + 4816), (Bytes{5, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(b[1032], 0) << "rows after the count stay zero";
  EXPECT_EQ(get_u32le(b, 4816), 0u);
}

TEST(PartFileRecord, RoundTripsEveryField) {
  PartFileRecord r;
  r.tablePath = std::string(255, 't');
  r.dataPath = "/out/data.bin";
  r.blockModeIndex = 255;
  r.rowCount = 16;
  for (std::size_t i = 0; i < 16; ++i) r.rows[i] = {std::string(255, char('a' + i)), "10000", "0", std::uint32_t(i)};
  EXPECT_EQ(PartFileRecord::Decode(r.Encode()), r);
}

TEST(PartFileRecord, MagicMustBePartAndAZero) {
  struct Case {
    const char* name;
    Bytes bytes;
    bool accepted;
  } cases[] = {
      {"six bytes", {'P', 'A', 'R', 'T', 0, 0}, true},
      {"byte 5 not examined", {'P', 'A', 'R', 'T', 0, 'x'}, true},
      {"five bytes", {'P', 'A', 'R', 'T', 0}, true},
      {"four bytes: byte 4 counts as zero", {'P', 'A', 'R', 'T'}, true},
      {"PARTS", {'P', 'A', 'R', 'T', 'S', 0}, false},
      {"lower case", {'p', 'a', 'r', 't', 0, 0}, false},
      {"empty", {}, false},
      {"PAR", {'P', 'A', 'R', 0}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(PartFileRecord::Decode(c.bytes).has_value(), c.accepted);
  }
}

TEST(PartFileRecord, ShortFilesReadAsZeroAndLongOnesAreCut) {
  const auto six = PartFileRecord::Decode(Bytes{'P', 'A', 'R', 'T', 0, 0});
  ASSERT_TRUE(six);
  EXPECT_EQ(six->tablePath, "");
  EXPECT_EQ(six->blockModeIndex, 0);
  EXPECT_EQ(six->rowCount, 0);

  PartFileRecord r;
  r.rowCount = 1;
  r.rows[0] = {"/x", "1", "2", 3};
  const auto b = r.Encode();
  Bytes longer(b.begin(), b.end());
  longer.resize(6000, 0xAB);
  EXPECT_EQ(PartFileRecord::Decode(longer), r);
}

TEST(PartFileRecord, FieldsWithoutTerminatorStopAtTheirWidth) {
  Bytes b(4872, 'x');
  std::copy_n("PART", 5, b.begin());
  b[518] = 3;
  b[519] = 200;  // more rows than exist
  const auto r = PartFileRecord::Decode(b);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->tablePath, std::string(256, 'x'));
  EXPECT_EQ(r->dataPath, std::string(256, 'x'));
  EXPECT_EQ(r->UsableRows(), 16);
  EXPECT_EQ(r->rows[15].imagePath, std::string(256, 'x'));
  EXPECT_EQ(r->rows[15].startText, "xxxxxx");
  EXPECT_EQ(r->rows[15].endText, "xxxxxx");
}

}  // namespace
}  // namespace folvane
