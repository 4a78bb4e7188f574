#pragma once
// The toolkit's dialogs as the window uses them: what the file chooser is handed for
// a request, the file its answer really names, the one question before a file is
// replaced, and the message box with its icon.

#include <wx/filedlg.h>
#include <wx/string.h>

#include <string>

#include "dialog/dialog_ops.hpp"
#include "merge/merge.hpp"

class wxWindow;

namespace folvane::ui {

/// A chooser request as the toolkit's file dialog takes it.
struct ChooserSetup : FileChooserRequest {
  wxString title;     ///< "Open" or "Save As", in the toolkit's language
  wxString wildcard;  ///< the filter, every "*.*" written as "*"
  long style = 0;     ///< wxFileDialog style
};

/// The toolkit's file dialog for a request.
ChooserSetup ToolkitChooser(const FileChooserRequest& request);

/// The file a chooser's answer stands for: a name without an extension gets the
/// request's default extension; in the open form only when the name as given does
/// not exist.
std::string CompleteChosenName(const std::string& path, const FileChooserRequest& request);

/// Whether the chooser itself asks before an existing file is replaced (Windows'
/// common dialog does; elsewhere the window asks with AskToReplace).
inline bool ChooserAsksToReplace(const ChooserSetup& chooserSetup) { return (chooserSetup.style & wxFD_OVERWRITE_PROMPT) != 0; }

/// Asks, in the toolkit's words, whether an existing file may be replaced.
bool AskToReplace(wxWindow* parent, const wxString& path);

/// The program's message box: the text, the caption, one OK button (the default;
/// Enter and Esc both press it) and the warning or the stop icon.
void ShowMessageBox(wxWindow* parent, const wxString& text, const wxString& caption, MessageIcon icon);

/// Makes the toolkit's own texts (chooser titles, buttons, questions) follow the
/// user's language, where the toolkit has a translation.
void UseToolkitTranslations();

}  // namespace folvane::ui
