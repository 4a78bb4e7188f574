#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "io/exe_path.hpp"

namespace folvane {

std::string ExecutablePathText() {
  std::error_code ec;
  const auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : p.string();
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

}  // namespace folvane
