// Win32 threads behind Thread.
#include <windows.h>

#include <atomic>
#include <new>

#include "CurrentThread.h"
#include "Memory.h"
#include "Mutex.h"
#include "Thread.h"
#include "ThreadRun.h"

struct Thread {
  std::atomic<DWORD> threadId{0};  // also written by the thread itself, first thing
  HANDLE handle = nullptr;         // null once closed
  HANDLE running = nullptr;        // set by the thread once it runs; only during Thread_Create
  ThreadRun run;
};

namespace {

DWORD WINAPI threadEntry(LPVOID parameter) {
  auto* t = static_cast<Thread*>(parameter);
  // CreateThread reports the id only once it returns; the thread may run
  // before that, so it writes its own id too.
  t->threadId.store(GetCurrentThreadId(), std::memory_order_release);
  // Thread_Create closes the event as soon as it sees it set.
  SetEvent(t->running);
  const DWORD result = ThreadRun_Execute(t->run);
  // The record may be freed by a joiner from here on: touch it no more.
  return result;
}

}  // namespace

uint64_t CurrentThread_Id() { return GetCurrentThreadId(); }

// Returns only once the new thread runs its entry routine, that is once
// the system has finished starting it. A thread that the end of the
// process catches while it is still being started can take the whole
// process down with it under Wine (8.0: a SIGSEGV in its start-up, so the
// caller sees a crash instead of the program's exit code), and the port's
// last close starts a thread that nothing joins just before the program
// ends. Waiting here leaves no thread of ours in that state; it costs one
// thread switch per thread, and no thread is created on a path that
// counts milliseconds.
int32_t Thread_Create(Thread** out, ThreadFunction function, void* argument) {
  auto* t = new (Memory_Alloc(sizeof(Thread))) Thread;
  t->run.function = function;
  t->run.argument = argument;
  Mutex_Create(&t->run.runMutex);
  t->running = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (t->running == nullptr) {
    OsCreationFailed("event", GetLastError());
  }
  // Stored before the thread starts, so that its function already finds its
  // own record in the owner's field.
  *out = t;
  DWORD id = 0;
  t->handle = CreateThread(nullptr, 0, threadEntry, t, 0, &id);
  if (t->handle == nullptr) {
    OsCreationFailed("thread", GetLastError());
  }
  t->threadId.store(id, std::memory_order_release);
  WaitForSingleObject(t->running, INFINITE);
  CloseHandle(t->running);
  t->running = nullptr;
  return 0;
}

void ThreadPlatform_Delete(Thread* t) {
  if (t->handle != nullptr) {
    CloseHandle(t->handle);
    t->handle = nullptr;
  }
  Mutex_Delete(t->run.runMutex);
  t->~Thread();
  Memory_Free(t);
}

ThreadRun& Thread_RunOf(Thread* t) { return t->run; }

bool Thread_IsCurrent(const Thread* t) {
  return t->threadId.load(std::memory_order_acquire) == GetCurrentThreadId();
}

void Thread_Sleep(uint32_t ms) { Sleep(ms); }
