#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>

#include "cli_run.hpp"
#include "memory_form.hpp"
#include "part_file.hpp"
#include "procedures.hpp"
#include "test_support.hpp"

namespace folvane {
namespace {

using testing::Bytes;
using testing::Cli;
using testing::CliRun;
using testing::ReadFile;
using testing::TempDir;

class CliTest : public ::testing::Test {
 protected:
  TempDir dir;
  void SetUp() override {
    testing::WriteFile(dir / "boot.bin", testing::Pattern(300000, 1));
    testing::WriteFile(dir / "kernel.bin", testing::Pattern(1000000, 2));
    testing::WriteFile(dir / "cfg.bin", testing::Pattern(3, 3));
    testing::WriteFile(dir / "empty.bin", {});
  }
  CliRun InDir(const std::string& args) { return Cli(args, dir.str()); }
};

TEST_F(CliTest, UsageAndVersion) {
  struct Case {
    const char* args;
    int status;
  } cases[] = {
      {"--version", 0},          {"--help", 0},           {"merge --help", 0},
      {"", 64},                  {"frobnicate", 64},      {"merge", 64},
      {"merge a b", 64},         {"merge j --bogus x", 64}, {"merge j --table", 64},
      {"new j.part", 64},        {"new j.part --mode 16", 64}, {"new j.part --mode x", 64},
      {"new j.part --mode 2 --row nocolons", 64},
      {"new j.part --mode 2 --row cfg.bin:0:10001", 64},
      {"new j.part --mode 2 --row cfg.bin:0x1:2", 64},
      {"check", 64},             {"verify", 64},          {"verify j --manifest m", 64},
      {"show j --json=1", 64},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    EXPECT_EQ(InDir(c.args).status, c.status);
  }
  EXPECT_EQ(InDir("--version").out, "folvane-cli 1.4.0\n");
  EXPECT_EQ(InDir("new j.part --mode 2 --row cfg.bin:0:10001").err.rfind("Too Huge Num!\n", 0), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir / "j.part"));
}

TEST_F(CliTest, NewThenMergeGivesWhatTheFormGivesForTheSameJob) {
  const CliRun made = InDir(
      "new job.part --mode 0 --table t.bin --data d.bin --row boot.bin:0:40 --row kernel.bin:41:0100 "
      "--row cfg.bin:101:101");
  ASSERT_EQ(made.status, 0) << made.err;
  const CliRun merged = InDir("merge job.part");
  EXPECT_EQ(merged.status, 0) << merged.err;
  EXPECT_EQ(merged.err, "HEAD GEN...\nFILE1 MER...\nFILE2 MER...\nFILE3 MER...\nDone!\n");

  // The same job entered by hand in the in-memory window.
  MemoryForm form("", "");
  form.SelectBlockMode(0);
  form.SetItemText(ids::kTableEdit, dir / "t2.bin");
  form.SetItemText(ids::kDataEdit, dir / "d2.bin");
  const char* rows[][3] = {{"boot.bin", "0", "40"}, {"kernel.bin", "41", "100"}, {"cfg.bin", "101", "101"}};
  for (int i = 0; i < 3; ++i) {
    const RowControls& c = RowControlsFor(i + 1);
    form.ClickCheck(i + 1);
    form.SetItemText(c.pathEdit, dir / rows[i][0]);
    form.SetItemText(c.startEdit, rows[i][1]);
    form.SetItemText(c.endEdit, rows[i][2]);
  }
  ASSERT_TRUE(form.Merge().completed);
  EXPECT_EQ(ReadFile(dir / "d.bin"), ReadFile(dir / "d2.bin"));
  EXPECT_EQ(ReadFile(dir / "t.bin"), ReadFile(dir / "t2.bin"));
  EXPECT_EQ(ReadFile(dir / "d.bin").size(), (0x101u + 1) * 0x2100);

  // --table and --data replace the saved paths.
  EXPECT_EQ(InDir("merge job.part --table t3.bin --data=d3.bin").status, 0);
  EXPECT_EQ(ReadFile(dir / "d3.bin"), ReadFile(dir / "d.bin"));
  EXPECT_EQ(ReadFile(dir / "t3.bin"), ReadFile(dir / "t.bin"));

  const CliRun shown = InDir("show job.part");
  EXPECT_EQ(shown.status, 0);
  EXPECT_NE(shown.out.find("Block mode: 0 (512+16)B*16, block size 0x2100 (8448) bytes"), std::string::npos)
      << shown.out;
  EXPECT_NE(shown.out.find("start 0x41  end 0x0100  length 0x77 (119) blocks"), std::string::npos) << shown.out;
}

TEST_F(CliTest, MergeExitStatusSaysHowItEnded) {
  ASSERT_EQ(InDir("new ok.part --mode 2 --table t.bin --data d.bin --row cfg.bin:0:1 --row boot.bin:1:4").status, 0);
  const CliRun rejected = InDir("merge ok.part");
  EXPECT_EQ(rejected.status, 1);
  EXPECT_EQ(rejected.err,
            "HEAD GEN...\nPartition Set Error.\n"
            "folvane-cli: row 2: start block 0x1 is not after end block 0x1 of row 1\n"
            "FILE1 MER...\nDone!\n");

  std::filesystem::remove(dir / "boot.bin");
  const CliRun missing = InDir("merge ok.part");
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.err, "FILE[2] open fail\n");

