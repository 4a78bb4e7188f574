// verify --dump for rows whose pages carry an ECC scheme: a chip programmed from a
// data image of raw pages, bits flipped in chosen steps, and the counts, the verdict
// and the step named as the tool reports them.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <tuple>

#include <nlohmann/json.hpp>

#include "cli_run.hpp"
#include "ecc/page.hpp"
#include "ecc/scheme.hpp"
#include "test_support.hpp"

namespace folvane {
namespace {

using nlohmann::json;
using testing::Bytes;
using testing::CliRun;
using testing::ReadFile;
using testing::TempDir;

PageCodec CodecOf(const char* scheme, std::uint32_t dataBytes, std::uint32_t spareBytes) {
  auto parsed = ParseScheme(scheme);
  EXPECT_TRUE(parsed.ok()) << scheme;
  auto codec = PageCodec::Make(parsed.value(), dataBytes, spareBytes);
  EXPECT_TRUE(codec.ok()) << (codec.ok() ? "" : codec.error());
  return std::move(codec).value();
}

// Where byte `i` of step `s`'s codeword lies in its page.
std::size_t CodewordByte(const PageCodec& codec, std::size_t s, std::size_t i);

// `blocks` blocks of raw pages laid out with `codec` from random data; every fifth
// page (counted from the image's start: 3, 8, ...) has all-0xFF data and stays erased.
// With 64 pages a block, erased are pages 3, 8, ... of image block 0, pages 4, 9, ...
// of image block 1 and pages 0, 5, ... of image block 2.
Bytes RawEccImage(const PageCodec& codec, std::uint32_t pagesPerBlock, std::size_t blocks, unsigned seed) {
  std::mt19937 random(seed);
  const std::size_t pages = blocks * pagesPerBlock;
  Bytes image(pages * codec.PageBytes());
  Bytes data(codec.DataBytes());
  for (std::size_t p = 0; p < pages; ++p) {
    if (p % 5 == 3) {
      std::fill(data.begin(), data.end(), 0xFF);
    } else {
      for (auto& b : data) b = static_cast<std::uint8_t>(random());
    }
    codec.LayOut(data, std::span(image).subspan(p * codec.PageBytes(), codec.PageBytes()));
  }
  // Page 7's step 2 as a worn chip read it for the image: one data bit flipped
  // against its ECC.
  image[7 * codec.PageBytes() + CodewordByte(codec, 2, 100)] ^= 0x08;
  return image;
}

// Where byte `i` of step `s`'s codeword lies in its page.
std::size_t CodewordByte(const PageCodec& codec, std::size_t s, std::size_t i) {
  const StepPlace& p = codec.Plan().steps[s];
  return i < p.split ? p.at[0] + i : p.at[1] + (i - p.split);
}

// `bits` bits of step `s` of the page at `page` flipped, each in its own byte of the
// codeword, from its first byte to its last: the bits a correction counts.
void FlipInStep(Bytes& chip, std::size_t page, const PageCodec& codec, std::size_t s, unsigned bits) {
  const std::size_t last = codec.Scheme().step - 1;
  for (unsigned k = 0; k < bits; ++k) {
    chip[page + CodewordByte(codec, s, k * last / std::max(bits - 1, 1u))] ^= static_cast<std::uint8_t>(1u << (k % 8));
  }
}

// Block mode 2: 64 pages of 2048 + 64 bytes.
constexpr std::uint32_t kPage = 2112, kPages = 64, kBlock = kPage * kPages;

class DumpEccTest : public testing::CliFolderTest {
 protected:
  PageCodec codec = CodecOf("linux-bch8/512", 2048, 64);
  Bytes data;
  void SetUp() override {
    testing::WriteFile(dir / "boot.bin", RawEccImage(codec, kPages, 3, 1));  // 3 blocks in 0..7
    // The kernel's pages carry no scheme: compared byte by byte.
    Bytes kernel = testing::Pattern(2 * kBlock, 2);
    for (std::size_t p = 0; p < 2 * kPages; ++p) std::fill_n(kernel.begin() + p * kPage + 2048, 64, 0xFF);
    testing::WriteFile(dir / "kernel.bin", kernel);  // 2 blocks in 8..0xF
    ASSERT_EQ(InDir("new job.part --mode 2 --table t.bin --data d.bin --row boot.bin:0:7 --row kernel.bin:8:f").status, 0);
    ASSERT_EQ(InDir("merge job.part").status, 0);
    data = ReadFile(dir / "d.bin");
  }
  json Verify(const std::string& args, int status) {
    const CliRun run = InDir("verify job.part --json " + args);
    EXPECT_EQ(run.status, status) << run.err;
    testing::KeepDocument(run.out);
    return json::parse(run.out, nullptr, false);
  }
  // A chip of 0x10 blocks programmed by the skip rule, block 2 bad (marked 0x00 in
  // its first page's first spare byte): the boot image at 0, 1 and 3.
  Bytes Program() {
    Bytes chip(0x10 * kBlock, 0xFF);
    for (const auto& [first, blocks, at] : {std::tuple{0u, 2u, 0u}, {2u, 1u, 3u}, {8u, 2u, 8u}}) {
      std::copy_n(data.begin() + std::ptrdiff_t{first} * kBlock, std::ptrdiff_t{blocks} * kBlock,
                  chip.begin() + std::ptrdiff_t{at} * kBlock);
    }
    chip[2 * kBlock + 2048] = 0x00;
    return chip;
  }
  static std::size_t PageAt(std::uint32_t block, std::uint32_t page) { return std::size_t{block} * kBlock + page * kPage; }
};

TEST_F(DumpEccTest, StepsWithinTheCodeMatchAndAreCountedBeyondItTheStepIsNamed) {
  struct Flip {
    std::uint32_t block, page, step;
    unsigned bits;
    unsigned eccBits = 0;  // flipped in the step's stored ECC bytes
  };
  struct Case {
    const char* name;
    std::vector<Flip> flips;
    const char* args;
    int status;
    std::uint64_t corrected;
    unsigned maxInStep;
    json histogram;
    std::uint64_t uncorrectable, erasedWithFlips;
    json first;  // null, or {physicalBlock, imageBlock, page, step, stepFault}
  } cases[] = {
      {"as programmed", {}, "", 0, 0, 0, json::array(), 0, 0, nullptr},
      {"up to t bits in a step",
       {{0, 0, 0, 8}, {1, 6, 3, 1}, {3, 11, 1, 1}, {3, 11, 2, 3}},
       "", 0, 13, 8, json::array({{{"bits", 1}, {"steps", 2}}, {{"bits", 3}, {"steps", 1}}, {{"bits", 8}, {"steps", 1}}}),
       0, 0, nullptr},
      {"bits in ECC bytes and the codeword", {{0, 1, 1, 2, 2}, {0, 2, 0, 0, 1}}, "", 0, 5, 4,
       json::array({{{"bits", 1}, {"steps", 1}}, {{"bits", 4}, {"steps", 1}}}), 0, 0, nullptr},
      // The image's page 7 holds step 2 with a bit flipped against its ECC: the job's
      // data is the corrected one.
      {"a step the image holds with a flipped bit", {{0, 7, 2, 1}}, "", 0, 2, 2,
       json::array({{{"bits", 2}, {"steps", 1}}}), 0, 0, nullptr},
      {"t + 1 bits in a step after corrected ones",
       {{0, 0, 0, 2}, {1, 6, 3, 9}, {3, 1, 0, 1}},
       "", 1, 3, 2, json::array({{{"bits", 1}, {"steps", 1}}, {{"bits", 2}, {"steps", 1}}}), 1, 0,
       {{"physicalBlock", 1}, {"imageBlock", 1}, {"page", 6}, {"step", 3}, {"stepFault", "uncorrectable"}}},
      // Page 3 of image block 0 is erased; so are the blocks after the image (from 4).
      {"bits at 0 in erased pages, up to t a step", {{0, 3, 0, 4}, {0, 3, 1, 8}, {4, 0, 3, 2}}, "", 0, 0, 0,
       json::array(), 0, 2, nullptr},
      {"t + 1 bits at 0 in a step of an erased page", {{3, 5, 2, 9}}, "", 1, 0, 0, json::array(), 1, 0,
       {{"physicalBlock", 3}, {"imageBlock", 2}, {"page", 5}, {"step", 2}, {"stepFault", "uncorrectable"}}},
      {"--bitflips is for the rows without a scheme", {{0, 0, 0, 2}}, "--bitflips 1", 0, 2, 2,
       json::array({{{"bits", 2}, {"steps", 1}}}), 0, 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes chip = Program();
    for (const Flip& f : c.flips) {
      FlipInStep(chip, PageAt(f.block, f.page), codec, f.step, f.bits);
      const std::uint32_t* ecc = codec.Plan().eccOffsets.data() + f.step * codec.Scheme().eccBytes;
      for (unsigned k = 0; k < f.eccBits; ++k) chip[PageAt(f.block, f.page) + ecc[k]] ^= 0x40;
    }
    testing::WriteFile(dir / "chip.bin", chip);
    const json doc = Verify(std::string("--dump chip.bin --raw-ecc 1=linux-bch8/512 ") + c.args, c.status);
    ASSERT_TRUE(doc.is_object());
    const json& row = doc["rows"][0];
    EXPECT_EQ(row["badBlocks"], json({2}));
    EXPECT_EQ(row["placedBlocks"], 3);
    EXPECT_EQ(row["ecc"]["scheme"], "linux-bch8/512");
    EXPECT_EQ(row["ecc"]["correctedBits"], c.corrected);
    EXPECT_EQ(row["ecc"]["maxInStep"], c.maxInStep);
    EXPECT_EQ(row["ecc"]["histogram"], c.histogram);
    EXPECT_EQ(row["ecc"]["uncorrectableSteps"], c.uncorrectable);
    EXPECT_EQ(row["ecc"]["otherDataSteps"], 0);
    EXPECT_EQ(row["ecc"]["erasedPagesWithFlips"], c.erasedWithFlips);
    EXPECT_EQ(row["match"], c.status == 0);
    if (c.first.is_null()) {
      EXPECT_TRUE(row["firstDifference"].is_null()) << row["firstDifference"];
    } else {
      json want = c.first;
      const std::uint32_t block = c.first["physicalBlock"], page = c.first["page"], step = c.first["step"];
      want["dumpOffset"] = PageAt(block, page) + codec.Plan().steps[step].at[0];
      EXPECT_EQ(row["firstDifference"], want);
      EXPECT_EQ(row["pagesOverLimit"], 1);
    }
    EXPECT_TRUE(doc["rows"][1]["ecc"].is_null());
  }
  // Another page's bytes in place of page 2: each of its steps a codeword, decoded
  // without a correction, to data other than the job's.
  Bytes moved = Program();
  std::copy_n(moved.begin() + PageAt(0, 1), kPage, moved.begin() + PageAt(0, 2));
  testing::WriteFile(dir / "chip.bin", moved);
  const json other = Verify("--dump chip.bin --raw-ecc 1=linux-bch8/512", 1)["rows"][0];
  EXPECT_EQ(other["ecc"]["otherDataSteps"], 4);
  EXPECT_EQ(other["ecc"]["correctedBits"], 0);
  EXPECT_EQ(other["firstDifference"], json({{"physicalBlock", 0}, {"imageBlock", 0}, {"page", 2}, {"step", 0},
                                            {"stepFault", "otherData"}, {"dumpOffset", PageAt(0, 2)}}));
  // A page of the kernel, which has no scheme, with 2 bits flipped: --bitflips decides.
  Bytes chip = Program();
  FlipInStep(chip, PageAt(8, 0), codec, 0, 2);
  testing::WriteFile(dir / "chip.bin", chip);
  EXPECT_EQ(Verify("--dump chip.bin --raw-ecc 1=linux-bch8/512 --bitflips 2", 0)["rows"][1]["differingBits"], 2);
  EXPECT_EQ(Verify("--dump chip.bin --raw-ecc 1=linux-bch8/512 --bitflips 1", 1)["rows"][1]["pagesOverLimit"], 1);
}

TEST_F(DumpEccTest, TheTextNamesTheCountsAndTheStep) {
  Bytes chip = Program();
  FlipInStep(chip, PageAt(0, 0), codec, 0, 3);
  FlipInStep(chip, PageAt(0, 1), codec, 1, 1);
  FlipInStep(chip, PageAt(0, 3), codec, 0, 2);  // an erased page
  testing::WriteFile(dir / "chip.bin", chip);
  const CliRun ok = InDir("verify job.part --dump chip.bin --raw-ecc 1=linux-bch8/512");
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_NE(ok.out.find("bad blocks skipped: 0x2; ECC linux-bch8/512: 4 bits corrected (at most 3 in a step: "
                        "1 step with 1, 1 step with 3), 1 erased page with flipped bits; matches through its ECC"),
            std::string::npos) << ok.out;
  FlipInStep(chip, PageAt(3, 0x11), codec, 2, 9);
  testing::WriteFile(dir / "chip.bin", chip);
  const CliRun bad = InDir("verify job.part --dump chip.bin --raw-ecc 1=linux-bch8/512");
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.out.find(", 1 step uncorrectable; first difference at block 0x3 (image block 0x2), page 0x11, step 2 "
                         "(uncorrectable), at byte 0x" ),
            std::string::npos) << bad.out;
  EXPECT_NE(bad.out.find("DIFFERS"), std::string::npos);
  const CliRun help = InDir("verify --help");
  EXPECT_NE(help.out.find("than the code corrects (its t, or 1 for Hamming)"), std::string::npos) << help.out;
}

TEST_F(DumpEccTest, AFlippedMarkerBitInAProgrammedBlockIsNotABadBlockThroughTheCode) {
  // Boot image block 1, at block 1: one bit of its first page's marker byte and two
  // bits of a step flipped. Byte by byte it reads as marked and differs; through its
  // code every step reads as the image's.
  Bytes chip = Program();
  chip[PageAt(1, 0) + 2048] ^= 0x04;
  FlipInStep(chip, PageAt(1, 0), codec, 1, 2);
  testing::WriteFile(dir / "chip.bin", chip);
  const json ecc = Verify("--dump chip.bin --raw-ecc 1=linux-bch8/512", 0);
  EXPECT_EQ(ecc["rows"][0]["badBlocks"], json({2}));
  EXPECT_EQ(ecc["rows"][0]["ecc"]["correctedBits"], 2);
  EXPECT_EQ(ecc["rows"][0]["differingBits"], 3);
  EXPECT_EQ(ecc["chip"]["markedBlocks"], 1);
  const json plain = Verify("--dump chip.bin", 1);
  EXPECT_EQ(plain["rows"][0]["badBlocks"], json({1, 2}));
}

TEST_F(DumpEccTest, AMarkedErasedBlockWhereTheImageHasAnEmptyBlockIsBad) {
  // Boot image block 1 all 0xFF (as empty blocks of a file system image are). The
  // chip's block 1 is factory-bad, marked 0x00 and otherwise erased, so the image's
  // blocks 1 and 2 went to blocks 2 and 3. Through the code, block 1 would read as
  // the empty image block; taken for it, the rest of the row would be one block off.
  Bytes boot = ReadFile(dir / "boot.bin");
  std::fill_n(boot.begin() + kBlock, kBlock, 0xFF);
  testing::WriteFile(dir / "boot.bin", boot);
  ASSERT_EQ(InDir("merge job.part").status, 0);
  data = ReadFile(dir / "d.bin");
  Bytes chip = Program();  // image blocks at 0, 1 and 3, block 2 marked
  std::fill_n(chip.begin() + kBlock, 2 * kBlock, 0xFF);
  chip[PageAt(1, 0) + 2048] = 0x00;
  testing::WriteFile(dir / "chip.bin", chip);
  const json doc = Verify("--dump chip.bin --raw-ecc 1=linux-bch8/512", 0);
  EXPECT_EQ(doc["rows"][0]["badBlocks"], json({1}));
  EXPECT_EQ(doc["rows"][0]["ecc"]["erasedPagesWithFlips"], 0);
}

TEST(DumpEccInterleaved, StepsOfChunksAreReadThroughTheCode) {
  // Block mode 12: 64 pages of 2048 + 128 bytes; qcom-bch4 keeps codewords of 516
  // bytes with their ECC in chunks of 528, the last codeword running past the data.
  constexpr std::uint32_t kPage12 = 2176, kBlock12 = kPage12 * 64;
  TempDir dir;
  const PageCodec codec = CodecOf("qcom-bch4", 2048, 128);
  ASSERT_FALSE(codec.Plan().contiguous);
  testing::WriteFile(dir / "boot.bin", RawEccImage(codec, 64, 2, 3));
  ASSERT_EQ(testing::Cli("new job.part --mode 12 --table t.bin --data d.bin --row boot.bin:0:3", dir.str()).status, 0);
  ASSERT_EQ(testing::Cli("merge job.part", dir.str()).status, 0);
  Bytes chip = ReadFile(dir / "d.bin");
  ASSERT_EQ(chip.size(), 2u * kBlock12);
  chip.resize(4 * kBlock12, 0xFF);
  struct Case {
    const char* name;
    std::uint32_t page, step;
    unsigned bits;
    int status;
    std::uint64_t corrected, erasedWithFlips;
  } cases[] = {
      // The last codeword is split around the marker byte and ends in 0xFF past the data.
      {"t bits in the last codeword", 64 + 1, 3, 4, 0, 4, 0},
      {"t bits in the first codeword", 2, 0, 4, 0, 4, 0},
      {"t bits at 0 in an erased page", 64 + 4, 1, 4, 0, 0, 1},
      {"t + 1 bits", 64 + 1, 1, 5, 1, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes flipped = chip;
    FlipInStep(flipped, std::size_t{c.page} * kPage12, codec, c.step, c.bits);
    testing::WriteFile(dir / "chip.bin", flipped);
    const CliRun run = testing::Cli("verify job.part --json --dump chip.bin --raw-ecc 1=qcom-bch4", dir.str());
    ASSERT_EQ(run.status, c.status) << run.err;
    testing::KeepDocument(run.out);
    const json row = json::parse(run.out)["rows"][0];
    EXPECT_EQ(row["ecc"]["correctedBits"], c.corrected);
    EXPECT_EQ(row["ecc"]["erasedPagesWithFlips"], c.erasedWithFlips);
    if (c.status == 0) {
      EXPECT_TRUE(row["firstDifference"].is_null());
    } else {
      EXPECT_EQ(row["firstDifference"],
                json({{"physicalBlock", c.page / 64}, {"imageBlock", c.page / 64}, {"page", c.page % 64}, {"step", c.step},
                      {"stepFault", "uncorrectable"}, {"dumpOffset", c.page * kPage12 + codec.Plan().steps[c.step].at[0]}}));
    }
  }
}

}  // namespace
}  // namespace folvane
