// Where DIFxAPI.dll is taken from, unattended in-box runs, DiUninstallDriverW
// and the system text of a failed install.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Installer.h"
#include "ScriptedPlatform.h"

using namespace tamvik_test;

namespace {

// What SetupAPI answers when it would have to ask about an untrusted
// publisher but may not.
constexpr uint32_t kPublisherNotTrusted = 0xE0000243;

bool called(const ScriptedPlatform& platform, const char* prefix) { return callsAny(platform.calls, {prefix}); }

}  // namespace

TEST(TamvikDifxLocation, OnlyTheDllInTheProgramsOwnFolder) {
  EXPECT_EQ(DifxApiPathBeside(L"C:\\Program Files\\Tools\\Tamvik.exe"), L"C:\\Program Files\\Tools\\DIFxAPI.dll");
  EXPECT_EQ(DifxApiPathBeside(L"\\\\?\\C:\\deep\\Tamvik.exe"), L"\\\\?\\C:\\deep\\DIFxAPI.dll");
  EXPECT_EQ(DifxApiPathBeside(L"\\\\server\\share\\Tamvik.exe"), L"\\\\server\\share\\DIFxAPI.dll");
  EXPECT_EQ(DifxApiPathBeside(L"/opt/tools/Tamvik"), L"/opt/tools/DIFxAPI.dll");
  // A name without a folder would become a bare name, which the loader
  // searches for: no DLL then.
  EXPECT_EQ(DifxApiPathBeside(L"Tamvik.exe"), L"");
  EXPECT_EQ(DifxApiPathBeside(L""), L"");

  for (const wchar_t* option : {L"/i", L"/u", L"/f"}) {
    Tamvik run;
    run.platform.programPath = L"D:\\Setup 1\\x64\\Tamvik.exe";
    run({option, kInf, L"ROOT\\NFC"});
    EXPECT_EQ(run.platform.calls.front(), "LoadDifxApi D:\\Setup 1\\x64\\DIFxAPI.dll") << u8(option);
  }
}

TEST(TamvikDifxLocation, NoProgramFolderMeansTheInboxPath) {
  Tamvik unknown;
  unknown.platform.programPathResult = 0x7A;  // ERROR_INSUFFICIENT_BUFFER
  unknown({L"/i", kInf});
  EXPECT_FALSE(called(unknown.platform, "LoadDifxApi"));
  EXPECT_FALSE(called(unknown.platform, "DriverPackage"));
  EXPECT_TRUE(called(unknown.platform, "SetupCopyOEMInfW"));

  Tamvik bare({L"/u", kInf}, [&](ScriptedPlatform& p) { p.programPath = L"Tamvik.exe"; });
  EXPECT_FALSE(called(bare.platform, "LoadDifxApi"));
  EXPECT_TRUE(called(bare.platform, "FindPublishedInf"));
}

TEST(TamvikUnattended, NonInteractiveOnlyWhereNobodyCanAnswer) {
  InboxTamvik attended({L"/i", kInf});
  EXPECT_FALSE(called(attended.platform, "SetupSetNonInteractiveMode"));
  EXPECT_EQ(driverCalls(attended.platform).back(), "UpdateDriverForPlugAndPlayDevicesW ROOT\\NFC C:\\drv\\nfc.inf 0");

  // SetupAPI is switched before it stages anything, newdev gets its flag.
  InboxTamvik unattended({L"/i", kInf}, [&](ScriptedPlatform& p) { p.canShowDialogs = false; });
  EXPECT_EQ(unattended.code, 0);
  EXPECT_EQ(driverCalls(unattended.platform), (std::vector<std::string>{
                                                  "SetupSetNonInteractiveMode 1",
                                                  "SetupCopyOEMInfW C:\\drv\\nfc.inf",
                                                  "GetInfDeviceIds C:\\drv\\nfc.inf",
                                                  "GetPresentDeviceIds",
                                                  "UpdateDriverForPlugAndPlayDevicesW ROOT\\NFC C:\\drv\\nfc.inf 4",
                                              }));

  // Both uninstall ways run non-interactively too.
  for (bool hasDi : {false, true}) {
    InboxTamvik uninstall({L"/u", kInf}, [&](ScriptedPlatform& p) {
      p.canShowDialogs = false;
      p.hasDiUninstall = hasDi;
    });
    EXPECT_EQ(driverCalls(uninstall.platform).front(), "SetupSetNonInteractiveMode 1") << hasDi;
  }

  // DIFx keeps its own flags and SetupAPI is left as it is.
  Tamvik difx({L"/i", kInf}, [&](ScriptedPlatform& p) { p.canShowDialogs = false; });
  EXPECT_FALSE(called(difx.platform, "SetupSetNonInteractiveMode"));
  EXPECT_TRUE(called(difx.platform, "DriverPackageInstallW C:\\drv\\nfc.inf 0"));
}

