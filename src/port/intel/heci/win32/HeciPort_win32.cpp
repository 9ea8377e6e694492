// The Windows HECI device port over the HECI (MEI) driver.
//
// No request may complete into memory that has been released or reused:
//  - an IOCTL's control block and answer live in a heap slot of their own.
//    An IOCTL that has not completed within its 1000 ms wait is reported as
//    failed, cancelled with CancelIoEx and given 500 ms to let go; a
//    driver that still holds it keeps the slot, which is parked and freed
//    only once the request has completed;
//  - a write that has not completed within its 500 ms wait is reported as
//    failed, cancelled and given 500 ms more. One that the driver still
//    holds then keeps writeOverlapped busy: later writes on the record are
//    refused, and HECIWin_FreeHeci parks the record instead of freeing it;
//  - a reader woken by the close cancels its own read while it still holds
//    eventLock (so the handle is still open), releases eventLock, and only
//    then waits for the read to end, touching neither the Read Event nor
//    the handle. The close can thus go on to hand the handle to
//    asyncCloseHandleThread, whose CloseHandle ends the read in a driver
//    that completes cancelled reads only when the handle goes away.
// HECI_Read therefore never returns with its read outstanding, and the
// close waits on readLock for HECI_Read to return: once HECIWin_CloseHeci
// has returned, the record (which holds readOverlapped) may be freed.
#include <windows.h>
#include <setupapi.h>

#include <cstring>
#include <mutex>

#include "HeciPortWin32.h"
#include "Log.h"
#include "Memory.h"
#include "Mutex.h"
#include "Sync.h"
#include "Thread.h"

// The detail record's size field must be what SetupAPI expects of this
// build: the packed structure (6 bytes) on 32-bit Windows, 8 on 64-bit.
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == (sizeof(void*) == 8 ? 8 : 6),
              "SetupAPI detail record size");
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == (sizeof(void*) == 8 ? 32 : 28),
              "SetupAPI interface record size");

bool gHECIWinTrace = false;
HECIWinReadHook gHECIWinReadStartedHook = nullptr;

// Debug lines, written only while the port's trace switch is on.
#define HECIWIN_TRACE(...)   \
  do {                       \
    if (gHECIWinTrace) {     \
      Log_Info(__VA_ARGS__); \
    }                        \
  } while (0)

namespace {

// Holds an OS-services lock until the end of the scope.
class HeldMutex {
 public:
  explicit HeldMutex(Mutex* m) : m_(m) { Mutex_Lock(m_); }
  ~HeldMutex() { Mutex_Unlock(m_); }
  HeldMutex(const HeldMutex&) = delete;
  HeldMutex& operator=(const HeldMutex&) = delete;

