// Without DIFxAPI.dll: the in-box operations, and how each of their answers
// becomes one of the messages and exit codes that DIFx results give.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "Installer.h"
#include "ScriptedPlatform.h"

using namespace tamvik_test;

namespace {

const std::string kFailed =
    "ERROR: An error occurred while installing driver package C:\\drv\\nfc.inf. Error code - 0x";

}  // namespace

TEST(TamvikInbox, InstallEveryResult) {
  const struct {
    const char* what;
    void (*script)(ScriptedPlatform&);
    int code;
    std::string lines;
  } rows[] = {
      {"installed on the matching device", [](ScriptedPlatform&) {}, 0,
       "SUCCESS: installed driver package C:\\drv\\nfc.inf.\n"},
      {"no device IDs for this platform", [](ScriptedPlatform& p) { p.infIds.clear(); }, 2,
       kStaged + "INFO: No device IDs found in INF 'C:\\drv\\nfc.inf' for current platform.\n"},
      {"no present device carries an ID", [](ScriptedPlatform& p) { p.presentIds = {L"ROOT\\NFC2", L"ROOT\\NF"}; }, 1,
       kStaged + "INFO: There aren't any live devnodes with the device ID contained in the INF.\n"},
      {"the device has gone before newdev looks",
       [](ScriptedPlatform& p) { p.updateResults = {{L"ROOT\\NFC", kErrorNoSuchDevinst}}; }, 1,
       kStaged + "INFO: There aren't any live devnodes with the device ID contained in the INF.\n"},
      {"the device has a better driver",
       [](ScriptedPlatform& p) { p.updateResults = {{L"ROOT\\NFC", kErrorNoMoreItems}}; }, 3,
       kStaged + "INFO: All devices found already have a better driver than what is contained in the specified inf file.\n"},
      {"staging refused", [](ScriptedPlatform& p) { p.stageResult = 0xE0000247; }, 4,
       kFailed + "E0000247.\nERROR: Some text..\n"},
      // A failure whose code happens to be one that DIFx uses for a staged
      // package is still a failure: nothing was staged.
      {"staging fails with 0x103", [](ScriptedPlatform& p) { p.stageResult = kErrorNoMoreItems; }, 4,
       kFailed + "103.\nERROR: Some text..\n"},
      {"the INF cannot be read", [](ScriptedPlatform& p) { p.infIdsResult = 0xE0000100; }, 4,
       kFailed + "E0000100.\nERROR: Some text..\n"},
      {"no device list", [](ScriptedPlatform& p) { p.presentIdsResult = 0x5; }, 4,
       kFailed + "5.\nERROR: Some text..\n"},
      {"newdev fails", [](ScriptedPlatform& p) { p.updateResults = {{L"ROOT\\NFC", 0xE0000235}}; }, 4,
       kFailed + "E0000235.\nERROR: Some text..\n"},
  };
  for (const auto& row : rows) {
    InboxTamvik run({L"/i", kInf}, row.script);
    EXPECT_EQ(run.code, row.code) << row.what;
    EXPECT_EQ(run.output.text, kAttempt + row.lines) << row.what;
  }
}

TEST(TamvikInbox, InstallCallsInOrderAndLooksUpTheTextOfTheCode) {
  InboxTamvik run({L"/i", kInf});
  // Present IDs match regardless of case; newdev is asked with the INF's own
  // spelling, never forced, and with an initialised reboot flag.
  EXPECT_EQ(run.driverCalls(), (std::vector<std::string>{
                                   "SetupCopyOEMInfW C:\\drv\\nfc.inf",
                                   "GetInfDeviceIds C:\\drv\\nfc.inf",
                                   "GetPresentDeviceIds",
                                   "UpdateDriverForPlugAndPlayDevicesW ROOT\\NFC C:\\drv\\nfc.inf 0",
                               }));
  EXPECT_EQ(run.platform.rebootFlagSeen, 0);

  InboxTamvik noMatch;
  noMatch.platform.presentIds.clear();
  noMatch({L"/i", kInf});
  EXPECT_FALSE(callsAny(noMatch.platform.calls, {"UpdateDriver"}));

  InboxTamvik refused({L"/i", kInf}, [&](ScriptedPlatform& p) { p.stageResult = 0xE0000247; });
  EXPECT_EQ(refused.driverCalls(),
            (std::vector<std::string>{"SetupCopyOEMInfW C:\\drv\\nfc.inf", "FormatMessageW 800F0247 400"}));
}

TEST(TamvikInbox, SeveralDeviceIds) {
  // One ID installs: success, whatever the others answer; each ID is asked
  // once.
  InboxTamvik mixed({L"/i", kInf}, [&](ScriptedPlatform& p) {
    p.infIds = {L"PCI\\A", L"PCI\\B", L"PCI\\C", L"pci\\b", L"PCI\\ABSENT"};
    p.presentIds = {L"PCI\\A", L"PCI\\B", L"PCI\\C"};
    p.updateResults = {{L"PCI\\A", kErrorNoMoreItems}, {L"PCI\\C", kErrorNoSuchDevinst}};
  });
  EXPECT_EQ(mixed.code, 0);
  EXPECT_EQ(mixed.driverCalls().size(), 3u + 3u);

  // A better driver on one, the other gone: the devices found have better
  // drivers.
  InboxTamvik better({L"/i", kInf}, [&](ScriptedPlatform& p) {
    p.infIds = {L"PCI\\A", L"PCI\\C"};
    p.presentIds = {L"PCI\\A", L"PCI\\C"};
    p.updateResults = {{L"PCI\\A", kErrorNoMoreItems}, {L"PCI\\C", kErrorNoSuchDevinst}};
  });
  EXPECT_EQ(better.code, 3);

  // A failure ends the install at once, even after an ID that installed.
  InboxTamvik failing({L"/i", kInf}, [&](ScriptedPlatform& p) {
    p.infIds = {L"PCI\\A", L"PCI\\B", L"PCI\\C"};
    p.presentIds = p.infIds;
    p.updateResults = {{L"PCI\\B", 0x5}};
  });
  EXPECT_EQ(failing.code, 4);
  EXPECT_FALSE(callsAny(failing.platform.calls, {"UpdateDriverForPlugAndPlayDevicesW PCI\\C"}));
}

