// folvane-cli: the merge and the .part files from the command line, for build
// pipelines. Every job runs through the same in-memory form and core procedures as
// the window, so a job merged here gives the same files as in the window.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>

#include "platform/windows/win_text.hpp"
#else
#include <unistd.h>
#endif

#include "cli.hpp"
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

#ifndef _WIN32
// FOLVANE_TEST_SIGNAL_IN_COMMIT=N: the signal N is sent to the process between the
// exchanges of the commit, where it must wait until every output is in place, on
// whichever thread takes it. For tests only.
int gSignalInCommit = 0;
extern "C" void RaiseInCommit() { ::kill(::getpid(), gSignalInCommit); }
void TestSeams() {
  if (const char* sig = std::getenv("FOLVANE_TEST_SIGNAL_IN_COMMIT")) {
    gSignalInCommit = std::atoi(sig);
    if (gSignalInCommit > 0) TestHooks().betweenExchanges = RaiseInCommit;
  }
}
#else
void TestSeams() {}
#endif

#ifdef _WIN32
// Windows hands main() its arguments in the ANSI code page, which cannot hold every
// file name: take them from the wide command line as UTF-8, like every path inside
// the program. Messages go out as UTF-8 bytes with plain "\n" line ends, the same
// bytes as on every other system; a console is told to show them as UTF-8.
struct WindowsConsole {
  std::vector<std::string> args;
  std::vector<char*> argv;
  UINT oldOutputCp = ::GetConsoleOutputCP();
  WindowsConsole() {
    int count = 0;
    if (LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
      for (int i = 0; i < count; ++i) args.push_back(folvane::Utf8FromWide(wide[i]));
      ::LocalFree(wide);
    }
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::_setmode(::_fileno(stdout), _O_BINARY);
    ::_setmode(::_fileno(stderr), _O_BINARY);
    if (oldOutputCp != 0) ::SetConsoleOutputCP(CP_UTF8);
  }
  ~WindowsConsole() {
    if (oldOutputCp != 0) ::SetConsoleOutputCP(oldOutputCp);
  }
};
#endif

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
#ifdef _WIN32
  WindowsConsole console;
  if (console.args.size() == static_cast<std::size_t>(argc)) {
    argv = console.argv.data();
  }
#endif
  return CloseStandardOutput(Run(argc, argv));
}
