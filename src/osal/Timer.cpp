// One-shot timers, each with its own service thread.
//
// Two locks: `lock` (recursive) guards the arming fields and is held around
// the callback, so a callback may start or stop its own timer; `control`
// guards the state word of the handshake with the service thread. Order:
// `lock` before `control`. The service thread sleeps on `control` holding
// nothing else, and takes both only to consume a start request together
// with its arming.
#include "Timer.h"

#include <atomic>

#include "Log.h"
#include "Memory.h"
#include "Mutex.h"
#include "Thread.h"
#include "WakeEvent.h"

namespace {

constexpr uint32_t kTimerIdle = 0;
constexpr uint32_t kTimerWaiting = 1;  // service thread asleep on `control`
constexpr uint32_t kTimerStartRequested = 2;
constexpr uint32_t kTimerExitRequested = 3;

}  // namespace

struct Timer {
  Thread* serviceThread;
  Mutex* control;
  uint32_t state;  // guarded by control
  RecursiveMutex* lock;
  uint32_t periodMs;       // guarded by lock
  TimerCallback callback;  // guarded by lock; null when not armed
  void* argument;          // guarded by lock
  WakeEvent* wake;         // set to cut a running period short
};

namespace {

std::atomic<TimerServiceHook> gServiceHook{nullptr};

// Sets the state word, waking the service thread when it sleeps.
void requestState(Timer* t, uint32_t state) {
  Mutex_Lock(t->control);
  const uint32_t old = t->state;
  t->state = state;
  if (old == kTimerWaiting) {
    Mutex_Signal(t->control);
  }
  Mutex_Unlock(t->control);
}

uint32_t timerService(void* parameter) {
  auto* t = static_cast<Timer*>(parameter);
  for (;;) {
    Mutex_Lock(t->control);
    if (t->state == kTimerIdle) {
      t->state = kTimerWaiting;
      Mutex_Wait(t->control);
    }
    const bool exitRequested = t->state == kTimerExitRequested;
    Mutex_Unlock(t->control);
    if (exitRequested) {
      return 0;
    }

    // The start request is taken and its arming read in one step, under
    // `lock`, under which Timer_Start writes both. Taken apart, a Timer_Start
    // landing in between would have its arming read by this period and its
    // request left for the next one: one arming, two calls.
    RecursiveMutex_Lock(t->lock);
    Mutex_Lock(t->control);
    if (t->state == kTimerExitRequested) {
      Mutex_Unlock(t->control);
      RecursiveMutex_Unlock(t->lock);
      return 0;
    }
    t->state = kTimerIdle;
    Mutex_Unlock(t->control);
    const uint32_t period = t->periodMs;
    const bool armed = t->callback != nullptr;
    WakeEvent_Reset(t->wake);
    RecursiveMutex_Unlock(t->lock);
    if (TimerServiceHook hook = gServiceHook.load()) {
      hook(t);
    }
    if (!armed) {
      continue;
    }
    if (WakeEvent_WaitFor(t->wake, period)) {
      continue;  // stopped: the period ends without a call
    }
    RecursiveMutex_Lock(t->lock);
    // A Timer_Stop that came between the end of the wait and this point has
    // set the wake event; a Timer_Start right behind it may already have
    // re-armed the timer, and that new arming must not fire early.
    if (t->callback != nullptr && !WakeEvent_IsSet(t->wake)) {
      t->callback(t->argument);
    }
    RecursiveMutex_Unlock(t->lock);
  }
}

}  // namespace

void Timer_SetServiceHook(TimerServiceHook hook) { gServiceHook = hook; }

void Timer_Create(Timer** out) {
  auto* t = static_cast<Timer*>(Memory_Alloc(sizeof(Timer)));
  t->state = kTimerIdle;
  t->periodMs = 0;
  t->callback = nullptr;
  t->argument = nullptr;
  WakeEvent_Create(&t->wake);
  WakeEvent_Reset(t->wake);
  RecursiveMutex_Create(&t->lock);
  Mutex_Create(&t->control);
  Thread_Create(&t->serviceThread, timerService, t);
  *out = t;
}

void Timer_Start(Timer* t, uint32_t periodMs, TimerCallback callback, void* argument) {
  // The arming and its start request go together, under `lock`.
  RecursiveMutex_Lock(t->lock);
  t->periodMs = periodMs;
  t->callback = callback;
  t->argument = argument;
  requestState(t, kTimerStartRequested);
  RecursiveMutex_Unlock(t->lock);
}

void Timer_Stop(Timer* t) {
  RecursiveMutex_Lock(t->lock);
  t->periodMs = 0;
  t->callback = nullptr;
  t->argument = nullptr;
  WakeEvent_Set(t->wake);
  RecursiveMutex_Unlock(t->lock);
}

void Timer_Delete(Timer* t) {
  // Not from the timer's own callback: the join would return at once on the
  // service thread and the records would go while the callback still runs.
  if (Thread_IsCurrent(t->serviceThread)) {
    Log_Error("%s called from the timer's own callback : refused", "Timer_Delete");
    return;
  }
  Timer_Stop(t);
  requestState(t, kTimerExitRequested);
  Thread_Join(t->serviceThread);
  Thread_Delete(t->serviceThread);
  Mutex_Delete(t->control);
  RecursiveMutex_Delete(t->lock);
  WakeEvent_Delete(t->wake);
  Memory_Free(t);
}
