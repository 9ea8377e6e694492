// The scheduler of the deterministic backend: a baton passed between real OS
// threads, a virtual clock, deadlock and runaway detection and the watchdog
// (its state in DstState.h, its strategies in DstStrategy.cpp, its failure
// reports in DstReport.cpp). Each thread owns a semaphore; the baton holder picks the
// next thread, posts its semaphore and waits on its own. The scheduler's
// state is touched only by the baton holder, so it takes no lock; the
// watchdog reads the few fields it needs through atomics, and under
// gWatchLock, which keeps a world alive while it looks.
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "DstState.h"

namespace dst::detail {

namespace {

thread_local Thread* tSelf = nullptr;
std::atomic<World*> gActive{nullptr};
std::atomic<uint64_t> gWorlds{0};
std::atomic<uint64_t> gUids{0};
std::function<const char*()> gInvariant;
// Worlds whose threads stay parked (failed runs, dissolved implicit worlds):
// kept reachable on purpose, their threads still point into them.
std::vector<World*>* gKept = nullptr;
pthread_mutex_t gWatchLock = PTHREAD_MUTEX_INITIALIZER;
bool gWatchdogStarted = false;

void semWait(sem_t* s) {
  while (sem_wait(s) != 0) {
  }
}

void keep(World* w) {
  if (gKept == nullptr) gKept = new std::vector<World*>;
  gKept->push_back(w);
}

[[noreturn]] void parkForever(Thread* t) {
  // The run this thread belongs to is over: it never runs project code again.
  for (;;) semWait(&t->go);
}

void fillStats(World* w) {
  w->result.steps = w->steps;
  w->result.choiceSteps = w->choiceSteps;
  w->result.threads = static_cast<uint32_t>(w->threads.size());
  w->result.virtualNs = w->now;
  w->result.decisionHash = w->hash;
}

// Ends the world with `message`; true for the one caller that did.
bool endWorld(World* w, const std::string& message) {
  bool expected = false;
  if (!w->over.compare_exchange_strong(expected, true)) return false;
  w->result.ok = false;
  w->result.failure = message;
  fillStats(w);
  if (w->implicit) {
    std::fprintf(stderr, "dst: failure outside dst::Run\n%s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
  }
  sem_post(&w->done);
  return true;
}

[[noreturn]] void failFrom(Thread* self, const std::string& what) {
  World* w = self->world;
  endWorld(w, what + "\n" + threadStates(w) + lastDecisions(w));
  parkForever(self);
}

void record(World* w, Thread* self, const char* call, Object* object, const void* caller, int32_t chosen) {
  w->hash = (w->hash ^ static_cast<uint64_t>(self->index + 1)) * 1099511628211ull;
  w->hash = (w->hash ^ static_cast<uint64_t>(chosen + 2)) * 1099511628211ull;
  Decision& d = w->ring[w->ringCount++ % kRing];
  d = Decision{w->steps, w->now, self->index, call, object != nullptr ? object->kind : nullptr,
               object != nullptr ? serialOf(w, object) : 0u, caller, chosen};
  if (w->options.trace) w->result.trace += decisionText(w, d) + "\n";
}

void advanceClock(World* w, Thread* self, uint64_t deadline) {
  if (deadline > w->options.maxVirtualNs) {
    failFrom(self, "runaway: virtual time would pass " + std::to_string(w->options.maxVirtualNs) + " ns");
  }
  w->now = deadline;
  for (Thread* t : w->threads) {
    if (t->state == State::Blocked && t->wakeAt == deadline) {
      t->state = State::Runnable;
      t->timedOut = true;
      t->waitObject = nullptr;
      t->wakeAt = kNoDeadline;
    }
  }
}

void handOff(World* w, Thread* self, Thread* next) {
  w->current.store(next->index, std::memory_order_relaxed);
  w->currentTid.store(next->tid.load());
  const bool selfGoesOn = self->state != State::Finished;
  sem_post(&next->go);
  if (!selfGoesOn) return;  // touch nothing more: the world may be freed
  semWait(&self->go);
  if (w->over.load()) parkForever(self);
}

// The heart: the baton holder `self` has set its own state; pick who runs.
void reschedule(Thread* self, const char* call, Object* object, const void* caller) {
  World* w = self->world;
  for (;;) {
    if (w->over.load(std::memory_order_relaxed)) parkForever(self);
    Thread* enabled[kMaxThreads];
    size_t n = 0;
    uint64_t deadline = kNoDeadline;
    for (Thread* t : w->threads) {
      if (t->state == State::Runnable) {
        enabled[n++] = t;
      } else if (t->state == State::Blocked && t->wakeAt < deadline) {
        deadline = t->wakeAt;
      }
    }
    // A clock probability of 0 turns the clock choice off for every
    // strategy: deadlines then pass only when every thread is blocked.
    const bool clockOption = deadline != kNoDeadline && w->options.clockProbability > 0;
    if (n == 0) {
      if (deadline == kNoDeadline) {
        if (w->live.load(std::memory_order_relaxed) == 0) {
          fillStats(w);
          sem_post(&w->done);  // the run is complete; the world may go now
          return;
        }
        record(w, self, call, object, caller, -2);
        failFrom(self, "deadlock: no thread can run and no deadline is pending\n" + waitCycle(w));
      }
      advanceClock(w, self, deadline);
      record(w, self, call, object, caller, -1);
      continue;
    }
    if (++w->steps > w->options.maxSteps) {
      failFrom(self, "runaway: more than " + std::to_string(w->options.maxSteps) + " scheduling points");
    }
    size_t choice = 0;
    if (n + (clockOption ? 1 : 0) >= 2) {
      ++w->choiceSteps;
      choice = pick(w, self, enabled, n, clockOption);
    }
    if (choice == n) {
      record(w, self, call, object, caller, -1);
      advanceClock(w, self, deadline);
      continue;
    }
    Thread* next = enabled[choice];
    record(w, self, call, object, caller, next->index);
    if (next != self) handOff(w, self, next);
    return;
  }
}

void checkInvariant(Thread* self) {
  if (gInvariant) {
    if (const char* broken = gInvariant()) failFrom(self, std::string("invariant: ") + broken);
  }
}

void initWorld(World* w, const Options& options, bool implicit) {
  w->options = options;
  w->implicit = implicit;
  w->id = ++gWorlds;
  w->rng = options.seed ^ 0x6A09E667F3BCC909ull;
  sem_init(&w->done, 0, 0);
  setUpStrategy(w);
}

Thread* newThread(World* w, std::function<void()> function) {
  if (w->threads.size() >= kMaxThreads) {
    std::fprintf(stderr, "dst: more than %d threads in one run\n", kMaxThreads);
    std::abort();
  }
  auto* t = new Thread;
  t->world = w;
  t->index = static_cast<int32_t>(w->threads.size());
  t->uid = ++gUids;
  t->done.holder = t->index;
  // Initial priorities stay above every value a change point gives.
  t->priority = (splitmix(w->rng) >> 2) + static_cast<uint64_t>(w->options.pctDepth) + 1;
  sem_init(&t->go, 0, 0);
  t->function = std::move(function);
  w->threads.push_back(t);
  w->live.fetch_add(1, std::memory_order_relaxed);
  return t;
}

void freeWorld(World* w) {
  for (Thread* t : w->threads) {
    sem_destroy(&t->go);
    delete t;
  }
  sem_destroy(&w->done);
  delete w;
}

void finish(Thread* t) {
  World* w = t->world;
  t->state = State::Finished;
  t->done.holder = -1;
  w->live.fetch_sub(1, std::memory_order_relaxed);
  // Whoever waits for this thread, or for a lock it still owns, may go on:
  // a dead owner's lock passes to the next taker.
  for (Thread* o : w->threads) {
    if (o->state == State::Blocked && o->waitObject != nullptr &&
        (o->waitObject == &t->done || o->waitObject->holder == t->index)) {
      o->state = State::Runnable;
      o->waitObject = nullptr;
      o->wakeAt = kNoDeadline;
      o->timedOut = false;
    }
  }
  reschedule(t, "thread end", &t->done, nullptr);
}

void* threadEntry(void* p) {
  auto* t = static_cast<Thread*>(p);
  tSelf = t;
  t->tid.store(static_cast<pid_t>(syscall(SYS_gettid)));
  semWait(&t->go);
  if (t->world->over.load()) parkForever(t);
  t->world->currentTid.store(t->tid.load());
  t->function();
  t->function = nullptr;  // its captures go while this thread still runs
  finish(t);
  return nullptr;
}

void startOsThread(Thread* t) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  // Only one thread of a world runs at a time: on one core the baton passes
  // without waking another core, several times faster.
  const int cpu = sched_getcpu();
  if (cpu >= 0) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    pthread_attr_setaffinity_np(&attr, sizeof one, &one);
  }
  pthread_t handle;
  const int rc = pthread_create(&handle, &attr, threadEntry, t);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    std::fprintf(stderr, "dst: cannot create a thread (%d)\n", rc);
    std::abort();
  }
}