 private:
  Mutex* m_;
};

// Guards the process-wide state below (two of the slots of deferred work
// that HECICore.h lists). A close runs on the main thread, on the send
// timer's thread (a failed resend) or on the dispatch thread (a read
// error), so two may meet. Never held while waiting for anything.
osal_sync::Mutex gPortStateLock;
using PortStateLock = std::lock_guard<osal_sync::Mutex>;

// The thread of the last close, which closes the old handle in the
// background, until the next close or HECI_Init joins and deletes it.
Thread* gAsyncCloseThread = nullptr;

// Requests that a driver still held after they had been cancelled and given
// time to let go, with the memory the driver will complete them into.
struct ParkedRequest {
  ParkedRequest* next;
  const OVERLAPPED* pending;  // inside `memory`
  void* memory;               // a guarded block, freed once `pending` completed
  void (*release)(void* memory);
};
ParkedRequest* gParked = nullptr;

Thread* swapAsyncCloseThread(Thread* replacement) {
  const PortStateLock hold(gPortStateLock);
  Thread* old = gAsyncCloseThread;
  gAsyncCloseThread = replacement;
  return old;
}

void joinThread(Thread* thread, const char* caller) {
  HECIWIN_TRACE("HECIWin : %s : Joining an old async close thread ...", caller);
  Thread_Join(thread);
  HECIWIN_TRACE("HECIWin : %s : Async close thread joined", caller);
  Thread_Delete(thread);
  HECIWIN_TRACE("HECIWin : %s : Async close thread deleted", caller);
}

void joinAsyncCloseThread(const char* caller) {
  Thread* old = swapAsyncCloseThread(nullptr);
  if (old != nullptr) {
    joinThread(old, caller);
  }
}

void park(const OVERLAPPED* pending, void* memory, void (*release)(void*)) {
  auto* entry = static_cast<ParkedRequest*>(Memory_Alloc(sizeof(ParkedRequest)));
  *entry = ParkedRequest{nullptr, pending, memory, release};
  const PortStateLock hold(gPortStateLock);
  entry->next = gParked;
  gParked = entry;
}

// Frees what parked requests the driver has completed since.
void reapParked() {
  ParkedRequest* done = nullptr;
  {
    const PortStateLock hold(gPortStateLock);
    for (ParkedRequest** link = &gParked; *link != nullptr;) {
      ParkedRequest* e = *link;
      if (HasOverlappedIoCompleted(e->pending)) {
        *link = e->next;
        e->next = done;
        done = e;
      } else {
        link = &e->next;
      }
    }
  }
  while (done != nullptr) {
    ParkedRequest* next = done->next;
    done->release(done->memory);
    Memory_Free(done);
    done = next;
  }
}

HECIWinDevice* createRecord() {
  auto* device = static_cast<HECIWinDevice*>(Memory_Alloc(sizeof(HECIWinDevice)));
  std::memset(device, 0, sizeof(HECIWinDevice));
  Mutex_Create(&device->handleLock);
  Mutex_Create(&device->eventLock);
  Mutex_Create(&device->readLock);
  device->hDevice = INVALID_HANDLE_VALUE;
  device->readOverlapped.hEvent = INVALID_HANDLE_VALUE;
  return device;
}

// The last step of a connect: the client's limit and the Read Event.
bool finishConnect(HECIWinDevice* device, uint32_t maxMessageLength) {
  device->maxMessageLength = maxMessageLength;
  HANDLE readEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (readEvent == nullptr) {
    return false;
  }
  device->readOverlapped.hEvent = readEvent;
  return true;
}

// Waits until the system has completed the request behind `ov`, by looking
// at its status word. Used where neither the request's event nor its handle
// may be touched any more; the wait is a real sleep, during which the system
// delivers the completion to this thread (the one that issued the request).
void awaitCompletion(const OVERLAPPED* ov) {
  while (!HasOverlappedIoCompleted(ov)) {
    Sleep(1);
  }
}

// Withdraws a request that is still outstanding and gives the driver up to
// `ms` to let it go. True when it has completed; false when the driver
// still holds it, and with it `ov` and its buffer. The caller owns the
// handle and the request's event.
bool cancelAndWait(HANDLE handle, OVERLAPPED* ov, DWORD ms) {
  CancelIoEx(handle, ov);  // ERROR_NOT_FOUND when it completed meanwhile
  const ULONGLONG deadline = GetTickCount64() + ms;
  while (!HasOverlappedIoCompleted(ov)) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) {
      return false;
    }
    WaitForSingleObject(ov->hEvent, static_cast<DWORD>(deadline - now));
    if (!HasOverlappedIoCompleted(ov)) {
      Sleep(1);  // the event may come before the status word is written
    }
  }
  return true;
}

// An IOCTL's control block and answer: not on the caller's stack, so that a
// request the driver will not let go can be parked with them.
struct IoctlSlot {
  OVERLAPPED ov;
  uint8_t answer[kHeciIoctlAnswerSize];
};

void releaseIoctlSlot(void* memory) {
  auto* slot = static_cast<IoctlSlot*>(memory);
  CloseHandle(slot->ov.hEvent);
  Memory_Free(slot);
}

