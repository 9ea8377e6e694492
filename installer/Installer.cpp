#include "Installer.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <initializer_list>
#include <string>
#include <vector>

#include "InfModels.h"
#include "Utf8.h"

namespace tamvik {
namespace {

// The messages are wide printf-style formats. Only the conversions they use
// are expanded: %ws and %s take a wide string (as in the Windows CRT's wide
// printf), %X and %x a 32-bit number in upper- or lower-case hexadecimal.
struct FormatArg {
  FormatArg(const wchar_t* text) : text(text) {}  // NOLINT: implicit on purpose
  FormatArg(const std::wstring& text) : text(text.c_str()) {}  // NOLINT
  FormatArg(uint32_t number) : number(number) {}  // NOLINT
  const wchar_t* text = nullptr;
  uint32_t number = 0;
};

std::wstring hex(uint32_t value, bool upper) {
  const wchar_t* digits = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
  std::wstring out;
  do {
    out.insert(out.begin(), digits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return out;
}

std::wstring format(const wchar_t* fmt, std::initializer_list<FormatArg> args) {
  std::wstring out;
  const FormatArg* arg = args.begin();
  for (const wchar_t* p = fmt; *p != L'\0'; ++p) {
    if (*p != L'%' || (p[1] != L'%' && arg == args.end())) {
      out += *p;
      continue;
    }
    ++p;
    if (*p == L'%') {
      out += L'%';
    } else if (*p == L'w' && p[1] == L's') {
      ++p;
      out += arg++->text;
    } else if (*p == L's') {
      out += arg++->text;
    } else if (*p == L'X' || *p == L'x') {
      out += hex(arg++->number, *p == L'X');
    } else {
      --p;  // not a conversion of ours: keep it literally
      out += L'%';
    }
  }
  return out;
}

void print(InstallerOutput& output, const wchar_t* fmt, std::initializer_list<FormatArg> args = {}) {
  output.WriteWide(format(fmt, args));
}

constexpr const wchar_t* kUsage[] = {
    L"USAGE: Tamvik.exe <option> <full path to the inf file>\n",
    L"Tamvik.exe /f <full path to the inf file> <hardwareID>\n",
    L"<option> can be one of the following -\n",
    L"/i - Install the driver\n",
    L"/u - Uninstall the driver\n",
    L"/f - Force Install the driver\n",
};

// What an install or an uninstall came to, whichever way it was done. The
// in-box path answers in these terms itself; a DIFx result is read into them.
enum class Outcome {
  kDone,
  kBetterDriverPresent,  // install: staged, every matching device has a better driver
  kNoLiveDevnodes,       // install: staged, no present device matches
  kNoDeviceIds,          // install: staged, the INF has no device IDs for this platform
  kInUse,                // uninstall: something still depends on the package
  kNotInStore,           // uninstall: the package is not in the store
  kFailed,               // anything else, with its code
};

struct Result {
  Outcome outcome;
  uint32_t code;  // the system's code of a failure
};

Result fromDifxInstall(uint32_t result) {
  switch (result) {
    case kErrorSuccess: return {Outcome::kDone, result};
    case kErrorNoMoreItems: return {Outcome::kBetterDriverPresent, result};
    case kErrorNoSuchDevinst: return {Outcome::kNoLiveDevnodes, result};
    case kErrorNoDeviceId: return {Outcome::kNoDeviceIds, result};
    default: return {Outcome::kFailed, result};
  }
}

Result fromDifxUninstall(uint32_t result) {
  switch (result) {
    case kErrorSuccess: return {Outcome::kDone, result};
    case kErrorDependentApplicationsExist: return {Outcome::kInUse, result};
    case kErrorDriverPackageNotInStore: return {Outcome::kNotInStore, result};
    default: return {Outcome::kFailed, result};
  }
}

bool containsIgnoringCase(const std::vector<std::wstring>& list, const std::wstring& id) {
  for (const std::wstring& entry : list) {
    if (EqualIgnoringCase(entry, id)) {
      return true;
    }
  }
  return false;
}

// The in-box install: stage the package, then install it on each present
// device that carries one of the INF's device IDs. Staging first gives the
// staged package that the exit codes 1 to 3 promise. newdev is asked only for
// IDs that a present device carries: not every newdev reports an ID that no
// device carries (Wine's answers success), while the device list tells the
// same everywhere.
// Where nobody can answer a dialog (a service, session 0), a package from a
// publisher Windows does not yet trust would wait on a prompt forever:
// SetupAPI and newdev are told to fail instead, and the install ends with
// their code. A person at the screen still gets the prompt.
uint32_t chooseInteractivity(InstallerPlatform& platform) {
  if (platform.CanShowDialogs()) {
    return kInstallFlagNone;
  }
  platform.SetupSetNonInteractiveMode(true);
  return kInstallFlagNonInteractive;
}

Result inboxInstall(InstallerPlatform& platform, const wchar_t* infPath) {
  const uint32_t installFlags = chooseInteractivity(platform);
  uint32_t code = platform.SetupCopyOEMInfW(infPath);
  if (code != kErrorSuccess) {
    return {Outcome::kFailed, code};
  }
  std::vector<std::wstring> infIds;
  code = platform.GetInfDeviceIds(infPath, &infIds);
  if (code != kErrorSuccess) {
    return {Outcome::kFailed, code};
  }
  if (infIds.empty()) {
    return {Outcome::kNoDeviceIds, kErrorSuccess};
  }
  std::vector<std::wstring> presentIds;
  code = platform.GetPresentDeviceIds(&presentIds);
  if (code != kErrorSuccess) {
    return {Outcome::kFailed, code};
  }
  bool installed = false;
  bool betterDriver = false;
  std::vector<std::wstring> asked;
  for (const std::wstring& id : infIds) {
    if (containsIgnoringCase(asked, id) || !containsIgnoringCase(presentIds, id)) {
      continue;
    }
    asked.push_back(id);
    int32_t needReboot = 0;
    code = platform.UpdateDriverForPlugAndPlayDevicesW(id.c_str(), infPath, installFlags, &needReboot);
    if (code == kErrorSuccess) {
      installed = true;
    } else if (code == kErrorNoMoreItems) {
      betterDriver = true;  // this ID's devices keep their better driver
    } else if (code != kErrorNoSuchDevinst) {  // that device has gone since
      return {Outcome::kFailed, code};
    }
  }
  if (installed) {
    return {Outcome::kDone, kErrorSuccess};
  }
  return {betterDriver ? Outcome::kBetterDriverPresent : Outcome::kNoLiveDevnodes, kErrorSuccess};
}

// DiUninstallDriverW's answers. It takes the devices off the package itself,
// so "in use" is rare; which code it gives for a package that is not in the
// store is not documented, so both codes that name that case count.
Result fromDiUninstall(uint32_t code) {
  switch (code) {
    case kErrorSuccess: return {Outcome::kDone, code};
    case kErrorDriverPackageNotInStore:
    case kErrorNotAnInstalledOemInf: return {Outcome::kNotInStore, code};
    case kErrorInfInUseByDevices:
    case kErrorDependentApplicationsExist: return {Outcome::kInUse, code};
    default: return {Outcome::kFailed, code};
  }
}

// The in-box uninstall. Where the system has DiUninstallDriverW, it does the
// whole work from the original INF. Elsewhere: find the package's published
// INF and remove it with the force flag, as DIFx is asked to remove a package
// that devices use (SetupUninstallOEMInfW ignores that flag for packages that
// run from the driver store, which DiUninstallDriverW handles).
Result inboxUninstall(InstallerPlatform& platform, const wchar_t* infPath) {
  chooseInteractivity(platform);
  if (platform.HasDiUninstallDriver()) {
    int32_t needReboot = 0;
    return fromDiUninstall(platform.DiUninstallDriverW(infPath, kDiurFlagsNone, &needReboot));
  }
  std::wstring published;
  uint32_t code = platform.FindPublishedInf(infPath, &published);
  if (code == kErrorDriverPackageNotInStore) {
    return {Outcome::kNotInStore, code};
  }
  if (code != kErrorSuccess) {
    return {Outcome::kFailed, code};
  }
  code = platform.SetupUninstallOEMInfW(published.c_str(), kSuoiForceDelete);
  if (code == kErrorSuccess) {
    return {Outcome::kDone, code};
  }
  if (code == kErrorInfInUseByDevices) {
    return {Outcome::kInUse, code};
  }
  return {Outcome::kFailed, code};
}

int install(InstallerPlatform& platform, InstallerOutput& output, const wchar_t* infPath, bool difx) {
  print(output, L"INFO: Attempting to install the driver package %ws.\n", {infPath});
  ReenumerateDevices(platform, output);

  Result result;
  if (difx) {
    int32_t needReboot = 0;
    result = fromDifxInstall(platform.DriverPackageInstallW(infPath, kDifxFlagsNone, &needReboot));
  } else {
    result = inboxInstall(platform, infPath);
  }
  switch (result.outcome) {
    case Outcome::kDone:
      print(output, L"SUCCESS: installed driver package %ws.\n", {infPath});
      return kExitSuccess;
    case Outcome::kBetterDriverPresent:
      print(output, L"INFO: the driver package %ws was successfully staged on the machine.\n", {infPath});
      print(output, L"INFO: All devices found already have a better driver than what is contained in the specified inf file.\n");
      return kExitBetterDriverPresent;
    case Outcome::kNoLiveDevnodes:
      print(output, L"INFO: the driver package %ws was successfully staged on the machine.\n", {infPath});
      print(output, L"INFO: There aren't any live devnodes with the device ID contained in the INF.\n");
      return kExitNoLiveDevnodes;
    case Outcome::kNoDeviceIds:
      print(output, L"INFO: the driver package %ws was successfully staged on the machine.\n", {infPath});
      print(output, L"INFO: No device IDs found in INF '%ws' for current platform.\n", {infPath});
      return kExitNoDeviceIdsInInf;
    default:
      break;
  }
  print(output, L"ERROR: An error occurred while installing driver package %ws. Error code - 0x%X.\n",
        {infPath, result.code});
  // Without a text from the system the line is still printed, with nothing
  // between "ERROR: " and the full stop.
  std::wstring text;
  if (!platform.FormatMessageW(MessageIdForResult(result.code), kLanguageNeutralDefault, &text)) {
    text.clear();
  }
  // System texts end in their own line break; kept, it would put the full
  // stop on a line of its own.
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n')) {
    text.pop_back();
  }
  print(output, L"ERROR: %s.\n", {text});
  return kExitInstallFailed;
}

int uninstall(InstallerPlatform& platform, InstallerOutput& output, const wchar_t* infPath, bool difx) {
  print(output, L"INFO: Attempting to uninstall the driver package %ws.\n", {infPath});

  Result result;
  if (difx) {
    int32_t needReboot = 0;
    result = fromDifxUninstall(platform.DriverPackageUninstallW(infPath, kDriverPackageForce, &needReboot));
  } else {
    result = inboxUninstall(platform, infPath);
  }
  switch (result.outcome) {
    case Outcome::kDone:
      print(output, L"SUCCESS: Uninstalled driver package %ws.\n", {infPath});
      return kExitSuccess;
    case Outcome::kInUse:
      print(output, L"INFO: The driver package %ws was not uninstalled because there were some applications still depending on it.\n", {infPath});
      return kExitDependentApplications;
    case Outcome::kNotInStore:
      print(output, L"INFO: Driver not present.\n");
      return kExitDriverNotPresent;
    default:
      // The full stop after the line break is what callers have always seen.
      print(output, L"ERROR: An error occurred while uninstalling driver package %ws %x\n.", {infPath, result.code});
      return kExitUninstallFailed;
  }
}

// Converts `text` to UTF-8 into `buffer` when its UTF-8 form, NUL included,
// needs from 2 to `maxBytes` bytes; otherwise leaves the buffer alone.
bool toUtf8(const wchar_t* text, char* buffer, uint32_t maxBytes) {
  const std::string utf8 = Utf8FromWide(text);
  const size_t needed = utf8.size() + 1;
  if (needed < 2 || needed > maxBytes) {
    return false;
  }
  std::memcpy(buffer, utf8.c_str(), needed);
  return true;
}

// Frees the device-information set on every way out. Freeing it does not
// undo a registered device node.
class DeviceInfoSetGuard {
 public:
  DeviceInfoSetGuard(InstallerPlatform& platform, DeviceInfoSet set) : platform_(platform), set_(set) {}
  ~DeviceInfoSetGuard() { platform_.SetupDiDestroyDeviceInfoList(set_); }
  DeviceInfoSetGuard(const DeviceInfoSetGuard&) = delete;
  DeviceInfoSetGuard& operator=(const DeviceInfoSetGuard&) = delete;

 private:
  InstallerPlatform& platform_;
  DeviceInfoSet set_;
};

// Only the DLL in the program's own folder is trusted. A load by bare name
// would also take one from the system folders, the current folder or PATH,
// and run it inside an installer that has administrator rights.
bool loadDifxBesideProgram(InstallerPlatform& platform) {
  std::wstring program;
  if (platform.GetProgramPath(&program) != kErrorSuccess) {
    return false;
  }
  const std::wstring dll = DifxApiPathBeside(program);
  return !dll.empty() && platform.LoadDifxApi(dll.c_str()) == kErrorSuccess;
}

}  // namespace

std::wstring DifxApiPathBeside(const std::wstring& programPath) {
  const size_t slash = programPath.find_last_of(L"\\/");
  if (slash == std::wstring::npos) {
    return std::wstring();
  }
  return programPath.substr(0, slash + 1) + L"DIFxAPI.dll";
}

uint32_t MessageIdForResult(uint32_t result) {
  // HRESULT_FROM_SETUPAPI: APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR
  // marks a SetupAPI-style code; its text is filed under FACILITY_SETUPAPI.
  if ((result & 0xE0000000u) == 0xE0000000u) {
    return 0x800F0000u | (result & 0xFFFFu);
  }
  return result;
}

int ReenumerateDevices(InstallerPlatform& platform, InstallerOutput& output) {
  char line[64];
  uint32_t root = 0;
  uint32_t result = platform.CM_Locate_DevNodeW(&root, kCmLocateDevnodeNormal);
  if (result != kCrSuccess) {
    std::snprintf(line, sizeof line, "CM_Locate_DevNode failed: %x\n", static_cast<unsigned>(result));
    output.WriteNarrow(line);
    return 0;
  }
  result = platform.CM_Reenumerate_DevNode(root, kCmReenumerateNormal);
  if (result != kCrSuccess) {
    std::snprintf(line, sizeof line, "CM_Reenumerate_DevNode failed: %x\n", static_cast<unsigned>(result));
    output.WriteNarrow(line);
    return 0;
  }
  return 1;
}

int CreateRootDevice(InstallerPlatform& platform, const wchar_t* infPath, const wchar_t* hardwareId) {
  char infUtf8[kInfPathUtf8Buffer] = {};
  if (!toUtf8(infPath, infUtf8, kInfPathUtf8MaxBytes)) {
    return kCreateInfPathUnsupported;
  }
  // Zero-filled, so the NUL that closes the multi-string list follows the
  // ID's own NUL.
  char hardwareIdUtf8[kHardwareIdUtf8Buffer] = {};
  if (!toUtf8(hardwareId, hardwareIdUtf8, kHardwareIdUtf8MaxBytes)) {
    return kCreateHardwareIdUnsupported;
  }

  InstallerGuid classGuid{};
  char className[kClassNameBuffer] = {};
  if (!platform.SetupDiGetINFClassA(infUtf8, &classGuid, className, sizeof className)) {
    return kCreateNoInfClass;
  }
  className[sizeof className - 1] = '\0';

  const DeviceInfoSet set = platform.SetupDiCreateDeviceInfoList(&classGuid);
  if (set == kInvalidDeviceInfoSet) {
    return kCreateNoDeviceInfoSet;
  }
  DeviceInfoSetGuard guard(platform, set);

  DeviceInfoRecord record{};
  record.size = sizeof record;
  if (!platform.SetupDiCreateDeviceInfoA(set, className, &classGuid, kDicdGenerateId, &record)) {
    return kCreateNoDeviceInfo;
  }

  // SPDRP_HARDWAREID is a REG_MULTI_SZ: the ID, its NUL, and the list's NUL.
  const auto length = static_cast<uint32_t>(std::strlen(hardwareIdUtf8) + 2);
  if (!platform.SetupDiSetDeviceRegistryPropertyA(set, &record, kSpdrpHardwareId,
                                                  reinterpret_cast<const uint8_t*>(hardwareIdUtf8), length)) {
    return kCreateNoHardwareId;
  }
  if (!platform.SetupDiCallClassInstaller(kDifRegisterDevice, set, &record)) {
    return kCreateNotRegistered;
  }
  return kCreateOk;
}

int TamvikMain(int argc, const wchar_t* const* argv, InstallerPlatform& platform, InstallerOutput& output) {
  if (argc < 3) {
    for (const wchar_t* line : kUsage) {
      print(output, line);
    }
    return kExitBadCommandLine;
  }
  const wchar_t* option = argv[1];
  const wchar_t* infPath = argv[2];

  if (std::wcslen(option) != 2) {
    print(output, L"ERROR: An invalid command line option %ws was passed in!\n", {option});
    return kExitBadCommandLine;
  }
  const bool slash = option[0] == L'/';
  // DIFxAPI.dll is used where it lies beside the program; otherwise the
  // in-box operations do the same work with the same messages and exit codes.
  if (slash && (option[1] == L'i' || option[1] == L'I')) {
    const bool difx = loadDifxBesideProgram(platform);
    return install(platform, output, infPath, difx);
  }
  if (slash && (option[1] == L'f' || option[1] == L'F')) {
    if (argc < 4) {
      print(output, L"FAILED : Missing hardwareID parameter.\n");
      return kExitBadCommandLine;
    }
    const bool difx = loadDifxBesideProgram(platform);
    if (CreateRootDevice(platform, infPath, argv[3]) < 0) {
      print(output, L"FAILED : Cannot create DevNode %ws.\n", {infPath});
      return kExitCreateDevnodeFailed;
    }
    // A node created here stays registered whatever the install answers.
    return install(platform, output, infPath, difx);
  }
  if (slash && (option[1] == L'u' || option[1] == L'U')) {
    const bool difx = loadDifxBesideProgram(platform);
    return uninstall(platform, output, infPath, difx);
  }
  print(output, L"ERROR: An invalid command line option %ws was passed in!\n", {option});
  return kExitInvalidOption;
}

}  // namespace tamvik
