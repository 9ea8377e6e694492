#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "Installer.h"
#include "ScriptedPlatform.h"

using namespace tamvik_test;

namespace {

const std::string kUsage =
    "USAGE: Tamvik.exe <option> <full path to the inf file>\n"
    "Tamvik.exe /f <full path to the inf file> <hardwareID>\n"
    "<option> can be one of the following -\n"
    "/i - Install the driver\n"
    "/u - Uninstall the driver\n"
    "/f - Force Install the driver\n";

const std::vector<std::string> kCreateCalls = {
    "SetupDiGetINFClassA 2048",
    "SetupDiCreateDeviceInfoList 4D36E97D",
    "SetupDiCreateDeviceInfoA 1511 System 4D36E97D 1 size " + std::to_string(sizeof(DeviceInfoRecord)),
    "SetupDiSetDeviceRegistryPropertyA 1511 42 1 12",
    "SetupDiCallClassInstaller 25 1511 42",
    "SetupDiDestroyDeviceInfoList 1511",
};

// DIFxAPI.dll is looked for before anything else of an install, force
// install or uninstall.
const std::string kLoad = "LoadDifxApi C:\\Tools\\DIFxAPI.dll";

const std::vector<std::string> kInstallCalls = {
    "CM_Locate_DevNodeW 0",
    "CM_Reenumerate_DevNode 119 0",
    "DriverPackageInstallW C:\\drv\\nfc.inf 0",
};

}  // namespace

TEST(TamvikCommandLine, TooFewArgumentsPrintTheUsage) {
  for (auto args : {std::initializer_list<const wchar_t*>{}, {L"/i"}}) {
    Tamvik run(args);
    EXPECT_EQ(run.code, 6);
    EXPECT_EQ(run.output.text, kUsage);
    EXPECT_TRUE(run.platform.calls.empty());
  }
}

TEST(TamvikCommandLine, OptionOfWrongLengthGivesSixOtherwiseSixteen) {
  const struct {
    const wchar_t* option;
    int code;
  } cases[] = {{L"", 6}, {L"x", 6}, {L"/", 6}, {L"/ii", 6}, {L"/i ", 6},
               {L"/x", 16}, {L"-i", 16}, {L"ii", 16}, {L"//", 16}, {L"/\u00ed", 16}};
  for (const auto& c : cases) {
    Tamvik run({c.option, kInf, L"HW"});
    EXPECT_EQ(run.code, c.code) << u8(c.option);
    EXPECT_EQ(run.output.text, "ERROR: An invalid command line option " + u8(c.option) + " was passed in!\n");
    EXPECT_TRUE(run.platform.calls.empty());
  }
}

TEST(TamvikCommandLine, UpperCaseOptionsWorkAsLowerCase) {
  for (const wchar_t* option : {L"/i", L"/I"}) {
    Tamvik run({option, kInf});
    EXPECT_EQ(run.code, 0);
    std::vector<std::string> expected = {kLoad};
    expected.insert(expected.end(), kInstallCalls.begin(), kInstallCalls.end());
    EXPECT_EQ(run.platform.calls, expected);
  }
  for (const wchar_t* option : {L"/u", L"/U"}) {
    Tamvik run({option, kInf, L"ignored", L"ignored too"});
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.platform.calls, (std::vector<std::string>{kLoad, "DriverPackageUninstallW C:\\drv\\nfc.inf 4"}));
  }
  for (const wchar_t* option : {L"/f", L"/F"}) {
    Tamvik run({option, kInf, L"ROOT\\NFC_0"});
    EXPECT_EQ(run.code, 0);
    std::vector<std::string> expected = {kLoad};
    expected.insert(expected.end(), kCreateCalls.begin(), kCreateCalls.end());
    expected.insert(expected.end(), kInstallCalls.begin(), kInstallCalls.end());
    EXPECT_EQ(run.platform.calls, expected);
  }
}

TEST(TamvikInstall, EveryResultRow) {
  const struct {
    uint32_t result;
    int code;
    std::string lines;
  } rows[] = {
      {0, 0, "SUCCESS: installed driver package C:\\drv\\nfc.inf.\n"},
      {0x103, 3, kStaged + "INFO: All devices found already have a better driver than what is contained in the specified inf file.\n"},
      {0xE000020B, 1, kStaged + "INFO: There aren't any live devnodes with the device ID contained in the INF.\n"},
      {0xE0000301, 2, kStaged + "INFO: No device IDs found in INF 'C:\\drv\\nfc.inf' for current platform.\n"},
      {0xE0000247, 4, "ERROR: An error occurred while installing driver package C:\\drv\\nfc.inf. Error code - 0xE0000247.\n"
                      "ERROR: Some text..\n"},
  };
  for (const auto& row : rows) {
    Tamvik run({L"/i", kInf}, [&](ScriptedPlatform& p) { p.installResult = row.result; });
    EXPECT_EQ(run.code, row.code) << std::hex << row.result;
    EXPECT_EQ(run.output.text, kAttempt + row.lines);
    EXPECT_EQ(run.platform.rebootFlagSeen, 0) << "the reboot flag is initialised";
  }
}

