// Threads, locks, condition variables, atomics and the monotonic clock for
// the code above the OS services that needs standard-library forms (the
// simulator, the in-process event source, tests, and the atomics of the
// link layer and the HECI core). In the shipped builds these are the
// std:: types themselves, at no cost. In the deterministic simulation build
// (NFC_OSAL_DST) they are the scheduler's own, with the same interface, so
// that every lock, wait and clock reading becomes a scheduling point on the
// virtual clock (sim/dst/DstSync.h).
#pragma once

#if defined(NFC_OSAL_DST)
#include "DstSync.h"
#else
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
#endif
