#ifndef _WIN32
#include <fnmatch.h>
#endif
#include <wx/arrstr.h>
#ifndef _WIN32
#include <sys/wait.h>
#endif
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/textctrl.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "../test_support.hpp"
#include "job/block_text.hpp"
#include "gui_support.hpp"
#include "dialog/procedures.hpp"
#include "wx_text.hpp"

namespace folvane::testing {
namespace {

const std::string kNotHex(text::kErrorInputNum);
const std::string kTooHuge(text::kTooHugeNum);
using Texts = std::vector<std::string>;

class Rows : public DialogTest {
 protected:
  TempDir dir;

  wxTextCtrl* EditCtrl(int id) const { return wxStaticCast(Ctrl(id), wxTextCtrl); }
  const RowControls& Row(int row) const { return RowControlsFor(row); }

  /// Everything the window shows and the slots hold.
  static std::string Snapshot(CMergeDlg* d) {
    std::ostringstream s;
    s << d->GetItemText(ids::kTableEdit) << '|' << d->GetItemText(ids::kDataEdit) << '|'
      << d->GetBlockModeSelection() << '|' << d->Geometry().blockSize << '\n';
    for (int row = 1; row <= kRowCount; ++row) {
      const RowControls& c = RowControlsFor(row);
      const PartitionSlot& sl = d->Job().Slot(row);
      s << d->IsItemChecked(c.check);
      for (int id : c.Inputs()) s << d->FindWindow(id)->IsEnabled();
      s << ' ' << d->GetItemText(c.pathEdit) << ' ' << d->GetItemText(c.startEdit) << ' '
        << d->GetItemText(c.endEdit) << ' ' << sl.imagePath << ' ' << sl.startBlock << ' ' << sl.endBlock << ' '
        << sl.imageBlocks << '\n';
    }
    return s.str();
  }

