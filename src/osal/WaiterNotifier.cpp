#include "WaiterNotifier.h"

#include "Log.h"
#include "Memory.h"
#include "Mutex.h"

uint32_t WaiterNotifier_Create(WaiterNotifier** out) {
  if (out == nullptr) {
    return 1;
  }
  auto* w = static_cast<WaiterNotifier*>(Memory_Alloc(sizeof(WaiterNotifier)));
  w->mutex = nullptr;
  if (Mutex_Create(&w->mutex) != 0 || w->mutex == nullptr) {
    Memory_Free(w);
    return 1;
  }
  w->state = WN_IDLE;
  *out = w;
  return 0;
}

uint32_t WaiterNotifier_Lock(WaiterNotifier* w) {
  if (w == nullptr) {
    return 1;
  }
  Mutex_Lock(w->mutex);
  return 0;
}

uint32_t WaiterNotifier_Unlock(WaiterNotifier* w) {
  if (w == nullptr) {
    return 1;
  }
  Mutex_Unlock(w->mutex);
  return 0;
}

uint32_t WaiterNotifier_Wait(WaiterNotifier* w) {
  if (w == nullptr) {
    return 1;
  }
  switch (w->state) {
    case WN_IDLE:
      w->state = WN_WAITING;
      // Releases the lock and starts waiting in one step, so a notifier that
      // needs the lock can only come after we sleep; one set of the event
      // ends the wait.
      Mutex_Wait(w->mutex);
      break;
    case WN_NOTIFIED:
      break;  // the report came before the wait
    default:
      Log_Error("%s invalid state :%X", "WaiterNotifier_Wait", static_cast<unsigned>(w->state));
      break;
  }
  w->state = WN_IDLE;
  return 0;
}

uint32_t WaiterNotifier_Notify(WaiterNotifier* w) {
  if (w == nullptr) {
    return 1;
  }
  Mutex_Lock(w->mutex);  // re-entrant: the waiter's own thread may notify
  const uint32_t old = w->state;
  w->state = WN_NOTIFIED;
  if (old == WN_WAITING) {
    Mutex_Signal(w->mutex);
  }
  Mutex_Unlock(w->mutex);
  return 0;
}

uint32_t WaiterNotifier_Delete(WaiterNotifier* w) {
  if (w == nullptr) {
    return 1;
  }
  Mutex_Lock(w->mutex);
  if (w->state == WN_WAITING) {
    w->state = WN_NOTIFIED;
    Mutex_Signal(w->mutex);
    Log_Warning("%s : Join the thread that is in Wait state before deleting this WaiterNotifier. It might crash !\n",
                "WaiterNotifier_Delete");
  }
  Mutex_Unlock(w->mutex);
  Mutex_Delete(w->mutex);
  Memory_Free(w);
  return 0;
}
