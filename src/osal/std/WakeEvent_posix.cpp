// The wake event on POSIX: a flag under a lock, with a condition variable on
// the monotonic clock for the timed wait.
#include <pthread.h>
#include <time.h>

#include <cerrno>

#include "CurrentThread.h"
#include "Memory.h"
#include "WakeEvent.h"

struct WakeEvent {
  pthread_mutex_t lock;
  pthread_cond_t cond;  // CLOCK_MONOTONIC
  bool set;
};

namespace {

void check(int rc) {
  if (rc != 0) {
    OsCreationFailed("event", static_cast<uint32_t>(rc));
  }
}

}  // namespace

void WakeEvent_Create(WakeEvent** out) {
  auto* e = static_cast<WakeEvent*>(Memory_Alloc(sizeof(WakeEvent)));
  check(pthread_mutex_init(&e->lock, nullptr));
  pthread_condattr_t ca;
  check(pthread_condattr_init(&ca));
  check(pthread_condattr_setclock(&ca, CLOCK_MONOTONIC));
  check(pthread_cond_init(&e->cond, &ca));
  pthread_condattr_destroy(&ca);
  e->set = false;
  *out = e;
}

void WakeEvent_Set(WakeEvent* e) {
  check(pthread_mutex_lock(&e->lock));
  e->set = true;
  pthread_cond_broadcast(&e->cond);
  check(pthread_mutex_unlock(&e->lock));
}

void WakeEvent_Reset(WakeEvent* e) {
  check(pthread_mutex_lock(&e->lock));
  e->set = false;
  check(pthread_mutex_unlock(&e->lock));
}

bool WakeEvent_IsSet(WakeEvent* e) {
  check(pthread_mutex_lock(&e->lock));
  const bool set = e->set;
  check(pthread_mutex_unlock(&e->lock));
  return set;
}

bool WakeEvent_WaitFor(WakeEvent* e, uint32_t ms) {
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += static_cast<time_t>(ms / 1000);
  deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  check(pthread_mutex_lock(&e->lock));
  // Spurious wake-ups go round the loop: only the flag or the deadline ends it.
  int rc = 0;
  while (!e->set && rc != ETIMEDOUT) {
    rc = pthread_cond_timedwait(&e->cond, &e->lock, &deadline);
  }
  const bool set = e->set;
  check(pthread_mutex_unlock(&e->lock));
  return set;
}

void WakeEvent_Delete(WakeEvent* e) {
  if (e == nullptr) {
    return;
  }
  pthread_cond_destroy(&e->cond);
  pthread_mutex_destroy(&e->lock);
  Memory_Free(e);
}
