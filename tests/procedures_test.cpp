#include <gtest/gtest.h>

#include <filesystem>

#include "job/block_text.hpp"
#include "dialog/memory_form.hpp"
#include "dialog/procedures.hpp"
#include "job/stored_text.hpp"
#include "test_support.hpp"

namespace folvane {
namespace {

using testing::Bytes;
using testing::TempDir;
using Message = MemoryForm::Message;

const Message kNotHex{std::string(text::kErrorInputNum), MessageIcon::Warning};
const Message kTooHuge{std::string(text::kTooHugeNum), MessageIcon::Warning};

/// A form with a scripted chooser: the next answer is popped from `answers`, and
/// every request is remembered.
struct Form : MemoryForm {
  std::vector<std::optional<std::string>> answers;
  std::vector<FileChooserRequest> requests;
  Form() : MemoryForm("/exe/Data_Merge.bin", "/exe/Partition_Table.bin") {
    chooser = [this](const FileChooserRequest& r) -> std::optional<std::string> {
      requests.push_back(r);
      if (answers.empty()) return std::nullopt;
      auto a = answers.front();
      answers.erase(answers.begin());
      return a;
    };
  }
  void Type(int id, const std::string& text) {
    // Key by key, as a user types.
    for (std::size_t i = 1; i <= text.size(); ++i) SetItemText(id, GetItemText(id) + text[i - 1]);
  }
  const RowControls& Row(int row) { return RowControlsFor(row); }
  void Browse(int row, const std::string& path) {
    answers.push_back(path);
    BrowseImage(*this, row);
  }
  /// Everything the window shows and the slots hold, to compare two forms.
  std::string Snapshot() {
    std::string s = GetItemText(ids::kTableEdit) + "|" + GetItemText(ids::kDataEdit) + "|" +
                    std::to_string(GetBlockModeSelection()) + "|" + std::to_string(geometry.blockSize) + "\n";
    for (int row = 1; row <= kRowCount; ++row) {
      const RowControls& c = Row(row);
      const PartitionSlot& sl = set.Slot(row);
      s += std::to_string(IsItemChecked(c.check)) + std::to_string(IsItemEnabled(c.pathEdit)) +
           std::to_string(IsItemEnabled(c.browse)) + std::to_string(IsItemEnabled(c.startEdit)) +
           std::to_string(IsItemEnabled(c.endEdit)) + " " + GetItemText(c.pathEdit) + " " +
           GetItemText(c.startEdit) + " " + GetItemText(c.endEdit) + " " + sl.imagePath + " " +
           std::to_string(sl.startBlock) + " " + std::to_string(sl.endBlock) + " " +
           std::to_string(sl.imageBlocks) + "\n";
    }
    return s;
  }
};

class ProceduresTest : public ::testing::Test {
 protected:
  TempDir dir;

  /// Checks rows, types their block texts and browses an image for each.
  void FillRows(Form& f, std::initializer_list<int> rows) {
    for (int row : rows) {
      const std::string image = dir / ("img" + std::to_string(row));
      testing::WriteFile(image, testing::Pattern(std::size_t(row) * 1000, 1));
      f.ClickCheck(row);
      f.Browse(row, image);
      f.Type(f.Row(row).startEdit, std::to_string(row * 2));
      f.Type(f.Row(row).endEdit, std::to_string(row * 2 + 1));
    }
  }

