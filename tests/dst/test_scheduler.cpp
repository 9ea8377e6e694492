// The deterministic scheduler in-process: determinism, virtual time, the
// OS-services contract on it, and the failures it must report.
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <set>
#include <string>

#include "DstTestScenarios.h"
#include "TestSupport.h"
#include "Log.h"
#include "Memory.h"
#include "Timer.h"
#include "WakeEvent.h"

using testsupport::OnThread;

namespace {

constexpr uint64_t kMs = 1000000;

// The tests that bound lateness only in virtual time ask the backend whether
// its clock is virtual; a build that said no here would skip those bounds.
static_assert(osal_sync::kVirtualClock, "the deterministic backend's clock is virtual");

dst::Options withSeed(uint64_t seed, dst::Strategy s = dst::Strategy::Random) {
  dst::Options o;
  o.seed = seed;
  o.strategy = s;
  o.pctSteps = 40;
  return o;
}

// A little of everything: threads, locks, a timer, sleeps.
void mixedWork() {
  Mutex* m = nullptr;
  Mutex_Create(&m);
  int counter = 0;
  auto bump = [&] {
    for (int i = 0; i < 5; ++i) {
      Mutex_Lock(m);
      ++counter;
      Mutex_Unlock(m);
      Thread_Sleep(i);
    }
  };
  Timer* timer = nullptr;
  Timer_Create(&timer);
  Timer_Start(timer, 3, [](void* p) { ++*static_cast<int*>(p); }, &counter);
  OnThread a(bump);
  OnThread b(bump);
  a.join();
  b.join();
  Thread_Sleep(10);
  Timer_Delete(timer);
  Mutex_Delete(m);
  if (counter != 11) dst::Fail("lost an increment");
}

}  // namespace

TEST(DstRun, SameSeedSameDecisionsAndSeedsDiffer) {
  std::set<uint64_t> hashes;
  for (uint64_t seed = 1; seed <= 12; ++seed) {
    for (dst::Strategy s : {dst::Strategy::Random, dst::Strategy::Pct}) {
      const dst::Result first = dst::Run(withSeed(seed, s), mixedWork);
      const dst::Result second = dst::Run(withSeed(seed, s), mixedWork);
      ASSERT_TRUE(first.ok) << first.failure;
      EXPECT_EQ(first.decisionHash, second.decisionHash) << "seed " << seed;
      EXPECT_EQ(first.virtualNs, second.virtualNs);
      EXPECT_EQ(first.threads, 4u);  // main, two workers, the timer's service
      hashes.insert(first.decisionHash);
    }
  }
  EXPECT_GT(hashes.size(), 12u) << "the seeds hardly change the schedule";
}

TEST(DstRun, TimedWaitAndSleepOfTheSameLengthCollideExactly) {
  // The waiter's 5000 ms and the setter's 5000 ms sleep end at the same
  // virtual instant; which of the two goes first is a real choice, so both
  // outcomes of the wait occur.
  std::set<bool> outcomes;
  for (uint64_t seed = 0; seed < 64; ++seed) {
    bool result = false;
    uint64_t waitEnd = 0;
    uint64_t setAt = 0;
    dst::Options o = withSeed(seed, seed % 2 ? dst::Strategy::Pct : dst::Strategy::Random);
    o.clockProbability = 0;  // the setter starts its sleep at 0, not later
    const dst::Result r = dst::Run(o, [&] {
      WakeEvent* e = nullptr;
      WakeEvent_Create(&e);
      auto setter = [&] {
        Thread_Sleep(5000);
        setAt = dst::NowNs();
        WakeEvent_Set(e);
      };
      OnThread t(setter);
      result = WakeEvent_WaitFor(e, 5000);
      waitEnd = dst::NowNs();
      t.join();
      WakeEvent_Delete(e);
    });
    ASSERT_TRUE(r.ok) << r.failure;
    EXPECT_EQ(waitEnd, 5000 * kMs);
    EXPECT_EQ(setAt, 5000 * kMs);
    outcomes.insert(result);
  }
  EXPECT_EQ(outcomes.size(), 2u) << "the tie was never decided both ways";
}

