// folvane-cli ecc and check --lint --raw-ecc: schemes listed, found in raw images laid
// out here with the page codec, and stored ECC checked against the data, driven as a
// build script drives them, by exit status and parsed JSON.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli_run.hpp"
#include "ecc/page.hpp"
#include "ecc/scheme.hpp"
#include "flash/pages.hpp"
#include "test_support.hpp"

namespace folvane {
namespace {

using nlohmann::json;
using testing::Bytes;
using testing::CliRun;
using testing::TempDir;

// `pages` raw pages of block mode `mode` laid out by `scheme` from random data; every
// fifth page is left erased, as an image's unused pages are, and every fifth holds
// zeros, which fit every unmasked code. With `head`, every page's first 512 bytes
// hold that byte.
Bytes RawImage(const std::string& scheme, int mode, std::size_t pages, unsigned seed, int head = -1) {
  const PageLayout layout = PageLayoutOf(mode);
  const auto parsed = ParseScheme(scheme);
  EXPECT_TRUE(parsed.ok()) << parsed.error();
  const auto codec = PageCodec::Make(*parsed, layout.dataBytes, layout.spareBytes);
  EXPECT_TRUE(codec.ok()) << codec.error();
  Bytes image(pages * layout.PageBytes(), 0xFF);
  if (!codec.ok()) return image;
  std::mt19937 random(seed);
  Bytes data(layout.dataBytes);
  for (std::size_t p = 0; p < pages; ++p) {
    if (p % 5 == 4) continue;
    for (auto& b : data) b = p % 5 == 2 ? 0 : static_cast<std::uint8_t>(random());
    if (head >= 0) std::fill_n(data.begin(), 512, static_cast<std::uint8_t>(head));
    codec->LayOut(data, std::span(image).subspan(p * layout.PageBytes(), layout.PageBytes()));
  }
  return image;
}

// The image offset of stored ECC byte `i` of `step` in page `page`.
std::size_t EccByteAt(const std::string& scheme, int mode, std::size_t page, std::uint32_t step, std::uint32_t i) {
  const PageLayout layout = PageLayoutOf(mode);
  const auto plan = PlanPage(*ParseScheme(scheme), layout.dataBytes, layout.spareBytes);
  return page * layout.PageBytes() + plan->eccOffsets[plan->steps[step].eccFirst + i];
}

using EccCli = testing::CliFolderTest;

TEST_F(EccCli, ListShowsEveryNamedSchemeAsTheParserReadsIt) {
  const json doc = Json("ecc list", 0);
  ASSERT_TRUE(doc["schemes"].is_array());
  const auto named = NamedSchemes();
  ASSERT_EQ(doc["schemes"].size(), named.size());
  for (std::size_t i = 0; i < named.size(); ++i) {
    const json& s = doc["schemes"][i];
    SCOPED_TRACE(s.dump());
    const auto parsed = ParseScheme(s["name"].get<std::string>());
    ASSERT_TRUE(parsed.ok());
    EXPECT_EQ(s["eccBytes"], parsed->eccBytes);
    EXPECT_EQ(s["step"], parsed->step);
    EXPECT_EQ(s["correctsBits"], parsed->Corrects());
  }
  const CliRun text = InDir("ecc list");
  EXPECT_EQ(text.status, 0);
  for (const char* line : {"qcom-bch8          13/516    BCH t=8 per 516 bytes over GF(2^13), unmasked",
                           "linux-hamming      3/256     Hamming, 1 bit per 256 bytes, Linux order"}) {
    EXPECT_NE(text.out.find(line), std::string::npos) << text.out;
  }
}

TEST_F(EccCli, DetectFindsTheSchemeAnImageWasLaidOutWithFirst) {
  struct Case {
    const char* scheme;
    int mode;
  } cases[] = {
      {"linux-hamming", 0},
      {"linux-hamming-sm", 2},
      {"linux-hamming/512", 12},
      {"linux-bch4/512", 0},
      {"linux-bch8/512", 2},
      {"linux-bch16/512", 12},
      {"linux-bch8/1024", 2},
      {"linux-bch16/1024", 7},
      {"linux-bch24/1024", 13},
      {"qcom-bch4", 2},
      {"qcom-bch8", 7},
      {"bch:t=5,step=512,bits=lsb,mask=none,at=2", 2},
      {"hamming:step=512,order=sm,at=3", 2},
      {"bch:t=4,step=512,bytes=8,pad=0x00,at=16", 2},
      {"bch:t=8,step=512,chunk=528", 2},
      {"bch:t=60,step=1024,bits=lsb", 13},
      {"bch:t=1,step=512,mask=none,at=40", 2},
  };
  unsigned seed = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scheme);
    testing::WriteFile(dir / "raw.bin", RawImage(c.scheme, c.mode, 12, seed++));
    const json doc = Json("ecc detect raw.bin --mode " + std::to_string(c.mode), 0);
    ASSERT_FALSE(doc["matches"].empty()) << doc.dump();
    const auto found = ParseScheme(doc["matches"][0]["scheme"].get<std::string>());
    ASSERT_TRUE(found.ok()) << found.error();
    EXPECT_EQ(*found, *ParseScheme(c.scheme)) << doc["matches"][0]["scheme"];
    EXPECT_EQ(doc["matches"][0]["matchingSteps"], doc["matches"][0]["steps"]);
    EXPECT_EQ(doc["erasedPages"], 2);
    EXPECT_EQ(doc["closest"], json::array());
  }
}

