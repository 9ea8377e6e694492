// The operations Tamvik needs from the system, and where its output goes.
//
// The installer logic reaches DIFxAPI, SetupAPI, newdev, the configuration
// manager and FormatMessageW only through InstallerPlatform, and writes only
// through InstallerOutput. The Windows build implements both with the real APIs; other
// builds answer every driver operation with "not supported"; tests script the
// results and record the calls.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tamvik {

// Same layout as the Windows GUID.
struct InstallerGuid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};

// Same fields, in the same order, as SP_DEVINFO_DATA. The caller sets `size`
// before the record is first handed to the platform, as SetupAPI requires.
struct DeviceInfoRecord {
  uint32_t size;
  InstallerGuid classGuid;
  uint32_t devInst;
  uintptr_t reserved;
};

// An HDEVINFO, carried as an integer so that the interface needs no Windows
// headers.
using DeviceInfoSet = uintptr_t;
constexpr DeviceInfoSet kInvalidDeviceInfoSet = ~DeviceInfoSet{0};  // INVALID_HANDLE_VALUE

// Flag and code values of the Windows APIs used by the logic.
constexpr uint32_t kDifxFlagsNone = 0;
constexpr uint32_t kDriverPackageForce = 4;        // DRIVER_PACKAGE_FORCE
constexpr uint32_t kCmLocateDevnodeNormal = 0;     // CM_LOCATE_DEVNODE_NORMAL
constexpr uint32_t kCmReenumerateNormal = 0;       // CM_REENUMERATE_NORMAL
constexpr uint32_t kCrSuccess = 0;                 // CR_SUCCESS
constexpr uint32_t kDicdGenerateId = 1;            // DICD_GENERATE_ID
constexpr uint32_t kSpdrpHardwareId = 1;           // SPDRP_HARDWAREID
constexpr uint32_t kDifRegisterDevice = 0x19;      // DIF_REGISTERDEVICE
constexpr uint32_t kLanguageNeutralDefault = 0x0400;  // MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT)
constexpr uint32_t kInstallFlagNone = 0;           // UpdateDriverForPlugAndPlayDevicesW: never force
constexpr uint32_t kInstallFlagNonInteractive = 4;  // INSTALLFLAG_NONINTERACTIVE: fail instead of asking
constexpr uint32_t kSuoiForceDelete = 1;           // SUOI_FORCEDELETE
constexpr uint32_t kDiurFlagsNone = 0;             // DiUninstallDriverW: detach the devices, remove the INF

constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorCallNotImplemented = 0x78;
constexpr uint32_t kErrorNoMoreItems = 0x103;
constexpr uint32_t kErrorNoSuchDevinst = 0xE000020B;
constexpr uint32_t kErrorNotAnInstalledOemInf = 0xE000023C;
constexpr uint32_t kErrorInfInUseByDevices = 0xE000023D;
constexpr uint32_t kErrorDependentApplicationsExist = 0xE0000300;
constexpr uint32_t kErrorNoDeviceId = 0xE0000301;
constexpr uint32_t kErrorDriverPackageNotInStore = 0xE0000302;

class InstallerPlatform {
 public:
  virtual ~InstallerPlatform() = default;

  // DIFxAPI.
  // No installer information is passed; `needReboot` receives the reboot
  // flag. Answer: a Win32 error, DIFx/SetupAPI code or HRESULT.
  virtual uint32_t DriverPackageInstallW(const wchar_t* infPath, uint32_t flags,
                                         int32_t* needReboot) = 0;
  virtual uint32_t DriverPackageUninstallW(const wchar_t* infPath, uint32_t flags,
                                           int32_t* needReboot) = 0;

  // The full path of the running program (GetModuleFileNameW). Answers 0
  // or the system's error code.
  virtual uint32_t GetProgramPath(std::wstring* path) = 0;
  // Loads the DLL at exactly `dllPath` (never one found by a search) and
  // resolves both DIFx entry points. Answers 0, or why it cannot be used;
  // then the in-box operations below stand in for it.
  virtual uint32_t LoadDifxApi(const wchar_t* dllPath) = 0;

