#pragma once
#include <string>

namespace folvane {

/// The folder that holds the running executable, with its trailing separator, found
/// from the executable's own path (never the working directory). Empty if unknown.
std::string ExecutableFolder();

/// The folder that the default Table and Data paths start in: the executable's folder
/// when this user may write there (a build folder, an unpacked copy), otherwise the
/// user's home folder (an installed /usr/bin), with its trailing separator.
std::string DefaultOutputFolder();

/// The default Data and Table paths a fresh window (and the command line's fresh
/// form) starts with: "Data_Merge.bin" and "Partition_Table.bin" in
/// DefaultOutputFolder().
std::string DefaultDataPath();
std::string DefaultTablePath();

/// The executable's file name without its extension ("folvane" for /opt/x/folvane).
std::string ExecutableStem();

/// The running executable's full path in UTF-8, from the system (each platform's
/// half gives it its own way). Empty if unknown.
std::string ExecutablePathText();

}  // namespace folvane
