// NFC-ME firmware simulator: a model of the ME's NFC-ME client as the host
// sees it on the wire, for tests.
//
// The model is served two ways:
//   - `sim_port`: an implementation of HeciPort.h over the model, linked into
//     test executables in place of the real device port (Linux, and Windows
//     under Wine);
//   - Linux only: an emulated /dev/mei0 (`meisim_interpose`, linked into a
//     test executable, or `libmeisim.so`, preloaded into an unmodified
//     program). Opening the device path gives a SOCK_SEQPACKET socket served
//     by the model, and IOCTL_MEI_CONNECT_CLIENT is answered from the
//     scenario. A preloaded library takes its scenario from the environment
//     (NFCSIM_SCENARIO, see Sim_ParseScenario).
//
// Default behaviour (scenario/nfcme_wire.h): the device is present, the
// connect answers a maximum message length of 512, and every version query
// (the 11 bytes 00 00 00 00 00 00 00 00 01 00 01) is answered at once with
// a 25-byte answer: the 10-byte maintenance header with dataSize 15,
// sub-command 1, reply status 0 and the 13 record bytes, the last of them
// radio type 2. The answer's bytes, which queries are answered and which
// writes fail are decided by scenario/scenario.c, which the kernel-mode
// stand-in under Wine shares.
//
// Every function is thread-safe. Each process holds one simulator.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "Sync.h"
#include "scenario.h"

using SimFrame = std::vector<uint8_t>;
// The simulator's clock: the monotonic clock, virtual in the deterministic
// simulation build, so that delays and timeouts live in the same time as
// the link's timers.
using SimClock = osal_sync::Clock;

// One thing the device does after a version query, `atMs` after it: the
// version answer (the scenario's bytes), another frame, a read error, or
// going away. Items come in the order of their times (equal times in list
// order), and overtake what is queued for later from an earlier query
// (scenario.h: Scenario_React).
struct SimReactionItem {
  enum class Kind : uint8_t { Answer = REACTION_ANSWER, Frame = REACTION_FRAME, ReadError = REACTION_READ_ERROR,
                              Gone = REACTION_GONE };
  Kind kind;
  uint32_t atMs;
  SimFrame frame;  // Frame only
  int err = EIO;   // ReadError only
};

// The scenario: the stand-ins' one record (SCENARIO in scenario/scenario.h,
// where each field is described; Scenario_Default's values, see the top of
// this file), with what only the in-process model can do on top. The frame
// lists hold what the text form holds (SimFrames builds them): at most
// SCENARIO_MAX_FRAMES frames of SCENARIO_MAX_FRAME bytes each.

struct SimScenario : SCENARIO {
  SimScenario() : SCENARIO() { Scenario_Default(this); }

  // --- In-process extensions (no text form) ------------------------------
  // Called (outside the simulator's lock) for every written message that is
  // not a version query; the frames it returns are queued for the host.
  std::function<std::vector<SimFrame>(const SimFrame& written)> responder;
  // The device's own reaction to each version query, by its number over
  // the whole configuration (reactions[0] for the first query written, a
  // resend counting as a query of its own). A query that has a reaction
  // gets exactly that instead of answerMode, answerDelayMs and the frame
  // lists; one beyond the list gets those. See SimReactionItem.
  std::vector<std::vector<SimReactionItem>> reactions;
  // The maximum message length answered by the second and later connects
  // (a reconnect); 0: maxMessageLength again.
  uint32_t reconnectMaxMessageLength = 0;
  // Further writes that fail with writeErrno, by their numbers (1-based,
  // over the whole configuration, as failWriteNumber counts them).
  std::vector<uint32_t> failWriteNumbers;
};

// A frame list of the scenario from frames given in code. More frames, or
// longer ones, than the text form takes end the process with a message: the
// scenario could not hold them.
SCENARIO_FRAMES SimFrames(std::initializer_list<SimFrame> frames);

