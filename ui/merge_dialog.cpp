#include "merge_dialog.hpp"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/evtloop.h>
#include <wx/filedlg.h>
#include <wx/filename.h>
#include <wx/fontenum.h>
#include <wx/gauge.h>
#include <wx/menu.h>
#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <algorithm>
#include <cctype>

#include "about_dialog.hpp"
#include "about_entry.hpp"
#include "io/exe_path.hpp"
#include "layout.hpp"
#include "native_window.hpp"
#include "dialog/procedures.hpp"
#include "flash/row_codecs.hpp"
#include "version.hpp"
#include "wx_text.hpp"

namespace folvane::ui {

#include "resources/folvane_icon.xpm"

wxFont DialogFont() {
  wxFont font(9, wxFONTFAMILY_DEFAULT, wxFONTSTYLE_NORMAL, wxFONTWEIGHT_NORMAL);
  auto use = [&](const wxString& face) {
    font.SetFaceName(face);
    return font;
  };
  for (const char* face : {"宋体", "SimSun", "NSimSun"}) {
    if (wxFontEnumerator::IsValidFacename(wxString::FromUTF8(face))) return use(wxString::FromUTF8(face));
  }
  // No SimSun on this desktop: take a face that has the Chinese texts.
  const wxArrayString faces = wxFontEnumerator::GetFacenames();
  for (const char* preferred : {"WenQuanYi Micro Hei", "WenQuanYi Zen Hei", "Noto Sans CJK SC", "Noto Sans SC",
                                "Source Han Sans SC", "Droid Sans Fallback", "AR PL UMing CN"}) {
    if (faces.Index(preferred, false) != wxNOT_FOUND) return use(preferred);
  }
  for (const wxString& face : faces) {
    if (face.Upper().Contains("CJK") || face.Contains("Hei") || face.Contains("Song")) return use(face);
  }
  return font;
}

wxIconBundle AppIcons() {
  wxIconBundle icons;
  icons.AddIcon(wxIcon(folvane_icon_32));
  icons.AddIcon(wxIcon(folvane_icon_16));
  return icons;
}

}  // namespace folvane::ui

using namespace folvane;
using namespace folvane::ui;

// While the merge runs the window keeps repainting but takes no input: every user
// input event aimed at the dialog is swallowed. Message boxes are windows of their
// own and still answer.
class CMergeDlg::InputBlocker : public wxEventFilter {
 public:
  explicit InputBlocker(wxWindow* dialog) : dialog_(dialog) { wxEvtHandler::AddFilter(this); }
  ~InputBlocker() override { wxEvtHandler::RemoveFilter(this); }
  int FilterEvent(wxEvent& event) override {
    if (event.GetEventCategory() != wxEVT_CATEGORY_USER_INPUT) return Event_Skip;
    auto* window = dynamic_cast<wxWindow*>(event.GetEventObject());
    return window && wxGetTopLevelParent(window) == dialog_ ? Event_Processed : Event_Skip;
  }

 private:
  wxWindow* dialog_;
};

CMergeDlg::CMergeDlg(wxWindow* parent)
    : wxDialog(parent, wxID_ANY, wxString::FromUTF8(std::string("Folvane V") + folvane::kShortVersion), wxPoint(0, 0), wxDefaultSize,
               wxCAPTION | wxSYSTEM_MENU | wxMINIMIZE_BOX | wxCLOSE_BOX | wxRESIZE_BORDER),
      icons_(AppIcons()),
      caption_(ToWx(ExecutableStem())) {
  UseToolkitTranslations();
  if (!parent) MarkAsMainWindow(this);
  SetFont(DialogFont());
  SetClientSize(ConvertDialogToPixels(wxSize(kMainWidth, kMainHeight)));
  CreateControls();
  RouteEvents();
  InitMainDialog();
}

CMergeDlg::~CMergeDlg() = default;

