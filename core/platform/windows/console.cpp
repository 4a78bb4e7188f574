#include "io/console.hpp"

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>

#include <csignal>
#include <cstdio>
#include <vector>

#include "platform/windows/win_text.hpp"

namespace folvane {

bool StandardErrorIsTerminal() { return ::_isatty(::_fileno(stderr)) != 0; }

TerminalOutput PrepareTerminalOutput() {
  TerminalOutput out;
  out.terminal = ::_isatty(::_fileno(stdout)) != 0;
  const HANDLE handle = ::GetStdHandle(STD_OUTPUT_HANDLE);
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (out.terminal && ::GetConsoleScreenBufferInfo(handle, &info)) {
    out.columns = info.srWindow.Right - info.srWindow.Left + 1;
  }
  // The console shows escape sequences only once asked to.
  DWORD mode = 0;
  out.escapes = out.terminal && ::GetConsoleMode(handle, &mode) &&
                ::SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  return out;
}

bool LocaleIsUtf8() { return true; }

bool BackslashSeparatesPaths() { return true; }

std::string HostName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!::GetComputerNameW(name, &size)) return {};
  return Utf8FromWide(std::wstring(name, size));
}

std::optional<std::tm> UtcTime(std::time_t t) {
  std::tm tm{};
  if (::gmtime_s(&tm, &t) != 0) return std::nullopt;
  return tm;
}

void SignalProcess(int signal) { std::raise(signal); }

struct ConsoleSession::State {
  std::vector<std::string> args;
  std::vector<char*> argv;
  UINT oldOutputCp = ::GetConsoleOutputCP();
};

ConsoleSession::ConsoleSession(int& argc, char**& argv) : state_(std::make_unique<State>()) {
  int count = 0;
  if (LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
    for (int i = 0; i < count; ++i) state_->args.push_back(Utf8FromWide(wide[i]));
    ::LocalFree(wide);
  }
  for (auto& a : state_->args) state_->argv.push_back(a.data());
  state_->argv.push_back(nullptr);
  if (state_->args.size() == static_cast<std::size_t>(argc)) argv = state_->argv.data();
  ::_setmode(::_fileno(stdout), _O_BINARY);
  ::_setmode(::_fileno(stderr), _O_BINARY);
  if (state_->oldOutputCp != 0) ::SetConsoleOutputCP(CP_UTF8);
}

ConsoleSession::~ConsoleSession() {
  if (state_->oldOutputCp != 0) ::SetConsoleOutputCP(state_->oldOutputCp);
}

}  // namespace folvane
