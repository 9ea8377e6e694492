#include "LinkModel.h"

#include <algorithm>
#include <cstdio>

namespace stack {
namespace {

constexpr uint64_t kMs = 1000000;
constexpr uint64_t kTimeoutNs = 5000 * kMs;

// What a frame the host took does to a pending request, by the link's rules.
enum class Effect { Answer, Fails, Rearms, StopsReceiving, None };

Effect effectOf(const SimFrame& f) {
  if (f.size() < 6) return Effect::StopsReceiving;  // dropped; no receive is posted after it
  switch (f[0]) {
    case 0x00: {
      // The sub-command as the link reads it: within dataSize + 10 bytes.
      const size_t length = std::min<size_t>(f.size() >= 10 ? (f[8] | (f[9] << 8)) + 10u : f.size(), f.size());
      const uint8_t sub = length > 10 ? f[10] : 0;
      if (sub == 0) return Effect::StopsReceiving;  // the connect's answer: not taken, nothing posted
      return sub == 1 ? Effect::Answer : Effect::Fails;
    }
    case 0x04:  // NCI send response
    case 0x11:  // power response
    case 0x12:  // download pin state
      return Effect::Fails;
    case 0x13:  // download pin state response: the request is pending again
      return Effect::Rearms;
    default:
      return Effect::None;
  }
}

bool isDevice(const Step& s, SimEventKind k) { return s.kind == StepKind::Device && s.device.kind == k; }
bool isWrite(const Step& s) {
  return isDevice(s, SimEventKind::Write) || isDevice(s, SimEventKind::WriteFailed) ||
         isDevice(s, SimEventKind::WriteStalled);
}
bool isFailedWrite(const Step& s) { return isWrite(s) && !isDevice(s, SimEventKind::Write); }
bool isFrame(const Step& s, Effect e) { return isDevice(s, SimEventKind::Frame) && effectOf(s.device.bytes) == e; }
bool isReport(const Step& s, uint32_t id) { return s.kind == StepKind::Report && s.report == id; }
// When the write's timer was armed: a write that waited for room and gave
// up is recorded when it gave up, with how long it waited.
uint64_t armedAt(const Step& w) {
  return isDevice(w, SimEventKind::WriteStalled) ? w.ns - uint64_t{w.device.value} * kMs : w.ns;
}

std::string at(const Step& s) {
  char b[48];
  std::snprintf(b, sizeof b, "%llu.%03llu ms", static_cast<unsigned long long>(s.ns / kMs),
                static_cast<unsigned long long>(s.ns % kMs / 1000));
  return b;
}

struct Call {
  LinkCall call;
  size_t start;
  size_t end;
  uint64_t thread;
  int32_t code;
  std::array<uint8_t, 13> record;
};

std::vector<Call> callsOf(const std::vector<Step>& r) {
  std::vector<Call> calls;
  std::vector<size_t> open;  // index into calls, per running call
  for (size_t i = 0; i < r.size(); ++i) {
    if (r[i].kind == StepKind::CallStart) {
      open.push_back(calls.size());
      calls.push_back(Call{r[i].call, i, r.size(), r[i].thread, -1, {}});
    } else if (r[i].kind == StepKind::CallEnd) {
      for (size_t k = open.size(); k-- > 0;) {
        Call& c = calls[open[k]];
        if (c.thread == r[i].thread && c.call == r[i].call) {
          c.end = i;
          c.code = r[i].code;
          c.record = r[i].record;
          open.erase(open.begin() + static_cast<std::ptrdiff_t>(k));
          break;
        }
      }
    }
  }
  return calls;
}

// The record fields the link fills from an answer with reply status 0 (the
// three owner bytes it never writes are left out).
bool sameRecord(const std::array<uint8_t, 13>& got, const SimScenario& sc) {
  std::array<uint8_t, 13> sent{};
  std::copy(std::begin(sc.record), std::end(sc.record), sent.begin());
  if (sc.radioType >= 0) sent[12] = static_cast<uint8_t>(sc.radioType);
  const int filled[] = {0, 1, 2, 6, 7, 8, 9, 10, 11, 12};
  for (int i : filled) {
    if (got[static_cast<size_t>(i)] != sent[static_cast<size_t>(i)]) return false;
  }
  return true;
}

bool recordKnown(const SimScenario& sc) {
  return sc.replyStatus == 0 && sc.answerLength < 0 && sc.dataSize == NFCME_WIRE_DEFAULT_DATA_SIZE;
}

class Model {
 public:
  Model(const std::vector<Step>& r, const SimScenario& sc, bool exact)
      : r_(r), sc_(sc), exact_(exact), calls_(callsOf(r)) {}

