// OS services: how fast a notify wakes its waiter, how close a timer fires to
// its period, and what an idle wait costs in CPU time (nothing may poll).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <chrono>

#include "Thread.h"
#include "Timer.h"
#include "WaiterNotifier.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

double processCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// A thread that sleeps in WaiterNotifier_Wait and notes when it wakes.
struct Sleeper {
  WaiterNotifier* wake = nullptr;
  WaiterNotifier* ack = nullptr;
  std::atomic<bool> quit{false};
  Clock::time_point wokeAt;  // written before the ack notify, read after the ack wait

  static uint32_t run(void* p) {
    auto* s = static_cast<Sleeper*>(p);
    for (;;) {
      WaiterNotifier_Lock(s->wake);
      WaiterNotifier_Wait(s->wake);
      s->wokeAt = Clock::now();
      WaiterNotifier_Unlock(s->wake);
      if (s->quit.load()) {
        return 0;
      }
      WaiterNotifier_Notify(s->ack);
    }
  }

  // Returns once the sleeper has published WN_WAITING, i.e. really sleeps.
  void awaitSleeping() const {
    for (;;) {
      WaiterNotifier_Lock(wake);
      const bool sleeping = wake->state == WN_WAITING;
      WaiterNotifier_Unlock(wake);
      if (sleeping) {
        return;
      }
      Thread_Sleep(0);
    }
  }
};

void BM_NotifyToWake(benchmark::State& state) {
  Sleeper s;
  WaiterNotifier_Create(&s.wake);
  WaiterNotifier_Create(&s.ack);
  Thread* thread = nullptr;
  Thread_Create(&thread, Sleeper::run, &s);
  WaiterNotifier_Lock(s.ack);
  for (auto _ : state) {
    s.awaitSleeping();
    const auto notifiedAt = Clock::now();
    WaiterNotifier_Notify(s.wake);
    WaiterNotifier_Wait(s.ack);
    state.SetIterationTime(secondsBetween(notifiedAt, s.wokeAt));
  }
  WaiterNotifier_Unlock(s.ack);
  s.quit = true;
  s.awaitSleeping();
  WaiterNotifier_Notify(s.wake);
  Thread_Join(thread);
  Thread_Delete(thread);
  WaiterNotifier_Delete(s.wake);
  WaiterNotifier_Delete(s.ack);
}
BENCHMARK(BM_NotifyToWake)->UseManualTime()->Unit(benchmark::kMicrosecond);

struct Expiry {
  WaiterNotifier* fired = nullptr;
  Clock::time_point at;
  static void onExpiry(void* p) {
    auto* e = static_cast<Expiry*>(p);
    e->at = Clock::now();
    WaiterNotifier_Notify(e->fired);
  }
};

// Time from Timer_Start to the callback; the counter is the lateness
// beyond the period.
void BM_TimerAccuracy(benchmark::State& state) {
  const auto period = static_cast<uint32_t>(state.range(0));
  Timer* timer = nullptr;
  Timer_Create(&timer);
  Expiry e;
  WaiterNotifier_Create(&e.fired);
  double lateSum = 0;
  double lateMax = 0;
  for (auto _ : state) {
    WaiterNotifier_Lock(e.fired);
    const auto startedAt = Clock::now();
    Timer_Start(timer, period, Expiry::onExpiry, &e);
    WaiterNotifier_Wait(e.fired);
    WaiterNotifier_Unlock(e.fired);
    const double elapsed = secondsBetween(startedAt, e.at);
    state.SetIterationTime(elapsed);
    const double late = elapsed - period * 1e-3;
    lateSum += late;
    lateMax = late > lateMax ? late : lateMax;
  }
  state.counters["late_us_avg"] = lateSum / static_cast<double>(state.iterations()) * 1e6;
  state.counters["late_us_max"] = lateMax * 1e6;
  Timer_Delete(timer);
  WaiterNotifier_Delete(e.fired);
}
BENCHMARK(BM_TimerAccuracy)->Arg(1)->Arg(10)->Arg(100)->UseManualTime()->Unit(benchmark::kMillisecond)
    ->Iterations(20);

// A 5-second timer period with the main thread asleep on a WaiterNotifier
// until the callback: the CPU time of the whole process over those 5 s.
void BM_IdleCpuOfA5sTimerPeriod(benchmark::State& state) {
  Timer* timer = nullptr;
  Timer_Create(&timer);
  Expiry e;
  WaiterNotifier_Create(&e.fired);
  for (auto _ : state) {
    rusage before;
    getrusage(RUSAGE_SELF, &before);
    const double cpuBefore = processCpuSeconds();
    WaiterNotifier_Lock(e.fired);
    Timer_Start(timer, 5000, Expiry::onExpiry, &e);
    WaiterNotifier_Wait(e.fired);
    WaiterNotifier_Unlock(e.fired);
    const double cpu = processCpuSeconds() - cpuBefore;
    rusage after;
    getrusage(RUSAGE_SELF, &after);
    state.counters["cpu_us"] = cpu * 1e6;
    state.counters["ctx_switches"] =
        static_cast<double>((after.ru_nvcsw - before.ru_nvcsw) + (after.ru_nivcsw - before.ru_nivcsw));
  }
  Timer_Delete(timer);
  WaiterNotifier_Delete(e.fired);
}
BENCHMARK(BM_IdleCpuOfA5sTimerPeriod)->Iterations(1)->Unit(benchmark::kMillisecond);

// Baseline for the figure above: what the machine charges for one plain
// 5-second sleep of one thread (wake-up and accounting costs).
void BM_IdleCpuOfA5sPlainSleep(benchmark::State& state) {
  for (auto _ : state) {
    const double cpuBefore = processCpuSeconds();
    Thread_Sleep(5000);
    state.counters["cpu_us"] = (processCpuSeconds() - cpuBefore) * 1e6;
  }
}
BENCHMARK(BM_IdleCpuOfA5sPlainSleep)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