// Releases the event of the current write; handleLock is held.
void endWrite(HECIWinDevice* device) {
  CloseHandle(device->writeOverlapped.hEvent);
  device->writeOverlapped.hEvent = nullptr;
}

void closeAndFree(HECIWinDevice* device) {
  HECIWin_CloseHeci(device);
  HECIWin_FreeHeci(device);
}

}  // namespace

uint32_t HECIWinF_doIoctl(HECIWinDevice* device, uint32_t code, const void* input,
                          uint32_t inputSize, void* output) {
  DWORD count = 0;
  DWORD error = ERROR_SUCCESS;
  HECIWIN_TRACE("HECIWin : %s", "HECIWinF_doIoctl");
  reapParked();
  HANDLE event = device == nullptr ? nullptr : CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (event == nullptr) {
    error = device == nullptr ? static_cast<DWORD>(ERROR_INVALID_HANDLE) : GetLastError();
  } else {
    auto* slot = static_cast<IoctlSlot*>(Memory_Alloc(sizeof(IoctlSlot)));
    std::memset(slot, 0, sizeof *slot);
    slot->ov.hEvent = event;
    const BOOL done = DeviceIoControl(device->hDevice, code, const_cast<void*>(input), inputSize,
                                      slot->answer, kHeciIoctlAnswerSize, nullptr, &slot->ov);
    error = done ? ERROR_SUCCESS : GetLastError();
    bool parked = false;
    if (done || error == ERROR_IO_PENDING) {
      WaitForSingleObject(event, kHeciIoctlWaitMs);
      if (GetOverlappedResult(device->hDevice, &slot->ov, &count, FALSE)) {
        error = ERROR_SUCCESS;
        std::memcpy(output, slot->answer, count < kHeciIoctlAnswerSize ? count : kHeciIoctlAnswerSize);
      } else {
        error = GetLastError();
        count = 0;
        // Still with the driver after the wait: it may complete into the
        // slot at any time, so the slot goes only once it has.
        if (!HasOverlappedIoCompleted(&slot->ov) &&
            !cancelAndWait(device->hDevice, &slot->ov, kHeciCancelWaitMs)) {
          HECIWIN_TRACE("HECIWin : %s : request still pending after the cancel, left to the driver",
                        "HECIWinF_doIoctl");
          park(&slot->ov, slot, releaseIoctlSlot);
          parked = true;
        }
      }
    }
    if (!parked) {
      releaseIoctlSlot(slot);
    }
  }
  HECIWIN_TRACE("HECIWin : %s : iBytesRead = %i", "HECIWinF_doIoctl", static_cast<int>(count));
  SetLastError(error);
  return count;
}

HECIStatus HECIWin_OpenHeci(HECIWinDevice* device) {
  HDEVINFO interfaces = SetupDiGetClassDevsW(&kHeciInterfaceClassGuid, nullptr, nullptr,
                                             DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (interfaces == INVALID_HANDLE_VALUE) {
    return hsDeviceNotFound;
  }
  SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail = nullptr;
  SP_DEVICE_INTERFACE_DATA interfaceData;
  std::memset(&interfaceData, 0, sizeof interfaceData);
  interfaceData.cbSize = sizeof interfaceData;
  for (DWORD index = 0;
       detail == nullptr && SetupDiEnumDeviceInterfaces(interfaces, nullptr, &kHeciInterfaceClassGuid,
                                                        index, &interfaceData);
       ++index) {
    DWORD required = 0;
    if (!SetupDiGetDeviceInterfaceDetailW(interfaces, &interfaceData, nullptr, 0, &required,
                                          nullptr) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      continue;
    }
    // A size that cannot even hold the size field would be written past.
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
      continue;
    }
    auto* block = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(Memory_Alloc(required));
    block->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (SetupDiGetDeviceInterfaceDetailW(interfaces, &interfaceData, block, required, nullptr,
                                         nullptr)) {
      detail = block;
    } else {
      Memory_Free(block);
    }
  }
  SetupDiDestroyDeviceInfoList(interfaces);
  if (detail == nullptr) {
    return hsDeviceNotFound;
  }

  device->hDevice = CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
  const DWORD openError = GetLastError();
  Memory_Free(detail);
  if (device->hDevice == INVALID_HANDLE_VALUE) {
    Log_Error("HECIWin : failed to open handle, GetLastError : 0x%X", static_cast<unsigned>(openError));
    return hsDeviceNotFound;
  }

  uint8_t answer[kHeciIoctlAnswerSize] = {};
  const uint32_t count = HECIWinF_doIoctl(device, IOCTL_HECI_GET_VERSION, nullptr, 0, answer);
  if (count == kHeciIoctlAnswerSize) {
    return hsSuccess;
  }
  // The handle stays in the record; the caller's close releases it.
  Log_Error("HECIWin : failed to get HECI Version (IOCTL_HECI_GET_VERSION) : HECIWinF_doIoctl return 0x%X",
            static_cast<unsigned>(count));
  return hsDeviceError;
}