  std::string check() {
    for (const Call& c : calls_) {
      if (c.end == r_.size()) continue;  // still running: the scenario's own checks say why
      if (c.call == LinkCall::Connect) checkConnect(c);
      if (c.call == LinkCall::Query && (c.code == 0 || c.code == 4)) checkQuery(c);
      if (!error_.empty()) return error_;
    }
    if (exact_) {
      checkTimersExactly();
    } else {
      checkTimerCounts();
    }
    return error_;
  }

 private:
  void fail(const std::string& message) {
    if (error_.empty()) error_ = "model: " + message;
  }

  void checkConnect(const Call& c) {
    size_t reports = 0;
    for (size_t i = c.start; i < c.end; ++i) reports += isReport(r_[i], 2) ? 1 : 0;
    if (reports != (c.code == 0 ? 0u : 1u)) {
      fail("a connect that returned " + std::to_string(c.code) + " made " + std::to_string(reports) +
           " reports 2");
    }
  }

  // The first write the query made itself: r_.size() when it made none.
  size_t firstWriteOf(const Call& q) const {
    for (size_t i = q.start; i < q.end; ++i) {
      if (isWrite(r_[i]) && r_[i].thread == q.thread) return i;
    }
    return r_.size();
  }

  // Where a query's window of frames begins. The dispatch thread reads one
  // frame (or error) at a time and acts on it before it reads the next, but
  // it may act on the last one it read before the query began only after the
  // query has committed its request: that one belongs to the window too.
  size_t windowStart(const Call& q) const {
    for (size_t i = q.start; i-- > 0;) {
      if (isDevice(r_[i], SimEventKind::Frame) || isDevice(r_[i], SimEventKind::ReadError)) return i;
      if (r_[i].kind == StepKind::CallEnd && r_[i].thread == q.thread && r_[i].call == LinkCall::Connect) break;
    }
    return q.start;
  }

  // Where what belongs to a query's request ends: the next query's first
  // write, or the end of the close (which waits for a timeout handler that
  // is running).
  size_t requestEnd(const Call& q) const {
    for (const Call& c : calls_) {
      if (c.start <= q.start) continue;
      if (c.call == LinkCall::Close) return c.end;
      if (c.call == LinkCall::Query && firstWriteOf(c) < r_.size()) return firstWriteOf(c);
    }
    return r_.size();
  }

  // Fails the request for certain when it is still pending and waited for:
  // what the dispatch thread reads it acts on in that order, and the timer
  // reports its final timeout only after it has taken the request. (A failed
  // resend takes the request only after the write has failed, and may come
  // second to an answer read meanwhile.)
  static bool failsForCertain(const Step& s) {
    return isDevice(s, SimEventKind::ReadError) || isFrame(s, Effect::Fails) || isReport(s, 3);
  }
  // The timer's ways to end a request, which may overtake an answer that
  // the dispatch thread has already read.
  bool timerEnds(const Step& s, const Call& q) const {
    return isReport(s, 3) || (isFailedWrite(s) && s.thread != q.thread);
  }

