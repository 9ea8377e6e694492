#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "InfModels.h"

using tamvik::BestModelsDecoration;
using tamvik::EqualIgnoringCase;
using tamvik::WindowsVersion;

namespace {

constexpr WindowsVersion kWindows10 = {10, 0, 19045, 1, 0x100};
constexpr WindowsVersion kWindows11 = {10, 0, 22631, 1, 0x100};
constexpr WindowsVersion kServer2022 = {10, 0, 20348, 3, 0x110};
constexpr WindowsVersion kWindows7 = {6, 1, 7601, 1, 0x100};

int best(const std::vector<std::wstring>& decorations, const WindowsVersion& os) {
  return BestModelsDecoration(decorations, os);
}

}  // namespace

TEST(InfModels, OnlyAmd64DecorationsApply) {
  EXPECT_EQ(best({}, kWindows10), -1) << "an undecorated section serves 32-bit x86 only";
  EXPECT_EQ(best({L"NTamd64"}, kWindows10), 0);
  EXPECT_EQ(best({L"ntAMD64"}, kWindows10), 0);
  EXPECT_EQ(best({L"NTx86", L"NTia64", L"NTarm64", L"NT"}, kWindows10), -1);
  EXPECT_EQ(best({L"NTx86", L"NTamd64"}, kWindows10), 1);
  EXPECT_EQ(best({L"NTamd64x", L"NTamd64.ten", L"NTamd64.1.2.3.4.5.6", L""}, kWindows10), -1);
}

TEST(InfModels, TheHighestVersionNotNewerThanTheSystem) {
  const std::vector<std::wstring> list = {L"NTamd64", L"NTamd64.6.1", L"NTamd64.10.0", L"NTamd64.10.0...22000"};
  EXPECT_EQ(best(list, kWindows7), 1);
  EXPECT_EQ(best(list, {6, 3, 9600, 1, 0}), 1);
  EXPECT_EQ(best(list, kWindows10), 2);
  EXPECT_EQ(best(list, kWindows11), 3);
  EXPECT_EQ(best({L"NTamd64.10.0...22000"}, kWindows10), -1);
  EXPECT_EQ(best({L"NTamd64.6.2", L"NTamd64.6.1"}, kWindows7), 1);
  EXPECT_EQ(best({L"NTamd64.11"}, kWindows11), -1);
}

TEST(InfModels, ProductTypeAndSuiteMaskMustMatch) {
  const std::vector<std::wstring> list = {L"NTamd64.10.0", L"NTamd64.10.0.3", L"NTamd64.10.0.0x1"};
  EXPECT_EQ(best(list, kServer2022), 1) << "at the same version the one that says more";
  EXPECT_EQ(best(list, kWindows10), 2);
  EXPECT_EQ(best({L"NTamd64.10.0.3"}, kWindows10), -1);
  EXPECT_EQ(best({L"NTamd64.10.0..0x110"}, kServer2022), 0);
  EXPECT_EQ(best({L"NTamd64.10.0..0x110"}, kWindows10), -1);
}

TEST(InfModels, DeviceIdsCompareWithoutAsciiCase) {
  EXPECT_TRUE(EqualIgnoringCase(L"ROOT\\NFCMESIM", L"root\\NfcMeSim"));
  EXPECT_FALSE(EqualIgnoringCase(L"ROOT\\NFC", L"ROOT\\NFC0"));
  EXPECT_FALSE(EqualIgnoringCase(L"ROOT\\\u00c9", L"ROOT\\\u00e9"));
}
