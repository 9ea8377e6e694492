// The part of a Thread record that the portable thread protocol works on.
// Each backend's Thread (Thread_posix.cpp, Thread_win32.cpp, Thread_dst.cpp)
// holds one and hands it out through Thread_RunOf.
#pragma once

#include <atomic>
#include <cstdint>

#include "Thread.h"

struct Mutex;

struct ThreadRun {
  ThreadFunction function = nullptr;
  void* argument = nullptr;
  Mutex* runMutex = nullptr;         // held by the thread while the function runs
  std::atomic<bool> started{false};  // polled by Thread_Join without the run mutex
};

// Platform: the run part of a thread record.
ThreadRun& Thread_RunOf(Thread* t);
// Platform: gives up the OS thread's handle and frees the record (run mutex
// included). Thread_Delete calls it, never from the thread itself.
void ThreadPlatform_Delete(Thread* t);

// Portable: what the new OS thread does with its record once it knows its
// own id. Returns the function's result. The record may be freed by a joiner
// as soon as this returns.
uint32_t ThreadRun_Execute(ThreadRun& run);
