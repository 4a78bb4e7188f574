#include "wx_text.hpp"

#include <wx/strconv.h>

namespace folvane::ui {

wxString ToWx(const std::string& bytes) {
  if (bytes.empty()) return wxString();
  wxString s = wxString::FromUTF8(bytes.data(), bytes.size());
  if (!s.empty()) return s;
  wxCSConv gbk(wxFONTENCODING_CP936);
  if (gbk.IsOk()) {
    s = wxString(bytes.data(), gbk, bytes.size());
    if (!s.empty()) return s;
  }
  return wxString(bytes.data(), wxConvISO8859_1, bytes.size());
}

std::string FromWx(const wxString& text) {
  const wxScopedCharBuffer utf8 = text.utf8_str();
  return std::string(utf8.data(), utf8.length());
}

}  // namespace folvane::ui
