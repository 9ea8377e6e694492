// A platform whose answers the test sets, and which records every call with
// its arguments, in order, as one readable line each.
#pragma once

#include <cstring>
#include <cwchar>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "Installer.h"
#include "InstallerPlatform.h"
#include "Utf8.h"

namespace tamvik_test {

using namespace tamvik;

inline std::string u8(const wchar_t* text) { return Utf8FromWide(text); }

class ScriptedPlatform final : public InstallerPlatform {
 public:
  // Answers.
  uint32_t installResult = 0;
  uint32_t uninstallResult = 0;
  uint32_t locateResult = 0;
  uint32_t rootDevInst = 0x77;
  uint32_t reenumerateResult = 0;
  bool infClassOk = true;
  DeviceInfoSet deviceInfoSet = 0x5E7;
  bool createInfoOk = true;
  bool setPropertyOk = true;
  bool classInstallerOk = true;
  bool hasMessage = true;
  std::wstring message = L"Some text.\r\n";
  // DIFxAPI.dll is there unless a test says otherwise; then the in-box
  // operations answer.
  uint32_t loadDifxResult = 0;
  uint32_t programPathResult = 0;
  std::wstring programPath = L"C:\\Tools\\Tamvik.exe";
  // A person at the screen unless a test says otherwise.
  bool canShowDialogs = true;
  // Machines before Windows 10 1703 unless a test says otherwise.
  bool hasDiUninstall = false;
  uint32_t diUninstallResult = 0;
  uint32_t stageResult = 0;
  uint32_t infIdsResult = 0;
  std::vector<std::wstring> infIds = {L"ROOT\\NFC"};
  uint32_t presentIdsResult = 0;
  std::vector<std::wstring> presentIds = {L"ACPI\\PNP0A08", L"root\\nfc"};
  // UpdateDriverForPlugAndPlayDevicesW: by hardware ID, 0 for any other.
  std::vector<std::pair<std::wstring, uint32_t>> updateResults;
  uint32_t findPublishedResult = 0;
  std::wstring publishedName = L"oem7.inf";
  uint32_t uninstallOemResult = 0;

  // What was asked.
  std::vector<std::string> calls;
  std::vector<uint8_t> propertyBytes;
  std::string infPathUtf8;
  int32_t rebootFlagSeen = -1;

  static constexpr InstallerGuid kClassGuid = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