uint64_t realMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

// Whether the kernel has the thread asleep (a raw lock, poll or sleep), as
// opposed to running or waiting for a core. Unknown counts as asleep.
bool asleepInKernel(pid_t tid) {
  if (tid == 0) return true;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/stat", static_cast<int>(tid));
  FILE* f = std::fopen(path, "r");
  if (f == nullptr) return true;
  char line[512] = {};
  const bool read = std::fgets(line, sizeof line, f) != nullptr;
  std::fclose(f);
  // "tid (name) S ...": the state follows the last ')'.
  const char* close = read ? std::strrchr(line, ')') : nullptr;
  return close == nullptr || close[1] != ' ' || close[2] != 'R';
}

// Code that blocks outside the backend (a raw lock, poll, sleep) keeps the
// baton for ever while the others wait for it: after the world's watchdog
// period without a point, the run fails naming the thread and its last point.
// Only the time the holder spends asleep in the kernel counts: a thread that
// computes for long, or waits for a core on a busy machine (a world's
// threads share one core), is slow, not blocked.
void* watchdog(void*) {
  World* seen = nullptr;
  uint64_t seenCount = 0;
  uint64_t since = realMs();
  for (;;) {
    timespec pause{0, 50 * 1000000L};
    nanosleep(&pause, nullptr);
    pthread_mutex_lock(&gWatchLock);
    World* w = gActive.load();
    if (w == nullptr || w->over.load() || w->live.load() < 2) {
      seen = nullptr;
    } else if (w != seen || w->pointCount.load() != seenCount) {
      seen = w;
      seenCount = w->pointCount.load();
      since = realMs();
    } else if (!asleepInKernel(w->currentTid.load())) {
      since = realMs();
    } else if (realMs() - since >= w->options.watchdogMs) {
      const int32_t holder = w->current.load();
      Thread* t = w->threads[static_cast<size_t>(holder)];
      endWorld(w, "watchdog: " + threadName(t) + " has not reached a scheduling point for " +
                      std::to_string(w->options.watchdogMs) + " ms of real time (last point: " +
                      t->lastCall.load() + "); it blocks outside the deterministic OS services");
      seen = nullptr;
    }
    pthread_mutex_unlock(&gWatchLock);
  }
  return nullptr;
}

