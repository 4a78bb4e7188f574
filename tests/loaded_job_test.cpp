// The command line loads and merges a job as LoadedJob, without the window's
// procedures; the window loads it through IMPORT into its controls. For every kind of
// job, the odd ones included, both must put the same job in place and merge it to the
// same bytes, with the same messages and the same result.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "dialog/job_file.hpp"
#include "dialog/memory_form.hpp"
#include "flash/row_codecs.hpp"
#include "job/block_mode.hpp"
#include "job/bytes.hpp"
#include "merge/loaded_job.hpp"
#include "test_support.hpp"

namespace folvane {
namespace {

using testing::Bytes;
using testing::TempDir;

std::string Line(const FileError& error) { return error.Line(); }

// What one way of loading and merging gave: everything is compared as text, so that a
// difference shows where it lies.
struct Outcome {
  JobLoad load = JobLoad::kLoaded;
  std::string loaded;  // the job as put in place
  std::string codecProblem;
  std::string result;
  std::string merged;  // the job as the merge left it
  std::vector<ShownMessage> messages;
  std::vector<std::string> statuses;
  std::optional<Bytes> data, table;
};

std::string Slots(const PartitionSet& set) {
  std::string s = "programErasedPages " + std::to_string(set.programErasedPages) + "\n";
  for (const PartitionSlot& sl : set.slots) {
    s += sl.imagePath + " | " + std::to_string(sl.startBlock) + " " + std::to_string(sl.endBlock) + " " +
         std::to_string(sl.imageBlocks) + " | " + sl.name + " | " + sl.ecc + " | " + sl.rawEcc + "\n";
  }
  return s;
}

// The fields the merge asks its host for, and the job's own state.
std::string State(MergeHost& host, const PartitionSet& set, const FlashGeometry& geometry, int blockMode) {
  std::string s = host.GetTablePathText() + " | " + host.GetDataPathText() + " | mode " + std::to_string(blockMode) +
                  " | " + std::to_string(geometry.blockSize) + " " + std::to_string(geometry.pageSize) + "\n";
  for (int row = 1; row <= kRowCount; ++row) {
    s += std::to_string(host.IsRowChecked(row)) + " " + host.GetRowPathText(row) + "\n";
  }
  return s + Slots(set);
}

std::string ResultText(const MergeResult& r) {
  std::string s = "completed " + std::to_string(r.completed) + " tableBuilt " + std::to_string(r.tableBuilt) +
                  " dataBytes " + std::to_string(r.dataBytes) + " inPlace " +
                  std::to_string(static_cast<int>(r.dataInPlace)) + " " +
                  std::to_string(static_cast<int>(r.tableInPlace)) + "\n";
  for (const RowRejection& x : r.plan.rejections) {
    s += x.Describe() + " [" + std::to_string(x.imageBlocks) + " " + std::to_string(x.firstFreeBlock) + " " +
         std::to_string(x.occupyingRow) + "]\n";
  }
  for (const PlannedRow& m : r.plan.rows) {
    s += std::to_string(m.taken) + std::to_string(m.imageBytes.has_value()) + " " +
         std::to_string(m.imageBytes.value_or(0)) + " " + std::to_string(m.offset) + "\n";
  }
  for (std::uint8_t b : r.plan.table) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02X", b);
    s += hex;
  }
  return s;
}

std::optional<Bytes> Take(const std::string& path, bool remove) {
  std::error_code ec;
  if (path.empty() || !std::filesystem::exists(FsPath(path), ec)) return std::nullopt;
  Bytes bytes = testing::ReadFile(path);
  if (remove) std::filesystem::remove(FsPath(path), ec);
  return bytes;
}

struct Case {
  Case(std::string n, std::string file, std::function<Bytes(const TempDir&)> bytes,
       std::optional<std::string> t = std::nullopt, std::optional<std::string> d = std::nullopt)
      : name(std::move(n)), jobName(std::move(file)), job(std::move(bytes)), table(std::move(t)), data(std::move(d)) {}
  std::string name;
  std::string jobName;  // the job file's name in the folder
  /// The job file's bytes (none: no file); the folder holds the images below and out/.
  std::function<Bytes(const TempDir&)> job;
  /// Names in the folder of outputs that replace the job's after loading, as --table
  /// and --data do.
  std::optional<std::string> table, data;
};

// gtest names a failing case by this.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class LoadedJobFidelity : public ::testing::TestWithParam<Case> {
 protected:
  TempDir dir;

