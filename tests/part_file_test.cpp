#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include "job/bytes.hpp"
#include "job/part_file.hpp"
#include "job/stored_text.hpp"
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

// "固件" (firmware) as a Chinese Windows system stores it (GBK) and in UTF-8.
const Bytes kFirmwareGbk = {0xB9, 0xCC, 0xBC, 0xFE};
const std::string kFirmware = "\xE5\x9B\xBA\xE4\xBB\xB6";

/// Whether this system's legacy code page is GBK: always where the legacy code page
/// is fixed, and on Windows when the ANSI code page is 936.
bool LegacyIsGbk() {
#ifdef _WIN32
  return ::GetACP() == 936;
#else
  return true;
#endif
}

TEST(PartFileText, GbkBytesLoadAsTheirCharacters) {
  if (!LegacyIsGbk()) GTEST_SKIP() << "the ANSI code page here is not GBK (936)";
  Bytes file(4872, 0);
  put_text(file, 0, 4, "PART");
  const Bytes table = testing::Concat({{'C', ':', '\\'}, kFirmwareGbk, {'\\', 't', '.', 'b', 'i', 'n'}});
  std::copy(table.begin(), table.end(), file.begin() + 6);
  file[519] = 1;
  const Bytes image = testing::Concat({kFirmwareGbk, {'.', 'b', 'i', 'n'}});
  std::copy(image.begin(), image.end(), file.begin() + 520);
  const auto r = PartFileRecord::Decode(file);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->tablePath, "C:\\" + kFirmware + "\\t.bin");
  EXPECT_EQ(r->rows[0].imagePath, kFirmware + ".bin");
}

TEST(PartFileText, EveryBuildReadsBackWhatItWrites) {
  // Texts that every code page holds, texts that only UTF-8 or GBK holds, and one
  // that no legacy code page holds whole.
  const std::string cases[] = {"C:\\fw\\boot.bin", kFirmware + "/boot.bin", "caf\xC3\xA9/\xE5\x9B\xBA.bin",
                               "\xF0\x9F\x92\xBE disk.bin"};
  for (const std::string& path : cases) {
    SCOPED_TRACE(path);
    PartFileRecord r;
    r.tablePath = path;
    r.rowCount = 1;
    r.rows[0] = {path, "0", "1", 1};
    const auto bytes = r.Encode();
    const auto back = PartFileRecord::Decode(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->tablePath, path);
    EXPECT_EQ(back->rows[0].imagePath, path);
  }
}

TEST(PartFileText, WindowsWritesGbkWhereItHoldsTheTextAndUtf8Elsewhere) {
  PartFileRecord r;
  r.tablePath = kFirmware;
  r.dataPath = "\xF0\x9F\x92\xBE";  // no legacy code page has it
  const auto b = r.Encode();
  const Bytes table(b.begin() + 6, b.begin() + 6 + 7), data(b.begin() + 262, b.begin() + 262 + 5);
#ifdef _WIN32
  if (!LegacyIsGbk()) GTEST_SKIP() << "the ANSI code page here is not GBK (936)";
  EXPECT_EQ(table, testing::Concat({kFirmwareGbk, {0, 0, 0}}));
#else
  EXPECT_EQ(table, (Bytes{0xE5, 0x9B, 0xBA, 0xE4, 0xBB, 0xB6, 0}));
#endif
  EXPECT_EQ(data, (Bytes{0xF0, 0x9F, 0x92, 0xBE, 0}));
}

TEST(PartFileText, LegacyTextsConvertHoweverMuchTheyGrow) {
  if (!LegacyIsGbk()) GTEST_SKIP() << "the ANSI code page here is not GBK (936)";
  // 0x80 is the euro sign: one byte of GBK, three of UTF-8.
  const std::string euro = "\xE2\x82\xAC";
  struct Case {
    const char* name;
    std::string stored;
    std::string utf8;
  } cases[] = {
      {"one euro sign", "\x80", euro},
      {"ten", std::string(10, '\x80'), [&] { std::string s; for (int i = 0; i < 10; ++i) s += euro; return s; }()},
      {"a whole field of them", std::string(255, '\x80'),
       [&] { std::string s; for (int i = 0; i < 255; ++i) s += euro; return s; }()},
      {"mixed with two-byte characters", "\x80\xB9\xCC\x80", euro + kFirmware.substr(0, 3) + euro},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(StoredTextToUtf8(c.stored), c.utf8);
  }
}

TEST(PartFileText, ATextIsKeptOnlyIfItReadsBackAsItself) {
  if (!LegacyIsGbk()) GTEST_SKIP() << "the ANSI code page here is not GBK (936)";
  struct Case {
    const char* name;
    std::string text;
    bool kept;
  } cases[] = {
      {"plain", "C:/fw/boot.bin", true},
      {"UTF-8", kFirmware + ".bin", true},
      {"bytes that read as GBK 啊", "\xB0\xA1.bin", false},
      {"Latin-1 that reads as GBK", "caf\xE9_1.bin", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(StoredTextKeeps(c.text), c.kept);
  }
}

TEST(PartFileText, Utf8IsCheckedStrictly) {
  struct Case {
    const char* bytes;
    bool valid;
  } cases[] = {
      {"plain", true},          {"\xE5\x9B\xBA", true},    {"\xB9\xCC\xBC\xFE", false},
      {"\xC0\xAF", false},     {"\xED\xA0\x80", false},   {"\xE5\x9B", false},
      {"\xF4\x90\x80\x80", false}, {"\xF0\x9F\x92\xBE", true},  {"\xE0\x80\xAF", false},
      {"\xF0\x80\x80\xAF", false}, {"\xF5\x80\x80\x80", false}, {"\x80", false},
      {"\xF0\x9F\x92", false},  {"\xEF\xBF\xBF", true},   {"\xF4\x8F\xBF\xBF", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(IsValidUtf8(c.bytes), c.valid);
  }
}

}  // namespace
}  // namespace folvane