  void checkQuery(const Call& q) {
    const size_t first = firstWriteOf(q);
    const bool written = first < r_.size() && isDevice(r_[first], SimEventKind::Write);
    // May it succeed: an answer during the call with nothing before it,
    // after the write, that fails the request for certain.
    const size_t window = windowStart(q);
    size_t mayAnswer = r_.size();
    if (written) {
      for (size_t i = window; i < q.end && mayAnswer == r_.size(); ++i) {
        if (i > first && failsForCertain(r_[i])) break;
        if (isFrame(r_[i], Effect::Answer)) mayAnswer = i;
      }
    }
    // Must it succeed: an answer after the write with nothing at all before
    // it that might have failed the request, and no timer end racing it.
    size_t mustAnswer = r_.size();
    if (written) {
      for (size_t i = window; i < q.end; ++i) {
        if (failsForCertain(r_[i]) || (isFailedWrite(r_[i]) && i != first)) break;
        if (i > first && isFrame(r_[i], Effect::Answer)) {
          mustAnswer = i;
          break;
        }
      }
      // The timer takes the request before it reports, and the query may
      // return meanwhile (a read error): its reports come until the next
      // request is written.
      const size_t until = requestEnd(q);
      for (size_t i = mustAnswer; mustAnswer < r_.size() && i < until; ++i) {
        if (timerEnds(r_[i], q) && (!exact_ || r_[i].ns == r_[mustAnswer].ns)) mustAnswer = r_.size();
      }
    }
    if (q.code == 0 && mayAnswer == r_.size()) {
      fail("a query ended at " + at(r_[q.end]) + " with 0, but " +
           (written ? "no answer reached the host before something failed its request"
                    : "its own write did not reach the device"));
    } else if (q.code == 0 && recordKnown(sc_) && !sameRecord(q.record, sc_)) {
      fail("a query ended with 0 but its record is not the answer's");
    } else if (q.code == 4 && mustAnswer < r_.size()) {
      fail("a query ended at " + at(r_[q.end]) + " with 4, but its answer reached the host at " +
           at(r_[mustAnswer]) + " with nothing before it that fails the request");
    }
  }

  // Requests, each from the first write a query made itself up to the next
  // such write (or the close): every write of a request comes before the
  // next one's first, as the next query arms its timer only once the
  // timer's callback for this one has returned.
  struct Segment {
    size_t from;
    size_t to;
    uint64_t thread;
    size_t queryEnd;  // where the query that made it returned
    size_t window;    // where the frames that may take its request begin
  };
  std::vector<Segment> segments() const {
    std::vector<Segment> out;
    for (const Call& c : calls_) {
      if (c.call == LinkCall::Close) {
        if (!out.empty() && out.back().to > c.start) out.back().to = c.start;
        continue;
      }
      if (c.call != LinkCall::Query) continue;
      const size_t first = firstWriteOf(c);
      if (first >= r_.size()) continue;
      if (!out.empty() && out.back().to > first) out.back().to = first;
      out.push_back({first, r_.size(), c.thread, c.end, windowStart(c)});
    }
    return out;
  }

  // Time passed only when every thread waited. The request's timer, as the
  // link runs it, walked through the segment as a set of possible states:
  // at an instant where the timer and a frame meet, either may have taken
  // the request first, and the record shows only what followed.
  struct Timer {
    bool pending = true;
    uint64_t armed = 0;
    uint32_t sixes = 0;
    bool resent = false;
    uint64_t lastSix = UINT64_MAX;
    bool frameAtTimeout = false;  // a frame met the timer: it may take the resend
    bool operator==(const Timer& o) const {
      return pending == o.pending && armed == o.armed && sixes == o.sixes && resent == o.resent &&
             lastSix == o.lastSix && frameAtTimeout == o.frameAtTimeout;
    }
  };

