#include "FaultPlan.h"

#include <cstdio>

namespace stack {
namespace {

// The plan's own random stream: a plan depends on the seed only, not on
// how many scheduling decisions the run makes.
class Dice {
 public:
  explicit Dice(uint64_t seed) : state_(seed ^ 0xC0FFEE5EEDull) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint64_t range(uint64_t lo, uint64_t hi) { return lo + next() % (hi - lo + 1); }
  bool chance(uint32_t percent) { return next() % 100 < percent; }
  template <class T, size_t N>
  const T& pick(const T (&items)[N]) {
    return items[next() % N];
  }

 private:
  uint64_t state_;
};

constexpr const char* kKindNames[] = {"late",   "unanswered", "frames",    "short",  "readerr", "failwrite",
                                      "stall",  "gone",       "reconnect", "resets", "openfail"};
static_assert(sizeof kKindNames / sizeof kKindNames[0] == static_cast<size_t>(FaultKind::kCount),
              "a name per fault kind");

std::string hex(const SimFrame& f) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < f.size(); ++i) {
    std::snprintf(b, sizeof b, i ? " %02X" : "%02X", f[i]);
    s += b;
  }
  return s;
}

// A frame of the NFC-ME traffic other than the version answer: every
// command the receive dispatcher knows, and one it does not. Those that
// take a pending request (cases 1 and 3-7) come more often when `taking`.
SimFrame drawFrame(Dice& d, bool taking = false) {
  const uint64_t takers[] = {1, 3, 4, 5, 6, 7};
  switch (taking && d.chance(70) ? d.pick(takers) : d.range(0, 9)) {
    case 0: {
      const uint8_t commands[] = {0x03, 0x10, 0x20};
      return {d.pick(commands), static_cast<uint8_t>(d.range(0, 7)), 0, 0, 0, 0};
    }
    case 1: {
      const uint8_t statuses[] = {0x00, 0x01, 0x10, 0x07};
      return {0x04, d.pick(statuses), 0, 0, 0, 0};
    }
    case 2: {
      SimFrame f = {0x05, 0, 0, 0, static_cast<uint8_t>(d.range(0, 4)), 0};
      for (uint8_t i = 0; i < f[4]; ++i) f.push_back(static_cast<uint8_t>(0x61 + i));
      return f;
    }
    case 3:
      return {0x11, static_cast<uint8_t>(d.range(0, 1)), 0, 0, 0, 0};
    case 4: {
      const uint8_t statuses[] = {0x00, 0x80, 0x05};
      return {0x12, d.pick(statuses), 0, 0, 0, 0};
    }
    case 5: {
      const uint8_t statuses[] = {0x00, 0x01, 0x02, 0x09};
      return {0x13, d.pick(statuses), 0, 0, 0, 0};
    }
    case 6:  // a maintenance answer to the connect sub-command
      return {0x00, static_cast<uint8_t>(d.range(0, 1)), 0, 0, 0, 0, 0, 0, 1, 0, 0x00};
    case 7:  // a maintenance answer to a sub-command nobody asked
      return {0x00, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0x02};
    case 8:
      return {0x7F, 0, 0, 0, 0, 0};
    default:
      return {0x20, 0x01, 0, 0, 0, 0};
  }
}

SimFrame drawShortFrame(Dice& d) {
  SimFrame f(d.range(1, 5));
  for (uint8_t& b : f) b = static_cast<uint8_t>(d.range(0, 0x20));
  return f;
}

// An answer's delay: at once, within the first timeout, or around the
// instants where the timer and the answer meet.
uint32_t drawDelay(Dice& d, bool late) {
  if (!late) return d.chance(50) ? 0 : static_cast<uint32_t>(d.range(1, 3000));
  switch (d.range(0, 9)) {
    case 0: return 0;
    case 1: return static_cast<uint32_t>(d.range(1, 4998));
    case 9: return static_cast<uint32_t>(100 * d.range(1, 120));  // on the steps the client's tries take
    case 2: return 4999;
    case 3: return 5000;
    case 4: return 5001;
    case 5: return static_cast<uint32_t>(d.range(5002, 9999));
    case 6: return 10000;
    case 7: return static_cast<uint32_t>(d.range(10001, 20000));
    default: return static_cast<uint32_t>(d.range(1, 300));
  }
}

