// check's margins and verify --dump: what a job means on real chips with bad blocks,
// driven as a build script drives them, by exit status and parsed JSON.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "cli_run.hpp"
#include "test_support.hpp"

namespace folvane {
namespace {

using nlohmann::json;
using testing::Bytes;
using testing::CliRun;
using testing::ReadFile;
using testing::TempDir;

constexpr std::size_t kBlock = 0x2100;  // block mode 0: 16 pages of 512 + 16 bytes

class ChipTest : public testing::CliFolderTest {
 protected:
  void SetUp() override {
    testing::WriteFile(dir / "boot.bin", testing::Pattern(3 * kBlock - 100, 1));  // 3 blocks in 0..7
    testing::WriteFile(dir / "kernel.bin", testing::Pattern(4 * kBlock, 2));      // 4 blocks in 8..0xF
    ASSERT_EQ(InDir("new job.part --mode 0 --table t.bin --data d.bin --row boot.bin:0:7 --row kernel.bin:8:f").status, 0);
  }
  std::vector<std::string> Listing() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(testing::FsPath(dir.str()))) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(ChipTest, CheckPlacesEachImageBlockAndNamesTheRowThatRunsOut) {
  testing::WriteText(dir / "fits.txt", "# factory list\n3\n0x4, 9 # two more\n0xA\n");
  const json fits = Json("check job.part --bad-blocks fits.txt", 0);
  EXPECT_EQ(fits["rows"][0]["placement"]["physicalBlocks"], json({0, 1, 2}));
  EXPECT_EQ(fits["rows"][1]["placement"]["physicalBlocks"], json({8, 0xB, 0xC, 0xD}));
  EXPECT_EQ(fits["rows"][1]["placement"]["badBlocks"], 2);
  EXPECT_FALSE(fits["margins"]["overflows"]);
  const CliRun text = InDir("check job.part --bad-blocks fits.txt");
  EXPECT_NE(text.out.find("image 0x0 at 0x8, image 0x1..0x3 at 0xB..0xD"), std::string::npos) << text.out;

  // Five bad blocks leave three good ones for the kernel's four.
  testing::WriteText(dir / "over.txt", "9 10 11 12 13");
  const json over = Json("check job.part --bad-blocks over.txt", 1);
  EXPECT_TRUE(over["rows"][1]["placement"]["overflows"]);
  EXPECT_EQ(over["rows"][1]["placement"]["missingBlocks"], 1);
  EXPECT_EQ(over["rows"][1]["placement"]["physicalBlocks"], json({8, 0xE, 0xF}));
  EXPECT_FALSE(over["rows"][0]["placement"]["overflows"]);
  const CliRun overText = InDir("check job.part --bad-blocks over.txt");
  EXPECT_EQ(overText.status, 1);
  EXPECT_NE(overText.out.find("runs out of good blocks: 3 good for 4 image blocks"), std::string::npos) << overText.out;
}

TEST_F(ChipTest, WrongListsAndNumbersAreRefusedNamingTheLineAndWritingNothing) {
  testing::WriteText(dir / "outside.txt", "1\n2\n0x40\n");
  testing::WriteText(dir / "twice.txt", "16\n# again:\n0x10\n");
  testing::WriteText(dir / "negative.txt", "1, -2\n");
  testing::WriteText(dir / "word.txt", "1\n2\nthree\n");
  struct Case {
    const char* args;
    const char* says;
  } cases[] = {
      {"--bad-blocks outside.txt --chip-blocks 0x40", "outside.txt, line 3: block 0x40 is outside the chip"},
      {"--bad-blocks twice.txt", "twice.txt, line 3: block 0x10 is listed twice (first on line 1)"},
      {"--bad-blocks negative.txt", "negative.txt, line 1: '-2' is negative"},
      {"--bad-blocks word.txt", "word.txt, line 3: 'three' is not a block number"},
      {"--max-bad 0x40 --chip-blocks 0x40", "--max-bad 0x40 is not below --chip-blocks 0x40"},
      {"--max-bad 4 --chip-blocks 0xF", "--chip-blocks 0xF is too small: row 2's range ends at block 0xF"},
      {"--max-bad 4", "--max-bad needs --chip-blocks"},
      {"--max-bad four --chip-blocks 64", "--max-bad takes a number"},
      {"--max-bad 4 --chip-blocks 64 --max-risk 2", "--max-risk takes a probability"},
      {"--max-risk 0.1", "--max-risk needs --max-bad"},
      {"--lint --marker-pages first,middle", "--marker-pages takes first, second and last, not 'middle'"},
      {"--marker-pages ''", "--marker-pages takes first, second and last, not ''"},
  };
  const auto before = Listing();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const CliRun run = InDir(std::string("check job.part --json ") + c.args);
    EXPECT_EQ(run.status, 64);
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
  EXPECT_EQ(Listing(), before);
  const CliRun missing = InDir("check job.part --bad-blocks nowhere.txt");
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("没有找到 nowhere.txt。"), std::string::npos) << missing.err;
  // A reader of --json still gets the check's document, which names the list it could not read.
  const json doc = Json("check job.part --bad-blocks nowhere.txt", 2);
  ASSERT_TRUE(doc.is_object()) << "no document";
  EXPECT_EQ(doc["exitStatus"], 2);
  EXPECT_FALSE(doc.contains("margins"));
  EXPECT_NE(doc["details"].dump().find("nowhere.txt"), std::string::npos) << doc["details"].dump();
}

TEST_F(ChipTest, OverflowChancesPerRowAndForTheJob) {
  // 0x40 blocks with 8 bad: boot (5 spare of 7 candidates) and kernel (4 spare of 8).
  const json doc = Json("check job.part --max-bad 8 --chip-blocks 0x40", 0);
  const double boot = doc["rows"][0]["overflowProbability"], kernel = doc["rows"][1]["overflowProbability"];
  const double job = doc["jobOverflowProbability"];
  EXPECT_GT(boot, 0);
  EXPECT_GT(kernel, boot);
  // Both rows overflowing takes 6 + 5 bad blocks, more than the chip has: the job's
  // chance is exactly the sum of the two.
  EXPECT_NEAR(job, boot + kernel, 1e-12 * job);
  const std::string risk = std::to_string(job * 1.01), safe = std::to_string(job * 0.99);
  EXPECT_EQ(InDir("check job.part --max-bad 8 --chip-blocks 0x40 --max-risk " + risk).status, 0);
  const CliRun over = InDir("check job.part --max-bad 8 --chip-blocks 0x40 --max-risk " + safe);
  EXPECT_EQ(over.status, 1);
  EXPECT_NE(over.out.find("That is more than --max-risk"), std::string::npos) << over.out;
  EXPECT_NE(over.out.find("chips"), std::string::npos);
}

TEST_F(ChipTest, AChancesDocumentNeverContradictsItself) {
  // The document's own figure given back as the limit is not above the limit.
  const json doc = Json("check job.part --max-bad 8 --chip-blocks 0x40", 0);
  const std::string own = doc["jobOverflowProbability"].dump();
  const json again = Json("check job.part --max-bad 8 --chip-blocks 0x40 --max-risk " + own, 0);
  EXPECT_EQ(again["margins"]["riskExceeded"], false) << own;
  EXPECT_NEAR(again["jobOverflowLog10"].get<double>(), std::log10(doc["jobOverflowProbability"].get<double>()), 1e-9);
  // A chance far below what a double holds (198 bad blocks all inside the boot row's
  // 200 blocks of a chip of 2^32) is carried as 0.0 beside its logarithm, and is still
  // above a risk of 0: the text prints it, the document shows why.
  ASSERT_EQ(InDir("new tiny.part --mode 0 --table t.bin --data d.bin --row boot.bin:0:C7").status, 0);
  const json tiny = Json("check tiny.part --max-bad 198 --chip-blocks 0x100000000 --max-risk 0", 1);
  EXPECT_EQ(tiny["jobOverflowProbability"], 0.0);
  EXPECT_LT(tiny["jobOverflowLog10"].get<double>(), -1000);
  EXPECT_LT(tiny["rows"][0]["overflowLog10"].get<double>(), -1000);
  EXPECT_EQ(tiny["margins"]["riskExceeded"], true);
  const json none = Json("check tiny.part --max-bad 3 --chip-blocks 0x100000000", 0);
  EXPECT_EQ(none["jobOverflowProbability"], 0.0);
  EXPECT_TRUE(none["jobOverflowLog10"].is_null()) << "three bad blocks cannot fill 197 spare ones";
}

TEST_F(ChipTest, ChancesAreWordedAsOperatorsReadThem) {
  // The words beside each figure: boot has 5 spare blocks of 8, kernel 4 of 8.
  struct Case {
    const char* chip;
    std::vector<std::string> words;  // boot, kernel, the job, in the order printed
  } cases[] = {
      {"--max-bad 0 --chip-blocks 0x40", {"0, no chip", "0, no chip", "0, no chip"}},
      {"--max-bad 8 --chip-blocks 0x40",
       {"2.8e-06, about 1 in 360,000 chips", "0.00039, about 1 in 2,600 chips", "0.000393, about 1 in 2,500 chips"}},
      // Above one chip in two, "about 1 in 1 chips" would read as every chip.
      {"--max-bad 40 --chip-blocks 0x40",
       {"0.193, about 1 in 5 chips", "0.682, about 7 in 10 chips", "0.758, about 8 in 10 chips"}},
      {"--max-bad 56 --chip-blocks 0x40", {"0.83, about 8 in 10 chips", "0.997, nearly every chip", "nearly every chip"}},
      {"--max-bad 62 --chip-blocks 0x40", {"1, every chip", "1, every chip", "1, every chip"}},
      {"--max-bad 6 --chip-blocks 0x10000",
       {"6.36e-26, about 1 in 1.6e+25 chips", "3.34e-20, about 1 in 3.0e+19 chips", "3.34e-20, about 1 in 3.0e+19 chips"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.chip);
    const CliRun run = InDir(std::string("check job.part ") + c.chip);
    std::size_t at = 0;
    for (const std::string& words : c.words) {
      at = run.out.find(words, at);
      ASSERT_NE(at, std::string::npos) << words << " in\n" << run.out;
      at += words.size();
    }
  }
}

TEST_F(ChipTest, OverlappingRangesGetRowFiguresAndNoJobFigure) {
  // Row 2 is left out (its image is too long), which lets row 3 start inside row 1's
  // range: the rule only looks at the row directly above.
  testing::WriteFile(dir / "one.bin", testing::Pattern(10, 3));
  ASSERT_EQ(InDir("new over.part --mode 0 --table t.bin --data d.bin --row one.bin:0:10 --row kernel.bin:2:3 "
                  "--row one.bin:4:20").status, 0);
  const json doc = Json("check over.part --max-bad 4 --chip-blocks 0x40", 1);
  EXPECT_TRUE(doc["margins"]["overlap"]);
  EXPECT_TRUE(doc["jobOverflowProbability"].is_null());
  EXPECT_TRUE(doc["rows"][0]["overflowProbability"].is_number());
  EXPECT_TRUE(doc["rows"][2]["overflowProbability"].is_number());
  const CliRun text = InDir("check over.part --max-bad 4 --chip-blocks 0x40");
  EXPECT_NE(text.out.find("No figure for the whole job: accepted ranges overlap"), std::string::npos) << text.out;
}

// The sum of a range as a programmer holds it: the data image's bytes, 0xFF past its end.
std::uint32_t RangeSum(const Bytes& data, std::size_t first, std::size_t last) {
  std::uint32_t sum = 0;
  for (std::size_t at = first * kBlock; at < (last + 1) * kBlock; ++at) sum += at < data.size() ? data[at] : 0xFF;
  return sum;
}

TEST_F(ChipTest, LintSumsAreThoseOfTheMergedDataImageAndItsRanges) {
  testing::WriteFile(dir / "one.bin", testing::Pattern(10, 3));
  // Row 2 is left out, and row 3 starts inside row 1's range (see above).
  ASSERT_EQ(InDir("new over.part --mode 0 --table t.bin --data d.bin --row one.bin:0:10 --row kernel.bin:2:3 "
                  "--row boot.bin:4:20").status, 0);
  struct Case {
    const char* job;
    int checkStatus, mergeStatus;
    std::vector<std::pair<std::size_t, std::size_t>> ranges;  // of the taken rows
  } cases[] = {
      {"job.part", 1, 0, {{0, 7}, {8, 0xF}}},    // the last range goes on past the data image
      {"over.part", 1, 1, {{0, 0x10}, {4, 0x20}}},  // row 1's range holds row 3's image
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.job);
    const json lint = Json(std::string("check ") + c.job + " --lint --marker-pages last", c.checkStatus);
    ASSERT_EQ(InDir(std::string("merge ") + c.job + " --manifest m.json").status, c.mergeStatus);
    const Bytes data = ReadFile(dir / "d.bin");
    const json manifest = json::parse(ReadFile(dir / "m.json"));
    EXPECT_EQ(lint["lint"]["dataBytes"], data.size());
    EXPECT_EQ(lint["lint"]["dataByteSum"], RangeSum(data, 0, data.size() / kBlock - 1));
    EXPECT_EQ(manifest["data"]["byteSum"], lint["lint"]["dataByteSum"]);
    std::size_t i = 0;
    for (const json& row : lint["rows"]) {
      if (!row["accepted"]) continue;
      ASSERT_LT(i, c.ranges.size());
      const auto [first, last] = c.ranges[i];
      EXPECT_EQ(row["lint"]["rangeByteSum"], RangeSum(data, first, last)) << "row " << row["row"];
      EXPECT_EQ(manifest["partitions"][i]["rangeByteSum"], RangeSum(data, first, last)) << "row " << row["row"];
      ++i;
    }
    EXPECT_EQ(i, c.ranges.size());
  }
  // Pattern bytes are never 0xFF: each block of the images carries a mark. The lint
  // only reads: it leaves the folder as it found it.
  std::filesystem::remove(dir / "d.bin");
  const auto before = Listing();
  const json marked = Json("check job.part --lint", 1);
  EXPECT_EQ(Listing(), before);
  EXPECT_EQ(marked["lint"]["markedBlocks"], 3 + 4);
  EXPECT_EQ(marked["rows"][1]["lint"]["markedBlocks"][2],
            json({{"imageBlock", 2}, {"page", 0}, {"imageOffset", 2 * kBlock + 512}, {"value", ((2 * kBlock + 512) * 7 + 2) % 251}}));
  const CliRun text = InDir("check job.part --lint");
  EXPECT_EQ(text.status, 1);
  EXPECT_NE(text.err.find("warning: row 2, image block 0x2, page 0x0: byte 0x4400 of the image"), std::string::npos) << text.err;
  EXPECT_NE(text.out.find("but a chip would read image blocks as bad"), std::string::npos) << text.out;
  // Without --lint nothing is read and the document has no lint.
  EXPECT_FALSE(Json("check job.part", 0).contains("lint"));
}

}  // namespace
}  // namespace folvane