  /// Enters a job by hand: block mode, rows clicked on, images browsed, blocks typed.
  void EnterJob() {
    auto* list = wxStaticCast(Ctrl(ids::kBlockModeList), wxChoice);
    list->SetSelection(0);
    wxCommandEvent chosen(wxEVT_CHOICE, ids::kBlockModeList);
    chosen.SetEventObject(list);
    list->ProcessWindowEvent(chosen);
    WriteFile(dir / "boot.bin", Pattern(30000, 1));
    WriteFile(dir / "kernel.bin", Pattern(100000, 2));
    const char* rows[][3] = {{"boot.bin", "0", "4"}, {"kernel.bin", "10", "2F"}};
    for (int i = 0; i < 2; ++i) {
      const RowControls& c = Row(i + 1);
      Click(Ctrl(c.check));
      answers.push_back(dir / rows[i][0]);
      Click(Ctrl(c.browse));
      TypeInto(Ctrl(c.startEdit), rows[i][1]);
      TypeInto(Ctrl(c.endEdit), rows[i][2]);
    }
    answers.push_back(dir / "t.bin");
    Click(Ctrl(ids::kTableBrowse));
    answers.push_back(dir / "d.bin");
    Click(Ctrl(ids::kDataBrowse));
  }
};

TEST_F(Rows, TypingIsValidatedKeyByKey) {
  SKIP_UNDER_WINE("Backspace is handled by the edit itself and needs real keys");
  const RowControls& c = Row(1);
  Click(Ctrl(c.check));
  ASSERT_TRUE(Ctrl(c.startEdit)->IsEnabled());
  Texts shownWith;
  hook.onShow = [&](wxDialog*) { shownWith.push_back(Text(c.startEdit)); };
  TypeInto(Ctrl(c.startEdit), "0x10");
  EXPECT_EQ(hook.Messages(), Texts{kNotHex});
  EXPECT_EQ(shownWith, Texts{"0x"}) << "the message comes while the refused text is visible";
  EXPECT_EQ(Text(c.startEdit), "10") << "the edit was emptied and typing went on";
  EXPECT_EQ(dlg->Job().Slot(1).startBlock, 0x10u);

  // Deleting every character stores 0 and says nothing.
  EditCtrl(c.startEdit)->SelectAll();
  TypeInto(Ctrl(c.startEdit), "\b");
  EXPECT_EQ(Text(c.startEdit), "");
  EXPECT_EQ(dlg->Job().Slot(1).startBlock, 0u);
  EXPECT_EQ(hook.Messages().size(), 1u);
}

TEST_F(Rows, BlockTextsAreJudgedByTheirFirstNineCharacters) {
  struct Case {
    const char* text;
    std::uint32_t stored;
    const char* message;  // nullptr: accepted
  } cases[] = {
      {"10000", 0x10000, nullptr},    {"10001", 0, "too huge"},         {"000010000", 0x10000, nullptr},
      {"100000000", 0, "too huge"},   {"0000000010", 1, nullptr},       {"FFFFFFFFF", 0, "too huge"},
      {" 1", 0, "not hex"},           {"1 ", 0, "not hex"},             {"fF", 255, nullptr},
  };
  const RowControls& c = Row(7);
  Click(Ctrl(c.check));
  for (const auto& k : cases) {
    SCOPED_TRACE(k.text);
    hook.shown.clear();
    EditCtrl(c.endEdit)->SetValue(wxString::FromUTF8(k.text));
    Pump(20);
    EXPECT_EQ(dlg->Job().Slot(7).endBlock, k.stored);
    if (k.message) {
      EXPECT_EQ(hook.Messages(), Texts{std::string(k.message) == "not hex" ? kNotHex : kTooHuge});
      EXPECT_EQ(Text(c.endEdit), "");
    } else {
      EXPECT_TRUE(hook.shown.empty());
      EXPECT_EQ(Text(c.endEdit), k.text);
    }
  }
}

TEST_F(Rows, SwitchingARowOffAndOnKeepsItsValues) {
  const RowControls& c = Row(3);
  Click(Ctrl(c.check));
  TypeInto(Ctrl(c.startEdit), "12");
  EditCtrl(c.pathEdit)->SetValue("typed");
  const std::string before = Snapshot(dlg);
  Click(Ctrl(c.check));
  for (int id : c.Inputs()) EXPECT_FALSE(Ctrl(id)->IsEnabled());
  Click(Ctrl(c.check));
  EXPECT_EQ(Snapshot(dlg), before);
  EXPECT_EQ(dlg->Job().Slot(3).imageBlocks, kUnset) << "switched on without a file";
}

TEST_F(Rows, BrowseMeasuresOrRefusesTheImage) {
  WriteFile(dir / "one", Bytes(1, 1));
  WriteFile(dir / "block", Bytes(0x21000, 1));
  WriteFile(dir / "block+1", Bytes(0x21001, 1));
  WriteFile(dir / "empty", {});
  struct Case {
    const char* name;
    std::uint32_t blocks;
    const char* message;
  } cases[] = {
      {"one", 1, nullptr},   {"block", 1, nullptr},         {"block+1", 2, nullptr},
      {"empty", 2, "Empty File."}, {"missing", 2, "Image File open error."},
  };
  const RowControls& c = Row(2);
  Click(Ctrl(c.check));
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    hook.shown.clear();
    answers.push_back(dir / k.name);
    Click(Ctrl(c.browse));
    EXPECT_EQ(dlg->Job().Slot(2).imageBlocks, k.blocks) << "a refused file leaves the length as it was";
    EXPECT_EQ(dlg->Job().Slot(2).imagePath, dir / k.name);
    EXPECT_EQ(Text(c.pathEdit), k.message ? "" : dir / k.name);
    EXPECT_EQ(hook.Messages(), k.message ? Texts{k.message} : Texts{});
  }
  EXPECT_TRUE(File::CreateWrite(dir / "empty").ok()) << "the empty image is not held open";
  EXPECT_EQ(requests.back().filter, "File(*.*)|*.*||");

