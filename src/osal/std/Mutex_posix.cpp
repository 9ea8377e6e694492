// POSIX locks.
//
// Mutex: a robust, recursive pthread mutex (owned by its taker, re-entrant,
// and handed to the next taker with EOWNERDEAD when its owner ended while
// holding it, which counts as an ordinary acquisition), plus a manual-reset
// event made of a flag, a small internal lock and a condition variable on
// the monotonic clock.
//
// Ownership and depth are also tracked here, so that an unlock by a thread
// that does not hold the mutex is refused (EPERM, as the pthread mutex itself
// would answer) without reaching the pthread mutex at all: the mutex then
// stays with its holder and the race detectors see no foreign unlock.
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "CurrentThread.h"
#include "Log.h"
#include "Memory.h"
#include "Mutex.h"

struct Mutex {
  pthread_mutex_t lock;             // robust, recursive
  std::atomic<uint64_t> owner{0};   // CurrentThread_Id() of the holder, 0 when free
  std::atomic<uint32_t> depth{0};   // takes not yet released, written by the holder
  pthread_mutex_t eventLock;        // guards eventSet; never held while taking `lock`
  pthread_cond_t eventCond;         // CLOCK_MONOTONIC
  bool eventSet = false;
  uint32_t sleepers = 0;            // threads inside Mutex_Wait; guarded by eventLock
};

struct RecursiveMutex {
  pthread_mutex_t lock;
};

namespace {

void check(int rc, const char* what) {
  if (rc != 0) {
    OsCreationFailed(what, static_cast<uint32_t>(rc));
  }
}

// Internal locks around the event flag: plain mutexes whose failures would
// mean memory corruption, so they are treated like a failed creation.
void lockInternal(pthread_mutex_t* m) { check(pthread_mutex_lock(m), "event lock"); }
void unlockInternal(pthread_mutex_t* m) { check(pthread_mutex_unlock(m), "event lock"); }

void initEventParts(Mutex* m) {
  check(pthread_mutex_init(&m->eventLock, nullptr), "event lock");
  pthread_condattr_t ca;
  check(pthread_condattr_init(&ca), "event");
  check(pthread_condattr_setclock(&ca, CLOCK_MONOTONIC), "event");
  check(pthread_cond_init(&m->eventCond, &ca), "event");
  pthread_condattr_destroy(&ca);
}

void setEvent(Mutex* m, bool set) {
  lockInternal(&m->eventLock);
  m->eventSet = set;
  if (set) {
    pthread_cond_broadcast(&m->eventCond);
  }
  unlockInternal(&m->eventLock);
}

}  // namespace

int32_t Mutex_Create(Mutex** out) {
  auto* m = new (Memory_Alloc(sizeof(Mutex))) Mutex;
  pthread_mutexattr_t ma;
  check(pthread_mutexattr_init(&ma), "mutex");
  check(pthread_mutexattr_settype(&ma, PTHREAD_MUTEX_RECURSIVE), "mutex");
  check(pthread_mutexattr_setrobust(&ma, PTHREAD_MUTEX_ROBUST), "mutex");
  check(pthread_mutex_init(&m->lock, &ma), "mutex");
  pthread_mutexattr_destroy(&ma);
  initEventParts(m);
  setEvent(m, false);
  *out = m;
  return 0;
}

void Mutex_Lock(Mutex* m) {
  int rc = pthread_mutex_lock(&m->lock);
  if (rc == EOWNERDEAD) {
    // The previous owner ended while holding the lock. It passes to us as a
    // fresh acquisition: the depth the dead owner left behind is dropped.
    pthread_mutex_consistent(&m->lock);
    m->depth.store(0, std::memory_order_relaxed);
    rc = 0;
  }
  if (rc != 0) {
    Log_Error("Cannot lock mutex %X\n", static_cast<unsigned>(rc));
    return;
  }
  m->owner.store(CurrentThread_Id(), std::memory_order_relaxed);
  m->depth.fetch_add(1, std::memory_order_relaxed);
}

