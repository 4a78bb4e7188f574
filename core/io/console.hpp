#pragma once
// What the command line needs of the system it runs on beyond files: its terminal,
// its locale, the clock, the machine's name and its signals. The systems differ here;
// the command line does not.

#include <ctime>
#include <memory>
#include <optional>
#include <string>

namespace folvane {

/// Whether standard error is a terminal that a person reads.
bool StandardErrorIsTerminal();

/// Standard output, where it is a terminal: its width in columns (0 where unknown) and
/// whether it shows escape sequences (Windows' console is asked to, and then does).
struct TerminalOutput {
  bool terminal = false;
  int columns = 0;
  bool escapes = false;
};
TerminalOutput PrepareTerminalOutput();

/// Whether the locale's character set (LC_ALL, LC_CTYPE, LANG) is UTF-8; the
/// program's own locale is left as it was. Always so on Windows, where the command
/// line writes UTF-8 to a console set to show it.
bool LocaleIsUtf8();

/// Whether a backslash separates folders in a path (Windows), rather than being a
/// character of a name.
bool BackslashSeparatesPaths();

/// The machine's name in UTF-8; empty where the system gives none.
std::string HostName();

/// `t` broken down in UTC; nothing where the system cannot.
std::optional<std::tm> UtcTime(std::time_t t);

/// Sends `signal` to this whole process, for any of its threads to take.
void SignalProcess(int signal);

/// The command line as the program sees it for as long as this lives: its arguments in
/// UTF-8 (Windows hands main() the ANSI code page, which cannot hold every file name,
/// so they are taken from the wide command line), and its standard output and error
/// writing bytes unchanged, "\n" as "\n", to a console set to show UTF-8.
class ConsoleSession {
 public:
  ConsoleSession(int& argc, char**& argv);
  ~ConsoleSession();
  ConsoleSession(const ConsoleSession&) = delete;
  ConsoleSession& operator=(const ConsoleSession&) = delete;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace folvane
