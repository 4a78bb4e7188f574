#include <filesystem>

#include "exe_path.hpp"

namespace folvane {

std::string ExecutablePathText() {
  std::error_code ec;
  const auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : p.string();
}

}  // namespace folvane