namespace {

// Releases one take of the mutex; false (logged) when the caller does not
// hold it.
bool releaseOnce(Mutex* m) {
  // Only the holder ever stores its own id, so a non-holder cannot see it
  // here, whatever the holder does meanwhile.
  if (m->owner.load(std::memory_order_relaxed) != CurrentThread_Id()) {
    Log_Error("Cannot unlock mutex %X\n", static_cast<unsigned>(EPERM));
    return false;
  }
  // Clear our traces before the release: once released, the record may be
  // taken or even freed by another thread.
  if (m->depth.fetch_sub(1, std::memory_order_relaxed) == 1) {
    m->owner.store(0, std::memory_order_relaxed);
  }
  const int rc = pthread_mutex_unlock(&m->lock);
  if (rc != 0) {
    Log_Error("Cannot unlock mutex %X\n", static_cast<unsigned>(rc));
    return false;
  }
  return true;
}

}  // namespace

void Mutex_Unlock(Mutex* m) { releaseOnce(m); }

void Mutex_Wait(Mutex* m) {
  // The event lock is taken before the mutex is released, and a signaller
  // must hold the mutex before it can take the event lock: a signal sent
  // after the release therefore finds us either not yet asleep (and we see
  // the flag) or inside the condition wait (and the broadcast wakes us).
  // The flag, not the wake-up, ends the wait, so a spurious wake-up of the
  // condition variable never ends it early.
  //
  // Like the OS mutex it stands for, one level of the lock is released: the
  // handshakes of the system always wait holding it once.
  //
  // A caller that does not hold the mutex gets the unlock error and no wait,
  // as from the OS call this stands for.
  lockInternal(&m->eventLock);
  ++m->sleepers;  // counted before the mutex is released: a deleter sees it
  if (releaseOnce(m)) {
    while (!m->eventSet) {
      pthread_cond_wait(&m->eventCond, &m->eventLock);
    }
  }
  --m->sleepers;
  unlockInternal(&m->eventLock);
  Mutex_Lock(m);
  setEvent(m, false);
}

void Mutex_Signal(Mutex* m) { setEvent(m, true); }

void Mutex_Delete(Mutex* m) {
  // A thread still asleep in Mutex_Wait cannot be released soundly here: the
  // set-then-reset below may leave it waiting on a condition variable that
  // is then destroyed, in a record that is freed. Owners stop or join such
  // threads first; a delete that comes too early is refused, and the record
  // (leaked, but intact) stays usable for the sleeper.
  lockInternal(&m->eventLock);
  const uint32_t sleepers = m->sleepers;
  unlockInternal(&m->eventLock);
  if (sleepers != 0) {
    Log_Error("%s : a thread still sleeps on this mutex : not deleted", "Mutex_Delete");
    return;
  }
  // Set and reset, as the Windows form does.
  setEvent(m, true);
  setEvent(m, false);
  pthread_cond_destroy(&m->eventCond);
  pthread_mutex_destroy(&m->eventLock);
  pthread_mutex_destroy(&m->lock);
  m->~Mutex();
  Memory_Free(m);
}

void RecursiveMutex_Create(RecursiveMutex** slot) {
  if (slot == nullptr) {
    Log_Error("%s : Invalide pointer", "RecursiveMutex_Create");
    return;
  }
  *slot = nullptr;
  auto* m = static_cast<RecursiveMutex*>(Memory_Alloc(sizeof(RecursiveMutex)));
  pthread_mutexattr_t ma;
  check(pthread_mutexattr_init(&ma), "recursive mutex");
  check(pthread_mutexattr_settype(&ma, PTHREAD_MUTEX_RECURSIVE), "recursive mutex");
  check(pthread_mutex_init(&m->lock, &ma), "recursive mutex");
  pthread_mutexattr_destroy(&ma);
  *slot = m;
}

void RecursiveMutex_Lock(RecursiveMutex* m) {
  const int rc = pthread_mutex_lock(&m->lock);
  if (rc != 0) {
    Log_Error("Cannot lock mutex %X\n", static_cast<unsigned>(rc));
  }
}

void RecursiveMutex_Unlock(RecursiveMutex* m) {
  const int rc = pthread_mutex_unlock(&m->lock);
  if (rc != 0) {
    Log_Error("Cannot unlock mutex %X\n", static_cast<unsigned>(rc));
  }
}

void RecursiveMutex_Delete(RecursiveMutex* m) {
  if (m == nullptr) {
    return;
  }
  pthread_mutex_destroy(&m->lock);
  Memory_Free(m);
}
