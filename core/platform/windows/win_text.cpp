#include "platform/windows/win_text.hpp"

#include <windows.h>

namespace folvane {

std::optional<std::wstring> WideFromUtf8(std::string_view utf8) {
  if (utf8.empty()) return std::wstring();
  const int size = static_cast<int>(utf8.size());
  const int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
  if (n <= 0) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, wide.data(), n);
  return wide;
}

std::string Utf8FromWide(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int size = static_cast<int>(wide.size());
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string utf8(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, utf8.data(), n, nullptr, nullptr);
  return utf8;
}

SystemPathResult SystemPath(const std::string& utf8) {
  auto wide = WideFromUtf8(utf8);
  if (!wide) return {{}, ERROR_NO_UNICODE_TRANSLATION};
  // No Windows file system takes a longer name; some systems would report such a
  // path as merely missing.
  constexpr std::size_t kNameLimit = 255;
  std::size_t nameStart = 0;
  for (std::size_t i = 0; i <= wide->size(); ++i) {
    if (i == wide->size() || (*wide)[i] == L'\\' || (*wide)[i] == L'/') {
      if (i - nameStart > kNameLimit) return {{}, ERROR_FILENAME_EXCED_RANGE};
      nameStart = i + 1;
    }
  }
  // Below this length every call takes the path as it is (248 is the folder limit).
  constexpr std::size_t kClassicLimit = MAX_PATH - 12;
  if (wide->size() < kClassicLimit || wide->rfind(L"\\\\?\\", 0) == 0) return {std::move(*wide), 0};
  const DWORD n = ::GetFullPathNameW(wide->c_str(), 0, nullptr, nullptr);
  if (n == 0) return {std::move(*wide), 0};  // the call that uses it reports what is wrong
  std::wstring full(n, L'\0');
  const DWORD got = ::GetFullPathNameW(wide->c_str(), n, full.data(), nullptr);
  if (got == 0 || got >= n) return {std::move(*wide), 0};
  full.resize(got);
  if (full.rfind(L"\\\\", 0) == 0) return {L"\\\\?\\UNC\\" + full.substr(2), 0};
  return {L"\\\\?\\" + full, 0};
}

}  // namespace folvane