  void SetUp() override {
    testing::WriteFile(dir / "a.bin", testing::Pattern(3000, 1));             // part of a block
    testing::WriteFile(dir / "b.bin", testing::Pattern(0x21000 + 17, 2));     // two blocks of mode 2
    testing::WriteFile(dir / "c.bin", testing::Pattern(0x21000 * 3, 3));      // three whole blocks
    testing::WriteFile(dir / "pages.bin", testing::Pattern(2048 * 5 + 100, 4));  // page data
    testing::WriteFile(dir / "empty.bin", {});
    std::filesystem::create_directory(FsPath(dir / "out"));
  }

  // The merge as the command line runs it: the rows' codecs from the job, outputs
  // replaced only once the merge has succeeded.
  template <typename Host>
  void Merge(Host& host, PartitionSet& set, int blockMode, const std::function<MergeResult(const MergeOptions&)>& run,
             Outcome& out) {
    const auto codecs = MakeRowCodecs(set, [&](int row) { return host.IsRowChecked(row); }, blockMode,
                                      out.codecProblem);
    if (!codecs) return;
    MergeOptions options;
    options.replaceOutputs = true;
    options.pageCodecs = codecs->PageCodecs();
    options.programErasedPages = set.programErasedPages;
    out.result = ResultText(run(options));
  }

  // The outputs as the merge left them; those it created are removed for the next
  // run, while a file that was there before (an image named as an output) stays.
  struct Outputs {
    std::string table, data;
    bool tableWasThere, dataWasThere;
  };
  static Outputs Before(const std::string& table, const std::string& data) {
    std::error_code ec;
    return {table, data, std::filesystem::exists(FsPath(table), ec), std::filesystem::exists(FsPath(data), ec)};
  }
  static void TakeOutputs(const Outputs& o, Outcome& out) {
    out.table = Take(o.table, !o.tableWasThere);
    if (o.data != o.table) out.data = Take(o.data, !o.dataWasThere);
  }

  Outcome ThroughTheForm(const std::string& job, const Case& c) {
    Outcome out;
    MemoryForm form(dir / "default-data.bin", dir / "default-table.bin");
    form.onStatus = [&](const std::string& s) { out.statuses.push_back(s); };
    out.load = LoadJobInto(form, job, &Line, form.set.programErasedPages);
    if (out.load == JobLoad::kLoaded) {
      if (c.table) form.SetItemText(ids::kTableEdit, dir / *c.table);
      if (c.data) form.SetItemText(ids::kDataEdit, dir / *c.data);
      out.loaded = State(form, form.set, form.geometry, form.GetBlockModeSelection());
      const Outputs outputs = Before(form.GetTablePathText(), form.GetDataPathText());
      Merge(form, form.set, form.GetBlockModeSelection(), [&](const MergeOptions& o) { return form.Merge(o); }, out);
      out.merged = State(form, form.set, form.geometry, form.GetBlockModeSelection());
      TakeOutputs(outputs, out);
    }
    out.messages = form.messages;
    return out;
  }

  Outcome AsLoadedJob(const std::string& job, const Case& c) {
    Outcome out;
    LoadedJob loaded(dir / "default-data.bin", dir / "default-table.bin");
    loaded.onStatus = [&](const std::string& s) { out.statuses.push_back(s); };
    out.load = loaded.LoadFile(job, &Line);
    if (out.load == JobLoad::kLoaded) {
      if (c.table) loaded.tablePath = dir / *c.table;
      if (c.data) loaded.dataPath = dir / *c.data;
      out.loaded = State(loaded, loaded.set, loaded.geometry, loaded.blockMode);
      const Outputs outputs = Before(loaded.tablePath, loaded.dataPath);
      Merge(loaded, loaded.set, loaded.blockMode, [&](const MergeOptions& o) { return loaded.Merge(o); }, out);
      out.merged = State(loaded, loaded.set, loaded.geometry, loaded.blockMode);
      TakeOutputs(outputs, out);
    }
    out.messages = loaded.messages;
    return out;
  }
};