TEST_F(EccCli, DetectFindsTheSchemeWhenEveryPageStartsWithOneRepeatedByte) {
  struct Case {
    const char* scheme;
    int head;
  } cases[] = {
      {"linux-bch8/512", 0xFF},                      // a masked code's ECC of an erased step is FF
      {"bch:t=4,step=512,mask=none,at=20", 0x00},    // an unmasked code's of zeros is 00
      {"hamming:step=256,at=2", 0x00},               // Hamming's of zeros is FF FF FF
      {"bch:t=4,step=512,bytes=8,pad=0x00,at=16", 0xFF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scheme);
    testing::WriteFile(dir / "raw.bin", RawImage(c.scheme, 2, 10, 5, c.head));
    const json doc = Json("ecc detect raw.bin --mode 2", 0);
    ASSERT_FALSE(doc["matches"].empty()) << doc.dump();
    EXPECT_EQ(*ParseScheme(doc["matches"][0]["scheme"].get<std::string>()), *ParseScheme(c.scheme))
        << doc["matches"][0]["scheme"];
  }
}

TEST_F(EccCli, OneWrongEccByteLeavesTheSchemeClosestWithItsShare) {
  Bytes image = RawImage("linux-bch8/512", 2, 10, 7);
  image[EccByteAt("linux-bch8/512", 2, 6, 3, 5)] ^= 0x10;
  testing::WriteFile(dir / "raw.bin", image);
  const json doc = Json("ecc detect raw.bin --mode 2", 1);
  EXPECT_EQ(doc["matches"], json::array());
  ASSERT_FALSE(doc["closest"].empty()) << doc.dump();
  EXPECT_EQ(doc["closest"][0]["scheme"], "linux-bch8/512");
  EXPECT_EQ(doc["closest"][0]["steps"], 8 * 4);  // 10 pages, 2 erased, 4 steps each
  EXPECT_EQ(doc["closest"][0]["matchingSteps"], 8 * 4 - 1);
  const CliRun text = InDir("ecc detect raw.bin --mode 2");
  EXPECT_EQ(text.status, 1);
  EXPECT_NE(text.out.find("No scheme matches every page. Closest:\n  linux-bch8/512  31 of 32 steps (96.87%)"),
            std::string::npos)
      << text.out;
}