TEST(TamvikInbox, UninstallEveryResult) {
  const struct {
    const char* what;
    uint32_t find;
    uint32_t uninstall;
    int code;
    std::string lines;
  } rows[] = {
      {"removed", 0, 0, 0, "SUCCESS: Uninstalled driver package C:\\drv\\nfc.inf.\n"},
      {"not in the store", kErrorDriverPackageNotInStore, 0, 7, "INFO: Driver not present.\n"},
      {"in use by devices", 0, kErrorInfInUseByDevices, 8,
       "INFO: The driver package C:\\drv\\nfc.inf was not uninstalled because there were some applications still "
       "depending on it.\n"},
      {"the INF cannot be read", kErrorFileNotFound, 0, 9,
       "ERROR: An error occurred while uninstalling driver package C:\\drv\\nfc.inf 2\n."},
      {"removal refused", 0, 0x5, 9, "ERROR: An error occurred while uninstalling driver package C:\\drv\\nfc.inf 5\n."},
      {"removal answers a DIFx code", 0, kErrorDriverPackageNotInStore, 9,
       "ERROR: An error occurred while uninstalling driver package C:\\drv\\nfc.inf e0000302\n."},
  };
  for (const auto& row : rows) {
    InboxTamvik run({L"/u", kInf}, [&](ScriptedPlatform& p) {
      p.findPublishedResult = row.find;
      p.uninstallOemResult = row.uninstall;
    });
    EXPECT_EQ(run.code, row.code) << row.what;
    EXPECT_EQ(run.output.text, kUninstallAttempt + row.lines) << row.what;
    std::vector<std::string> expected = {"FindPublishedInf C:\\drv\\nfc.inf"};
    if (row.find == 0) {
      expected.push_back("SetupUninstallOEMInfW oem7.inf 1");  // SUOI_FORCEDELETE
    }
    EXPECT_EQ(run.driverCalls(), expected) << row.what;
  }
}

TEST(TamvikInbox, ForceInstallCreatesTheNodeThenInstalls) {
  InboxTamvik run({L"/f", kInf, L"ROOT\\NFC"});
  EXPECT_EQ(run.code, 0);
  const auto& calls = run.platform.calls;
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(calls.front(), "LoadDifxApi C:\\Tools\\DIFxAPI.dll");
  EXPECT_EQ(calls[1], "SetupDiGetINFClassA 2048");
  EXPECT_EQ(calls.back(), "UpdateDriverForPlugAndPlayDevicesW ROOT\\NFC C:\\drv\\nfc.inf 0");

  InboxTamvik noNode({L"/f", kInf, L"ROOT\\NFC"}, [&](ScriptedPlatform& p) { p.classInstallerOk = false; });
  EXPECT_EQ(noNode.code, 5);
  EXPECT_FALSE(callsAny(noNode.platform.calls, {"SetupCopyOEMInfW", "UpdateDriver"}));
}

TEST(TamvikInbox, DifxApiIsPreferredWheneverItLoads) {
  const std::initializer_list<const char*> inbox = {"SetupCopyOEMInfW", "GetInfDeviceIds", "GetPresentDeviceIds",
                                                    "UpdateDriver", "FindPublishedInf", "SetupUninstallOEMInfW"};
  const std::initializer_list<const char*> difx = {"DriverPackage"};
  for (auto args : {std::initializer_list<const wchar_t*>{L"/i", kInf}, {L"/u", kInf}, {L"/f", kInf, L"ROOT\\NFC"}}) {
    InboxTamvik withDll;
    withDll.platform.loadDifxResult = 0;
    // Even where the in-box path would succeed and DIFx fails.
    withDll.platform.installResult = 0xE0000247;
    withDll.platform.uninstallResult = 0x5;
    withDll(args);
    EXPECT_FALSE(callsAny(withDll.platform.calls, inbox)) << u8(*args.begin());
    EXPECT_TRUE(callsAny(withDll.platform.calls, difx)) << u8(*args.begin());
    EXPECT_EQ(withDll.code, *args.begin() == std::wstring(L"/u") ? 9 : 4);

    for (uint32_t loadError : {kModNotFound, 0x7Fu /* ERROR_PROC_NOT_FOUND */, 0xC1u /* ERROR_BAD_EXE_FORMAT */}) {
      InboxTamvik withoutDll;
      withoutDll.platform.loadDifxResult = loadError;
      withoutDll(args);
      EXPECT_TRUE(callsAny(withoutDll.platform.calls, inbox));
      EXPECT_FALSE(callsAny(withoutDll.platform.calls, difx));
      EXPECT_EQ(withoutDll.code, 0) << "the missing DLL no longer fails " << u8(*args.begin());
    }
  }
}
