// What the deterministic backends of the OS services (Mutex_dst.cpp,
// WakeEvent_dst.cpp, Thread_dst.cpp, Sync_dst.cpp) build on: objects that
// threads block on, scheduling points, blocking with a virtual deadline, and
// threads. Everything here runs on the thread holding the baton, so the
// objects need no locks of their own.
#pragma once

#include <cstdint>
#include <functional>

namespace dst::detail {

struct Thread;

// Something a thread can block on. `holder` is the index of the thread that
// must act before the waiters can go on (a lock's owner, a thread's own
// completion), -1 when anybody may (an event, a condition variable); it
// draws the wait-for graph of a deadlock report.
struct Object {
  explicit Object(const char* k) : kind(k) {}
  const char* kind;
  int32_t holder = -1;
  uint32_t serial = 0;      // a number per world, given on first use
  uint64_t serialWorld = 0;
};

constexpr uint64_t kNoDeadline = UINT64_MAX;

// A scheduling point of the calling thread: the strategy may pass the baton.
void Point(const char* call, Object* object, const void* caller);
// Blocks the calling thread on `object` until Wake reaches it or the virtual
// clock reaches `deadlineNs`; true when the deadline ended the block. The
// caller re-checks its condition either way.
bool Block(const char* call, Object* object, uint64_t deadlineNs, const void* caller);
// The same for a wait whose contract allows a spurious wake-up (a condition
// variable, or a wait that loops on its own flag): the run's options may
// end it early, as if woken, to show that the caller does re-check.
bool BlockWait(const char* call, Object* object, uint64_t deadlineNs, const void* caller);
// Makes every thread blocked on `object` runnable (not a point itself).
void Wake(Object* object);
// Makes one of them runnable, chosen by the run's random source; false when
// nobody waits.
bool WakeOne(Object* object);
// Virtual now of the caller's world.
uint64_t Now();
// Index and process-unique id of the calling thread (adopting it into the
// implicit world when it has none).
int32_t SelfIndex();
uint64_t SelfUid();
// True when thread `index` of the caller's world has finished: a lock it
// still owns passes to the next taker.
bool IsFinished(int32_t index);
// Fails the run (an oracle or a misuse of a primitive); does not return on
// a thread of the run.
[[noreturn]] void FailHere(const char* what);

// Starts a thread of the caller's world running `function`, then passes a
// scheduling point (the new thread may run first). `uidOut`, when given,
// receives the new thread's id before that point.
struct Spawned {
  Thread* thread;
  uint64_t uid;
  uint64_t world;
};
Spawned Spawn(std::function<void()> function, const void* caller, uint64_t* uidOut = nullptr);
// Blocks until the thread has finished; at once when it belongs to a world
// that is over.
void JoinThread(const Spawned& s, const void* caller);
bool SameWorld(const Spawned& s);

}  // namespace dst::detail
