// The HECI core: a handle over one connected device port, with a dispatch
// thread that serves posted receives and calls the receive callback.
//
// Handshake between the owner and CallbackDispatchThread: `dispatchState`
// under `dispatchLock`. The thread publishes DISPATCH_WAITING before it
// sleeps in Mutex_Wait; a poster or HECIClose signals the lock's event only
// when it finds DISPATCH_WAITING, and a request posted while the thread is
// busy leaves DISPATCH_RECEIVE_POSTED behind, which the thread serves
// without sleeping.
//
// Replacing or closing the device: `device` is cleared first, then the
// port's close wakes a read in progress and waits until it has left
// HECI_Read; then both gates are passed, so that a thread that had already
// taken the old pointer but not yet entered the port has finished with it,
// and only then is the old record freed.
#include "HECICore.h"

#include <mutex>
#include <new>

#include "HeciPort.h"
#include "Log.h"
#include "Memory.h"
#include "Mutex.h"
#include "Sync.h"
#include "Thread.h"

bool gHECICoreTrace = false;

namespace {

uint32_t loadMaxLength(const HECICore* core) { return core->maxMessageLength.load(); }
void storeMaxLength(HECICore* core, uint32_t value) { core->maxMessageLength.store(value); }

// What a core closed from its own dispatch thread leaves behind: the
// thread, which is still running the callback that closed it, the two
// locks, and the record itself, whose `isValid` the thread reads once more
// before it ends. The next HECIOpen joins the thread and then frees the
// rest; so does the next core closed the same way, before it takes the
// slots.
struct DeferredCleanup {
  Thread* thread;
  Mutex* receiveLock;
  Mutex* dispatchLock;
  HECICore* record;
};
// On the OS services' backend, so that the deterministic simulation sees
// its holds as it sees every other lock.
osal_sync::Mutex gDeferredLock;
DeferredCleanup gDeferred{};

void freeRecord(HECICore* core) {
  if (core->readGate != nullptr) Mutex_Delete(core->readGate);
  if (core->sendGate != nullptr) Mutex_Delete(core->sendGate);
  core->~HECICore();
  Memory_Free(core);
}

void runDeferredCleanup() {
  DeferredCleanup d;
  {
    std::lock_guard<osal_sync::Mutex> guard(gDeferredLock);
    d = gDeferred;
    gDeferred = DeferredCleanup{};
  }
  if (d.thread != nullptr) {
    Thread_Join(d.thread);
    Thread_Delete(d.thread);
  }
  if (d.receiveLock != nullptr) Mutex_Delete(d.receiveLock);
  if (d.dispatchLock != nullptr) Mutex_Delete(d.dispatchLock);
  if (d.record != nullptr) freeRecord(d.record);
}

void passGate(Mutex* gate) {
  if (gate == nullptr) return;
  Mutex_Lock(gate);
  Mutex_Unlock(gate);
}

// Closes and frees a device that has already been taken out of `device`.
void retireDevice(HECICore* core, HECIWinDevice* old) {
  HECIWin_CloseHeci(old);
  passGate(core->readGate);
  passGate(core->sendGate);
  HECIWin_FreeHeci(old);
}

uint32_t CallbackDispatchThread(void* argument) {
  auto* core = static_cast<HECICore*>(argument);
  if (gHECICoreTrace) Log_Info("Starting thread %s", "CallbackDispatchThread");
  while (core->isValid == 1) {
    Mutex_Lock(core->dispatchLock);
    if (core->dispatchState == DISPATCH_IDLE) {
      core->dispatchState = DISPATCH_WAITING;
      // The event is set only when the state leaves DISPATCH_WAITING; wait
      // again should the wait ever end without that.
      do {
        Mutex_Wait(core->dispatchLock);
      } while (core->dispatchState == DISPATCH_WAITING);
    }
    if (core->dispatchState == DISPATCH_STOP) {
      Mutex_Unlock(core->dispatchLock);
      break;
    }
    core->dispatchState = DISPATCH_IDLE;  // the request is taken
    Mutex_Unlock(core->dispatchLock);

    Mutex_Lock(core->receiveLock);
    uint8_t* buffer = core->pendingBuffer;
    const uint32_t size = core->pendingBufferSize;
    Mutex_Unlock(core->receiveLock);

    HECIStatus status = hsNoDevice;
    uint32_t bytesRead = 0;
    Mutex_Lock(core->readGate);
    const uint32_t epoch = core->deviceEpoch.load();
    HECIWinDevice* device = core->device.load();
    if (device != nullptr && buffer != nullptr) status = HECI_Read(device, buffer, size, &bytesRead);
    Mutex_Unlock(core->readGate);

    // Decided under receiveLock, against which the owner posts: a post that
    // follows a reconnect sees either the request still posted or none.
    Mutex_Lock(core->receiveLock);
    const bool sameDevice = core->deviceEpoch.load() == epoch;
    const bool haveDevice = core->device.load() != nullptr;
    uint8_t* taken = nullptr;
    HECIReceiveCallback callback = nullptr;
    if (sameDevice && haveDevice) {
      callback = core->receiveCallback;
      taken = core->pendingBuffer;
      core->pendingBuffer = nullptr;
    } else if (haveDevice && core->isValid == 1) {
      // A reconnect replaced the device under this read: what the read got
      // (mostly the abort) belongs to the old one. The posted receive is
      // still the owner's, so it is served again on the fresh device rather
      // than failing a request whose resend may well succeed there.
      Mutex_Lock(core->dispatchLock);
      if (core->dispatchState != DISPATCH_STOP) core->dispatchState = DISPATCH_RECEIVE_POSTED;
      Mutex_Unlock(core->dispatchLock);
    } else {
      // The device went away under this request (a close, or a reconnect
      // that has not put a fresh one in yet): nothing is delivered, and the
      // request is dropped, so that the owner's next HECIReceiveMessage is
      // accepted rather than refused as busy forever.
      core->pendingBuffer = nullptr;
    }
    Mutex_Unlock(core->receiveLock);
    if (callback != nullptr) callback(core->userData, status != hsSuccess ? 1 : 0, taken, bytesRead);
  }
  if (gHECICoreTrace) Log_Info("Exiting successfuly from %s", "CallbackDispatchThread");
  return 0;
}

HECIStatus failOpen(HECICore* core, HECICore** out, HECIStatus status) {
  HECIClose(core);
  *out = nullptr;
  return status;
}

}  // namespace