  // The states that `t` may be in after step `s`; none when `s` cannot
  // happen in `t`. `unsure` is set for a step the model does not follow.
  std::vector<Timer> advance(const Timer& t, const Step& s, const Segment& g, size_t i, bool readError,
                             bool* unsure) const {
    if (t.pending && s.ns > t.armed + kTimeoutNs) return {};  // the timer would have fired first
    Timer n = t;
    if (isReport(s, 6)) {
      if (!t.pending || s.ns != t.armed + kTimeoutNs || t.sixes >= 2) return {};
      n.sixes += 1;
      n.lastSix = s.ns;
      n.armed = s.ns;
      n.frameAtTimeout = false;
      if (t.resent || t.sixes == 1) {
        n.pending = false;  // the final timeout: a 3 follows
        return {n};
      }
      if (!t.frameAtTimeout) return {n};
      Timer taken = n;  // the frame that met the timer took its resend
      taken.pending = false;
      return {n, taken};
    }
    if (isReport(s, 3)) {
      if (t.lastSix != s.ns || t.pending) return {};
      return {n};
    }
    if (isWrite(s)) {
      // A second write: the timer's resend with its 6, or a resend after a
      // reconnect on the query's own thread.
      if (t.resent) return {};
      if (s.thread != g.thread && t.lastSix != armedAt(s)) return {};
      n.resent = true;
      n.armed = armedAt(s);
      if (isFailedWrite(s)) n.pending = false;
      return {n};
    }
    if (isFrame(s, Effect::Answer) || isFrame(s, Effect::Fails)) {
      if (!t.pending) return {n};
      n.pending = false;
      if (s.ns != t.armed + kTimeoutNs) return {n};
      Timer timerFirst = t;  // the timer took the request just before
      timerFirst.frameAtTimeout = true;
      return {n, timerFirst};
    }
    if (isFrame(s, Effect::Rearms) && t.pending) {
      // Re-armed only while the query still waits; once a read error has
      // failed it, the frame settles the request instead, and whether the
      // query had left by then is not in the record.
      if (i > g.queryEnd || readError || s.ns == t.armed + kTimeoutNs) {
        *unsure = true;
        return {n};
      }
      n.armed = s.ns;
    }
    return {n};
  }

  void checkTimersExactly() {
    for (const Segment& g : segments()) {
      const Step& first = r_[g.from];
      if (!isDevice(first, SimEventKind::Write)) continue;  // failed at once: no timer runs on
      Timer start;
      start.armed = armedAt(first);
      std::vector<Timer> states = {start};
      // A frame read before the write may be acted on after the commit.
      for (size_t i = g.window; i < g.from; ++i) {
        if (isFrame(r_[i], Effect::Answer) || isFrame(r_[i], Effect::Fails)) {
          Timer taken = start;
          taken.pending = false;
          states.push_back(taken);
          break;
        }
      }
      bool readError = false;
      bool unsure = false;
      const size_t to = std::min(g.to, r_.size());
      for (size_t i = g.from + 1; i < to && !unsure; ++i) {
        std::vector<Timer> next;
        for (const Timer& t : states) {
          for (const Timer& n : advance(t, r_[i], g, i, readError, &unsure)) {
            if (std::find(next.begin(), next.end(), n) == next.end()) next.push_back(n);
          }
        }
        readError = readError || isDevice(r_[i], SimEventKind::ReadError);
        if (next.empty()) {
          return fail("the request written at " + at(first) + " cannot have led to " + describe(r_[i]) + " at " +
                      at(r_[i]) + " (" + describe(states) + ")");
        }
        states = std::move(next);
      }
      if (unsure) continue;
      // Observed until the next request's write or the close.
      const uint64_t end = to < r_.size() ? r_[to].ns : r_.back().ns;
      const bool someEnds = std::any_of(states.begin(), states.end(), [&](const Timer& t) {
        return !t.pending || end <= t.armed + kTimeoutNs;
      });
      if (!someEnds) {
        return fail("the request written at " + at(first) + " was still pending " + describe(states) +
                    " when the record ends at " + std::to_string(end / kMs) + " ms: its timer never fired");
      }
    }
  }

