// The Windows HECI device port against the kernel-mode NFC-ME firmware
// stand-in (sim/driver), in a Wine prefix where it is installed: discovery,
// both IOCTLs, reads that pend in a driver, cancellation, and the close of a
// handle whose read is pending, with drivers that let cancelled requests go
// at once, only when the handle goes away, or late.
//
// Each test sets the driver's scenario (read by the driver on every open)
// before it opens the device.
#include <algorithm>
#include <gtest/gtest.h>

#include <windows.h>
#include <setupapi.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "HeciPortWin32.h"
#include "TestSupport.h"

namespace {

using Clock = testsupport::TestClock;
using testsupport::kVersionQuery;
using testsupport::msSince;
using testsupport::Output;

bool setDriverValue(const wchar_t* name, const std::wstring& text) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\nfcmesim", 0, nullptr, 0,
                      KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const LONG rc = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                 static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}

bool interfacePresent() {
  HDEVINFO set = SetupDiGetClassDevsW(&kHeciInterfaceClassGuid, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return false;
  SP_DEVICE_INTERFACE_DATA data = {};
  data.cbSize = sizeof data;
  const bool found = SetupDiEnumDeviceInterfaces(set, nullptr, &kHeciInterfaceClassGuid, 0, &data);
  SetupDiDestroyDeviceInfoList(set);
  return found;
}

constexpr char kTracePath[] = "C:\\nfcmesim-trace.txt";

// How long a test waits for something the driver or the port's close thread
// will do: long enough for any machine that is not stuck (Wine's driver host
// on a loaded emulated machine), and reached only on a fault.
constexpr int kPatienceMs = 60000;

// A bound on how long a call may take where the fault it guards against is
// a hang (a wait for a request the driver never lets go of by itself).
constexpr long long kHangMs = 30000;

std::vector<std::string> traceLines() {
  std::vector<std::string> lines;
  std::ifstream in(kTracePath);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// The lines of the trace (after its time stamp) that contain `what`.
std::vector<std::string> traced(const std::string& what) {
  std::vector<std::string> found;
  for (const std::string& line : traceLines()) {
    const size_t space = line.find(' ');
    if (line.find(what) != std::string::npos) found.push_back(line.substr(space + 1));
  }
  return found;
}

// Waits (up to `ms`) until the driver has traced `what`.
bool waitTraced(const std::string& what, int ms = kPatienceMs) {
  const auto start = Clock::now();
  while (msSince(start) < ms) {
    if (!traced(what).empty()) return true;
    Sleep(10);
  }
  return false;
}

// Whether every request the port parked has been let go by the driver (once
// its handle is closed at the latest) and freed.
bool parkedRequestsGo() {
  const auto start = Clock::now();
  while (HECIWinT_ParkedRequests() != 0 && msSince(start) < kPatienceMs) Sleep(10);
  return HECIWinT_ParkedRequests() == 0;
}

class HeciWinDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    // Whatever an earlier run left: the default scenario brings the
    // interface back within 50 ms. The first test also waits for Wine to
    // start the driver in this session, which on a loaded or emulated
    // machine can take minutes; a driver that never came is not waited
    // for again.
    static bool driverStarted = false;
    static bool waitedForTheStart = false;
    setDriverValue(L"Scenario", L"");
    const int limitMs = driverStarted || waitedForTheStart ? 20000 : 240000;
    waitedForTheStart = true;
    const auto start = Clock::now();
    while (!interfacePresent() && msSince(start) < limitMs) Sleep(20);
    driverStarted = driverStarted || interfacePresent();
    ASSERT_TRUE(interfacePresent()) << "the NFC-ME stand-in is not installed in this prefix";
    std::ofstream(kTracePath, std::ios::trunc).flush();
  }
  void TearDown() override { setDriverValue(L"Scenario", L""); }

  void scenario(const std::wstring& text) { ASSERT_TRUE(setDriverValue(L"Scenario", text)); }

  // HECI_Init with its output captured.
  HECIStatus init(HECIWinDevice** device, std::string* log) {
    Output captured;
    const HECIStatus status = HECI_Init(device);
    *log = captured.take();
    return status;
  }

  HECIWinDevice* open() {
    HECIWinDevice* device = nullptr;
    std::string log;
    EXPECT_EQ(init(&device, &log), hsSuccess) << log;
    EXPECT_EQ(log, "");
    return device;
  }

  static void closeAndFree(HECIWinDevice* device) {
    HECIWin_CloseHeci(device);
    HECIWin_FreeHeci(device);
  }
};

