// The scheduler's state (DstScheduler.cpp): its threads, the decisions it
// keeps for reports, and a world, which is one run. Shared by the scheduler,
// its reports (DstReport.cpp) and its strategies (DstStrategy.cpp); only the
// baton holder touches it, except the few atomics the watchdog reads.
#pragma once

#include <semaphore.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Dst.h"
#include "DstWorld.h"

namespace dst::detail {

enum class State : uint8_t { Runnable, Blocked, Finished };

struct World;

struct Thread {
  World* world = nullptr;
  int32_t index = 0;
  uint64_t uid = 0;
  State state = State::Runnable;
  Object* waitObject = nullptr;
  const char* waitCall = "";
  uint64_t wakeAt = kNoDeadline;
  bool timedOut = false;
  uint64_t priority = 0;
  sem_t go;
  Object done{"thread"};
  char name[32] = {};
  std::function<void()> function;
  std::atomic<const char*> lastCall{"start"};
  std::atomic<pid_t> tid{0};  // the kernel's id, for the watchdog
};

// One decision, kept in a small ring for failure reports.
struct Decision {
  uint64_t step;
  uint64_t ns;
  int32_t thread;
  const char* call;
  // The object's kind and number, copied when the decision is made: the
  // object itself may be gone by the time a report prints the decision.
  const char* objectKind;  // null: no object (a sleep)
  uint32_t objectSerial;
  const void* caller;
  int32_t chosen;  // -1: the clock, -2: nobody can run
};

constexpr int kRing = 16;
constexpr int kMaxThreads = 256;

struct World {
  Options options;
  bool implicit = false;
  uint64_t id = 0;
  std::vector<Thread*> threads;
  uint64_t now = 0;
  uint64_t steps = 0;
  uint64_t choiceSteps = 0;
  uint64_t hash = 1469598103934665603ull;
  uint64_t rng = 0;
  std::vector<uint64_t> changePoints;  // PCT, ascending
  size_t changesDone = 0;
  uint64_t clockPriority = 0;
  uint32_t nextSerial = 1;
  std::atomic<bool> over{false};
  std::atomic<uint64_t> pointCount{0};
  std::atomic<int32_t> current{0};
  std::atomic<pid_t> currentTid{0};  // the holder's kernel id, for the watchdog
  std::atomic<uint32_t> live{0};
  sem_t done;
  Result result;
  Decision ring[kRing];
  uint64_t ringCount = 0;
};

// --- Strategies (DstStrategy.cpp) -----------------------------------------
// The run's random source: every draw of a world comes from its `rng`.
uint64_t splitmix(uint64_t& s);
// A draw in [0, 1).
double unit(World* w);
// Sets up the world's strategy from its options (PCT's change points).
void setUpStrategy(World* w);
// Index into enabled[0..n), or n for the clock. `self` made the point.
size_t pick(World* w, Thread* self, Thread** enabled, size_t n, bool clockOption);

// --- Reports (DstReport.cpp) ----------------------------------------------
// An object's number in this world, given on first use.
uint32_t serialOf(World* w, Object* o);
std::string threadName(const Thread* t);
std::string decisionText(World* w, const Decision& d);
// The last kRing decisions, each thread's state, and the first cycle of the
// wait-for graph, for a failure's report.
std::string lastDecisions(World* w);
std::string threadStates(World* w);
std::string waitCycle(World* w);

}  // namespace dst::detail
