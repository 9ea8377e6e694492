// Driver packages, device nodes and SetupAPI exist only on Windows. Here
// every driver operation answers "not supported", so that Tamvik still
// parses its command line and reports honestly what it could not do.
#include "InstallerSystem.h"

namespace tamvik {
namespace {

class UnsupportedPlatform final : public InstallerPlatform {
 public:
  uint32_t DriverPackageInstallW(const wchar_t*, uint32_t, int32_t*) override { return kErrorCallNotImplemented; }
  uint32_t DriverPackageUninstallW(const wchar_t*, uint32_t, int32_t*) override { return kErrorCallNotImplemented; }
  uint32_t GetProgramPath(std::wstring*) override { return kErrorCallNotImplemented; }
  uint32_t LoadDifxApi(const wchar_t*) override { return kErrorCallNotImplemented; }
  bool CanShowDialogs() override { return false; }
  void SetupSetNonInteractiveMode(bool) override {}
  uint32_t SetupCopyOEMInfW(const wchar_t*) override { return kErrorCallNotImplemented; }
  uint32_t GetInfDeviceIds(const wchar_t*, std::vector<std::wstring>*) override { return kErrorCallNotImplemented; }
  uint32_t GetPresentDeviceIds(std::vector<std::wstring>*) override { return kErrorCallNotImplemented; }
  uint32_t UpdateDriverForPlugAndPlayDevicesW(const wchar_t*, const wchar_t*, uint32_t, int32_t*) override {
    return kErrorCallNotImplemented;
  }
  uint32_t FindPublishedInf(const wchar_t*, std::wstring*) override { return kErrorCallNotImplemented; }
  uint32_t SetupUninstallOEMInfW(const wchar_t*, uint32_t) override { return kErrorCallNotImplemented; }
  bool HasDiUninstallDriver() override { return false; }
  uint32_t DiUninstallDriverW(const wchar_t*, uint32_t, int32_t*) override { return kErrorCallNotImplemented; }
  uint32_t CM_Locate_DevNodeW(uint32_t*, uint32_t) override { return kErrorCallNotImplemented; }
  uint32_t CM_Reenumerate_DevNode(uint32_t, uint32_t) override { return kErrorCallNotImplemented; }
  bool SetupDiGetINFClassA(const char*, InstallerGuid*, char*, uint32_t) override { return false; }
  DeviceInfoSet SetupDiCreateDeviceInfoList(const InstallerGuid*) override { return kInvalidDeviceInfoSet; }
  bool SetupDiCreateDeviceInfoA(DeviceInfoSet, const char*, const InstallerGuid*, uint32_t,
                                DeviceInfoRecord*) override {
    return false;
  }
  bool SetupDiSetDeviceRegistryPropertyA(DeviceInfoSet, DeviceInfoRecord*, uint32_t, const uint8_t*,
                                         uint32_t) override {
    return false;
  }
  bool SetupDiCallClassInstaller(uint32_t, DeviceInfoSet, DeviceInfoRecord*) override { return false; }
  void SetupDiDestroyDeviceInfoList(DeviceInfoSet) override {}

  bool FormatMessageW(uint32_t messageId, uint32_t, std::wstring* text) override {
    if (messageId != kErrorCallNotImplemented) {
      return false;
    }
    *text = L"Driver installation is not supported on this system";
    return true;
  }
};

}  // namespace

std::unique_ptr<InstallerPlatform> CreateSystemPlatform() { return std::make_unique<UnsupportedPlatform>(); }

}  // namespace tamvik
