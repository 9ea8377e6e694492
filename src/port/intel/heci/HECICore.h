// The HECI core: one handle per HECI client connection, with a dispatch
// thread that performs reads and hands their results to a receive callback.
//
// Sends are synchronous and report through the send callback before they
// return; receives are posted one at a time and completed on the dispatch
// thread. No core lock is held while a callback runs.
//
// Work left for later. A close may run on a thread that cannot finish it
// there, so four slots of the stack keep what is left; nothing else defers
// work. Each is drained by a later call on a thread that can, never by a
// thread of its own:
//  - gDeferred (HECICore.cpp, under gDeferredLock): the dispatch thread, its
//    two locks and the core record of a core closed from its own dispatch
//    thread. Filled by that HECIClose; drained by the next HECIOpen, or by
//    the next such close before it fills the slot. A thread cannot join
//    itself, and it reads `isValid` once more after the callback returns.
//  - gAsyncCloseThread (HeciPort_win32.cpp, under gPortStateLock): the
//    thread that cancels I/O on the old device handle and closes it. Filled
//    by HECIWin_CloseHeci; joined by the next close or HECI_Init. Some
//    drivers let a cancelled read go only when its handle is closed, and
//    the close must not wait for that.
//  - gParked (HeciPort_win32.cpp, under gPortStateLock): IOCTL slots and
//    device records whose request a driver still holds after its cancel.
//    Filled by HECIWinF_doIoctl and HECIWin_FreeHeci; freed by reapParked
//    (every later IOCTL, HECI_Init and free) once the request has completed.
//    The system completes into that memory.
//  - heciRetired with heciSenders (the link's NfcMeContext, atomics): the
//    core that a failed write closed. Filled by heciCloseConnection inside
//    the send; closed by the caller's thread (vxHECI_QueryInfo,
//    vxHECI_Close) once no thread sends on it. Another thread may still be
//    on its way into a send on that core, and closing it joins the dispatch
//    thread, which must not happen on the send timer's thread (the dispatch
//    thread may be waiting for the timer's lock).
// Both locks are the OS services' osal_sync::Mutex, held only to fill or
// empty a slot, never while waiting.
#pragma once

#include "Sync.h"
#include <cstdint>

#include "HECIStatus.h"

struct HECIWinDevice;
struct Mutex;
struct Thread;

// (userData, failed: 0 or 1, the posted buffer, bytes read)
using HECIReceiveCallback = void (*)(void* userData, int32_t failed, uint8_t* buffer, uint32_t length);
// (userData, failed: 0 or 1, bytes written)
using HECISendCallback = void (*)(void* userData, int32_t failed, uint32_t bytesWritten);

constexpr uint32_t DISPATCH_IDLE = 0;
constexpr uint32_t DISPATCH_WAITING = 1;
constexpr uint32_t DISPATCH_RECEIVE_POSTED = 2;
constexpr uint32_t DISPATCH_STOP = 3;

struct HECICore {
  osal_sync::Atomic<uint8_t> isValid;      // read by the dispatch thread without a lock
  osal_sync::Atomic<uint32_t> maxMessageLength;  // a reconnect changes it while others read it
  osal_sync::Atomic<HECIWinDevice*> device;  // cleared before the port is closed
  Mutex* receiveLock;                // guards pendingBuffer, pendingBufferSize
  uint8_t* pendingBuffer;
  uint32_t pendingBufferSize;
  HECIReceiveCallback receiveCallback;
  HECISendCallback sendCallback;
  Thread* dispatchThread;
  void* userData;
  Mutex* dispatchLock;               // guards dispatchState, carries the wake-up
  uint8_t markedForCleanup;
  uint32_t dispatchState;
  // Held by the dispatch thread from taking `device` until HECI_Read has
  // returned, and by a send from taking `device` until HECI_Write has
  // returned. Whoever replaces the device passes both gates after the
  // port's close and before freeing the old record, so neither thread can
  // still be about to use it.
  Mutex* readGate;
  Mutex* sendGate;
  // Counts every change of `device` (taken out, or a fresh one put in). A
  // read whose count changed while it ran was made on a device that is no
  // longer the core's: its outcome is not delivered.
  osal_sync::Atomic<uint32_t> deviceEpoch;
};

HECIStatus HECIOpen(HECICore** out);
void HECIClose(HECICore* core);
HECIStatus HECIReconnect(HECICore* core);
HECIStatus HECISendMessage(HECICore* core, const uint8_t* data, uint32_t length);
HECIStatus HECIReceiveMessage(HECICore* core, uint8_t* buffer, uint32_t size);

// The core's trace switch: off at start; nothing in the programs sets it.
extern bool gHECICoreTrace;
