#pragma once
// Paths are UTF-8 inside the program. std::filesystem would take a plain std::string
// in the system's code page on Windows, so every path crosses as UTF-8 explicitly,
// through these two and nothing else.

#include <filesystem>
#include <string>

namespace folvane {

/// A UTF-8 path as std::filesystem takes it on every system.
inline std::filesystem::path FsPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

/// A std::filesystem path as the program's UTF-8 text.
inline std::string Utf8Path(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace folvane
