// The timer's wake event: a manual-reset event with a timed wait.
//
// It stays set until reset. A timed wait measures its period from the moment
// it starts, on a clock that a change of the wall clock cannot move.
#pragma once

#include <cstdint>

struct WakeEvent;  // defined per backend (WakeEvent_win32.cpp, WakeEvent_posix.cpp, WakeEvent_dst.cpp)

// Created not signalled. A failure of the OS ends the process.
void WakeEvent_Create(WakeEvent** out);
void WakeEvent_Set(WakeEvent* e);
void WakeEvent_Reset(WakeEvent* e);
// True when the event is set at this moment.
bool WakeEvent_IsSet(WakeEvent* e);
// Waits up to `ms` milliseconds. True when the event was set, false when the
// period ran out.
bool WakeEvent_WaitFor(WakeEvent* e, uint32_t ms);
void WakeEvent_Delete(WakeEvent* e);  // null is ignored