struct SimStats {
  uint32_t opens;           // successful opens of the device
  uint32_t failedOpens;     // opens refused by the scenario (not "no device")
  uint32_t connects;        // successful connects
  uint32_t failedConnects;  // connects refused by the scenario
  uint32_t closes;          // connections closed by the host
  uint32_t writes;          // messages written by the host, failed ones included
  uint32_t failedWrites;
  uint32_t versionQueries;  // version queries received
  uint32_t answers;         // version answers queued
  uint32_t framesDelivered; // frames the host has taken
  uint32_t readErrors;      // reads failed by the scenario or an injection
  uint32_t openConnections; // opened and not yet closed
  uint32_t readsWaiting;    // sim_port reads blocked now, waiting for a frame
};

struct SimWrite {
  SimFrame bytes;
  SimClock::time_point when;  // when the simulator received it
  bool failed;                // the write was failed by the scenario
  uint32_t connection;        // 1-based number of the open it came through
};

// What the device saw and did, in order, for an observer that models what
// the host may make of it: every open and connect, every write with its
// outcome and the thread that made it, every frame, read error and loss of
// the device that a host read took, and every close.
enum class SimEventKind : uint8_t {
  Open,           // err: 0, or why the open was refused
  Connect,        // err: 0, or why the connect was refused; value: max length
  Write,          // bytes reached the device
  WriteFailed,    // the scenario failed it (err), or the device had gone
  WriteStalled,   // the write waited for room (value: ms) and gave up
  Frame,          // a host read took `bytes`
  ReadError,      // a host read failed with err (ENODEV: the device has gone)
  Close,          // the host closed the connection
};

struct SimEvent {
  SimEventKind kind;
  SimClock::time_point when;
  uint32_t connection;      // 1-based number of the open; 0 before one
  int err;
  uint32_t value;
  SimFrame bytes;
  osal_sync::ThreadId thread;  // the host thread that caused it
};

// Called for each event, under the simulator's lock (so it must not call
// the simulator); null to stop. Kept across Sim_Configure.
void Sim_SetEventObserver(std::function<void(const SimEvent&)> observer);

// Installs a scenario and resets the simulator: counters, recorded writes
// and queued frames are cleared. Connections still open from before are cut
// off (their reads and writes fail with ENODEV).
void Sim_Configure(const SimScenario& scenario);
// The current scenario.
SimScenario Sim_GetScenario();

SimStats Sim_GetStats();
std::vector<SimWrite> Sim_Writes();

// Queues a frame for the host on the most recently connected connection;
// with none connected, it is held and queued when the next client connects.
void Sim_InjectFrame(SimFrame frame);
// The connected client's next read fails with `err` (EIO, ENODEV, ...).
void Sim_InjectReadError(int err);
// The device vanishes now: connected clients' reads and writes fail with
// ENODEV; later opens behave as the scenario says.
void Sim_DeviceGone();

// Wait until at least `n` writes were recorded; false on timeout.
bool Sim_WaitForWrites(size_t n, uint32_t timeoutMs);
// Wait until `condition` holds for the statistics; false on timeout.
bool Sim_WaitFor(const std::function<bool(const SimStats&)>& condition, uint32_t timeoutMs);

// Parses a scenario from text with the stand-ins' one parser (the language
// and its limits: Scenario_Parse in scenario/scenario.h) over the defaults:
// `key=value` items separated by newlines or ';', '#' starts a comment, keys
// are the SCENARIO field names; the three frame lists take one frame per item
// and may repeat the key (framesBeforeAnswer=05 00 00 00 01 00 aa). The
// driver's own keys (openDenied, versionFails, cancelMode, ...) are taken
// and ignored, so that one text serves both stand-ins. Unknown keys and bad
// values fail with a message in `error`, leaving *out as it was.
bool Sim_ParseScenario(const std::string& text, SimScenario* out, std::string* error);