TEST_F(EccCli, DetectRefusesWhatIsNotWholePagesAndWrongWords) {
  testing::WriteFile(dir / "short.bin", Bytes(2112 * 3 + 5, 0xFF));
  const CliRun wrong = InDir("ecc detect short.bin --mode 2");
  EXPECT_EQ(wrong.status, 2);
  EXPECT_NE(wrong.err.find("short.bin is 0x18C5 (6341) bytes, not a whole number of pages of 2112 bytes "
                           "(block mode 2: 2048 + 64); 3 pages and 5 bytes"),
            std::string::npos)
      << wrong.err;
  const json doc = Json("ecc detect short.bin --mode 2", 2);
  EXPECT_EQ(doc["exitStatus"], 2);
  EXPECT_NE(doc["error"].get<std::string>().find("not a whole number of pages"), std::string::npos);
  const json missing = Json("ecc detect nowhere.bin --mode 2", 2);
  EXPECT_NE(missing["error"].get<std::string>().find("nowhere.bin"), std::string::npos);

  testing::WriteFile(dir / "erased.bin", Bytes(528 * 4, 0xFF));
  const CliRun erased = InDir("ecc detect erased.bin --mode 0");
  EXPECT_EQ(erased.status, 1);
  EXPECT_EQ(erased.out, "erased.bin: 4 pages of 512 + 16 bytes (block mode 0), 4 erased\n"
                       "Every page is erased: no scheme can be told.\n");
  testing::WriteFile(dir / "empty.bin", Bytes());
  const CliRun empty = InDir("ecc detect empty.bin --mode 0");
  EXPECT_EQ(empty.status, 1);
  EXPECT_NE(empty.out.find("The image holds no page"), std::string::npos) << empty.out;

  struct Case {
    const char* args;
    const char* says;
  } cases[] = {
      {"ecc", "ecc takes list or detect"},
      {"ecc lists", "ecc takes list or detect, not 'lists'"},
      {"ecc detect erased.bin", "ecc detect needs --mode N"},
      {"ecc detect erased.bin --mode 16", "--mode takes a block mode from 0 to 15, not '16'"},
      {"ecc detect --mode 0", "ecc detect takes one IMAGE"},
      {"ecc list --mode 0", "ecc list takes no --mode"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const CliRun run = InDir(c.args);
    EXPECT_EQ(run.status, 64);
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
}

// A job of one row, rows 0..7 of block mode 2, whose image is two blocks of raw pages.
class EccLint : public EccCli {
 protected:
  static constexpr int kMode = 2;
  static constexpr std::size_t kPages = 128;  // two blocks of 64
  void Job(const Bytes& image) {
    testing::WriteFile(dir / "raw.bin", image);
    ASSERT_EQ(InDir("new job.part --mode 2 --table t.bin --data d.bin --row raw.bin:0:7").status, 0);
  }
};

TEST_F(EccLint, RawEccNamesTheFirstStepWhoseStoredEccDiffers) {
  struct Flip {
    std::size_t page;
    std::uint32_t step, byte;
  };
  struct Case {
    const char* name;
    const char* scheme;
    std::vector<Flip> flips;  // the first one is the first in the image
    int status;
  } cases[] = {
      {"clean", "linux-bch8/512", {}, 0},
      {"one byte", "linux-bch8/512", {{67, 2, 5}}, 1},
      {"two pages", "linux-bch8/512", {{67, 2, 12}, {100, 0, 0}}, 1},
      {"hamming small steps", "linux-hamming", {{1, 7, 2}}, 1},
      // The step of the chunk that holds the marker's byte: its ECC moves up by one.
      {"interleaved past the marker", "qcom-bch4", {{70, 3, 0}}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes image = RawImage(c.scheme, kMode, kPages, 3);
    for (const Flip& f : c.flips) image[EccByteAt(c.scheme, kMode, f.page, f.step, f.byte)] ^= 0x40;
    Job(image);
    const json doc = Json(std::string("check job.part --lint --raw-ecc 1=") + c.scheme, c.status);
    const json& ecc = doc["rows"][0]["lint"]["ecc"];
    ASSERT_TRUE(ecc.is_object()) << doc.dump();
    const std::size_t steps = ParseScheme(c.scheme)->step == 516 ? 4 : 2048 / ParseScheme(c.scheme)->step;
    EXPECT_EQ(ecc["erasedPages"], kPages / 5);
    EXPECT_EQ(ecc["pages"], kPages - kPages / 5);
    EXPECT_EQ(ecc["steps"], (kPages - kPages / 5) * steps);
    EXPECT_EQ(ecc["differingSteps"], c.flips.size());
    EXPECT_EQ(ecc["differingPages"], c.flips.size());
    EXPECT_EQ(doc["lint"]["eccDifferingSteps"], c.flips.size());
    if (c.flips.empty()) {
      EXPECT_TRUE(ecc["firstDifference"].is_null());
      continue;
    }
    const Flip& f = c.flips.front();
    EXPECT_EQ(ecc["firstDifference"], json({{"imageBlock", f.page / 64},
                                            {"page", f.page % 64},
                                            {"step", f.step},
                                            {"imageOffset", EccByteAt(c.scheme, kMode, f.page, f.step, f.byte)}}));
  }
}

TEST_F(EccLint, TheTextNamesTheRowBlockPageStepAndByte) {
  Bytes image = RawImage("linux-bch8/512", kMode, kPages, 3);
  const std::size_t at = EccByteAt("linux-bch8/512", kMode, 67, 2, 5);
  Job(image);
  const CliRun clean = InDir("check job.part --lint --no-map --raw-ecc 1=linux-bch8/512");
  EXPECT_EQ(clean.status, 0) << clean.err;
  EXPECT_NE(clean.out.find("ECC linux-bch8/512: 103 pages checked (25 erased apart), every step's ECC matches its data"),
            std::string::npos)
      << clean.out;
  image[at] ^= 1;
  Job(image);
  const CliRun run = InDir("check job.part --lint --no-map --raw-ecc 1=linux-bch8/512");
  EXPECT_EQ(run.status, 1);
  std::ostringstream hex;
  hex << "0x" << std::hex << std::uppercase << at;
  const std::string offset = hex.str();
  EXPECT_NE(run.out.find("1 of 412 steps differ in 1 page, the first at image block 0x1, page 0x3, step 2: byte " +
                         offset + " of the image"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("but stored ECC differs from the data's."), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("warning: row 1, image block 0x1, page 0x3, step 2: byte " + offset),
            std::string::npos)
      << run.err;
}

TEST_F(EccLint, PageDataRowsHaveNoMarksReadFromTheirBytes) {
  // Page data whose byte at the first spare byte's place in a raw page is not 0xFF.
  Bytes image = RawImage("linux-bch8/512", kMode, kPages, 3);
  image[2048] = 0x00;
  Job(image);
  const json raw = Json("check job.part --lint", 1);
  EXPECT_EQ(raw["lint"]["markedBlocks"], 1);
  EXPECT_EQ(raw["rows"][0]["lint"]["pageData"], false);
  const json data = Json("check job.part --lint --ecc 1=linux-bch8/512", 0);
  EXPECT_EQ(data["lint"]["markedBlocks"], 0);
  EXPECT_EQ(data["rows"][0]["lint"]["pageData"], true);
  EXPECT_TRUE(data["rows"][0]["lint"]["ecc"].is_null());
  const CliRun text = InDir("check job.part --lint --no-map --ecc 1=linux-bch8/512");
  EXPECT_NE(text.out.find("marks not looked for: page data, laid out at merge"), std::string::npos) << text.out;
}

TEST_F(EccLint, AnUnknownSchemeIsAUsageErrorListingTheKnownNames) {
  Job(RawImage("linux-bch8/512", kMode, kPages, 3));
  for (const char* option : {"--raw-ecc 1=linux-bch8", "--ecc 1=bch9", "--raw-ecc 1=qcom-bch16"}) {
    SCOPED_TRACE(option);
    const CliRun run = InDir(std::string("check job.part --lint ") + option);
    EXPECT_EQ(run.status, 64);
    EXPECT_NE(run.err.find("known schemes: linux-hamming, linux-hamming-sm, linux-hamming/512"), std::string::npos)
        << run.err;
    EXPECT_EQ(run.out, "");
  }
}

TEST_F(EccLint, ATextJobRowCarriesItsRawScheme) {
  Bytes image = RawImage("linux-hamming/512", kMode, kPages, 9);
  image[EccByteAt("linux-hamming/512", kMode, 3, 1, 0)] ^= 0x01;
  testing::WriteFile(dir / "raw.bin", image);
  testing::WriteText(dir / "job.toml", "mode = 2\ntable = \"t.bin\"\ndata = \"d.bin\"\n\n[[row]]\nimage = \"raw.bin\"\n"
                                       "start = \"0\"\nend = \"7\"\nraw-ecc = \"linux-hamming/512\"\n");
  const json doc = Json("check job.toml --lint", 1);
  const json& ecc = doc["rows"][0]["lint"]["ecc"];
  ASSERT_TRUE(ecc.is_object()) << doc.dump();
  EXPECT_EQ(ecc["scheme"], "linux-hamming/512");
  EXPECT_EQ(ecc["firstDifference"]["page"], 3);
  EXPECT_EQ(ecc["firstDifference"]["step"], 1);
  // --ecc on the command line replaces the row's scheme: page data has no ECC to check.
  const json data = Json("check job.toml --lint --ecc 1=linux-hamming/512", 0);
  EXPECT_TRUE(data["rows"][0]["lint"]["ecc"].is_null());
  EXPECT_EQ(data["rows"][0]["lint"]["pageData"], true);
}

}  // namespace
}  // namespace folvane
