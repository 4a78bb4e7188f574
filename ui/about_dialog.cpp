#include "about_dialog.hpp"

#include <wx/button.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>

#include "layout.hpp"
#include "merge_dialog.hpp"
#include "wx_text.hpp"

using namespace folvane::ui;

CAboutDlg::CAboutDlg(wxWindow* parent)
    : wxDialog(parent, wxID_ANY, wxString::FromUTF8("关于 Folvane"), wxDefaultPosition, wxDefaultSize,
               wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX) {
  SetFont(DialogFont());
  SetClientSize(ConvertDialogToPixels(wxSize(kAboutWidth, kAboutHeight)));
  for (const ControlSpec& c : AboutDialogTemplate()) {
    const wxPoint pos = ConvertDialogToPixels(wxPoint(c.x, c.y));
    const wxSize size = ConvertDialogToPixels(wxSize(c.w, c.h));
    const int id = c.id == kNoId ? wxID_ANY : c.id;
    switch (c.kind) {
      case ControlKind::Icon:
        new wxStaticBitmap(this, id, AppIcons().GetIcon(32), pos, size);
        break;
      case ControlKind::DefaultButton:
        new wxButton(this, id, ToWx(c.text), pos, size);
        break;
      default:
        new wxStaticText(this, id, ToWx(c.text), pos, size, wxST_NO_AUTORESIZE);
        break;
    }
  }
  // The OK button (identifier 1) is the default button; it and Esc close the box.
  SetAffirmativeId(1);
  SetEscapeId(1);
  wxStaticCast(FindWindow(1), wxButton)->SetDefault();
  FindWindow(1)->SetFocus();
  CentreOnParent();
}
