// Sets up and steers the NFC-ME firmware stand-in driver in a Wine prefix.
//
//   nfcmesim_ctl install <inf> <hardware id>   root device + driver install
//   nfcmesim_ctl wait <ms>                     until the HECI interface is there
//   nfcmesim_ctl gone <ms>                     until it is not
//   nfcmesim_ctl scenario <text>               scenario for the next opens
//   nfcmesim_ctl trace <DOS path>|""           where the driver traces
//   nfcmesim_ctl hold <ms>                     waits for the interface, says
//                                              "ready", then keeps the Wine
//                                              session (and the driver) up
//   nfcmesim_ctl connect <ms>                  connects to the NFC-ME client,
//                                              says "connected", and holds
//                                              the connection until standard
//                                              input ends or <ms> have passed
//   nfcmesim_ctl serve                         as hold, then takes the verbs
//                                              wait, gone, scenario and trace
//                                              as lines on standard input and
//                                              answers each with one line:
//                                              "ok", or what failed; ends
//                                              with standard input
//
// Runs as a 64-bit program (wine64): a 32-bit installer ignores the INF's
// NTamd64 sections and installs nothing. Exit code 0 on success; failures
// are printed with the system's error code.
#include <windows.h>
#include <newdev.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "nfcme_wire.h"

namespace {

constexpr GUID kHeciInterfaceClass = NFCME_WIRE_HECI_INTERFACE_CLASS;
constexpr GUID kSystemClass = {
    0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\nfcmesim";

int fail(const char* what) {
  std::printf("nfcmesim_ctl: %s failed, error %lu\n", what, GetLastError());
  return 1;
}

int install(const wchar_t* inf, const wchar_t* hardwareId) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(&kSystemClass, nullptr);
  if (set == INVALID_HANDLE_VALUE) return fail("SetupDiCreateDeviceInfoList");
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  if (!SetupDiCreateDeviceInfoW(set, L"System", &kSystemClass, nullptr, nullptr, DICD_GENERATE_ID,
                                &device)) {
    SetupDiDestroyDeviceInfoList(set);
    return fail("SetupDiCreateDeviceInfoW");
  }
  // A multi-string: the ID, its terminator and the list's terminator.
  std::wstring ids(hardwareId);
  ids.push_back(L'\0');
  ids.push_back(L'\0');
  if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                         reinterpret_cast<const BYTE*>(ids.data()),
                                         static_cast<DWORD>(ids.size() * sizeof(wchar_t))) ||
      !SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
    SetupDiDestroyDeviceInfoList(set);
    return fail("registering the root device");
  }
  SetupDiDestroyDeviceInfoList(set);
  BOOL reboot = FALSE;
  if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, hardwareId, inf, INSTALLFLAG_FORCE, &reboot)) {
    return fail("UpdateDriverForPlugAndPlayDevicesW");
  }
  return 0;
}

bool interfacePresent() {
  HDEVINFO set = SetupDiGetClassDevsW(&kHeciInterfaceClass, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return false;
  SP_DEVICE_INTERFACE_DATA data = {};
  data.cbSize = sizeof data;
  const bool found = SetupDiEnumDeviceInterfaces(set, nullptr, &kHeciInterfaceClass, 0, &data);
  SetupDiDestroyDeviceInfoList(set);
  return found;
}

int waitForInterface(unsigned ms, bool present) {
  const ULONGLONG end = GetTickCount64() + ms;
  do {
    if (interfacePresent() == present) return 0;
    Sleep(20);
  } while (GetTickCount64() < end);
  std::printf("nfcmesim_ctl: the HECI interface is %s after %u ms\n", present ? "absent" : "still there", ms);
  return 1;
}

int setValue(const wchar_t* name, const wchar_t* text) {
  HKEY key;
  LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                            nullptr);
  if (rc == ERROR_SUCCESS) {
    rc = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                        static_cast<DWORD>((std::wcslen(text) + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
  }
  if (rc != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(rc));
    return fail("setting the registry value");
  }
  return 0;
}

// The device path of the first HECI interface, or "" when there is none.
std::wstring interfacePath() {
  HDEVINFO set = SetupDiGetClassDevsW(&kHeciInterfaceClass, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return L"";
  std::wstring path;
  SP_DEVICE_INTERFACE_DATA data = {};
  data.cbSize = sizeof data;
  DWORD size = 0;
  if (SetupDiEnumDeviceInterfaces(set, nullptr, &kHeciInterfaceClass, 0, &data)) {
    SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
  }
  if (size > sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
    std::string buffer(size, '\0');
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof *detail;
    if (SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, nullptr)) path = detail->DevicePath;
  }
  SetupDiDestroyDeviceInfoList(set);
  return path;
}

DWORD WINAPI readToTheEnd(void*) {
  char byte;
  DWORD got = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &got, nullptr) && got != 0) {
  }
  return 0;
}

