// Fault plans drawn from a schedule's seed: who uses the link (the program,
// or a client of the link API that queries several times and retries while
// it is refused as busy), what the device does after each version query it
// receives, and a random subset of fault kinds switched on for the run
// (swarm testing: a run with few kinds reaches what many kinds would mask).
// The plan is a value: its text goes with a failing schedule's replay line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "NfcMeSimulator.h"

namespace stack {

enum class FaultKind : uint8_t {
  LateAnswers,     // answers around the timeouts: 4999/5000/5001, 10000 ms...
  Unanswered,      // queries the device never answers
  Frames,          // frames of every command before, around and after answers
  ShortFrames,     // frames too short to parse
  ReadErrors,      // host reads that fail
  FailedWrites,    // writes the device refuses
  StalledWrites,   // writes that find no room
  DeviceGone,      // the device goes away
  Reconnect,       // the client reconnects after a failed write
  MeResets,        // ME reset events (ID 1 and 4) from the environment
  OpenFaults,      // opens and connects that fail
  kCount
};

// Something the environment does at a time of the run.
struct PlannedFault {
  enum class Kind : uint8_t { MeReset, ReadError, Frame, DeviceGone } kind;
  uint64_t atMs;
  uint16_t eventId = 1;  // MeReset
  SimFrame frame;        // Frame
};

struct FaultPlan {
  bool program = true;      // false: a client of the link API
  uint32_t queries = 1;     // the client's queries (each retried while busy)
  uint64_t retryPauseMs = 100;
  std::vector<uint64_t> pauseBeforeMs;  // the client's pause before each query
  // A frame the device sends just as the client begins each query (none
  // where empty): it lands while the query commits its request.
  std::vector<SimFrame> frameAtQuery;
  bool autoReconnect = false;
  bool kinds[static_cast<int>(FaultKind::kCount)] = {};
  SimScenario scenario;     // the device: open and write faults, reactions
  std::vector<PlannedFault> environment;
  std::string text;         // the plan in one line
};

// The plan of the schedule whose seed is `seed`.
FaultPlan DrawPlan(uint64_t seed);

}  // namespace stack