void ensureWatchdog() {
  pthread_mutex_lock(&gWatchLock);
  if (!gWatchdogStarted) {
    gWatchdogStarted = true;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t handle;
    pthread_create(&handle, &attr, watchdog, nullptr);
    pthread_attr_destroy(&attr);
  }
  pthread_mutex_unlock(&gWatchLock);
}

Thread* adoptIntoImplicitWorld() {
  // Plain tests run here: time passes only when every thread is blocked,
  // as an unloaded machine would let it.
  Options plain;
  plain.clockProbability = 0;
  auto* w = new World;
  initWorld(w, plain, true);
  Thread* t = newThread(w, nullptr);
  std::snprintf(t->name, sizeof t->name, "main");
  tSelf = t;
  t->tid.store(static_cast<pid_t>(syscall(SYS_gettid)));
  w->currentTid.store(t->tid.load());
  ensureWatchdog();
  gActive.store(w);
  return t;
}

Thread* self() {
  Thread* t = tSelf;
  World* active = gActive.load(std::memory_order_acquire);
  if (t != nullptr && t->world == active) return t;
  if (t != nullptr && t->world->over.load()) parkForever(t);
  if (active == nullptr) return adoptIntoImplicitWorld();
  std::fprintf(stderr, "dst: a thread outside the running world uses the OS services (raw thread?)\n");
  std::abort();
}

}  // namespace

void Point(const char* call, Object* object, const void* caller) {
  Thread* t = self();
  t->lastCall.store(call, std::memory_order_relaxed);
  t->world->pointCount.fetch_add(1, std::memory_order_relaxed);
  checkInvariant(t);
  reschedule(t, call, object, caller);
}

bool BlockWait(const char* call, Object* object, uint64_t deadlineNs, const void* caller) {
  World* w = self()->world;
  if (w->options.spuriousProbability > 0 && unit(w) < w->options.spuriousProbability) {
    Point(call, object, caller);
    return false;
  }
  return Block(call, object, deadlineNs, caller);
}

bool Block(const char* call, Object* object, uint64_t deadlineNs, const void* caller) {
  Thread* t = self();
  if (deadlineNs <= t->world->now) {
    Point(call, object, caller);
    return true;
  }
  t->lastCall.store(call, std::memory_order_relaxed);
  t->world->pointCount.fetch_add(1, std::memory_order_relaxed);
  checkInvariant(t);
  t->state = State::Blocked;
  t->waitObject = object;
  t->waitCall = call;
  t->wakeAt = deadlineNs;
  t->timedOut = false;
  reschedule(t, call, object, caller);
  return t->timedOut;
}