// A time near `around`: before, at or after it.
uint32_t near(Dice& d, uint32_t around) {
  switch (d.range(0, 2)) {
    case 0: return around == 0 ? 0 : static_cast<uint32_t>(d.range(0, around));
    case 1: return around;
    default: return around + static_cast<uint32_t>(d.range(0, 3000));
  }
}

std::string itemText(const SimReactionItem& i) {
  switch (i.kind) {
    case SimReactionItem::Kind::Answer: return "answer@" + std::to_string(i.atMs);
    case SimReactionItem::Kind::Frame: return "frame[" + hex(i.frame) + "]@" + std::to_string(i.atMs);
    case SimReactionItem::Kind::ReadError: return "readerr@" + std::to_string(i.atMs);
    case SimReactionItem::Kind::Gone: return "gone@" + std::to_string(i.atMs);
  }
  return "?";
}

// What the device does after one version query.
std::vector<SimReactionItem> drawReaction(Dice& d, const FaultPlan& p) {
  auto on = [&](FaultKind k) { return p.kinds[static_cast<int>(k)]; };
  std::vector<SimReactionItem> items;
  const bool answered = !(on(FaultKind::Unanswered) && d.chance(45));
  const uint32_t delay = drawDelay(d, on(FaultKind::LateAnswers));
  // Items at the answer's own instant come before or after it by their
  // place in the list.
  if (on(FaultKind::Frames)) {
    for (uint64_t n = d.range(0, 3); n > 0; --n) {
      items.push_back({SimReactionItem::Kind::Frame, near(d, delay), drawFrame(d)});
    }
  }
  if (on(FaultKind::ShortFrames) && d.chance(30)) {
    items.push_back({SimReactionItem::Kind::Frame, near(d, delay), drawShortFrame(d)});
  }
  if (on(FaultKind::ReadErrors) && d.chance(35)) {
    items.push_back({SimReactionItem::Kind::ReadError, near(d, delay), {}});
  }
  if (on(FaultKind::DeviceGone) && d.chance(10)) {
    items.push_back({SimReactionItem::Kind::Gone, near(d, delay), {}});
  }
  if (answered) {
    const size_t at = static_cast<size_t>(d.range(0, items.size()));
    items.insert(items.begin() + static_cast<std::ptrdiff_t>(at), {SimReactionItem::Kind::Answer, delay, {}});
  }
  return items;
}

}  // namespace

