// The pane's tools, driven as an operator drives them: real keys and clicks where the
// X server carries them, the file choosers scripted, every message box recorded.
#include <wx/button.h>
#include <wx/clipbrd.h>
#include <wx/gauge.h>
#include <wx/stopwatch.h>
#include <wx/textctrl.h>
#include <wx/textdlg.h>
#include <wx/uiaction.h>
#ifdef __WXGTK__
#include <gtk/gtk.h>
#endif

#include <zlib.h>

#include <filesystem>
#include <numeric>

#include "../test_support.hpp"
#include "dialog/procedures.hpp"
#include "gui_support.hpp"
#include "job/block_text.hpp"
#include "job/text_job.hpp"
#include "manifest/sha256.hpp"
#include "wx_text.hpp"

namespace folvane::testing {
namespace {

using ui::PaneAction;

// Block mode 2, the window's default: 64 pages of 2048 + 64 bytes.
constexpr std::size_t kBlock = 0x21000;

class Pane : public DialogTest {
 protected:
  TempDir dir;

  ui::JobPane* Tools() const { return dlg->Tools(); }
  wxButton* Action(PaneAction a) const { return Tools()->Action(a); }
  std::string Results() const { return ui::FromWx(Tools()->Results()->GetValue()); }
  bool Shows(const std::string& text) const { return Results().find(text) != std::string::npos; }

