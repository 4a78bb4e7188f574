#pragma once
#include <string>

namespace folvane {

/// The folder that holds the running executable, with its trailing separator, found
/// from the executable's own path (never the working directory). Empty if unknown.
std::string ExecutableFolder();

/// The executable's file name without its extension ("folvane" for /opt/x/folvane).
std::string ExecutableStem();

}  // namespace folvane