  // Whether a person can see and answer a dialog that this process shows:
  // false for a service, or anything else in session 0 or on a window
  // station that is not visible.
  virtual bool CanShowDialogs() = 0;
  // SetupSetNonInteractiveMode: SetupAPI fails instead of asking.
  virtual void SetupSetNonInteractiveMode(bool nonInteractive) = 0;

  // The in-box operations of SetupAPI and newdev. Each answers 0 or the
  // system's error code (GetLastError).
  //
  // Stages the package in the driver store (SetupCopyOEMInfW, SPOST_PATH).
  virtual uint32_t SetupCopyOEMInfW(const wchar_t* infPath) = 0;
  // The device IDs (hardware and compatible) of the INF's models for this
  // platform: 64-bit x86 Windows of the running version. None is not an
  // error.
  virtual uint32_t GetInfDeviceIds(const wchar_t* infPath, std::vector<std::wstring>* ids) = 0;
  // The hardware and compatible IDs of every device present on the system.
  virtual uint32_t GetPresentDeviceIds(std::vector<std::wstring>* ids) = 0;
  // Installs the INF on the present devices carrying `hardwareId`; no
  // window.
  virtual uint32_t UpdateDriverForPlugAndPlayDevicesW(const wchar_t* hardwareId, const wchar_t* infPath,
                                                      uint32_t flags, int32_t* needReboot) = 0;
  // The name under which the system keeps the package's INF (oemN.inf):
  // the INF of the system's INF folder that is the given INF byte for byte.
  // kErrorDriverPackageNotInStore when there is none.
  virtual uint32_t FindPublishedInf(const wchar_t* infPath, std::wstring* publishedName) = 0;
  // Removes a published INF and its package from the store.
  virtual uint32_t SetupUninstallOEMInfW(const wchar_t* publishedName, uint32_t flags) = 0;
  // Whether the system has DiUninstallDriverW (newdev, Windows 10 1703 and
  // later), which honours what SetupUninstallOEMInfW's force flag does not.
  virtual bool HasDiUninstallDriver() = 0;
  // Takes the package of the original INF off its devices and out of the
  // store.
  virtual uint32_t DiUninstallDriverW(const wchar_t* infPath, uint32_t flags, int32_t* needReboot) = 0;

  // Configuration manager; the device ID is always null (the root of the
  // device tree). Answer: a CONFIGRET.
  virtual uint32_t CM_Locate_DevNodeW(uint32_t* devInst, uint32_t flags) = 0;
  virtual uint32_t CM_Reenumerate_DevNode(uint32_t devInst, uint32_t flags) = 0;

  // SetupAPI (the narrow forms, with UTF-8 strings); no window, no
  // description.
  virtual bool SetupDiGetINFClassA(const char* infPath, InstallerGuid* classGuid,
                                   char* className, uint32_t classNameSize) = 0;
  virtual DeviceInfoSet SetupDiCreateDeviceInfoList(const InstallerGuid* classGuid) = 0;
  virtual bool SetupDiCreateDeviceInfoA(DeviceInfoSet set, const char* deviceName,
                                        const InstallerGuid* classGuid, uint32_t flags,
                                        DeviceInfoRecord* record) = 0;
  virtual bool SetupDiSetDeviceRegistryPropertyA(DeviceInfoSet set, DeviceInfoRecord* record,
                                                 uint32_t property, const uint8_t* data,
                                                 uint32_t length) = 0;
  virtual bool SetupDiCallClassInstaller(uint32_t installFunction, DeviceInfoSet set,
                                         DeviceInfoRecord* record) = 0;
  virtual void SetupDiDestroyDeviceInfoList(DeviceInfoSet set) = 0;

  // The system's message text for `messageId`, as the system gives it
  // (Windows texts end in "\r\n"); false when it has none.
  virtual bool FormatMessageW(uint32_t messageId, uint32_t languageId, std::wstring* text) = 0;
};

class InstallerOutput {
 public:
  virtual ~InstallerOutput() = default;
  virtual void WriteWide(const std::wstring& text) = 0;
  virtual void WriteNarrow(const std::string& text) = 0;
};

}  // namespace tamvik
