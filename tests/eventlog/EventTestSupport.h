// Small helpers of the event-log suites: bounded waits and the captured
// output.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace watchertest {

// Waits until `done()` holds, at most `ms` milliseconds: only turns a hang
// into a failure.
template <typename Predicate>
bool waitUntil(Predicate done, int ms = 10000) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

template <typename T>
bool waitFor(const std::atomic<T>& flag, int ms = 10000) {
  return waitUntil([&flag] { return flag.load() != T{}; }, ms);
}

// Captured standard output without the '\r' of Windows text mode.
inline std::string takeOutput() {
  std::string s = testing::internal::GetCapturedStdout();
  s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
  return s;
}

}  // namespace watchertest
