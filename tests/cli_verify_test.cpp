// check, verify, merge --manifest and the --json documents, driven as a build script
// drives them: by exit status and parsed JSON.
#include <gtest/gtest.h>
#include <zlib.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <numeric>
#include <optional>

#include <nlohmann/json.hpp>

#include "cli_run.hpp"
#include "manifest/digest.hpp"
#include "job/part_file.hpp"
#include "job/stored_text.hpp"
#include "manifest/sha256.hpp"
#include "test_support.hpp"

namespace folvane {
namespace {

using nlohmann::json;
using testing::Bytes;
using testing::Cli;
using testing::CliRun;
using testing::ReadFile;
using testing::TempDir;

constexpr std::size_t kBlock = 0x2100;  // block mode 0

std::string Sha256(const std::uint8_t* data, std::size_t size) { return manifest::Sha256Hex({data, size}).value_or(""); }

// The expected digests above come from the tool's own SHA-256 (libcrypto, or CNG on
// Windows): it must agree with the published test vectors, whichever way the bytes
// are handed to it.
TEST(Sha256, AgreesWithThePublishedVectorsInAnyPieces) {
  const std::string abc = "abc";
  const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  const Bytes million(1000000, 'a');
  struct Case {
    Bytes bytes;
    const char* sha256;
  } cases[] = {
      {{}, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {Bytes(abc.begin(), abc.end()), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {Bytes(two.begin(), two.end()), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {million, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(manifest::Sha256Hex(c.bytes), c.sha256);
    // In uneven pieces, empty ones among them.
    manifest::Sha256 sha;
    std::span<const std::uint8_t> rest(c.bytes);
    for (std::size_t piece = 0; !rest.empty(); piece = (piece * 7 + 3) % 65537) {
      const std::size_t n = std::min(piece, rest.size());
      sha.Update(rest.first(n));
      rest = rest.subspan(n);
    }
    EXPECT_EQ(sha.Hex(), c.sha256);
  }
}

std::string Crc32(const std::uint8_t* data, std::size_t size) {
  char b[16];
  std::snprintf(b, sizeof b, "%08lx", crc32_z(0, data, size));
  return b;
}

std::uint32_t Sum32(const std::uint8_t* data, std::size_t size) {
  return std::accumulate(data, data + size, std::uint32_t{0});
}

// Partitions and data images pass 2 GiB: the CRC of the bytes after a range joins
// the CRCs before it over such lengths (where zlib's own length is 32 bits on
// Windows).
TEST(Crc32, JoinsPartsOfAnyLength) {
  const Bytes head = testing::Pattern(1000, 1), zeros(1 << 20, 0);
  for (const std::uint64_t tail : {std::uint64_t{0}, std::uint64_t{8448}, (std::uint64_t{1} << 31) + 8448 * 3}) {
    SCOPED_TRACE(tail);
    std::uint32_t whole = static_cast<std::uint32_t>(crc32_z(0, head.data(), head.size()));
    std::uint32_t second = static_cast<std::uint32_t>(crc32_z(0, nullptr, 0));
    for (std::uint64_t left = tail; left > 0;) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, zeros.size()));
      whole = static_cast<std::uint32_t>(crc32_z(whole, zeros.data(), n));
      second = static_cast<std::uint32_t>(crc32_z(second, zeros.data(), n));
      left -= n;
    }
    EXPECT_EQ(manifest::CrcCombine(static_cast<std::uint32_t>(crc32_z(0, head.data(), head.size())), second, tail), whole);
  }
}

void Keep(const json& doc) { testing::KeepDocument(doc.dump(1)); }

json Parse(const CliRun& run) {
  json doc = json::parse(run.out, nullptr, false);
  EXPECT_FALSE(doc.is_discarded()) << run.out << run.err;
  if (!doc.is_discarded()) Keep(doc);
  return doc;
}

// A manifest the program wrote.
json ReadManifest(const std::string& path) {
  const Bytes bytes = ReadFile(path);
  json doc = json::parse(bytes);
  Keep(doc);
  return doc;
}

// Three partitions with 0xFF fill between them: row 1 in blocks 0x0-0x23 (its last
// block padded), fill 0x24-0x40, row 2 in 0x41-0xB7, fill 0xB8-0x100, row 3 at 0x101.
class VerifyTest : public testing::CliFolderTest {
 protected:
  void SetUp() override {
    testing::WriteFile(dir / "boot.bin", testing::Pattern(300000, 1));
    testing::WriteFile(dir / "kernel.bin", testing::Pattern(1000000, 2));
    testing::WriteFile(dir / "cfg.bin", testing::Pattern(3, 3));
    ASSERT_EQ(InDir("new job.part --mode 0 --table t.bin --data d.bin --row boot.bin:0:40 --row kernel.bin:41:100 "
                    "--row cfg.bin:101:101")
                  .status,
              0);
  }
};

TEST_F(VerifyTest, NamesTheFirstDifferenceOfEachPartition) {
  const CliRun merged = InDir("merge job.part --manifest m.json");
  ASSERT_EQ(merged.status, 0) << merged.err;
  const Bytes goodData = ReadFile(dir / "d.bin"), goodTable = ReadFile(dir / "t.bin");
  ASSERT_EQ(goodData.size(), 0x102 * kBlock);
  // Outputs that another reader holds open (a programmer's tool, a second verify)
  // are read back all the same: verify never needs to write them.
#ifndef _WIN32
  EXPECT_EQ(testing::Shell("flock -s d.bin flock -s t.bin '" FOLVANE_CLI "' verify job.part", dir.str()).status, 0);
#endif

  struct Where {
    const char* place;
    const char* cause;
    int row;
    std::size_t block;   // data image block, or table record
    std::size_t offset;
  };
  struct Case {
    const char* name;
    std::function<void(Bytes& data, Bytes& table)> spoil;
    std::vector<Where> differences;  // in order
  } cases[] = {
      {"as merged", [](Bytes&, Bytes&) {}, {}},
      {"a byte of a partition", [](Bytes& d, Bytes&) { d[0x46 * kBlock + 7] ^= 1; },
       {{"partition", "differs", 2, 0x46, 0x46 * kBlock + 7}}},
      {"the padding after an image's last byte", [](Bytes& d, Bytes&) { d[300001] = 0; },
       {{"partition", "differs", 1, 0x23, 300001}}},
      {"a fill block", [](Bytes& d, Bytes&) { d[0x30 * kBlock + 9] = 0; },
       {{"fill", "differs", 2, 0x30, 0x30 * kBlock + 9}}},
      {"a byte of the table", [](Bytes&, Bytes& t) { t[17] ^= 1; }, {{"table", "differs", 2, 2, 17}}},
      {"only the first difference of a partition",
       [](Bytes& d, Bytes&) {
         d[10] ^= 1;
         d[0x50 * kBlock] ^= 1;
         d[0x60 * kBlock] ^= 1;
       },
       {{"partition", "differs", 1, 0, 10}, {"partition", "differs", 2, 0x50, 0x50 * kBlock}}},
      {"a truncated data image", [](Bytes& d, Bytes&) { d.resize(0x50 * kBlock + 100); },
       {{"partition", "missing", 2, 0x50, 0x50 * kBlock + 100},
        {"fill", "missing", 3, 0xB8, 0xB8 * kBlock},
        {"partition", "missing", 3, 0x101, 0x101 * kBlock}}},
      {"bytes appended to the data image", [](Bytes& d, Bytes&) { d.push_back(0xFF); },
       {{"afterEnd", "extra", 3, 0x102, 0x102 * kBlock}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes data = goodData, table = goodTable;
    c.spoil(data, table);
    testing::WriteFile(dir / "d.bin", data);
    testing::WriteFile(dir / "t.bin", table);

    const CliRun run = InDir("verify job.part --json");
    EXPECT_EQ(run.status, c.differences.empty() ? 0 : 1) << run.err;
    const json doc = Parse(run);
    EXPECT_EQ(doc["match"], c.differences.empty());
    ASSERT_EQ(doc["differences"].size(), c.differences.size()) << doc["differences"].dump(1);
    for (std::size_t i = 0; i < c.differences.size(); ++i) {
      const Where& w = c.differences[i];
      const json& d = doc["differences"][i];
      EXPECT_EQ(d["place"], w.place);
      EXPECT_EQ(d["cause"], w.cause);
      EXPECT_EQ(d["row"], w.row);
      EXPECT_EQ(d[std::string(w.place) == "table" ? "record" : "block"], w.block);
      EXPECT_EQ(d["offset"], w.offset);
      if (std::string(w.place) == "partition") {
        const std::size_t start = w.row == 1 ? 0 : w.row == 2 ? 0x41 : 0x101;
        EXPECT_EQ(d["imageBlock"], w.block - start);
      }
    }
    // Without the images, the manifest tells the same rows apart.
    const CliRun byManifest = InDir("verify --manifest m.json --json");
    EXPECT_EQ(byManifest.status, c.differences.empty() ? 0 : 1) << byManifest.err;
    const json m = Parse(byManifest);
    for (const json& p : m["partitions"]) {
      bool spoilt = false;
      for (const Where& w : c.differences) spoilt = spoilt || (std::string(w.place) == "partition" && w.row == p["row"]);
      EXPECT_EQ(p["match"], !spoilt) << "row " << p["row"];
    }
  }

  // An image that cannot be read is no difference of the outputs.
  std::filesystem::remove(dir / "cfg.bin");
  EXPECT_EQ(InDir("verify job.part").status, 2);
  std::filesystem::remove(dir / "d.bin");
  EXPECT_EQ(InDir("verify --manifest m.json").status, 2);
}

TEST_F(VerifyTest, ManifestHoldsTheDigestsOfTheFilesAndOfEachPartitionsBlocks) {
  // A newline in a name changes how sha256sum writes and reads its line (Windows
  // names hold no newline).
#ifdef _WIN32
  const std::string dataName = "d1.bin";
#else
  const std::string dataName = "d\n1.bin";
#endif
  const CliRun merged = InDir("merge job.part --data '" + dataName + "' --manifest m.sha256 --manifest m.json --json");
  ASSERT_EQ(merged.status, 0) << merged.err;
  EXPECT_EQ(Parse(merged)["manifest"], ReadManifest(dir / "m.json"));
#ifndef _WIN32
  const CliRun sums = testing::Shell("sha256sum --check --strict m.sha256", dir.str());
  EXPECT_EQ(sums.status, 0) << sums.out << sums.err;
#endif

  const json m = ReadManifest(dir / "m.json");
  const Bytes data = ReadFile(dir / dataName), table = ReadFile(dir / "t.bin");
  EXPECT_EQ(m["blockSize"], kBlock);
  EXPECT_EQ(m["data"]["sha256"], Sha256(data.data(), data.size()));
  EXPECT_EQ(m["data"]["crc32"], Crc32(data.data(), data.size()));
  EXPECT_EQ(m["data"]["bytes"], data.size());
  EXPECT_EQ(m["table"]["sha256"], Sha256(table.data(), table.size()));
  EXPECT_EQ(m["table"]["crc32"], Crc32(table.data(), table.size()));
  EXPECT_EQ(m["data"]["byteSum"], Sum32(data.data(), data.size()));
  EXPECT_EQ(m["table"]["byteSum"], Sum32(table.data(), table.size()));
  struct Range {
    int row;
    std::size_t start, end, blocks;
  } ranges[] = {{1, 0, 0x40, 36}, {2, 0x41, 0x100, 119}, {3, 0x101, 0x101, 1}};
  ASSERT_EQ(m["partitions"].size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    const Range& r = ranges[i];
    const json& p = m["partitions"][i];
    SCOPED_TRACE(r.row);
    EXPECT_EQ(p["row"], r.row);
    EXPECT_EQ(p["startBlock"], r.start);
    EXPECT_EQ(p["endBlock"], r.end);
    EXPECT_EQ(p["imageBlocks"], r.blocks);
    EXPECT_EQ(p["offset"], r.start * kBlock);
    EXPECT_EQ(p["bytes"], r.blocks * kBlock);
    // What dd would cut out: the image and the 0xFF that completes its last block.
    const std::uint8_t* cut = data.data() + r.start * kBlock;
    EXPECT_EQ(p["sha256"], Sha256(cut, r.blocks * kBlock));
    EXPECT_EQ(p["crc32"], Crc32(cut, r.blocks * kBlock));
    EXPECT_EQ(p["byteSum"], Sum32(cut, r.blocks * kBlock));
    EXPECT_EQ(p["rangeByteSum"], Sum32(cut, (r.end - r.start + 1) * kBlock));
  }
#ifndef _WIN32
  const CliRun dd = testing::Shell("dd if='d\n1.bin' bs=8448 skip=65 count=119 status=none | sha256sum", dir.str());
  EXPECT_EQ(dd.out.substr(0, 64), m["partitions"][1]["sha256"]);
#endif

  // A manifest never takes the place of an input or an output.
  const Bytes job = ReadFile(dir / "job.part");
  for (const char* clash : {"job.part", "t.bin", "kernel.bin"}) {
    SCOPED_TRACE(clash);
    EXPECT_EQ(InDir(std::string("merge job.part --manifest ") + clash).status, 2);
  }
  EXPECT_EQ(ReadFile(dir / "job.part"), job);
  EXPECT_EQ(ReadFile(dir / "kernel.bin"), testing::Pattern(1000000, 2));
}

// A manifest is checked by what it holds (one written before byte sums were recorded
// still verifies), and refused when it is no manifest.
TEST_F(VerifyTest, AManifestThatIsNotOneIsRefused) {
  ASSERT_EQ(InDir("merge job.part --manifest m.json --manifest m.sha256").status, 0);
  const json good = ReadManifest(dir / "m.json");
  struct Case {
    const char* name;
    std::function<void(json&)> spoil;
    int status = 2;
    const char* place = nullptr;  // of the one difference, with status 1
    int row = 0;
  } cases[] = {
      {"as written", [](json&) {}, 0},
      {"written before byte sums were recorded",
       [](json& m) {
         for (json* j : {&m["data"], &m["table"]}) j->erase("byteSum");
         for (json& p : m["partitions"]) p.erase("byteSum"), p.erase("rangeByteSum");
       },
       0},
      {"the data image's byte sum", [](json& m) { m["data"]["byteSum"] = m["data"]["byteSum"].get<std::uint32_t>() + 1; },
       1, "data"},
      {"a partition's byte sum", [](json& m) { m["partitions"][1]["byteSum"] = 0; }, 1, "partition", 2},
      {"a range's byte sum", [](json& m) { m["partitions"][0]["rangeByteSum"] = 1; }, 1, "partition", 1},
      {"a byte sum that is no count", [](json& m) { m["table"]["byteSum"] = -1; }},
      {"a negative count", [](json& m) { m["partitions"][0]["bytes"] = -1; }},
      {"a fraction", [](json& m) { m["blockSize"] = 1e300; }},
      {"a range past the data image", [](json& m) { m["partitions"][2]["offset"] = 0xFFFFFFFFFFFFFFF0u; }},
      {"overlapping ranges", [](json& m) { m["partitions"][1]["offset"] = 0; }},
      {"a digest that is no digest", [](json& m) { m["data"]["sha256"] = "xyz"; }},
      {"partitions that are no list", [](json& m) { m["partitions"] = "all"; }},
      {"another format", [](json& m) { m["format"] = "other"; }},
      // Read up to the NUL, the path would name d.bin, which matches.
      {"a path with a NUL", [](json& m) { m["data"]["path"] = std::string("d.bin\0.old", 10); }},
      {"path bytes that are no hexadecimal", [](json& m) { m["data"]["pathBytes"] = "64x"; }},
      {"a data image larger than any merge writes", [](json& m) { m["data"]["bytes"] = std::uint64_t{1} << 40; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    json m = good;
    c.spoil(m);
    testing::WriteText(dir / "bad.json", m.dump());
    const CliRun run = InDir("verify --manifest bad.json --json");
    EXPECT_EQ(run.status, c.status) << run.err;
    const json doc = Parse(run);
    EXPECT_EQ(doc.contains("error"), c.status == 2);
    if (c.status != 1) continue;
    ASSERT_EQ(doc["differences"].size(), 1u) << doc["differences"].dump(1);
    EXPECT_EQ(doc["differences"][0]["place"], c.place);
    if (c.row != 0) {
      EXPECT_EQ(doc["differences"][0]["row"], c.row);
    }
  }
  // The sha256sum text is for sha256sum.
  EXPECT_EQ(InDir("verify --manifest m.sha256").status, 2);
}

TEST_F(VerifyTest, CheckDecidesWhatTheMergeThenDoes) {
  struct Case {
    const char* name;
    const char* rows;     // --row options for new
    const char* outputs;  // options given to check and merge
    std::function<void(const TempDir&)> change;  // after the job is saved
    int status;
    std::vector<int> rejected;
  } cases[] = {
      {"every row taken", "--row boot.bin:0:40 --row kernel.bin:41:100", "", {}, 0, {}},
      {"a row that starts inside the one above", "--row boot.bin:0:40 --row kernel.bin:40:100 --row cfg.bin:101:101",
       "", {}, 1, {2}},
      {"an image longer than its range", "--row kernel.bin:0:10", "", {}, 1, {1}},
      {"an image gone", "--row boot.bin:0:40 --row cfg.bin:41:41", "",
       [](const TempDir& d) { std::filesystem::remove(d / "cfg.bin"); }, 2, {}},
      {"an image emptied", "--row boot.bin:0:40", "",
       [](const TempDir& d) { testing::WriteFile(d / "boot.bin", {}); }, 2, {}},
      {"a data image in no folder", "--row cfg.bin:0:0", "--data none/d.bin", {}, 2, {}},
      {"a data image that is an image", "--row cfg.bin:0:0 --row boot.bin:1:40", "--data boot.bin", {}, 2, {}},
      {"a table that is the job", "--row cfg.bin:0:0", "--table job2.part", {}, 2, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    ASSERT_EQ(InDir(std::string("new job2.part --mode 0 --table t2.bin --data d2.bin ") + c.rows).status, 0);
    if (c.change) c.change(dir);
    std::filesystem::remove(dir / "d2.bin");
    std::filesystem::remove(dir / "t2.bin");
    const Bytes boot = ReadFile(dir / "boot.bin");

    const CliRun check = InDir(std::string("check job2.part --json ") + c.outputs);
    EXPECT_EQ(check.status, c.status) << check.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "d2.bin"));
    const CliRun merge = InDir(std::string("merge job2.part --json ") + c.outputs);
    EXPECT_EQ(merge.status, c.status) << merge.err;
    const json checked = Parse(check), merged = Parse(merge);
    std::vector<int> rejected;
    for (const json& r : checked["rejections"]) rejected.push_back(r["row"]);
    EXPECT_EQ(rejected, c.rejected);
    for (const char* field : {"completed", "rows", "rejections", "messages", "exitStatus"}) {
      EXPECT_EQ(checked[field], merged[field]) << field;
    }
    EXPECT_EQ(checked["data"]["bytes"], merged["data"]["bytes"]);
    if (merged["completed"]) {
      EXPECT_EQ(checked["data"]["bytes"], std::filesystem::file_size(dir / "d2.bin"));
    }
    EXPECT_EQ(ReadFile(dir / "boot.bin"), boot);
  }
}

TEST_F(VerifyTest, TakenRowsThatShareBlocksAreWarnedOfByEveryCommand) {
  // Row 2 is refused (its end lies before its start), so row 3 is compared with row
  // 2's end only and taken, although row 1's range reaches its first block.
  ASSERT_EQ(InDir("new job.part --mode 0 --table t.bin --data d.bin --row cfg.bin:0:7 --row kernel.bin:5:3 "
                  "--row cfg.bin:7:9")
                .status,
            0);
  const std::string warning = "folvane-cli: warning: rows 1 and 3 both hold block 0x7";
  for (const char* args : {"check job.part --json", "merge job.part --json", "verify job.part --json"}) {
    SCOPED_TRACE(args);
    const CliRun run = InDir(args);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(warning), std::string::npos) << run.err;
    const json doc = Parse(run);
    ASSERT_EQ(doc["overlaps"].size(), 1u);
    EXPECT_EQ(doc["overlaps"][0]["row"], 1);
    EXPECT_EQ(doc["overlaps"][0]["laterRow"], 3);
    EXPECT_EQ(doc["overlaps"][0]["firstBlock"], 7);
    EXPECT_EQ(doc["overlaps"][0]["lastBlock"], 7);
    if (doc["command"] == "verify") {
      EXPECT_EQ(doc["match"], true) << "the outputs are what the merge writes";
    } else {
      // The window's messages are unchanged: one per refused row.
      EXPECT_EQ(doc["messages"], json::parse(R"([{"text": "Partition Set Error.", "icon": "warning"}])"));
    }
  }
  const Bytes table = ReadFile(dir / "t.bin");
  EXPECT_EQ(Bytes(table.begin(), table.begin() + 40),
            testing::Concat({{0, 0, 0, 0, 7, 0, 0, 0, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF},
                             {7, 0, 0, 0, 9, 0, 0, 0, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF},
                             Bytes(8, 0xFF)}));
}

// Every form of document, success and error: each is kept and checked against the
// schema once the tests have run (json_documents_match_schema).
TEST_F(VerifyTest, EveryKindOfDocumentIsPrinted) {
  ASSERT_EQ(InDir("merge job.part --manifest m.json").status, 0);
  testing::WriteText(dir / "bad.txt", "5 0x50");
  ReadManifest(dir / "m.json");
  testing::WriteText(dir / "bad.part", "PARTS");
  struct Case {
    const char* args;
    const char* command;
    int status;
  } cases[] = {
      {"show job.part --json", "show", 0},
      {"table t.bin --json", "table", 0},
      {"check job.part --json", "check", 0},
      {"check job.part --json --bad-blocks bad.txt --max-bad 9 --chip-blocks 0x200", "check", 0},
      {"check job.part --json --lint", "check", 1},
      {"check job.part --json --marker-pages second,last --bad-blocks bad.txt", "check", 1},
      {"merge job.part --json", "merge", 0},
      {"merge job.part --manifest m.json --json", "merge", 0},
      {"verify job.part --json", "verify", 0},
      {"verify --manifest m.json --json", "verify", 0},
      {"verify --manifest=m.json --data t.bin --json", "verify", 1},
      {"verify job.part --dump d.bin --bad-blocks bad.txt --json", "verify", 1},
      {"show bad.part --json", "show", 2},
      {"show none.part --json", "show", 2},
      {"table none.bin --json", "table", 2},
      {"check none.part --json", "check", 2},
      {"check none.part --json --lint", "check", 2},
      {"merge bad.part --json", "merge", 2},
      {"verify none.part --json", "verify", 2},
      {"verify --manifest job.part --json", "verify", 2},
      {"verify --manifest m.json --data none.bin --json", "verify", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const CliRun run = InDir(c.args);
    EXPECT_EQ(run.status, c.status) << run.err;
    const json doc = Parse(run);
    EXPECT_EQ(doc["command"], c.command);
    EXPECT_EQ(doc.contains("error"), c.status == 2 && std::string(c.command) != "check" &&
                                         std::string(c.command) != "merge");
  }

  // A path saved by a Windows in code page 936 is no UTF-8: the document still comes.
  PartFileRecord r;
  r.tablePath = "t.bin";
  r.dataPath = "d.bin";
  r.blockModeIndex = 0;
  r.rowCount = 1;
  r.rows[0] = {dir.str() + "/\xB0\xE5.bin", "0", "1", 1};  // raw bytes: no UTF-8 path to build
  const auto bytes = r.Encode();
  testing::WriteFile(dir / "gbk.part", Bytes(bytes.begin(), bytes.end()));
  // show prints the stored code page 936 text as read; IMPORT (and so check) takes it
  // only where those bytes name that very file (Windows), not where it names another.
  struct GbkCase {
    const char* args;
    int status;
    std::string imagePath;
  } gbkCases[] = {
      {"show gbk.part --json", 0, dir.str() + "/\u677F.bin"},
      {"check gbk.part --json", 2, LegacyPathNamesSavedFile() ? dir.str() + "/\u677F.bin" : ""},
  };
  for (const GbkCase& c : gbkCases) {
    SCOPED_TRACE(c.args);
    const CliRun run = InDir(c.args);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_EQ(Parse(run)["rows"][0]["imagePath"], c.imagePath);
  }
}

}  // namespace
}  // namespace folvane

namespace folvane {
namespace {

// A document or a help text lost on its way out is a failure, whatever the command.
TEST_F(VerifyTest, OutputLostOnAFullDiskFailsEveryCommand) {
  SKIP_WITHOUT_POSIX_SHELL();
#ifndef _WIN32
  ASSERT_EQ(InDir("merge job.part --manifest m.json").status, 0);
  for (const char* args : {"--help", "--version", "merge --help", "show job.part", "show job.part --json",
                           "table t.bin --json", "check job.part --json", "verify job.part",
                           "verify --manifest m.json", "merge job.part --json"}) {
    SCOPED_TRACE(args);
    const CliRun run = testing::Shell("'" FOLVANE_CLI "' " + std::string(args) + " >/dev/full", dir.str());
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("folvane-cli: standard output: "), std::string::npos) << run.err;
  }
#endif
}

// Whatever the job holds, the manifest a merge writes finds its files and verifies,
// and every document names the block mode alike.
TEST_F(VerifyTest, EveryManifestAMergeWritesVerifies) {
  struct Case {
    const char* name;
    std::uint8_t blockMode;
    std::string dataName;  // given with --data, as a build script may give any bytes
  } cases[] = {
      {"a block mode of the list", 0, "d.bin"},
      {"no block mode (255)", 255, "d.bin"},
#ifndef _WIN32
      {"a data image whose name is not UTF-8", 0, "d\xB0\xE5.bin"},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PartFileRecord r;
    r.tablePath = dir / "t.bin";
    r.dataPath = dir / "saved.bin";
    r.blockModeIndex = c.blockMode;
    r.rowCount = 2;
    r.rows[0] = {dir / "cfg.bin", "0", "1", 1};
    r.rows[1] = {dir / "boot.bin", "2", "40", 0};
    const auto bytes = r.Encode();
    testing::WriteFile(dir / "mode.part", Bytes(bytes.begin(), bytes.end()));
    const CliRun merged = InDir("merge mode.part --manifest m.json --json --data '" + c.dataName + "'");
    ASSERT_EQ(merged.status, 0) << merged.err;
    const CliRun verified = InDir("verify --manifest m.json --json");
    EXPECT_EQ(verified.status, 0) << verified.err;
    EXPECT_EQ(Parse(verified)["match"], true);
    const json m = ReadManifest(dir / "m.json");
    EXPECT_EQ(m["blockMode"], c.blockMode);
    EXPECT_EQ(Parse(merged)["blockMode"], c.blockMode);
    EXPECT_EQ(Parse(InDir("check mode.part --json"))["blockMode"], c.blockMode);
    EXPECT_EQ(Parse(InDir("show mode.part --json"))["blockMode"], c.blockMode);
  }
}

TEST_F(VerifyTest, AManifestStopsReadingWhereItsDataImageEnds) {
  SKIP_WITHOUT_POSIX_SHELL();
#ifndef _WIN32
  ASSERT_EQ(InDir("merge job.part --manifest m.json").status, 0);
  // 200 GB, nearly all of it a hole: read to its end, it would take minutes.
  constexpr std::uint64_t kHuge = std::uint64_t{200} << 30;
  ASSERT_EQ(::truncate((dir / "d.bin").c_str(), static_cast<off_t>(kHuge)), 0);
  const CliRun run = testing::Shell("timeout 60 '" FOLVANE_CLI "' verify --manifest m.json --json", dir.str());
  ASSERT_EQ(run.status, 1) << run.err;
  const json doc = Parse(run);
  EXPECT_EQ(doc["data"]["bytes"], kHuge);
  for (const json& p : doc["partitions"]) EXPECT_EQ(p["match"], true);
  ASSERT_EQ(doc["differences"].size(), 1u);
  EXPECT_EQ(doc["differences"][0]["place"], "data");
  EXPECT_EQ(doc["differences"][0]["cause"], "extra");
#endif
}

// A row the merge did not reach reports its size and its blocks measured at the same
// moment, never one from now and one from the saved job.
TEST_F(VerifyTest, ARowTheMergeDidNotReachHasOneSourceForItsSizes) {
  ASSERT_EQ(InDir("new two.part --mode 0 --row cfg.bin:0:0 --row boot.bin:1:100").status, 0);
  std::filesystem::remove(dir / "cfg.bin");                           // the run ends at row 1
  testing::WriteFile(dir / "boot.bin", testing::Pattern(600000, 1));  // saved as 300000 bytes
  for (const char* command : {"check", "merge"}) {
    SCOPED_TRACE(command);
    const CliRun run = InDir(std::string(command) + " two.part --json");
    EXPECT_EQ(run.status, 2);
    const json row = Parse(run)["rows"][1];
    EXPECT_EQ(row["imageBytes"], 600000);
    EXPECT_EQ(row["imageBlocks"], (600000 + kBlock - 1) / kBlock);
    EXPECT_EQ(row["spareBlocks"], 0x100 - (600000 + kBlock - 1) / kBlock);
  }
}

// The hashing failing (here: a system configuration that allows only approved
// providers, of which there are none) ends the command with a message, not abort().
TEST_F(VerifyTest, AHashingFailureIsAMessageAndStatus2) {
  SKIP_WITHOUT_POSIX_SHELL();
#ifndef _WIN32
  ASSERT_EQ(InDir("merge job.part --manifest m.json").status, 0);
  testing::WriteText(dir / "approved-only.cnf",
                     "openssl_conf = init\n[init]\nalg_section = algorithms\n[algorithms]\ndefault_properties = fips=yes\n");
  for (const char* args : {"merge job.part --manifest m2.json", "verify --manifest m.json"}) {
    SCOPED_TRACE(args);
    const CliRun run = testing::Shell("OPENSSL_CONF=approved-only.cnf '" FOLVANE_CLI "' " + std::string(args), dir.str());
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("SHA-256 failed"), std::string::npos) << run.err;
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "m2.json"));
#endif
}

}  // namespace
}  // namespace folvane