TEST_P(LoadedJobFidelity, MergesAsTheWindowDoes) {
  const Case& c = GetParam();
  const std::string job = dir / c.jobName;
  if (c.job) testing::WriteFile(job, c.job(dir));
  const Outcome form = ThroughTheForm(job, c);
  const Outcome loaded = AsLoadedJob(job, c);
  EXPECT_EQ(loaded.load, form.load);
  EXPECT_EQ(loaded.loaded, form.loaded);
  EXPECT_EQ(loaded.codecProblem, form.codecProblem);
  EXPECT_EQ(loaded.result, form.result);
  EXPECT_EQ(loaded.merged, form.merged);
  EXPECT_EQ(loaded.statuses, form.statuses);
  ASSERT_EQ(loaded.messages.size(), form.messages.size());
  for (std::size_t i = 0; i < form.messages.size(); ++i) {
    EXPECT_EQ(loaded.messages[i].text, form.messages[i].text) << "message " << i;
    EXPECT_EQ(loaded.messages[i].icon, form.messages[i].icon) << "message " << i;
  }
  EXPECT_EQ(loaded.table.has_value(), form.table.has_value());
  EXPECT_EQ(loaded.data.has_value(), form.data.has_value());
  EXPECT_TRUE(loaded.table == form.table) << "the tables differ";
  EXPECT_TRUE(loaded.data == form.data) << "the data images differ";
}

// --- the jobs ---

PartFileRow Row(const TempDir& dir, const std::string& image, std::string start, std::string end,
                std::uint32_t blocks) {
  return PartFileRow{image.empty() ? std::string() : dir / image, std::move(start), std::move(end), blocks};
}

Bytes Encoded(const PartFileRecord& r) {
  const PartFileRecord::Bytes bytes = r.Encode();
  return Bytes(bytes.begin(), bytes.end());
}

// A .part of mode `mode` whose outputs lie in out/.
std::function<Bytes(const TempDir&)> Part(int mode, std::function<std::vector<PartFileRow>(const TempDir&)> rows,
                                         std::function<void(Bytes&, const TempDir&)> patch = nullptr) {
  return [=](const TempDir& dir) {
    PartFileRecord r;
    r.tablePath = dir / "out/table.bin";
    r.dataPath = dir / "out/data.bin";
    r.blockModeIndex = static_cast<std::uint8_t>(mode);
    const auto given = rows(dir);
    for (std::size_t i = 0; i < given.size(); ++i) r.rows[i] = given[i];
    r.rowCount = static_cast<std::uint8_t>(given.size());
    Bytes bytes = Encoded(r);
    if (patch) patch(bytes, dir);
    return bytes;
  };
}

// A field's bytes as a file holds them, up to its width, the rest zero.
void Put(Bytes& bytes, std::size_t offset, std::size_t width, const std::string& raw) {
  for (std::size_t i = 0; i < width; ++i) bytes[offset + i] = i < raw.size() ? static_cast<std::uint8_t>(raw[i]) : 0;
}

std::function<Bytes(const TempDir&)> Text(std::function<std::string(const TempDir&)> text) {
  return [=](const TempDir& dir) {
    const std::string t = text(dir);
    return Bytes(t.begin(), t.end());
  };
}

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

