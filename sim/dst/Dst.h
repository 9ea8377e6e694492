// Deterministic simulation of the OS services (test infrastructure only).
//
// Every thread of a run is a real OS thread, but only the one holding the
// baton runs; at each scheduling point (lock, unlock, wait, signal, event
// set, sleep, thread start and end) a seeded strategy decides who runs next.
// Time is virtual: it jumps to the next deadline when every thread is
// blocked, and a strategy may also let a deadline pass while threads are
// still runnable (the "clock" choice). Same seed, same schedule.
//
// Outside dst::Run the primitives still work: the first thread that uses one
// is adopted into a process-wide implicit world (seed 0, random walk, no
// clock choice) that
// lasts until the process ends or the next dst::Run. A failure there (a
// deadlock, the watchdog) prints its report to stderr and aborts.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace dst {

// Random: every point picks uniformly among the runnable threads. Pct:
// priorities with d-1 change points. Sticky: the thread at a point goes on
// unless a switch (switchProbability) is drawn.
enum class Strategy { Random, Pct, Sticky };

struct Options {
  uint64_t seed = 0;
  Strategy strategy = Strategy::Random;
  int pctDepth = 3;                // d: d-1 priority change points
  uint64_t pctSteps = 100;         // k: change points fall uniformly in [1, k]
  // Random walk: the chance to let the clock pass a deadline while threads
  // are runnable. PCT gives the clock a priority instead. 0 turns the clock
  // choice off for both: deadlines pass only when every thread is blocked.
  double clockProbability = 0.01;
  double switchProbability = 0.05;  // Sticky
  // A wait that may wake spuriously (a condition variable, Mutex_Wait,
  // the wake event) does so with this chance: Explore turns it on for the
  // schedules whose seed says so (SeedOptions).
  double spuriousProbability = 0;
  uint64_t maxSteps = 1000000;
  uint64_t maxVirtualNs = 3600ull * 1000000000ull;
  bool trace = false;              // record every decision into Result::trace
  uint32_t watchdogMs = 2000;      // real time without a scheduling point
};

struct Result {
  bool ok = true;
  std::string failure;
  uint64_t steps = 0;        // scheduling points passed
  uint64_t choiceSteps = 0;  // points with at least two options (PCT's k)
  uint32_t threads = 0;      // threads the run created, the body's included
  uint64_t virtualNs = 0;
  uint64_t decisionHash = 0;
  std::string trace;
};

// Runs `body` as thread 0 of a fresh world and returns when every thread of
// the world has finished, or at the first failure. The body runs on an OS
// thread of its own, not the caller's: a failed run must return to the
// caller while its threads stay parked in the middle of their calls (they
// are never resumed; their memory is left to the process).
Result Run(const Options& options, std::function<void()> body);

// Virtual nanoseconds since the world began (0 outside any world).
uint64_t NowNs();
// True on a thread that belongs to an explicit run.
bool Active();
// Ends the run with `message` (an oracle's verdict). Does not return on a
// thread of the run; elsewhere it prints and aborts.
[[noreturn]] void Fail(const std::string& message);
// Checked at every scheduling point; returns null when all is well, or a
// message that fails the run. Reset by each dst::Run.
void SetInvariant(std::function<const char*()> invariant);
// Names the calling thread in traces and reports (copied).
void SetThreadName(const char* name);

// For a child process made by fork(): the watchdog thread of the parent does
// not exist in it.
void ResetAfterFork();

}  // namespace dst
