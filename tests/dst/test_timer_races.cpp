// The one-shot timer's windows, explored in virtual time where a test on
// the real clock only sometimes hits them: a stop and a new start at the
// very instant an arming expires. Every strategy, exact time.
#include <gtest/gtest.h>

#include "DstTestScenarios.h"
#include "Explore.h"
#include "Timer.h"

namespace {

constexpr uint64_t kMs = 1000000;

struct Arming {
  bool stopped = false;  // Timer_Stop has returned for the first arming
  int firstCalls = 0;
  int secondCalls = 0;
  uint64_t secondCalledAt = 0;  // the first call's time
};

void firstArming(void* p) {
  auto* a = static_cast<Arming*>(p);
  if (a->stopped) dst::Fail("the stopped arming fired after its Timer_Stop returned");
  ++a->firstCalls;
}

void secondArming(void* p) {
  auto* a = static_cast<Arming*>(p);
  if (a->secondCalls++ == 0) a->secondCalledAt = dst::NowNs();
}

// Armed for 100 ms; at 100 ms exactly another thread stops it and arms it
// again for 1000 ms. Whichever comes first at that instant, the expiry or
// the stop, the new arming fires 1000 ms after its start, never at once.
void stopAndStartAtExpiry() {
  Timer* timer = nullptr;
  Timer_Create(&timer);
  Arming a;
  Timer_Start(timer, 100, firstArming, &a);
  auto restart = [&] {
    Thread_Sleep(100);
    Timer_Stop(timer);
    a.stopped = true;
    Timer_Start(timer, 1000, secondArming, &a);
  };
  testsupport::OnThread t(restart);
  t.join();
  Thread_Sleep(2000);
  Timer_Delete(timer);
  if (a.secondCalls != 1 || a.secondCalledAt != 1100 * kMs) {
    dst::Fail("the new arming fired " + std::to_string(a.secondCalls) + " times, first at " +
              std::to_string(a.secondCalledAt / kMs) + " ms, not once at 1100 ms");
  }
  if (a.firstCalls > 1) dst::Fail("the first arming fired twice");
}

}  // namespace

TEST(DstTimer, AStopAndAStartAtTheInstantOfExpiryNeverFireEarly) {
  dst::ExploreOptions o;
  o.schedulesPerScenario = 3000;
  o.clockProbability = 0;
  o.batch = 500;
  const dst::ExploreReport report = dst::Explore({{"stop and start at expiry", [](dst::Context&) {
                                                     stopAndStartAtExpiry();
                                                   }}},
                                                 o);
  EXPECT_TRUE(report.failures.empty()) << report.failures[0].message;
  EXPECT_EQ(report.schedules, 3000u);
}