HECIStatus HECI_Init(HECIWinDevice** out) {
  if (out == nullptr) {
    return hsDeviceError;
  }
  *out = nullptr;
  // The previous device handle is closed before the device is opened again.
  joinAsyncCloseThread("HECI_Init");
  reapParked();

  HECIWinDevice* device = createRecord();
  const HECIStatus opened = HECIWin_OpenHeci(device);
  if (opened != hsSuccess) {
    closeAndFree(device);
    return opened;
  }

  uint8_t answer[kHeciIoctlAnswerSize] = {};
  const uint32_t count = HECIWinF_doIoctl(device, IOCTL_HECI_CONNECT_CLIENT, kNfcMeClientGuidBytes,
                                          sizeof kNfcMeClientGuidBytes, answer);
  if (count != kHeciIoctlAnswerSize) {
    const DWORD error = GetLastError();
    Log_Error("HECIWin : IOCTL_HECI_CONNECT_CLIENT failed : HECIWinF_doIoctl return 0x%X, GetLastError : 0x%X",
              static_cast<unsigned>(count), static_cast<unsigned>(error));
    closeAndFree(device);
    return hsDeviceError;
  }

  const uint32_t maxMessageLength = static_cast<uint32_t>(answer[0]) |
                                    static_cast<uint32_t>(answer[1]) << 8 |
                                    static_cast<uint32_t>(answer[2]) << 16 |
                                    static_cast<uint32_t>(answer[3]) << 24;
  if (maxMessageLength == 0) {
    // No message could ever be read or written: a failed connect, as on Linux.
    Log_Error("HECIWin : IOCTL_HECI_CONNECT_CLIENT failed : max_msg_length 0");
    closeAndFree(device);
    return hsDeviceError;
  }
  if (!finishConnect(device, maxMessageLength)) {
    // Without the Read Event no read could ever be waited for or woken.
    Log_Error("HECIWin : CreateEvent() for the Read Event failed, GetLastError : 0x%X",
              static_cast<unsigned>(GetLastError()));
    closeAndFree(device);
    return hsDeviceError;
  }
  *out = device;
  return hsSuccess;
}

