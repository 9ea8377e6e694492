// One-shot timers: expiry, stop, restart, re-arming from the callback, delete.
// Tolerances are wide: a loaded two-core machine, or Wine, may be late.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Sync.h"
#include "Thread.h"
#include "Timer.h"

namespace {

// Virtual time on the deterministic backend, steady_clock elsewhere.
using Clock = osal_sync::Clock;

struct Probe {
  Timer* timer = nullptr;
  Clock::time_point start = Clock::now();
  std::atomic<int> calls{0};
  std::atomic<long long> callMs[2] = {{-1}, {-1}};
  std::atomic<bool> onMainThread{false};
  std::thread::id mainThread = std::this_thread::get_id();
  uint32_t rearmMs = 0;  // when non-zero, the first call starts the timer again

  long long elapsedMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  }
};

void onExpiry(void* p) {
  auto* probe = static_cast<Probe*>(p);
  const int n = probe->calls++;
  if (n < 2) {
    probe->callMs[n] = probe->elapsedMs();
  }
  if (std::this_thread::get_id() == probe->mainThread) {
    probe->onMainThread = true;
  }
  if (n == 0 && probe->rearmMs != 0) {
    Timer_Start(probe->timer, probe->rearmMs, onExpiry, probe);
  }
}

void neverCalled(void*) { ADD_FAILURE() << "a callback of a stopped arming ran"; }

}  // namespace

TEST(Timer, FiresOnceAboutOnePeriodLaterOnItsServiceThread) {
  Timer* timer = nullptr;
  Timer_Create(&timer);
  Probe probe;
  Timer_Start(timer, 100, onExpiry, &probe);
  Thread_Sleep(700);
  EXPECT_EQ(probe.calls.load(), 1);
  EXPECT_GE(probe.callMs[0].load(), 99);
  EXPECT_LE(probe.callMs[0].load(), 500);
  EXPECT_FALSE(probe.onMainThread.load());
  Timer_Delete(timer);
}

TEST(Timer, StopBeforeExpiryMeansNoCall) {
  Timer* timer = nullptr;
  Timer_Create(&timer);
  Timer_Start(timer, 200, neverCalled, nullptr);
  Thread_Sleep(50);
  Timer_Stop(timer);
  Thread_Sleep(400);
  Timer_Delete(timer);
}

TEST(Timer, StopThenStartEndsTheOldPeriodAndRunsAFullNewOne) {
  Timer* timer = nullptr;
  Timer_Create(&timer);
  Probe probe;
  Timer_Start(timer, 300, neverCalled, nullptr);
  Thread_Sleep(150);
  probe.start = Clock::now();
  Timer_Stop(timer);
  Timer_Start(timer, 300, onExpiry, &probe);
  Thread_Sleep(1000);
  EXPECT_EQ(probe.calls.load(), 1);
  EXPECT_GE(probe.callMs[0].load(), 299);
  EXPECT_LE(probe.callMs[0].load(), 800);
  Timer_Delete(timer);
}

TEST(Timer, StartFromInsideTheCallbackArmsItOnceMore) {
  Timer* timer = nullptr;
  Timer_Create(&timer);
  Probe probe;
  probe.timer = timer;
  probe.rearmMs = 150;
  Timer_Start(timer, 100, onExpiry, &probe);
  Thread_Sleep(1200);
  EXPECT_EQ(probe.calls.load(), 2);
  EXPECT_GE(probe.callMs[1].load() - probe.callMs[0].load(), 149);
  Timer_Delete(timer);
}

TEST(Timer, DeleteOfANeverStartedAndOfARunningTimer) {
  Timer* idle = nullptr;
  Timer_Create(&idle);
  Timer_Delete(idle);

  Timer* running = nullptr;
  Timer_Create(&running);
  Timer_Start(running, 300, neverCalled, nullptr);
  Thread_Sleep(20);
  const auto start = Clock::now();
  Timer_Delete(running);  // cuts the period short instead of sitting it out
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 250);
}

namespace {

// Stops and restarts the timer once, right after its service thread has
// taken the first start request.
Timer* gRestartedTimer = nullptr;
Probe* gRestartProbe = nullptr;
std::atomic<int> gRestarts{0};
void restartOnce(Timer* t) {
  if (t == gRestartedTimer && gRestarts++ == 0) {
    Timer_Stop(t);
    Timer_Start(t, 100, onExpiry, gRestartProbe);
  }
}

void deleteOwnTimer(void* p) {
  auto* probe = static_cast<Probe*>(p);
  Timer_Delete(probe->timer);
  ++probe->calls;
}

}  // namespace

// One arming fires once, wherever a Stop and Start land against the
// service thread: here just after it has taken the previous start request.
TEST(Timer, RestartRightAfterTheServiceTookAStartFiresOnce) {
  Timer* timer = nullptr;
  Timer_Create(&timer);
  Probe probe;
  gRestartedTimer = timer;
  gRestartProbe = &probe;
  gRestarts = 0;
  Timer_SetServiceHook(restartOnce);
  Timer_Start(timer, 100, neverCalled, nullptr);
  Thread_Sleep(800);
  Timer_SetServiceHook(nullptr);
  EXPECT_EQ(gRestarts.load(), 2) << "one start request taken for each Timer_Start";
  EXPECT_EQ(probe.calls.load(), 1);
  Timer_Delete(timer);
}

TEST(Timer, DeleteFromItsOwnCallbackIsRefusedAndLogged) {
  Timer* timer = nullptr;
  Timer_Create(&timer);
  Probe probe;
  probe.timer = timer;
  testing::internal::CaptureStdout();
  Timer_Start(timer, 20, deleteOwnTimer, &probe);
  for (int i = 0; i < 200 && probe.calls.load() == 0; ++i) Thread_Sleep(10);
  Thread_Sleep(50);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "ERROR   : Timer_Delete called from the timer's own callback : refused\n");
  EXPECT_EQ(probe.calls.load(), 1);
  Timer_Delete(timer);  // from another thread it is done
}
