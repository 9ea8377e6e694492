// The explorer: each scenario runs under many seeds and strategies in forked
// children (a crash, a deadlock or a leftover static ends one child, not the
// exploration), and each failure is printed as one command line that
// replays it in-process with a trace of every decision.
//
// Environment:
//   NFC_DST_SCHEDULES  schedules per scenario (overrides the options)
//   NFC_DST_SCENARIOS  run only the first N scenarios
//   NFC_DST_ONLY       run only the scenarios whose names contain this
//   NFC_DST_BUDGET_S   stop starting new batches after this many seconds
//   NFC_DST_MAX_FAILURES, NFC_DST_PRINT
//                      failures after which a scenario is left, and how
//                      many of them print their replay line
//   NFC_DST_BASE_SEED  the base of every schedule's seed (a fresh one
//                      explores schedules no earlier run has)
//   NFC_DST_CASE, NFC_DST_STRATEGY, NFC_DST_SEED
//                      replay: run only this schedule, in-process, traced
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "Dst.h"

namespace dst {

// What a scenario's body sees of its run.
class Context {
 public:
  explicit Context(const Options& options) : options_(options) {}
  const Options& options() const { return options_; }
  // Everything written to stdout in this run so far (Log_* lines and
  // printf, in their true order), when the explorer captures it.
  std::string Output() const;
  // Fails the run with `message` unless `ok`.
  void Check(bool ok, const std::string& message) const {
    if (!ok) Fail(message);
  }
  // What the schedule's seed drew for the scenario (a generated plan), in
  // one line: printed with a failure, after its replay line.
  void SetPlan(std::string plan) { plan_ = std::move(plan); }
  const std::string& Plan() const { return plan_; }

 private:
  const Options& options_;
  std::string plan_;
};

struct Scenario {
  std::string name;
  std::function<void(Context&)> body;
  // Explored `weight` times as many schedules as the others: a scenario
  // that draws a different plan from every seed has more to cover.
  uint32_t weight = 1;
};

struct ExploreOptions {
  uint64_t schedulesPerScenario = 1000;
  double pctShare = 0.34;
  double stickyShare = 0.33;       // the rest is random walk
  int pctDepth = 3;
  uint64_t baseSeed = 0x5EEDD57ull;
  double timeBudgetSeconds = 0;    // 0: none
  double clockProbability = 0.01;
  uint64_t maxSteps = 200000;
  uint64_t maxVirtualNs = 3600ull * 1000000000ull;
  uint32_t batch = 256;            // schedules per child
  uint32_t calibrationRuns = 20;   // random runs that measure k for PCT
  double recheckShare = 0.01;      // seeds re-run to compare decision hashes
  uint32_t printPerScenario = 3;   // replay lines printed per scenario
  // A scenario that has failed this often is not explored further: each
  // failure costs a child, and more of them add little.
  uint32_t maxFailuresPerScenario = 20;
  std::string replayCommand;       // default: this executable
  // Settings a replay needs besides the schedule's own (NFC_DST_CLOCK=1),
  // put in front of each replay line.
  std::string replayEnvironment;
};

struct ExploreFailure {
  std::string scenario;
  std::string strategy;  // "random", "sticky" or "pct:<d>:<k>"
  uint64_t seed;
  std::string message;   // ends with "plan: ..." when the scenario drew one
  std::string replayLine;
};

struct ExploreReport {
  uint64_t schedules = 0;
  uint64_t random = 0;
  uint64_t pct = 0;
  uint64_t sticky = 0;
  size_t scenarios = 0;
  uint64_t rechecked = 0;
  std::vector<ExploreFailure> failures;
  // First schedule (1-based, per scenario) that failed, 0 when none did.
  std::vector<uint64_t> firstFailureAt;
};

ExploreReport Explore(const std::vector<Scenario>& scenarios, ExploreOptions options = ExploreOptions());

// One schedule, run in a child process as the exploration runs it, so that
// a crash or a hang is reported like any failure: empty when it passed,
// else what failed (for a crash, the signal or exit code).
std::string RunInChild(const Scenario& scenario, const Options& options);

// Sets the schedule's seed, and what follows from it alone: in every other
// schedule, waits that may wake spuriously do so now and then. Wherever a
// seed becomes a run (the exploration, a replay, a regression), so that a
// seed means one schedule.
void SeedOptions(Options& o, uint64_t seed);

// Parses "random", "sticky" or "pct:<d>:<k>" into `out`; false when malformed.
bool ParseStrategy(const std::string& text, Options& out);
std::string StrategyText(const Options& o);

// Redirects stdout into a buffer (glibc lets stdout be replaced), so that a
// run's Log_* lines and printf output land in one place in their order.
class OutputCapture {
 public:
  OutputCapture();
  ~OutputCapture();
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;
  std::string Text();

 private:
  FILE* saved_;
  FILE* stream_;
  char* buffer_ = nullptr;
  size_t size_ = 0;
};

}  // namespace dst
