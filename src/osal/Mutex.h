// Locks of the OS services layer.
//
// A Mutex is a lock owned by its taker, re-entrant for it, and taken over
// without error when its owner ended while holding it. It is paired with a
// manual-reset event, so that it is also the monitor of a handshake: the
// sleeper publishes its state under the lock and calls Mutex_Wait, which
// releases the lock and starts waiting in one atomic step; the waker changes
// the state under the same lock and calls Mutex_Signal.
//
// A RecursiveMutex is a plain re-entrant lock (the timer's arming lock).
//
// Failures are logged ("Cannot lock mutex %X\n", "Cannot unlock mutex %X\n")
// and otherwise ignored: these operations return nothing.
#pragma once

#include <cstdint>

struct Mutex;           // defined per platform (Mutex_win32.cpp, Mutex_posix.cpp)
struct RecursiveMutex;  // defined per platform

// Stores a new Mutex through `out`; always returns 0.
int32_t Mutex_Create(Mutex** out);
void Mutex_Lock(Mutex* m);
void Mutex_Unlock(Mutex* m);
// Caller holds m. Releases it and waits for the event in one atomic step,
// without time limit; then takes m again and resets the event.
void Mutex_Wait(Mutex* m);
// Caller holds m. Sets the event; it stays set until a waiter resets it.
void Mutex_Signal(Mutex* m);
// m must not be null. Sets and resets the event, closes, frees. Deleting a
// Mutex that a thread still sleeps on is outside the contract; the POSIX
// form detects it, logs an error and leaves the record alone.
void Mutex_Delete(Mutex* m);

// A null slot logs "%s : Invalide pointer" and creates nothing.
void RecursiveMutex_Create(RecursiveMutex** slot);
void RecursiveMutex_Lock(RecursiveMutex* m);
void RecursiveMutex_Unlock(RecursiveMutex* m);
void RecursiveMutex_Delete(RecursiveMutex* m);  // null is ignored
