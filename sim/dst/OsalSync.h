// osal_sync in the deterministic backend: std-like atomic, lock, condition
// variable (Mesa semantics), thread and steady clock over the scheduler,
// with the names of the standard backend's (src/osal/std/OsalSync.h).
// Included through src/osal/Sync.h only.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <type_traits>
#include <utility>

#include "DstWorld.h"

namespace osal_sync {

// A steady clock that reads the world's virtual time.
struct Clock {
  using rep = int64_t;
  using period = std::nano;
  using duration = std::chrono::nanoseconds;
  using time_point = std::chrono::time_point<Clock>;
  static constexpr bool is_steady = true;
  static time_point now() noexcept;
};

// The clock is virtual: a wait ends late only by the program's fault.
constexpr bool kVirtualClock = true;

using ThreadId = uint64_t;  // 0: no thread, as a default std::thread::id

// An atomic whose every access is a scheduling point, so that a protocol
// built on atomics (a sender count and its retired core, a device pointer
// and its epoch, a flag another thread clears) is explored as one built on
// locks is. The value itself needs no more than the baton.
template <class T>
class Atomic {
 public:
  Atomic() noexcept = default;
  Atomic(T value) noexcept : value_(value) {}  // NOLINT: as std::atomic
  Atomic(const Atomic&) = delete;
  Atomic& operator=(const Atomic&) = delete;

  T load() const {
    point("atomic load");
    return value_;
  }
  void store(T value) {
    point("atomic store");
    value_ = value;
  }
  T exchange(T value) {
    point("atomic exchange");
    const T old = value_;
    value_ = value;
    return old;
  }
  operator T() const { return load(); }  // NOLINT: as std::atomic
  T operator=(T value) {
    store(value);
    return value;
  }
  template <class U = T, class = std::enable_if_t<std::is_integral_v<U>>>
  T operator+=(T delta) {
    point("atomic add");
    return value_ = static_cast<T>(value_ + delta);
  }
  template <class U = T, class = std::enable_if_t<std::is_integral_v<U>>>
  T operator-=(T delta) {
    point("atomic sub");
    return value_ = static_cast<T>(value_ - delta);
  }
  template <class U = T, class = std::enable_if_t<std::is_integral_v<U>>>
  T operator--() {
    return *this -= 1;
  }
  template <class U = T, class = std::enable_if_t<std::is_integral_v<U>>>
  T operator++() {
    return *this += 1;
  }

 private:
  void point(const char* call) const { dst::detail::Point(call, &object_, __builtin_return_address(0)); }
  T value_{};
  mutable dst::detail::Object object_{"atomic"};
};

// Not re-entrant, like std::mutex: a second lock by the owner fails the run
// instead of hanging it.
class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void lock();
  void unlock();
  bool try_lock();

 private:
  friend class CondVar;
  void lockAt(const char* call, const void* caller);
  bool unlockQuietly();
  dst::detail::Object object_{"std-mutex"};
};

class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void wait(std::unique_lock<Mutex>& lock) { waitUntilNs(lock, dst::detail::kNoDeadline); }
  template <class Predicate>
  void wait(std::unique_lock<Mutex>& lock, Predicate ready) {
    while (!ready()) wait(lock);
  }
  template <class Duration>
  std::cv_status wait_until(std::unique_lock<Mutex>& lock, const std::chrono::time_point<Clock, Duration>& t) {
    return waitUntilNs(lock, toNs(t.time_since_epoch())) ? std::cv_status::timeout : std::cv_status::no_timeout;
  }
  template <class Duration, class Predicate>
  bool wait_until(std::unique_lock<Mutex>& lock, const std::chrono::time_point<Clock, Duration>& t, Predicate ready) {
    while (!ready()) {
      if (wait_until(lock, t) == std::cv_status::timeout) return ready();
    }
    return true;
  }
  template <class Rep, class Period>
  std::cv_status wait_for(std::unique_lock<Mutex>& lock, const std::chrono::duration<Rep, Period>& d) {
    return wait_until(lock, Clock::now() + std::chrono::duration_cast<Clock::duration>(d));
  }
  template <class Rep, class Period, class Predicate>
  bool wait_for(std::unique_lock<Mutex>& lock, const std::chrono::duration<Rep, Period>& d, Predicate ready) {
    return wait_until(lock, Clock::now() + std::chrono::duration_cast<Clock::duration>(d), std::move(ready));
  }
  void notify_one() noexcept;
  void notify_all() noexcept;

 private:
  static uint64_t toNs(Clock::duration d) { return d.count() < 0 ? 0 : static_cast<uint64_t>(d.count()); }
  // True when the deadline ended the wait.
  bool waitUntilNs(std::unique_lock<Mutex>& lock, uint64_t deadlineNs);
  dst::detail::Object object_{"CondVar"};
};

class Thread {
 public:
  using id = ThreadId;
  Thread() noexcept = default;
  template <class F, class... Args>
  explicit Thread(F&& f, Args&&... args)
      : Thread(std::function<void()>(std::bind(std::forward<F>(f), std::forward<Args>(args)...)), 0) {}
  Thread(Thread&& o) noexcept : spawned_(o.spawned_), joinable_(o.joinable_) { o.joinable_ = false; }
  Thread& operator=(Thread&& o) noexcept;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  ~Thread();

  bool joinable() const noexcept { return joinable_; }
  ThreadId get_id() const noexcept { return joinable_ ? spawned_.uid : 0; }
  void join();
  void detach();

 private:
  Thread(std::function<void()> body, int);
  dst::detail::Spawned spawned_{nullptr, 0, 0};
  bool joinable_ = false;
};

void sleep_until_ns(uint64_t deadlineNs);
template <class Duration>
void sleep_until(const std::chrono::time_point<Clock, Duration>& t) {
  const auto ns = std::chrono::duration_cast<Clock::duration>(t.time_since_epoch()).count();
  sleep_until_ns(ns < 0 ? 0 : static_cast<uint64_t>(ns));
}
template <class Rep, class Period>
void sleep_for(const std::chrono::duration<Rep, Period>& d) {
  sleep_until(Clock::now() + std::chrono::duration_cast<Clock::duration>(d));
}
ThreadId this_thread_id();

}  // namespace osal_sync
