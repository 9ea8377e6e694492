/* A DIFxAPI.dll stand-in for the README check: both entry points answer the
 * result code given in NFC_DIFX_RESULT (hexadecimal, default 0), so that the
 * real Tamvik.exe prints every install and uninstall outcome under Wine,
 * whose own DIFxAPI answers 0 to everything. Put it beside Tamvik.exe and
 * start with WINEDLLOVERRIDES=difxapi=n. */
#include <windows.h>

#include <stdlib.h>

static DWORD scripted_result(void) {
  char text[32];
  DWORD length = GetEnvironmentVariableA("NFC_DIFX_RESULT", text, sizeof text);
  return length == 0 || length >= sizeof text ? 0 : (DWORD)strtoul(text, NULL, 16);
}

__declspec(dllexport) DWORD WINAPI DriverPackageInstallW(PCWSTR infPath, DWORD flags, const void* installerInfo,
                                                         BOOL* needReboot) {
  (void)infPath, (void)flags, (void)installerInfo;
  if (needReboot != NULL) *needReboot = FALSE;
  return scripted_result();
}

__declspec(dllexport) DWORD WINAPI DriverPackageUninstallW(PCWSTR infPath, DWORD flags,
                                                           const void* installerInfo, BOOL* needReboot) {
  (void)infPath, (void)flags, (void)installerInfo;
  if (needReboot != NULL) *needReboot = FALSE;
  return scripted_result();
}
