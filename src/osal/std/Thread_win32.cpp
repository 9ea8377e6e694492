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
  ThreadRun run;
};

namespace {

DWORD WINAPI threadEntry(LPVOID parameter) {
  auto* t = static_cast<Thread*>(parameter);
  // CreateThread reports the id only once it returns; the thread may run
  // before that, so it writes its own id too.
  t->threadId.store(GetCurrentThreadId(), std::memory_order_release);
  const DWORD result = ThreadRun_Execute(t->run);
  // The record may be freed by a joiner from here on: touch it no more.
  return result;
}

}  // namespace

uint64_t CurrentThread_Id() { return GetCurrentThreadId(); }

int32_t Thread_Create(Thread** out, ThreadFunction function, void* argument) {
  auto* t = new (Memory_Alloc(sizeof(Thread))) Thread;
  t->run.function = function;
  t->run.argument = argument;
  Mutex_Create(&t->run.runMutex);
  // Stored before the thread starts, so that its function already finds its
  // own record in the owner's field.
  *out = t;
  DWORD id = 0;
  t->handle = CreateThread(nullptr, 0, threadEntry, t, 0, &id);
  if (t->handle == nullptr) {
    OsCreationFailed("thread", GetLastError());
  }
  t->threadId.store(id, std::memory_order_release);
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
