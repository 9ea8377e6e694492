// Win32 locks: a Mutex is an OS mutex with a manual-reset event; a
// RecursiveMutex is a critical section.
#include <windows.h>

#include "CurrentThread.h"
#include "Log.h"
#include "Memory.h"
#include "Mutex.h"

struct Mutex {
  HANDLE mutex;
  HANDLE event;
};

struct RecursiveMutex {
  CRITICAL_SECTION section;
};

int32_t Mutex_Create(Mutex** out) {
  auto* m = static_cast<Mutex*>(Memory_Alloc(sizeof(Mutex)));
  m->mutex = CreateMutexW(nullptr, FALSE, nullptr);
  if (m->mutex == nullptr) {
    OsCreationFailed("mutex", GetLastError());
  }
  m->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (m->event == nullptr) {
    OsCreationFailed("event", GetLastError());
  }
  ResetEvent(m->event);
  *out = m;
  return 0;
}

void Mutex_Lock(Mutex* m) {
  // WAIT_ABANDONED: the owner ended while holding the mutex; it is ours now.
  const DWORD result = WaitForSingleObject(m->mutex, INFINITE);
  if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) {
    Log_Error("Cannot lock mutex %X\n", static_cast<unsigned>(GetLastError()));
  }
}

void Mutex_Unlock(Mutex* m) {
  if (!ReleaseMutex(m->mutex)) {
    Log_Error("Cannot unlock mutex %X\n", static_cast<unsigned>(GetLastError()));
  }
}

void Mutex_Wait(Mutex* m) {
  // Releases one level of the mutex and starts the wait in one step; the
  // handshakes always wait holding the mutex once.
  const DWORD result = SignalObjectAndWait(m->mutex, m->event, INFINITE, FALSE);
  if (result == WAIT_FAILED) {
    Log_Error("Cannot unlock mutex %X\n", static_cast<unsigned>(GetLastError()));
  }
  Mutex_Lock(m);
  ResetEvent(m->event);
}

void Mutex_Signal(Mutex* m) { SetEvent(m->event); }

void Mutex_Delete(Mutex* m) {
  SetEvent(m->event);
  ResetEvent(m->event);
  CloseHandle(m->mutex);
  CloseHandle(m->event);
  Memory_Free(m);
}

void RecursiveMutex_Create(RecursiveMutex** slot) {
  if (slot == nullptr) {
    Log_Error("%s : Invalide pointer", "RecursiveMutex_Create");
    return;
  }
  *slot = nullptr;
  auto* m = static_cast<RecursiveMutex*>(Memory_Alloc(sizeof(RecursiveMutex)));
  InitializeCriticalSection(&m->section);
  *slot = m;
}

void RecursiveMutex_Lock(RecursiveMutex* m) { EnterCriticalSection(&m->section); }

void RecursiveMutex_Unlock(RecursiveMutex* m) { LeaveCriticalSection(&m->section); }

void RecursiveMutex_Delete(RecursiveMutex* m) {
  if (m == nullptr) {
    return;
  }
  DeleteCriticalSection(&m->section);
  Memory_Free(m);
}