namespace {

// Waits for a read that the driver has left pending. Caller holds readLock.
HECIStatus awaitRead(HECIWinDevice* device, HANDLE handle, DWORD* count) {
  Mutex_Lock(device->eventLock);
  HANDLE readEvent = device->readOverlapped.hEvent;
  if (readEvent == INVALID_HANDLE_VALUE) {
    // The close withdrew the Read Event before this reader could wait on
    // it, and is cancelling all I/O on the handle. Only a read that really
    // delivered a message before the cancel counts as a success.
    Mutex_Unlock(device->eventLock);
    awaitCompletion(&device->readOverlapped);
    // Read before readLock goes: the close's caller may free the record then.
    *count = static_cast<DWORD>(device->readOverlapped.InternalHigh);
    return device->readOverlapped.Internal == 0 ? hsSuccess : hsNoDevice;
  }
  const DWORD waited = WaitForSingleObject(readEvent, INFINITE);
  const DWORD waitError = GetLastError();
  // Woken by the close (or the wait failed) with the read still in the
  // driver: withdrawn now, while the handle is surely open. Its end is
  // awaited only after eventLock is released, because the close needs
  // eventLock before it can close the handle, and a driver may let a
  // cancelled read go only when its handle goes away.
  const bool outstanding = !HasOverlappedIoCompleted(&device->readOverlapped);
  if (outstanding) {
    CancelIoEx(handle, &device->readOverlapped);
  }
  Mutex_Unlock(device->eventLock);
  if (outstanding) {
    awaitCompletion(&device->readOverlapped);
  }
  if (waited != WAIT_OBJECT_0) {
    Log_Error("%s : WaitForSingleObject() failed , GetLastError : %X", "HECI_Read",
              static_cast<unsigned>(waitError));
    return hsDeviceError;
  }

  Mutex_Lock(device->handleLock);
  if (device->hDevice == INVALID_HANDLE_VALUE) {
    Mutex_Unlock(device->handleLock);
    return hsNoDevice;
  }
  const BOOL got = GetOverlappedResult(handle, &device->readOverlapped, count, FALSE);
  const DWORD resultError = GetLastError();
  Mutex_Unlock(device->handleLock);
  if (!got) {
    Log_Error("%s : GetOverlappedResult() failed , GetLastError : %X", "HECI_Read",
              static_cast<unsigned>(resultError));
    return hsDeviceError;
  }
  return hsSuccess;
}

}  // namespace

HECIStatus HECI_Read(HECIWinDevice* device, uint8_t* buffer, uint32_t size, uint32_t* bytesRead) {
  DWORD count = 0;
  if (bytesRead != nullptr) {
    *bytesRead = 0;
  }
  if (device == nullptr) {
    return hsNoDevice;
  }
  // Held until the read has ended, whichever way it leaves: the close waits
  // for it before the record, which holds readOverlapped, may be freed.
  const HeldMutex readHold(device->readLock);
  Mutex_Lock(device->handleLock);
  if (device->hDevice == INVALID_HANDLE_VALUE) {
    Mutex_Unlock(device->handleLock);
    return hsNoDevice;
  }
  // The handle stays open while this thread holds handleLock, or eventLock
  // with the Read Event still in place: the close hands the handle to the
  // async close thread only after it has withdrawn the Read Event.
  HANDLE handle = device->hDevice;
  const BOOL done = ReadFile(handle, buffer, size, &count, &device->readOverlapped);
  const DWORD startError = done ? ERROR_SUCCESS : GetLastError();
  Mutex_Unlock(device->handleLock);

  if (!done) {
    if (startError != ERROR_IO_PENDING && startError != ERROR_SUCCESS) {
      Log_Error("%s : ReadFile() failed, GetLastError : %X", "HECI_Read", static_cast<unsigned>(startError));
      return hsDeviceError;
    }
    if (gHECIWinReadStartedHook != nullptr) {
      gHECIWinReadStartedHook(device);
    }
    const HECIStatus waited = awaitRead(device, handle, &count);
    if (waited != hsSuccess) {
      return waited;
    }
  }
  if (bytesRead != nullptr) {
    *bytesRead = count;
  }
  return hsSuccess;
}