TEST(DstRun, TheClockCanOvertakeARunnableThread) {
  // Without the clock choice the sleeper could only wake once main blocks;
  // with it, the sleeper sometimes runs while main is still busy.
  int overtaken = 0;
  for (uint64_t seed = 0; seed < 40; ++seed) {
    dst::Options o = withSeed(seed);
    o.clockProbability = 0.05;
    bool woke = false;
    bool sawItBusy = false;
    const dst::Result r = dst::Run(o, [&] {
      auto sleeper = [&] {
        Thread_Sleep(10);
        woke = true;
      };
      OnThread t(sleeper);
      for (int i = 0; i < 200 && !sawItBusy; ++i) {
        Thread_Sleep(0);  // busy, but at a scheduling point
        sawItBusy = woke;
      }
      t.join();
    });
    ASSERT_TRUE(r.ok) << r.failure;
    overtaken += sawItBusy ? 1 : 0;
  }
  EXPECT_GT(overtaken, 0);
}

TEST(DstContract, MutexWaitSeesAnEarlierSignalAndResetsIt) {
  const dst::Result r = dst::Run(withSeed(3), [] {
    Mutex* m = nullptr;
    Mutex_Create(&m);
    Mutex_Lock(m);
    Mutex_Signal(m);
    Mutex_Wait(m);  // at once: the event stayed set
    bool signalled = false;
    auto waker = [&] {
      Mutex_Lock(m);
      signalled = true;
      Mutex_Signal(m);
      Mutex_Unlock(m);
    };
    OnThread t(waker);
    Mutex_Wait(m);  // the event was reset: sleeps until the waker's signal
    if (!signalled) dst::Fail("Mutex_Wait returned before the signal");
    Mutex_Unlock(m);
    t.join();
    Mutex_Delete(m);
  });
  EXPECT_TRUE(r.ok) << r.failure;
}

TEST(DstContract, ADeadOwnersMutexPassesOnAndANonOwnerCannotUnlock) {
  for (uint64_t seed = 0; seed < 10; ++seed) {
    std::string log;
    const dst::Result r = dst::Run(withSeed(seed), [&] {
      Mutex* m = nullptr;
      Mutex_Create(&m);
      auto dies = [&] {
        Mutex_Lock(m);
        Mutex_Lock(m);
      };
      OnThread(dies).join();
      auto intruder = [&] { Mutex_Unlock(m); };
      testsupport::Output captured;
      OnThread(intruder).join();  // the dead owner still holds it: refused
      log = captured.take();
      Mutex_Lock(m);
      Mutex_Unlock(m);
      Mutex_Delete(m);
    });
    EXPECT_TRUE(r.ok) << r.failure;
    EXPECT_EQ(log, "ERROR   : Cannot unlock mutex 1\n\n");
  }
}

TEST(DstContract, TimerFiresExactlyAtItsPeriodAndAStoppedOneNever) {
  for (uint64_t seed = 0; seed < 20; ++seed) {
    dst::Options o = withSeed(seed, seed % 2 ? dst::Strategy::Pct : dst::Strategy::Random);
    o.clockProbability = 0;  // only the timer's own deadline moves the clock
    uint64_t firedAt = 0;
    int stoppedCalls = 0;
    const dst::Result r = dst::Run(o, [&] {
      Timer* timer = nullptr;
      Timer_Create(&timer);
      Timer_Start(timer, 100, [](void* p) { *static_cast<uint64_t*>(p) = dst::NowNs(); }, &firedAt);
      Thread_Sleep(300);
      Timer_Start(timer, 200, [](void* p) { ++*static_cast<int*>(p); }, &stoppedCalls);
      Thread_Sleep(199);
      Timer_Stop(timer);
      Thread_Sleep(400);
      Timer_Delete(timer);
    });
    ASSERT_TRUE(r.ok) << r.failure;
    EXPECT_EQ(firedAt, 100 * kMs);
    EXPECT_EQ(stoppedCalls, 0);
  }
}