void CMergeDlg::CreateControls() {
  for (const ControlSpec& c : MainDialogTemplate()) {
    const wxPoint pos = ConvertDialogToPixels(wxPoint(c.x, c.y));
    const wxSize size = ConvertDialogToPixels(wxSize(c.w, c.h));
    const int id = c.id == kNoId ? wxID_ANY : c.id;
    const wxString text = ToWx(c.text);
    wxWindow* w = nullptr;
    switch (c.kind) {
      case ControlKind::DefaultButton: {
        auto* b = new wxButton(this, id, text, pos, size);
        b->SetDefault();
        w = b;
        break;
      }
      case ControlKind::PushButton:
        w = new wxButton(this, id, text, pos, size);
        break;
      case ControlKind::CheckBox:
        w = new wxCheckBox(this, id, text, pos, size);
        break;
      case ControlKind::Edit:
        w = new wxTextCtrl(this, id, text, pos, size);
        break;
      case ControlKind::Label:
        w = new wxStaticText(this, id, text, pos, size, wxST_NO_AUTORESIZE);
        break;
      case ControlKind::CentredLabel:
        w = status_ = new wxStaticText(this, id, text, pos, size, wxALIGN_CENTRE_HORIZONTAL | wxST_NO_AUTORESIZE);
        break;
      case ControlKind::GroupBox:
        w = new wxStaticBox(this, id, text, pos, size);
        break;
      case ControlKind::DropList: {
        wxArrayString labels;
        for (const BlockMode& m : kBlockModes) labels.Add(ToWx(std::string(m.label)));
        // The template's height is that of the opened list; the closed box is one line.
        w = blockMode_ = new wxChoice(this, id, pos, wxSize(size.x, -1), labels);
        break;
      }
      case ControlKind::Progress:
        w = progress_ = new wxGauge(this, id, 100, pos, size, wxGA_HORIZONTAL);
        break;
      case ControlKind::Icon:
        break;
    }
    if (!w) continue;
    if (c.flags & kHidden) w->Hide();
    if (c.flags & kDisabled) w->Disable();
  }
}

void CMergeDlg::RouteEvents() {
  auto button = [this](int id, auto handler) {
    Bind(wxEVT_BUTTON, [this, handler](wxCommandEvent&) { (this->*handler)(); }, id);
  };
  button(ids::kMerge, &CMergeDlg::OnMerge);
  button(ids::kExit, &CMergeDlg::OnExit);
  button(ids::kDataBrowse, &CMergeDlg::OnBrowseData);
  button(ids::kTableBrowse, &CMergeDlg::OnBrowseTable);
  button(ids::kImport, &CMergeDlg::OnImport);
  button(ids::kExport, &CMergeDlg::OnExport);
  Bind(wxEVT_CHOICE, [this](wxCommandEvent&) { OnBlockModeChange(); }, ids::kBlockModeList);
  for (int row = 1; row <= kRowCount; ++row) {
    const RowControls& c = RowControlsFor(row);
    Bind(wxEVT_CHECKBOX, [this, row](wxCommandEvent&) { OnFileCheck(row); }, c.check);
    Bind(wxEVT_BUTTON, [this, row](wxCommandEvent&) { OnBrowseImage(row); }, c.browse);
    Bind(wxEVT_TEXT, [this, row](wxCommandEvent&) { OnBlockEditChange(row, BlockEdit::Start); }, c.startEdit);
    Bind(wxEVT_TEXT, [this, row](wxCommandEvent&) { OnBlockEditChange(row, BlockEdit::End); }, c.endEdit);
    // The leading run of ticked rows merges the paths as typed: the map follows them.
    Bind(wxEVT_TEXT, [this](wxCommandEvent&) { ScheduleMapUpdate(); }, c.pathEdit);
  }
  // Enter is Merge's, wherever the focus is, except on a push button, which Enter
  // presses instead (GTK does that for the button itself), and in the pane.
  Bind(wxEVT_CHAR_HOOK, [this](wxKeyEvent& event) {
    if (OnPaneKey(event)) return;
    const int key = event.GetKeyCode();
    if ((key != WXK_RETURN && key != WXK_NUMPAD_ENTER) || event.HasAnyModifiers() ||
        dynamic_cast<wxButton*>(FindFocus()) || (tools_ && tools_->IsDescendant(FindFocus()))) {
      return event.Skip();
    }
    wxCommandEvent merge(wxEVT_BUTTON, ids::kMerge);
    merge.SetEventObject(FindWindow(ids::kMerge));
    ProcessWindowEvent(merge);
  });
  // Esc, the close box and the window manager's Close all do what Exit does.
  SetEscapeId(ids::kExit);
  Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent& event) {
    // A close request that arrives while the merge repaints is input like any other.
    if (blocker_ && event.CanVeto()) return event.Veto();
    OnExit();
  });

  // The About entry: in the window menu on Windows, elsewhere where the platform allows.
  InstallAboutEntry(*this);
  Bind(wxEVT_MENU, [this](wxCommandEvent& event) { OnSystemCommand(event.GetId()); }, kAboutCommand);
}

