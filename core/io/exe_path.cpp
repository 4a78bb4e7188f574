#include "io/exe_path.hpp"

#include <filesystem>

namespace folvane {

namespace {
std::filesystem::path ExecutablePath() {
  const std::string utf8 = ExecutablePathText();
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}
std::string Utf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}
}  // namespace

std::string ExecutableFolder() {
  const auto p = ExecutablePath();
  if (p.empty()) return {};
  std::string folder = Utf8(p.parent_path());
  const char separator = static_cast<char>(std::filesystem::path::preferred_separator);
  if (folder.empty() || folder.back() != separator) folder += separator;
  return folder;
}

std::string ExecutableStem() { return Utf8(ExecutablePath().stem()); }

}  // namespace folvane
