// Races of the notify/wait handshake and of timer start/stop, run many
// times across threads on the real clock. A lost wake-up shows as a hang
// (the test's time limit), an early or stale callback as a failure. Each
// loop runs a fixed number of rounds and asserts nothing about how fast: a
// loaded or emulated machine only takes longer. The windows themselves are
// forced in virtual time by the deterministic exploration (tests/dst).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>

#include "OnThread.h"
#include "Thread.h"
#include "Timer.h"
#include "WaiterNotifier.h"

namespace {

using testsupport::OnThread;
using Clock = std::chrono::steady_clock;

template <typename F>
void runRounds(int rounds, F body) {
  for (int i = 0; i < rounds; ++i) {
    body(i);
  }
}

}  // namespace

// One waiter, three notifiers racing it in every round: the waiter waits
// until all three outcomes are stored; no report may be lost.
TEST(Stress, NotifyWaitRoundsWithThreeNotifiers) {
  constexpr int kNotifiers = 3;
  WaiterNotifier* done = nullptr;
  WaiterNotifier* go[kNotifiers] = {};
  WaiterNotifier_Create(&done);
  std::atomic<int> outcomes{0};
  std::atomic<bool> quit{false};
  struct Worker {
    WaiterNotifier* go;
    WaiterNotifier* done;
    std::atomic<int>* outcomes;
    std::atomic<bool>* quit;
    void operator()() const {
      for (;;) {
        WaiterNotifier_Lock(go);
        WaiterNotifier_Wait(go);
        WaiterNotifier_Unlock(go);
        if (quit->load()) {
          return;
        }
        ++*outcomes;
        WaiterNotifier_Notify(done);
      }
    }
  };
  std::optional<OnThread> threads[kNotifiers];
  for (int i = 0; i < kNotifiers; ++i) {
    WaiterNotifier_Create(&go[i]);
    threads[i].emplace(Worker{go[i], done, &outcomes, &quit});
  }
  constexpr int rounds = 2000;
  runRounds(rounds, [&](int round) {
    WaiterNotifier_Lock(done);
    for (auto* g : go) {
      WaiterNotifier_Notify(g);
    }
    while (outcomes.load() < kNotifiers * (round + 1)) {
      WaiterNotifier_Wait(done);
    }
    WaiterNotifier_Unlock(done);
  });
  quit = true;
  for (int i = 0; i < kNotifiers; ++i) {
    WaiterNotifier_Notify(go[i]);
    threads[i]->join();
    WaiterNotifier_Delete(go[i]);
  }
  WaiterNotifier_Delete(done);
  EXPECT_EQ(outcomes.load(), kNotifiers * rounds);
}

// Stop followed at once by a long re-arming, right as a 1 ms period runs
// out: the new arming must never fire early, and the old one never after
// its Stop.
TEST(Stress, StopThenStartAtTheMomentOfExpiry) {
  Timer* timer = nullptr;
  Timer_Create(&timer);
  std::atomic<int> shortFires{0};
  std::atomic<bool> stopped{false};
  struct Ctx {
    std::atomic<int>* fires;
    std::atomic<bool>* stopped;
  } ctx{&shortFires, &stopped};
  runRounds(1000, [&](int i) {
    stopped = false;
    Timer_Start(timer, 1, [](void* p) {
      auto* c = static_cast<Ctx*>(p);
      EXPECT_FALSE(c->stopped->load()) << "callback after its Timer_Stop returned";
      ++*c->fires;
    }, &ctx);
    // Every other round sweeps the stop across the moment of expiry (busy,
    // to hit it finely); the others stop while the service thread is still
    // being woken.
    const auto stopAt = Clock::now() + std::chrono::microseconds(i % 2 == 0 ? 0 : 700 + (i * 37) % 600);
    while (Clock::now() < stopAt) {
    }
    Timer_Stop(timer);
    stopped = true;
    Timer_Start(timer, 10000, [](void*) { ADD_FAILURE() << "re-armed timer fired early"; }, nullptr);
    Timer_Stop(timer);
  });
  Timer_Delete(timer);
  RecordProperty("shortFires", shortFires.load());
}

// Two threads hammer one timer with starts and stops while it fires; then
// timers are created, started and deleted while running.
TEST(Stress, ConcurrentStartStopAndDeleteOfRunningTimers) {
  Timer* timer = nullptr;
  Timer_Create(&timer);
  std::atomic<int> fires{0};
  auto hammer = [&] {
    for (int i = 0; i < 5000; ++i) {
      if (i % 2 == 0) {
        Timer_Start(timer, static_cast<uint32_t>(i % 3), [](void* p) { ++*static_cast<std::atomic<int>*>(p); },
                    &fires);
      } else {
        Timer_Stop(timer);
      }
    }
  };
  OnThread a(hammer);
  OnThread b(hammer);
  a.join();
  b.join();
  Timer_Stop(timer);
  const int settled = fires.load();
  Thread_Sleep(20);
  EXPECT_EQ(fires.load(), settled) << "a callback ran after the final Timer_Stop";
  Timer_Delete(timer);

  runRounds(100, [&](int i) {
    Timer* t = nullptr;
    Timer_Create(&t);
    if (i % 2 == 0) {
      Timer_Start(t, static_cast<uint32_t>(i % 4), [](void*) {}, nullptr);
    }
    Timer_Delete(t);
  });
}
