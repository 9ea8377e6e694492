// Win32 threads behind Thread.
#include <windows.h>

#include <atomic>
#include <new>

#include "CurrentThread.h"
#include "Memory.h"
#include "Mutex.h"
#include "Thread.h"

struct Thread {
  std::atomic<DWORD> threadId{0};  // also written by the thread itself, first thing
  HANDLE handle = nullptr;         // null once closed
  ThreadFunction function = nullptr;
  void* argument = nullptr;
  Mutex* runMutex = nullptr;       // held by the thread while the function runs
  std::atomic<bool> started{false};
};

namespace {

DWORD WINAPI threadEntry(LPVOID parameter) {
  auto* t = static_cast<Thread*>(parameter);
  // CreateThread reports the id only once it returns; the thread may run
  // before that, so it writes its own id too.
  t->threadId.store(GetCurrentThreadId(), std::memory_order_release);
  Mutex_Lock(t->runMutex);
  t->started.store(true, std::memory_order_release);
  const DWORD result = t->function(t->argument);
  Mutex_Unlock(t->runMutex);
  // The record may be freed by a joiner from here on: touch it no more.
  return result;
}

}  // namespace

uint64_t CurrentThread_Id() { return GetCurrentThreadId(); }

int32_t Thread_Create(Thread** out, ThreadFunction function, void* argument) {
  auto* t = new (Memory_Alloc(sizeof(Thread))) Thread;
  t->function = function;
  t->argument = argument;
  Mutex_Create(&t->runMutex);
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

void Thread_Join(Thread* t) {
  if (Thread_IsCurrent(t)) {
    return;
  }
  Mutex_Lock(t->runMutex);
  if (!t->started.load(std::memory_order_acquire)) {
    // The thread has not taken its run mutex yet; let it, then wait for it
    // to give it back when its function has returned.
    Mutex_Unlock(t->runMutex);
    while (!t->started.load(std::memory_order_acquire)) {
      Sleep(1);
    }
    Mutex_Lock(t->runMutex);
  }
  Mutex_Unlock(t->runMutex);
}

void Thread_Delete(Thread* t) {
  if (t->handle != nullptr) {
    CloseHandle(t->handle);
    t->handle = nullptr;
  }
  Mutex_Delete(t->runMutex);
  t->~Thread();
  Memory_Free(t);
}

bool Thread_IsCurrent(const Thread* t) {
  return t->threadId.load(std::memory_order_acquire) == GetCurrentThreadId();
}

void Thread_Sleep(uint32_t ms) { Sleep(ms); }
