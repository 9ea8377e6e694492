// Schedules per second on one core: a three-thread hand-over of about 200
// scheduling points, first run after run in this process, then through the
// explorer (a fork per batch, verdicts through a pipe), as CI runs it.
// Usage: bench_dst [seconds per part, default 3]
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "DstTestScenarios.h"
#include "Explore.h"

namespace {

double secondsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  const auto body = [] { dsttest::Handover(16); };

  uint64_t runs = 0;
  uint64_t steps = 0;
  const auto start = std::chrono::steady_clock::now();
  while (secondsSince(start) < seconds) {
    dst::Options o;
    o.seed = runs;
    o.strategy = runs % 2 ? dst::Strategy::Pct : dst::Strategy::Random;
    o.pctSteps = 150;
    const dst::Result r = dst::Run(o, body);
    if (!r.ok) {
      std::printf("bench_dst: run failed: %s\n", r.failure.c_str());
      return 1;
    }
    steps += r.steps;
    ++runs;
  }
  const double inProcess = secondsSince(start);
  std::printf("bench_dst: in-process: %llu schedules in %.2f s: %.0f schedules/s per core, %.0f points per schedule\n",
              static_cast<unsigned long long>(runs), inProcess, runs / inProcess,
              static_cast<double>(steps) / static_cast<double>(runs));

  dst::ExploreOptions e;
  e.schedulesPerScenario = static_cast<uint64_t>(runs / inProcess * seconds);
  e.recheckShare = 0;
  const auto explored = std::chrono::steady_clock::now();
  const dst::ExploreReport report = dst::Explore({{"hand-over", [&](dst::Context&) { body(); }}}, e);
  const double t = secondsSince(explored);
  std::printf("bench_dst: explorer: %llu schedules in %.2f s: %.0f schedules/s per core\n",
              static_cast<unsigned long long>(report.schedules), t, report.schedules / t);
  return report.failures.empty() ? 0 : 1;
}