std::vector<Case> Cases() {
  using part_layout::kBlockTextWidth;
  using part_layout::kEndTexts;
  using part_layout::kImagePaths;
  using part_layout::kPathWidth;
  using part_layout::kStartTexts;
  std::vector<Case> cases = {
      {"TwoRowsAsExportSavesThem", "job.part",
       Part(2, [](const TempDir& d) { return std::vector{Row(d, "a.bin", "0", "1", 1), Row(d, "b.bin", "2", "5", 2)}; })},
      {"NonCanonicalHexTexts", "job.part",
       Part(2, [](const TempDir& d) {
         return std::vector{Row(d, "a.bin", "", "0001", 1), Row(d, "b.bin", "0A", "00f", 2),
                            Row(d, "c.bin", "1F", "0020", 3)};
       })},
      {"TextsTheWindowRefuses", "job.part",
       Part(2, [](const TempDir& d) {
         return std::vector{Row(d, "a.bin", "zz", "fffff", 1), Row(d, "b.bin", "-1", "10001", 2),
                            Row(d, "c.bin", "10000", " 7", 3)};
       })},
      {"UnterminatedSixByteTexts", "job.part",
       Part(2, [](const TempDir& d) { return std::vector{Row(d, "a.bin", "0", "1", 1), Row(d, "b.bin", "2", "5", 2)}; },
            [](Bytes& b, const TempDir&) {
              Put(b, kStartTexts + kBlockTextWidth, kBlockTextWidth, "000002");
              Put(b, kEndTexts + kBlockTextWidth, kBlockTextWidth, "0000fg");
            })},
      {"StoredLengthsThatDifferFromTheImages", "job.part",
       Part(2, [](const TempDir& d) {
         return std::vector{Row(d, "a.bin", "0", "0", 99), Row(d, "b.bin", "1", "2", 0), Row(d, "c.bin", "3", "9", 1)};
       })},
      {"RowsPastTheStoredCountAreNotTicked", "job.part",
       Part(2, [](const TempDir& d) {
         return std::vector{Row(d, "a.bin", "0", "1", 1), Row(d, "b.bin", "2", "5", 2), Row(d, "c.bin", "6", "9", 3)};
       },
            [](Bytes& b, const TempDir&) { b[part_layout::kRowCountByte] = 1; })},
      {"ACountAboveSixteenTicksEveryRowWithEmptyPaths", "job.part",
       Part(2, [](const TempDir& d) { return std::vector{Row(d, "a.bin", "0", "1", 1), Row(d, "b.bin", "2", "5", 2)}; },
            [](Bytes& b, const TempDir&) { b[part_layout::kRowCountByte] = 200; })},
      {"AnEmptyImagePath", "job.part",
       Part(2, [](const TempDir& d) { return std::vector{Row(d, "a.bin", "0", "1", 1), Row(d, "", "2", "5", 2)}; })},
      {"AMissingImage", "job.part",
       Part(2, [](const TempDir& d) { return std::vector{Row(d, "a.bin", "0", "1", 1), Row(d, "gone.bin", "2", "5", 2)}; })},
      {"AnEmptyImage", "job.part",
       Part(2, [](const TempDir& d) { return std::vector{Row(d, "empty.bin", "0", "1", 1)}; })},
      {"EmptyOutputPaths", "job.part",
       Part(2, [](const TempDir& d) { return std::vector{Row(d, "a.bin", "0", "1", 1)}; },
            [](Bytes& b, const TempDir&) {
              Put(b, part_layout::kTablePath, kPathWidth, "");
              Put(b, part_layout::kDataPath, kPathWidth, "");
            })},
      {"AnEmptyDataPath", "job.part",
       Part(2, [](const TempDir& d) { return std::vector{Row(d, "a.bin", "0", "1", 1)}; },
            [](Bytes& b, const TempDir&) { Put(b, part_layout::kDataPath, kPathWidth, ""); })},
      {"RowsTheTableLeavesOut", "job.part",
       Part(2, [](const TempDir& d) {
         return std::vector{Row(d, "c.bin", "0", "9", 3), Row(d, "a.bin", "5", "8", 1), Row(d, "b.bin", "c", "b", 2),
                            Row(d, "c.bin", "10", "11", 3), Row(d, "a.bin", "20", "20", 1)};
       })},
      {"RowsThatOverlapAnEarlierImage", "job.part",
       Part(2, [](const TempDir& d) {
         return std::vector{Row(d, "c.bin", "0", "1", 1), Row(d, "a.bin", "2", "3", 1)};
       })},
      {"OutputsReplacedAfterLoading", "job.part",
       Part(2, [](const TempDir& d) { return std::vector{Row(d, "a.bin", "0", "1", 1)}; }), std::nullopt,
       std::nullopt},
      {"DataFileIsAnImage", "job.part",
       Part(2, [](const TempDir& d) { return std::vector{Row(d, "a.bin", "0", "1", 1)}; },
            [](Bytes& b, const TempDir& d) { Put(b, part_layout::kDataPath, kPathWidth, d / "a.bin"); })},
      {"PathsInTheLegacyCodePage", "job.part",
       Part(2, [](const TempDir& d) { return std::vector{Row(d, "a.bin", "0", "1", 1), Row(d, "b.bin", "2", "5", 2)}; },
            [](Bytes& b, const TempDir& d) {
              // Spelled as bytes: they are no UTF-8 name a path type would take.
              Put(b, part_layout::kTablePath, kPathWidth, d.str() + "/out/\xB0\xA1.bin");
              Put(b, kImagePaths + kPathWidth, kPathWidth, d.str() + "/\xB0\xA1.bin");
            })},
      {"NoJobFile", "missing.part", nullptr},
      {"APartWithoutItsMark", "damaged.part", [](const TempDir&) { return Bytes{'P', 'A', 'R', 'X', 0}; }},
      {"ATextJobThatIsNone", "job.toml", Text([](const TempDir&) { return std::string("mode = 2\ncolour = 1\n"); })},
      {"ATextJobWithNamesAndMeasuredRows", "job.toml", Text([](const TempDir& d) {
         return "mode = 2\ntable = " + Quoted(d / "out/table.bin") + "\ndata = " + Quoted(d / "out/data.bin") +
                "\n[[row]]\nname = \"boot\"\nimage = \"a.bin\"\nstart = \"0\"\nend = \"0001\"\n"
                "[[row]]\nname = \"kernel\"\nimage = \"b.bin\"\nstart = \"000000002\"\nend = \"5\"\nblocks = 7\n";
       })},
      {"ATextJobLeavingTheOutputsToTheDefaults", "job.toml", Text([](const TempDir&) {
         return std::string("mode = \"(2048+64)B*64\"\n[[row]]\nimage = \"c.bin\"\nstart = \"1\"\nend = \"4\"\n");
       })},
      {"ATextJobWithECC", "job.toml", Text([](const TempDir& d) {
         return "mode = 2\nprogram-erased-pages = true\ntable = " + Quoted(d / "out/table.bin") +
                "\ndata = " + Quoted(d / "out/data.bin") +
                "\n[[row]]\nimage = \"pages.bin\"\nstart = \"0\"\nend = \"1\"\necc = \"linux-bch8/512\"\n"
                "[[row]]\nimage = \"c.bin\"\nstart = \"2\"\nend = \"5\"\nraw-ecc = \"linux-bch8/512\"\n";
       })},
      {"ATextJobWithASchemeThatDoesNotFit", "job.toml", Text([](const TempDir& d) {
         return "mode = 0\ntable = " + Quoted(d / "out/table.bin") + "\ndata = " + Quoted(d / "out/data.bin") +
                "\n[[row]]\nimage = \"pages.bin\"\nstart = \"0\"\nend = \"f\"\necc = \"linux-bch8/512\"\n";
       })},
      {"ATextJobWithAMissingImage", "job.toml", Text([](const TempDir& d) {
         return "mode = 2\ntable = " + Quoted(d / "out/table.bin") + "\ndata = " + Quoted(d / "out/data.bin") +
                "\n[[row]]\nimage = \"gone.bin\"\nstart = \"0\"\nend = \"1\"\n";
       })},
  };
  // The outputs a job names, replaced by others as --table and --data replace them.
  for (Case& c : cases) {
    if (c.name == "OutputsReplacedAfterLoading") {
      c.table = "out/other-table.bin";
      c.data = "out/other-data.bin";
    }
  }
  // Every entry of the Block Mode list, and stored modes outside it.
  for (int mode : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 255}) {
    cases.push_back({"BlockMode" + std::to_string(mode), "job.part",
                     Part(mode, [](const TempDir& d) {
                       return std::vector{Row(d, "a.bin", "0", "0", 1), Row(d, "b.bin", "1", "3", 2)};
                     })});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Jobs, LoadedJobFidelity, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& param) { return param.param.name; });

}  // namespace
}  // namespace folvane