HECIStatus HECIOpen(HECICore** out) {
  runDeferredCleanup();
  if (out == nullptr) return hsInvalidParams;

  auto* core = new (Memory_Alloc(sizeof(HECICore))) HECICore{};
  core->isValid = 0;
  core->device = nullptr;
  core->dispatchState = DISPATCH_IDLE;
  Mutex_Create(&core->receiveLock);
  Mutex_Create(&core->readGate);
  Mutex_Create(&core->sendGate);

  HECIWinDevice* device = nullptr;
  const HECIStatus status = HECI_Init(&device);
  core->device = device;
  if (status != hsSuccess) return failOpen(core, out, status);
  if (device == nullptr || !HECIWin_IsOpen(device)) return failOpen(core, out, hsFailure);
  storeMaxLength(core, HECIWin_MaxMessageLength(device));

  Mutex_Create(&core->dispatchLock);
  core->isValid = 1;
  Thread_Create(&core->dispatchThread, CallbackDispatchThread, core);
  if (core->dispatchThread == nullptr) {
    core->isValid = 0;
    return failOpen(core, out, hsThreadError);
  }
  *out = core;
  return hsSuccess;
}

void HECIClose(HECICore* core) {
  if (core == nullptr) return;
  if (core->markedForCleanup) {
    Log_Warning("HECICore already marked for cleanup.");
    return;
  }
  core->isValid = 0;

  if (core->dispatchLock != nullptr) {
    Mutex_Lock(core->dispatchLock);
    const uint32_t old = core->dispatchState;
    core->dispatchState = DISPATCH_STOP;
    if (old == DISPATCH_WAITING) Mutex_Signal(core->dispatchLock);
    Mutex_Unlock(core->dispatchLock);
  }

  HECIWinDevice* old = core->device.exchange(nullptr);
  core->deviceEpoch += 1;
  if (old != nullptr) retireDevice(core, old);

  if (core->dispatchThread != nullptr) {
    if (Thread_IsCurrent(core->dispatchThread)) {
      // Called from a callback on the dispatch thread: the thread cannot
      // join itself. It ends once the callback returns, as isValid is 0.
      if (gHECICoreTrace) Log_Info("HECICore marked for cleanup.");
      runDeferredCleanup();
      {
        std::lock_guard<osal_sync::Mutex> guard(gDeferredLock);
        gDeferred = DeferredCleanup{core->dispatchThread, core->receiveLock, core->dispatchLock, core};
      }
      core->dispatchLock = nullptr;
      core->receiveLock = nullptr;
      core->dispatchThread = nullptr;
      core->markedForCleanup = 1;
      return;
    }
    Thread_Join(core->dispatchThread);
    Thread_Delete(core->dispatchThread);
    core->dispatchThread = nullptr;
  }

  if (core->dispatchLock != nullptr) {
    Mutex_Delete(core->dispatchLock);
    core->dispatchLock = nullptr;
  }
  storeMaxLength(core, 0);
  if (core->receiveLock != nullptr) Mutex_Delete(core->receiveLock);
  core->receiveLock = nullptr;
  core->userData = nullptr;
  core->pendingBuffer = nullptr;
  core->receiveCallback = nullptr;
  core->sendCallback = nullptr;
  freeRecord(core);
}