void CMergeDlg::InitMainDialog() {
  SetIcons(icons_);
  for (PartitionSlot& slot : set_.slots) slot.startBlock = slot.endBlock = slot.imageBlocks = kUnset;
  blockMode_->SetSelection(kDefaultBlockModeIndex);
  geometry_ = FlashGeometry{0x21000, 0x840};
  Edit(ids::kDataEdit)->ChangeValue(ToWx(DefaultDataPath()));
  Edit(ids::kTableEdit)->ChangeValue(ToWx(DefaultTablePath()));
  Edit(ids::kRemarkEdit)->SetMaxLength(60);
  docking_.InstallDockingPanes(this, 0);
  // The pane is the flash map, a strip under the controls the whole width, and the
  // tools under it. The window grows by its height, so that no control moves or is
  // covered.
  const wxSize controls = GetClientSize();
  const int toolsHeight = JobPane::Height(this);
  DockingPane* pane =
      docking_.CreatePane(kPaneId, wxRect(0, 0, controls.x, kMapHeight + toolsHeight), kDockBottom, nullptr);
  pane_ = pane;
  map_ = new FlashMapView(pane, [this](int height) { SetPaneHeight(height); });
  tools_ = new JobPane(pane, *this);
  auto* column = new wxBoxSizer(wxVERTICAL);
  column->Add(map_, 1, wxEXPAND);
  column->Add(tools_, 0, wxEXPAND);
  tools_->SetMinSize(wxSize(-1, toolsHeight));
  pane->SetSizer(column);
  Bind(wxEVT_SIZE, [this](wxSizeEvent& event) {
    // Full width whatever the window's width; the docking layer keeps it on the edge.
    pane_->SetSize(GetClientSize().x, pane_->GetSize().y);
    event.Skip();
  });
  SetPaneHeight(kMapHeight);
  docking_.ShowPane(pane, 1);
  pane->Layout();
  UpdateMap();
  FindWindow(ids::kMerge)->SetFocus();
}

wxTextCtrl* CMergeDlg::Edit(int id) const { return wxStaticCast(FindWindow(id), wxTextCtrl); }
wxCheckBox* CMergeDlg::Check(int id) const { return wxStaticCast(FindWindow(id), wxCheckBox); }

// ---- handlers ---------------------------------------------------------------

void CMergeDlg::OnMerge() {
  if (blocker_) return;
  // The dump's comparison reads the data image that the merge would rewrite.
  if (tools_->Busy()) return ShowMessage("A dump is being verified: wait for it, or cancel it.", MessageIcon::Warning);
  // Rows of a text job that name an ECC scheme hold page data: merged without their
  // codec, they would be written as if they were whole pages.
  std::string problem;
  const auto codecs = MakeRowCodecs(set_, [this](int row) { return IsRowChecked(row); }, GetBlockModeSelection(), problem);
  if (!codecs) return ShowMessage(problem, MessageIcon::Warning);
  blocker_ = std::make_unique<InputBlocker>(this);
  lastRepaint_ = {};
  // The checksums are taken as the merge writes the outputs, on threads of their own.
  manifest::DigestTap digests(geometry_.blockSize);
  MergeOptions options;
  options.tap = &digests;
  options.pageCodecs = codecs->PageCodecs();
  options.programErasedPages = set_.programErasedPages;
  const MergeResult result = RunMerge(set_, geometry_, *this, options);
  std::optional<MergeDigests> taken;
  bool digestsFailed = false;
  if (result.completed) {
    MergeDigests d{digests.Data(), digests.Table(), GetDataPathText(), GetTablePathText()};
    digestsFailed = digests.Failed();  // known once the digests are taken
    if (!digestsFailed) taken = std::move(d);
  }
  tools_->SetMergeDigests(std::move(taken), result, digestsFailed);
  blocker_.reset();
  SyncGauge();  // whatever the throttle held back
  ScheduleMapUpdate();
}

void CMergeDlg::OnExit() {
  if (IsModal()) {
    EndModal(ids::kExit);
  } else {
    Hide();
  }
}

void CMergeDlg::OnFileCheck(int row) {
  HandleFileCheck(*this, row);
  ScheduleMapUpdate();
}
void CMergeDlg::OnBrowseImage(int row) {
  BrowseImage(*this, row);
  ScheduleMapUpdate();
}
void CMergeDlg::OnBlockEditChange(int row, BlockEdit which) {
  HandleBlockEditChange(*this, row, which);
  ScheduleMapUpdate();
}
void CMergeDlg::OnBrowseTable() { BrowseOutputPath(*this, ids::kTableEdit); }
void CMergeDlg::OnBrowseData() { BrowseOutputPath(*this, ids::kDataEdit); }
void CMergeDlg::OnImport() {
  ImportPartFile(*this);
  ScheduleMapUpdate();
}
void CMergeDlg::OnExport() { ExportPartFile(*this); }