  static std::string describe(const Step& s) {
    switch (s.kind) {
      case StepKind::Report: return "report " + std::to_string(s.report);
      case StepKind::CallStart: return "a call";
      case StepKind::CallEnd: return "a return";
      case StepKind::Device: break;
    }
    switch (s.device.kind) {
      case SimEventKind::Write: return "a write";
      case SimEventKind::WriteFailed:
      case SimEventKind::WriteStalled: return "a failed write";
      case SimEventKind::Frame: return "a frame";
      case SimEventKind::ReadError: return "a read error";
      default: return "a device event";
    }
  }

  static std::string describe(const std::vector<Timer>& states) {
    std::string s;
    for (const Timer& t : states) {
      s += std::string(s.empty() ? "" : "; ") + (t.pending ? "pending, armed at " : "settled, armed at ") +
           std::to_string(t.armed / kMs) + " ms, " + std::to_string(t.sixes) + " reports 6" +
           (t.resent ? ", resent" : "");
    }
    return s;
  }

  // The clock may overtake any thread: only counts and lower bounds hold.
  void checkTimerCounts() {
    size_t requests = 0, sixes = 0, threes = 0, writes = 0;
    uint64_t firstStart = UINT64_MAX;
    for (const Call& c : calls_) {
      if (c.call != LinkCall::Query || c.code == 3 || c.code == 2) continue;
      ++requests;
      firstStart = std::min(firstStart, r_[c.start].ns);
    }
    for (const Step& s : r_) {
      if (isReport(s, 6)) {
        ++sixes;
        if (s.ns < firstStart + kTimeoutNs) fail("a report 6 at " + at(s) + ", before any request was 5000 ms old");
      }
      threes += isReport(s, 3) ? 1 : 0;
      writes += isWrite(s) ? 1 : 0;
    }
    if (sixes > 2 * requests || threes > requests || writes > 2 * requests) {
      fail(std::to_string(requests) + " requests with " + std::to_string(writes) + " writes, " +
           std::to_string(sixes) + " reports 6 and " + std::to_string(threes) + " reports 3");
    }
  }

  const std::vector<Step>& r_;
  const SimScenario& sc_;
  const bool exact_;
  const std::vector<Call> calls_;
  std::string error_;
};

std::string stepText(const Step& s) {
  std::string t = at(s) + " T" + std::to_string(s.thread) + " ";
  switch (s.kind) {
    case StepKind::Report: return t + "report " + std::to_string(s.report);
    case StepKind::CallStart:
    case StepKind::CallEnd: {
      const char* names[] = {"connect", "query", "close"};
      t += std::string(s.kind == StepKind::CallStart ? "call " : "return ") + names[static_cast<int>(s.call)];
      return s.kind == StepKind::CallEnd ? t + " " + std::to_string(s.code) : t;
    }
    case StepKind::Device: break;
  }
  const char* kinds[] = {"open", "connect", "write", "write failed", "write stalled", "frame", "read error", "close"};
  t += std::string("device ") + kinds[static_cast<int>(s.device.kind)] + " #" + std::to_string(s.device.connection);
  if (s.device.err != 0) t += " err " + std::to_string(s.device.err);
  for (size_t i = 0; i < s.device.bytes.size() && i < 12; ++i) {
    char b[4];
    std::snprintf(b, sizeof b, " %02X", s.device.bytes[i]);
    t += b;
  }
  return t;
}

}  // namespace

std::string DescribeRecord(const std::vector<Step>& record) {
  std::string s;
  for (const Step& step : record) s += "  " + stepText(step) + "\n";
  return s;
}

std::string CheckLinkModel(const std::vector<Step>& record, const SimScenario& scenario, bool exactTimes) {
  return Model(record, scenario, exactTimes).check();
}

}  // namespace stack