HECIStatus HECI_Write(HECIWinDevice* device, const uint8_t* data, uint32_t length,
                      uint32_t* bytesWritten) {
  DWORD count = 0;
  if (bytesWritten != nullptr) {
    *bytesWritten = 0;
  }
  if (device == nullptr) {
    return hsNoDevice;
  }
  // Held for the whole write: writes are serialised, and the close cannot
  // take the handle away while one is in the driver.
  Mutex_Lock(device->handleLock);
  if (device->hDevice == INVALID_HANDLE_VALUE) {
    Mutex_Unlock(device->handleLock);
    return hsNoDevice;
  }
  if (!HasOverlappedIoCompleted(&device->writeOverlapped)) {
    // The driver still holds an earlier write that it would not let go:
    // its control block cannot serve another one.
    Log_Error("%s : WriteFile() failed, GetLastError : %X", "HECI_Write", static_cast<unsigned>(ERROR_BUSY));
    Mutex_Unlock(device->handleLock);
    return hsDeviceError;
  }
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  device->writeOverlapped.hEvent = event;
  if (!WriteFile(device->hDevice, data, length, &count, &device->writeOverlapped)) {
    DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
      Log_Error("%s : WriteFile() failed, GetLastError : %X", "HECI_Write", static_cast<unsigned>(error));
      // Refused without pending: no request was started, and the system
      // never completes the status word that WriteFile set to "pending".
      // Left so, it would mark the control block busy for ever: later
      // writes refused, the record parked instead of freed.
      device->writeOverlapped.Internal = 0;
      endWrite(device);
      Mutex_Unlock(device->handleLock);
      return hsDeviceError;
    }
    WaitForSingleObject(event, kHeciWriteWaitMs);
    if (!GetOverlappedResult(device->hDevice, &device->writeOverlapped, &count, FALSE)) {
      error = GetLastError();
      Log_Error("%s : GetOverlappedResult() failed, GetLastError : %X", "HECI_Write",
                static_cast<unsigned>(error));
      // Not complete within the wait. If the driver will not let it go
      // even after the cancel, writeOverlapped stays busy (see above).
      if (!HasOverlappedIoCompleted(&device->writeOverlapped) &&
          !cancelAndWait(device->hDevice, &device->writeOverlapped, kHeciCancelWaitMs)) {
        HECIWIN_TRACE("HECIWin : %s : request still pending after the cancel, left to the driver",
                      "HECI_Write");
      }
      endWrite(device);
      Mutex_Unlock(device->handleLock);
      return hsDeviceError;
    }
  }
  // The event field is shared by all writers: released before the lock.
  endWrite(device);
  Mutex_Unlock(device->handleLock);
  if (bytesWritten != nullptr) {
    *bytesWritten = count;
  }
  return hsSuccess;
}

void HECIWin_CloseHeci(HECIWinDevice* device) {
  static const char kName[] = "HECIWin_CloseHeci";
  if (device == nullptr) {
    return;
  }
  HANDLE oldHandle = device->hDevice;
  if (oldHandle == INVALID_HANDLE_VALUE) {
    return;
  }
  HANDLE readEvent = device->readOverlapped.hEvent;

  // From here no new read or write starts.
  Mutex_Lock(device->handleLock);
  device->hDevice = INVALID_HANDLE_VALUE;
  Mutex_Unlock(device->handleLock);

  if (readEvent != INVALID_HANDLE_VALUE) {
    HECIWIN_TRACE("HECIWin : %s : SetEvent() on Read Event.", kName);
    BOOL result = SetEvent(readEvent);
    DWORD error = GetLastError();
    HECIWIN_TRACE("HECIWin : %s : SetEvent() returns %X : GetLastError : %X", kName,
                  static_cast<unsigned>(result), static_cast<unsigned>(error));

    // A reader waiting on the Read Event holds eventLock until it has left
    // that wait (and collected its read).
    Mutex_Lock(device->eventLock);
    device->readOverlapped.hEvent = INVALID_HANDLE_VALUE;
    Mutex_Unlock(device->eventLock);

    HECIWIN_TRACE("HECIWin : %s : ResetEvent() on Read Event.", kName);
    result = ResetEvent(readEvent);
    error = GetLastError();
    HECIWIN_TRACE("HECIWin : %s : ResetEvent() returns %X : GetLastError : %X", kName,
                  static_cast<unsigned>(result), static_cast<unsigned>(error));

    HECIWIN_TRACE("HECIWin : %s : CloseHandle() on Read Event.", kName);
    result = CloseHandle(readEvent);
    error = GetLastError();
    HECIWIN_TRACE("HECIWin : %s : CloseHandle() on Read Event completed (returns : %X GetLastError : %X)",
                  kName, static_cast<unsigned>(result), static_cast<unsigned>(error));
  }

  joinAsyncCloseThread(kName);

  const BOOL cancelled = CancelIoEx(oldHandle, nullptr);
  const DWORD cancelError = GetLastError();
  HECIWIN_TRACE("HECIWin : %s : CancelIoEx() returns 0x%X : GetLastError() 0x%X", kName,
                static_cast<unsigned>(cancelled), static_cast<unsigned>(cancelError));

  Thread* closer = nullptr;
  Thread_Create(&closer, asyncCloseHandleThread, oldHandle);
  // Another close may have published its thread since ours was joined.
  Thread* other = swapAsyncCloseThread(closer);
  if (other != nullptr) {
    joinThread(other, kName);
  }

  // Returns only after a HECI_Read in progress has ended.
  Mutex_Lock(device->readLock);
  Mutex_Unlock(device->readLock);
}

