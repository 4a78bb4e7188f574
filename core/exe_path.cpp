#include "exe_path.hpp"

#include <filesystem>

namespace folvane {

namespace {
std::filesystem::path ExecutablePath() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : p;
}
}  // namespace

std::string ExecutableFolder() {
  const auto p = ExecutablePath();
  if (p.empty()) return {};
  std::string folder = p.parent_path().string();
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

std::string ExecutableStem() { return ExecutablePath().stem().string(); }

}  // namespace folvane