TEST_F(HeciWinDriver, InitFindsTheInterfaceAndConnectsTheClient) {
  scenario(L"maxMessageLength=4096");
  HECIWinDevice* device = open();
  ASSERT_NE(device, nullptr);
  EXPECT_TRUE(HECIWin_IsOpen(device));
  EXPECT_EQ(HECIWin_MaxMessageLength(device), 4096u);
  closeAndFree(device);
  // Version first, then the connect for the NFC-ME client, then the close.
  ASSERT_TRUE(waitTraced("close"));
  const std::vector<std::string> ioctls = traced("ioctl");
  ASSERT_EQ(ioctls.size(), 3u);
  EXPECT_NE(ioctls[0].find("version"), std::string::npos);
  EXPECT_NE(ioctls[1].find("connect, delay 0"), std::string::npos);
  EXPECT_NE(ioctls[2].find("done 5"), std::string::npos);
  // The driver is 64-bit; a 32-bit build of the port reaches it through WoW64.
  const std::vector<std::string> opens = traced(" open ");
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].substr(opens[0].size() - 2), sizeof(void*) == 4 ? "32" : "64");
}

TEST_F(HeciWinDriver, WithoutTheInterfaceInitGivesNotFoundSilently) {
  scenario(L"devicePresent=false");
  const auto start = Clock::now();
  while (interfacePresent() && msSince(start) < kPatienceMs) Sleep(10);
  HECIWinDevice* device = reinterpret_cast<HECIWinDevice*>(1);
  std::string log;
  EXPECT_EQ(init(&device, &log), hsDeviceNotFound);
  EXPECT_EQ(device, nullptr);
  EXPECT_EQ(log, "");
  EXPECT_TRUE(traced(" open ").empty());
}

