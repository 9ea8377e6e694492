// The explorer: planted faults are found within a small budget and replay
// from their one line; a sound scenario passes with its decision hashes
// repeating; a crash ends one child, not the exploration.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

#include "DstTestScenarios.h"
#include "TestSupport.h"
#include "Explore.h"

namespace {

dst::ExploreOptions small(uint64_t schedules) {
  dst::ExploreOptions o;
  o.schedulesPerScenario = schedules;
  o.batch = 100;
  return o;
}

std::string envOf(const std::string& line, const std::string& key) {
  const size_t at = line.find(key + "=");
  const size_t from = at + key.size() + 1;
  return line.substr(from, line.find(' ', from) - from);
}

}  // namespace

TEST(DstExplore, PlantedLostWakeUpAndAbbaAreFoundAndReplayFromTheirLine) {
  const std::vector<dst::Scenario> planted = {
      {"lost wake-up", [](dst::Context&) { dsttest::LostWakeUp(); }},
      {"abba", [](dst::Context&) { dsttest::Abba(); }},
  };
  const dst::ExploreReport report = dst::Explore(planted, small(1000));
  ASSERT_EQ(report.firstFailureAt.size(), 2u);
  EXPECT_GT(report.firstFailureAt[0], 0u) << "the lost wake-up was not found";
  EXPECT_GT(report.firstFailureAt[1], 0u) << "the ABBA deadlock was not found";
  std::printf("first failing schedule: lost wake-up %llu, abba %llu\n",
              static_cast<unsigned long long>(report.firstFailureAt[0]),
              static_cast<unsigned long long>(report.firstFailureAt[1]));
  bool pctFoundIt = false;
  const dst::ExploreFailure* lost = nullptr;
  for (const dst::ExploreFailure& f : report.failures) {
    EXPECT_NE(f.message.find("deadlock"), std::string::npos) << f.message;
    if (f.scenario == "lost wake-up" && f.strategy.rfind("pct:", 0) == 0) pctFoundIt = true;
    if (f.scenario == "lost wake-up" && lost == nullptr) lost = &f;
    if (f.scenario == "abba") {
      EXPECT_NE(f.message.find("cycle: T"), std::string::npos) << f.message;
    }
  }
  EXPECT_TRUE(pctFoundIt);
  ASSERT_NE(lost, nullptr);
  EXPECT_NE(lost->replayLine.find("NFC_DST_CASE='lost wake-up' NFC_DST_STRATEGY="), std::string::npos);

  // The line replays the same failure in-process, with its decisions traced.
  setenv("NFC_DST_CASE", "lost wake-up", 1);
  setenv("NFC_DST_STRATEGY", envOf(lost->replayLine, "NFC_DST_STRATEGY").c_str(), 1);
  setenv("NFC_DST_SEED", envOf(lost->replayLine, "NFC_DST_SEED").c_str(), 1);
  testsupport::Output captured;
  const dst::ExploreReport again = dst::Explore(planted, small(1000));
  const std::string out = captured.take();
  unsetenv("NFC_DST_CASE");
  unsetenv("NFC_DST_STRATEGY");
  unsetenv("NFC_DST_SEED");
  ASSERT_EQ(again.failures.size(), 1u) << out;
  EXPECT_EQ(again.failures[0].message, lost->message);
  EXPECT_NE(out.find("--- decisions\n#1 t=0.000000ms T0 thread start thread#1"), std::string::npos) << out;
  EXPECT_NE(out.find(" condvar wait CondVar#4 from dst_selftests+0x"), std::string::npos) << out;
  EXPECT_NE(out.find("dst: 1 schedules, 1 scenarios, 1 failures (replay)"), std::string::npos) << out;
}

TEST(DstExplore, ALostWakeUpHiddenInNoiseIsFoundByEveryStrategy) {
  dst::ExploreOptions o = small(1000);
  o.maxFailuresPerScenario = 1000;
  o.recheckShare = 0;
  const dst::ExploreReport report =
      dst::Explore({{"lost wake-up in noise", [](dst::Context&) { dsttest::LostWakeUpInNoise(); }}}, o);
  uint64_t byPct = 0, bySticky = 0;
  for (const dst::ExploreFailure& f : report.failures) {
    byPct += f.strategy.rfind("pct:", 0) == 0 ? 1 : 0;
    bySticky += f.strategy == "sticky" ? 1 : 0;
  }
  const uint64_t byRandom = report.failures.size() - byPct - bySticky;
  std::printf("lost wake-up in noise: first at schedule %llu; random walk %llu of %llu, PCT %llu of %llu, "
              "sticky %llu of %llu\n",
              static_cast<unsigned long long>(report.firstFailureAt[0]), static_cast<unsigned long long>(byRandom),
              static_cast<unsigned long long>(report.random), static_cast<unsigned long long>(byPct),
              static_cast<unsigned long long>(report.pct), static_cast<unsigned long long>(bySticky),
              static_cast<unsigned long long>(report.sticky));
  EXPECT_GT(byRandom, 0u);
  EXPECT_GT(byPct, 0u);
  EXPECT_GT(bySticky, 0u);
}

TEST(DstExplore, SoundScenariosPassAndTheirSchedulesRepeat) {
  const std::vector<dst::Scenario> sound = {
      {"hand-over", [](dst::Context&) { dsttest::Handover(4); }},
      {"output", [](dst::Context& c) {
         std::printf("one ");
         Thread_Sleep(5);
         std::printf("two");
         c.Check(c.Output() == "one two", "captured: " + c.Output());
       }},
  };
  dst::ExploreOptions o = small(400);
  o.recheckShare = 0.05;
  const dst::ExploreReport report = dst::Explore(sound, o);
  EXPECT_TRUE(report.failures.empty()) << report.failures[0].message;
  EXPECT_EQ(report.schedules, 800u);
  EXPECT_EQ(report.random + report.pct + report.sticky, 800u);
  EXPECT_GT(report.pct, 200u);
  EXPECT_GT(report.sticky, 200u);
  EXPECT_GE(report.rechecked, 30u);
}

TEST(DstExplore, ACrashFailsItsScheduleAndTheExplorationGoesOn) {
  const std::vector<dst::Scenario> crashing = {
      {"crash", [](dst::Context& c) {
         Thread_Sleep(1);
         if (c.options().seed % 8 == 0) std::raise(SIGSEGV);
       }},
  };
  dst::ExploreOptions o = small(60);
  o.recheckShare = 0;
  o.printPerScenario = 1;
  o.maxFailuresPerScenario = 1000;
  const dst::ExploreReport report = dst::Explore(crashing, o);
  EXPECT_EQ(report.schedules, 60u);
  ASSERT_FALSE(report.failures.empty());
  EXPECT_LT(report.failures.size(), 30u);
  // By the signal itself, or by the sanitizer's exit once it has reported it.
  for (const dst::ExploreFailure& f : report.failures) {
    EXPECT_EQ(f.message.rfind("crash: the schedule ended the process", 0), 0u) << f.message;
  }
}
