// The Windows HECI device port under Wine. A message-mode named pipe opened
// for overlapped I/O stands in for the device handle; the test holds the
// other end and plays the firmware client. Discovery meets Wine's empty
// list of HECI interfaces.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "HeciPortWin32.h"
#include "Mutex.h"
#include "TestSupport.h"

using testsupport::Output;

namespace {

constexpr ULONG_PTR kStatusCancelled = 0xC0000120;

struct Pipe {
  HANDLE server = INVALID_HANDLE_VALUE;  // the firmware's end, synchronous
  HANDLE client = INVALID_HANDLE_VALUE;  // handed to the port, which closes it
};

Pipe makePipe(DWORD bufferSize = 4096) {
  static int serial = 0;
  const std::wstring name = L"\\\\.\\pipe\\heciwin-" + std::to_wstring(GetCurrentProcessId()) +
                            L"-" + std::to_wstring(++serial);
  Pipe p;
  p.server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX,
                              PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                              bufferSize, bufferSize, 0, nullptr);
  p.client = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  DWORD mode = PIPE_READMODE_MESSAGE;
  SetNamedPipeHandleState(p.client, &mode, nullptr, nullptr);
  ConnectNamedPipe(p.server, nullptr);  // already connected: ERROR_PIPE_CONNECTED
  EXPECT_NE(p.server, INVALID_HANDLE_VALUE);
  EXPECT_NE(p.client, INVALID_HANDLE_VALUE);
  return p;
}

void serverWrite(const Pipe& p, const std::string& message) {
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(p.server, message.data(), static_cast<DWORD>(message.size()), &n, nullptr));
}

std::string serverRead(const Pipe& p) {
  char buffer[256];
  DWORD n = 0;
  EXPECT_TRUE(ReadFile(p.server, buffer, sizeof buffer, &n, nullptr));
  return std::string(buffer, n);
}

// True once the port's handle has been closed and nothing is left unread.
bool peerGone(const Pipe& p) {
  DWORD available = 0;
  return !PeekNamedPipe(p.server, nullptr, 0, nullptr, &available, nullptr) &&
         GetLastError() == ERROR_BROKEN_PIPE;
}

std::string portRead(HECIWinDevice* device, HECIStatus* status) {
  uint8_t buffer[64];
  uint32_t n = 99;
  *status = HECI_Read(device, buffer, sizeof buffer, &n);
  return std::string(reinterpret_cast<char*>(buffer), *status == hsSuccess ? n : 0);
}

// The lines of `log` that contain `tag`, in order.
std::vector<std::string> linesWith(const std::string& log, const std::string& tag) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    end = end == std::string::npos ? log.size() : end;
    std::string line = log.substr(start, end - start);
    if (line.find(tag) != std::string::npos) {
      lines.push_back(line);
    }
    start = end + 1;
  }
  return lines;
}

// Joins the thread of the last close (Wine has no HECI device, so HECI_Init
// ends at the discovery), leaving the port as at program start.
void settleAsyncClose() {
  HECIWinDevice* device = nullptr;
  EXPECT_EQ(HECI_Init(&device), hsDeviceNotFound);
  EXPECT_FALSE(HECIWinT_HasAsyncCloseThread());
}

// A reader on its own thread. It notes the state of its read as HECI_Read
// returns: never still pending, or it could complete into freed memory.
struct BlockedReader {
  HECIStatus status = 99;
  ULONG_PTR readStatusOnReturn = 0;
  std::thread thread;
  void start(HECIWinDevice* device) {
    thread = std::thread([this, device] {
      portRead(device, &status);
      readStatusOnReturn = device->readOverlapped.Internal;
    });
  }
};

HANDLE gReadPending = nullptr;
void signalReadPending(HECIWinDevice*) { SetEvent(gReadPending); }