TEST(DstFailures, AbbaDeadlockIsReportedWithItsCycle) {
  dst::Result r;
  uint64_t seed = 0;
  for (; seed < 200 && r.ok; ++seed) r = dst::Run(withSeed(seed), dsttest::Abba);
  ASSERT_FALSE(r.ok) << "no schedule of 200 deadlocked";
  EXPECT_NE(r.failure.find("deadlock: no thread can run"), std::string::npos) << r.failure;
  EXPECT_NE(r.failure.find("cycle: T1 waits for Mutex#"), std::string::npos) << r.failure;
  EXPECT_NE(r.failure.find("held by T2 waits for Mutex#"), std::string::npos) << r.failure;
  EXPECT_NE(r.failure.find("T0 main: blocked in Mutex_Lock on Mutex#"), std::string::npos) << r.failure;
  EXPECT_NE(r.failure.find("last decisions:"), std::string::npos);
  std::printf("planted ABBA deadlock, seed %llu:\n%s", static_cast<unsigned long long>(seed - 1), r.failure.c_str());
}

TEST(DstFailures, OracleInvariantAndRunawayEndTheRun) {
  dst::Result r = dst::Run(withSeed(1), [] {
    Thread_Sleep(7);
    dst::Fail("the oracle says no");
  });
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.failure.rfind("the oracle says no", 0), 0u) << r.failure;
  EXPECT_EQ(r.virtualNs, 7 * kMs);

  int step = 0;
  r = dst::Run(withSeed(1), [&] {
    dst::SetInvariant([&]() -> const char* { return step == 3 ? "step is 3" : nullptr; });
    for (;;) {
      ++step;
      Thread_Sleep(0);
    }
  });
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.failure.rfind("invariant: step is 3", 0), 0u) << r.failure;

  dst::Options o = withSeed(1);
  o.maxSteps = 1000;
  r = dst::Run(o, [] {
    for (;;) Thread_Sleep(0);
  });
  EXPECT_EQ(r.failure.rfind("runaway: more than 1000", 0), 0u) << r.failure;

  o = withSeed(1);
  o.maxVirtualNs = 60000 * kMs;
  r = dst::Run(o, [] {
    for (;;) Thread_Sleep(1000);
  });
  EXPECT_EQ(r.failure.rfind("runaway: virtual time", 0), 0u) << r.failure;
}

// Main holds the baton for 1.5 s of real time without a scheduling point,
// doing `hold`, while another thread waits to run; the watchdog's period is
// 300 ms.
static dst::Result holdTheBaton(void (*hold)()) {
  dst::Options o = withSeed(1);
  o.watchdogMs = 300;
  return dst::Run(o, [hold] {
    auto other = [] { Thread_Sleep(1); };
    OnThread t(other);
    hold();
    t.join();
  });
}

// A raw block fails the run; a busy or slow thread is not a blocked one (on
// a loaded machine the holder may compute, or wait for its core, for longer
// than the period).
TEST(DstFailures, WatchdogNamesAThreadThatBlocksOutsideTheSchedulerNotOneThatComputes) {
  dst::Result r = holdTheBaton([] { usleep(1500 * 1000); });
  ASSERT_FALSE(r.ok);
  EXPECT_EQ(r.failure.rfind("watchdog: T0 main has not reached a scheduling point for 300 ms", 0), 0u) << r.failure;

  r = holdTheBaton([] {
    timespec begin{};
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &begin);
    volatile uint64_t spin = 0;
    do {
      for (int i = 0; i < 100000; ++i) spin = spin + 1;
      clock_gettime(CLOCK_MONOTONIC, &now);
    } while ((now.tv_sec - begin.tv_sec) * 1000 + (now.tv_nsec - begin.tv_nsec) / 1000000 < 1500);
  });
  EXPECT_TRUE(r.ok) << r.failure;
}

TEST(DstRun, LogLinesAndLiveBlocksAreObservable) {
  static std::string seen;
  seen.clear();
  const uint64_t before = Memory_LiveBlocks();
  const dst::Result r = dst::Run(withSeed(2), [] {
    Log_SetLineObserver([](const char* line, size_t n) { seen += std::to_string(dst::NowNs()) + " " + std::string(line, n); });
    testsupport::Output captured;
    Thread_Sleep(4);
    Log_Info("after %d ms", 4);
    captured.take();
    Log_SetLineObserver(nullptr);
    void* leak = Memory_Alloc(10);
    if (Memory_LiveBlocks() == 0) dst::Fail("no live block counted");
    Memory_Free(leak);
  });
  EXPECT_TRUE(r.ok) << r.failure;
  EXPECT_EQ(seen, "4000000 LOG     : after 4 ms\n");
  EXPECT_EQ(Memory_LiveBlocks(), before);
}
