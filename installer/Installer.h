// Tamvik's logic: the command line, the install, force-install and uninstall
// sequences, and the mapping of results to messages and exit codes.
#pragma once

#include <cstdint>
#include <string>

#include "InstallerPlatform.h"

namespace tamvik {

// Exit codes, evaluated by the calling installer.
enum ExitCode : int {
  kExitSuccess = 0,
  kExitNoLiveDevnodes = 1,
  kExitNoDeviceIdsInInf = 2,
  kExitBetterDriverPresent = 3,
  kExitInstallFailed = 4,
  kExitCreateDevnodeFailed = 5,
  kExitBadCommandLine = 6,
  kExitDriverNotPresent = 7,
  kExitDependentApplications = 8,
  kExitUninstallFailed = 9,
  kExitInvalidOption = 16,
};

// Limits of the UTF-8 forms handed to SetupAPI, counted with the NUL.
constexpr uint32_t kInfPathUtf8Buffer = 1024;
constexpr uint32_t kInfPathUtf8MaxBytes = 1023;
constexpr uint32_t kHardwareIdUtf8Buffer = 2064;
constexpr uint32_t kHardwareIdUtf8MaxBytes = 2051;
constexpr uint32_t kClassNameBuffer = 2048;

// CreateRootDevice results: 0 or the negative number of the failed step.
enum CreateRootDeviceResult : int {
  kCreateOk = 0,
  kCreateNoInfClass = -1,
  kCreateNoDeviceInfoSet = -2,
  kCreateNoDeviceInfo = -3,
  kCreateNoHardwareId = -4,
  kCreateNotRegistered = -5,
  kCreateInfPathUnsupported = -6,    // UTF-8 form outside 2..1023 bytes
  kCreateHardwareIdUnsupported = -7,  // UTF-8 form outside 2..2051 bytes
};

// Runs one Tamvik command line (argv[0] is the program) and answers the exit
// code.
int TamvikMain(int argc, const wchar_t* const* argv, InstallerPlatform& platform,
               InstallerOutput& output);

// Asks the configuration manager to re-enumerate the whole device tree.
// Answers 1 on success, 0 on failure (after printing why).
int ReenumerateDevices(InstallerPlatform& platform, InstallerOutput& output);

// Creates and registers a root-enumerated device node of the INF's class
// carrying `hardwareId`. Answers a CreateRootDeviceResult.
int CreateRootDevice(InstallerPlatform& platform, const wchar_t* infPath,
                     const wchar_t* hardwareId);

// The identifier under which the system keeps the text for `result`:
// SetupAPI and DIFx codes (0xE...xxxx) live in their HRESULT_FROM_SETUPAPI
// form (0x800Fxxxx); everything else is looked up as it is.
uint32_t MessageIdForResult(uint32_t result);

// The DIFxAPI.dll that belongs to the program at `programPath`: the one in
// the same folder. Empty when the path names no folder.
std::wstring DifxApiPathBeside(const std::wstring& programPath);

}  // namespace tamvik