void HECIWin_FreeHeci(HECIWinDevice* device) {
  if (device == nullptr) {
    return;
  }
  if (device->handleLock != nullptr) {
    Mutex_Delete(device->handleLock);
  }
  if (device->eventLock != nullptr) {
    Mutex_Delete(device->eventLock);
  }
  if (device->readLock != nullptr) {
    Mutex_Delete(device->readLock);
  }
  reapParked();
  if (!HasOverlappedIoCompleted(&device->writeOverlapped)) {
    // A write the driver never let go still points into the record.
    park(&device->writeOverlapped, device, [](void* memory) { Memory_Free(memory); });
    return;
  }
  Memory_Free(device);
}

bool HECIWin_IsOpen(const HECIWinDevice* device) {
  if (device == nullptr) {
    return false;
  }
  Mutex_Lock(device->handleLock);
  const bool open = device->hDevice != INVALID_HANDLE_VALUE;
  Mutex_Unlock(device->handleLock);
  return open;
}

uint32_t HECIWin_MaxMessageLength(const HECIWinDevice* device) {
  return device == nullptr ? 0 : device->maxMessageLength;
}

uint32_t asyncCloseHandleThread(void* handle) {
  static const char kName[] = "asyncCloseHandleThread";
  HECIWIN_TRACE("HECIWin : %s : CancelIoEx()...", kName);
  BOOL result = CancelIoEx(handle, nullptr);
  DWORD error = GetLastError();
  HECIWIN_TRACE("HECIWin : %s : CancelIoEx() returns 0x%X : GetLastError() 0x%X", kName,
                static_cast<unsigned>(result), static_cast<unsigned>(error));
  HECIWIN_TRACE("HECIWin : %s : CloseHandle()...", kName);
  result = CloseHandle(handle);
  error = GetLastError();
  HECIWIN_TRACE("HECIWin : %s : CloseHandle() returns 0x%X : GetLastError() 0x%X", kName,
                static_cast<unsigned>(result), static_cast<unsigned>(error));
  return 0;
}

HECIWinDevice* HECIWinT_CreateConnected(HANDLE handle, uint32_t maxMessageLength) {
  HECIWinDevice* device = createRecord();
  device->hDevice = handle;
  finishConnect(device, maxMessageLength);
  return device;
}

bool HECIWinT_HasAsyncCloseThread() {
  const PortStateLock hold(gPortStateLock);
  return gAsyncCloseThread != nullptr;
}

size_t HECIWinT_ParkedRequests() {
  reapParked();
  const PortStateLock hold(gPortStateLock);
  size_t count = 0;
  for (const ParkedRequest* e = gParked; e != nullptr; e = e->next) {
    ++count;
  }
  return count;
}