FaultPlan DrawPlan(uint64_t seed) {
  Dice d(seed);
  FaultPlan p;
  for (bool& k : p.kinds) k = d.chance(50);
  auto on = [&](FaultKind k) { return p.kinds[static_cast<int>(k)]; };
  p.program = d.chance(50);
  if (p.program) {
    p.kinds[static_cast<int>(FaultKind::Reconnect)] = false;  // the program never asks for it
  } else {
    p.queries = static_cast<uint32_t>(d.range(1, 5));
    const uint64_t pauses[] = {100, 125, 500, 1000};
    p.retryPauseMs = d.pick(pauses);
    // Often none, or whole steps that other times in the plan share, so
    // that a query begins at the very instant something else happens.
    const uint64_t steps[] = {0, 0, 0, 0, 0, 100, 200, 500, 5000};
    for (uint32_t i = 0; i < p.queries; ++i) {
      p.pauseBeforeMs.push_back(i == 0 ? 0 : d.chance(85) ? d.pick(steps) : d.range(1, 12000));
      p.frameAtQuery.push_back(on(FaultKind::Frames) && d.chance(60) ? drawFrame(d, true) : SimFrame{});
    }
    p.autoReconnect = on(FaultKind::Reconnect);
  }

  SimScenario& sc = p.scenario;
  std::string device;
  if (on(FaultKind::OpenFaults)) {
    switch (d.range(0, 3)) {
      case 0:
        sc.failFirstOpens = static_cast<uint32_t>(d.range(1, 12));
        device += " failFirstOpens=" + std::to_string(sc.failFirstOpens);
        break;
      case 1:
        sc.devicePresent = false;
        device += " devicePresent=false";
        break;
      case 2:
        sc.connectFails = true;
        sc.connectErrno = d.chance(50) ? ENOTTY : EBUSY;
        device += " connectFails=" + std::to_string(sc.connectErrno);
        break;
      default:
        sc.failFirstOpens = static_cast<uint32_t>(d.range(1, 3));
        device += " failFirstOpens=" + std::to_string(sc.failFirstOpens);
        break;
    }
  }
  // Two writes a query (the query and its one resend), and some to spare
  // for reconnections.
  const uint32_t writes = 2 * p.queries + 2;
  // Each write fails on its own coin: a run may fail any of its queries.
  if (on(FaultKind::FailedWrites) || (p.autoReconnect && d.chance(80))) {
    for (uint32_t w = 1; w <= writes; ++w) {
      if (d.chance(25)) sc.failWriteNumbers.push_back(w);
    }
    device += " failWrites=";
    for (uint32_t w : sc.failWriteNumbers) device += std::to_string(w) + ",";
  }
  if (on(FaultKind::StalledWrites) && d.chance(40)) {
    sc.stallWrites = true;
    device += " stallWrites";
  }
  if (p.autoReconnect && d.chance(50)) {
    const uint32_t larger[] = {1024, 4096};
    sc.reconnectMaxMessageLength = d.pick(larger);
    device += " reconnectMaxMessageLength=" + std::to_string(sc.reconnectMaxMessageLength);
  }
  std::string reactions;
  for (uint32_t w = 0; w < writes; ++w) {
    sc.reactions.push_back(drawReaction(d, p));
    reactions += " q" + std::to_string(w + 1) + ":";
    if (sc.reactions.back().empty()) reactions += " nothing";
    for (const SimReactionItem& i : sc.reactions.back()) reactions += " " + itemText(i);
  }

  std::string environment;
  // Half of the times on whole 100 ms steps, where the client's pauses and
  // the device's answers also fall.
  auto at = [&] { return d.chance(50) ? d.range(0, 25000) : 100 * d.range(0, 120); };
  if (on(FaultKind::MeResets)) {
    for (uint64_t n = d.range(1, 3); n > 0; --n) {
      PlannedFault f{PlannedFault::Kind::MeReset, at(), 1, {}};
      f.eventId = d.chance(50) ? 1 : 4;
      p.environment.push_back(f);
      environment += " reset" + std::to_string(f.eventId) + "@" + std::to_string(f.atMs);
    }
  }
  if (on(FaultKind::ReadErrors) && d.chance(50)) {
    p.environment.push_back({PlannedFault::Kind::ReadError, at(), 1, {}});
    environment += " readerr@" + std::to_string(p.environment.back().atMs);
  }
  if (on(FaultKind::Frames) && d.chance(50)) {
    PlannedFault f{PlannedFault::Kind::Frame, at(), 1, {}};
    f.frame = drawFrame(d);
    p.environment.push_back(f);
    environment += " frame[" + hex(f.frame) + "]@" + std::to_string(f.atMs);
  }
  if (on(FaultKind::DeviceGone) && d.chance(50)) {
    p.environment.push_back({PlannedFault::Kind::DeviceGone, at(), 1, {}});
    environment += " gone@" + std::to_string(p.environment.back().atMs);
  }

  std::string kinds;
  for (int k = 0; k < static_cast<int>(FaultKind::kCount); ++k) {
    if (p.kinds[k]) kinds += std::string(kinds.empty() ? "" : ",") + kKindNames[k];
  }
  p.text = p.program ? "program" : "link client, " + std::to_string(p.queries) + " queries";
  if (!p.program) {
    p.text += " (retry every " + std::to_string(p.retryPauseMs) + " ms, pauses";
    for (uint64_t ms : p.pauseBeforeMs) p.text += " " + std::to_string(ms);
    p.text += std::string(")") + (p.autoReconnect ? ", autoReconnect" : "");
    for (size_t i = 0; i < p.frameAtQuery.size(); ++i) {
      if (!p.frameAtQuery[i].empty()) p.text += ", frame[" + hex(p.frameAtQuery[i]) + "] at query " + std::to_string(i + 1);
    }
  }
  p.text += "; kinds: " + (kinds.empty() ? std::string("none") : kinds);
  if (!device.empty()) p.text += ";" + device;
  p.text += ";" + reactions;
  if (!environment.empty()) p.text += "; environment:" + environment;
  return p;
}

}  // namespace stack
