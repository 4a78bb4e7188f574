#include "io/exe_path.hpp"

#include "io/utf8_path.hpp"

namespace folvane {

namespace {
std::filesystem::path ExecutablePath() { return FsPath(ExecutablePathText()); }
}  // namespace

std::string DefaultDataPath() { return DefaultOutputFolder() + "Data_Merge.bin"; }
std::string DefaultTablePath() { return DefaultOutputFolder() + "Partition_Table.bin"; }

std::string ExecutableFolder() {
  const auto p = ExecutablePath();
  if (p.empty()) return {};
  std::string folder = Utf8Path(p.parent_path());
  const char separator = static_cast<char>(std::filesystem::path::preferred_separator);
  if (folder.empty() || folder.back() != separator) folder += separator;
  return folder;
}

std::string ExecutableStem() { return Utf8Path(ExecutablePath().stem()); }

}  // namespace folvane
