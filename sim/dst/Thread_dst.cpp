// Threads of the OS services on the deterministic scheduler. The portable run
// protocol (Thread.cpp) is unchanged; the ids are the scheduler's, never
// given twice in the process.
#include <new>

#include "CurrentThread.h"
#include "DstWorld.h"
#include "Memory.h"
#include "Mutex.h"
#include "Thread.h"
#include "ThreadRun.h"

struct Thread {
  uint64_t threadId = 0;
  ThreadRun run;
};

uint64_t CurrentThread_Id() { return dst::detail::SelfUid(); }

int32_t Thread_Create(Thread** out, ThreadFunction function, void* argument) {
  auto* t = new (Memory_Alloc(sizeof(Thread))) Thread;
  t->run.function = function;
  t->run.argument = argument;
  Mutex_Create(&t->run.runMutex);
  *out = t;
  // The id is known before the thread runs, so the record is complete when
  // its function first looks at it.
  ThreadRun* run = &t->run;
  dst::detail::Spawn([run] { ThreadRun_Execute(*run); }, __builtin_return_address(0), &t->threadId);
  return 0;
}

void ThreadPlatform_Delete(Thread* t) {
  Mutex_Delete(t->run.runMutex);
  t->~Thread();
  Memory_Free(t);
}

ThreadRun& Thread_RunOf(Thread* t) { return t->run; }

bool Thread_IsCurrent(const Thread* t) { return t->threadId == CurrentThread_Id(); }

void Thread_Sleep(uint32_t ms) {
  const void* caller = __builtin_return_address(0);
  if (ms == 0) {
    dst::detail::Point("Thread_Sleep", nullptr, caller);
    return;
  }
  dst::detail::Block("Thread_Sleep", nullptr, dst::detail::Now() + static_cast<uint64_t>(ms) * 1000000ull, caller);
}
