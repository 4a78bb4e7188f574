#include "exe_path.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
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

std::string DefaultOutputFolder() {
  std::string folder = ExecutableFolder();
  if (!folder.empty() && ::access(folder.c_str(), W_OK) == 0) return folder;
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') {
    const passwd* user = ::getpwuid(::getuid());
    home = user != nullptr ? user->pw_dir : nullptr;
  }
  if (home == nullptr || *home == '\0') return folder;
  folder = home;
  if (folder.back() != '/') folder += '/';
  return folder;
}

std::string ExecutableStem() { return ExecutablePath().stem().string(); }

}  // namespace folvane
