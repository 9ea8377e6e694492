// The driver-store operations that Windows has in-box (SetupAPI and newdev),
// for systems without DIFxAPI.dll. Each answers 0 or the system's error
// code. The Windows platform hands the installer logic's in-box calls to
// these.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tamvik {
namespace inbox {

// SetupCopyOEMInfW with SPOST_PATH: the package's files stay where they are
// until a device is installed from it.
uint32_t StageInf(const wchar_t* infPath);

// The hardware and compatible IDs on the lines of the INF's models sections
// that apply to this system (see BestModelsDecoration).
uint32_t InfDeviceIds(const wchar_t* infPath, std::vector<std::wstring>* ids);

// The hardware and compatible IDs of every present device.
uint32_t PresentDeviceIds(std::vector<std::wstring>* ids);

// UpdateDriverForPlugAndPlayDevicesW without a window.
uint32_t UpdateDriver(const wchar_t* hardwareId, const wchar_t* infPath, uint32_t flags, int32_t* needReboot);

// The file name, in the system's INF folder, of the INF that is `infPath`
// byte for byte: the system keeps a staged package's INF there as an exact
// copy under its published name. kErrorDriverPackageNotInStore when
// there is none.
uint32_t FindPublishedInf(const wchar_t* infPath, std::wstring* publishedName);

// SetupUninstallOEMInfW.
uint32_t UninstallPublishedInf(const wchar_t* publishedName, uint32_t flags);

// Whether newdev has DiUninstallDriverW (Windows 10 1703 and later).
bool HasDiUninstallDriver();

// DiUninstallDriverW without a window; the reboot flag is asked for, so no
// restart prompt appears.
uint32_t DiUninstallDriver(const wchar_t* infPath, uint32_t flags, int32_t* needReboot);

// Whether a person can answer a dialog shown by this process: a visible
// window station outside session 0.
bool CanShowDialogs();

}  // namespace inbox
}  // namespace tamvik
