// The legacy code page on Windows: the system's ANSI code page, read and written.
#include <windows.h>

#include "job/stored_text.hpp"
#include "platform/windows/win_text.hpp"

namespace folvane {

std::optional<std::string> LegacyToUtf8(std::string_view bytes) {
  if (bytes.empty()) return std::string();
  const int size = static_cast<int>(bytes.size());
  const int n = ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
  if (n <= 0) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(), size, wide.data(), n);
  return Utf8FromWide(wide);
}

bool LegacyPathNamesSavedFile() { return true; }

std::optional<std::string> Utf8ToLegacy(std::string_view utf8) {
  const auto wide = WideFromUtf8(utf8);
  if (!wide) return std::nullopt;
  if (wide->empty()) return std::string();
  const int size = static_cast<int>(wide->size());
  BOOL lossy = FALSE;
  // No best fit: a character the code page lacks must not turn into a look-alike.
  const int n = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide->data(), size, nullptr, 0, nullptr, &lossy);
  if (n <= 0 || lossy) return std::nullopt;
  std::string out(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide->data(), size, out.data(), n, nullptr, &lossy);
  if (lossy) return std::nullopt;
  return out;
}

}  // namespace folvane