// Another program holding the client, for as long as the caller wants: a
// test of what a second program sees must not depend on how fast the first
// one runs.
int connectAndHold(unsigned ms) {
  const std::wstring path = interfacePath();
  if (path.empty()) {
    SetLastError(ERROR_NOT_FOUND);
    return fail("finding the HECI interface");
  }
  HANDLE device = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) return fail("opening the HECI interface");
  unsigned char guid[sizeof kNfcMeWireClientGuid];
  std::memcpy(guid, kNfcMeWireClientGuid, sizeof guid);
  unsigned char answer[NFCME_WIRE_IOCTL_ANSWER_LENGTH];
  DWORD got = 0;
  if (!DeviceIoControl(device, NFCME_WIRE_IOCTL_CONNECT_CLIENT, guid, sizeof guid, answer, sizeof answer, &got,
                       nullptr)) {
    const int rc = fail("connecting to the NFC-ME client");
    CloseHandle(device);
    return rc;
  }
  std::printf("connected\n");
  std::fflush(stdout);
  HANDLE reader = CreateThread(nullptr, 0, readToTheEnd, nullptr, 0, nullptr);
  if (reader != nullptr) {
    WaitForSingleObject(reader, ms);
  } else {
    Sleep(ms);
  }
  CloseHandle(device);
  return 0;
}

int waitFor(const wchar_t* verb, const wchar_t* ms) {
  return waitForInterface(static_cast<unsigned>(std::wcstoul(ms, nullptr, 10)), std::wcscmp(verb, L"wait") == 0);
}

// Steering without a program start per step: in an emulated machine each
// start of a Windows program costs seconds, and a test steers the driver
// several times per run of the program it tests.
int serve() {
  if (waitForInterface(20000, true) != 0) return 1;
  std::printf("ready\n");
  std::fflush(stdout);
  char line[4096];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    const size_t n = std::strcspn(line, "\r\n");
    line[n] = '\0';
    // The line is UTF-8; the verb ends at the first space, the argument is
    // the rest (a scenario has spaces and may be empty).
    wchar_t wide[4096];
    if (MultiByteToWideChar(CP_UTF8, 0, line, -1, wide, 4096) == 0) wide[0] = L'\0';
    wchar_t* argument = std::wcschr(wide, L' ');
    if (argument != nullptr) *argument++ = L'\0';
    const wchar_t* verb = wide;
    const wchar_t* value = argument != nullptr ? argument : L"";
    int rc = 2;
    if (std::wcscmp(verb, L"wait") == 0 || std::wcscmp(verb, L"gone") == 0) {
      rc = waitFor(verb, value);
    } else if (std::wcscmp(verb, L"scenario") == 0) {
      rc = setValue(L"Scenario", value);
    } else if (std::wcscmp(verb, L"trace") == 0) {
      rc = setValue(L"Trace", value);
    } else {
      std::printf("nfcmesim_ctl: unknown command %s\n", line);
    }
    if (rc == 0) std::printf("ok\n");
    std::fflush(stdout);
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring verb = argc > 1 ? argv[1] : L"";
  if (verb == L"install" && argc == 4) return install(argv[2], argv[3]);
  if ((verb == L"wait" || verb == L"gone") && argc == 3) return waitFor(argv[1], argv[2]);
  if (verb == L"scenario" && argc == 3) return setValue(L"Scenario", argv[2]);
  if (verb == L"trace" && argc == 3) return setValue(L"Trace", argv[2]);
  if (verb == L"hold" && argc == 3) {
    // One program starts the session: a caller that starts others only
    // after "ready" never has two racing through the session's start.
    if (waitForInterface(20000, true) != 0) return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
    return 0;
  }
  if (verb == L"connect" && argc == 3) return connectAndHold(static_cast<unsigned>(std::wcstoul(argv[2], nullptr, 10)));
  if (verb == L"serve" && argc == 2) return serve();
  std::printf(
      "usage: nfcmesim_ctl install <inf> <hwid> | wait <ms> | gone <ms> | scenario <text> | trace <path> | "
      "hold <ms> | connect <ms> | serve\n");
  return 2;
}
