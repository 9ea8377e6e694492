// One thread starts an action and sleeps until another reports completion,
// without losing a report that comes early.
//
// Protocol of the waiting side: WaiterNotifier_Lock; start the action;
// WaiterNotifier_Wait; read the outcome; WaiterNotifier_Unlock. The
// completing side stores the outcome, then calls WaiterNotifier_Notify.
// Every operation returns 0, or 1 for a null notifier.
#pragma once

#include <cstdint>

struct Mutex;

constexpr uint32_t WN_IDLE = 0;
constexpr uint32_t WN_WAITING = 1;
constexpr uint32_t WN_NOTIFIED = 2;

struct WaiterNotifier {
  Mutex* mutex;
  uint32_t state;  // guarded by mutex
};

uint32_t WaiterNotifier_Create(WaiterNotifier** out);
uint32_t WaiterNotifier_Lock(WaiterNotifier* w);
uint32_t WaiterNotifier_Unlock(WaiterNotifier* w);
uint32_t WaiterNotifier_Wait(WaiterNotifier* w);
uint32_t WaiterNotifier_Notify(WaiterNotifier* w);
uint32_t WaiterNotifier_Delete(WaiterNotifier* w);
