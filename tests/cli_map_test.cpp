// check's terminal map and the --report page, driven through the program.
#include <gtest/gtest.h>
#include <zlib.h>

#include <numeric>
#include <regex>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "cli_run.hpp"
#include "manifest/sha256.hpp"
#include "test_support.hpp"

namespace folvane {
namespace {

using testing::Cli;
using testing::CliRun;
using testing::ReadFile;
using testing::TempDir;

constexpr std::size_t kBlock = 0x2100;  // block mode 0

class MapTest : public testing::CliFolderTest {
 protected:
  void SetUp() override {
    // Block characters where the character set is UTF-8, whatever the machine's locale.
    ::setenv("LC_ALL", "C.UTF-8", 1);
    testing::WriteFile(dir / "boot.bin", testing::Pattern(3 * kBlock, 1));
    testing::WriteFile(dir / "k<&'\"x>.bin", testing::Pattern(10 * kBlock + 5, 2));
    testing::WriteFile(dir / "\xE6\xA0\xB9.bin", testing::Pattern(2, 3));
    // Row 3 starts inside row 2's range: the acceptance rule leaves it out.
    ASSERT_EQ(InDir("new job.part --mode 0 --table t.bin --data d.bin --row boot.bin:0:7 "
                    "--row 'k<&'\\''\"x>.bin:10:3F' --row '\xE6\xA0\xB9.bin:30:30'")
                  .status,
              0);
  }
};

TEST_F(MapTest, CheckDrawsTheMapInColourOnlyOnATerminal) {
  // 0x40 blocks: wider terminals give each block the same whole number of characters.
  struct Case {
    const char* name;
    std::string command;
    bool map;
    bool colour;
    std::size_t cells;
    const char* header;  // how the header says the scale
  } cases[] = {
      {"piped", "'" FOLVANE_CLI "' check job.part", true, false, 64, "one character per block"},
      {"--no-map", "'" FOLVANE_CLI "' check job.part --no-map", false, false, 0, ""},
      {"terminal", "script -qec \"stty cols 100; '" FOLVANE_CLI "' check job.part\" /dev/null", true, true, 64,
       "one character per block"},
      {"terminal with NO_COLOR",
       "NO_COLOR=1 script -qec \"stty cols 100; '" FOLVANE_CLI "' check job.part\" /dev/null", true, false, 64,
       "one character per block"},
      {"dumb terminal", "TERM=dumb script -qec \"stty cols 100; '" FOLVANE_CLI "' check job.part\" /dev/null", true,
       false, 64, "one character per block"},
      {"wide terminal", "script -qec \"stty cols 300; '" FOLVANE_CLI "' check job.part\" /dev/null", true, true, 256,
       "4 characters per block"},
      {"narrow terminal", "script -qec \"stty cols 40; '" FOLVANE_CLI "' check job.part\" /dev/null", true, true, 39,
       "one character for about 0x2 blocks"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CliRun run = testing::Shell(c.command, dir.str());
    EXPECT_EQ(run.status, 1) << run.err;  // row 3 is left out
    EXPECT_EQ(run.out.find("Flash map: blocks 0x0 to 0x3F") != std::string::npos, c.map) << run.out;
    EXPECT_EQ(run.out.find("\x1b[") != std::string::npos, c.colour) << run.out;
    if (!c.map) continue;
    // One line of map cells, with the kinds in the order they lie: image, spare, fill,
    // image, left out.
    std::smatch line;
    const std::string plain = std::regex_replace(run.out, std::regex("\x1b\\[[0-9;]*m|\r"), "");
    ASSERT_TRUE(std::regex_search(plain, line, std::regex("\n([\u2588\u2592\u2591\u259A]+)\n"))) << plain;
    const std::string cells = line[1];
    EXPECT_EQ(cells.size() / 3, c.cells);
    EXPECT_TRUE(std::regex_search(cells, std::regex("^(\u2588)+(\u2592)+(\u2591)+(\u2588)+(\u2592)*(\u259A)+(\u2592)+$")))
        << cells;
    EXPECT_NE(plain.find(c.header), std::string::npos) << plain;
    // Every line of the map fits the terminal, and the scale names each block once,
    // each where its block begins.
    const std::size_t columns = c.cells == 256 ? 299 : c.cells == 39 ? 39 : 79;
    const std::string map = plain.substr(plain.find("Flash map:"), plain.find("\nData:") - plain.find("Flash map:"));
    std::istringstream lines(map);
    std::vector<std::string> scale;
    for (std::string l; std::getline(lines, l);) {
      std::size_t shown = 0;
      for (const unsigned char ch : l) shown += (ch & 0xC0) != 0x80;  // one column a character
      EXPECT_LE(shown, columns) << l;
      if (l.rfind("0x0 ", 0) == 0) scale.push_back(l);
    }
    ASSERT_EQ(scale.size(), 1u) << map;
    std::set<std::string> labels;
    const std::regex hex("0x[0-9A-F]+");
    for (std::sregex_iterator it(scale[0].begin(), scale[0].end(), hex), none; it != none; ++it) {
      EXPECT_TRUE(labels.insert(it->str()).second) << "repeated " << it->str() << " in " << scale[0];
      const std::size_t at = static_cast<std::size_t>(it->position());
      const std::uint64_t block = std::stoull(it->str(), nullptr, 16);
      if (block != 0x40) {
        EXPECT_EQ(at, block * c.cells / 0x40) << it->str() << " in " << scale[0];
      }
    }
    EXPECT_NE(plain.find("\u2588 image  \u2592 spare  \u2591 0xFF fill"), std::string::npos);
  }
  // A terminal whose character set is not UTF-8 gets the same map in ASCII.
  const CliRun ascii = testing::Shell("LC_ALL=C LANG=C '" FOLVANE_CLI "' check job.part", dir.str());
  std::smatch line;
  ASSERT_TRUE(std::regex_search(ascii.out, line, std::regex("\n([#=./]+)\n"))) << ascii.out;
  EXPECT_TRUE(std::regex_search(line[1].str(), std::regex("^#+=+\\.+#+=*/+=+$"))) << line[1];
  EXPECT_NE(ascii.out.find("# image  = spare  . 0xFF fill  / left out"), std::string::npos) << ascii.out;
  const std::string map = ascii.out.substr(ascii.out.find("Flash map:"));
  for (const unsigned char ch : map.substr(0, map.find("\nData:"))) ASSERT_LT(ch, 0x80) << map;
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
      {"fits", "1 0x12", "ISFISOS", " x                x", "1               2                               3",
       "x bad block (2 in the map); images run over the bad blocks they skip; every taken row fits on good blocks",
       {"<title>Bad block 0x1</title>", "<title>Bad block 0x12</title>"},
       {"[1, 18]", R"({"badBlocks": 1, "skippedBlocks": 1, "imageEndBlock": 3, "goodSpareBlocks": 4,
                       "overflows": false, "missingBlocks": 0})"}},
      {"row 1 runs out", "1 2 3 4 5 6", "IFISOS", " xxxxxx", "1!              2                               3",
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
    EXPECT_EQ(lines[6] + " " + lines[7], c.verdict);  // broken between words at 79 columns
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
  EXPECT_EQ(report["data"]["sha256"], manifest::Sha256Hex(data).value());
  EXPECT_EQ(report["data"]["byteSum"], ByteSum(data));
  EXPECT_EQ(report["table"]["byteSum"], ByteSum(table));
  char crc[16];
  std::snprintf(crc, sizeof crc, "%08lx", crc32_z(0, table.data(), table.size()));
  EXPECT_EQ(report["table"]["crc32"], crc);
  EXPECT_EQ(report["jobSha256"], manifest::Sha256Hex(ReadFile(dir / "job.part")).value());
  for (const std::string& text : {manifest::Sha256Hex(data).value(), std::string(crc)}) EXPECT_NE(html.find(text), std::string::npos) << text;
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

// A check that ends at a missing image draws no row of it as taken without saying so:
// the report, its JSON and the map name the row where the merge stops.
TEST_F(MapTest, TheReportShowsWhereTheMergeStops) {
  std::filesystem::remove(dir / "k<&'\"x>.bin");
  const CliRun checked = InDir("check job.part --report r.html --json");
  ASSERT_EQ(checked.status, 2) << checked.err;
  const testing::Bytes b = ReadFile(dir / "r.html");
  const std::string html(b.begin(), b.end());
  EXPECT_NE(html.find("(the merge stops here: FILE[2] open fail)"), std::string::npos);
  const nlohmann::json doc = nlohmann::json::parse(checked.out);
  EXPECT_FALSE(doc["rows"][1]["accepted"]);
  EXPECT_EQ(doc["report"]["rows"][1]["stopsMerge"], "FILE[2] open fail");
}

// The report is an output like the data image and the table: never written over a
// file the command reads, nor into the system's own pseudo-files, replaced unseen or
// said to be written in place, and committed with the outputs, all or none.
TEST_F(MapTest, TheReportIsDatedFromSourceDateEpochOnlyWhenItIsATime) {
  // Anything but whole seconds in decimal digits is not a time: the page is dated now,
  // not 1970 (what a number read up to its first non-digit gives) or a year the page
  // cannot print.
  struct Case {
    const char* epoch;
    const char* date;  // nullptr: now
  } cases[] = {{"1767225600", "2026-01-01T00:00:00Z"}, {"0", "1970-01-01T00:00:00Z"}, {"abc", nullptr},
               {"-5", nullptr}, {"1767225600x", nullptr}, {" 1767225600", nullptr},
               {"99999999999999999999", nullptr}, {"253402300800", nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.epoch);
    const CliRun run =
        testing::Shell("SOURCE_DATE_EPOCH='" + std::string(c.epoch) + "' '" FOLVANE_CLI "' check job.part --json", dir.str());
    const nlohmann::json doc = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << run.out << run.err;
    const std::string date = doc["report"]["date"];
    if (c.date) {
      EXPECT_EQ(date, c.date);
    } else {
      EXPECT_EQ(date.size(), 20u) << date;
      EXPECT_GE(date.substr(0, 4), "2026") << date;
    }
  }
}

TEST_F(MapTest, TheReportIsHeldToTheOutputsRules) {
  ASSERT_EQ(InDir("merge job.part").status, 1);  // row 3 is left out
  const testing::Bytes data = ReadFile(dir / "d.bin"), table = ReadFile(dir / "t.bin");
  testing::WriteText(dir / "r.html", "last good report");
  testing::WriteText(dir / "bad.txt", "1\n");
  testing::WriteText(dir / "other.txt", "someone else's");
  ASSERT_EQ(testing::Shell("ln other.txt linked.html && mkfifo pipe.html", dir.str()).status, 0);
  struct Case {
    const char* name;
    std::string args;
    int status;
    const char* says;  // on standard error
  } cases[] = {
      // /proc/self/comm names the program itself: writing it would rename the process.
      {"report on proc", "check job.part --report /proc/self/comm", 2, "/proc/self/comm is on the system's proc file system"},
      {"table on proc", "merge job.part --table /proc/self/comm", 2, "/proc/self/comm is on the system's proc file system"},
      {"manifest on proc", "merge job.part --manifest /proc/self/comm", 2, "/proc/self/comm is on the system's proc file system"},
      {"report on proc, merged", "merge job.part --report /proc/self/comm", 2, "/proc/self/comm is on the system's proc file system"},
      {"report on a pipe", "merge job.part --report pipe.html", 2, "pipe.html is a pipe (FIFO), not a file"},
      // The status is cat's here; the message is the merge's.
      {"report on standard output, a pipe", "merge job.part --report /dev/stdout | cat", 0,
       "/dev/stdout is a pipe (FIFO), not a file"},
      {"report over the bad-block list", "check job.part --bad-blocks bad.txt --report bad.txt", 2,
       "Report File bad.txt is also an input or output of the check."},
      {"report over an image", "merge job.part --report boot.bin", 2, "Report File boot.bin is also an input or output of the merge."},
      {"report with other links", "merge job.part --no-in-place --report linked.html", 2, "linked.html cannot be replaced unseen"},
      {"report in a missing folder", "merge job.part --report nowhere/r.html", 2, "nowhere/r.html"},
      {"report of a merge that ends early", "merge job.part --data nowhere/d.bin --report r.html", 2, "nowhere/d.bin"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CliRun run = InDir(c.args);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    // Nothing written: the old outputs, the last good report and the other file's bytes.
    EXPECT_EQ(ReadFile(dir / "d.bin"), data);
    EXPECT_EQ(ReadFile(dir / "t.bin"), table);
    EXPECT_EQ(ReadFile(dir / "r.html"), testing::Bytes({'l', 'a', 's', 't', ' ', 'g', 'o', 'o', 'd', ' ', 'r', 'e', 'p', 'o', 'r', 't'}));
    EXPECT_EQ(ReadFile(dir / "bad.txt").size(), 2u);
    EXPECT_EQ(ReadFile(dir / "other.txt").size(), 14u);
    EXPECT_EQ(ReadFile(dir / "boot.bin").size(), 3 * kBlock);
  }
  EXPECT_EQ(testing::Shell("cat /proc/self/comm", dir.str()).out, "cat\n");
  // Standard output redirected to a file: a report there would replace the document.
  for (const char* command : {"merge", "check"}) {
    SCOPED_TRACE(command);
    const CliRun stdoutReport = testing::Shell("'" FOLVANE_CLI "' " + std::string(command) +
                                                   " job.part --json --report /dev/stdout > doc.json; echo $? >&2", dir.str());
    EXPECT_NE(stdoutReport.err.find("/dev/stdout is where standard output or error goes"), std::string::npos)
        << stdoutReport.err;
    EXPECT_NE(stdoutReport.err.find("\n2\n"), std::string::npos) << stdoutReport.err;
    EXPECT_EQ(nlohmann::json::parse(ReadFile(dir / "doc.json"))["exitStatus"], 2);
  }
  // Allowed in place, the page goes into the linked file, and a line says so.
  const CliRun inPlace = InDir("merge job.part --report linked.html");
  EXPECT_EQ(inPlace.status, 1) << inPlace.err;
  EXPECT_NE(inPlace.err.find("the report linked.html is written in place: it has other hard links"), std::string::npos)
      << inPlace.err;
  EXPECT_EQ(ReadFile(dir / "other.txt"), ReadFile(dir / "linked.html"));
  EXPECT_GT(ReadFile(dir / "other.txt").size(), 1000u);
}

TEST_F(MapTest, ADocumentsStatusIsTheProcesssAndSaysWhy) {
  struct Case {
    const char* args;
    bool completed;
  } cases[] = {{"check job.part --json --report nowhere/r.html", true},
               {"merge job.part --json --report nowhere/r.html", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const CliRun run = InDir(c.args);
    const nlohmann::json doc = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << run.out;
    testing::KeepDocument(run.out);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(doc["exitStatus"], 2);
    EXPECT_EQ(doc["completed"], c.completed);
    EXPECT_NE((doc["details"].dump() + doc["messages"].dump()).find("nowhere/r.html"), std::string::npos) << run.out;
  }
  EXPECT_FALSE(std::filesystem::exists(testing::FsPath(dir / "d.bin")));
}

// A row's spare blocks are the blocks of its range its image does not fill, never
// fewer than none, and the rows of `check --json` and of its report say the same.
TEST_F(MapTest, BothPartsOfACheckDocumentGiveARowTheSameSpareBlocks) {
  struct Case {
    const char* rows;  // boot.bin is 3 blocks, the other image 11
    const char* rule;  // the second row's
    int spare;         // the second row's
  } cases[] = {
      {"--row boot.bin:0:7 --row boot.bin:8:F", "accepted", 5},
      {"--row boot.bin:0:7 --row boot.bin:5:F", "notAfterRowAbove", 8},  // left out with room to spare
      {"--row boot.bin:0:7 --row 'k<&'\\''\"x>.bin:8:A'", "imageTooLong", 0},  // 11 blocks in 3
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rows);
    ASSERT_EQ(InDir(std::string("new two.part --mode 0 --table t.bin --data d.bin ") + c.rows).status, 0);
    const CliRun run = InDir("check two.part --report r.html --json");
    testing::KeepDocument(run.out);
    const nlohmann::json doc = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << run.out;
    ASSERT_EQ(doc["rows"].size(), 2u);
    ASSERT_EQ(doc["report"]["rows"].size(), 2u);
    EXPECT_EQ(doc["rows"][1]["rule"], c.rule);
    for (std::size_t i = 0; i < 2; ++i) {
      EXPECT_EQ(doc["rows"][i]["spareBlocks"], i == 0 ? 5 : c.spare) << "row " << i + 1;
      EXPECT_EQ(doc["report"]["rows"][i]["spareBlocks"], doc["rows"][i]["spareBlocks"]) << "row " << i + 1;
    }
  }
}

TEST_F(MapTest, PathsInMessagesAreShownInTheirPrintableForm) {
  // Names that would clear the screen and ring the bell, naming the job itself.
  ASSERT_EQ(testing::Shell("ln -s job.part \"$(printf 'm\\033[2J\\a')\"", dir.str()).status, 0);
  for (const char* option : {"--manifest", "--report"}) {
    SCOPED_TRACE(option);
    const CliRun run = testing::Shell("'" FOLVANE_CLI "' merge job.part " + std::string(option) +
                                          " \"$(printf 'm\\033[2J\\a')\"", dir.str());
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("File m\\x1B[2J\\x07 is also an input or output of the merge."), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find('\033'), std::string::npos);
    EXPECT_EQ(run.err.find('\a'), std::string::npos);
  }
}

}  // namespace
}  // namespace folvane
