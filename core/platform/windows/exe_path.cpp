#include <windows.h>

#include "io/exe_path.hpp"
#include "platform/windows/win_text.hpp"

namespace folvane {

std::string ExecutablePathText() {
  // The buffer grows until the whole path fits: a path is never cut.
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
  // The "\\?\" form of a long path is no name to show or to build defaults on.
  if (path.rfind(L"\\\\?\\", 0) == 0 && path.rfind(L"\\\\?\\UNC\\", 0) != 0) path.erase(0, 4);
  return Utf8FromWide(path);
}

// Beside the program, as a portable copy keeps its outputs; an installed copy under
// Program Files cannot be written there, so its defaults go to the user's profile.
std::string DefaultOutputFolder() {
  std::string folder = ExecutableFolder();
  const std::wstring wide = WideFromUtf8(folder).value_or(std::wstring());
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  std::wstring probe = wide + L"folvane-write-test.tmp";
  const HANDLE h = ::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (attributes != INVALID_FILE_ATTRIBUTES && h != INVALID_HANDLE_VALUE) {
    ::CloseHandle(h);
    return folder;
  }
  wchar_t profile[32768];
  const DWORD n = ::GetEnvironmentVariableW(L"USERPROFILE", profile, 32768);
  if (n == 0 || n >= 32768) return folder;
  folder = Utf8FromWide(std::wstring(profile, n));
  if (folder.back() != '\\') folder += '\\';
  return folder;
}

}  // namespace folvane
