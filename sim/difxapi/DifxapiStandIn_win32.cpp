// A DIFxAPI.dll stand-in, so that every DIFx answer runs through the
// unmodified Tamvik.exe. The environment of the process scripts it:
//
//   NFCSIM_DIFX="install=0xE000020B;uninstall=0xE0000302"
//       what each entry point answers (numbers in C notation; 0 where the
//       variable does not name it). "crash" instead of a number makes the
//       call fault with an access violation.
//   NFCSIM_DIFX_TRACE=<file>
//       one line per call appended to <file>: the entry point, the flags,
//       whether installer information and a reboot flag were passed, the
//       process error mode, and the INF path (UTF-8).
//
// The reboot flag, where one is passed, is set to TRUE: the caller is not
// meant to read it.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string environment(const char* name) {
  char value[1024];
  const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

// The scripted answer of `key` ("install" or "uninstall"); `crash` set when
// the call is to fault.
DWORD scriptedAnswer(const char* key, bool* crash) {
  const std::string script = environment("NFCSIM_DIFX");
  const std::string wanted = std::string(key) + "=";
  size_t at = 0;
  while (at < script.size()) {
    size_t end = script.find(';', at);
    if (end == std::string::npos) {
      end = script.size();
    }
    const std::string item = script.substr(at, end - at);
    if (item.compare(0, wanted.size(), wanted) == 0) {
      const std::string value = item.substr(wanted.size());
      if (value == "crash") {
        *crash = true;
        return 0;
      }
      return static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 0));
    }
    at = end + 1;
  }
  return ERROR_SUCCESS;
}

void trace(const char* function, PCWSTR infPath, DWORD flags, const void* installerInfo, const BOOL* needReboot) {
  const std::string file = environment("NFCSIM_DIFX_TRACE");
  if (file.empty()) {
    return;
  }
  std::string path;
  if (infPath != nullptr) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, infPath, -1, nullptr, 0, nullptr, nullptr);
    if (size > 1) {
      path.resize(static_cast<size_t>(size) - 1);
      WideCharToMultiByte(CP_UTF8, 0, infPath, -1, &path[0], size, nullptr, nullptr);
    }
  }
  FILE* out = std::fopen(file.c_str(), "ab");
  if (out == nullptr) {
    return;
  }
  std::fprintf(out, "%s flags=%lu info=%s reboot=%s errormode=0x%X path=%s\n", function,
               static_cast<unsigned long>(flags), installerInfo != nullptr ? "set" : "null",
               needReboot != nullptr ? "set" : "null", GetErrorMode(), path.c_str());
  std::fclose(out);
}

DWORD answer(const char* function, const char* key, PCWSTR infPath, DWORD flags, const void* installerInfo,
             BOOL* needReboot) {
  trace(function, infPath, flags, installerInfo, needReboot);
  bool crash = false;
  const DWORD result = scriptedAnswer(key, &crash);
  if (crash) {
    // A fault inside the DLL, as a broken or mismatched DIFxAPI.dll would
    // cause: the process must end, not wait on an error dialog.
    RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  }
  if (needReboot != nullptr) {
    *needReboot = TRUE;
  }
  return result;
}

}  // namespace

extern "C" {

DWORD WINAPI DriverPackageInstallW(PCWSTR infPath, DWORD flags, const void* installerInfo,
                                                         BOOL* needReboot) {
  return answer("DriverPackageInstallW", "install", infPath, flags, installerInfo, needReboot);
}

DWORD WINAPI DriverPackageUninstallW(PCWSTR infPath, DWORD flags, const void* installerInfo,
                                                           BOOL* needReboot) {
  return answer("DriverPackageUninstallW", "uninstall", infPath, flags, installerInfo, needReboot);
}

}  // extern "C"
