// osal_sync in the standard backend: the std:: types themselves, at no
// cost. The deterministic backend gives the same names over its scheduler
// (sim/dst/OsalSync.h); src/osal/Sync.h includes whichever the build links.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace osal_sync {

// The atomics that carry a protocol between threads (a count of senders, a
// device pointer and its epoch, a request's kind and outcome).
template <class T>
using Atomic = std::atomic<T>;
using Mutex = std::mutex;
using CondVar = std::condition_variable;
using Thread = std::thread;
using Clock = std::chrono::steady_clock;
// Whether Clock is the simulation's virtual one: there a wait that ends late
// can only be the program's fault, so tests bound lateness only there.
constexpr bool kVirtualClock = false;
using ThreadId = std::thread::id;

template <class Rep, class Period>
void sleep_for(const std::chrono::duration<Rep, Period>& d) {
  std::this_thread::sleep_for(d);
}
template <class Duration>
void sleep_until(const std::chrono::time_point<Clock, Duration>& t) {
  std::this_thread::sleep_until(t);
}
inline ThreadId this_thread_id() { return std::this_thread::get_id(); }

}  // namespace osal_sync