TEST(TamvikInstall, MessageTextIsLookedUpUnderTheRightIdentifier) {
  const struct {
    uint32_t result;
    const char* lookup;
  } cases[] = {
      {0xE0000247, "FormatMessageW 800F0247 400"},  // SetupAPI code: its HRESULT form
      {0xE0000303, "FormatMessageW 800F0303 400"},  // DIFx code
      {2, "FormatMessageW 2 400"},                  // Win32 error as it is
      {0x800B0100, "FormatMessageW 800B0100 400"},  // HRESULT as it is
  };
  for (const auto& c : cases) {
    Tamvik run({L"/i", kInf}, [&](ScriptedPlatform& p) { p.installResult = c.result; });
    EXPECT_EQ(run.code, 4);
    EXPECT_EQ(run.platform.calls.back(), c.lookup);
  }
}

TEST(TamvikInstall, NoSystemTextStillPrintsTheLine) {
  Tamvik run({L"/i", kInf}, [&](ScriptedPlatform& p) { p.installResult = 0x2; p.hasMessage = false; });
  EXPECT_EQ(run.code, 4);
  EXPECT_EQ(run.output.text,
            kAttempt + "ERROR: An error occurred while installing driver package C:\\drv\\nfc.inf. Error code - 0x2.\n"
            "ERROR: .\n");
}

TEST(TamvikInstall, ReenumerationFailuresOnlyPrintTheirNarrowLine) {
  Tamvik locate({L"/i", kInf}, [&](ScriptedPlatform& p) { p.locateResult = 0x13; });
  EXPECT_EQ(locate.code, 0);
  EXPECT_EQ(locate.platform.calls,
            (std::vector<std::string>{kLoad, "CM_Locate_DevNodeW 0", "DriverPackageInstallW C:\\drv\\nfc.inf 0"}));
  EXPECT_EQ(locate.output.text,
            kAttempt + "CM_Locate_DevNode failed: 13\n"
            "SUCCESS: installed driver package C:\\drv\\nfc.inf.\n");

  Tamvik reenumerate({L"/i", kInf}, [&](ScriptedPlatform& p) {
    p.reenumerateResult = 0x1F;
    p.installResult = 0xE0000301;
  });
  EXPECT_EQ(reenumerate.code, 2);
  EXPECT_EQ(std::vector<std::string>(reenumerate.platform.calls.begin() + 1, reenumerate.platform.calls.end()),
            kInstallCalls);
  EXPECT_NE(reenumerate.output.text.find(".\nCM_Reenumerate_DevNode failed: 1f\nINFO: the driver"), std::string::npos);
}

TEST(TamvikUninstall, EveryResultRow) {
  const struct {
    uint32_t result;
    int code;
    std::string lines;
  } rows[] = {
      {0, 0, "SUCCESS: Uninstalled driver package C:\\drv\\nfc.inf.\n"},
      {0xE0000300, 8, "INFO: The driver package C:\\drv\\nfc.inf was not uninstalled because there were some "
                      "applications still depending on it.\n"},
      {0xE0000302, 7, "INFO: Driver not present.\n"},
      {0xE0000303, 9, "ERROR: An error occurred while uninstalling driver package C:\\drv\\nfc.inf e0000303\n."},
      {0x7E, 9, "ERROR: An error occurred while uninstalling driver package C:\\drv\\nfc.inf 7e\n."},
  };
  for (const auto& row : rows) {
    Tamvik run({L"/u", kInf}, [&](ScriptedPlatform& p) { p.uninstallResult = row.result; });
    EXPECT_EQ(run.code, row.code);
    EXPECT_EQ(run.output.text, kUninstallAttempt + row.lines);
    EXPECT_EQ(run.platform.calls, (std::vector<std::string>{kLoad, "DriverPackageUninstallW C:\\drv\\nfc.inf 4"}));
    EXPECT_EQ(run.platform.rebootFlagSeen, 0);
  }
}

TEST(TamvikForceInstall, MissingHardwareIdCreatesNothing) {
  Tamvik run({L"/f", kInf});
  EXPECT_EQ(run.code, 6);
  EXPECT_EQ(run.output.text, "FAILED : Missing hardwareID parameter.\n");
  EXPECT_TRUE(run.platform.calls.empty());
}

TEST(TamvikForceInstall, HardwareIdIsWrittenAsAMultiString) {
  Tamvik run({L"/f", kInf, L"ROOT\\NFC_0"});
  const std::string bytes(run.platform.propertyBytes.begin(), run.platform.propertyBytes.end());
  EXPECT_EQ(bytes, std::string("ROOT\\NFC_0\0\0", 12));
  EXPECT_EQ(run.platform.infPathUtf8, "C:\\drv\\nfc.inf");
}

