// check's terminal map and the --report page, driven through the program.
#include <gtest/gtest.h>
#include <zlib.h>

#include <numeric>
#include <regex>

#include <nlohmann/json.hpp>

#include "cli_run.hpp"
#include "sha256.hpp"
#include "test_support.hpp"

namespace folvane {
namespace {

using testing::Cli;
using testing::CliRun;
using testing::ReadFile;
using testing::TempDir;

constexpr std::size_t kBlock = 0x2100;  // block mode 0

class MapTest : public ::testing::Test {
 protected:
  TempDir dir;
  void SetUp() override {
    testing::WriteFile(dir / "boot.bin", testing::Pattern(3 * kBlock, 1));
    testing::WriteFile(dir / "k<&'\"x>.bin", testing::Pattern(10 * kBlock + 5, 2));
    testing::WriteFile(dir / "\xE6\xA0\xB9.bin", testing::Pattern(2, 3));
    // Row 3 starts inside row 2's range: the acceptance rule leaves it out.
    ASSERT_EQ(InDir("new job.part --mode 0 --table t.bin --data d.bin --row boot.bin:0:7 "
                    "--row 'k<&'\\''\"x>.bin:10:3F' --row '\xE6\xA0\xB9.bin:30:30'")
                  .status,
              0);
  }
  CliRun InDir(const std::string& args) { return Cli(args, dir.str()); }
};

TEST_F(MapTest, CheckDrawsTheMapInColourOnlyOnATerminal) {
  struct Case {
    const char* name;
    std::string command;
    bool map;
    bool colour;
    std::size_t columns;
  } cases[] = {
      {"piped", "'" FOLVANE_CLI "' check job.part", true, false, 80},
      {"--no-map", "'" FOLVANE_CLI "' check job.part --no-map", false, false, 80},
      {"terminal", "script -qec \"stty cols 100; '" FOLVANE_CLI "' check job.part\" /dev/null", true, true, 100},
      {"terminal with NO_COLOR",
       "NO_COLOR=1 script -qec \"stty cols 100; '" FOLVANE_CLI "' check job.part\" /dev/null", true, false, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CliRun run = testing::Shell(c.command, dir.str());
    EXPECT_EQ(run.status, 1) << run.err;  // row 3 is left out
    EXPECT_EQ(run.out.find("Flash map: blocks 0x0 to 0x3F") != std::string::npos, c.map) << run.out;
    EXPECT_EQ(run.out.find("\x1b[") != std::string::npos, c.colour) << run.out;
    if (!c.map) continue;
    // One line of map cells as wide as the terminal (80 when piped) minus one,
    // with the kinds in the order they lie: image, spare, fill, image, left out.
    std::smatch line;
    const std::string plain = std::regex_replace(run.out, std::regex("\x1b\\[[0-9;]*m"), "");
    ASSERT_TRUE(std::regex_search(plain, line, std::regex("\n([\u2588\u2592\u2591\u259A]+)\r?\n"))) << plain;
    const std::string cells = line[1];
    EXPECT_EQ(cells.size() / 3, c.columns - 1);
    EXPECT_TRUE(std::regex_search(cells, std::regex("^(\u2588)+(\u2592)+(\u2591)+(\u2588)+(\u2592)*(\u259A)+(\u2592)+$")))
        << cells;
    EXPECT_NE(plain.find("\u2588 image  \u2592 spare  \u2591 0xFF fill  \u259A left out"), std::string::npos);
  }
}

TEST_F(MapTest, CheckMapShowsAChipsBadBlocksAndTheRowThatRunsOut) {
  // Piped, 79 cells for blocks 0x0 to 0x3F. Row 1 (blocks 0 to 7, 3 image blocks)
  // steps over block 1; with six bad blocks it keeps two good ones and runs out, its
  // image then drawn over its whole range.
  struct Case {
    const char* name;
    const char* list;
    const char* cells;  // the map's kinds, one letter a run: Image, Spare, Fill, Out
    const char* marks;
    const char* labels;
    const char* verdict;
    std::vector<std::string> svg;  // the report's marks over its map
    struct {
      const char* badBlocks;
      const char* row1;
    } json;
  } cases[] = {
      {"fits", "1 0x12", "ISFISOS", " x                    x", "1                  2                                       3",
       "x bad block (2 in the map); images run over the bad blocks they skip; every taken row fits on good blocks",
       {"<title>Bad block 0x1</title>", "<title>Bad block 0x12</title>"},
       {"[1, 18]", R"({"badBlocks": 1, "skippedBlocks": 1, "imageEndBlock": 3, "goodSpareBlocks": 4,
                       "overflows": false, "missingBlocks": 0})"}},
      {"row 1 runs out", "1 2 3 4 5 6", "IFISOS", " xxxx xx", "1!                 2                                       3",
       "x bad block (6 in the map); images run over the bad blocks they skip; RUNS OUT OF GOOD BLOCKS (!): row 1",
       {"<title>Bad blocks 0x1 to 0x6</title>", "<title>Row 1 runs out of good blocks, 1 fewer than the image needs</title>"},
       {"[1, 2, 3, 4, 5, 6]", R"({"badBlocks": 6, "skippedBlocks": 6, "imageEndBlock": 7, "goodSpareBlocks": 0,
                                  "overflows": true, "missingBlocks": 1})"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::WriteText(dir / "bad.txt", c.list);
    const CliRun run = InDir("check job.part --bad-blocks bad.txt --report r.html");
    EXPECT_EQ(run.status, 1) << run.err;
    const std::string map = run.out.substr(run.out.find("Flash map:"));
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < map.size();) {
      const std::size_t end = map.find('\n', at);
      lines.push_back(map.substr(at, end - at));
      at = end + 1;
    }
    ASSERT_GE(lines.size(), 7u) << map;
    std::string runs;
    for (std::size_t i = 0; i + 3 <= lines[1].size(); i += 3) {
      const std::string glyph = lines[1].substr(i, 3);
      const char kind = glyph == "\u2588" ? 'I' : glyph == "\u2592" ? 'S' : glyph == "\u2591" ? 'F' : 'O';
      if (runs.empty() || runs.back() != kind) runs += kind;
    }
    EXPECT_EQ(runs, c.cells) << lines[1];
    EXPECT_EQ(lines[2], c.marks);
    EXPECT_EQ(lines[3], c.labels);
    EXPECT_EQ(lines[6], c.verdict);
    const testing::Bytes page = ReadFile(dir / "r.html");
    const std::string html(page.begin(), page.end());
    for (const std::string& mark : c.svg) EXPECT_NE(html.find(mark), std::string::npos) << mark;
    EXPECT_EQ(html.find("class=\"overflow\"") != std::string::npos, std::string(c.name) != "fits");
    // The same in the report's document: the bad blocks, and row 1's end on the chip.
    const CliRun json = InDir("check job.part --bad-blocks bad.txt --json");
    const nlohmann::json doc = nlohmann::json::parse(json.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << json.out;
    testing::KeepDocument(json.out);
    EXPECT_EQ(doc["report"]["badBlocks"], nlohmann::json::parse(c.json.badBlocks));
    EXPECT_EQ(doc["report"]["rows"][0]["chip"], nlohmann::json::parse(c.json.row1));
    EXPECT_TRUE(doc["report"]["rows"][2]["chip"].is_null());  // left out
  }
}

std::uint32_t ByteSum(const testing::Bytes& b) { return std::accumulate(b.begin(), b.end(), std::uint32_t{0}); }

TEST_F(MapTest, ReportEscapesEveryTextAndCarriesTheDigests) {
  // A data path that is not UTF-8, and texts that would end an attribute or open a tag.
  const CliRun merged = InDir("merge job.part --data 'd\xFF<script>.bin' --report r.html --json");
  ASSERT_EQ(merged.status, 1) << merged.err;
  const std::string html = [&] {
    const testing::Bytes b = ReadFile(dir / "r.html");
    return std::string(b.begin(), b.end());
  }();
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_EQ(html.find("k<&"), std::string::npos);
  EXPECT_NE(html.find("k&lt;&amp;&#39;&quot;x&gt;.bin"), std::string::npos);
  EXPECT_NE(html.find("d\xEF\xBF\xBD&lt;script&gt;.bin"), std::string::npos);
  EXPECT_NE(html.find("\xE6\xA0\xB9.bin"), std::string::npos);
  for (const char* fetch : {"src=", "href=", "<link", "@import", "url(http"}) {
    EXPECT_EQ(html.find(fetch), std::string::npos) << fetch << ": nothing is fetched";
  }
  EXPECT_NE(html.find("<svg"), std::string::npos);
  EXPECT_NE(html.find("left out: row 3"), std::string::npos);

  const testing::Bytes data = ReadFile(dir / "d\xFF<script>.bin"), table = ReadFile(dir / "t.bin");
  const nlohmann::json doc = nlohmann::json::parse(merged.out);
  const nlohmann::json& report = doc["report"];
  EXPECT_TRUE(report["merged"]);
  EXPECT_EQ(report["data"]["bytes"], data.size());
  EXPECT_EQ(report["data"]["sha256"], cli::Sha256Hex(data).value());
  EXPECT_EQ(report["data"]["byteSum"], ByteSum(data));
  EXPECT_EQ(report["table"]["byteSum"], ByteSum(table));
  char crc[16];
  std::snprintf(crc, sizeof crc, "%08lx", crc32_z(0, table.data(), table.size()));
  EXPECT_EQ(report["table"]["crc32"], crc);
  EXPECT_EQ(report["jobSha256"], cli::Sha256Hex(ReadFile(dir / "job.part")).value());
  for (const std::string& text : {cli::Sha256Hex(data).value(), std::string(crc)}) EXPECT_NE(html.find(text), std::string::npos) << text;
  // The segments the page draws are the layout's: row 2's image, then its spare blocks.
  EXPECT_EQ(report["segments"][3], (nlohmann::json{{"kind", "image"}, {"row", 2}, {"firstBlock", 0x10},
                                                   {"blocks", 11}, {"firstByte", 0x10 * kBlock},
                                                   {"bytes", 11 * kBlock}}));

  // A report that would replace the job is refused, and the job survives.
  const testing::Bytes job = ReadFile(dir / "job.part");
  EXPECT_EQ(InDir("check job.part --report job.part").status, 2);
  EXPECT_EQ(ReadFile(dir / "job.part"), job);
  // So is one that would replace the same merge's manifest, before anything is written.
  testing::WriteText(dir / "m.json", "old manifest");
  const CliRun clash = InDir("merge job.part --manifest m.json --report m.json");
  EXPECT_EQ(clash.status, 2) << clash.err;
  EXPECT_NE(clash.err.find("Report File m.json is also an input or output of the merge."), std::string::npos) << clash.err;
  EXPECT_EQ(ReadFile(dir / "m.json").size(), 12u);
}

}  // namespace
}  // namespace folvane