HECIStatus HECIReconnect(HECICore* core) {
  // A closed or closing core has nothing to reconnect.
  if (core == nullptr || core->markedForCleanup || core->isValid != 1 || core->dispatchLock == nullptr) {
    return hsFailure;
  }
  Mutex_Lock(core->dispatchLock);
  HECIWinDevice* old = core->device.exchange(nullptr);
  core->deviceEpoch += 1;
  if (old != nullptr) retireDevice(core, old);

  HECIStatus result = hsFailure;
  HECIWinDevice* fresh = nullptr;
  if (HECI_Init(&fresh) == hsSuccess && fresh != nullptr && HECIWin_IsOpen(fresh)) {
    storeMaxLength(core, HECIWin_MaxMessageLength(fresh));
    core->device = fresh;
    core->deviceEpoch += 1;
    result = hsSuccess;
  } else if (fresh != nullptr) {
    HECIWin_CloseHeci(fresh);
    HECIWin_FreeHeci(fresh);
  }
  Mutex_Unlock(core->dispatchLock);
  return result;
}

HECIStatus HECISendMessage(HECICore* core, const uint8_t* data, uint32_t length) {
  if (core == nullptr || core->isValid != 1) {
    Log_Error("HECISendMessage failed : hsInvalidHandle");
    return hsInvalidHandle;
  }
  if (data == nullptr || length > loadMaxLength(core) || length == 0) {
    Log_Error("HECISendMessage failed : hsInvalidParams");
    return hsInvalidParams;
  }
  uint32_t written = 0;
  Mutex_Lock(core->sendGate);
  HECIWinDevice* device = core->device.load();
  const HECIStatus status = HECI_Write(device, data, length, &written);
  // Read while the gate is held: a close from another thread (the send
  // timer's failed resend) passes the gate before it frees the core, so
  // once the gate is released the core may already be gone.
  const HECISendCallback callback = core->sendCallback;
  void* const userData = core->userData;
  Mutex_Unlock(core->sendGate);

  // The callback may close the core: nothing of it is touched afterwards.
  const HECIStatus result = status == hsSuccess ? hsAccepted : hsFailure;
  if (callback != nullptr) {
    if (status != hsSuccess) {
      callback(userData, 1, 0);
    } else {
      callback(userData, 0, written);
    }
  }
  return result;
}

HECIStatus HECIReceiveMessage(HECICore* core, uint8_t* buffer, uint32_t size) {
  if (core == nullptr || core->isValid != 1) {
    Log_Error("HECIReceiveMessage failed : hsInvalidHandle");
    return hsInvalidHandle;
  }
  if (buffer == nullptr || size < loadMaxLength(core)) {
    Log_Error("HECIReceiveMessage failed : hsInvalidParams");
    return hsInvalidParams;
  }
  HECIStatus result;
  Mutex_Lock(core->receiveLock);
  if (core->pendingBuffer != nullptr) {
    result = hsBusy;
  } else {
    core->pendingBuffer = buffer;
    core->pendingBufferSize = size;
    Mutex_Lock(core->dispatchLock);
    const uint32_t old = core->dispatchState;
    core->dispatchState = DISPATCH_RECEIVE_POSTED;
    if (old == DISPATCH_WAITING) Mutex_Signal(core->dispatchLock);
    Mutex_Unlock(core->dispatchLock);
    result = hsAccepted;
  }
  Mutex_Unlock(core->receiveLock);
  return result;
}
