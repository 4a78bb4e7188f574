#include <wx/artprov.h>
#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/fontenum.h>
#include <wx/choice.h>
#include <wx/gauge.h>
#include <wx/statbmp.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#ifdef __WXMSW__
#include <wx/msw/wrapwin.h>
#endif
#ifdef __WXGTK__
#include <gtk/gtk.h>
#endif

#include "../test_support.hpp"
#include "about_dialog.hpp"
#include "io/exe_path.hpp"
#include "gui_support.hpp"
#include "layout.hpp"
#include "version.hpp"
#include "wx_text.hpp"

namespace folvane::testing {
namespace {

using ui::ControlKind;
using ui::ControlSpec;

bool IsKind(wxWindow* w, ControlKind kind) {
  switch (kind) {
    case ControlKind::DefaultButton:
    case ControlKind::PushButton: return dynamic_cast<wxButton*>(w) != nullptr;
    case ControlKind::CheckBox: return dynamic_cast<wxCheckBox*>(w) != nullptr;
    case ControlKind::Edit: return dynamic_cast<wxTextCtrl*>(w) != nullptr;
    case ControlKind::Label:
    case ControlKind::CentredLabel: return dynamic_cast<wxStaticText*>(w) != nullptr;
    case ControlKind::GroupBox: return dynamic_cast<wxStaticBox*>(w) != nullptr;
    case ControlKind::DropList: return dynamic_cast<wxChoice*>(w) != nullptr;
    case ControlKind::Progress: return dynamic_cast<wxGauge*>(w) != nullptr;
    case ControlKind::Icon: return false;
  }
  return false;
}

using MainWindow = DialogTest;

TEST_F(MainWindow, FreshStartMatchesTheTemplate) {
  const auto& layout = ui::MainDialogTemplate();
  ASSERT_EQ(layout.size(), 129u);
  const wxWindowList& children = dlg->GetChildren();
  ASSERT_GE(children.size(), 129u);
  std::size_t i = 0;
  for (wxWindow* w : children) {
    if (i == layout.size()) break;
    const ControlSpec& c = layout[i++];
    SCOPED_TRACE(c.text + " #" + std::to_string(i) + " id " + std::to_string(c.id));
    EXPECT_TRUE(IsKind(w, c.kind)) << "creation (Tab) order";
    if (c.id != ui::kNoId) {
      EXPECT_EQ(w->GetId(), c.id);
    }
    if (c.kind != ControlKind::Edit && c.kind != ControlKind::DropList && c.kind != ControlKind::Progress) {
      EXPECT_EQ(ui::FromWx(w->GetLabel()), c.text);
    }
    EXPECT_EQ(w->IsShown(), (c.flags & ui::kHidden) == 0);
    EXPECT_EQ(w->IsEnabled(), (c.flags & ui::kDisabled) == 0);
    EXPECT_EQ(w->GetPosition(), dlg->ConvertDialogToPixels(wxPoint(c.x, c.y)));
  }
  EXPECT_EQ(ui::FromWx(dlg->GetTitle()), std::string("Folvane V") + folvane::kShortVersion);
  // The template's area, and the pane under it: the flash map's strip and the tools.
  EXPECT_EQ(dlg->GetClientSize(),
            dlg->ConvertDialogToPixels(wxSize(460, 407)) + wxSize(0, ui::kMapHeight + ui::JobPane::Height(dlg)));
  EXPECT_FALSE(dlg->HasFlag(wxMAXIMIZE_BOX));
  EXPECT_TRUE(dlg->HasFlag(wxMINIMIZE_BOX));

  auto* list = wxStaticCast(Ctrl(ids::kBlockModeList), wxChoice);
  EXPECT_EQ(list->GetCount(), 16u);
  EXPECT_EQ(ui::FromWx(list->GetStringSelection()), "(2048+64)B*64");
  EXPECT_EQ(dlg->Geometry(), (FlashGeometry{0x21000, 2112}));
  for (const PartitionSlot& s : dlg->Job().slots) EXPECT_EQ(s, PartitionSlot{});
  EXPECT_EQ(ui::FromWx(Ctrl(ids::kStatus)->GetLabel()), "IDLE");
  EXPECT_EQ(wxStaticCast(Ctrl(ids::kProgress), wxGauge)->GetValue(), 0);
  EXPECT_EQ(wxWindow::FindFocus(), Ctrl(ids::kMerge));
  EXPECT_EQ(wxStaticCast(Ctrl(ids::kRemarkEdit), wxTextCtrl)->GetValue(), "");
}

TEST_F(MainWindow, DefaultPathsStandBesideTheExecutable) {
  const std::string folder = ExecutableFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(Text(ids::kDataEdit), folder + "Data_Merge.bin");
  EXPECT_EQ(Text(ids::kTableEdit), folder + "Partition_Table.bin");
}

TEST_F(MainWindow, EnterInAnEditRunsMergeAndTheWindowStaysOpen) {
  SKIP_UNDER_WINE("Enter is handled by the edit itself and needs real keys");
  TempDir dir;
  dlg->SetItemText(ids::kTableEdit, dir / "t.bin");
  dlg->SetItemText(ids::kDataEdit, dir / "d.bin");
  TypeInto(Ctrl(ids::kTableEdit), "\r");
  EXPECT_EQ(ui::FromWx(Ctrl(ids::kStatus)->GetLabel()), "Done!");
  EXPECT_EQ(ReadFile(dir / "t.bin"), Fill(512));
  EXPECT_TRUE(dlg->IsShown());
  EXPECT_TRUE(hook.shown.empty());
}

TEST_F(MainWindow, EnterOnAFocusedButtonPressesThatButton) {
  SKIP_UNDER_WINE("Enter is handled by the button itself and needs real keys");
  TypeInto(Ctrl(ids::kImport), "\r");
  ASSERT_EQ(requests.size(), 1u) << "IMPORT asked for a file";
  EXPECT_EQ(requests[0].filter, "Part File(*.part)|*.part|File(*.*)|*.*||");
  EXPECT_EQ(ui::FromWx(Ctrl(ids::kStatus)->GetLabel()), "IDLE") << "Merge did not run";
}

TEST_F(MainWindow, BlockModeChosenByTheUserSetsTheGeometry) {
  auto* list = wxStaticCast(Ctrl(ids::kBlockModeList), wxChoice);
  for (int index : {4, 3, 15, 0}) {
    list->SetSelection(index);
    wxCommandEvent chosen(wxEVT_CHOICE, ids::kBlockModeList);
    chosen.SetEventObject(list);
    chosen.SetInt(index);
    list->ProcessWindowEvent(chosen);
    EXPECT_EQ(dlg->Geometry(), LookupBlockMode(index));
  }
  dlg->SetBlockModeSelection(7);  // set by the program: no event
  EXPECT_EQ(dlg->Geometry(), LookupBlockMode(0));
}

bool SameImage(const wxImage& a, const wxImage& b) {
  return a.IsOk() && b.IsOk() && a.GetSize() == b.GetSize() &&
         std::equal(a.GetData(), a.GetData() + 3 * a.GetWidth() * a.GetHeight(), b.GetData());
}

TEST_F(MainWindow, MessageBoxesCarryTheProgramNameAndTheirIcon) {
  SKIP_UNDER_WINE("the full-disk message needs /dev/full");
  TempDir dir;
#ifdef __WXGTK__
  // What each box draws and tells a screen reader, while it is up (Windows' own
  // boxes are not made of wx controls).
  struct Drawn {
    wxImage icon;
    AtkRole role = ATK_ROLE_INVALID;
    std::vector<int> buttons;
    bool okIsDefault = false;
  };
  std::vector<Drawn> drawn;
  hook.onShow = [&](wxDialog* box) {
    Drawn d;
    for (wxWindow* w : box->GetChildren()) {
      if (auto* icon = dynamic_cast<wxStaticBitmap*>(w)) d.icon = icon->GetBitmap().ConvertToImage();
      if (auto* button = dynamic_cast<wxButton*>(w)) d.buttons.push_back(button->GetId());
    }
    d.okIsDefault = box->GetDefaultItem() && box->GetDefaultItem()->GetId() == wxID_OK;
    d.role = atk_object_get_role(gtk_widget_get_accessible(box->GetHandle()));
    drawn.push_back(d);
  };
#endif
  Click(Ctrl(RowControlsFor(1).check));
  dlg->SetItemText(RowControlsFor(1).startEdit, "x");
  dlg->SetItemText(ids::kDataEdit, "/dev/full");
  dlg->SetItemText(ids::kTableEdit, dir / "t.bin");
  WriteText(dir / "img", "data");
  dlg->SetItemText(RowControlsFor(1).pathEdit, dir / "img");
  dlg->SetItemText(RowControlsFor(1).endEdit, "1");
  dlg->OnMerge();
  ASSERT_EQ(hook.shown.size(), 2u);
  EXPECT_EQ(hook.shown[0].text, "     Error Input Num!\r\nPlease input 16-ary numerical!");
  EXPECT_EQ(hook.shown[0].caption, ExecutableStem());
  EXPECT_TRUE(hook.shown[0].style & wxICON_WARNING);
  EXPECT_TRUE(hook.shown[0].style & wxOK);
  EXPECT_EQ(hook.shown[1].text, "在存取 /dev/full 时磁盘已满。");
  EXPECT_TRUE(hook.shown[1].style & wxICON_ERROR);
  EXPECT_EQ(ui::FromWx(Ctrl(ids::kStatus)->GetLabel()), "FILE1 MER...") << "kept after the failure";

#ifdef __WXGTK__
  ASSERT_EQ(drawn.size(), 2u);
  EXPECT_TRUE(SameImage(drawn[0].icon, wxArtProvider::GetMessageBoxIcon(wxICON_WARNING).ConvertToImage()));
  EXPECT_TRUE(SameImage(drawn[1].icon, wxArtProvider::GetMessageBoxIcon(wxICON_ERROR).ConvertToImage()));
  EXPECT_FALSE(SameImage(drawn[0].icon, drawn[1].icon)) << "a refused entry and a failed write look different";
  for (const Drawn& d : drawn) {
    EXPECT_EQ(d.buttons, std::vector<int>{wxID_OK});
    EXPECT_TRUE(d.okIsDefault) << "Enter presses OK";
    EXPECT_EQ(d.role, ATK_ROLE_ALERT);
  }
#endif
}

#ifdef __WXGTK__
// The window has no owner: to the window manager it is a main window, listed in the
// task bar and the window switcher.
TEST_F(MainWindow, IsAMainWindowToTheWindowManager) {
  const std::string command =
      "xprop -id " + std::to_string(XWindowOf(dlg)) + " _NET_WM_WINDOW_TYPE _NET_WM_STATE WM_TRANSIENT_FOR";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string props;
  char buffer[256];
  while (fgets(buffer, sizeof buffer, pipe)) props += buffer;
  ASSERT_EQ(pclose(pipe), 0) << "xprop (x11-utils) runs";
  EXPECT_NE(props.find("_NET_WM_WINDOW_TYPE_NORMAL"), std::string::npos) << props;
  EXPECT_EQ(props.find("SKIP_TASKBAR"), std::string::npos) << props;
  EXPECT_EQ(props.find("SKIP_PAGER"), std::string::npos) << props;
  EXPECT_NE(props.find("WM_TRANSIENT_FOR:  not found"), std::string::npos) << props;
}
#endif

TEST_F(MainWindow, AboutBoxOpensOverTheWindow) {
  wxSize size;
  wxString title;
  hook.onShow = [&](wxDialog* d) {
    title = d->GetTitle();
    size = d->GetClientSize();
    EXPECT_EQ(d->GetParent(), dlg);
    auto* ok = dynamic_cast<wxButton*>(d->FindWindow(1));
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ui::FromWx(ok->GetLabel()), "确定");
  };
  dlg->OnSystemCommand(ui::kAboutCommand);
  ASSERT_EQ(hook.shown.size(), 1u);
  EXPECT_EQ(hook.shown[0].kind, "about");
  EXPECT_EQ(ui::FromWx(title), "关于 Folvane");
  EXPECT_EQ(size, dlg->ConvertDialogToPixels(wxSize(265, 78)));
  dlg->OnSystemCommand(17);  // another command of that group, not About
  EXPECT_EQ(hook.shown.size(), 2u);
  dlg->OnSystemCommand(32);
  EXPECT_EQ(hook.shown.size(), 2u);
}

#ifdef __WXMSW__
TEST_F(MainWindow, TheWindowMenuEndsWithTheAboutEntry) {
  // The real window menu of the title bar, as the system shows it.
  const HMENU menu = ::GetSystemMenu(static_cast<HWND>(dlg->GetHWND()), FALSE);
  ASSERT_NE(menu, nullptr);
  const int count = ::GetMenuItemCount(menu);
  ASSERT_GE(count, 2);
  EXPECT_EQ(::GetMenuState(menu, static_cast<UINT>(count - 2), MF_BYPOSITION) & MF_SEPARATOR, MF_SEPARATOR);
  EXPECT_EQ(::GetMenuItemID(menu, count - 1), static_cast<UINT>(ui::kAboutCommand));
  wchar_t text[64] = {};
  ::GetMenuStringW(menu, static_cast<UINT>(count - 1), text, 64, MF_BYPOSITION);
  EXPECT_EQ(ui::FromWx(wxString(text)), "关于 Folvane(&A)...");
  // The system's own low four bits of the command are masked off: 16 | 3 is About.
  ::SendMessageW(static_cast<HWND>(dlg->GetHWND()), WM_SYSCOMMAND, ui::kAboutCommand | 3, 0);
  ASSERT_EQ(hook.shown.size(), 1u);
  EXPECT_EQ(hook.shown[0].kind, "about");
}
#endif

TEST_F(MainWindow, F1OpensTheAboutBox) {
#ifdef __WXMSW__
  GTEST_SKIP() << "Windows has the About entry in the window menu; F1 is GTK's stand-in";
#endif
  TypeInto(Ctrl(ids::kMerge), "");
  wxUIActionSimulator sim;
  sim.Char(WXK_F1);
  Pump(100);
  ASSERT_EQ(hook.shown.size(), 1u);
  EXPECT_EQ(hook.shown[0].kind, "about");
}

TEST_F(MainWindow, IconsAndAFontThatHasTheChineseTexts) {
  const wxIconBundle& icons = dlg->GetIcons();
  EXPECT_TRUE(icons.GetIcon(32, wxIconBundle::FALLBACK_NONE).IsOk());
  EXPECT_TRUE(icons.GetIcon(16, wxIconBundle::FALLBACK_NONE).IsOk());
  const wxString face = dlg->GetFont().GetFaceName();
  if (wxFontEnumerator::IsValidFacename("WenQuanYi Micro Hei") && !wxFontEnumerator::IsValidFacename("SimSun")) {
    EXPECT_EQ(face, "WenQuanYi Micro Hei");
  }
  EXPECT_EQ(Ctrl(ids::kStatus)->GetFont().GetFaceName(), face) << "the controls take the dialog's font";
}

TEST_F(MainWindow, InputDuringAMergeIsSwallowed) {
  SKIP_UNDER_WINE("input swallowed during a merge needs the real input path");
  TempDir dir;
  WriteText(dir / "img", "x");
  Click(Ctrl(RowControlsFor(2).check));  // row 2 alone: rejected, so a message comes mid-merge
  dlg->SetItemText(RowControlsFor(2).startEdit, "1");
  dlg->SetItemText(RowControlsFor(2).endEdit, "1");
  dlg->SetItemText(ids::kTableEdit, dir / "t.bin");
  dlg->SetItemText(ids::kDataEdit, dir / "d.bin");
  int merges = 0;
  hook.onShow = [&](wxDialog*) {
    ++merges;
    // The merge is waiting on its message: clicks on the window go nowhere.
    Click(Ctrl(ids::kExit));
    Click(Ctrl(ids::kMerge));
    Click(Ctrl(RowControlsFor(5).check));
    dlg->Close();
  };
  Click(Ctrl(ids::kMerge));
  EXPECT_EQ(merges, 1);
  EXPECT_EQ(hook.Messages(), std::vector<std::string>{"Partition Set Error."});
  EXPECT_TRUE(dlg->IsShown());
  EXPECT_FALSE(dlg->IsItemChecked(RowControlsFor(5).check));
  EXPECT_EQ(ui::FromWx(Ctrl(ids::kStatus)->GetLabel()), "Done!");
  // Afterwards the window answers again.
  Click(Ctrl(RowControlsFor(5).check));
  EXPECT_TRUE(dlg->IsItemChecked(RowControlsFor(5).check));
}

TEST_F(MainWindow, DockedPaneCoversNoControlAndTakesNoFocus) {
  wxWindow* pane = dlg->Pane();
  ASSERT_NE(pane, nullptr);
  EXPECT_EQ(pane->GetId(), ui::kPaneId);
  EXPECT_TRUE(pane->IsShown());
  const int height = ui::kMapHeight + ui::JobPane::Height(dlg);
  EXPECT_EQ(pane->GetRect(), wxRect(0, dlg->GetClientSize().y - height, dlg->GetClientSize().x, height));
  EXPECT_EQ(dlg->Map()->GetRect(), wxRect(0, 0, dlg->GetClientSize().x, ui::kMapHeight));
  EXPECT_FALSE(pane->AcceptsFocus());
  for (wxWindow* w : dlg->GetChildren()) {
    if (w == pane || !w->IsShown()) continue;
    EXPECT_FALSE(w->GetRect().Intersects(pane->GetRect())) << ui::FromWx(w->GetLabel());
  }
  // Resizing keeps the pane on its edge and moves no control.
  const wxPoint merge = Ctrl(ids::kMerge)->GetPosition();
  dlg->SetClientSize(dlg->GetClientSize() + wxSize(40, 40));
  Pump(100);
  EXPECT_EQ(Ctrl(ids::kMerge)->GetPosition(), merge);
}

// Ending the window: each way is run inside a real modal loop.
class EndingTheWindow : public ::testing::Test {
 protected:
  int RunModal(const std::function<void(CMergeDlg*)>& action) {
    auto* dlg = new CMergeDlg(nullptr);
    dlg->CallAfter([dlg, action] {
      Pump(100);
      action(dlg);
    });
    const int result = dlg->ShowModal();
    dlg->Destroy();
    return result;
  }
};

TEST_F(EndingTheWindow, EscExitAndTheCloseBoxEndItAtOnce) {
  EXPECT_EQ(RunModal([](CMergeDlg* d) { TypeInto(d->FindWindow(ids::kTableEdit), "\x1b"); }), ids::kExit);
  EXPECT_EQ(RunModal([](CMergeDlg* d) { Click(d->FindWindow(ids::kExit)); }), ids::kExit);
  EXPECT_EQ(RunModal([](CMergeDlg* d) { d->Close(); }), ids::kExit);
}

}  // namespace
}  // namespace folvane::testing