  /// Ticks `row` and gives it an image and a range, as typed.
  void Row(int row, const std::string& image, const std::string& start, const std::string& end) {
    const RowControls& c = RowControlsFor(row);
    if (!dlg->IsItemChecked(c.check)) Click(Ctrl(c.check));
    dlg->SetItemText(c.pathEdit, image);
    dlg->SetItemText(c.startEdit, start);
    dlg->SetItemText(c.endEdit, end);
  }
  /// Two rows of images, the outputs in the test's folder.
  void TwoRowJob() {
    WriteFile(dir / "boot.bin", Pattern(30000, 1));
    WriteFile(dir / "kernel.bin", Pattern(3 * kBlock + 5, 2));
    dlg->SetItemText(ids::kTableEdit, dir / "t.bin");
    dlg->SetItemText(ids::kDataEdit, dir / "d.bin");
    Row(1, dir / "boot.bin", "0", "1");
    Row(2, dir / "kernel.bin", "2", "7");
    dlg->UpdateMap();
  }
  /// Presses an action as an operator does: Alt and its letter on the X server; under
  /// Wine, whose windows real keys do not reach, a click.
  void Press(PaneAction a) {
#ifdef __WXGTK__
    const wxString label = Action(a)->GetLabel();
    const int amp = label.Find('&');
    ASSERT_NE(amp, wxNOT_FOUND);
    TypeInto(Ctrl(ids::kExit), "");  // the keys go to the window under the pointer
    wxUIActionSimulator sim;
    sim.Char(wxTolower(label[static_cast<std::size_t>(amp) + 1]), wxMOD_ALT);
    Pump(80);
#else
    Click(Action(a));
#endif
  }
  void WaitForVerify() {
    wxStopWatch sw;
    while (Tools()->Busy() && sw.Time() < 30000) Pump(20);
    ASSERT_FALSE(Tools()->Busy());
  }
  // Verifies the chip read back as `chip` and lets its result reach the pane.
  void VerifyChip(const Bytes& chip) {
    WriteFile(dir / "chip.bin", chip);
    answers = {dir / "chip.bin"};
    Press(PaneAction::kVerify);
    WaitForVerify();
    Pump(50);
  }
};

std::string Crc32Hex(const Bytes& b) {
  char text[16];
  std::snprintf(text, sizeof text, "%08lx", crc32(0, b.data(), static_cast<uInt>(b.size())));
  return text;
}

// What an operator copies: each output's size, byte sum, CRC-32 and SHA-256, taken by
// the merge and matching the files as they lie on disk.
TEST_F(Pane, ChecksumsAfterMergeAreThoseOfTheFilesWritten) {
  TwoRowJob();
  EXPECT_FALSE(Action(PaneAction::kCopy)->IsEnabled()) << "nothing to copy before a merge";
  Click(Ctrl(ids::kMerge));
  ASSERT_EQ(ui::FromWx(Ctrl(ids::kStatus)->GetLabel()), "Done!");
  for (const auto& [what, path] : {std::pair{"Data File", dir / "d.bin"}, {"Table File", dir / "t.bin"}}) {
    const Bytes bytes = ReadFile(path);
    const std::string line = std::string(what) + " " + path + ": " + std::to_string(bytes.size()) +
                             " bytes, byte sum " +
                             Hex(std::accumulate(bytes.begin(), bytes.end(), std::uint32_t{0})) + ", CRC-32 " +
                             Crc32Hex(bytes) + ", SHA-256 " + *manifest::Sha256Hex(bytes);
    EXPECT_TRUE(Shows(line)) << line << "\n---\n" << Results();
    EXPECT_NE(Tools()->ChecksumText().find(line), std::string::npos);
  }
  ASSERT_TRUE(Action(PaneAction::kCopy)->IsEnabled());
  Press(PaneAction::kCopy);
  ASSERT_TRUE(wxTheClipboard->Open());
  wxTextDataObject copied;
  EXPECT_TRUE(wxTheClipboard->GetData(copied));
  wxTheClipboard->Close();
  EXPECT_EQ(ui::FromWx(copied.GetText()), Tools()->ChecksumText());

  // The checksums are of the merged set-up only: a changed range takes them away.
  dlg->SetItemText(RowControlsFor(2).endEdit, "8");
  Pump(50);
  EXPECT_FALSE(Shows("SHA-256")) << Results();
  EXPECT_FALSE(Action(PaneAction::kCopy)->IsEnabled());
  dlg->SetItemText(RowControlsFor(2).endEdit, "7");
  Click(Ctrl(ids::kMerge));
  EXPECT_TRUE(Shows("SHA-256")) << Results();

  // A merge that fails shows no checksums, not the last ones.
  dlg->SetItemText(ids::kDataEdit, dir / "missing/d.bin");
  Click(Ctrl(ids::kMerge));
  EXPECT_FALSE(hook.shown.empty());
  EXPECT_FALSE(Shows("SHA-256")) << Results();
  EXPECT_FALSE(Action(PaneAction::kCopy)->IsEnabled());
}

// The chip: a list marks the map and names the rows that run out; a count gives the
// odds in check's words; both follow the set-up as it changes.
TEST_F(Pane, TheChipsMarginsFollowTheSetUp) {
  TwoRowJob();
  WriteText(dir / "bad.txt", "0x3\n0x5\n0x6\n");
  answers = {dir / "bad.txt"};
  Press(PaneAction::kBadBlocks);
  ASSERT_TRUE(hook.shown.empty()) << hook.shown[0].text;
  Pump(50);
  EXPECT_EQ(dlg->Map()->Layout().badBlocks, (std::vector<std::uint64_t>{3, 5, 6}));
  EXPECT_TRUE(Shows("3 bad blocks")) << Results();
  EXPECT_TRUE(Shows("Runs out of good blocks on this chip: FILE2.")) << Results();
  // Row 2 given two blocks more: it fits now.
  dlg->SetItemText(RowControlsFor(2).endEdit, "9");
  Pump(50);
  EXPECT_TRUE(Shows("Every taken row fits on this chip.")) << Results();

  hook.onShow = [](wxDialog* d) {
    if (auto* ask = dynamic_cast<wxTextEntryDialog*>(d)) ask->SetValue("8 of 0x400");
  };
  Press(PaneAction::kChipOdds);
  EXPECT_TRUE(Shows("overflows with 8 bad blocks:")) << Results();
  EXPECT_TRUE(Shows("Any row overflows on a chip of 0x400 blocks with 8 bad: ")) << Results();
  EXPECT_TRUE(Shows(" chips\n")) << "worded for operators:\n" << Results();
}

TEST_F(Pane, BadChipInputIsRefusedInTheCommandLinesWordsAndChangesNothing) {
  TwoRowJob();
  WriteText(dir / "bad.txt", "3\nseven\n");
  const std::string before = Results();
  struct Case {
    std::optional<std::string> list;  ///< a list's path, or the count typed
    std::string typed;
    std::string message;
  };
  const Case cases[] = {
      {dir / "bad.txt", "", dir / "bad.txt" + ", line 2: "},
      {dir / "none.txt", "", "none.txt"},
      {std::nullopt, "8 of 8", "--max-bad 0x8 is not below --chip-blocks 0x8: block 0 is always good"},
      {std::nullopt, "8 of", "is not N of B"},
      {std::nullopt, "1 of 4", "--chip-blocks 0x4 is too small: row 2's range ends at block 0x7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    hook.shown.clear();
    hook.onShow = [&](wxDialog* d) {
      if (auto* ask = dynamic_cast<wxTextEntryDialog*>(d)) ask->SetValue(ui::ToWx(c.typed));
    };
    if (c.list) {
      answers = {*c.list};
      Press(PaneAction::kBadBlocks);
    } else {
      Press(PaneAction::kChipOdds);
    }
    const auto messages = hook.Messages();
    if (c.message.find("too small") != std::string::npos) {
      // A count that fits no range is shown where the margins go, as check prints it.
      EXPECT_TRUE(Shows(c.message)) << Results();
      continue;
    }
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find(c.message), std::string::npos) << messages[0];
    EXPECT_EQ(Results(), before);
    EXPECT_TRUE(dlg->Map()->Layout().badBlocks.empty());
  }
}

TEST_F(Pane, TheReportIsTheCommandLinesPageAndNeverOverwritesAnInput) {
  TwoRowJob();
  Click(Ctrl(ids::kMerge));
  const Bytes data = ReadFile(dir / "d.bin");
  auto report = [&](const std::string& name) {
    answers = {dir / name};
    Press(PaneAction::kReport);
    EXPECT_TRUE(hook.shown.empty()) << hook.shown[0].text;
    const Bytes page = ReadFile(dir / name);
    return std::string(page.begin(), page.end());
  };
  const std::string html = report("report.html");
  EXPECT_NE(html.find("<title>Folvane flash report</title>"), std::string::npos);
  EXPECT_NE(html.find("Merged by Folvane"), std::string::npos);
  EXPECT_NE(html.find(*manifest::Sha256Hex(data)), std::string::npos) << "the data image's digest";
  EXPECT_NE(html.find("Job: set up in the window"), std::string::npos);

  // Without a merge the page says it is of the set-up; no edit leaves the job file's
  // name on a page of rows it does not hold.
  answers = {dir / "job.toml"};
  Press(PaneAction::kSaveJob);
  dlg->SetItemText(RowControlsFor(2).endEdit, "8");
  dlg->UpdateMap();
  const std::string setup = report("setup.html");
  EXPECT_NE(setup.find("Set up (neither checked nor written) by Folvane"), std::string::npos);
  EXPECT_NE(setup.find("Job: set up in the window"), std::string::npos);

  for (const std::string& input : {dir / "d.bin", dir / "kernel.bin"}) {
    hook.shown.clear();
    const Bytes kept = ReadFile(input);
    answers = {input};
    hook.reply = wxID_YES;  // yes, replace it: the report still refuses
    Press(PaneAction::kReport);
    hook.reply = wxID_OK;
    const auto messages = hook.Messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "Report File " + input + " is also an input or output of the check.");
    EXPECT_EQ(ReadFile(input), kept);
    // Nor does a saved job replace an image or an output.
    hook.shown.clear();
    answers = {input};
    hook.reply = wxID_YES;
    Press(PaneAction::kSaveJob);
    hook.reply = wxID_OK;
    ASSERT_FALSE(hook.Messages().empty());
    EXPECT_EQ(hook.Messages().back(), "Job File " + input + " is also an input or output of the job.");
    EXPECT_EQ(ReadFile(input), kept);
  }
}

// A programmed chip read back: matched, then with a flipped bit, then of the wrong
// size; the map marks the row that differs.
TEST_F(Pane, VerifyingADumpReportsEachRowAndMarksTheMap) {
  TwoRowJob();
  Click(Ctrl(ids::kMerge));
  Bytes chip = Padded(ReadFile(dir / "d.bin"), kBlock);
  chip.resize(10 * kBlock, 0xFF);
  WriteFile(dir / "chip.bin", chip);
  // A chip without bad blocks, listed: the images' own bytes where a mark would be
  // are no marks.
  WriteText(dir / "none.txt", "");
  answers = {dir / "none.txt", dir / "chip.bin"};
  Press(PaneAction::kBadBlocks);
  Press(PaneAction::kVerify);
  WaitForVerify();
  Pump(50);
  EXPECT_TRUE(Shows("Chip: 0xA (10) blocks; bad blocks from the list")) << Results();
  EXPECT_TRUE(Shows("row 1: blocks 0x0 to 0x1")) << Results();
  EXPECT_TRUE(Shows("The chip holds the job.")) << Results();
  EXPECT_TRUE(dlg->Map()->DifferingRows().empty());

  chip[2 * kBlock + 100] ^= 0x10;
  VerifyChip(chip);
  EXPECT_TRUE(Shows("first difference at block 0x2 (image block 0x0), byte " + Hex(2 * kBlock + 100))) << Results();
  EXPECT_TRUE(Shows("The chip does not hold the job.")) << Results();
  EXPECT_EQ(dlg->Map()->DifferingRows(), std::set<int>{2});

  chip.resize(chip.size() - 1);
  WriteFile(dir / "chip.bin", chip);
  answers = {dir / "chip.bin"};
  Press(PaneAction::kVerify);
  WaitForVerify();
  ASSERT_EQ(hook.Messages().size(), 1u);
  EXPECT_NE(hook.Messages()[0].find("is no dump of this job's chip: it is " + std::to_string(chip.size()) + " bytes"),
            std::string::npos)
      << hook.Messages()[0];
}

// A verify's lines and the map's red frames are of the rows it compared: an edit
// made after it, or while it ran, takes them away; a list of another chip is refused.
TEST_F(Pane, AVerifyIsOfTheSetUpItCompared) {
  TwoRowJob();
  Click(Ctrl(ids::kMerge));
  Bytes chip = Padded(ReadFile(dir / "d.bin"), kBlock);
  chip.resize(400 * kBlock, 0xFF);
  chip[2 * kBlock + 100] ^= 0x10;
  VerifyChip(chip);
  ASSERT_EQ(dlg->Map()->DifferingRows(), std::set<int>{2});
  dlg->SetItemText(RowControlsFor(2).endEdit, "8");
  dlg->UpdateMap();
  EXPECT_FALSE(Shows("does not hold")) << Results();
  EXPECT_TRUE(dlg->Map()->DifferingRows().empty());

  answers = {dir / "chip.bin"};
  Tools()->OnVerify();
  dlg->SetItemText(RowControlsFor(2).endEdit, "9");
  WaitForVerify();
  Pump(50);
  EXPECT_TRUE(Shows("The set-up changed while the dump was verified: verify again.")) << Results();
  EXPECT_FALSE(Shows("holds the job") || Shows("not hold the job")) << Results();
  EXPECT_TRUE(dlg->Map()->DifferingRows().empty());

  WriteText(dir / "other.txt", "0x3\n0x1f4\n");  // a chip of 500 blocks; the dump has 400
  answers = {dir / "other.txt", dir / "chip.bin"};
  Press(PaneAction::kBadBlocks);
  Press(PaneAction::kVerify);
  EXPECT_FALSE(Tools()->Busy());
  ASSERT_EQ(hook.Messages().size(), 1u);
  EXPECT_EQ(hook.Messages()[0], (dir / "other.txt") + ": block 0x1F4 is outside the chip, whose blocks are 0x0 to 0x18F");
}

TEST_F(Pane, ACancelledVerifyLeavesNothingBehind) {
  TwoRowJob();
  Click(Ctrl(ids::kMerge));
  Bytes chip = Padded(ReadFile(dir / "d.bin"), kBlock);
  chip.resize(400 * kBlock, 0xFF);  // many pieces: the cancel lands before the end
  WriteFile(dir / "chip.bin", chip);
  answers = {dir / "chip.bin"};
  // Straight after the start, before the window's loop runs: the cancel lands in the
  // dump's first pieces.
  Tools()->OnVerify();
  EXPECT_TRUE(Action(PaneAction::kCancel)->IsEnabled());
  // What would change the job under the comparison waits for it.
  for (PaneAction a : {PaneAction::kVerify, PaneAction::kOpenJob, PaneAction::kBadBlocks, PaneAction::kChipOdds}) {
    EXPECT_FALSE(Action(a)->IsEnabled());
  }
  Tools()->OnCancel();
  WaitForVerify();
  Pump(50);
  EXPECT_TRUE(Shows("Verify cancelled")) << Results();
  EXPECT_FALSE(Shows("holds the job")) << Results();
  EXPECT_TRUE(dlg->Map()->DifferingRows().empty());
  EXPECT_FALSE(Action(PaneAction::kCancel)->IsEnabled());
  EXPECT_TRUE(Action(PaneAction::kVerify)->IsEnabled());
  EXPECT_TRUE(hook.shown.empty());
}

// A text job fills the dialog as IMPORT would; what the dialog cannot show (names,
// ECC schemes) is kept, drawn in the map, and saved back.
TEST_F(Pane, TextJobsOpenAndSaveWithWhatTheDialogCannotShow) {
  WriteFile(dir / "boot.bin", Pattern(30000, 1));
  WriteFile(dir / "rootfs.bin", Pattern(70000, 2));
  const std::string text =
      "mode = 2\ntable = \"t.bin\"\ndata = \"d.bin\"\n\n"
      "[[row]]\nname = \"boot\"\nimage = \"boot.bin\"\nstart = \"0\"\nend = \"1\"\n\n"
      "[[row]]\nname = \"rootfs\"\nimage = \"rootfs.bin\"\nstart = \"2\"\nend = \"5\"\necc = \"linux-bch8/512\"\n";
  WriteText(dir / "job.toml", text);
  answers = {dir / "job.toml"};
  Press(PaneAction::kOpenJob);
  ASSERT_TRUE(hook.shown.empty()) << hook.shown[0].text;
  EXPECT_EQ(Text(RowControlsFor(1).pathEdit), dir / "boot.bin");
  EXPECT_EQ(Text(RowControlsFor(2).endEdit), "5");
  EXPECT_EQ(Text(ids::kDataEdit), dir / "d.bin");
  Pump(50);
  const FlashLayout& map = dlg->Map()->Layout();
  ASSERT_NE(map.Row(2), nullptr);
  EXPECT_EQ(map.Row(2)->name, "rootfs");
  EXPECT_EQ(map.Row(2)->ecc, "linux-bch8/512");

  answers = {dir / "saved.toml"};
  Press(PaneAction::kSaveJob);
  ASSERT_TRUE(hook.shown.empty()) << hook.shown[0].text;
  const Bytes saved = ReadFile(dir / "saved.toml");
  const auto original = ParseTextJob(text, dir.str());
  const auto again = ParseTextJob(std::string(saved.begin(), saved.end()), dir.str());
  ASSERT_TRUE(std::holds_alternative<Job>(again));
  Job expected = std::get<Job>(original);
  MeasureJobImages(expected);
  EXPECT_EQ(std::get<Job>(again), expected) << std::string(saved.begin(), saved.end());

  // A merge from the window lays the page data out as the command line does.
  Click(Ctrl(ids::kMerge));
  ASSERT_EQ(ui::FromWx(Ctrl(ids::kStatus)->GetLabel()), "Done!");
  const Bytes windowData = ReadFile(dir / "d.bin");
  ASSERT_LE(RunCli("merge '" + (dir / "job.toml") + "' --data '" + (dir / "c.bin") + "' --table '" + (dir / "ct.bin") + "'"), 1);
  EXPECT_TRUE(windowData == ReadFile(dir / "c.bin")) << "the window's merge is the command line's";

  // Rows ticked after a gap would be left out of a saved job: refused, nothing written.
  Row(4, dir / "boot.bin", "10", "11");
  hook.shown.clear();
  answers = {dir / "gap.toml"};
  Press(PaneAction::kSaveJob);
  ASSERT_EQ(hook.Messages().size(), 1u);
  EXPECT_EQ(hook.Messages()[0], "FILE4 is ticked after FILE3, which is not: a job holds the rows from FILE1 up to the first unticked one.");
  EXPECT_FALSE(std::filesystem::exists(FsPath(dir / "gap.toml")));
  hook.shown.clear();

  // A job that is not one changes nothing.
  WriteText(dir / "broken.toml", "mode = 2\n[[row]]\nimage = \"boot.bin\"\nstart = \"0\"\nend = \"1\"\nsize = 3\n");
  const std::string pathBefore = Text(RowControlsFor(1).pathEdit);
  answers = {dir / "broken.toml"};
  Press(PaneAction::kOpenJob);
  ASSERT_EQ(hook.Messages().size(), 1u);
  EXPECT_NE(hook.Messages()[0].find("line 6"), std::string::npos) << hook.Messages()[0];
  EXPECT_EQ(Text(RowControlsFor(1).pathEdit), pathBefore);
  EXPECT_TRUE(dlg->IsItemChecked(RowControlsFor(2).check));
}

TEST_F(Pane, EveryActionSaysWhatItDoes) {
  const std::vector<std::pair<PaneAction, std::string>> names = {
      {PaneAction::kBadBlocks, "Bad blocks…"}, {PaneAction::kChipOdds, "Chip odds…"},
      {PaneAction::kReport, "Report…"},        {PaneAction::kCopy, "Copy checksums"},
      {PaneAction::kVerify, "Verify dump…"},   {PaneAction::kCancel, "Cancel verify"},
      {PaneAction::kOpenJob, "Open job…"},     {PaneAction::kSaveJob, "Save job…"},
  };
  std::set<wxChar> mnemonics;
  for (const auto& [action, name] : names) {
    SCOPED_TRACE(name);
    wxButton* b = Action(action);
    EXPECT_EQ(ui::FromWx(b->GetLabelText()), name);
    const wxString label = b->GetLabel();
    const int amp = label.Find('&');
    ASSERT_NE(amp, wxNOT_FOUND) << "a mnemonic";
    EXPECT_TRUE(mnemonics.insert(wxToupper(label[static_cast<std::size_t>(amp + 1)])).second) << "used once";
    EXPECT_FALSE(b->GetToolTipText().empty());
#ifdef __WXGTK__
    AtkObject* accessible = gtk_widget_get_accessible(b->GetHandle());
    EXPECT_EQ(std::string(atk_object_get_name(accessible)), name);
    EXPECT_EQ(atk_object_get_role(accessible), ATK_ROLE_PUSH_BUTTON);
#endif
  }
  EXPECT_FALSE(Tools()->Results()->IsEditable()) << "selectable text, not an input";
}

#ifdef __WXGTK__
// The dialog's Tab order never enters the pane; F6 and Ctrl+Tab go there and back,
// Tab goes round the pane's actions, and a mnemonic presses its action.
TEST_F(Pane, F6ReachesThePaneAndTabStaysInIt) {
  TypeInto(Ctrl(ids::kExit), "");
  wxUIActionSimulator sim;
  auto key = [&](int code, int modifiers = wxMOD_NONE) {
    sim.Char(code, modifiers);
    Pump(60);
  };
  // The dialog's own Tab order, from Exit round to the first control: not the pane.
  for (int i = 0; i < 200 && !Tools()->IsDescendant(wxWindow::FindFocus()); ++i) {
    key(WXK_TAB);
    if (wxWindow::FindFocus() == Ctrl(ids::kExit)) break;
  }
  EXPECT_EQ(wxWindow::FindFocus(), Ctrl(ids::kExit)) << "Tab went round the dialog without entering the pane";

  key(WXK_F6);
  EXPECT_EQ(wxWindow::FindFocus(), Action(PaneAction::kBadBlocks));
  key(WXK_TAB);
  EXPECT_EQ(wxWindow::FindFocus(), Action(PaneAction::kChipOdds));
  key(WXK_TAB);
  EXPECT_EQ(wxWindow::FindFocus(), Action(PaneAction::kReport));
  key(WXK_TAB);
  EXPECT_EQ(wxWindow::FindFocus(), Action(PaneAction::kVerify)) << "Copy is off before a merge";
  key(WXK_TAB, wxMOD_SHIFT);
  EXPECT_EQ(wxWindow::FindFocus(), Action(PaneAction::kReport));
  key(WXK_F6);
  EXPECT_EQ(wxWindow::FindFocus(), Ctrl(ids::kMerge));
  key(WXK_TAB, wxMOD_CONTROL);
  EXPECT_EQ(wxWindow::FindFocus(), Action(PaneAction::kBadBlocks));
  key(WXK_TAB, wxMOD_CONTROL);
  EXPECT_EQ(wxWindow::FindFocus(), Ctrl(ids::kMerge));

  key('o', wxMOD_ALT);
  ASSERT_EQ(requests.size(), 1u) << "Alt+O opens a text job";
  EXPECT_EQ(requests[0].filter, "Text job(*.toml)|*.toml|File(*.*)|*.*||");
  EXPECT_EQ(ui::FromWx(Ctrl(ids::kStatus)->GetLabel()), "IDLE");
}
#endif

}  // namespace
}  // namespace folvane::testing
