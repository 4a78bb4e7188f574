#pragma once
// CAboutDlg: the about box, made anew for every About command.

#include <wx/dialog.h>

class CAboutDlg : public wxDialog {
 public:
  explicit CAboutDlg(wxWindow* parent);
};
