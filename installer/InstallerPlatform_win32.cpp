// The Windows platform: DIFxAPI, SetupAPI, the configuration manager and
// FormatMessageW; the in-box driver-store operations are in
// InboxDriverStore_win32.cpp.
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstring>

#include "InboxDriverStore.h"
#include "InstallerSystem.h"

namespace tamvik {
namespace {

static_assert(kDriverPackageForce == 4, "DRIVER_PACKAGE_FORCE");
static_assert(kCmLocateDevnodeNormal == CM_LOCATE_DEVNODE_NORMAL, "CM_LOCATE_DEVNODE_NORMAL");
static_assert(kCmReenumerateNormal == CM_REENUMERATE_NORMAL, "CM_REENUMERATE_NORMAL");
static_assert(kCrSuccess == CR_SUCCESS, "CR_SUCCESS");
static_assert(kDicdGenerateId == DICD_GENERATE_ID, "DICD_GENERATE_ID");
static_assert(kSpdrpHardwareId == SPDRP_HARDWAREID, "SPDRP_HARDWAREID");
static_assert(kDifRegisterDevice == DIF_REGISTERDEVICE, "DIF_REGISTERDEVICE");
static_assert(kErrorCallNotImplemented == ERROR_CALL_NOT_IMPLEMENTED, "ERROR_CALL_NOT_IMPLEMENTED");
static_assert(kErrorNoMoreItems == ERROR_NO_MORE_ITEMS, "ERROR_NO_MORE_ITEMS");
static_assert(kErrorNoSuchDevinst == ERROR_NO_SUCH_DEVINST, "ERROR_NO_SUCH_DEVINST");
static_assert(kLanguageNeutralDefault == MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), "language");
static_assert(sizeof(InstallerGuid) == sizeof(GUID), "GUID layout");
static_assert(sizeof(DeviceInfoRecord) == sizeof(SP_DEVINFO_DATA), "SP_DEVINFO_DATA layout");
static_assert(sizeof(int32_t) == sizeof(BOOL), "BOOL");
static_assert(sizeof(DeviceInfoSet) == sizeof(HDEVINFO), "HDEVINFO");

// DIFxAPI has no header or import library in the toolchain, and the DLL is
// not part of current Windows: installers ship it beside the program. It is
// therefore loaded at run time, from the program's folder only, so that
// Tamvik starts without it. The load error is kept: every later operation
// answers the same.
struct INSTALLERINFO_W {
  PWSTR pApplicationId;
  PWSTR pDisplayName;
  PWSTR pProductName;
  PWSTR pMfgName;
};
using DriverPackageFunction = DWORD(WINAPI*)(PCWSTR infPath, DWORD flags,
                                             const INSTALLERINFO_W* installerInfo, BOOL* needReboot);

// The last error of a failed load; never 0, so a failure cannot pass for
// success.
uint32_t lastErrorOr(DWORD fallback) {
  const DWORD error = GetLastError();
  return error != 0 ? error : fallback;
}

GUID toGuid(const InstallerGuid& in) {
  GUID out;
  std::memcpy(&out, &in, sizeof out);
  return out;
}

InstallerGuid fromGuid(const GUID& in) {
  InstallerGuid out;
  std::memcpy(&out, &in, sizeof out);
  return out;
}

SP_DEVINFO_DATA toDevInfoData(const DeviceInfoRecord& in) {
  SP_DEVINFO_DATA out;
  out.cbSize = in.size;
  out.ClassGuid = toGuid(in.classGuid);
  out.DevInst = in.devInst;
  out.Reserved = static_cast<ULONG_PTR>(in.reserved);
  return out;
}

void fromDevInfoData(const SP_DEVINFO_DATA& in, DeviceInfoRecord* out) {
  out->size = in.cbSize;
  out->classGuid = fromGuid(in.ClassGuid);
  out->devInst = in.DevInst;
  out->reserved = static_cast<uintptr_t>(in.Reserved);
}

HDEVINFO toHandle(DeviceInfoSet set) { return reinterpret_cast<HDEVINFO>(set); }

class WindowsPlatform final : public InstallerPlatform {
 public:
  WindowsPlatform() = default;
  WindowsPlatform(const WindowsPlatform&) = delete;
  WindowsPlatform& operator=(const WindowsPlatform&) = delete;
  ~WindowsPlatform() override {
    if (difx_ != nullptr) {
      FreeLibrary(difx_);
    }
  }

