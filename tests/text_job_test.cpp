// The text job: TOML read into a Job and written back, and the .part record of a job.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "job/job.hpp"
#include "job/text_job.hpp"

namespace folvane {
namespace {

#ifdef _WIN32
const std::string kFolder = "C:\\jobs";
const std::string kAbsolute = "C:\\elsewhere\\boot.bin";
#else
const std::string kFolder = "/jobs";
const std::string kAbsolute = "/elsewhere/boot.bin";
#endif

// A path under the job's folder as the reader spells it: in the system's separators.
std::string Under(std::string relative) {
#ifdef _WIN32
  std::replace(relative.begin(), relative.end(), '/', '\\');
  return kFolder + "\\" + relative;
#else
  return kFolder + "/" + relative;
#endif
}

TEST(TextJob, ReadsWhatTheWindowHoldsWithPathsFromItsOwnFolder) {
  const auto parsed = ParseTextJob(R"(# a layout kept with the firmware
mode = "(512+16)B*16"
table = "out/t.bin"

[[row]]
name = "boot"
image = "images/boot.bin"
start = "0"
end = "0007"          # as typed: not made canonical
blocks = 3

[[row]]
image = ")" + std::string(kAbsolute == "/elsewhere/boot.bin" ? "/elsewhere/boot.bin" : "C:/elsewhere/boot.bin") + R"("
start = "8"
end = "f"
)",
                                   kFolder);
  ASSERT_TRUE(std::holds_alternative<Job>(parsed)) << std::get<TextJobError>(parsed).Describe("job.toml");
  const Job& job = std::get<Job>(parsed);
  EXPECT_EQ(job.blockMode, 0);
  EXPECT_EQ(job.tablePath, std::optional<std::string>(Under("out/t.bin")));
  EXPECT_FALSE(job.dataPath.has_value()) << "left to the window's default";
  ASSERT_EQ(job.rows.size(), 2u);
  EXPECT_EQ(job.rows[0], (JobRow{Under("images/boot.bin"), "0", "0007", 3, "boot", {}, {}}));
  EXPECT_EQ(job.rows[1].startText, "8");
  EXPECT_FALSE(job.rows[1].imageBlocks.has_value()) << "measured when loaded";
}

TEST(TextJob, BadInputNamesTheLineAndTheKey) {
  struct Case {
    const char* name;
    std::string text;
    std::size_t line;
    std::string key;
    std::string says;
  } cases[] = {
      {"unknown key", "mode = 2\ncolour = 1\n", 2, "colour", "unknown key"},
      {"unknown row key", "[[row]]\nimage = \"a\"\nstart = \"0\"\nend = \"1\"\nsize = 3\n", 5, "row[1].size", "unknown key"},
      {"duplicate key", "mode = 2\nmode = 3\n", 2, "", "mode"},
      {"wrong type", "table = 3\n", 1, "table", "text in quotes"},
      {"number as block text", "[[row]]\nimage = \"a\"\nstart = 0\nend = \"1\"\n", 3, "row[1].start", "text in quotes"},
      {"mode out of the list", "mode = 16\n", 1, "mode", "from 0 to 15"},
      {"unknown mode label", "mode = \"(512+16)B*8\"\n", 1, "mode", "(2048+64)B*64"},
      {"refused start text", "[[row]]\nimage = \"a\"\nstart = \"zz\"\nend = \"1\"\n", 3, "row[1].start", "'zz' is not a hexadecimal"},
      {"too huge", "[[row]]\nimage = \"a\"\nstart = \"0\"\nend = \"10001\"\n", 4, "row[1].end", "10000"},
      {"too long", "[[row]]\nimage = \"a\"\nstart = \"0000000001\"\nend = \"1\"\n", 3, "row[1].start", "9 characters"},
      {"missing image", "[[row]]\nstart = \"0\"\nend = \"1\"\n", 1, "row[1].image", "missing"},
      {"row as a table", "[row]\nimage = \"a\"\n", 1, "row", "[[row]]"},
      {"negative blocks", "[[row]]\nimage = \"a\"\nstart = \"0\"\nend = \"1\"\nblocks = -1\n", 5, "row[1].blocks", "whole number"},
      {"not TOML", "mode = = 2\n", 1, "", ""},
      {"not UTF-8", "table = \"\xFF\"\n", 0, "", "UTF-8"},
      // Characters other than ASCII where the TOML reader asks whether they are
      // whitespace (found by fuzzing: a table it reads them through failed on some).
      {"U+FEEF in a key", "mode = 2\ndaa\xEF\xBB\xAF\n", 2, "", ""},
      {"a Greek letter after a value", "mode = 2 \xCE\xBD\n", 1, "", ""},
      {"a control character", std::string("mode = 2\0\0 4\"0\x10:\n", 17), 1, "", ""},
      {"both schemes", "[[row]]\nimage = \"a\"\nstart = \"0\"\nend = \"1\"\necc = \"linux-hamming\"\nraw-ecc = \"linux-hamming\"\n",
       6, "row[1].raw-ecc", "not both"},
      {"setting not a flag", "program-erased-pages = 1\n", 1, "program-erased-pages", "true or false"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto parsed = ParseTextJob(c.text, kFolder);
    ASSERT_TRUE(std::holds_alternative<TextJobError>(parsed));
    const TextJobError& e = std::get<TextJobError>(parsed);
    EXPECT_EQ(e.line, c.line) << e.Describe("j.toml");
    EXPECT_EQ(e.key, c.key) << e.Describe("j.toml");
    EXPECT_NE(e.Describe("j.toml").find(c.says), std::string::npos) << e.Describe("j.toml");
  }
  // The seventeenth row is named where it starts.
  std::string many;
  for (int i = 0; i < 17; ++i) many += "[[row]]\nimage = \"a\"\nstart = \"0\"\nend = \"1\"\n";
  const auto parsed = ParseTextJob(many, kFolder);
  ASSERT_TRUE(std::holds_alternative<TextJobError>(parsed));
  EXPECT_EQ(std::get<TextJobError>(parsed).line, 65u);
  EXPECT_EQ(std::get<TextJobError>(parsed).key, "row[17]");
}

TEST(TextJob, WrittenAndReadBackIsTheSameJob) {
  Job job;
  job.tablePath = Under("out/t.bin");
  job.dataPath = kAbsolute;
  job.blockMode = 15;
  job.rows = {JobRow{Under("a \"quoted\"\\name\t.bin"), "00", "7", 3, "boot \xE5\x9B\xBA \xEF\xBB\xAF", "linux-bch8/512", {}},
              JobRow{kAbsolute, "8", "F", std::nullopt, {}, {}, "bch:t=8,step=512,mask=none,bytes=14,pad=0x00,at=2"}};
  job.programErasedPages = true;
  std::string problem;
  const auto text = TextJobOf(job, kFolder, problem);
  ASSERT_TRUE(text.has_value()) << problem;
  EXPECT_NE(text->find("table = \"out/t.bin\""), std::string::npos) << *text;
  const auto parsed = ParseTextJob(*text, kFolder);
  ASSERT_TRUE(std::holds_alternative<Job>(parsed)) << std::get<TextJobError>(parsed).Describe("j") << *text;
  EXPECT_EQ(std::get<Job>(parsed), job) << *text;
  // A path no text job can hold is refused, not written garbled.
  job.rows[1].imagePath = "\xB9\xCC.bin";
  EXPECT_FALSE(TextJobOf(job, kFolder, problem).has_value());
  EXPECT_NE(problem.find("row 2's image"), std::string::npos) << problem;
}

TEST(TextJob, APartRecordTravelsThroughAJobUnchanged) {
  PartFileRecord r;
  r.tablePath = Under("t.bin");
  r.dataPath = "";
  r.blockModeIndex = kNoBlockMode;
  r.rowCount = 2;
  r.rows[0] = {Under("a/./b.bin"), "0", "3", 2};
  r.rows[1] = {kAbsolute, "ab", "00fff", 0xFFFFFFFF};
  const Job job = JobFromPartRecord(r);
  std::string problem;
  const auto text = TextJobOf(job, kFolder, problem);
  ASSERT_TRUE(text.has_value()) << problem;
  const auto parsed = ParseTextJob(*text, kFolder);
  ASSERT_TRUE(std::holds_alternative<Job>(parsed)) << *text;
  const PartRecordOfJob back = PartRecordFromJob(std::get<Job>(parsed), "default-t", "default-d");
  EXPECT_TRUE(back.leftOut.empty());
  EXPECT_EQ(back.record.Encode(), r.Encode()) << *text;

  // What a .part cannot hold is named; a block text too long for its field is stored
  // as EXPORT stores it, the same number.
  Job named = JobFromPartRecord(r);
  named.rows[0].name = "boot";
  named.rows[1].startText = "0000000ab";
  const PartRecordOfJob part = PartRecordFromJob(named, "t", "d");
  ASSERT_EQ(part.leftOut.size(), 1u);
  EXPECT_EQ(part.leftOut[0], "row 1's name 'boot'");
  EXPECT_EQ(part.record.rows[1].startText, "ab");
}

TEST(TextJob, TheFormIsToldByItsFirstBytes) {
  struct Case {
    std::string bytes;
    bool part;
  } cases[] = {{std::string("PART\0\0", 6), true}, {"PART", true}, {"PARTS", false}, {"mode = 2", false}, {"", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(StartsAsPartFile(std::span(reinterpret_cast<const std::uint8_t*>(c.bytes.data()), c.bytes.size())), c.part);
  }
}

}  // namespace
}  // namespace folvane