void CMergeDlg::OnBlockModeChange() {
  ApplyBlockMode(geometry_, blockMode_->GetSelection());
  ScheduleMapUpdate();
}

bool CMergeDlg::OnPaneKey(wxKeyEvent& event) {
  // F6, and Ctrl+Tab as elsewhere on the desktop, go between the dialog's controls and
  // the pane; the dialog's own Tab order never enters the pane, and Tab in the pane
  // goes round the pane. The pane's actions answer Alt and their letter from anywhere
  // in the window (the dialog's own controls have none).
  const int key = event.GetKeyCode();
  if (!tools_) return false;
  const bool inPane = tools_->IsDescendant(FindFocus());
  if (inPane && key == WXK_TAB && (event.GetModifiers() == wxMOD_NONE || event.GetModifiers() == wxMOD_SHIFT)) {
    tools_->Navigate(event.GetModifiers() == wxMOD_NONE);
    return true;
  }
  if (event.GetModifiers() == wxMOD_ALT && key < 128 && std::isalpha(key)) return tools_->PressMnemonic(key);
  const bool toggle = (key == WXK_F6 && !event.HasAnyModifiers()) ||
                      (key == WXK_TAB && event.GetModifiers() == wxMOD_CONTROL);
  if (!toggle) return false;
  if (inPane) {
    FindWindow(ids::kMerge)->SetFocus();
  } else {
    tools_->FocusFirst();
  }
  return true;
}

void CMergeDlg::SetPaneHeight(int mapHeight) {
  const int height = mapHeight + JobPane::Height(this);
  const wxSize controls = ConvertDialogToPixels(wxSize(kMainWidth, kMainHeight));
  const int width = std::max(GetClientSize().x, controls.x);
  pane_->SetSize(width, height);
  // The window may grow but never shrink over the controls or the map.
  SetMinClientSize(wxSize(controls.x, controls.y + height));
  SetClientSize(width, std::max(controls.y + height, GetClientSize().y));
  pane_->Move(0, GetClientSize().y - height);
}

void CMergeDlg::ScheduleMapUpdate() {
  if (mapScheduled_ || !map_) return;
  mapScheduled_ = true;
  CallAfter([this] { UpdateMap(); });
}

FlashLayout CMergeDlg::CurrentLayout() {
  LayoutOptions options;
  options.pathText = [this](int row) { return GetRowPathText(row); };
  if (tools_) options.badBlocks = tools_->BadBlocks();
  return BuildFlashLayout(set_, geometry_, [this](int row) { return IsRowChecked(row); }, options);
}

void CMergeDlg::UpdateMap() {
  mapScheduled_ = false;
  if (!map_) return;
  FlashLayout layout = CurrentLayout();
  if (tools_) tools_->SetupChanged(layout);
  map_->SetDifferingRows(tools_ ? tools_->DifferingRows() : std::set<int>{});
  map_->SetLayout(std::move(layout));
}

void CMergeDlg::OnSystemCommand(int command) {
  if ((command & 0xFFF0) != kAboutCommand) return;
  CAboutDlg about(this);
  about.ShowModal();
}

// ---- MergeHost --------------------------------------------------------------

bool CMergeDlg::IsRowChecked(int row) { return Check(RowControlsFor(row).check)->GetValue(); }
std::string CMergeDlg::GetRowPathText(int row) { return GetItemText(RowControlsFor(row).pathEdit); }
void CMergeDlg::ClearRowPathText(int row) { Edit(RowControlsFor(row).pathEdit)->SetValue(wxString()); }
std::string CMergeDlg::GetDataPathText() { return GetItemText(ids::kDataEdit); }
std::string CMergeDlg::GetTablePathText() { return GetItemText(ids::kTableEdit); }

void CMergeDlg::SetStatusText(const std::string& text) {
  status_->SetLabel(ToWx(text));
  Repaint(true);
}

void CMergeDlg::SetProgressRange(std::uint32_t upper) {
  progressRange_ = upper;
  SetProgressPos(progressPos_);
}