  uint32_t DriverPackageInstallW(const wchar_t* infPath, uint32_t flags, int32_t* needReboot) override {
    return callDifx(install_, infPath, flags, needReboot);
  }

  uint32_t DriverPackageUninstallW(const wchar_t* infPath, uint32_t flags, int32_t* needReboot) override {
    return callDifx(uninstall_, infPath, flags, needReboot);
  }

  uint32_t GetProgramPath(std::wstring* path) override {
    // Grown until the whole path fits: a program under a long path is
    // truncated, not refused, by a buffer that is too small.
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
      const DWORD length = GetModuleFileNameW(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
      if (length == 0) {
        return lastErrorOr(ERROR_GEN_FAILURE);
      }
      if (length < buffer.size()) {
        buffer.resize(length);
        *path = buffer;
        return ERROR_SUCCESS;
      }
      if (buffer.size() >= 32768) {
        return ERROR_FILENAME_EXCED_RANGE;
      }
      buffer.resize(buffer.size() * 2);
    }
  }

  // Both entry points at once, before anything is changed on the system:
  // a DLL that lacks either serves neither operation.
  uint32_t LoadDifxApi(const wchar_t* dllPath) override {
    if (!resolved_) {
      resolveError_ = resolveDifx(dllPath);
      resolved_ = true;
    }
    return resolveError_;
  }

  bool CanShowDialogs() override { return inbox::CanShowDialogs(); }

  void SetupSetNonInteractiveMode(bool nonInteractive) override { ::SetupSetNonInteractiveMode(nonInteractive); }

  uint32_t SetupCopyOEMInfW(const wchar_t* infPath) override { return inbox::StageInf(infPath); }

  uint32_t GetInfDeviceIds(const wchar_t* infPath, std::vector<std::wstring>* ids) override {
    return inbox::InfDeviceIds(infPath, ids);
  }

  uint32_t GetPresentDeviceIds(std::vector<std::wstring>* ids) override { return inbox::PresentDeviceIds(ids); }

  uint32_t UpdateDriverForPlugAndPlayDevicesW(const wchar_t* hardwareId, const wchar_t* infPath, uint32_t flags,
                                              int32_t* needReboot) override {
    return inbox::UpdateDriver(hardwareId, infPath, flags, needReboot);
  }

  uint32_t FindPublishedInf(const wchar_t* infPath, std::wstring* publishedName) override {
    return inbox::FindPublishedInf(infPath, publishedName);
  }

  uint32_t SetupUninstallOEMInfW(const wchar_t* publishedName, uint32_t flags) override {
    return inbox::UninstallPublishedInf(publishedName, flags);
  }

  bool HasDiUninstallDriver() override { return inbox::HasDiUninstallDriver(); }

  uint32_t DiUninstallDriverW(const wchar_t* infPath, uint32_t flags, int32_t* needReboot) override {
    return inbox::DiUninstallDriver(infPath, flags, needReboot);
  }

  uint32_t CM_Locate_DevNodeW(uint32_t* devInst, uint32_t flags) override {
    DEVINST root = 0;
    const CONFIGRET result = ::CM_Locate_DevNodeW(&root, nullptr, flags);
    *devInst = root;
    return result;
  }

  uint32_t CM_Reenumerate_DevNode(uint32_t devInst, uint32_t flags) override {
    return ::CM_Reenumerate_DevNode(devInst, flags);
  }

  bool SetupDiGetINFClassA(const char* infPath, InstallerGuid* classGuid, char* className,
                           uint32_t classNameSize) override {
    GUID guid{};
    const BOOL ok = ::SetupDiGetINFClassA(infPath, &guid, className, classNameSize, nullptr);
    *classGuid = fromGuid(guid);
    return ok != FALSE;
  }

  DeviceInfoSet SetupDiCreateDeviceInfoList(const InstallerGuid* classGuid) override {
    const GUID guid = toGuid(*classGuid);
    return reinterpret_cast<DeviceInfoSet>(::SetupDiCreateDeviceInfoList(&guid, nullptr));
  }

  bool SetupDiCreateDeviceInfoA(DeviceInfoSet set, const char* deviceName, const InstallerGuid* classGuid,
                                uint32_t flags, DeviceInfoRecord* record) override {
    const GUID guid = toGuid(*classGuid);
    SP_DEVINFO_DATA data = toDevInfoData(*record);
    const BOOL ok = ::SetupDiCreateDeviceInfoA(toHandle(set), deviceName, &guid, nullptr, nullptr, flags, &data);
    fromDevInfoData(data, record);
    return ok != FALSE;
  }

