// The portable half of Thread: the run protocol and the join, which waits on
// the run mutex, never on the OS thread handle.
#include "Log.h"
#include "Mutex.h"
#include "Thread.h"
#include "ThreadRun.h"

uint32_t ThreadRun_Execute(ThreadRun& run) {
  Mutex_Lock(run.runMutex);
  run.started.store(true, std::memory_order_release);
  const uint32_t result = run.function(run.argument);
  Mutex_Unlock(run.runMutex);
  return result;
}

void Thread_Join(Thread* t) {
  if (Thread_IsCurrent(t)) {
    return;
  }
  ThreadRun& run = Thread_RunOf(t);
  Mutex_Lock(run.runMutex);
  if (!run.started.load(std::memory_order_acquire)) {
    // The thread has not taken its run mutex yet; let it, then wait for it
    // to give it back when its function has returned.
    Mutex_Unlock(run.runMutex);
    while (!run.started.load(std::memory_order_acquire)) {
      Thread_Sleep(1);
    }
    Mutex_Lock(run.runMutex);
  }
  Mutex_Unlock(run.runMutex);
}

void Thread_Delete(Thread* t) {
  // From the thread itself the record would go while its function still
  // runs, and its run mutex, which the thread holds until the function has
  // returned, with it.
  if (Thread_IsCurrent(t)) {
    Log_Error("%s called from the thread itself : refused", "Thread_Delete");
    return;
  }
  ThreadPlatform_Delete(t);
}