  Click(Ctrl(c.browse));  // cancelled: nothing changes
  EXPECT_EQ(dlg->Job().Slot(2).imagePath, dir / "missing");
}

TEST_F(Rows, OutputBrowseTakesNewNamesAndRefusesPathsTooLong) {
  answers.push_back(dir / "new-table.bin");
  Click(Ctrl(ids::kTableBrowse));
  EXPECT_EQ(Text(ids::kTableEdit), dir / "new-table.bin");
  const std::string before = Text(ids::kDataEdit);
  answers.push_back("/" + std::string(300, 'x'));
  Click(Ctrl(ids::kDataBrowse));
  EXPECT_EQ(hook.Messages(), Texts{"The chosen path is longer than 255 bytes."});
  EXPECT_EQ(Text(ids::kDataEdit), before) << "a refused path leaves the edit as it was";
}

TEST_F(Rows, ImportRefusesAStoredBlockTextWithItsMessage) {
  PartFileRecord r;
  r.tablePath = dir / "t.bin";
  r.dataPath = dir / "d.bin";
  r.blockModeIndex = 4;
  r.rowCount = 1;
  r.rows[0] = {dir / "img", "g1", "20", 3};
  const auto bytes = r.Encode();
  WriteFile(dir / "job.part", Bytes(bytes.begin(), bytes.end()));
  Texts shownWith;
  hook.onShow = [&](wxDialog*) { shownWith.push_back(Text(Row(1).startEdit)); };
  answers.push_back(dir / "job.part");
  Click(Ctrl(ids::kImport));
  EXPECT_EQ(hook.Messages(), Texts{kNotHex});
  EXPECT_EQ(shownWith, Texts{"g1"});
  EXPECT_EQ(Text(Row(1).startEdit), "");
  EXPECT_EQ(dlg->Job().Slot(1).startBlock, 0u);
  EXPECT_EQ(dlg->Job().Slot(1).endBlock, 0x20u);
  EXPECT_EQ(dlg->Job().Slot(1).imageBlocks, 3u);
  EXPECT_EQ(dlg->Geometry(), LookupBlockMode(4));
  EXPECT_TRUE(wxStaticCast(Ctrl(Row(1).check), wxCheckBox)->GetValue());
}

TEST_F(Rows, ExportThenImportRestoresTheWindow) {
  EnterJob();
  ASSERT_TRUE(hook.shown.empty()) << hook.Messages().front();
  answers.push_back(dir / "job.part");
  Click(Ctrl(ids::kExport));
  ASSERT_EQ(requests.back().kind, ChooserKind::Save);
  EXPECT_EQ(requests.back().defaultExtension, "part");

  auto* other = new CMergeDlg(nullptr);
  other->SetFileChooser([&](const FileChooserRequest&) { return std::optional<std::string>(dir / "job.part"); });
  other->OnImport();
  EXPECT_EQ(Snapshot(other), Snapshot(dlg));
  other->Destroy();
}

#ifdef __WXGTK__
// GTK matches a filter's patterns the way fnmatch does: "*.*" would hide "boot".
TEST_F(Rows, EveryChooserListsFilesWithoutADot) {
  Click(Ctrl(Row(1).check));
  for (int button : {Row(1).browse, ids::kTableBrowse, ids::kDataBrowse, ids::kImport, ids::kExport}) {
    Click(Ctrl(button));
  }
  ASSERT_EQ(requests.size(), 5u);
  for (const ui::ChooserSetup& r : requests) {
    SCOPED_TRACE(ui::FromWx(r.wildcard));
    const wxArrayString parts = wxSplit(r.wildcard, '|', '\0');
    ASSERT_EQ(parts.size() % 2, 0u);
    EXPECT_EQ(parts[parts.size() - 2], "File(*.*)");
    const std::string every = ui::FromWx(parts.back());
    for (const char* name : {"boot", "rootfs_ubi", "kernel.bin"}) EXPECT_EQ(fnmatch(every.c_str(), name, 0), 0) << name;
    EXPECT_FALSE(r.title.empty());
    EXPECT_FALSE(r.title.EndsWith("...")) << "a title, not a menu entry";
  }
  EXPECT_NE(requests[4].title, requests[3].title) << "the save form has its own title";
  EXPECT_NE(fnmatch(ui::FromWx(wxSplit(requests[3].wildcard, '|', '\0')[1]).c_str(), "boot", 0), 0)
      << "\"Part File(*.part)\" keeps its pattern";
}
#else
// Windows' common dialog takes the filters as written, and asks itself before a
// file is replaced: the window does not ask a second time.
TEST_F(Rows, ChoosersKeepTheFiltersAndTheSaveFormAsksToReplace) {
  Click(Ctrl(Row(1).check));
  for (int button : {Row(1).browse, ids::kImport, ids::kExport}) Click(Ctrl(button));
  ASSERT_EQ(requests.size(), 3u);
  for (const ui::ChooserSetup& r : requests) {
    const wxArrayString parts = wxSplit(r.wildcard, '|', '\0');
    ASSERT_GE(parts.size(), 2u);
    EXPECT_EQ(parts[parts.size() - 2], "File(*.*)");
    EXPECT_EQ(parts.back(), "*.*");
  }
  EXPECT_FALSE(requests[1].style & wxFD_OVERWRITE_PROMPT);
  EXPECT_TRUE(requests[2].style & wxFD_OVERWRITE_PROMPT);

  // The chooser asked about the name it returned; when the default extension makes
  // another name of it, the window asks about that file itself.
  WriteText(dir / "job.part", "old");
  hook.reply = wxID_NO;
  answers.push_back(dir / "job");
  Click(Ctrl(ids::kExport));
  ASSERT_EQ(hook.shown.size(), 1u);
  EXPECT_NE(hook.shown[0].text.find(dir / "job.part"), std::string::npos) << hook.shown[0].text;
  EXPECT_EQ(ReadFile(dir / "job.part"), (Bytes{'o', 'l', 'd'}));
}
#endif

TEST_F(Rows, ImportOpensANameWithoutExtensionWithTheDefaultOne) {
  EnterJob();
  answers.push_back(dir / "job.part");
  Click(Ctrl(ids::kExport));
  const std::string saved = Snapshot(dlg);
  dlg->SetItemText(ids::kTableEdit, dir / "other.bin");
  answers.push_back(dir / "job");  // no such file: job.part is meant
  Click(Ctrl(ids::kImport));
  EXPECT_EQ(Snapshot(dlg), saved);
  EXPECT_TRUE(hook.shown.empty());

  WriteText(dir / "job", "not a job");  // a name that exists is opened as it stands
  answers.push_back(dir / "job");
  Click(Ctrl(ids::kImport));
  EXPECT_EQ(hook.Messages(), Texts{std::string(text::kBadPartFile)});
}

// Windows' chooser asks itself (see ChoosersKeepTheFiltersAndTheSaveFormAsksToReplace).
#ifndef __WXMSW__
TEST_F(Rows, ExportAsksOnceAboutTheFileItWrites) {
  WriteText(dir / "job", "typed");
  answers.push_back(dir / "job");
  Click(Ctrl(ids::kExport));
  EXPECT_TRUE(hook.shown.empty()) << "job.part is new: nothing to replace";
  ASSERT_EQ(ReadFile(dir / "job.part").size(), 4872u);

  auto holds = [&](const std::string& text) {
    const Bytes b = ReadFile(dir / "job.part");
    return std::string(b.begin(), b.end()).find(text) != std::string::npos;
  };
  hook.reply = wxID_YES;
  dlg->SetItemText(ids::kTableEdit, "replaced.bin");
  answers.push_back(dir / "job");
  Click(Ctrl(ids::kExport));
  ASSERT_EQ(hook.shown.size(), 1u);
  EXPECT_NE(hook.shown[0].text.find(dir / "job.part"), std::string::npos) << hook.shown[0].text;
  EXPECT_TRUE(holds("replaced.bin"));
  EXPECT_EQ(ReadFile(dir / "job"), (Bytes{'t', 'y', 'p', 'e', 'd'}));

  // No goes back to the chooser; cancelling it there writes nothing.
  hook.reply = wxID_NO;
  dlg->SetItemText(ids::kTableEdit, "kept.bin");
  answers.push_back(dir / "job");
  Click(Ctrl(ids::kExport));
  EXPECT_EQ(hook.shown.size(), 2u);
  EXPECT_EQ(requests.size(), 4u);
  EXPECT_TRUE(holds("replaced.bin"));
}
#endif

TEST_F(Rows, AJobMergedInTheWindowEqualsTheCommandLineMerge) {
  EnterJob();
  Click(Ctrl(ids::kMerge));
  ASSERT_EQ(ui::FromWx(Ctrl(ids::kStatus)->GetLabel()), "Done!");
  EXPECT_TRUE(hook.shown.empty());
  answers.push_back(dir / "job.part");
  Click(Ctrl(ids::kExport));
  ASSERT_EQ(RunCli("merge '" + dir / "job.part" + "' --table '" + dir / "t2.bin" + "' --data '" + dir / "d2.bin" + "'"),
            0);
  EXPECT_EQ(ReadFile(dir / "d.bin"), ReadFile(dir / "d2.bin"));
  EXPECT_EQ(ReadFile(dir / "t.bin"), ReadFile(dir / "t2.bin"));
  EXPECT_FALSE(ReadFile(dir / "d.bin").empty());

  // And the other way round: a job saved by the command-line tool, merged in the window.
  WriteFile(dir / "cfg.bin", Pattern(5, 3));
  ASSERT_EQ(RunCli("new '" + dir / "cli.part" + "' --mode 15 --table '" + dir / "t3.bin" + "' --data '" + dir / "d3.bin" +
                "' --row '" + dir / "cfg.bin" + "':2:2 --row '" + dir / "boot.bin" + "':3:5"),
            0);
  ASSERT_EQ(RunCli("merge '" + dir / "cli.part" + "' --table '" + dir / "t4.bin" + "' --data '" + dir / "d4.bin" + "'"),
            0);
  answers.push_back(dir / "cli.part");
  Click(Ctrl(ids::kImport));
  Click(Ctrl(ids::kMerge));
  EXPECT_EQ(ReadFile(dir / "d3.bin"), ReadFile(dir / "d4.bin"));
  EXPECT_EQ(ReadFile(dir / "t3.bin"), ReadFile(dir / "t4.bin"));
  EXPECT_EQ(ReadFile(dir / "d3.bin").size(), 4u * 0x228000);
}

}  // namespace
}  // namespace folvane::testing
