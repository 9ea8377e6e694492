// The locks of the OS services on the deterministic scheduler. They follow
// the contract of Mutex.h, not one platform: owned and re-entrant, passed to
// the next taker when the owner ended holding it, one level released by
// Mutex_Wait, and the event flag stays set until a waiter resets it.
#include <new>

#include "DstWorld.h"
#include "Log.h"
#include "Memory.h"
#include "Mutex.h"

using dst::detail::Object;

struct Mutex {
  Object lock{"Mutex"};         // holder: the owner's thread index
  Object event{"Mutex event"};  // sleepers of Mutex_Wait
  uint32_t depth = 0;
  bool eventSet = false;
  uint32_t sleepers = 0;
};

struct RecursiveMutex {
  Object lock{"RecursiveMutex"};
  uint32_t depth = 0;
};

namespace {

constexpr unsigned kNotOwner = 1;  // EPERM, as the POSIX form logs it

// Takes one level of `lock`, blocking while another live thread owns it.
// `passesOn`: a dead owner's lock goes to the next taker (Mutex); otherwise
// it stays taken for ever, as a plain OS lock does.
void take(Object& lock, uint32_t& depth, bool passesOn, const char* call, const void* caller) {
  dst::detail::Point(call, &lock, caller);
  const int32_t me = dst::detail::SelfIndex();
  for (;;) {
    if (lock.holder == me) {
      ++depth;
      return;
    }
    if (lock.holder >= 0 && passesOn && dst::detail::IsFinished(lock.holder)) {
      lock.holder = -1;
      depth = 0;
    }
    if (lock.holder < 0) {
      lock.holder = me;
      depth = 1;
      return;
    }
    dst::detail::Block(call, &lock, dst::detail::kNoDeadline, caller);
  }
}

// Releases one level; false (logged) when the caller does not own it.
bool release(Object& lock, uint32_t& depth) {
  if (lock.holder != dst::detail::SelfIndex()) {
    Log_Error("Cannot unlock mutex %X\n", kNotOwner);
    return false;
  }
  if (--depth == 0) {
    lock.holder = -1;
    dst::detail::Wake(&lock);
  }
  return true;
}

}  // namespace

int32_t Mutex_Create(Mutex** out) {
  *out = new (Memory_Alloc(sizeof(Mutex))) Mutex;
  return 0;
}

void Mutex_Lock(Mutex* m) { take(m->lock, m->depth, true, "Mutex_Lock", __builtin_return_address(0)); }

void Mutex_Unlock(Mutex* m) {
  if (release(m->lock, m->depth)) dst::detail::Point("Mutex_Unlock", &m->lock, __builtin_return_address(0));
}

void Mutex_Wait(Mutex* m) {
  const void* caller = __builtin_return_address(0);
  ++m->sleepers;
  if (release(m->lock, m->depth)) {
    while (!m->eventSet) dst::detail::BlockWait("Mutex_Wait", &m->event, dst::detail::kNoDeadline, caller);
  }
  --m->sleepers;
  take(m->lock, m->depth, true, "Mutex_Wait relock", caller);
  m->eventSet = false;
}

void Mutex_Signal(Mutex* m) {
  m->eventSet = true;
  dst::detail::Wake(&m->event);
  dst::detail::Point("Mutex_Signal", &m->event, __builtin_return_address(0));
}

void Mutex_Delete(Mutex* m) {
  if (m->sleepers != 0) {
    Log_Error("%s : a thread still sleeps on this mutex : not deleted", "Mutex_Delete");
    return;
  }
  // Freeing a lock that another live thread holds, or waits to take, is a
  // use after free on every platform: the run fails here, not later.
  if (m->lock.holder >= 0 && m->lock.holder != dst::detail::SelfIndex() &&
      !dst::detail::IsFinished(m->lock.holder)) {
    dst::detail::FailHere("Mutex_Delete of a mutex that another thread holds");
  }
  if (dst::detail::WakeOne(&m->lock)) dst::detail::FailHere("Mutex_Delete of a mutex that a thread waits to take");
  m->~Mutex();
  Memory_Free(m);
}

void RecursiveMutex_Create(RecursiveMutex** slot) {
  if (slot == nullptr) {
    Log_Error("%s : Invalide pointer", "RecursiveMutex_Create");
    return;
  }
  *slot = new (Memory_Alloc(sizeof(RecursiveMutex))) RecursiveMutex;
}

void RecursiveMutex_Lock(RecursiveMutex* m) {
  take(m->lock, m->depth, false, "RecursiveMutex_Lock", __builtin_return_address(0));
}

void RecursiveMutex_Unlock(RecursiveMutex* m) {
  if (release(m->lock, m->depth)) {
    dst::detail::Point("RecursiveMutex_Unlock", &m->lock, __builtin_return_address(0));
  }
}

void RecursiveMutex_Delete(RecursiveMutex* m) {
  if (m == nullptr) return;
  if (m->lock.holder >= 0 && m->lock.holder != dst::detail::SelfIndex() &&
      !dst::detail::IsFinished(m->lock.holder)) {
    dst::detail::FailHere("RecursiveMutex_Delete of a lock that another thread holds");
  }
  m->~RecursiveMutex();
  Memory_Free(m);
}