TEST(TamvikForceInstall, EachFailedStepStopsWithExitFive) {
  // Steps after SetupDiCreateDeviceInfoList still free the set; the node of a
  // later failing install is not removed (no rollback).
  const struct {
    void (*fail)(ScriptedPlatform&);
    size_t callsMade;
  } steps[] = {
      {[](ScriptedPlatform& p) { p.infClassOk = false; }, 1},
      {[](ScriptedPlatform& p) { p.deviceInfoSet = kInvalidDeviceInfoSet; }, 2},
      {[](ScriptedPlatform& p) { p.createInfoOk = false; }, 3},
      {[](ScriptedPlatform& p) { p.setPropertyOk = false; }, 4},
      {[](ScriptedPlatform& p) { p.classInstallerOk = false; }, 5},
  };
  for (const auto& step : steps) {
    Tamvik run({L"/f", kInf, L"ROOT\\NFC_0"}, step.fail);
    EXPECT_EQ(run.code, 5);
    EXPECT_EQ(run.output.text, "FAILED : Cannot create DevNode C:\\drv\\nfc.inf.\n");
    std::vector<std::string> expected = {kLoad};
    expected.insert(expected.end(), kCreateCalls.begin(), kCreateCalls.begin() + step.callsMade);
    if (step.callsMade > 2) {
      expected.push_back(kCreateCalls.back());
    }
    EXPECT_EQ(run.platform.calls, expected);
  }

  Tamvik failingInstall({L"/f", kInf, L"ROOT\\NFC_0"}, [&](ScriptedPlatform& p) { p.installResult = 0x5; });
  EXPECT_EQ(failingInstall.code, 4);
  EXPECT_EQ(failingInstall.platform.calls.size(), 1 + kCreateCalls.size() + kInstallCalls.size() + 1);
}

TEST(TamvikForceInstall, Utf8LimitsOfInfPathAndHardwareId) {
  auto force = [](const std::wstring& inf, const std::wstring& id) {
    Tamvik run({L"/f", inf.c_str(), id.c_str()});
    return run.code;
  };
  const std::wstring id = L"ROOT\\NFC";
  // INF path: 2..1023 bytes with the NUL.
  EXPECT_EQ(force(std::wstring(1022, L'a'), id), 0);
  EXPECT_EQ(force(std::wstring(1023, L'a'), id), 5);
  EXPECT_EQ(force(std::wstring(511, L'\u00e9'), id), 0);          // 1022 bytes + NUL
  EXPECT_EQ(force(std::wstring(340, L'\u20ac') + L"ab", id), 0);  // 1022 bytes + NUL
  EXPECT_EQ(force(std::wstring(341, L'\u20ac'), id), 5);          // 1023 bytes + NUL
  EXPECT_EQ(force(std::wstring(1, L'a'), id), 0);
  EXPECT_EQ(force(L"", id), 5);
  // Hardware ID: 2..2051 bytes with the NUL.
  EXPECT_EQ(force(kInf, std::wstring(2050, L'H')), 0);
  EXPECT_EQ(force(kInf, std::wstring(2051, L'H')), 5);
  EXPECT_EQ(force(kInf, std::wstring(1025, L'\u00fc')), 0);         // 2050 bytes + NUL
  EXPECT_EQ(force(kInf, std::wstring(1025, L'\u00fc') + L"a"), 5);  // 2051 bytes + NUL
  EXPECT_EQ(force(kInf, L"H"), 0);
  EXPECT_EQ(force(kInf, L""), 5);

  Tamvik atLimit({L"/f", kInf, std::wstring(2050, L'H').c_str()});
  EXPECT_EQ(atLimit.platform.propertyBytes.size(), 2052u);
  EXPECT_EQ(atLimit.platform.propertyBytes[2050], 0);
  EXPECT_EQ(atLimit.platform.propertyBytes[2051], 0);

  Tamvik tooLong({L"/f", kInf, std::wstring(2051, L'H').c_str()});
  EXPECT_EQ(tooLong.platform.calls, std::vector<std::string>{kLoad}) << "nothing reaches SetupAPI";
  EXPECT_EQ(tooLong.output.text, "FAILED : Cannot create DevNode C:\\drv\\nfc.inf.\n");
}

TEST(TamvikForceInstall, NonAsciiPathsAndIds) {
  // U+1F600 is a surrogate pair on Windows and one unit elsewhere: 4 bytes of
  // UTF-8 either way.
  const wchar_t* inf = L"C:\\Treiber\\Gr\u00f6\u00dfe\\\u6a21\U0001F600.inf";
  Tamvik run({L"/F", inf, L"ROOT\\\u00c9CRAN"});
  EXPECT_EQ(run.code, 0);
  EXPECT_EQ(run.platform.infPathUtf8, "C:\\Treiber\\Gr\xC3\xB6\xC3\x9F" "e\\\xE6\xA8\xA1\xF0\x9F\x98\x80.inf");
  const std::string bytes(run.platform.propertyBytes.begin(), run.platform.propertyBytes.end());
  EXPECT_EQ(bytes, std::string("ROOT\\\xC3\x89" "CRAN\0\0", 13));
  // DIFxAPI receives the wide path unchanged; the messages show it.
  EXPECT_EQ(run.platform.calls.back(), "DriverPackageInstallW " + u8(inf) + " 0");
  const std::string success = "SUCCESS: installed driver package " + u8(inf) + ".\n";
  ASSERT_GE(run.output.text.size(), success.size());
  EXPECT_EQ(run.output.text.substr(run.output.text.size() - success.size()), success);
}

