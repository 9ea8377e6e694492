// What every schedule of the Orlisk stack must show, whatever the scenario:
// the checks that come from the program's promises, not from its code.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Explore.h"
#include "NfcMeSimulator.h"

namespace stack {

struct Report {
  uint32_t id;
  uint64_t ms;  // virtual time of the report
};

// What a run did, in one order: what the device saw and did, the link API
// calls of the program or client (recorded around the calls, see
// LinkCalls.cpp) and the event-log reports, each with its virtual time and
// the thread it happened on.
enum class StepKind : uint8_t { Device, Report, CallStart, CallEnd };
enum class LinkCall : uint8_t { Connect, Query, Close };
struct Step {
  StepKind kind;
  uint64_t ns;
  uint64_t thread;
  SimEvent device{};            // Device
  uint32_t report = 0;          // Report: the event ID
  LinkCall call = LinkCall::Connect;  // CallStart, CallEnd
  int32_t code = 0;             // CallEnd
  std::array<uint8_t, 13> record{};   // CallEnd of a query: the caller's record
};
const std::vector<Step>& Record();
// For LinkCalls.cpp: a link API call begins or ends on the calling thread.
void RecordCallStart(LinkCall call);
void RecordCallEnd(LinkCall call, int32_t code, const void* record);

// The event-log reports of the run so far.
const std::vector<Report>& Reports();

// Virtual milliseconds since the run began.
uint64_t NowMs();

// A fault the environment thread injects at a virtual time.
struct Fault {
  uint64_t atMs;
  std::function<void()> inject;
};

// Runs `faults` on a thread of their own, in time order, while `work` runs
// on the calling thread; returns when both are done.
void WithFaults(std::vector<Fault> faults, const std::function<void()>& work);

// A number in [lo, hi] drawn from the schedule's seed: fault times differ
// from schedule to schedule and replay with it.
uint64_t Draw(const dst::Context& c, uint64_t lo, uint64_t hi);

// Lines that say the program's own state went wrong, whatever the device
// did: no run may show one.
inline constexpr const char* kInternalStateLines[] = {
    "should never happened",                     // the takes, a resend over a pending request
    "heciHelperRearmRequest called but previous Send not ACK",
    "Unhandled switch case : ",                  // a request kind nobody commits
    "Cannot lock mutex", "Cannot unlock mutex",  // a lock misused
    "not deleted",                               // a mutex deleted under a sleeper
    ": refused",                                 // a timer or thread deleted from itself
    "invalid state",                             // the waiter's handshake broken
    "Context is NULL", "meQueryInfo is NULL",    // a callback without its context or record
    "hsInvalidParams",                           // a buffer that does not fit the connection
    "already marked for cleanup",                // a core closed twice
    "Invalide pointer", "Cannot create", "returns FAILED",
};

// Whether time passes only when every thread waits (the exploration's
// first mode) or the clock may overtake a thread: what the model can check.
void SetExactTimes(bool exact);

// Installs the scenario, a recording event-log backend and the counters.
void Begin(const SimScenario& scenario);

// The generic oracle, after the program or the client has closed its link:
// nothing is written after the close, no internal-state line of any kind
// (kInternalStateLines), no block left allocated and no connection left
// open, and the run is one that the model of the link allows (LinkModel.h).
// Waits `settleMs` of virtual time first, so that anything still to come
// would show.
void End(dst::Context& c, uint64_t settleMs = 20000);

// The program's own lines (the output without the log lines).
std::string OwnLines(const std::string& output);

// Runs the program. Checks what holds for every run: its own lines are
// those of its exit code, and its result word is the last thing written.
struct ProgramRun {
  int code;
  std::string output;
  uint64_t endedMs;
};
ProgramRun RunProgram(dst::Context& c);

// The own lines that go with an exit code.
std::string ExpectedOwnLines(int code);

// Checks the reports against `expected` (IDs and virtual times).
void ExpectReports(dst::Context& c, const std::vector<Report>& expected);

// Fails the run when `output` contains `text`.
void Forbid(dst::Context& c, const std::string& output, const std::string& text);

}  // namespace stack
