// Rows of page data only: the merge lays every page out with its ECC scheme, and the
// commands read such rows back the same way.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli_run.hpp"
#include "ecc/page.hpp"
#include "test_support.hpp"

namespace folvane {
namespace {

using testing::Bytes;
using testing::CliRun;
using testing::ReadFile;
using testing::TempDir;

// The data image a merge of one row of page data at block 0 must write: the image's
// pages laid out one by one (a partial last page completed with 0xFF data), whole
// blocks of them.
Bytes LaidOut(const Bytes& image, const std::string& scheme, std::uint32_t dataBytes, std::uint32_t spareBytes,
              std::uint32_t pagesPerBlock, bool programErased) {
  const auto parsed = ParseScheme(scheme);
  auto codec = PageCodec::Make(parsed.value(), dataBytes, spareBytes);
  const std::size_t pages = (image.size() + dataBytes - 1) / dataBytes;
  const std::size_t blocks = (pages + pagesPerBlock - 1) / pagesPerBlock;
  Bytes out(blocks * pagesPerBlock * (dataBytes + spareBytes), 0xFF);
  for (std::size_t p = 0; p < blocks * pagesPerBlock; ++p) {
    Bytes data(dataBytes, 0xFF);
    for (std::size_t i = 0; i < dataBytes && p * dataBytes + i < image.size(); ++i) data[i] = image[p * dataBytes + i];
    codec.value().LayOut(data, std::span(out).subspan(p * (dataBytes + spareBytes), dataBytes + spareBytes),
                         EccLayoutOptions{programErased});
  }
  return out;
}

using PageDataTest = testing::CliFolderTest;

TEST_F(PageDataTest, TheMergeLaysEveryPageOutWithItsScheme) {
  struct Case {
    const char* name;
    int mode;
    std::uint32_t data, spare, pages;
    std::string scheme;
    bool programErased;
  } cases[] = {
      {"BCH on large pages", 2, 2048, 64, 64, "linux-bch8/512", false},
      {"Hamming on small pages", 0, 512, 16, 16, "linux-hamming", false},
      {"interleaved chunks", 12, 2048, 128, 64, "qcom-bch8", false},
      {"a boot ROM's padded ECC, erased pages programmed", 2, 2048, 64, 64,
       "bch:t=8,step=512,mask=none,bytes=14,pad=0x00,at=2", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Two and a half blocks of page data, one page of it erased, the last page partial.
    Bytes image = testing::Pattern(c.data * c.pages * 2 + c.data * 7 + 100, 5);
    std::fill_n(image.begin() + c.data * 3, c.data, 0xFF);
    testing::WriteFile(dir / "fs.bin", image);
    const std::string mode = std::to_string(c.mode);
    testing::WriteText(dir / "job.toml", "mode = " + mode + "\ntable = \"t.bin\"\ndata = \"d.bin\"\n" +
                                             (c.programErased ? "program-erased-pages = true\n" : "") +
                                             "[[row]]\nimage = \"fs.bin\"\nstart = \"0\"\nend = \"7\"\necc = \"" +
                                             c.scheme + "\"\n");
    const CliRun merged = InDir("merge job.toml --manifest m.json");
    ASSERT_EQ(merged.status, 0) << merged.err;
    const Bytes expected = LaidOut(image, c.scheme, c.data, c.spare, c.pages, c.programErased);
    EXPECT_TRUE(ReadFile(dir / "d.bin") == expected) << "the data image is not the laid-out pages";
    // The table records the blocks the row occupies on the chip: three.
    const Bytes table = ReadFile(dir / "t.bin");
    EXPECT_EQ(Bytes(table.begin(), table.begin() + 12), (Bytes{0, 0, 0, 0, 7, 0, 0, 0, 3, 0, 0, 0}));
    const nlohmann::json manifest = nlohmann::json::parse(ReadFile(dir / "m.json"));
    EXPECT_EQ(manifest["partitions"][0]["ecc"], c.scheme);
    EXPECT_EQ(InDir("verify job.toml").status, 0);
    const CliRun check = InDir("check job.toml");
    EXPECT_NE(check.out.find("ECC on page data: row 1 " + c.scheme), std::string::npos) << check.out;
    // The lint reads the pages as the merge lays them out: its sums are the manifest's.
    const CliRun lint = InDir("check job.toml --lint --json");
    ASSERT_EQ(lint.status, 0) << lint.err;
    testing::KeepDocument(lint.out);
    const nlohmann::json doc = nlohmann::json::parse(lint.out);
    EXPECT_EQ(doc["lint"]["dataByteSum"], manifest["data"]["byteSum"]);
    EXPECT_EQ(doc["rows"][0]["lint"]["rangeByteSum"], manifest["partitions"][0]["rangeByteSum"]);
    EXPECT_EQ(InDir("verify --manifest m.json").status, 0);
    // The same image given as whole pages no longer matches what was written.
    EXPECT_EQ(InDir("verify job.toml --ecc 1=linux-hamming" + std::string(c.mode == 0 ? "-sm" : "/512")).status, 1);
  }
}

TEST_F(PageDataTest, ARowOfPageDataFollowsTheRowRules) {
  // Five blocks of page data in mode 2 do not fit a range of four: left out as any
  // image larger than its range is.
  testing::WriteFile(dir / "big.bin", testing::Pattern(2048 * 64 * 4 + 1, 6));
  testing::WriteFile(dir / "cfg.bin", testing::Pattern(3000, 7));
  ASSERT_EQ(InDir("new j.part --mode 2 --table t.bin --data d.bin --row big.bin:0:3 --row cfg.bin:4:4").status, 0);
  const CliRun check = InDir("check j.part --json --ecc 1=linux-bch8/512");
  EXPECT_EQ(check.status, 1) << check.err;
  const nlohmann::json doc = nlohmann::json::parse(check.out);
  testing::KeepDocument(check.out);
  EXPECT_EQ(doc["rows"][0]["imageBlocks"], 5);
  EXPECT_EQ(doc["rows"][0]["accepted"], false);
  EXPECT_EQ(doc["rows"][0]["ecc"], "linux-bch8/512");
  EXPECT_EQ(doc["rows"][0]["rule"], "imageTooLong");
  EXPECT_NE(InDir("check j.part --ecc 1=linux-bch8/512").out.find("left out: row 1"), std::string::npos);
  // Four blocks of raw pages would have fitted.
  EXPECT_EQ(InDir("check j.part").status, 0);
  // A .part cannot hold the scheme: converted without it, the job would merge other
  // bytes, so it is not written.
  testing::WriteText(dir / "ecc.toml", "mode = 2\n[[row]]\nimage = \"cfg.bin\"\nstart = \"4\"\nend = \"4\"\n"
                                       "ecc = \"linux-bch8/512\"\n");
  const CliRun converted = InDir("new ecc.part --from ecc.toml");
  EXPECT_EQ(converted.status, 2);
  EXPECT_NE(converted.err.find("row 1's ECC scheme 'linux-bch8/512', which changes what the merge writes"),
            std::string::npos) << converted.err;
  EXPECT_FALSE(std::filesystem::exists(testing::FsPath(dir / "ecc.part")));
}

TEST_F(PageDataTest, ASchemeTheJobCannotRunWithIsRefusedWritingNothing) {
  testing::WriteFile(dir / "cfg.bin", testing::Pattern(3000, 7));
  ASSERT_EQ(InDir("new j.part --mode 0 --table t.bin --data d.bin --row cfg.bin:0:3").status, 0);
  struct Case {
    std::string args;
    std::string says;
  } cases[] = {
      {"merge j.part --ecc 2=linux-hamming", "row 2 is not ticked"},
      {"merge j.part --ecc 1=linux-bch8", "linux-bch8"},
      {"merge j.part --ecc 1=nand-magic", "linux-hamming"},  // the known names are listed
      {"merge j.part --ecc 1=linux-bch8/512", "spare"},      // 13 bytes do not fit 16 beside the marker
      {"merge j.part --ecc x=linux-hamming", "ROW=SCHEME"},
      {"check j.part --ecc 1=linux-hamming --raw-ecc 1=linux-hamming", "more than one scheme"},
      {"verify j.part --ecc 1=bch:t=99,step=512", "t"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const CliRun run = InDir(c.args);
    EXPECT_EQ(run.status, 64);
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
  }
  EXPECT_FALSE(std::filesystem::exists(testing::FsPath(dir / "d.bin")));
  EXPECT_FALSE(std::filesystem::exists(testing::FsPath(dir / "t.bin")));
}

}  // namespace
}  // namespace folvane