// Closes the device from another thread, lets it withdraw the Read Event
// before this reader waits on it, then keeps the reader a while longer.
std::thread gCloser;
ULONGLONG gCloseReturned = 0;
ULONGLONG gReaderReleased = 0;
ULONG_PTR gReadStatusWhenCloseReturned = 0;
void closeBeforeTheWait(HECIWinDevice* device) {
  gCloser = std::thread([device] {
    HECIWin_CloseHeci(device);
    gReadStatusWhenCloseReturned = device->readOverlapped.Internal;
    gCloseReturned = GetTickCount64();
  });
  for (bool withdrawn = false; !withdrawn; Sleep(1)) {
    Mutex_Lock(device->eventLock);
    withdrawn = device->readOverlapped.hEvent == INVALID_HANDLE_VALUE;
    Mutex_Unlock(device->eventLock);
  }
  Sleep(100);
  gReaderReleased = GetTickCount64();
}

}  // namespace

TEST(HeciWinDiscovery, EmptyDeviceListGivesNotFoundSilently) {
  HECIWinDevice* device = reinterpret_cast<HECIWinDevice*>(&gReadPending);
  Output captured;
  EXPECT_EQ(HECI_Init(&device), hsDeviceNotFound);
  EXPECT_EQ(captured.take(), "");
  EXPECT_EQ(device, nullptr);
}

TEST(HeciWinIoctl, RefusedByTheHandleGivesZero) {
  Pipe p = makePipe();
  HECIWinDevice* device = HECIWinT_CreateConnected(p.client, 64);
  uint8_t answer[kHeciIoctlAnswerSize] = {};
  EXPECT_EQ(HECIWinF_doIoctl(device, IOCTL_HECI_GET_VERSION, nullptr, 0, answer), 0u);
  EXPECT_EQ(HECIWinF_doIoctl(device, IOCTL_HECI_CONNECT_CLIENT, kNfcMeClientGuidBytes, 16, answer), 0u);
  EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  HECIWin_CloseHeci(device);
  HECIWin_FreeHeci(device);
  settleAsyncClose();
  CloseHandle(p.server);
}

TEST(HeciWinIo, WholeMessagesBothWaysAtOnceAndAfterAWait) {
  Pipe p = makePipe();
  HECIWinDevice* device = HECIWinT_CreateConnected(p.client, 64);
  EXPECT_TRUE(HECIWin_IsOpen(device));
  EXPECT_EQ(HECIWin_MaxMessageLength(device), 64u);
  Output captured;

  uint32_t written = 0;
  EXPECT_EQ(HECI_Write(device, reinterpret_cast<const uint8_t*>("\x01\x02\x03"), 3, &written), hsSuccess);
  EXPECT_EQ(written, 3u);
  EXPECT_EQ(device->writeOverlapped.hEvent, nullptr);
  EXPECT_EQ(serverRead(p), "\x01\x02\x03");

  serverWrite(p, "hello");
  serverWrite(p, "wo");
  HECIStatus status = 99;
  EXPECT_EQ(portRead(device, &status), "hello");
  EXPECT_EQ(status, hsSuccess);
  EXPECT_EQ(portRead(device, &status), "wo");
  EXPECT_EQ(status, hsSuccess);

  std::thread late([&p] {
    Sleep(100);
    serverWrite(p, "late");
  });
  EXPECT_EQ(portRead(device, &status), "late");
  EXPECT_EQ(status, hsSuccess);
  late.join();

  EXPECT_EQ(captured.take(), "");
  HECIWin_CloseHeci(device);
  HECIWin_FreeHeci(device);
  settleAsyncClose();
  CloseHandle(p.server);
}