TEST(TamvikUnattended, ARefusedPromptEndsWithItsCodeAndText) {
  for (bool stagingRefuses : {true, false}) {
    InboxTamvik run;
    run.platform.canShowDialogs = false;
    run.platform.message = L"The publisher is not trusted.\r\n";
    if (stagingRefuses) {
      run.platform.stageResult = kPublisherNotTrusted;
    } else {
      run.platform.updateResults = {{L"ROOT\\NFC", kPublisherNotTrusted}};
    }
    run({L"/f", kInf, L"ROOT\\NFC"});
    EXPECT_EQ(run.code, 4);
    EXPECT_EQ(run.output.text,
              kAttempt +
                  "ERROR: An error occurred while installing driver package C:\\drv\\nfc.inf. Error code - 0xE0000243.\n"
              "ERROR: The publisher is not trusted..\n");
  }
}

TEST(TamvikDiUninstall, EveryAnswerAndNoSearchOfTheInfFolder) {
  const struct {
    uint32_t answer;
    int code;
    std::string lines;
  } rows[] = {
      {0, 0, "SUCCESS: Uninstalled driver package C:\\drv\\nfc.inf.\n"},
      {kErrorDriverPackageNotInStore, 7, "INFO: Driver not present.\n"},
      {kErrorNotAnInstalledOemInf, 7, "INFO: Driver not present.\n"},
      {kErrorInfInUseByDevices, 8,
       "INFO: The driver package C:\\drv\\nfc.inf was not uninstalled because there were some applications still "
       "depending on it.\n"},
      {kErrorDependentApplicationsExist, 8,
       "INFO: The driver package C:\\drv\\nfc.inf was not uninstalled because there were some applications still "
       "depending on it.\n"},
      {kErrorFileNotFound, 9, "ERROR: An error occurred while uninstalling driver package C:\\drv\\nfc.inf 2\n."},
      {0x5, 9, "ERROR: An error occurred while uninstalling driver package C:\\drv\\nfc.inf 5\n."},
      {0xE0000235, 9, "ERROR: An error occurred while uninstalling driver package C:\\drv\\nfc.inf e0000235\n."},
  };
  for (const auto& row : rows) {
    InboxTamvik run({L"/U", kInf}, [&](ScriptedPlatform& p) {
      p.hasDiUninstall = true;
      p.diUninstallResult = row.answer;
    });
    EXPECT_EQ(run.code, row.code) << std::hex << row.answer;
    EXPECT_EQ(run.output.text, kUninstallAttempt + row.lines) << std::hex << row.answer;
    // The original INF, flags 0, a reboot flag so that no restart prompt
    // appears; neither the search nor SetupUninstallOEMInfW.
    EXPECT_EQ(driverCalls(run.platform), (std::vector<std::string>{"DiUninstallDriverW C:\\drv\\nfc.inf 0"}));
    EXPECT_EQ(run.platform.rebootFlagSeen, 0);
  }

  // With DIFxAPI.dll, DIFx still does the uninstall.
  Tamvik difx({L"/u", kInf}, [&](ScriptedPlatform& p) { p.hasDiUninstall = true; });
  EXPECT_FALSE(called(difx.platform, "DiUninstallDriverW"));
  EXPECT_TRUE(called(difx.platform, "DriverPackageUninstallW C:\\drv\\nfc.inf 4"));
}

TEST(TamvikInstall, TheSystemTextLosesOnlyItsLineBreak) {
  const struct {
    const wchar_t* text;
    std::string line;
  } rows[] = {
      {L"Path not found.\r\n", "ERROR: Path not found..\n"},
      {L"Path not found.\n", "ERROR: Path not found..\n"},
      {L"Two lines.\r\nSecond.\r\n\r\n", "ERROR: Two lines.\r\nSecond..\n"},
      {L"Trailing space. \r\n", "ERROR: Trailing space. .\n"},
      {L"No break", "ERROR: No break.\n"},
      {L"\r\n", "ERROR: .\n"},
  };
  for (const auto& row : rows) {
    Tamvik run({L"/i", kInf}, [&](ScriptedPlatform& p) { p.installResult = 3; p.message = row.text; });
    EXPECT_EQ(run.code, 4);
    const std::string& out = run.output.text;
    EXPECT_EQ(out.substr(out.rfind("Error code - 0x3.\n") + 18), row.line);
  }
}
