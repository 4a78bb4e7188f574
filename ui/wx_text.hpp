#pragma once
// Conversions between the core's texts (UTF-8 bytes, as the .part file and the file
// system hold them) and wxString.

#include <wx/string.h>

#include <string>

namespace folvane::ui {

/// UTF-8 bytes as a wxString. Bytes that are not UTF-8 (a .part file written on a
/// Chinese Windows holds GBK paths) are read as GBK, then as Latin-1, rather than
/// shown as an empty text.
wxString ToWx(const std::string& bytes);

/// A wxString as UTF-8 bytes.
std::string FromWx(const wxString& text);

}  // namespace folvane::ui
