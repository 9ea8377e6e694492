// A stand-in for Windows PowerShell (powershell.exe), for tests of
// NfcDriver.cmd under Wine, whose powershell.exe answers nothing: the
// script asks it whether a device waits for a restart. Put over the one in
// the system folder of a throwaway Wine prefix.
//
//   NFCSIM_POWERSHELL        what to print as the answer, one line (nothing
//                            when unset, as Wine's own)
//   NFCSIM_POWERSHELL_TRACE  a file that gets each command line, one a line
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::wstring environment(const wchar_t* name) {
  wchar_t value[1024];
  const DWORD length = GetEnvironmentVariableW(name, value, 1024);
  return length > 0 && length < 1024 ? std::wstring(value, length) : std::wstring();
}

}  // namespace

int wmain() {
  const std::wstring trace = environment(L"NFCSIM_POWERSHELL_TRACE");
  if (!trace.empty()) {
    FILE* file = _wfopen(trace.c_str(), L"ab");
    if (file != nullptr) {
      std::fprintf(file, "%ls\n", GetCommandLineW());
      std::fclose(file);
    }
  }
  const std::wstring answer = environment(L"NFCSIM_POWERSHELL");
  if (!answer.empty()) std::printf("%ls\r\n", answer.c_str());
  return 0;
}
