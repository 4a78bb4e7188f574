// The test helpers that need the Windows API.
#include <windows.h>

#include "test_support.hpp"

namespace folvane::testing {

ProgramRun RunProgram(const std::string& exe, const std::string& args, const std::string& cwd) {
  TempDir io;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  auto open = [&](const std::string& path, DWORD access, DWORD disposition) {
    return ::CreateFileW(FsPath(path).wstring().c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                         disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  const HANDLE in = open("NUL", GENERIC_READ, OPEN_EXISTING);
  const HANDLE out = open(io / "out", GENERIC_WRITE, CREATE_ALWAYS);
  const HANDLE err = open(io / "err", GENERIC_WRITE, CREATE_ALWAYS);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in;
  si.hStdOutput = out;
  si.hStdError = err;
  PROCESS_INFORMATION pi{};
  std::wstring line = L"\"" + FsPath(exe).wstring() + L"\" " + FsPath(args).wstring();
  const std::wstring folder = FsPath(cwd).wstring();
  int status = -1;
  if (::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, folder.c_str(), &si, &pi)) {
    if (::WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0) {
      DWORD code = 0;
      ::GetExitCodeProcess(pi.hProcess, &code);
      status = static_cast<int>(code);
    } else {
      ::TerminateProcess(pi.hProcess, 255);
    }
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
  }
  for (HANDLE h : {in, out, err}) ::CloseHandle(h);
  const Bytes o = ReadFile(io / "out"), e = ReadFile(io / "err");
  return {status, std::string(o.begin(), o.end()), std::string(e.begin(), e.end())};
}

}  // namespace folvane::testing