TEST(HeciWinIo, RefusedStartsAreReportedAsDeviceErrors) {
  Pipe p = makePipe();
  HECIWinDevice* device = HECIWinT_CreateConnected(p.client, 64);
  CloseHandle(p.server);  // the other end is gone
  Output captured;
  HECIStatus status = 99;
  portRead(device, &status);
  EXPECT_EQ(status, hsDeviceError);
  uint32_t written = 7;
  EXPECT_EQ(HECI_Write(device, reinterpret_cast<const uint8_t*>("x"), 1, &written), hsDeviceError);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(captured.take(),
            "ERROR   : HECI_Read : ReadFile() failed, GetLastError : 6D\n"
            "ERROR   : HECI_Write : WriteFile() failed, GetLastError : E8\n");
  EXPECT_EQ(device->writeOverlapped.hEvent, nullptr);
  HECIWin_CloseHeci(device);
  HECIWin_FreeHeci(device);
  settleAsyncClose();
}

TEST(HeciWinIo, ClosedRecordGivesNoDeviceWithoutTouchingTheHandle) {
  uint8_t buffer[8];
  uint32_t n = 5;
  EXPECT_EQ(HECI_Read(nullptr, buffer, sizeof buffer, &n), hsNoDevice);
  EXPECT_EQ(HECI_Write(nullptr, buffer, 1, &n), hsNoDevice);

  Pipe p = makePipe();
  HECIWinDevice* device = HECIWinT_CreateConnected(p.client, 64);
  HECIWin_CloseHeci(device);
  EXPECT_FALSE(HECIWin_IsOpen(device));
  Output captured;
  HECIWin_CloseHeci(device);  // a second close leaves the record as it is
  EXPECT_EQ(HECI_Read(device, buffer, sizeof buffer, &n), hsNoDevice);
  n = 5;
  EXPECT_EQ(HECI_Write(device, reinterpret_cast<const uint8_t*>("x"), 1, &n), hsNoDevice);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(captured.take(), "");
  HECIWin_FreeHeci(device);
  settleAsyncClose();
  EXPECT_TRUE(peerGone(p));  // and nothing was written
  CloseHandle(p.server);
}

TEST(HeciWinClose, WakesABlockedReaderAndReturnsAfterIt) {
  Pipe p = makePipe();
  HECIWinDevice* device = HECIWinT_CreateConnected(p.client, 64);
  gReadPending = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  gHECIWinReadStartedHook = signalReadPending;
  BlockedReader reader;
  reader.start(device);
  ASSERT_EQ(WaitForSingleObject(gReadPending, static_cast<DWORD>(testsupport::kPatienceMs)), WAIT_OBJECT_0);
  Sleep(50);  // into its wait on the Read Event

  Output captured;
  HECIWin_CloseHeci(device);
  // The read was withdrawn and its completion collected before the close
  // returned: the record may be freed now.
  EXPECT_EQ(device->readOverlapped.Internal, kStatusCancelled);
  EXPECT_EQ(device->readOverlapped.hEvent, INVALID_HANDLE_VALUE);
  EXPECT_EQ(captured.take(), "");
  reader.thread.join();
  EXPECT_EQ(reader.status, hsNoDevice);
  EXPECT_EQ(reader.readStatusOnReturn, kStatusCancelled);

  gHECIWinReadStartedHook = nullptr;
  CloseHandle(gReadPending);
  HECIWin_FreeHeci(device);
  settleAsyncClose();
  CloseHandle(p.server);
}

TEST(HeciWinClose, ReaderFindingTheReadEventWithdrawnWaitsForItsRead) {
  Pipe p = makePipe();
  HECIWinDevice* device = HECIWinT_CreateConnected(p.client, 64);
  BlockedReader reader;
  gHECIWinReadStartedHook = closeBeforeTheWait;
  reader.start(device);
  reader.thread.join();
  gCloser.join();
  gHECIWinReadStartedHook = nullptr;
  EXPECT_EQ(reader.status, hsNoDevice);
  EXPECT_EQ(reader.readStatusOnReturn, kStatusCancelled);
  EXPECT_GE(gCloseReturned, gReaderReleased);
  EXPECT_EQ(gReadStatusWhenCloseReturned, kStatusCancelled);
  HECIWin_FreeHeci(device);
  settleAsyncClose();
  CloseHandle(p.server);
}