  std::string Export(Form& f, const std::string& name = "job.part") {
    const std::string path = dir / name;
    f.answers.push_back(path);
    EXPECT_TRUE(ExportPartFile(f));
    return path;
  }
};

TEST_F(ProceduresTest, BlockEditRefusalShowsTheTextThenEmptiesTheEdit) {
  Form f;
  const int id = f.Row(3).startEdit;
  // The message is shown while the refused text is still in the edit.
  std::vector<std::string> textAtMessage;
  f.onMessage = [&](const Message&) { textAtMessage.push_back(f.GetItemText(id)); };

  f.Type(id, "0x10");
  EXPECT_EQ(f.messages, (std::vector<Message>{kNotHex}));
  EXPECT_EQ(textAtMessage, (std::vector<std::string>{"0x"}));
  EXPECT_EQ(f.GetItemText(id), "10") << "typing goes on in the emptied edit";
  EXPECT_EQ(f.set.Slot(3).startBlock, 0x10u);

  f.SetItemText(id, "10001");
  EXPECT_EQ(f.messages.back(), kTooHuge);
  EXPECT_EQ(textAtMessage.back(), "10001");
  EXPECT_EQ(f.GetItemText(id), "");
  EXPECT_EQ(f.set.Slot(3).startBlock, 0u) << "never 0x10001";

  f.SetItemText(id, "10000");
  EXPECT_EQ(f.set.Slot(3).startBlock, 0x10000u);
  f.SetItemText(id, "");
  EXPECT_EQ(f.set.Slot(3).startBlock, 0u);
  EXPECT_EQ(f.messages.size(), 2u) << "accepted texts show nothing";
  EXPECT_EQ(f.set.Slot(3).endBlock, kUnset) << "only the edited field changes";
}

TEST_F(ProceduresTest, FileCheckSwitchesTheRowAndKeepsItsValues) {
  Form f;
  FillRows(f, {2});
  const std::string before = f.Snapshot();
  f.ClickCheck(2);
  for (int id : {f.Row(2).pathEdit, f.Row(2).browse, f.Row(2).startEdit, f.Row(2).endEdit})
    EXPECT_FALSE(f.IsItemEnabled(id));
  f.ClickCheck(2);
  EXPECT_EQ(f.Snapshot(), before);
}

TEST_F(ProceduresTest, BrowseMeasuresTheImageInBlocksOfTheCurrentMode) {
  struct Case {
    const char* name;
    std::size_t size;
    std::uint32_t blocks;
  } cases[] = {{"one byte", 1, 1}, {"one block", 0x21000, 1}, {"one block and a byte", 0x21001, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Form f;
    f.ClickCheck(1);
    testing::WriteFile(dir / "img", Bytes(c.size, 7));
    f.Browse(1, dir / "img");
    EXPECT_EQ(f.set.Slot(1).imageBlocks, c.blocks);
    EXPECT_EQ(f.set.Slot(1).imagePath, dir / "img");
    EXPECT_EQ(f.GetItemText(f.Row(1).pathEdit), dir / "img");
    EXPECT_TRUE(f.messages.empty());
  }
  Form f;
  ASSERT_EQ(f.requests.size(), 0u);
  f.Browse(1, dir / "img");
  EXPECT_EQ(f.requests[0].kind, ChooserKind::Open);
  EXPECT_EQ(f.requests[0].filter, "File(*.*)|*.*||");
  EXPECT_EQ(f.requests[0].defaultExtension, "");
  f.SelectBlockMode(0);
  EXPECT_EQ(f.set.Slot(1).imageBlocks, 2u) << "a new block mode recomputes nothing";
}

TEST_F(ProceduresTest, ImagesOfFourGigabytesAndMoreAreMeasuredWhole) {
  const std::string big = dir / "big.img";
  testing::WriteFile(big, {});
  std::filesystem::resize_file(big, (std::uint64_t{1} << 32) + 1);  // sparse: no disk used
  Form f;
  f.Browse(1, big);
  EXPECT_TRUE(f.messages.empty());
  EXPECT_EQ(f.set.Slot(1).imageBlocks, 31776u);
}

TEST_F(ProceduresTest, BrowseFailuresEmptyThePathEditOnly) {
  testing::WriteFile(dir / "empty", {});
  std::filesystem::create_directory(dir / "folder");
  struct Case {
    const char* name;
    std::string path;
    const char* message;
  } cases[] = {
      {"missing", dir / "missing", "Image File open error."},
      {"folder", dir / "folder", "Image File open error."},
      {"empty", dir / "empty", "Empty File."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Form f;
    f.set.Slot(4).imageBlocks = 9;
    f.Browse(4, c.path);
    EXPECT_EQ(f.messages, (std::vector<Message>{{c.message, MessageIcon::Warning}}));
    EXPECT_EQ(f.GetItemText(f.Row(4).pathEdit), "");
    EXPECT_EQ(f.set.Slot(4).imagePath, c.path);
    EXPECT_EQ(f.set.Slot(4).imageBlocks, 9u);
  }
  // The empty image is not held open: another writer may have it at once.
  EXPECT_TRUE(File::CreateWrite(dir / "empty").ok());
}

TEST_F(ProceduresTest, ChosenPathsLongerThanTheFieldsAreRefused) {
  Form f;
  const std::string tooLong = "/" + std::string(255, 'p');
  f.Browse(1, tooLong);
  f.answers.push_back(tooLong);
  BrowseOutputPath(f, ids::kTableEdit);
  EXPECT_EQ(f.messages.size(), 2u);
  EXPECT_EQ(f.messages[0].text, "The chosen path is longer than 255 bytes.");
  EXPECT_EQ(f.set.Slot(1).imagePath, "");
  EXPECT_EQ(f.GetItemText(ids::kTableEdit), "/exe/Partition_Table.bin");

  f.answers.push_back(dir / "not-yet");
  BrowseOutputPath(f, ids::kDataEdit);
  EXPECT_EQ(f.GetItemText(ids::kDataEdit), dir / "not-yet") << "an output need not exist";
  BrowseOutputPath(f, ids::kDataEdit);  // cancelled
  EXPECT_EQ(f.GetItemText(ids::kDataEdit), dir / "not-yet");
}

TEST_F(ProceduresTest, ExportThenImportRestoresTheWholeWindow) {
  Form a;
  a.SelectBlockMode(5);
  FillRows(a, {1, 2, 3});
  a.SetItemText(ids::kTableEdit, "/out/t.bin");
  const std::string path = Export(a);
  EXPECT_EQ(a.requests.back().kind, ChooserKind::Save);
  EXPECT_EQ(a.requests.back().filter, "Part File(*.part)|*.part|File(*.*)|*.*||");
  EXPECT_EQ(a.requests.back().defaultExtension, "part");
  EXPECT_EQ(testing::ReadFile(path).size(), 4872u);

  Form b;
  b.answers.push_back(path);
  EXPECT_TRUE(ImportPartFile(b));
  EXPECT_EQ(b.Snapshot(), a.Snapshot());
  EXPECT_TRUE(b.messages.empty());
}

TEST_F(ProceduresTest, OnlyTheLeadingRunOfCheckedRowsIsSaved) {
  struct Case {
    const char* name;
    std::vector<int> checked;
    int n;
  } cases[] = {
      {"rows 1-3 and 5", {1, 2, 3, 5}, 3},
      {"all but row 14", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 15, 16}, 13},
      {"all sixteen", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, 16},
      {"none", {}, 0},
      {"row 1 unchecked", {2, 3}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Form a;
    for (int row : c.checked) FillRows(a, {row});
    const Bytes bytes = testing::ReadFile(Export(a, std::string(c.name) + ".part"));
    ASSERT_EQ(bytes.size(), 4872u);
    EXPECT_EQ(bytes[519], c.n);
    EXPECT_EQ(bytes[518], 2);
    for (std::size_t i = 520 + 256 * std::size_t(c.n); i < 4616; ++i) ASSERT_EQ(bytes[i], 0) << i;

    // Importing over a window whose rows are all on leaves exactly rows 1..N on.
    Form b;
    for (int row = 1; row <= kRowCount; ++row) b.ClickCheck(row);
    b.answers.push_back(dir / (std::string(c.name) + ".part"));
    ASSERT_TRUE(ImportPartFile(b));
    for (int row = 1; row <= kRowCount; ++row) {
      SCOPED_TRACE(row);
      EXPECT_EQ(b.IsItemChecked(b.Row(row).check), row <= c.n);
      EXPECT_EQ(b.IsItemEnabled(b.Row(row).startEdit), row <= c.n);
      EXPECT_EQ(b.IsItemEnabled(b.Row(row).browse), row <= c.n);
    }
    EXPECT_EQ(b.GetItemText(ids::kDataEdit), "/exe/Data_Merge.bin");
  }
}

TEST_F(ProceduresTest, NoSelectionIsSavedAs255AndImportsAsTheDefaultGeometry) {
  Form a;
  a.SetBlockModeSelection(-1);
  const std::string path = Export(a);
  EXPECT_EQ(testing::ReadFile(path)[518], 255);
  Form b;
  b.SelectBlockMode(15);
  b.answers.push_back(path);
  ASSERT_TRUE(ImportPartFile(b));
  EXPECT_EQ(b.GetBlockModeSelection(), -1);
  EXPECT_EQ(b.geometry, (FlashGeometry{0x21000, 2112}));
}

TEST_F(ProceduresTest, MinimalAndMalformedFiles) {
  testing::WriteFile(dir / "six.part", {'P', 'A', 'R', 'T', 0, 0});
  Form six;
  six.answers.push_back(dir / "six.part");
  ASSERT_TRUE(ImportPartFile(six));
  EXPECT_EQ(six.GetItemText(ids::kTableEdit), "");
  EXPECT_EQ(six.GetItemText(ids::kDataEdit), "");
  EXPECT_EQ(six.GetBlockModeSelection(), 0);
  EXPECT_EQ(six.geometry.blockSize, 0x2100u);

  testing::WriteFile(dir / "parts.part", {'P', 'A', 'R', 'T', 'S', 0});
  Form bad;
  FillRows(bad, {1});
  const std::string before = bad.Snapshot();
  bad.answers.push_back(dir / "parts.part");
  EXPECT_FALSE(ImportPartFile(bad));
  EXPECT_EQ(bad.messages, (std::vector<Message>{{"文件错误,请选择正确的文件", MessageIcon::Warning}}));
  EXPECT_EQ(bad.Snapshot(), before);

  Form missing;
  missing.answers.push_back(dir / "missing.part");
  EXPECT_FALSE(ImportPartFile(missing));
  EXPECT_EQ(missing.messages, (std::vector<Message>{{"没有找到 一未命名文件。", MessageIcon::Error}}));

  {  // a file that another copy of the program is writing
    auto held = File::CreateWrite(dir / "held.part");
    ASSERT_TRUE(held.ok());
    Form busy;
    busy.answers.push_back(dir / "held.part");
    EXPECT_FALSE(ImportPartFile(busy));
    EXPECT_EQ(busy.messages,
              (std::vector<Message>{{"在存取 一未命名文件 时发生共享违例。", MessageIcon::Error}}));
  }

  Form cancelled;
  const std::string fresh = cancelled.Snapshot();
  EXPECT_FALSE(ImportPartFile(cancelled));
  EXPECT_FALSE(ExportPartFile(cancelled));
  EXPECT_EQ(cancelled.Snapshot(), fresh);
  EXPECT_TRUE(cancelled.messages.empty());
}

TEST_F(ProceduresTest, RefusedBlockTextsDuringImportShowTheirMessagesInOrder) {
  PartFileRecord r;
  r.rowCount = 2;
  r.blockModeIndex = 2;
  r.rows[0] = {"/a", "zz", "10", 1};
  r.rows[1] = {"/b", "11", "10001", 1};
  const auto bytes = r.Encode();
  testing::WriteFile(dir / "refused.part", Bytes(bytes.begin(), bytes.end()));
  Form f;
  f.answers.push_back(dir / "refused.part");
  ASSERT_TRUE(ImportPartFile(f));
  EXPECT_EQ(f.messages, (std::vector<Message>{kNotHex, kTooHuge}));
  EXPECT_EQ(f.GetItemText(f.Row(1).startEdit), "");
  EXPECT_EQ(f.set.Slot(1).startBlock, 0u);
  EXPECT_EQ(f.set.Slot(1).endBlock, 0x10u);
  EXPECT_EQ(f.set.Slot(2).startBlock, 0x11u);
  EXPECT_EQ(f.set.Slot(2).endBlock, 0u);
  EXPECT_EQ(f.set.Slot(2).imageBlocks, 1u);
  EXPECT_EQ(f.set.Slot(2).imagePath, "/b");
}

TEST_F(ProceduresTest, ImportUsesAtMostSixteenRowsAndWholeUnterminatedFields) {
  Bytes b(4872, 0);
  const std::string magic = "PART";
  std::copy(magic.begin(), magic.end(), b.begin());
  std::fill(b.begin() + 6, b.begin() + 262, 'T');  // no terminator in the field
  b[519] = 255;
  for (std::size_t i = 0; i < 16; ++i) {
    b[520 + 256 * i] = 'p';
    b[4616 + 6 * i] = '1';
    b[4712 + 6 * i] = '2';
  }
  testing::WriteFile(dir / "many.part", b);
  Form f;
  f.answers.push_back(dir / "many.part");
  ASSERT_TRUE(ImportPartFile(f));
  EXPECT_EQ(f.GetItemText(ids::kTableEdit), std::string(256, 'T'));
  for (int row = 1; row <= kRowCount; ++row) EXPECT_TRUE(f.IsItemChecked(f.Row(row).check));
  EXPECT_EQ(f.set.Slot(16).endBlock, 2u);
}

TEST_F(ProceduresTest, ExportStoresLongBlockTextsAsTheirShortestForm) {
  Form a;
  FillRows(a, {1});
  a.SetItemText(a.Row(1).startEdit, "0000000010zz");  // value 1: ninth character and on not read
  a.SetItemText(a.Row(1).endEdit, "000010000");
  const std::string path = Export(a);
  const auto record = PartFileRecord::Decode(testing::ReadFile(path));
  ASSERT_TRUE(record);
  EXPECT_EQ(record->rows[0].startText, "1");
  EXPECT_EQ(record->rows[0].endText, "10000");
  Form b;
  b.answers.push_back(path);
  ASSERT_TRUE(ImportPartFile(b));
  EXPECT_EQ(b.set.Slot(1).startBlock, 1u);
  EXPECT_EQ(b.set.Slot(1).endBlock, 0x10000u);
  EXPECT_TRUE(b.messages.empty());
}

TEST_F(ProceduresTest, ExportRefusesPathsTheFileCannotHold) {
  Form a;
  FillRows(a, {1, 2});
  a.SetItemText(a.Row(2).pathEdit, "/" + std::string(255, 'x'));
  a.answers.push_back(dir / "never.part");
  EXPECT_FALSE(ExportPartFile(a));
  EXPECT_EQ(a.messages.back().text, "FILE2 path is longer than 255 bytes.");
  EXPECT_TRUE(a.requests.size() == 2u) << "refused before the chooser opens";
  EXPECT_FALSE(std::filesystem::exists(dir / "never.part"));

  Form t;
  t.SetItemText(ids::kTableEdit, std::string(256, 't'));
  EXPECT_FALSE(ExportPartFile(t));
  EXPECT_EQ(t.messages.back().text, "Table File path is longer than 255 bytes.");
}

TEST_F(ProceduresTest, PathLimitsMeasureThePathAsTheFileStoresIt) {
  // 90 characters "固": 270 bytes of UTF-8, 180 of GBK.
  std::string path = "C:/";
  for (int i = 0; i < 90; ++i) path += "\xE5\x9B\xBA";
  const bool storedAsGbk = Utf8ToStoredText(path).size() == 3 + 180;
  Form a;
  a.SetItemText(ids::kTableEdit, path);
  a.answers.push_back(dir / "long.part");
  EXPECT_EQ(ExportPartFile(a), storedAsGbk) << "fits the field exactly when stored in GBK";
  if (!storedAsGbk) {
    EXPECT_EQ(a.messages.back().text, "Table File path is longer than 255 bytes.");
    return;
  }
  Form b;
  b.answers.push_back(dir / "long.part");
  ImportPartFile(b);
  EXPECT_EQ(b.GetItemText(ids::kTableEdit), path) << "and comes back whole";
}

TEST_F(ProceduresTest, APathThatWouldLoadAsAnotherIsNotSavedNorUsed) {
#ifdef _WIN32
  GTEST_SKIP() << "the test's non-UTF-8 paths cannot be spelled through std::filesystem on Windows";
#endif
  // "\xB0\xA1" is not UTF-8: a job's reading takes it as GBK, "啊", another file.
  const std::string gbk = "\xB0\xA1.bin";
  struct Case {
    const char* name;
    int edit;
    const char* message;
  } cases[] = {
      {"table", ids::kTableEdit, "Table File path would load back as a different path."},
      {"data", ids::kDataEdit, "Data File path would load back as a different path."},
      {"image", RowControlsFor(1).pathEdit, "FILE1 path would load back as a different path."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Form a;
    FillRows(a, {1});
    a.SetItemText(c.edit, dir / gbk);
    a.answers.push_back(dir / "never.part");
    EXPECT_FALSE(ExportPartFile(a));
    EXPECT_EQ(a.messages, (std::vector<Message>{{c.message, MessageIcon::Warning}}));
    EXPECT_EQ(a.requests.size(), 1u) << "refused before the chooser opens";
    EXPECT_FALSE(std::filesystem::exists(dir / "never.part"));
  }

  // A job that holds such bytes (saved on a Chinese Windows, or by an older build):
  // where file names are bytes, IMPORT shows each such path, then empties it.
  Bytes b(4872, 0);
  auto put = [&](std::size_t at, const std::string& text) { std::copy(text.begin(), text.end(), b.begin() + at); };
  put(0, "PART");
  put(6, gbk);
  put(262, "d.bin");
  b[519] = 1;
  put(520, gbk);
  put(4616, "0");
  put(4712, "1");
  testing::WriteFile(dir / "gbk.part", b);
  Form f;
  f.answers.push_back(dir / "gbk.part");
  ASSERT_TRUE(ImportPartFile(f));
  if (LegacyPathNamesSavedFile()) {  // Windows: the system reads those bytes the same way
    EXPECT_TRUE(f.messages.empty());
    EXPECT_EQ(f.GetItemText(ids::kTableEdit), StoredTextToUtf8(gbk));
    EXPECT_EQ(f.set.Slot(1).imagePath, StoredTextToUtf8(gbk));
    return;
  }
  EXPECT_EQ(f.messages,
            (std::vector<Message>{
                {"Table File path was saved in another code page and names a different file here.", MessageIcon::Warning},
                {"FILE1 path was saved in another code page and names a different file here.", MessageIcon::Warning}}));
  EXPECT_EQ(f.GetItemText(ids::kTableEdit), "");
  EXPECT_EQ(f.GetItemText(ids::kDataEdit), "d.bin");
  EXPECT_EQ(f.GetItemText(f.Row(1).pathEdit), "");
  EXPECT_EQ(f.set.Slot(1).imagePath, "");
  EXPECT_EQ(f.set.Slot(1).endBlock, 1u) << "the rest of the row is restored";
}

TEST_F(ProceduresTest, ExportToAFolderThatDoesNotExistNamesTheFile) {
  Form a;
  a.answers.push_back(dir / "no/such.part");
  EXPECT_FALSE(ExportPartFile(a));
  const std::string named = AbsolutePath(dir / "no/such.part");
#ifdef _WIN32  // Windows tells a missing folder from a missing file
  EXPECT_EQ(a.messages, (std::vector<Message>{{named + " 中包含无效的路径。", MessageIcon::Error}}));
#else
  EXPECT_EQ(a.messages, (std::vector<Message>{{"没有找到 " + named + "。", MessageIcon::Error}}));
#endif
}

}  // namespace
}  // namespace folvane
