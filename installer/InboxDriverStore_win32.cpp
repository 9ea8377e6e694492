// The in-box driver-store operations on Windows: SetupAPI and newdev, both
// part of every Windows that Tamvik supports.
#include <windows.h>
#include <newdev.h>
#include <setupapi.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "InboxDriverStore.h"
#include "InfModels.h"
#include "InstallerPlatform.h"

namespace tamvik {
namespace inbox {
namespace {

static_assert(kInstallFlagNone == 0, "no INSTALLFLAG_*");
static_assert(kInstallFlagNonInteractive == INSTALLFLAG_NONINTERACTIVE, "INSTALLFLAG_NONINTERACTIVE");
static_assert(kErrorNotAnInstalledOemInf == ERROR_NOT_AN_INSTALLED_OEM_INF, "ERROR_NOT_AN_INSTALLED_OEM_INF");
static_assert(kSuoiForceDelete == SUOI_FORCEDELETE, "SUOI_FORCEDELETE");
static_assert(kErrorFileNotFound == ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND");
static_assert(kErrorInfInUseByDevices == ERROR_INF_IN_USE_BY_DEVICES, "ERROR_INF_IN_USE_BY_DEVICES");

// The last error of a failed call; never 0, so a failure cannot pass for
// success.
uint32_t lastError() {
  const DWORD error = GetLastError();
  return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

struct InfCloser {
  void operator()(void* inf) const { SetupCloseInfFile(inf); }
};
using InfHandle = std::unique_ptr<void, InfCloser>;

struct DevInfoCloser {
  void operator()(void* set) const { SetupDiDestroyDeviceInfoList(set); }
};
using DevInfoHandle = std::unique_ptr<void, DevInfoCloser>;

struct FileCloser {
  void operator()(HANDLE file) const { CloseHandle(file); }
};
using FileHandle = std::unique_ptr<void, FileCloser>;

struct FindCloser {
  void operator()(HANDLE find) const { FindClose(find); }
};
using FindHandle = std::unique_ptr<void, FindCloser>;

// Field `index` of an INF line, with %strings% resolved.
bool field(INFCONTEXT* line, DWORD index, std::wstring* out) {
  DWORD needed = 0;
  if (!SetupGetStringFieldW(line, index, nullptr, 0, &needed) || needed == 0) {
    return false;
  }
  std::wstring text(needed, L'\0');
  if (!SetupGetStringFieldW(line, index, &text[0], needed, &needed)) {
    return false;
  }
  text.resize(std::wcslen(text.c_str()));
  *out = text;
  return true;
}

// The real version, which RtlGetVersion gives whatever the manifest says.
WindowsVersion runningVersion() {
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof info;
  using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOEXW*);
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const FARPROC entry = ntdll != nullptr ? GetProcAddress(ntdll, "RtlGetVersion") : nullptr;
  if (entry != nullptr) {
    reinterpret_cast<RtlGetVersionFunction>(reinterpret_cast<void*>(entry))(&info);
  }
  return {info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber, info.wProductType, info.wSuiteMask};
}

void appendMultiString(const std::vector<wchar_t>& data, std::vector<std::wstring>* out) {
  const wchar_t* p = data.data();
  const wchar_t* end = p + data.size();
  while (p < end && *p != L'\0') {
    const size_t length = wcsnlen(p, static_cast<size_t>(end - p));
    out->emplace_back(p, length);
    p += length + 1;
  }
}

// False when the device has no such property.
bool deviceIds(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property, std::vector<std::wstring>* out) {
  DWORD type = 0;
  DWORD needed = 0;
  SetupDiGetDeviceRegistryPropertyW(set, device, property, &type, nullptr, 0, &needed);
  if (needed == 0) {
    return false;
  }
  // Two more NULs, so a value stored without its terminators still ends.
  std::vector<wchar_t> data(needed / sizeof(wchar_t) + 2, L'\0');
  if (!SetupDiGetDeviceRegistryPropertyW(set, device, property, &type, reinterpret_cast<BYTE*>(data.data()),
                                         needed, nullptr) ||
      type != REG_MULTI_SZ) {
    return false;
  }
  appendMultiString(data, out);
  return true;
}

uint32_t readFile(const wchar_t* path, std::string* out) {
  FileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    file.release();
    return lastError();
  }
  LARGE_INTEGER size{};
  // INFs are text files of some kilobytes; anything past 64 MiB is not one.
  if (!GetFileSizeEx(file.get(), &size)) {
    return lastError();
  }
  if (size.QuadPart > (64 << 20)) {
    return ERROR_FILE_TOO_LARGE;
  }
  out->assign(static_cast<size_t>(size.QuadPart), '\0');
  DWORD done = 0;
  if (!out->empty() && (!ReadFile(file.get(), &(*out)[0], static_cast<DWORD>(out->size()), &done, nullptr) ||
                        done != out->size())) {
    return lastError();
  }
  return ERROR_SUCCESS;
}

// DiUninstallDriverW from the newdev that is already loaded for
// UpdateDriverForPlugAndPlayDevicesW; null before Windows 10 1703.
using DiUninstallDriverFunction = BOOL(WINAPI*)(HWND parent, PCWSTR infPath, DWORD flags, BOOL* needReboot);

DiUninstallDriverFunction diUninstallDriver() {
  const HMODULE newdev = GetModuleHandleW(L"newdev.dll");
  const FARPROC entry = newdev != nullptr ? GetProcAddress(newdev, "DiUninstallDriverW") : nullptr;
  return reinterpret_cast<DiUninstallDriverFunction>(reinterpret_cast<void*>(entry));
}

}  // namespace

uint32_t StageInf(const wchar_t* infPath) {
  if (!SetupCopyOEMInfW(infPath, nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr)) {
    return lastError();
  }
  return ERROR_SUCCESS;
}

uint32_t InfDeviceIds(const wchar_t* infPath, std::vector<std::wstring>* ids) {
  ids->clear();
  UINT errorLine = 0;
  InfHandle inf(SetupOpenInfFileW(infPath, nullptr, INF_STYLE_WIN4, &errorLine));
  if (inf.get() == INVALID_HANDLE_VALUE) {
    inf.release();
    return lastError();
  }
  const WindowsVersion os = runningVersion();
  INFCONTEXT manufacturer;
  for (BOOL more = SetupFindFirstLineW(inf.get(), L"Manufacturer", nullptr, &manufacturer); more;
       more = SetupFindNextLine(&manufacturer, &manufacturer)) {
    std::wstring models;
    if (!field(&manufacturer, 1, &models)) {
      continue;
    }
    std::vector<std::wstring> decorations;
    const DWORD fields = SetupGetFieldCount(&manufacturer);
    for (DWORD i = 2; i <= fields; ++i) {
      std::wstring decoration;
      decorations.push_back(field(&manufacturer, i, &decoration) ? decoration : std::wstring());
    }
    const int best = BestModelsDecoration(decorations, os);
    if (best < 0) {
      continue;
    }
    const std::wstring section = models + L"." + decorations[static_cast<size_t>(best)];
    INFCONTEXT model;
    for (BOOL line = SetupFindFirstLineW(inf.get(), section.c_str(), nullptr, &model); line;
         line = SetupFindNextLine(&model, &model)) {
      // description = install section, hardware ID[, compatible IDs...]
      const DWORD count = SetupGetFieldCount(&model);
      for (DWORD i = 2; i <= count; ++i) {
        std::wstring id;
        if (field(&model, i, &id) && !id.empty()) {
          ids->push_back(id);
        }
      }
    }
  }
  return ERROR_SUCCESS;
}

uint32_t PresentDeviceIds(std::vector<std::wstring>* ids) {
  ids->clear();
  DevInfoHandle set(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT));
  if (set.get() == INVALID_HANDLE_VALUE) {
    set.release();
    return lastError();
  }
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  DWORD index = 0;
  for (; SetupDiEnumDeviceInfo(set.get(), index, &device); ++index) {
    deviceIds(set.get(), &device, SPDRP_HARDWAREID, ids);
    deviceIds(set.get(), &device, SPDRP_COMPATIBLEIDS, ids);
  }
  const DWORD error = GetLastError();
  return error == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : lastError();
}

uint32_t UpdateDriver(const wchar_t* hardwareId, const wchar_t* infPath, uint32_t flags, int32_t* needReboot) {
  BOOL reboot = FALSE;
  const BOOL ok = UpdateDriverForPlugAndPlayDevicesW(nullptr, hardwareId, infPath, flags, &reboot);
  *needReboot = reboot;
  return ok ? ERROR_SUCCESS : lastError();
}

uint32_t FindPublishedInf(const wchar_t* infPath, std::wstring* publishedName) {
  std::string wanted;
  uint32_t error = readFile(infPath, &wanted);
  if (error != ERROR_SUCCESS) {
    return error;
  }
  wchar_t windows[MAX_PATH];
  const UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    return lastError();
  }
  const std::wstring folder = std::wstring(windows) + L"\\inf\\";
  WIN32_FIND_DATAW found;
  FindHandle find(FindFirstFileW((folder + L"*.inf").c_str(), &found));
  if (find.get() == INVALID_HANDLE_VALUE) {
    find.release();
    error = lastError();
    return error == ERROR_FILE_NOT_FOUND ? kErrorDriverPackageNotInStore : error;
  }
  do {
    const uint64_t size = (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || size != wanted.size()) {
      continue;
    }
    std::string content;
    if (readFile((folder + found.cFileName).c_str(), &content) == ERROR_SUCCESS && content == wanted) {
      *publishedName = found.cFileName;
      return ERROR_SUCCESS;
    }
  } while (FindNextFileW(find.get(), &found));
  error = GetLastError();
  return error == ERROR_NO_MORE_FILES ? kErrorDriverPackageNotInStore : lastError();
}