  bool SetupDiSetDeviceRegistryPropertyA(DeviceInfoSet set, DeviceInfoRecord* record, uint32_t property,
                                         const uint8_t* bytes, uint32_t length) override {
    SP_DEVINFO_DATA data = toDevInfoData(*record);
    const BOOL ok = ::SetupDiSetDeviceRegistryPropertyA(toHandle(set), &data, property, bytes, length);
    fromDevInfoData(data, record);
    return ok != FALSE;
  }

  bool SetupDiCallClassInstaller(uint32_t installFunction, DeviceInfoSet set, DeviceInfoRecord* record) override {
    SP_DEVINFO_DATA data = toDevInfoData(*record);
    const BOOL ok = ::SetupDiCallClassInstaller(installFunction, toHandle(set), &data);
    fromDevInfoData(data, record);
    return ok != FALSE;
  }

  void SetupDiDestroyDeviceInfoList(DeviceInfoSet set) override { ::SetupDiDestroyDeviceInfoList(toHandle(set)); }

  bool FormatMessageW(uint32_t messageId, uint32_t languageId, std::wstring* text) override {
    LPWSTR buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
        messageId, languageId, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    if (length == 0 || buffer == nullptr) {
      if (buffer != nullptr) {
        LocalFree(buffer);
      }
      return false;
    }
    text->assign(buffer, length);
    LocalFree(buffer);
    return true;
  }

 private:
  // Both entry points at once, so that an operation that changes the system
  // first (the device node of /f) can learn beforehand that the install
  // that follows would fail. A DLL that lacks either one is not used.
  //
  // Only the file at `dllPath` will do. A missing file is not handed to the
  // loader at all: given a full path that does not exist, Wine's loader
  // falls back to its builtin DLL of that name. And the module that loaded
  // must be that file, whatever the loader's own rules preferred.
  uint32_t resolveDifx(const wchar_t* dllPath) {
    const DWORD attributes = GetFileAttributesW(dllPath);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return ERROR_MOD_NOT_FOUND;
    }
    difx_ = LoadLibraryW(dllPath);
    if (difx_ == nullptr) {
      return lastErrorOr(ERROR_MOD_NOT_FOUND);
    }
    wchar_t loaded[4096];
    const DWORD length = GetModuleFileNameW(difx_, loaded, ARRAYSIZE(loaded));
    if (length == 0 || length >= ARRAYSIZE(loaded) ||
        CompareStringOrdinal(loaded, -1, dllPath, -1, TRUE) != CSTR_EQUAL) {
      return ERROR_MOD_NOT_FOUND;
    }
    const FARPROC install = GetProcAddress(difx_, "DriverPackageInstallW");
    const FARPROC uninstall = install != nullptr ? GetProcAddress(difx_, "DriverPackageUninstallW") : nullptr;
    if (uninstall == nullptr) {
      return lastErrorOr(ERROR_PROC_NOT_FOUND);
    }
    install_ = reinterpret_cast<DriverPackageFunction>(reinterpret_cast<void*>(install));
    uninstall_ = reinterpret_cast<DriverPackageFunction>(reinterpret_cast<void*>(uninstall));
    return ERROR_SUCCESS;
  }

  uint32_t callDifx(const DriverPackageFunction& function, const wchar_t* infPath, uint32_t flags,
                    int32_t* needReboot) {
    // Only a DLL that LoadDifxApi accepted is ever called.
    if (!resolved_ || resolveError_ != ERROR_SUCCESS) {
      return resolved_ ? resolveError_ : static_cast<uint32_t>(ERROR_MOD_NOT_FOUND);
    }
    return function(infPath, flags, nullptr, reinterpret_cast<BOOL*>(needReboot));
  }

  HMODULE difx_ = nullptr;
  bool resolved_ = false;
  uint32_t resolveError_ = ERROR_SUCCESS;
  DriverPackageFunction install_ = nullptr;
  DriverPackageFunction uninstall_ = nullptr;
};

}  // namespace

std::unique_ptr<InstallerPlatform> CreateSystemPlatform() { return std::make_unique<WindowsPlatform>(); }

}  // namespace tamvik
