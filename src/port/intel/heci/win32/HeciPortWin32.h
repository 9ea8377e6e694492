// The Windows HECI device port: the record behind HECIWinDevice, the
// internal operations of the port, and the seams its tests use.
//
// The port reaches the HECI (MEI) driver through a device interface found
// with SetupAPI, opened for overlapped I/O. No request it issues can
// complete into memory that has been released or reused: a request still
// outstanding when its wait gives up is cancelled with CancelIoEx and given
// a bounded time to let go; one the driver still holds keeps its memory
// (see HeciPort_win32.cpp).
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "HeciPort.h"

struct Mutex;
struct Thread;

// HECI device interface class {E2D1FF34-3458-49A9-88DA-8E6915CE9BE5}.
constexpr GUID kHeciInterfaceClassGuid = {
    0xE2D1FF34, 0x3458, 0x49A9, {0x88, 0xDA, 0x8E, 0x69, 0x15, 0xCE, 0x9B, 0xE5}};

// Device type 0x8000, functions 0x800 and 0x801, buffered, read and write access.
constexpr uint32_t IOCTL_HECI_GET_VERSION = 0x8000E000u;
constexpr uint32_t IOCTL_HECI_CONNECT_CLIENT = 0x8000E004u;

// Both IOCTLs answer exactly this many bytes when they succeed.
constexpr uint32_t kHeciIoctlAnswerSize = 5;
constexpr DWORD kHeciIoctlWaitMs = 1000;
constexpr DWORD kHeciWriteWaitMs = 500;
// After a request has missed its wait and been cancelled, the driver gets
// this long again to let it go before the request is left to it.
constexpr DWORD kHeciCancelWaitMs = 500;

struct HECIWinDevice {
  uint32_t maxMessageLength;   // from the connect answer
  HANDLE hDevice;              // INVALID_HANDLE_VALUE when not open or closed
  OVERLAPPED readOverlapped;   // its hEvent is the Read Event, or the
                               // INVALID_HANDLE_VALUE marker before the
                               // connect and after the close
  OVERLAPPED writeOverlapped;  // hEvent: a fresh event during one write, else null
  Mutex* handleLock;           // guards hDevice; held for a whole write
  Mutex* eventLock;            // guards the Read Event; held while a reader waits on it
  Mutex* readLock;             // held for the whole of each HECI_Read
};

// Finds the first HECI interface whose path can be read, opens it and asks
// for the driver version. 0, 2 (no device, open refused) or 3 (no version).
HECIStatus HECIWin_OpenHeci(HECIWinDevice* device);

// Issues one IOCTL on the device with a 5-byte answer buffer and waits up to
// 1000 ms. Returns the number of bytes the driver returned, 0 on any failure;
// the last error is left at the failing step's.
uint32_t HECIWinF_doIoctl(HECIWinDevice* device, uint32_t code, const void* input,
                          uint32_t inputSize, void* output);

// Cancels all I/O on the handle and closes it. Thread body; returns 0.
uint32_t asyncCloseHandleThread(void* handle);

// The port's trace switch: off at start; nothing in the programs sets it.
extern bool gHECIWinTrace;

// ---- Test seams ----

// Builds a record around an already open, overlapped handle as a successful
// HECI_Init would leave it: locks created, the given maximum message length,
// the Read Event created. The record owns the handle from then on.
HECIWinDevice* HECIWinT_CreateConnected(HANDLE handle, uint32_t maxMessageLength);

// True while the port keeps the thread of the last close, not yet joined.
bool HECIWinT_HasAsyncCloseThread();

// Requests (and their memory) that a driver still holds after their cancel,
// not yet freed.
size_t HECIWinT_ParkedRequests();

// Called by HECI_Read on the reader's thread right after a read was started
// and left pending, before the reader takes the event lock to wait. Null by
// default; lets a test close the device inside that window.
using HECIWinReadHook = void (*)(HECIWinDevice* device);
extern HECIWinReadHook gHECIWinReadStartedHook;