namespace folvane {
namespace {

// Images as raw NAND pages: each page's 16 spare bytes erased, so that no image
// block carries a bad-block mark of its own.
Bytes RawImage(std::size_t blocks, std::uint8_t seed) {
  Bytes b = testing::Pattern(blocks * kBlock, seed);
  for (std::size_t page = 0; page < blocks * 16; ++page) std::fill_n(b.begin() + page * 528 + 512, 16, 0xFF);
  return b;
}

class DumpTest : public testing::CliFolderTest {
 protected:
  Bytes data;
  void SetUp() override {
    testing::WriteFile(dir / "boot.bin", RawImage(3, 1));    // 3 blocks in 0..7
    testing::WriteFile(dir / "kernel.bin", RawImage(4, 2));  // 4 blocks in 8..0xF
    ASSERT_EQ(InDir("new job.part --mode 0 --table t.bin --data d.bin --row boot.bin:0:7 --row kernel.bin:8:f").status, 0);
    ASSERT_EQ(InDir("merge job.part").status, 0);
    data = ReadFile(dir / "d.bin");
  }
  // A chip of 0x20 blocks programmed by the skip rule with `bad` blocks, each
  // marked at `markAt` bytes into the block.
  Bytes Program(const std::vector<std::uint32_t>& bad, std::size_t markAt) {
    Bytes chip(0x20 * kBlock, 0xFF);
    for (const auto& [first, last, blocks] : {std::tuple{0u, 7u, 3u}, {8u, 15u, 4u}}) {
      std::uint32_t next = 0;
      for (std::uint32_t b = first; b <= last && next < blocks; ++b) {
        if (std::find(bad.begin(), bad.end(), b) != bad.end()) continue;
        std::copy_n(data.begin() + static_cast<std::ptrdiff_t>((first + next++) * kBlock), kBlock,
                    chip.begin() + static_cast<std::ptrdiff_t>(b * kBlock));
      }
    }
    for (std::uint32_t b : bad) chip[b * kBlock + markAt] = 0x00;
    return chip;
  }
};

TEST_F(DumpTest, ARowRebuiltFromTheChipsBadBlocksMatchesOrNamesItsFirstDifference) {
  // Block 3 marked in the first page's first spare byte, block 9 in the last page's
  // sixth spare byte (pages of 512 bytes carry the mark there too).
  Bytes chip = Program({3, 9}, 512);
  chip[9 * kBlock + 512] = 0xFF;
  chip[9 * kBlock + 15 * 528 + 517] = 0x00;
  testing::WriteFile(dir / "chip.bin", chip);
  // Three bits flipped in one page of physical block 0xB: the kernel's image block 2,
  // placed after bad block 9.
  chip[0xB * kBlock + 600] ^= 0x07;
  testing::WriteFile(dir / "flipped.bin", chip);
  testing::WriteText(dir / "bad.txt", "3, 0x9\n");

  struct Case {
    const char* args;
    int status;
    std::uint64_t bits;
  } cases[] = {
      {"--dump chip.bin", 0, 0},
      {"--dump chip.bin --bad-blocks bad.txt", 0, 0},
      {"--dump flipped.bin", 1, 3},
      {"--dump flipped.bin --bitflips 3", 0, 3},
      {"--dump flipped.bin --bitflips 2", 1, 3},
      {"--dump flipped.bin --bad-blocks bad.txt --bitflips 0x3", 0, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const CliRun run = InDir(std::string("verify job.part --json ") + c.args);
    ASSERT_EQ(run.status, c.status) << run.err;
    const json doc = json::parse(run.out);
    EXPECT_EQ(doc["rows"][0]["badBlocks"], json({3}));
    EXPECT_EQ(doc["rows"][1]["badBlocks"], json({9}));
    EXPECT_EQ(doc["rows"][1]["differingBits"], c.bits);
    if (c.bits != 0) {
      EXPECT_EQ(doc["rows"][1]["differingPages"], 1);
      EXPECT_EQ(doc["rows"][1]["firstDifference"], json({{"physicalBlock", 0xB}, {"imageBlock", 2}, {"dumpOffset", 0xB * kBlock + 600}}));
    }
  }
  // Looking for the mark in the first page only misses block 9: the kernel then
  // seems to start one block early, and differs.
  const CliRun firstOnly = InDir("verify job.part --dump chip.bin --marker-pages first");
  EXPECT_EQ(firstOnly.status, 1);
  EXPECT_NE(firstOnly.out.find("row 2: blocks 0x8 to 0xF, image 0x4 blocks; no bad block; first difference at block 0x9 (image block 0x1)"),
            std::string::npos) << firstOnly.out;
}

TEST_F(DumpTest, AnImageBlockThatCarriesAMarkIsNotTakenForABadBlock) {
  // The kernel's image block 1 holds 0x00 at its first spare byte: once programmed
  // (at 0xA, after bad block 9) its block reads as marked, and is still image block 1.
  Bytes kernel = RawImage(4, 2);
  kernel[kBlock + 512] = 0x00;
  testing::WriteFile(dir / "kernel.bin", kernel);
  ASSERT_EQ(InDir("merge job.part").status, 0);
  data = ReadFile(dir / "d.bin");
  Bytes chip = Program({9}, 512);
  testing::WriteFile(dir / "chip.bin", chip);
  chip[0xA * kBlock + 700] ^= 0x01;  // a bit flipped in that very block
  testing::WriteFile(dir / "flipped.bin", chip);
  for (const auto& [args, status] : {std::pair{"--dump chip.bin", 0}, {"--dump flipped.bin --bitflips 1", 0}}) {
    SCOPED_TRACE(args);
    const CliRun run = InDir(std::string("verify job.part --json ") + args);
    ASSERT_EQ(run.status, status) << run.out;
    EXPECT_EQ(json::parse(run.out)["rows"][1]["badBlocks"], json({9}));
  }
}

TEST_F(DumpTest, AFlippedMarkerBitInAProgrammedBlockIsABitFlipNotABadBlock) {
  // Kernel image block 1 sits at 0xA after bad block 9; one bit of its first page's
  // first spare byte flipped on the chip makes the block read as marked.
  Bytes chip = Program({3, 9}, 512);
  chip[0xA * kBlock + 512] ^= 0x01;
  testing::WriteFile(dir / "chip.bin", chip);
  for (const char* args : {"--dump chip.bin --bitflips 1", "--dump chip.bin --bitflips 0x10"}) {
    SCOPED_TRACE(args);
    const CliRun run = InDir(std::string("verify job.part --json ") + args);
    ASSERT_EQ(run.status, 0) << run.err;
    const json doc = json::parse(run.out);
    EXPECT_EQ(doc["rows"][1]["badBlocks"], json({9}));
    EXPECT_EQ(doc["rows"][1]["differingBits"], 1) << "every later block compared one block off";
    EXPECT_EQ(doc["rows"][1]["firstDifference"]["imageBlock"], 1);
    EXPECT_EQ(doc["chip"]["markedBlocks"], 2);
  }
}

TEST_F(DumpTest, RowsWhoseRecordsShareBlocksAreEachComparedOnTheirOwnRange) {
  // Row 2 is left out (its end lies before its start), so row 3 is taken although it
  // starts inside row 1's range: blocks 6 and 7 belong to both.
  testing::WriteFile(dir / "cfg.bin", RawImage(1, 3));
  ASSERT_EQ(InDir("new job.part --mode 0 --table t.bin --data d.bin --row boot.bin:0:7 --row kernel.bin:5:3 "
                  "--row cfg.bin:6:9").status, 0);
  ASSERT_EQ(InDir("merge job.part").status, 1);
  data = ReadFile(dir / "d.bin");
  // Row 3's image programmed at its first good block, 6, which row 1 sees as a good
  // block after its image that should be erased; block 2 is bad.
  Bytes chip(0x20 * kBlock, 0xFF);
  const Bytes boot = RawImage(3, 1), cfg = RawImage(1, 3);
  std::copy_n(boot.begin(), 2 * kBlock, chip.begin());
  std::copy_n(boot.begin() + 2 * kBlock, kBlock, chip.begin() + 3 * kBlock);
  std::copy_n(cfg.begin(), kBlock, chip.begin() + 6 * kBlock);
  chip[2 * kBlock + 512] = 0x00;
  testing::WriteFile(dir / "chip.bin", chip);
  const CliRun run = InDir("verify job.part --json --dump chip.bin");
  EXPECT_EQ(run.status, 1) << "records that overlap mislead a programmer, as every command says";
  EXPECT_NE(run.err.find("folvane-cli: warning: rows 1 and 3 both hold blocks 0x6 to 0x7"), std::string::npos) << run.err;
  const json doc = json::parse(run.out);
  ASSERT_EQ(doc["overlaps"].size(), 1u);
  ASSERT_EQ(doc["rows"].size(), 2u);
  EXPECT_EQ(doc["rows"][0]["badBlocks"], json({2}));
  EXPECT_EQ(doc["rows"][0]["placedBlocks"], 3);
  // Row 1 sees row 3's image where it expects erased blocks: that is its difference,
  // never row 3's blocks taken for row 1's bad ones.
  EXPECT_EQ(doc["rows"][0]["firstDifference"]["physicalBlock"], 6);
  EXPECT_TRUE(doc["rows"][0]["firstDifference"]["imageBlock"].is_null());
  EXPECT_EQ(doc["rows"][1]["row"], 3);
  EXPECT_EQ(doc["rows"][1]["badBlocks"], json::array());
  EXPECT_EQ(doc["rows"][1]["match"], true);
}

TEST_F(DumpTest, ARangeThatRunsOutAndABlockNotErasedDiffer) {
  // Five bad blocks leave the kernel three good ones.
  testing::WriteFile(dir / "over.bin", Program({8, 9, 10, 11, 12}, 512));
  const CliRun over = InDir("verify job.part --dump over.bin");
  EXPECT_EQ(over.status, 1);
  EXPECT_NE(over.out.find("runs out of good blocks: only 3 of 4 image blocks found one"), std::string::npos) << over.out;
  // A good block of the range after the image must be erased.
  Bytes chip = Program({}, 512);
  chip[6 * kBlock + 10] = 0;
  testing::WriteFile(dir / "dirty.bin", chip);
  const CliRun dirty = InDir("verify job.part --dump dirty.bin");
  EXPECT_EQ(dirty.status, 1);
  EXPECT_NE(dirty.out.find("first difference at block 0x6 (after the image, should be erased)"), std::string::npos) << dirty.out;
}

TEST_F(DumpTest, DumpsThatCannotBeUsedAreRefusedAtOnce) {
  testing::WriteFile(dir / "short.bin", Bytes(0xF * kBlock, 0xFF));
  testing::WriteFile(dir / "odd.bin", Bytes(0x20 * kBlock + 1, 0xFF));
  std::filesystem::create_directory(testing::FsPath(dir / "folder"));
  testing::WriteText(dir / "list.txt", "0x20\n");
  testing::WriteFile(dir / "chip.bin", Program({}, 512));
  struct Case {
    const char* args;
    int status;
    const char* says;
  } cases[] = {
      {"--dump short.bin", 2, "it holds 0xF blocks, but row 2's range ends at block 0xF: at least 135168 bytes"},
      {"--dump odd.bin", 2, "not a whole number of blocks of 0x2100 bytes (270336 or 278784 bytes would be)"},
      {"--dump folder", 2, " folder"},
      {"--dump nowhere.bin", 2, "没有找到 nowhere.bin。"},
      // A dump of the wrong size is named as such before the list is read against it.
      {"--dump odd.bin --bad-blocks list.txt", 2, "not a whole number of blocks"},
      {"--dump chip.bin --bad-blocks list.txt", 64, "list.txt, line 1: block 0x20 is outside the chip"},
      {"--dump chip.bin --marker-pages first,middle", 64, "'middle'"},
      {"--dump chip.bin --bitflips -1", 64, "--bitflips takes a number"},
      {"--bitflips 1", 64, "go with --dump"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const CliRun run = InDir(std::string("verify job.part ") + c.args);
    EXPECT_EQ(run.status, c.status);
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
  }
#ifndef _WIN32
  // A FIFO with no writer would block a plain open for ever.
  ASSERT_EQ(testing::Shell("mkfifo fifo", dir.str()).status, 0);
  const CliRun fifo = testing::Shell("timeout 20 '" FOLVANE_CLI "' verify job.part --dump fifo", dir.str());
  EXPECT_EQ(fifo.status, 2);
  EXPECT_NE(fifo.err.find(" fifo "), std::string::npos) << fifo.err;
  // What the path names, not "access denied", for anything that is not a file.
  for (const auto& [path, says] : {std::pair{"fifo", "fifo is a pipe (FIFO), not a file"},
                                   {"folder", "folder is a folder, not a file"},
                                   {"/dev/zero", "/dev/zero is a character device, not a file"},
                                   {"/dev/null", "/dev/null is a character device, not a file"}}) {
    for (const std::string option : {"--dump", "--bad-blocks"}) {
      const std::string args = option == "--dump" ? "verify job.part --dump " + std::string(path)
                                                  : "check job.part --bad-blocks " + std::string(path);
      SCOPED_TRACE(args);
      const CliRun run = testing::Shell("timeout 20 '" FOLVANE_CLI "' " + args, dir.str());
      EXPECT_EQ(run.status, 2);
      EXPECT_NE(run.err.find(says), std::string::npos) << run.err;
      EXPECT_EQ(run.err.find("存取被拒绝"), std::string::npos) << run.err;
    }
  }
#endif
}

}  // namespace
}  // namespace folvane
