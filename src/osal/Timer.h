// One-shot millisecond timers, each with a service thread of its own on
// which the callback runs, under the timer's recursive lock (so a callback
// may start or stop its own timer).
//
// Timer_Start does not cut a running period short; re-arm with Timer_Stop
// followed by Timer_Start. After Timer_Stop has returned, no callback of
// the old arming can start.
#pragma once

#include <cstdint>

struct Timer;  // defined in Timer.cpp

using TimerCallback = void (*)(void* argument);

void Timer_Create(Timer** out);
void Timer_Start(Timer* t, uint32_t periodMs, TimerCallback callback, void* argument);
void Timer_Stop(Timer* t);
// t must not be null. Stops the timer, ends and joins its service thread,
// frees everything. From inside the timer's own callback it is refused
// (logged, nothing freed).
void Timer_Delete(Timer* t);

// Test seam: when set, each timer's service thread calls it, with its timer,
// every time it has taken a start request and the arming that goes with it,
// before it waits the period. Null by default.
using TimerServiceHook = void (*)(Timer* t);
void Timer_SetServiceHook(TimerServiceHook hook);
