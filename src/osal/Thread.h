// Threads that can be joined without waiting on the OS handle: the thread
// holds its run Mutex for as long as its function runs, and a join is a
// take and release of that Mutex.
#pragma once

#include <cstdint>

struct Thread;  // defined per platform

using ThreadFunction = uint32_t (*)(void* argument);

// Starts `function(argument)` on a new thread and stores the record through
// `out` (before the function can observe it being stored). Returns 0. On
// Windows it returns once the system has finished starting the thread
// (Thread_win32.cpp says why).
int32_t Thread_Create(Thread** out, ThreadFunction function, void* argument);
// Returns once the function has returned; at once when called on the
// thread itself.
void Thread_Join(Thread* t);
// t must not be null. Does not join: owners call Thread_Join first. From the
// thread itself it is refused (logged, nothing freed).
void Thread_Delete(Thread* t);
// True when the calling thread is the thread of `t`.
bool Thread_IsCurrent(const Thread* t);
// Sleeps the calling thread for `ms` milliseconds.
void Thread_Sleep(uint32_t ms);
