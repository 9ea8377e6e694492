// osal_sync over the deterministic scheduler (see OsalSync.h).
#include <exception>

#include "Sync.h"

namespace osal_sync {

using namespace dst::detail;

Clock::time_point Clock::now() noexcept { return time_point(duration(static_cast<rep>(Now()))); }

void Mutex::lockAt(const char* call, const void* caller) {
  Point(call, &object_, caller);
  const int32_t me = SelfIndex();
  if (object_.holder == me) FailHere("osal_sync::Mutex locked again by its owner (not re-entrant)");
  while (object_.holder >= 0) Block(call, &object_, kNoDeadline, caller);
  object_.holder = me;
}

void Mutex::lock() { lockAt("mutex lock", __builtin_return_address(0)); }

bool Mutex::try_lock() {
  Point("mutex try_lock", &object_, __builtin_return_address(0));
  if (object_.holder >= 0) return false;
  object_.holder = SelfIndex();
  return true;
}

bool Mutex::unlockQuietly() {
  if (object_.holder != SelfIndex()) FailHere("osal_sync::Mutex unlocked by a thread that does not own it");
  object_.holder = -1;
  Wake(&object_);
  return true;
}

void Mutex::unlock() {
  unlockQuietly();
  Point("mutex unlock", &object_, __builtin_return_address(0));
}

bool CondVar::waitUntilNs(std::unique_lock<Mutex>& lock, uint64_t deadlineNs) {
  const void* caller = __builtin_return_address(0);
  Mutex* m = lock.mutex();
  m->unlockQuietly();
  const bool timedOut = BlockWait("condvar wait", &object_, deadlineNs, caller);
  m->lockAt("condvar relock", caller);
  return timedOut;
}

void CondVar::notify_one() noexcept {
  WakeOne(&object_);
  Point("notify_one", &object_, __builtin_return_address(0));
}

void CondVar::notify_all() noexcept {
  Wake(&object_);
  Point("notify_all", &object_, __builtin_return_address(0));
}

Thread::Thread(std::function<void()> body, int) : spawned_(Spawn(std::move(body), __builtin_return_address(0))), joinable_(true) {}

Thread& Thread::operator=(Thread&& o) noexcept {
  if (joinable_) std::terminate();
  spawned_ = o.spawned_;
  joinable_ = o.joinable_;
  o.joinable_ = false;
  return *this;
}

Thread::~Thread() {
  if (joinable_) std::terminate();  // as std::thread
}

void Thread::join() {
  if (!joinable_) FailHere("osal_sync::Thread::join of a thread that is not joinable");
  if (spawned_.uid == SelfUid()) FailHere("osal_sync::Thread::join from the thread itself");
  JoinThread(spawned_, __builtin_return_address(0));
  joinable_ = false;
}

void Thread::detach() {
  if (!joinable_) FailHere("osal_sync::Thread::detach of a thread that is not joinable");
  joinable_ = false;  // the run still waits for it to finish
}

void sleep_until_ns(uint64_t deadlineNs) { Block("sleep", nullptr, deadlineNs, __builtin_return_address(0)); }

ThreadId this_thread_id() { return SelfUid(); }

}  // namespace osal_sync