uint32_t UninstallPublishedInf(const wchar_t* publishedName, uint32_t flags) {
  return SetupUninstallOEMInfW(publishedName, flags, nullptr) ? ERROR_SUCCESS : lastError();
}

bool HasDiUninstallDriver() { return diUninstallDriver() != nullptr; }

uint32_t DiUninstallDriver(const wchar_t* infPath, uint32_t flags, int32_t* needReboot) {
  const DiUninstallDriverFunction uninstall = diUninstallDriver();
  if (uninstall == nullptr) {
    return ERROR_PROC_NOT_FOUND;
  }
  BOOL reboot = FALSE;
  const BOOL ok = uninstall(nullptr, infPath, flags, &reboot);
  *needReboot = reboot;
  return ok ? ERROR_SUCCESS : lastError();
}

bool CanShowDialogs() {
  // Since Windows Vista nobody sees session 0, where services and most
  // deployment agents run; a service of its own window station has no
  // visible one at all.
  DWORD session = 0;
  if (!ProcessIdToSessionId(GetCurrentProcessId(), &session) || session == 0) {
    return false;
  }
  USEROBJECTFLAGS flags{};
  const HWINSTA station = GetProcessWindowStation();
  return station != nullptr &&
         GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr) &&
         (flags.dwFlags & WSF_VISIBLE) != 0;
}

}  // namespace inbox
}  // namespace tamvik
