// POSIX threads behind Thread. The thread id is a number of our own, handed
// out once per thread, so that a thread that has ended can never be taken
// for a new one.
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "CurrentThread.h"
#include "Memory.h"
#include "Mutex.h"
#include "Thread.h"
#include "ThreadRun.h"

struct Thread {
  std::atomic<uint64_t> threadId{0};  // written by the thread itself, first thing
  pthread_t handle{};
  bool hasHandle = false;             // false once the handle was given up
  ThreadRun run;
};

namespace {

std::atomic<uint64_t> gNextThreadId{1};

void* threadEntry(void* parameter) {
  auto* t = static_cast<Thread*>(parameter);
  t->threadId.store(CurrentThread_Id(), std::memory_order_release);
  const uint32_t result = ThreadRun_Execute(t->run);
  // The record may be freed by a joiner from here on: touch it no more.
  return reinterpret_cast<void*>(static_cast<uintptr_t>(result));
}

}  // namespace

uint64_t CurrentThread_Id() {
  thread_local uint64_t id = gNextThreadId.fetch_add(1, std::memory_order_relaxed);
  return id;
}

int32_t Thread_Create(Thread** out, ThreadFunction function, void* argument) {
  auto* t = new (Memory_Alloc(sizeof(Thread))) Thread;
  t->run.function = function;
  t->run.argument = argument;
  Mutex_Create(&t->run.runMutex);
  // Stored before the thread starts, so that its function already finds its
  // own record in the owner's field.
  *out = t;
  const int rc = pthread_create(&t->handle, nullptr, threadEntry, t);
  if (rc != 0) {
    OsCreationFailed("thread", static_cast<uint32_t>(rc));
  }
  t->hasHandle = true;
  return 0;
}

void ThreadPlatform_Delete(Thread* t) {
  if (t->hasHandle) {
    // Nothing waits on the OS thread: let it release its resources itself
    // when it has ended.
    pthread_detach(t->handle);
    t->hasHandle = false;
  }
  Mutex_Delete(t->run.runMutex);
  t->~Thread();
  Memory_Free(t);
}

ThreadRun& Thread_RunOf(Thread* t) { return t->run; }

bool Thread_IsCurrent(const Thread* t) {
  return t->threadId.load(std::memory_order_acquire) == CurrentThread_Id();
}

void Thread_Sleep(uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (clock_nanosleep(CLOCK_MONOTONIC, 0, &left, &left) == EINTR) {
  }
}
