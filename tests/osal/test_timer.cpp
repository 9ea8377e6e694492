// One-shot timers: expiry, stop, restart, re-arming from the callback, delete.
// A timer may be late on a loaded machine, in Wine or in an emulator, so on
// the real backends the tests wait for the calls they expect and bound only
// how early they come; how late they may come is checked in virtual time,
// where a late call can only be the timer's own fault.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Sync.h"
#include "Thread.h"
#include "Timer.h"
#include "TestSupport.h"

namespace {

// Virtual time on the deterministic backend, steady_clock elsewhere.
using Clock = osal_sync::Clock;
constexpr bool kVirtualTime = osal_sync::kVirtualClock;

// Long enough for any machine that is not stuck; reached only on a fault.
constexpr int kPatienceMs = 60000;

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

// For an arming that is stopped: on a loaded machine it may rightly fire
// before the test gets to stop it, but it must never begin after the stop.
std::atomic<bool> gStopReturned{false};
void calledOnlyBeforeTheStop(void*) {
  if (gStopReturned.load()) {
    ADD_FAILURE() << "a callback began after its arming was stopped";
  }
}

bool waitForCalls(const Probe& probe, int calls) {
  for (int waited = 0; waited < kPatienceMs; waited += 10) {
    if (probe.calls.load() >= calls) return true;
    Thread_Sleep(10);
  }
  return probe.calls.load() >= calls;
}

// Upper bounds hold in virtual time only; see the top of the file.
void expectNoLaterThan(long long ms, long long bound) {
  if (kVirtualTime) {
    EXPECT_LE(ms, bound);
  }
}

}  // namespace

TEST(Timer, FiresOnceAboutOnePeriodLaterOnItsServiceThread) {
  Timer* timer = nullptr;
  Timer_Create(&timer);
  Probe probe;
  Timer_Start(timer, 100, onExpiry, &probe);
  ASSERT_TRUE(waitForCalls(probe, 1));
  Thread_Sleep(300);  // room for a second call, which must not come
  EXPECT_EQ(probe.calls.load(), 1);
  EXPECT_GE(probe.callMs[0].load(), 99);
  expectNoLaterThan(probe.callMs[0].load(), 101);
  EXPECT_FALSE(probe.onMainThread.load());
  Timer_Delete(timer);
}

TEST(Timer, StopBeforeExpiryMeansNoCall) {
  Timer* timer = nullptr;
  Timer_Create(&timer);
  gStopReturned = false;
  Timer_Start(timer, 200, calledOnlyBeforeTheStop, nullptr);
  Thread_Sleep(50);
  Timer_Stop(timer);
  gStopReturned = true;
  Thread_Sleep(400);
  Timer_Delete(timer);
}

TEST(Timer, StopThenStartEndsTheOldPeriodAndRunsAFullNewOne) {
  Timer* timer = nullptr;
  Timer_Create(&timer);
  Probe probe;
  gStopReturned = false;
  Timer_Start(timer, 300, calledOnlyBeforeTheStop, nullptr);
  Thread_Sleep(150);
  probe.start = Clock::now();
  Timer_Stop(timer);
  gStopReturned = true;
  Timer_Start(timer, 300, onExpiry, &probe);
  ASSERT_TRUE(waitForCalls(probe, 1));
  Thread_Sleep(300);
  EXPECT_EQ(probe.calls.load(), 1);
  EXPECT_GE(probe.callMs[0].load(), 299);
  expectNoLaterThan(probe.callMs[0].load(), 301);
  Timer_Delete(timer);
}

TEST(Timer, StartFromInsideTheCallbackArmsItOnceMore) {
  Timer* timer = nullptr;
  Timer_Create(&timer);
  Probe probe;
  probe.timer = timer;
  probe.rearmMs = 150;
  Timer_Start(timer, 100, onExpiry, &probe);
  ASSERT_TRUE(waitForCalls(probe, 2));
  Thread_Sleep(300);
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
  // A period no stall of a test machine reaches, so that a delete that sat
  // it out is told from one that cut it short on any machine.
  Timer_Start(running, kPatienceMs, neverCalled, nullptr);
  Thread_Sleep(20);
  const auto start = Clock::now();
  Timer_Delete(running);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), kPatienceMs / 2);
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
  ASSERT_TRUE(waitForCalls(probe, 1));
  Thread_Sleep(300);
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
  testsupport::Output captured;
  Timer_Start(timer, 20, deleteOwnTimer, &probe);
  ASSERT_TRUE(waitForCalls(probe, 1));
  Thread_Sleep(50);
  EXPECT_EQ(captured.take(),
            "ERROR   : Timer_Delete called from the timer's own callback : refused\n");
  EXPECT_EQ(probe.calls.load(), 1);
  Timer_Delete(timer);  // from another thread it is done
}
