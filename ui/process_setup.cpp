// Runs before main() and before wxWidgets opens anything: the window's process
// starts with its standard streams open and a lost pipe reported, never fatal.

#include <csignal>

#include "io/file_io.hpp"

namespace {

struct ProcessSetup {
  ProcessSetup() {
    // A closed standard stream would hand its descriptor to the first output file,
    // which would then receive the toolkit's messages.
    folvane::EnsureStandardStreams();
#ifdef SIGPIPE  // POSIX systems only; Windows has neither signal
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
#endif
  }
};

const ProcessSetup kProcessSetup;

}  // namespace