TEST(HeciWinClose, EachCloseAndInitJoinsThePreviousAsyncCloseThread) {
  settleAsyncClose();
  gHECIWinTrace = true;
  Pipe a = makePipe();
  Pipe b = makePipe();
  HECIWinDevice* first = HECIWinT_CreateConnected(a.client, 64);
  HECIWinDevice* second = HECIWinT_CreateConnected(b.client, 64);

  Output captured;
  HECIWin_CloseHeci(first);
  std::string log = captured.take();
  EXPECT_TRUE(linesWith(log, "Joining").empty()) << log;
  EXPECT_EQ(linesWith(log, "HECIWin : HECIWin_CloseHeci : ").size(), 7u) << log;
  EXPECT_TRUE(HECIWinT_HasAsyncCloseThread());

  Output captured2;
  HECIWin_CloseHeci(second);
  log = captured2.take();
  std::vector<std::string> lines = linesWith(log, "HECIWin : HECIWin_CloseHeci : ");
  ASSERT_EQ(lines.size(), 10u) << log;
  EXPECT_EQ(lines[0], "LOG     : HECIWin : HECIWin_CloseHeci : SetEvent() on Read Event.");
  EXPECT_EQ(lines[6], "LOG     : HECIWin : HECIWin_CloseHeci : Joining an old async close thread ...");
  EXPECT_EQ(lines[7], "LOG     : HECIWin : HECIWin_CloseHeci : Async close thread joined");
  EXPECT_EQ(lines[8], "LOG     : HECIWin : HECIWin_CloseHeci : Async close thread deleted");
  EXPECT_EQ(lines[9].rfind("LOG     : HECIWin : HECIWin_CloseHeci : CancelIoEx() returns 0x", 0), 0u);
  EXPECT_TRUE(peerGone(a));  // the joined thread had closed the first handle

  Output captured3;
  HECIWinDevice* none = nullptr;
  EXPECT_EQ(HECI_Init(&none), hsDeviceNotFound);
  log = captured3.take();
  EXPECT_EQ(linesWith(log, "HECI_Init"),
            (std::vector<std::string>{"LOG     : HECIWin : HECI_Init : Joining an old async close thread ...",
                                      "LOG     : HECIWin : HECI_Init : Async close thread joined",
                                      "LOG     : HECIWin : HECI_Init : Async close thread deleted"}));
  EXPECT_TRUE(peerGone(b));

  Output captured4;
  EXPECT_EQ(HECI_Init(&none), hsDeviceNotFound);
  EXPECT_EQ(captured4.take(), "");
  gHECIWinTrace = false;
  HECIWin_FreeHeci(first);
  HECIWin_FreeHeci(second);
  CloseHandle(a.server);
  CloseHandle(b.server);
}

TEST(HeciWinWrite, NotCompletingWithinItsWaitIsCancelledAndCollected) {
  Pipe p = makePipe(1);  // the firmware end never reads
  HECIWinDevice* device = HECIWinT_CreateConnected(p.client, 65536);
  const std::vector<uint8_t> message(65536, 0x5A);
  uint32_t written = 7;
  Output captured;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(HECI_Write(device, message.data(), static_cast<uint32_t>(message.size()), &written),
            hsDeviceError);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(captured.take(), "ERROR   : HECI_Write : GetOverlappedResult() failed, GetLastError : 3E4\n");
  EXPECT_EQ(written, 0u);
  EXPECT_GE(elapsed, std::chrono::milliseconds(450));
  // The other end never reads: without its own wait the write would hang.
  EXPECT_LT(elapsed, std::chrono::milliseconds(30000));
  EXPECT_EQ(device->writeOverlapped.Internal, kStatusCancelled);
  EXPECT_EQ(device->writeOverlapped.hEvent, nullptr);
  HECIWin_CloseHeci(device);
  HECIWin_FreeHeci(device);
  settleAsyncClose();
  CloseHandle(p.server);
}
