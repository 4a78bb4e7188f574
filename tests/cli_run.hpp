#pragma once
// Runs folvane-cli as a build script would, capturing what it prints.

#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "test_support.hpp"

namespace folvane::testing {

struct CliRun {
  int status;
  std::string out;  // standard output
  std::string err;  // standard error
};

/// A shell command line run in `cwd` with no standard input.
inline CliRun Shell(const std::string& command, const std::string& cwd = ".") {
  TempDir io;
  const std::string cmd = "cd '" + cwd + "' && (" + command + ") >'" + io / "out" + "' 2>'" + io / "err" + "' </dev/null";
  const int raw = std::system(cmd.c_str());
  const Bytes out = ReadFile(io / "out"), err = ReadFile(io / "err");
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, std::string(out.begin(), out.end()),
          std::string(err.begin(), err.end())};
}

/// folvane-cli with `args` (shell words), run in `cwd` with no standard input.
inline CliRun Cli(const std::string& args, const std::string& cwd = ".") {
  return Shell("'" FOLVANE_CLI "' " + args, cwd);
}

}  // namespace folvane::testing