  uint32_t DriverPackageInstallW(const wchar_t* infPath, uint32_t flags, int32_t* needReboot) override {
    return difx("DriverPackageInstallW", infPath, flags, needReboot, installResult);
  }
  uint32_t DriverPackageUninstallW(const wchar_t* infPath, uint32_t flags, int32_t* needReboot) override {
    return difx("DriverPackageUninstallW", infPath, flags, needReboot, uninstallResult);
  }
  uint32_t GetProgramPath(std::wstring* path) override {
    if (programPathResult == 0) {
      *path = programPath;
    }
    return programPathResult;
  }
  uint32_t LoadDifxApi(const wchar_t* dllPath) override {
    calls.push_back("LoadDifxApi " + u8(dllPath));
    return loadDifxResult;
  }
  bool CanShowDialogs() override { return canShowDialogs; }
  void SetupSetNonInteractiveMode(bool nonInteractive) override {
    calls.push_back(std::string("SetupSetNonInteractiveMode ") + (nonInteractive ? "1" : "0"));
  }
  bool HasDiUninstallDriver() override { return hasDiUninstall; }
  uint32_t DiUninstallDriverW(const wchar_t* infPath, uint32_t flags, int32_t* needReboot) override {
    rebootFlagSeen = needReboot != nullptr ? *needReboot : -2;
    calls.push_back("DiUninstallDriverW " + u8(infPath) + " " + std::to_string(flags));
    return diUninstallResult;
  }
  uint32_t SetupCopyOEMInfW(const wchar_t* infPath) override {
    calls.push_back("SetupCopyOEMInfW " + u8(infPath));
    return stageResult;
  }
  uint32_t GetInfDeviceIds(const wchar_t* infPath, std::vector<std::wstring>* ids) override {
    calls.push_back("GetInfDeviceIds " + u8(infPath));
    *ids = infIds;
    return infIdsResult;
  }
  uint32_t GetPresentDeviceIds(std::vector<std::wstring>* ids) override {
    calls.push_back("GetPresentDeviceIds");
    *ids = presentIds;
    return presentIdsResult;
  }
  uint32_t UpdateDriverForPlugAndPlayDevicesW(const wchar_t* hardwareId, const wchar_t* infPath, uint32_t flags,
                                              int32_t* needReboot) override {
    rebootFlagSeen = needReboot != nullptr ? *needReboot : -2;
    calls.push_back("UpdateDriverForPlugAndPlayDevicesW " + u8(hardwareId) + " " + u8(infPath) + " " +
                    std::to_string(flags));
    if (needReboot != nullptr) {
      *needReboot = 1;
    }
    for (const auto& answer : updateResults) {
      if (std::wcscmp(answer.first.c_str(), hardwareId) == 0) {
        return answer.second;
      }
    }
    return 0;
  }
  uint32_t FindPublishedInf(const wchar_t* infPath, std::wstring* name) override {
    calls.push_back("FindPublishedInf " + u8(infPath));
    if (findPublishedResult == 0) {
      *name = publishedName;
    }
    return findPublishedResult;
  }
  uint32_t SetupUninstallOEMInfW(const wchar_t* name, uint32_t flags) override {
    calls.push_back("SetupUninstallOEMInfW " + u8(name) + " " + std::to_string(flags));
    return uninstallOemResult;
  }
  uint32_t CM_Locate_DevNodeW(uint32_t* devInst, uint32_t flags) override {
    calls.push_back("CM_Locate_DevNodeW " + std::to_string(flags));
    if (locateResult == 0) {
      *devInst = rootDevInst;
    }
    return locateResult;
  }
  uint32_t CM_Reenumerate_DevNode(uint32_t devInst, uint32_t flags) override {
    calls.push_back("CM_Reenumerate_DevNode " + std::to_string(devInst) + " " + std::to_string(flags));
    return reenumerateResult;
  }
  bool SetupDiGetINFClassA(const char* infPath, InstallerGuid* classGuid, char* className,
                           uint32_t classNameSize) override {
    calls.push_back("SetupDiGetINFClassA " + std::to_string(classNameSize));
    infPathUtf8 = infPath;
    if (infClassOk) {
      *classGuid = kClassGuid;
      std::strcpy(className, "System");
    }
    return infClassOk;
  }
  DeviceInfoSet SetupDiCreateDeviceInfoList(const InstallerGuid* classGuid) override {
    calls.push_back("SetupDiCreateDeviceInfoList " + guid(*classGuid));
    return deviceInfoSet;
  }
  bool SetupDiCreateDeviceInfoA(DeviceInfoSet set, const char* deviceName, const InstallerGuid* classGuid,
                                uint32_t flags, DeviceInfoRecord* record) override {
    calls.push_back("SetupDiCreateDeviceInfoA " + std::to_string(set) + " " + deviceName + " " + guid(*classGuid) +
                    " " + std::to_string(flags) + " size " + std::to_string(record->size));
    record->devInst = 42;
    return createInfoOk;
  }
  bool SetupDiSetDeviceRegistryPropertyA(DeviceInfoSet set, DeviceInfoRecord* record, uint32_t property,
                                         const uint8_t* data, uint32_t length) override {
    calls.push_back("SetupDiSetDeviceRegistryPropertyA " + std::to_string(set) + " " +
                    std::to_string(record->devInst) + " " + std::to_string(property) + " " + std::to_string(length));
    propertyBytes.assign(data, data + length);
    return setPropertyOk;
  }
  bool SetupDiCallClassInstaller(uint32_t installFunction, DeviceInfoSet set, DeviceInfoRecord* record) override {
    calls.push_back("SetupDiCallClassInstaller " + std::to_string(installFunction) + " " + std::to_string(set) +
                    " " + std::to_string(record->devInst));
    return classInstallerOk;
  }
  void SetupDiDestroyDeviceInfoList(DeviceInfoSet set) override {
    calls.push_back("SetupDiDestroyDeviceInfoList " + std::to_string(set));
  }
  bool FormatMessageW(uint32_t messageId, uint32_t languageId, std::wstring* text) override {
    char line[64];
    std::snprintf(line, sizeof line, "FormatMessageW %X %X", messageId, languageId);
    calls.push_back(line);
    if (hasMessage) {
      *text = message;
    }
    return hasMessage;
  }