void Wake(Object* object) {
  for (Thread* t : self()->world->threads) {
    if (t->state == State::Blocked && t->waitObject == object) {
      t->state = State::Runnable;
      t->waitObject = nullptr;
      t->wakeAt = kNoDeadline;
      t->timedOut = false;
    }
  }
}

bool WakeOne(Object* object) {
  World* w = self()->world;
  Thread* waiting[kMaxThreads];
  size_t n = 0;
  for (Thread* t : w->threads) {
    if (t->state == State::Blocked && t->waitObject == object) waiting[n++] = t;
  }
  if (n == 0) return false;
  Thread* t = waiting[n == 1 ? 0 : splitmix(w->rng) % n];
  t->state = State::Runnable;
  t->waitObject = nullptr;
  t->wakeAt = kNoDeadline;
  t->timedOut = false;
  return true;
}

uint64_t Now() { return self()->world->now; }
int32_t SelfIndex() { return self()->index; }
uint64_t SelfUid() { return self()->uid; }

bool IsFinished(int32_t index) {
  World* w = self()->world;
  return index >= 0 && static_cast<size_t>(index) < w->threads.size() &&
         w->threads[static_cast<size_t>(index)]->state == State::Finished;
}

void FailHere(const char* what) {
  Thread* t = tSelf;
  if (t == nullptr || t->world != gActive.load() || t->world->implicit) {
    std::fprintf(stderr, "dst: %s\n", what);
    std::abort();
  }
  failFrom(t, what);
}

Spawned Spawn(std::function<void()> function, const void* caller, uint64_t* uidOut) {
  Thread* parent = self();
  Thread* t = newThread(parent->world, std::move(function));
  if (uidOut != nullptr) *uidOut = t->uid;
  startOsThread(t);
  Point("thread start", &t->done, caller);
  return Spawned{t, t->uid, t->world->id};
}

bool SameWorld(const Spawned& s) {
  Thread* t = tSelf;
  return t != nullptr && t->world->id == s.world && t->world == gActive.load();
}

void JoinThread(const Spawned& s, const void* caller) {
  if (!SameWorld(s)) return;
  while (s.thread->state != State::Finished) Block("join", &s.thread->done, kNoDeadline, caller);
}

}  // namespace dst::detail

namespace dst {

using namespace detail;

Result Run(const Options& options, std::function<void()> body) {
  World* previous = gActive.load();
  if (previous != nullptr && !previous->implicit) {
    std::fprintf(stderr, "dst: dst::Run inside a run\n");
    std::abort();
  }
  if (previous != nullptr) {
    if (previous->live.load() > 1) {
      Result r;
      r.ok = false;
      r.failure = "threads of the implicit world are still alive: " + threadStates(previous);
      return r;
    }
    // The implicit world dissolves; its thread 0 is adopted afresh after.
    gActive.store(nullptr);
    keep(previous);
  }
  auto* w = new World;
  initWorld(w, options, false);
  gInvariant = nullptr;
  Thread* t0 = newThread(w, std::move(body));
  std::snprintf(t0->name, sizeof t0->name, "main");
  ensureWatchdog();
  gActive.store(w);
  startOsThread(t0);
  sem_post(&t0->go);
  semWait(&w->done);
  pthread_mutex_lock(&gWatchLock);
  gActive.store(nullptr);
  pthread_mutex_unlock(&gWatchLock);
  Result r = std::move(w->result);
  if (r.ok) {
    freeWorld(w);
  } else {
    keep(w);
  }
  return r;
}

uint64_t NowNs() {
  Thread* t = tSelf;
  return t != nullptr && t->world == gActive.load() ? t->world->now : 0;
}

bool Active() {
  Thread* t = tSelf;
  return t != nullptr && t->world == gActive.load() && !t->world->implicit;
}

void Fail(const std::string& message) { FailHere(message.c_str()); }

void SetInvariant(std::function<const char*()> invariant) { gInvariant = std::move(invariant); }

void SetThreadName(const char* name) {
  Thread* t = self();
  std::snprintf(t->name, sizeof t->name, "%s", name);
}

void ResetAfterFork() {
  gWatchLock = PTHREAD_MUTEX_INITIALIZER;
  gWatchdogStarted = false;
  gActive.store(nullptr);
}

}  // namespace dst
