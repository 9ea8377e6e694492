// Helpers that every test folder uses: the test clock, polling with a limit,
// captured standard output, a thread runner, counting in text, and the
// version query's bytes.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "OnThread.h"
#include "Sync.h"

namespace testsupport {

// The clock that tests measure time and time limits with. It must be the one
// the simulator stamps its frames with, so that the two can be compared: the
// monotonic clock, virtual in the deterministic simulation build.
using TestClock = osal_sync::Clock;

inline long long msSince(TestClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(TestClock::now() - start).count();
}

// The latest a measured wait may end, in ms. In virtual time (the
// deterministic build) `exact` holds: lateness there can only be the
// program's. On a real clock a loaded machine, Wine or an emulator stretches
// every wait, so the bound is where the fault it guards against would begin
// (`fault`: the next timeout, a driver's delay, or a hang); the exact instant
// is proven in virtual time.
constexpr long long latestMs(long long exact, long long fault) {
  return osal_sync::kVirtualClock ? exact : fault;
}

// How long a test waits for something that will happen (a thread reaching
// its wait, a frame delivered): long enough for any machine that is not
// stuck, Wine and an emulator under load included; reached only on a fault.
constexpr long long kPatienceMs = 30000;

// Polls `condition` every 5 ms for up to `timeoutMs`; true once it holds.
// Without a limit of its own it waits 10 s, which only turns a hang into a
// failure.
inline bool waitUntil(const std::function<bool()>& condition, long long timeoutMs = 10000) {
  const auto end = TestClock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (condition()) return true;
    if (TestClock::now() >= end) return false;
    osal_sync::sleep_for(std::chrono::milliseconds(5));
  }
}

// Until `flag` holds something other than its zero value.
template <typename T>
bool waitFor(const std::atomic<T>& flag, long long timeoutMs = 10000) {
  return waitUntil([&flag] { return flag.load() != T{}; }, timeoutMs);
}

// Captures standard output from construction to take(). Windows text mode
// adds '\r', which is dropped. A capture that a failed assertion leaves
// untaken is ended by the destructor: GoogleTest allows one at a time, and
// the next test's would otherwise abort the whole suite.
class Output {
 public:
  Output() { testing::internal::CaptureStdout(); }
  ~Output() {
    if (!taken_) testing::internal::GetCapturedStdout();
  }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  std::string take() {
    taken_ = true;
    std::string s = testing::internal::GetCapturedStdout();
    s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
    return s;
  }

 private:
  bool taken_ = false;
};

// A default-made T that `change` then sets: a scenario or options that differ
// from the defaults in a field or two, as one expression.
template <typename T, typename Change>
T with(Change change) {
  T value;
  change(value);
  return value;
}

// How often `what` occurs in `text`, overlaps included.
inline size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The version query as it goes on the wire: the maintenance header (eight
// zero bytes, then the data size 1, little-endian) and the sub-command
// VersionQuery (1).
inline const std::vector<uint8_t> kVersionQuery = {0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x00, 0x01};

}  // namespace testsupport
