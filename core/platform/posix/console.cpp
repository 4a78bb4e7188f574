#include "io/console.hpp"

#include <langinfo.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cctype>
#include <clocale>
#include <cstdlib>
#include <cstring>

namespace folvane {

bool StandardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

TerminalOutput PrepareTerminalOutput() {
  TerminalOutput out;
  out.terminal = ::isatty(STDOUT_FILENO) == 1;
  winsize size{};
  if (out.terminal && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) out.columns = size.ws_col;
  out.escapes = out.terminal;
  return out;
}

bool LocaleIsUtf8() {
  const char* now = std::setlocale(LC_CTYPE, nullptr);
  const std::string saved = now ? now : "C";
  bool utf8 = false;
  if (std::setlocale(LC_CTYPE, "")) {
    const char* set = ::nl_langinfo(CODESET);
    utf8 = set && (std::strcmp(set, "UTF-8") == 0 || std::strcmp(set, "utf8") == 0);
  } else {
    // A locale that is not installed still names its character set.
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
      const char* v = std::getenv(name);
      if (!v || !*v) continue;
      std::string lower(v);
      for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      utf8 = lower.find("utf-8") != std::string::npos || lower.find("utf8") != std::string::npos;
      break;
    }
  }
  std::setlocale(LC_CTYPE, saved.c_str());
  return utf8;
}

bool BackslashSeparatesPaths() { return false; }

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

std::optional<std::tm> UtcTime(std::time_t t) {
  std::tm tm{};
  if (!::gmtime_r(&t, &tm)) return std::nullopt;
  return tm;
}

void SignalProcess(int signal) { ::kill(::getpid(), signal); }

// The arguments arrive as the bytes of the file names; nothing to change.
struct ConsoleSession::State {};
ConsoleSession::ConsoleSession(int&, char**&) {}
ConsoleSession::~ConsoleSession() = default;

}  // namespace folvane
