// folvane-cli: the merge and the .part files from the command line, for build
// pipelines. Every job runs through the same in-memory form and core procedures as
// the window, so a job merged here gives the same files as in the window.

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>

#include "platform/windows/win_text.hpp"
#endif

#include "cli.hpp"
#include "io/file_io.hpp"

namespace folvane::cli {

namespace {

constexpr const char* kVersion = "folvane-cli 1.4.0";

const Command kCommands[] = {
    {"merge", "merge a saved job",
     "Usage: folvane-cli merge JOB.part [--table FILE] [--data FILE] [--manifest FILE ...]\n"
     "                         [--json]\n"
     "\n"
     "Loads JOB.part as IMPORT does and merges it as the Merge button does. --table and\n"
     "--data replace the saved output paths. Each output is written under a new name\n"
     "beside it (NAME.folvane-partial-PID) and takes the old one's place only when the\n"
     "whole merge has succeeded: a failed or interrupted merge leaves the previous\n"
     "outputs as they were. Messages and status texts go to standard error.\n"
     "\n"
     "--manifest FILE writes, after \"Done!\", the SHA-256 and CRC-32 of the data image,\n"
     "of the table and of each partition's blocks, hashed while they are written. A\n"
     "FILE whose name ends in .json gets the full record in JSON; any other FILE the\n"
     "two output files' lines in the format of sha256sum -c. Give it twice for both.\n"
     "--json prints the result as one JSON document on standard output\n"
     "(docs/cli-json.md).\n"
     "Exit status: 0 done, 1 done but a message was shown, 2 ended early (or the\n"
     "manifest could not be written), 64 usage.\n",
     {{"table", "data", "manifest"}, {"manifest"}, {"json"}},
     RunMerge},
    {"check", "say what a merge of a saved job would do, writing nothing",
     "Usage: folvane-cli check JOB.part [--table FILE] [--data FILE] [--json]\n"
     "\n"
     "Runs the merge of JOB.part without creating or writing anything: for each ticked\n"
     "row, whether the merge takes it (and if not, which rule it breaks), the image's\n"
     "size in bytes and blocks as measured now, its range, its spare blocks and its\n"
     "byte offset in the data image; then the data image's size and whether the\n"
     "outputs could be created. Messages the merge would show go to standard error.\n"
     "Exit status: 0 the merge would take every ticked row, 1 it would leave rows out\n"
     "or show messages, 2 it would end early, 64 usage.\n",
     {{"table", "data"}, {}, {"json"}},
     RunCheck},
    {"verify", "compare a merge's outputs with the job or a manifest",
     "Usage: folvane-cli verify JOB.part [--table FILE] [--data FILE] [--json]\n"
     "       folvane-cli verify --manifest FILE [--table FILE] [--data FILE] [--json]\n"
     "\n"
     "Reads the table and the data image back and compares them with what a merge of\n"
     "JOB.part writes from the images as they are now: the table's 512 bytes, each\n"
     "partition's blocks (its image, padded with 0xFF), the 0xFF blocks between\n"
     "partitions, and where the data image ends. Names the first differing block of\n"
     "each partition and fill. With --manifest, compares the files with the digests a\n"
     "merge recorded (a .json manifest), without the images; the paths default to\n"
     "those in the manifest.\n"
     "Exit status: 0 they match, 1 they differ, 2 something cannot be read, 64 usage.\n",
     {{"table", "data", "manifest"}, {}, {"json"}},
     RunVerify},
    {"show", "print a saved job",
     "Usage: folvane-cli show JOB.part [--json]\n"
     "\n"
     "Prints the output paths, the block mode and every saved row of JOB.part. Control\n"
     "characters in stored paths are printed as escapes such as \\x1B. --json prints\n"
     "one JSON document instead (docs/cli-json.md).\n",
     {{}, {}, {"json"}},
     RunShow},
    {"table", "print and check a partition table file",
     "Usage: folvane-cli table FILE [--json]\n"
     "\n"
     "Prints the records of a partition table file. Exit status 1 if the file is not\n"
     "512 bytes, holds more than 16 records, a reserved word is not 0xFFFFFFFF, a record\n"
     "follows the first all-0xFF one, or a record's start lies after its end, its image\n"
     "is longer than its range, or it does not start after the record before it.\n"
     "--json prints the records and the problems as one JSON document.\n",
     {{}, {}, {"json"}},
     RunTable},
    {"new", "save a job as the window's EXPORT would",
     "Usage: folvane-cli new JOB.part --mode N [--table FILE] [--data FILE]\n"
     "                   --row IMAGE:START:END [--row ...]\n"
     "\n"
     "Writes the .part file that EXPORT writes with these rows checked in order. N is\n"
     "the block mode, 0 to 15. START and END are hexadecimal block numbers as typed in\n"
     "the window (at most 10000, at most 9 characters). Each image is measured in\n"
     "blocks of that mode. All paths are stored as absolute paths.\n",
     {{"mode", "table", "data", "row"}, {"row"}, {}},
     RunNew},
};

void PrintMainHelp(std::FILE* out) {
  std::fprintf(out, "Usage: folvane-cli COMMAND [ARGS]\n\ncommands:\n");
  for (const Command& c : kCommands) std::fprintf(out, "  %-8s %s\n", c.name, c.summary);
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

// A merge interrupted by a signal, or crashing, takes the new files of its outputs
// with it; the old outputs were never touched.
extern "C" void OnFatalSignal(int sig) {
  RemovePartialOutputs();
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

void InstallSignalHandlers() {
#ifdef SIGPIPE
  // A reader of our messages that goes away, or a file-size limit, must not kill a
  // merge: the write then fails and is reported like any other.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  for (int sig : {SIGHUP, SIGQUIT, SIGBUS}) std::signal(sig, OnFatalSignal);
#endif
  // Windows has only these; Ctrl+C and Ctrl+Break arrive as SIGINT and SIGBREAK.
  for (int sig : {SIGINT, SIGTERM, SIGSEGV, SIGABRT, SIGFPE, SIGILL}) std::signal(sig, OnFatalSignal);
#ifdef SIGBREAK
  std::signal(SIGBREAK, OnFatalSignal);
#endif
}

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

}  // namespace

const Command& CommandNamed(const std::string& name) {
  for (const Command& c : kCommands) {
    if (name == c.name) return c;
  }
  return kCommands[0];
}

}  // namespace folvane::cli

int main(int argc, char** argv) {
  using namespace folvane::cli;
  // Before any file of ours is opened: a closed standard stream must not make an
  // output file take its descriptor and receive our messages.
  folvane::EnsureStandardStreams();
  InstallSignalHandlers();
#ifdef _WIN32
  WindowsConsole console;
  if (console.args.size() == static_cast<std::size_t>(argc)) {
    argv = console.argv.data();
  }
#endif
  if (argc < 2) return MainUsage("no command given");
  const std::string name = argv[1];
  if (name == "--version") {
    std::printf("%s\n", kVersion);
    return kExitOk;
  }
  if (name == "--help" || name == "-h") {
    PrintMainHelp(stdout);
    return kExitOk;
  }
  const Command* command = nullptr;
  for (const Command& c : kCommands) {
    if (name == c.name) command = &c;
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