void CMergeDlg::SetProgressPos(std::uint32_t pos) {
  progressPos_ = pos;
  // A merge of small blocks moves the bar hundreds of thousands of times; the gauge
  // is brought up to date a few dozen times a second, and whenever it empties or fills.
  const auto now = std::chrono::steady_clock::now();
  const bool due = pos == 0 || pos >= progressRange_ || now - lastRepaint_ >= std::chrono::milliseconds(30);
  if (!due) return;
  SyncGauge();
  Repaint(false);
}

void CMergeDlg::SyncGauge() {
  // The gauge's range is an int: large ranges are scaled down.
  const std::uint32_t range = progressRange_;
  const std::uint32_t pos = progressPos_;
  const int shownRange = range == 0 ? 1 : static_cast<int>(std::min<std::uint32_t>(range, 1u << 20));
  const int shown = range == 0 ? (pos > 0 ? 1 : 0)
                               : static_cast<int>(std::min<std::uint64_t>(pos, range) * shownRange / range);
  if (progress_->GetRange() != shownRange) progress_->SetRange(shownRange);
  progress_->SetValue(shown);
}

void CMergeDlg::Repaint(bool now) {
  const auto t = std::chrono::steady_clock::now();
  if (!now && t - lastRepaint_ < std::chrono::milliseconds(30)) return;
  lastRepaint_ = t;
  // Input is let through only to be swallowed by the merge's InputBlocker.
  if (wxEventLoopBase* loop = wxEventLoopBase::GetActive()) {
    loop->YieldFor(wxEVT_CATEGORY_UI | wxEVT_CATEGORY_USER_INPUT);
  }
}

void CMergeDlg::ShowMessage(const std::string& text, MessageIcon icon) {
  ShowMessageBox(this, ToWx(text), caption_, icon);
}

// ---- DialogOps --------------------------------------------------------------

std::string CMergeDlg::GetItemText(int id) { return FromWx(Edit(id)->GetValue()); }

void CMergeDlg::SetItemText(int id, const std::string& text) {
  // A start or end edit must run its change handling, also when the text is set
  // from inside that handling (a refused text is emptied there). wxMSW refuses a
  // SetValue nested in another's change event, so the value is changed quietly and
  // the change event sent here, once, as the edit itself would send it.
  wxTextCtrl* edit = Edit(id);
  edit->ChangeValue(ToWx(text));
  wxCommandEvent changed(wxEVT_TEXT, id);
  changed.SetEventObject(edit);
  changed.SetString(edit->GetValue());
  edit->ProcessWindowEvent(changed);
}

bool CMergeDlg::IsItemChecked(int id) { return Check(id)->GetValue(); }
void CMergeDlg::SetItemChecked(int id, bool checked) { Check(id)->SetValue(checked); }
void CMergeDlg::EnableItem(int id, bool enable) { FindWindow(id)->Enable(enable); }
int CMergeDlg::GetBlockModeSelection() { return blockMode_->GetSelection(); }

void CMergeDlg::SetBlockModeSelection(int index) {
  blockMode_->SetSelection(index >= 0 && index < kBlockModeCount ? index : wxNOT_FOUND);
}

std::optional<std::string> CMergeDlg::ChooseFile(const FileChooserRequest& request) {
  const ChooserSetup chooserSetup = ToolkitChooser(request);
  std::string previous;
  for (;;) {
    const std::optional<std::string> answer = chooser_ ? chooser_(chooserSetup) : RunFileDialog(chooserSetup, previous);
    if (!answer) return std::nullopt;
    const std::string path = CompleteChosenName(*answer, request);
    // As on the platform the program comes from, declining the replacement goes back
    // to the chooser.
    // A chooser that asks itself asked about the name it returned, not about one the
    // default extension was added to afterwards.
    const bool asked = ChooserAsksToReplace(chooserSetup) && path == *answer;
    if (request.kind == ChooserKind::Save && !asked && wxFileName::Exists(ToWx(path)) &&
        !AskToReplace(this, ToWx(path))) {
      previous = path;
      continue;
    }
    return path;
  }
}

std::optional<std::string> CMergeDlg::RunFileDialog(const ChooserSetup& chooserSetup, const std::string& previous) {
  const wxFileName start(ToWx(previous));
  wxFileDialog dialog(this, chooserSetup.title, start.GetPath(), start.GetFullName(), chooserSetup.wildcard, chooserSetup.style);
  if (dialog.ShowModal() != wxID_OK) return std::nullopt;
  return FromWx(dialog.GetPath());
}
