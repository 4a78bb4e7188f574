// folvane-cli: the merge and the .part files from the command line, for build
// pipelines. Every job is loaded as the window's IMPORT loads it and merged by the
// same core code, so a job merged here gives the same files as in the window.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli.hpp"
#include "io/console.hpp"
#include "io/file_io.hpp"
#include "version.hpp"

namespace folvane::cli {

namespace {

const Command* const kCommands[] = {&kMergeCommand, &kCheckCommand, &kVerifyCommand,
                                     &kShowCommand,  &kTableCommand, &kNewCommand, &kEccCommand};

void PrintMainHelp(std::FILE* out) {
  std::fprintf(out, "Usage: folvane-cli COMMAND [ARGS]\n\ncommands:\n");
  for (const Command* c : kCommands) std::fprintf(out, "  %-8s %s\n", c->name, c->summary);
  std::fprintf(out,
               "\n"
               "  --help       this text; COMMAND --help for one command\n"
               "  --version    the version\n");
}

int MainUsage(const std::string& problem) {
  std::fprintf(stderr, "folvane-cli: %s\n", problem.c_str());
  PrintMainHelp(stderr);
  return kExitUsage;
}

// FOLVANE_TEST_SIGNAL_IN_COMMIT=N: the signal N is sent to the process between the
// exchanges of the commit, where it must wait until every output is in place, on
// whichever thread takes it. For tests only.
int gSignalInCommit = 0;
extern "C" void RaiseInCommit() { folvane::SignalProcess(gSignalInCommit); }
void TestSeams() {
  if (const char* sig = std::getenv("FOLVANE_TEST_SIGNAL_IN_COMMIT")) {
    gSignalInCommit = std::atoi(sig);
    if (gSignalInCommit > 0) TestHooks().betweenExchanges = RaiseInCommit;
  }
}

// Whatever a command printed on standard output must have arrived: a document lost
// on a full disk or a closed pipe is a failure, not a success. Buffered bytes are
// flushed here and a write error noted by the stream at any time counts.
int CloseStandardOutput(int status) {
  errno = 0;
  const bool lost = std::ferror(stdout) != 0;
  const bool closed = std::fclose(stdout) == 0;
  if (!lost && closed) return status;
  const int error = errno;
  std::fprintf(stderr, "folvane-cli: standard output: %s\n", error ? std::strerror(error) : "write error");
  return kExitFailed;
}

int Run(int argc, char** argv) {
  if (argc < 2) return MainUsage("no command given");
  const std::string name = argv[1];
  if (name == "--version") {
    std::printf("folvane-cli %s\n", folvane::kVersion);
    return kExitOk;
  }
  if (name == "--help" || name == "-h") {
    PrintMainHelp(stdout);
    return kExitOk;
  }
  const Command* command = nullptr;
  for (const Command* c : kCommands) {
    if (name == c->name) command = c;
  }
  if (!command) return MainUsage("unknown command '" + name + "'");
  const Args args = Parse(argc, argv, 2, command->grammar);
  if (args.help) {
    std::printf("%s", command->help);
    return kExitOk;
  }
  if (!args.error.empty()) return Usage(*command, args.error);
  return command->run(args);
}

}  // namespace

}  // namespace folvane::cli

int main(int argc, char** argv) {
  using namespace folvane::cli;
  // Before any file of ours is opened: a closed standard stream must not make an
  // output file take its descriptor and receive our messages.
  folvane::EnsureStandardStreams();
  folvane::RemovePartialOutputsOnSignals();
  TestSeams();
  const folvane::ConsoleSession console(argc, argv);
  return CloseStandardOutput(Run(argc, argv));
}
