#include "toolkit_dialogs.hpp"

#include <wx/arrstr.h>
#include <wx/filedlg.h>
#include <wx/filename.h>
#include <wx/msgdlg.h>
#include <wx/stockitem.h>
#include <wx/translation.h>

#ifndef __WXMSW__
// After msgdlg.h: the generic box builds on its base class.
#include <wx/generic/msgdlgg.h>
#endif

#include "native_window.hpp"
#include "wx_text.hpp"

namespace folvane::ui {

namespace {

// A stock label as a title: the toolkit's translation of "Open..." or "Save As..."
// without its ellipsis (translations end in "...", "…" or " …").
wxString StockTitle(wxWindowID id) {
  wxString title = wxGetStockLabel(id, wxSTOCK_NOFLAGS);
  for (const wxString& ellipsis : {wxString("..."), wxString::FromUTF8("…")}) {
    if (title.EndsWith(ellipsis, &title)) break;
  }
  return title.Trim();
}

#ifdef __WXMSW__
// The common dialog takes "*.*" as every file.
constexpr bool kDotStarIsEveryFile = true;

// The common dialog asks itself before a file is replaced, about the name with its
// default extension (taken from the chosen filter).
constexpr long kSaveStyle = long{wxFD_SAVE} | wxFD_OVERWRITE_PROMPT;

// Windows' own message box, with its warning and stop icons.
using ProgramMessageBox = wxMessageDialog;
#else
// "*.*" is every file where the filters come from; GTK takes the dot literally and
// would hide names without one ("boot", "rootfs_ubi"), so it gets "*". The labels
// stay as they are.
constexpr bool kDotStarIsEveryFile = false;

// GTK 3's own message dialog draws no icon; the generic box shows the theme's.
// It is built at once rather than when shown, so that its window can be marked as
// an alert before it appears.
class ProgramMessageBox : public wxGenericMessageDialog {
 public:
  ProgramMessageBox(wxWindow* parent, const wxString& text, const wxString& caption, long style)
      : wxGenericMessageDialog(parent, text, caption, style) {
    DoCreateMsgdialog();
    MarkAsAlert(this);
  }
  // The generic box would build itself a second time.
  int ShowModal() override { return wxMessageDialogBase::ShowModal(); }
};

// No overwrite prompt from the chooser: it would ask about the name as typed, before
// the default extension is added. The window asks once, about the file written.
constexpr long kSaveStyle = long{wxFD_SAVE};
#endif

// The filter pairs, up to the empty label that ends them.
wxString ToolkitWildcard(std::string_view filter) {
  const wxArrayString parts = wxSplit(ToWx(std::string(filter)), '|', '\0');
  wxString wildcard;
  for (std::size_t i = 0; i + 1 < parts.size() && !parts[i].empty(); i += 2) {
    wxArrayString patterns = wxSplit(parts[i + 1], ';', '\0');
    for (wxString& p : patterns) {
      if (!kDotStarIsEveryFile && p == "*.*") p = "*";
    }
    if (!wildcard.empty()) wildcard += '|';
    wildcard += parts[i] + '|' + wxJoin(patterns, ';', '\0');
  }
  return wildcard;
}

}  // namespace

ChooserSetup ToolkitChooser(const FileChooserRequest& request) {
  ChooserSetup chooserSetup;
  static_cast<FileChooserRequest&>(chooserSetup) = request;
  const bool save = request.kind == ChooserKind::Save;
  chooserSetup.title = StockTitle(save ? wxID_SAVEAS : wxID_OPEN);
  chooserSetup.wildcard = ToolkitWildcard(request.filter);
  chooserSetup.style = save ? kSaveStyle : long{wxFD_OPEN};
  return chooserSetup;
}

std::string CompleteChosenName(const std::string& path, const FileChooserRequest& request) {
  const wxString name = ToWx(path);
  if (request.defaultExtension.empty() || wxFileName(name).HasExt()) return path;
  if (request.kind == ChooserKind::Open && wxFileName::Exists(name)) return path;
  return path + "." + std::string(request.defaultExtension);
}

bool AskToReplace(wxWindow* parent, const wxString& path) {
  const wxString question =
      wxString::Format(wxGetTranslation("File '%s' already exists, do you really want to overwrite it?"), path);
  ProgramMessageBox ask(parent, question, wxGetTranslation("Confirm"), wxYES_NO | wxNO_DEFAULT | wxICON_WARNING);
  ask.SetEscapeId(wxID_NO);
  return ask.ShowModal() == wxID_YES;
}

void ShowMessageBox(wxWindow* parent, const wxString& text, const wxString& caption, MessageIcon icon) {
  ProgramMessageBox box(parent, text, caption, wxOK | (icon == MessageIcon::Error ? wxICON_ERROR : wxICON_WARNING));
  box.ShowModal();
}

void UseToolkitTranslations() {
  if (wxTranslations::Get()) return;
  auto* translations = new wxTranslations;
  translations->SetLanguage(wxLANGUAGE_DEFAULT);
  translations->AddStdCatalog();
  wxTranslations::Set(translations);
}

}  // namespace folvane::ui