  testing::WriteText(dir / "bad.part", "PARTS");
  const CliRun bad = InDir("merge bad.part");
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.err, "文件错误,请选择正确的文件\n");
  EXPECT_EQ(InDir("show bad.part").status, 2);
  EXPECT_EQ(InDir("merge none.part").err, "没有找到 一未命名文件。\n");
}

TEST_F(CliTest, RefusedStoredBlockTextIsShownAndTheMergeGoesOn) {
  PartFileRecord r;
  r.tablePath = "t.bin";
  r.dataPath = "d.bin";
  r.blockModeIndex = 2;
  r.rowCount = 1;
  r.rows[0] = {dir / "cfg.bin", "0", "zz", 1};
  const auto b = r.Encode();
  testing::WriteFile(dir / "refused.part", Bytes(b.begin(), b.end()));
  const CliRun run = InDir("merge refused.part");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err.rfind("     Error Input Num!\r\nPlease input 16-ary numerical!\nHEAD GEN...\n", 0), 0u) << run.err;
}

TEST_F(CliTest, NewRefusesImagesBrowseWouldRefuse) {
  const CliRun empty = InDir("new j.part --mode 2 --row empty.bin:0:1");
  EXPECT_EQ(empty.status, 2);
  EXPECT_EQ(empty.err, "Empty File.\n");
  const CliRun missing = InDir("new j.part --mode 2 --row gone.bin:0:1");
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.err, "Image File open error.\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "j.part"));
  // A colon inside the image name: the last two colons split the row.
  testing::WriteText(dir / "a:b.bin", "x");
  EXPECT_EQ(InDir("new j.part --mode 2 --row a:b.bin:0:1").status, 0);
}

TEST_F(CliTest, DefaultOutputPathsStandBesideTheExecutableNotTheWorkingFolder) {
  std::filesystem::create_directories(dir / "bin");
  std::filesystem::create_directories(dir / "work");
  std::filesystem::copy_file(FOLVANE_CLI, dir / "bin/folvane-cli");
  const std::string cmd = "cd '" + dir / "work" + "' && '" + dir / "bin/folvane-cli" + "' new job.part --mode 2";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  const auto record = PartFileRecord::Decode(ReadFile(dir / "work/job.part"));
  ASSERT_TRUE(record);
  EXPECT_EQ(record->tablePath, dir / "bin/Partition_Table.bin");
  EXPECT_EQ(record->dataPath, dir / "bin/Data_Merge.bin");
}

TEST_F(CliTest, TableChecksTheFile) {
  TableArea area{};
  area.fill(0xFF);
  PartitionEntry{0x10, 0x2F, 5}.EncodeTo(std::span<std::uint8_t, 16>(area.data(), 16));
  testing::WriteFile(dir / "good.bin", Bytes(area.begin(), area.end()));
  const CliRun good = InDir("table good.bin");
  EXPECT_EQ(good.status, 0);
  EXPECT_NE(good.out.find("0x10 (16)"), std::string::npos);
  EXPECT_NE(good.out.find("0x2F (47)"), std::string::npos);

  struct Case {
    const char* name;
    std::function<void(Bytes&)> spoil;
    const char* problem;
  } cases[] = {
      {"short", [](Bytes& b) { b.resize(100); }, "is 100 bytes long, not 512"},
      {"long", [](Bytes& b) { b.push_back(0xFF); }, "is 513 bytes long, not 512"},
      {"reserved word", [](Bytes& b) { b[12] = 0; }, "record 1: reserved word is 0xFFFFFF00"},
      {"record after the end", [](Bytes& b) { b[40] = 1; }, "record 3 follows the end of the table"},
      {"seventeen records",
       [](Bytes& b) {
         for (std::uint32_t i = 1; i < 17; ++i) {
           PartitionEntry{0x30 + i, 0x30 + i, 1}.EncodeTo(std::span<std::uint8_t, 16>(b.data() + 16 * i, 16));
         }
       },
       "record 17: a table holds at most 16 records"},
      {"start after end", [](Bytes& b) { b[4] = 0x0F; }, "record 1: start block 0x10 lies after end block 0xF"},
      {"image longer than its range", [](Bytes& b) { b[8] = 0x21; }, "record 1: the image's 0x21 blocks do not fit"},
      {"overlapping records",
       [](Bytes& b) { PartitionEntry{0x2F, 0x40, 1}.EncodeTo(std::span<std::uint8_t, 16>(b.data() + 16, 16)); },
       "record 2: start block 0x2F is not after end block 0x2F of record 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes b(area.begin(), area.end());
    c.spoil(b);
    testing::WriteFile(dir / "spoilt.bin", b);
    const CliRun run = InDir("table spoilt.bin");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(c.problem), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace folvane
