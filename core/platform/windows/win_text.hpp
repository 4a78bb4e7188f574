#pragma once
// UTF-8 inside the program, UTF-16 at the Windows calls: the conversions, for the
// Windows halves of the core only.

#include <optional>
#include <string>
#include <string_view>

namespace folvane {

/// UTF-16 of a UTF-8 text; nothing if the text is not valid UTF-8.
std::optional<std::wstring> WideFromUtf8(std::string_view utf8);

/// UTF-8 of a UTF-16 text (unpaired surrogates become U+FFFD).
std::string Utf8FromWide(std::wstring_view wide);

/// The UTF-16 form of a UTF-8 path for the file calls, or the GetLastError() code
/// it is refused with.
struct SystemPathResult {
  std::wstring path;
  unsigned long error = 0;  ///< 0, or ERROR_NO_UNICODE_TRANSLATION, ERROR_FILENAME_EXCED_RANGE
  explicit operator bool() const { return error == 0; }
  const std::wstring& operator*() const { return path; }
  const std::wstring* operator->() const { return &path; }
};

/// A path too long for the classic limit of MAX_PATH characters is made absolute
/// and given the "\\?\" prefix, so it is handled whole rather than cut. A path that
/// is not valid UTF-8, or has a name longer than any Windows file system allows
/// (255 characters), is refused before the system sees it.
SystemPathResult SystemPath(const std::string& utf8);

}  // namespace folvane
