#pragma once
// Runs folvane-cli as a build script would, capturing what it prints.

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "test_support.hpp"

namespace folvane::testing {

struct CliRun {
  int status;
  std::string out;  // standard output
  std::string err;  // standard error
};

#ifdef _WIN32
/// folvane-cli with `args` run in `cwd` with no standard input and no shell between:
/// the shell's single quotes of the tests' argument texts become the double quotes
/// of a Windows command line.
inline CliRun Cli(std::string args, const std::string& cwd = ".") {
  for (char& c : args)
    if (c == '\'') c = '"';
  const ProgramRun run = RunProgram(FOLVANE_CLI, args, cwd);
  return {run.status, run.out, run.err};
}

#define SKIP_WITHOUT_POSIX_SHELL() GTEST_SKIP() << "needs a POSIX shell and its tools, which Windows lacks"
#else
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

#define SKIP_WITHOUT_POSIX_SHELL() static_cast<void>(0)
#endif

/// Keeps a JSON document the program printed or wrote, for the schema check that runs
/// after the tests (tests/validate_documents.py).
inline void KeepDocument(const std::string& json) {
#ifdef FOLVANE_JSON_DOCUMENTS
  static int count = 0;
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::filesystem::create_directories(FOLVANE_JSON_DOCUMENTS);
  const std::string name = std::string(test->test_suite_name()) + "." + test->name() + "." + std::to_string(++count);
  WriteText(std::string(FOLVANE_JSON_DOCUMENTS "/") + name + ".json", json);
#else
  static_cast<void>(json);
#endif
}

/// A test with a scratch folder of its own, in which it runs folvane-cli.
class CliFolderTest : public ::testing::Test {
 protected:
  TempDir dir;
  CliRun InDir(const std::string& args) { return Cli(args, dir.str()); }
  /// The document `args --json` prints, which must end with `status`; it is kept for
  /// the schema check.
  nlohmann::json Json(const std::string& args, int status) {
    const CliRun run = InDir(args + " --json");
    EXPECT_EQ(run.status, status) << run.err;
    KeepDocument(run.out);
    nlohmann::json doc = nlohmann::json::parse(run.out, nullptr, false);
    EXPECT_FALSE(doc.is_discarded()) << "not a JSON document: " << run.out;
    return doc;
  }
};

}  // namespace folvane::testing