 private:
  static std::string guid(const InstallerGuid& g) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", g.data1);
    return text;
  }

  uint32_t difx(const char* name, const wchar_t* infPath, uint32_t flags, int32_t* needReboot, uint32_t result) {
    rebootFlagSeen = needReboot != nullptr ? *needReboot : -2;
    calls.push_back(std::string(name) + " " + u8(infPath) + " " + std::to_string(flags));
    if (needReboot != nullptr) {
      *needReboot = 1;  // the program never reads it
    }
    return result;
  }
};

class RecordingOutput final : public InstallerOutput {
 public:
  std::string text;
  void WriteWide(const std::wstring& wide) override { text += Utf8FromWide(wide.c_str()); }
  void WriteNarrow(const std::string& narrow) override { text += narrow; }
};

// One run of Tamvik's main against the scripted platform:
// run({L"/i", inf}) then look at run.code, run.output.text and
// run.platform.calls.
struct Tamvik {
  ScriptedPlatform platform;
  RecordingOutput output;
  int code = -1;

  Tamvik() = default;
  explicit Tamvik(std::initializer_list<const wchar_t*> args) { (*this)(args); }
  // A run with `args` on a platform that `script` has set up.
  template <typename Script>
  Tamvik(std::initializer_list<const wchar_t*> args, Script script) {
    script(platform);
    (*this)(args);
  }

  Tamvik& operator()(std::initializer_list<const wchar_t*> args) {
    std::vector<const wchar_t*> argv{L"Tamvik.exe"};
    argv.insert(argv.end(), args);
    argv.push_back(nullptr);
    code = TamvikMain(static_cast<int>(argv.size() - 1), argv.data(), platform, output);
    return *this;
  }
};

// What the tests install from, and the first line each operation prints for it.
inline constexpr const wchar_t* kInf = L"C:\\drv\\nfc.inf";
inline const std::string kAttempt = "INFO: Attempting to install the driver package C:\\drv\\nfc.inf.\n";
inline const std::string kStaged =
    "INFO: the driver package C:\\drv\\nfc.inf was successfully staged on the machine.\n";
inline const std::string kUninstallAttempt = "INFO: Attempting to uninstall the driver package C:\\drv\\nfc.inf.\n";
// LoadLibrary's answer where there is no DIFxAPI.dll (ERROR_MOD_NOT_FOUND).
inline constexpr uint32_t kModNotFound = 0x7E;

// Whether any call begins with one of `prefixes`.
inline bool callsAny(const std::vector<std::string>& calls, std::initializer_list<const char*> prefixes) {
  for (const std::string& call : calls) {
    for (const char* prefix : prefixes) {
      if (call.rfind(prefix, 0) == 0) {
        return true;
      }
    }
  }
  return false;
}

// The driver calls of a run: those after the re-enumeration (or all of an
// uninstall's after the load).
inline std::vector<std::string> driverCalls(const ScriptedPlatform& platform) {
  std::vector<std::string> out;
  for (const std::string& call : platform.calls) {
    if (call.rfind("LoadDifxApi", 0) != 0 && call.rfind("CM_", 0) != 0) {
      out.push_back(call);
    }
  }
  return out;
}

// A machine without DIFxAPI.dll.
struct InboxTamvik : Tamvik {
  InboxTamvik() { platform.loadDifxResult = kModNotFound; }
  explicit InboxTamvik(std::initializer_list<const wchar_t*> args) : InboxTamvik() { (*this)(args); }
  template <typename Script>
  InboxTamvik(std::initializer_list<const wchar_t*> args, Script script) : InboxTamvik() {
    script(platform);
    (*this)(args);
  }
  std::vector<std::string> driverCalls() const { return tamvik_test::driverCalls(platform); }
};

}  // namespace tamvik_test
