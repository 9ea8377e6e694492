// The HECI core: one handle per HECI client connection, with a dispatch
// thread that performs reads and hands their results to a receive callback.
//
// Sends are synchronous and report through the send callback before they
// return; receives are posted one at a time and completed on the dispatch
// thread. No core lock is held while a callback runs.
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