TEST_F(HeciWinDriver, EachIoctlFailureHasItsLineAndClosesTheHandle) {
  struct Case {
    const wchar_t* scenario;
    std::string line;
  } cases[] = {
      {L"versionFails=true",
       "ERROR   : HECIWin : failed to get HECI Version (IOCTL_HECI_GET_VERSION) : HECIWinF_doIoctl return 0x0\n"},
      {L"versionAnswerLength=4",
       "ERROR   : HECIWin : failed to get HECI Version (IOCTL_HECI_GET_VERSION) : HECIWinF_doIoctl return 0x4\n"},
      {L"connectFails=true",
       "ERROR   : HECIWin : IOCTL_HECI_CONNECT_CLIENT failed : HECIWinF_doIoctl return 0x0, GetLastError : 0x490\n"},
      {L"connectAnswerLength=3",
       "ERROR   : HECIWin : IOCTL_HECI_CONNECT_CLIENT failed : HECIWinF_doIoctl return 0x3, GetLastError : 0x0\n"},
      {L"connectAnswerLength=0",
       "ERROR   : HECIWin : IOCTL_HECI_CONNECT_CLIENT failed : HECIWinF_doIoctl return 0x0, GetLastError : 0x0\n"},
      {L"maxMessageLength=0", "ERROR   : HECIWin : IOCTL_HECI_CONNECT_CLIENT failed : max_msg_length 0\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.line));
    scenario(c.scenario);
    std::ofstream(kTracePath, std::ios::trunc).flush();
    HECIWinDevice* device = reinterpret_cast<HECIWinDevice*>(1);
    std::string log;
    EXPECT_EQ(init(&device, &log), hsDeviceError);
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(log, c.line);
    // The failed attempt's handle is closed (on the async close thread).
    EXPECT_TRUE(waitTraced("close"));
  }
}

TEST_F(HeciWinDriver, AConnectForAnotherClientIsRefused) {
  HECIWinDevice* device = open();
  ASSERT_NE(device, nullptr);
  uint8_t other[16] = {1, 2, 3};
  uint8_t answer[5] = {};
  EXPECT_EQ(HECIWinF_doIoctl(device, IOCTL_HECI_CONNECT_CLIENT, other, sizeof other, answer), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
  closeAndFree(device);
}

// The driver's answers come a minute late here, so that a port that waited
// for them is told on any machine from one that gave up after its own waits
// (about 1 s, and 0.5 s more for the cancel), however slow opening and the
// version query are on a loaded emulated machine.
constexpr long long kDriverDelayMs = 60000;

TEST_F(HeciWinDriver, AnIoctlThatMissesItsWaitIsCancelledOrLeftToTheDriver) {
  // A driver that lets the cancelled connect go at once.
  scenario(L"connectDelayMs=" + std::to_wstring(kDriverDelayMs));
  std::ofstream(kTracePath, std::ios::trunc).flush();
  HECIWinDevice* device = nullptr;
  std::string log;
  auto start = Clock::now();
  EXPECT_EQ(init(&device, &log), hsDeviceError);
  EXPECT_GE(msSince(start), 950);
  EXPECT_LT(msSince(start), kDriverDelayMs);
  EXPECT_EQ(log.find("ERROR   : HECIWin : IOCTL_HECI_CONNECT_CLIENT failed : HECIWinF_doIoctl return 0x0"), 0u)
      << log;
  EXPECT_TRUE(waitTraced("cancel ioctl")) << "the port withdrew the connect";
  // Let go at once by the driver, though on a loaded machine perhaps only
  // after the port's wait for it, which then parked it until its close.
  EXPECT_TRUE(parkedRequestsGo());

  // One that holds it until the handle goes: the wait after the cancel is
  // bounded, and the request keeps its memory until the driver completes it.
  scenario(L"connectDelayMs=" + std::to_wstring(kDriverDelayMs) + L";cancelMode=onclose");
  start = Clock::now();
  EXPECT_EQ(init(&device, &log), hsDeviceError);
  EXPECT_GE(msSince(start), 950 + 450);
  EXPECT_LT(msSince(start), kDriverDelayMs);
  // The failed attempt's close ends the request; the slot goes with it.
  EXPECT_TRUE(parkedRequestsGo());
}

TEST_F(HeciWinDriver, AQueryIsAnsweredWithOneWholeMessage) {
  scenario(L"radioType=17;framesOnConnect=03 00 00 00 00 00 00");
  HECIWinDevice* device = open();
  ASSERT_NE(device, nullptr);
  uint32_t written = 0;
  EXPECT_EQ(HECI_Write(device, kVersionQuery.data(), kVersionQuery.size(), &written), hsSuccess);
  EXPECT_EQ(written, kVersionQuery.size());
  std::vector<uint8_t> buffer(HECIWin_MaxMessageLength(device));
  uint32_t n = 0;
  // The unsolicited frame first, then the answer: one message per read.
  ASSERT_EQ(HECI_Read(device, buffer.data(), static_cast<uint32_t>(buffer.size()), &n), hsSuccess);
  EXPECT_EQ(n, 7u);
  EXPECT_EQ(buffer[0], 0x03);
  ASSERT_EQ(HECI_Read(device, buffer.data(), static_cast<uint32_t>(buffer.size()), &n), hsSuccess);
  ASSERT_EQ(n, 25u);
  EXPECT_EQ(buffer[8], 15);   // dataSize
  EXPECT_EQ(buffer[10], 1);   // the version sub-command
  EXPECT_EQ(buffer[24], 17);  // radio type
  closeAndFree(device);
  ASSERT_TRUE(waitTraced("close"));
  EXPECT_EQ(traced("write 11: 00 00 00 00 00 00 00 00 01 00 01").size(), 1u);
}

TEST_F(HeciWinDriver, ReadFailuresAreDeviceErrorsWithTheirLine) {
  struct Case {
    const wchar_t* scenario;
    const char* line;
    // Where the read reaches the driver only after the failure (the test
    // thread held up for longer than the answer's delay, on a loaded or
    // emulated machine), the driver refuses it at once: the same error,
    // which the port reports from ReadFile itself.
    const char* lineOfARefusedRead;
  } cases[] = {
      {L"answerMode=readerror;answerDelayMs=200", "ERROR   : HECI_Read : GetOverlappedResult() failed , GetLastError : 1F\n",
       "ERROR   : HECI_Read : ReadFile() failed, GetLastError : 1F\n"},
      // The device lost with the read pending, and then for good.
      {L"answerMode=gone;answerDelayMs=200", "ERROR   : HECI_Read : GetOverlappedResult() failed , GetLastError : 37\n",
       "ERROR   : HECI_Read : ReadFile() failed, GetLastError : 37\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    scenario(c.scenario);
    HECIWinDevice* device = open();
    ASSERT_NE(device, nullptr);
    uint32_t n = 0;
    ASSERT_EQ(HECI_Write(device, kVersionQuery.data(), kVersionQuery.size(), &n), hsSuccess);
    std::vector<uint8_t> buffer(HECIWin_MaxMessageLength(device));
    Output captured;
    EXPECT_EQ(HECI_Read(device, buffer.data(), static_cast<uint32_t>(buffer.size()), &n), hsDeviceError);
    const std::string line = captured.take();
    EXPECT_TRUE(line == c.line || line == c.lineOfARefusedRead) << line;
    closeAndFree(device);
  }
}

// Every Orlisk run ends this way: the link is closed while the dispatch
// thread's read is pending in the driver.
TEST_F(HeciWinDriver, CloseWithAReadPendingReturnsPromptlyWhateverTheDriverDoesWithTheCancel) {
  for (const wchar_t* mode : {L"cancelMode=normal", L"cancelMode=onclose", L"cancelMode=late;cancelDelayMs=60000"}) {
    SCOPED_TRACE(std::string(mode, mode + wcslen(mode)));
    scenario(std::wstring(mode) + L";answerMode=none");
    HECIWinDevice* device = open();
    ASSERT_NE(device, nullptr);
    std::vector<uint8_t> buffer(HECIWin_MaxMessageLength(device));
    HECIStatus readStatus = hsSuccess;
    std::thread reader([&] {
      uint32_t n = 0;
      readStatus = HECI_Read(device, buffer.data(), static_cast<uint32_t>(buffer.size()), &n);
    });
    Sleep(200);  // the read is pending in the driver
    const auto start = Clock::now();
    HECIWin_CloseHeci(device);
    const long long closeMs = msSince(start);
    reader.join();
    EXPECT_EQ(readStatus, hsNoDevice);
    // The close returned only after the reader had left HECI_Read, and it
    // did not wait for a cancel that only the handle's close can end, nor
    // for one the driver lets go a minute later.
    EXPECT_LT(closeMs, kHangMs);
    HECIWin_FreeHeci(device);
  }
}

TEST_F(HeciWinDriver, AStalledWriteFailsAfterItsWaitAndIsCancelledOrLeftToTheDriver) {
  const std::string line = "ERROR   : HECI_Write : GetOverlappedResult() failed, GetLastError : 3E4\n";
  {
    scenario(L"stallWrites=true");
    HECIWinDevice* device = open();
    ASSERT_NE(device, nullptr);
    uint32_t n = 7;
    Output captured;
    const auto start = Clock::now();
    EXPECT_EQ(HECI_Write(device, kVersionQuery.data(), kVersionQuery.size(), &n), hsDeviceError);
    const long long ms = msSince(start);
    EXPECT_EQ(captured.take(), line);
    EXPECT_EQ(n, 0u);
    EXPECT_GE(ms, 480);
    EXPECT_LT(ms, kHangMs);  // a stalled write never ends by itself
    // Cancelled and collected: the next write may use the control block.
    Output captured2;
    EXPECT_EQ(HECI_Write(device, kVersionQuery.data(), kVersionQuery.size(), &n), hsDeviceError);
    EXPECT_EQ(captured2.take(), line);
    closeAndFree(device);
    EXPECT_TRUE(parkedRequestsGo());
  }
  {
    // A driver that keeps the cancelled write until the handle goes: the
    // write still fails within its two bounded waits, and the record that
    // holds its control block outlives the request.
    scenario(L"stallWrites=true;cancelMode=onclose");
    HECIWinDevice* device = open();
    ASSERT_NE(device, nullptr);
    uint32_t n = 0;
    Output captured3;
    const auto start = Clock::now();
    EXPECT_EQ(HECI_Write(device, kVersionQuery.data(), kVersionQuery.size(), &n), hsDeviceError);
    const long long ms = msSince(start);
    EXPECT_EQ(captured3.take(), line);
    EXPECT_GE(ms, 480 + 450);
    EXPECT_LT(ms, kHangMs);
    Output captured4;
    EXPECT_EQ(HECI_Write(device, kVersionQuery.data(), kVersionQuery.size(), &n), hsDeviceError);
    EXPECT_EQ(captured4.take(),
              "ERROR   : HECI_Write : WriteFile() failed, GetLastError : AA\n");
    closeAndFree(device);
    EXPECT_TRUE(parkedRequestsGo());
  }
}

// A write the driver refuses at once never was in the driver: the control
// block serves the next write, and the record is freed, not parked.
TEST_F(HeciWinDriver, AWriteRefusedAtOnceLeavesTheControlBlockFree) {
  scenario(L"failWriteNumber=1;failWriteCount=1");
  HECIWinDevice* device = open();
  ASSERT_NE(device, nullptr);
  uint32_t n = 0;
  Output captured;
  EXPECT_EQ(HECI_Write(device, kVersionQuery.data(), kVersionQuery.size(), &n), hsDeviceError);
  EXPECT_EQ(captured.take(),
            "ERROR   : HECI_Write : WriteFile() failed, GetLastError : 1F\n");
  Output captured2;
  EXPECT_EQ(HECI_Write(device, kVersionQuery.data(), kVersionQuery.size(), &n), hsSuccess);
  EXPECT_EQ(captured2.take(), "");
  EXPECT_EQ(n, kVersionQuery.size());
  closeAndFree(device);
  EXPECT_EQ(HECIWinT_ParkedRequests(), 0u);
  ASSERT_TRUE(waitTraced("close"));
  EXPECT_EQ(traced("write (refused) 11:").size(), 1u);
  EXPECT_EQ(traced("write 11:").size(), 1u);
}

TEST_F(HeciWinDriver, CloseWhileAWriteStallsWaitsForTheWriteOnly) {
  scenario(L"stallWrites=true");
  HECIWinDevice* device = open();
  ASSERT_NE(device, nullptr);
  std::thread writer([&] {
    uint32_t n = 0;
    Output captured;
    HECI_Write(device, kVersionQuery.data(), kVersionQuery.size(), &n);
    captured.take();
  });
  ASSERT_TRUE(waitTraced("write (stalled)"));
  const auto start = Clock::now();
  HECIWin_CloseHeci(device);
  EXPECT_LT(msSince(start), kHangMs);
  writer.join();
  HECIWin_FreeHeci(device);
}

TEST_F(HeciWinDriver, InitAfterCloseOpensANewHandleAndTheOldOneGoes) {
  for (int round = 0; round < 3; ++round) {
    HECIWinDevice* device = open();
    ASSERT_NE(device, nullptr);
    HECIWin_CloseHeci(device);
    EXPECT_TRUE(HECIWinT_HasAsyncCloseThread());
    HECIWin_FreeHeci(device);
  }
  HECIWinDevice* device = open();
  ASSERT_NE(device, nullptr);
  closeAndFree(device);
  // Four opens, and each of those handles closed once: none was left
  // behind. (Counted per handle: on a slow machine the close of an earlier
  // test's handle may still reach the trace.)
  const auto handle = [](const std::string& line) { return line.substr(0, line.find(' ')); };
  std::vector<std::string> opened;
  for (const std::string& line : traced(" open")) opened.push_back(handle(line));
  const auto closesOfOurs = [&] {
    size_t n = 0;
    for (const std::string& line : traced(" close")) {
      if (std::find(opened.begin(), opened.end(), handle(line)) != opened.end()) ++n;
    }
    return n;
  };
  const auto start = Clock::now();
  while (closesOfOurs() < 4 && msSince(start) < kPatienceMs) Sleep(10);
  EXPECT_EQ(opened.size(), 4u);
  EXPECT_EQ(closesOfOurs(), 4u);
}

}  // namespace
