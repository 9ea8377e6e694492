// One-shot timers: expiry, stop, restart and delete.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "Thread.h"
#include "Timer.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Probe {
  std::atomic<int> calls{0};
  std::atomic<long long> firstCallMs{-1};
  Clock::time_point start = Clock::now();
};

void countCall(void* p) {
  auto* probe = static_cast<Probe*>(p);
  long long expected = -1;
  probe->firstCallMs.compare_exchange_strong(
      expected, std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - probe->start).count());
  ++probe->calls;
}

}  // namespace

TEST(Timer, FiresOnceAboutOnePeriodLater) {
  Timer* timer = nullptr;
  Timer_Create(&timer);
  Probe probe;
  Timer_Start(timer, 100, countCall, &probe);
  Thread_Sleep(600);
  EXPECT_EQ(probe.calls.load(), 1);
  EXPECT_GE(probe.firstCallMs.load(), 95);
  EXPECT_LE(probe.firstCallMs.load(), 450);
  Timer_Delete(timer);
}
