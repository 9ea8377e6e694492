// Schedules of the whole Orlisk stack in virtual time: the program and the
// link API over the firmware simulator, with the ME reset events of the
// event source and faults injected at seeded times, each scenario explored
// under many seeds. Every scenario checks what the program promises (exit
// code, own lines, result word last, reports and their times) and the
// generic oracle of StackOracle.h.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "Dst.h"
#include "Explore.h"
#include "FaultPlan.h"
#include "MeiEventSource.h"
#include "NfcMeSimulator.h"
#include "StackOracle.h"
#include "Sync.h"
#include "vxHECICommunicationLayer.h"

using namespace stack;

namespace {

SimScenario scenarioOf(const std::string& text) {
  SimScenario s;
  std::string error;
  if (!Sim_ParseScenario(text, &s, &error)) dst::Fail("bad scenario '" + text + "': " + error);
  return s;
}

// Two explorations: in the first, time passes only when every thread is
// blocked, so the times the program promises (reports at 5000 and 10000 ms,
// an answer due with a timer at the same instant) are checked exactly; in
// the second the clock may also overtake a thread that is still runnable (a
// slow thread), which reaches the races that need a timeout to fire
// mid-work, and only what holds however slow a thread is gets checked.
bool gExactTimes = true;

// A scenario's own expectation: how the run ends and when. A thread may be
// slow enough for any timeout to pass first, so with the clock free to
// overtake only the generic oracle and the lines of a successful run hold.
void expect(dst::Context& c, bool ok, const std::string& message) {
  if (gExactTimes) c.Check(ok, message);
}

// The lines a run that succeeds never has: a refused re-post, an answer
// that found the wrong request, a request committed twice.
void forbidFailureLines(dst::Context& c, const std::string& output) {
  for (const char* line : {"HECIReceiveMessage failed", "Communication Error with HECI", "Unexpected ",
                           "previous Send not ACK"}) {
    Forbid(c, output, line);
  }
}

// Thread_Join polls the thread's end in 1 ms sleeps, so a run may take a
// few milliseconds longer than its timers say when a join waits.
constexpr uint64_t kJoinSlackMs = 5;
bool near(uint64_t ms, uint64_t expected) { return ms >= expected && ms <= expected + kJoinSlackMs; }

// --- The program -------------------------------------------------------------

// A program run with one expected outcome: exit code, reports, end time.
dst::Scenario program(const std::string& name, const std::string& scenario, int code,
                      std::vector<Report> reports, uint64_t endedMs) {
  return {name, [=](dst::Context& c) {
            Begin(scenarioOf(scenario));
            const ProgramRun run = RunProgram(c);
            expect(c, run.code == code, "exit " + std::to_string(run.code) + ", expected " + std::to_string(code));
            if (gExactTimes) {
              ExpectReports(c, reports);
              expect(c, near(run.endedMs, endedMs),
                      "ended at " + std::to_string(run.endedMs) + " ms, expected " + std::to_string(endedMs));
            }
            if (code == 0) forbidFailureLines(c, run.output);
            End(c);
          }};
}

// A program run under ME reset events published at a seeded time in
// [fromMs, toMs]: the run ends as without them.
dst::Scenario programWithReset(const std::string& name, const std::string& scenario, uint16_t eventId,
                               uint64_t fromMs, uint64_t toMs, int code) {
  return {name, [=](dst::Context& c) {
            Begin(scenarioOf(scenario));
            const uint64_t at = Draw(c, fromMs, toMs);
            ProgramRun run{};
            WithFaults({{at, [eventId] { MeiEventSource_Publish("MEI", eventId, 2); }}},
                       [&] { run = RunProgram(c); });
            expect(c, run.code == code, "exit " + std::to_string(run.code) + ", expected " + std::to_string(code));
            if (code == 0) forbidFailureLines(c, run.output);
            End(c);
          }};
}

// The answer comes exactly when a timeout is due: either order is legal,
// and each must end as the order says.
dst::Scenario answerAtTheFinalTimeout() {
  return {"answer due at 10000 ms, with the final timeout", [](dst::Context& c) {
            Begin(scenarioOf("answerDelayMs=10000"));
            const ProgramRun run = RunProgram(c);
            if (!gExactTimes) {
              expect(c, run.code == 0 || run.code == 1, "exit " + std::to_string(run.code));
            } else if (run.code == 0) {
              expect(c, near(run.endedMs, 10000), "ended at " + std::to_string(run.endedMs));
              ExpectReports(c, {{6, 5000}});
            } else {
              expect(c, run.code == 1, "exit " + std::to_string(run.code));
              expect(c, near(run.endedMs, 10000), "ended at " + std::to_string(run.endedMs));
              ExpectReports(c, {{6, 5000}, {6, 10000}, {3, 10000}});
            }
            End(c);
          }};
}

// An answer delivered at the first timeout is taken in: the query ends then,
// not with the resend's answer or its failure.
dst::Scenario answerAtTheFirstTimeout(const std::string& name, const std::string& scenario) {
  return {name, [=](dst::Context& c) {
            Begin(scenarioOf(scenario));
            const ProgramRun run = RunProgram(c);
            expect(c, run.code == 0, "exit " + std::to_string(run.code) + " although the answer came at 5000 ms");
            if (gExactTimes) {
              expect(c, near(run.endedMs, 5000), "ended at " + std::to_string(run.endedMs) + " ms, not with the answer");
              const auto& r = Reports();
              expect(c, r.empty() || (r.size() == 1 && r[0].id == 6 && r[0].ms == 5000), "unexpected reports");
            }
            End(c);
          }};
}

// A read error injected at a seeded time: whether it meets the query's
// read or the one posted after the answer depends on where the simulator
// queues it, so both outcomes are legal; the close must be clean either way.
dst::Scenario readErrorAroundTheAnswer() {
  return {"read error around the answer", [](dst::Context& c) {
            Begin(scenarioOf("answerDelayMs=2000"));
            const uint64_t at = Draw(c, 1, 3000);
            ProgramRun run{};
            WithFaults({{at, [] { Sim_InjectReadError(EIO); }}}, [&] { run = RunProgram(c); });
            expect(c, run.code == 0 || run.code == 1, "exit " + std::to_string(run.code));
            End(c);
          }};
}

// --- The link API, with repeated queries on one context -------------------------

// Queries until one ends otherwise than busy (3), as a client that retries
// may. The tries fall on whole multiples of `pauseMs`, so that with a pause
// that divides 5000 a try comes at the very instant a timeout is due.
int32_t queryRetrying(NfcMeContext* ctx, uint64_t pauseMs, uint64_t untilMs) {
  MeQueryInfo info{};
  for (;;) {
    const int32_t r = vxHECI_QueryInfo(ctx, &info);
    const uint64_t now = NowMs();
    if (r != 3 || now >= untilMs) return r;
    osal_sync::sleep_for(std::chrono::milliseconds((now / pauseMs + 1) * pauseMs - now));
  }
}

// A client of the link API over `scenario`: connects, runs `body` on the
// context and closes it; a client whose run must succeed has its output,
// the close's included, checked for failure lines.
template <typename Body>
dst::Scenario linkClient(const std::string& name, const std::string& scenario, Body body, bool clean = false) {
  return {name, [=](dst::Context& c) {
            Begin(scenarioOf(scenario));
            dst::SetThreadName("client");
            NfcMeContext* ctx = nullptr;
            expect(c, vxHECI_Connect(&ctx, nullptr) == 0, "connect failed");
            body(c, ctx);
            vxHECI_Close(ctx);
            if (clean) forbidFailureLines(c, c.Output());
            End(c);
          }};
}

// A query that failed on a read error leaves its request and timer running;
// the client retries while it is refused as busy. The retry that is
// committed once the old request has ended is answered, so it returns 0.
dst::Scenario retryAfterReadError(const std::string& name, uint64_t pauseMs) {
  return linkClient(name, "answerQueries=3-", [=](dst::Context& c, NfcMeContext* ctx) {
            const uint64_t at = Draw(c, 1, 4999);
            int32_t first = -1, last = -1;
            WithFaults({{at, [] { Sim_InjectReadError(EIO); }}}, [&] {
              MeQueryInfo info{};
              first = vxHECI_QueryInfo(ctx, &info);
              last = queryRetrying(ctx, pauseMs, 60000);
            });
            expect(c, first == 4, "the first query ended with " + std::to_string(first));
            expect(c, last == 0, "the retry ended with " + std::to_string(last) + " although its answer came");
            // The abandoned request ends as any unanswered one does, with
            // its own reports, and neither takes the retry's resend nor
            // its answer. (With the clock free, a dispatch thread slow to
            // act on the read error may fail the retry with it instead,
            // whose answer then finds it failed: the model allows that.)
            if (gExactTimes) {
              ExpectReports(c, {{6, 5000}, {6, 10000}, {3, 10000}});
              Forbid(c, c.Output(), "Unexpected NfcMeMaintenanceSubcommandVersionQuery");
            }
            Forbid(c, c.Output(), "resendFrame called but previous Send not ACK");
          });
}

// An NCI send response lands while the second query commits, whose write
// then fails. Whatever the order, the third query is not failed by what
// happened to the second.
dst::Scenario frameAndFailedWriteAroundACommit() {
  return linkClient("frame and failed write around a commit", "failWriteNumber=2",
                    [](dst::Context& c, NfcMeContext* ctx) {
            int32_t second = -1, third = -1;
            WithFaults({{100, [] { Sim_InjectFrame({0x04, 0x00, 0, 0, 0, 0}); }}}, [&] {
              MeQueryInfo info{};
              expect(c, vxHECI_QueryInfo(ctx, &info) == 0, "the first query failed");
              osal_sync::sleep_for(std::chrono::milliseconds(100));
              second = vxHECI_QueryInfo(ctx, &info);
              third = vxHECI_QueryInfo(ctx, &info);
            });
            expect(c, second == 4, "the second query ended with " + std::to_string(second));
            // 2: the failed write closed the link (the frame came before the
            // commit); 0: the frame had taken the request, the link stays.
            expect(c, third == 0 || third == 2, "the third query ended with " + std::to_string(third));
          });
}

// The first timeout's answer on the link API, with the resend unanswered.
dst::Scenario linkAnswerAtTheTimeout() {
  return linkClient("link: answer at the timeout, resend unanswered", "answerDelayMs=5000;answerQueries=1",
                    [](dst::Context& c, NfcMeContext* ctx) {
            MeQueryInfo info{};
            const int32_t r = vxHECI_QueryInfo(ctx, &info);
            expect(c, r == 0, "ended with " + std::to_string(r) + " although the answer came at 5000 ms");
            if (gExactTimes) expect(c, near(NowMs(), 5000), "ended at " + std::to_string(NowMs()) + " ms");
          });
}

// With reconnection on, a failed write of the query reconnects and resends;
// the query itself fails (its own write failed), and the read that the
// reconnect cut short must not fail the next query, which is answered.
dst::Scenario reconnectAndResend() {
  return linkClient("link: failed write, reconnect, next query", "failWriteNumber=2",
                    [](dst::Context& c, NfcMeContext* ctx) {
            MeQueryInfo info{};
            expect(c, vxHECI_QueryInfo(ctx, &info) == 0, "the first query failed");
            ctx->autoReconnect = 1;
            const int32_t second = vxHECI_QueryInfo(ctx, &info);
            expect(c, second == 4, "the query whose write failed ended with " + std::to_string(second));
            const int32_t third = queryRetrying(ctx, 100, 60000);
            expect(c, third == 0, "the next query ended with " + std::to_string(third) + " although it was answered");
          });
}

dst::Scenario repeatedQueries() {
  return linkClient("link: five answered queries on one context", "framesAfterAnswer=20 01 00 00 00 00",
                    [](dst::Context& c, NfcMeContext* ctx) {
                      for (int i = 0; i < 5; ++i) {
                        MeQueryInfo info{};
                        expect(c, vxHECI_QueryInfo(ctx, &info) == 0, "query " + std::to_string(i + 1) + " failed");
                      }
                    },
                    true);
}

// --- Generated plans -------------------------------------------------------------

// The generated plans get as many schedules as this many hand-written
// scenarios together: each of their schedules is a new plan as well.
constexpr uint32_t kGeneratedWeight = 100;

// The program's word follows from its link calls: a failed connect or
// query gives 1, an answered query 0 or 2 by the radio type it read.
void checkProgramFollowsItsQuery(dst::Context& c, int code) {
  int expected = 1;
  for (const Step& s : Record()) {
    if (s.kind == StepKind::CallEnd && s.call == LinkCall::Query && s.code == 0) {
      expected = s.record[12] == 2 || s.record[12] == 17 ? 0 : 2;
    }
  }
  c.Check(code == expected, "exit " + std::to_string(code) + " where its query says " + std::to_string(expected));
}

Fault environmentFault(const PlannedFault& f) {
  switch (f.kind) {
    case PlannedFault::Kind::MeReset: {
      const uint16_t id = f.eventId;
      return {f.atMs, [id] { MeiEventSource_Publish("MEI", id, 2); }};
    }
    case PlannedFault::Kind::ReadError:
      return {f.atMs, [] { Sim_InjectReadError(EIO); }};
    case PlannedFault::Kind::Frame: {
      const SimFrame frame = f.frame;
      return {f.atMs, [frame] { Sim_InjectFrame(frame); }};
    }
    case PlannedFault::Kind::DeviceGone:
      break;
  }
  return {f.atMs, [] { Sim_DeviceGone(); }};
}

// A client of the link API: its queries one after the other, each retried
// while the link refuses it as busy, then the close.
void runClient(const FaultPlan& plan) {
  dst::SetThreadName("client");
  NfcMeContext* ctx = nullptr;
  if (vxHECI_Connect(&ctx, nullptr) != 0) return;
  if (plan.autoReconnect) ctx->autoReconnect = 1;
  for (size_t q = 0; q < plan.pauseBeforeMs.size(); ++q) {
    if (plan.pauseBeforeMs[q] > 0) osal_sync::sleep_for(std::chrono::milliseconds(plan.pauseBeforeMs[q]));
    if (!plan.frameAtQuery[q].empty()) Sim_InjectFrame(plan.frameAtQuery[q]);
    queryRetrying(ctx, plan.retryPauseMs, NowMs() + 60000);
  }
  vxHECI_Close(ctx);
}

// One scenario whose every schedule draws a plan of its own from its seed:
// the client, the device's behaviour and the faults. What a run must show
// comes from the model, not from the plan.
dst::Scenario generatedPlans() {
  dst::Scenario s{"generated fault plans", [](dst::Context& c) {
            const FaultPlan plan = DrawPlan(c.options().seed);
            c.SetPlan(plan.text);
            Begin(plan.scenario);
            std::vector<Fault> faults;
            for (const PlannedFault& f : plan.environment) faults.push_back(environmentFault(f));
            WithFaults(faults, [&] {
              if (plan.program) {
                const ProgramRun run = RunProgram(c);
                checkProgramFollowsItsQuery(c, run.code);
              } else {
                runClient(plan);
              }
            });
            End(c);
          }};
  s.weight = kGeneratedWeight;
  return s;
}

std::vector<dst::Scenario> scenarios() {
  const std::vector<Report> none;
  const std::vector<Report> timedOut = {{6, 5000}, {6, 10000}, {3, 10000}};
  return {
      program("answer", "", 0, none, 0),
      program("radio type 17", "radioType=17", 0, none, 0),
      program("radio type 0", "radioType=0", 2, none, 0),
      program("no answer", "answerMode=none", 1, timedOut, 10000),
      program("answer only to the resend", "answerMode=resend", 0, {{6, 5000}}, 5000),
      program("answer at 4999 ms", "answerDelayMs=4999", 0, none, 4999),
      answerAtTheFirstTimeout("answer at 5000 ms", "answerDelayMs=5000"),
      answerAtTheFirstTimeout("answer at 5000 ms, resend unanswered", "answerDelayMs=5000;answerQueries=1"),
      program("answer at 5001 ms", "answerDelayMs=5001", 0, {{6, 5000}}, 5001),
      answerAtTheFinalTimeout(),
      program("read error", "answerMode=readerror", 1, none, 0),
      readErrorAroundTheAnswer(),
      program("frames before the answer",
              "framesBeforeAnswer=20 07 00 00 00 00;framesBeforeAnswer=05 00 00 00 03 00 61 62 63;"
              "framesBeforeAnswer=03 00 00 00 00 00;framesBeforeAnswer=10 00 00 00 00 00",
              0, none, 0),
      // No receive is posted after a frame too short to parse: the answer
      // behind it is read only once the resend posts one.
      program("short frame before the answer", "framesBeforeAnswer=01 02", 0, {{6, 5000}}, 5000),
      program("frame after the answer", "framesAfterAnswer=20 01 00 00 00 00", 0, none, 0),
      program("NCI send response takes the query", "framesBeforeAnswer=04 00 00 00 00 00", 1, none, 0),
      program("power response takes the query", "framesBeforeAnswer=11 00 00 00 00 00", 1, none, 0),
      program("frames on connect", "framesOnConnect=20 01 00 00 00 00;framesOnConnect=05 00 00 00 00 00", 0,
              none, 0),
      program("no device", "devicePresent=false", 1, {{2, 2000}}, 2000),
      program("connect refused", "connectFails=true;connectErrno=ENOTTY", 1, {{2, 2000}}, 2000),
      program("three opens fail", "failFirstOpens=3", 0, none, 600),
      program("device gone during the query", "answerMode=gone", 1, none, 0),
      program("writes stall", "stallWrites=true", 1, none, 500),
      program("first write fails", "failWriteNumber=1", 1, none, 0),
      program("resend fails", "answerMode=none;failWriteNumber=2", 1, {{6, 5000}}, 5000),
      programWithReset("ME reset during the query", "answerDelayMs=3000", 1, 0, 4000, 0),
      programWithReset("ME reset (ID 4) with the resend", "answerMode=resend", 4, 0, 6000, 0),
      programWithReset("ME reset during connect", "failFirstOpens=2", 1, 0, 500, 0),
      programWithReset("ME reset during close", "framesAfterAnswer=20 01 00 00 00 00", 1, 0, 2, 0),
      retryAfterReadError("link: retries after a read error", 500),
      retryAfterReadError("link: fast retries after a read error", 125),
      frameAndFailedWriteAroundACommit(),
      linkAnswerAtTheTimeout(),
      reconnectAndResend(),
      repeatedQueries(),
  };
}

// The hand-written scenarios and the generated plans.
std::vector<dst::Scenario> allScenarios() {
  std::vector<dst::Scenario> all = scenarios();
  all.push_back(generatedPlans());
  return all;
}

// Schedules that failed before the races they found were mended: each
// replays on the current code and must pass. (A seed gives the same
// schedule only on the same code; these keep the situations that once
// failed in every run.)
struct Regression {
  const char* race;
  bool clock;
  const char* scenario;
  const char* strategy;
  const char* seed;
};
constexpr Regression kRegressions[] = {
    {"C1", false, "frame after the answer", "random", "0x5160837b70efeaf8"},
    {"C1", false, "link: five answered queries on one context", "random", "0x3fdb60dea2a4962d"},
    {"S1/S2", false, "link: retries after a read error", "random", "0x233db6695b3ccf1d"},
    {"S1/S2", true, "link: retries after a read error", "random", "0xd47d33257d3c140f"},
    {"S4", false, "frame and failed write around a commit", "random", "0x5510c75d9d052941"},
    {"B2", false, "answer at 5000 ms", "random", "0x4e25835b49528918"},
    {"B2", false, "link: answer at the timeout, resend unanswered", "random", "0xe8e2b00a4ae7430f"},
    {"H", true, "resend fails", "pct:3:108", "0x7e02491835bb624e"},
    {"H2", true, "writes stall", "pct:3:75", "0x6d11a4cf18b52d11"},
    {"R4", false, "link: failed write, reconnect, next query", "pct:3:243", "0xa5c17f9e6672e4fd"},
    // Found by the generated plans: an answer and a read error queued behind
    // it, the read error turning the answer into a failure; a read error
    // and an answer behind it, the answer turning the failure into success.
    {"F2", false, "generated fault plans", "sticky", "0x3576276b91450256"},
    {"F2", true, "generated fault plans", "sticky", "0x3576276b91450256"},
    {"F2", false, "generated fault plans", "pct:3:327", "0xe2fee0b57176ff01"},
    {"F2", true, "generated fault plans", "pct:3:475", "0xba83649b0be2089d"},
    // A take stopped the send timer after releasing `lock`: the stop disarmed
    // the next request's timer (a query that waits for ever), or came before
    // its own request's arming, which then fired into the next request.
    {"F1", false, "generated fault plans", "sticky", "0x0e3cb54171b31086"},
    {"F1", true, "generated fault plans", "sticky", "0x0ccfc181817dd2b2"},
    {"F1", false, "generated fault plans", "random", "0xa444e9a6c8ddbf68"},
    // A failed resend reconnected and then resent whatever was pending by
    // then: the next query, committed meanwhile, lost its own resend.
    {"R5", false, "generated fault plans", "sticky", "0xa6d853ee9cb2978a"},
    {"R5", false, "generated fault plans", "sticky", "0x16116a3dd39bbaa9"},
    // A failed resend closed the core from the timeout handler, joining the
    // dispatch thread while it waited for the timer's lock to re-arm it.
    {"D1", true, "generated fault plans", "sticky", "0xb97b45e947b771d7"},
    // The resend of a request that an answer had taken failed while the
    // next query's request was pending, and the failure took that one.
    {"W1", false, "generated fault plans", "sticky", "0x3d4b043fa71aae7f"},
    {"W1", false, "generated fault plans", "random", "0xe996155a9863fe8e"},
    // A reconnection with a larger maximum message length freed the receive
    // buffer while the core still had it posted (shows under ASan).
    {"G1", false, "generated fault plans", "pct:3:294", "0xd729ac5714c759a9"},
    // After that reconnection the dispatcher posted the old, smaller buffer
    // again, which the core refused: reception stopped until the next send.
    {"G2", true, "generated fault plans", "random", "0x8cc5b7af3c428841"},
    {"G2", false, "generated fault plans", "sticky", "0x54370deed0cbb0d5"},
    // Found once the atomics were scheduling points: a post refused between
    // the buffer's preparation and a reconnection's new length, and a
    // re-arm of a request whose caller had committed its next one.
    {"G3", false, "generated fault plans", "sticky", "0x55aa2fe1b06c58c1"},
    {"G3", true, "generated fault plans", "random", "0x8397cefac4030dde"},
    {"A1", false, "generated fault plans", "pct:3:423", "0x9028b8cbd5e6bc16"},
};

// Each in a child process, as the exploration runs its schedules: a crash
// or a hang fails its own line, which says how to replay it.
int replayRegressions() {
  const std::vector<dst::Scenario> all = allScenarios();
  int failed = 0;
  for (const Regression& r : kRegressions) {
    const auto s = std::find_if(all.begin(), all.end(), [&](const dst::Scenario& x) { return x.name == r.scenario; });
    dst::Options o;
    o.clockProbability = r.clock ? 0.01 : 0.0;
    dst::SeedOptions(o, std::strtoull(r.seed, nullptr, 0));
    gExactTimes = !r.clock;
    SetExactTimes(gExactTimes);
    std::string broken = "no such scenario";
    if (s != all.end() && dst::ParseStrategy(r.strategy, o)) broken = dst::RunInChild(*s, o);
    std::printf("regression %s (%s): %s\n  replay: NFC_DST_CLOCK=%d NFC_DST_CASE='%s' NFC_DST_STRATEGY=%s "
                "NFC_DST_SEED=%s\n",
                r.race, r.scenario, broken.empty() ? "passed" : ("FAILED: " + broken.substr(0, broken.find('\n'))).c_str(),
                r.clock ? 1 : 0, r.scenario, r.strategy, r.seed);
    failed += broken.empty() ? 0 : 1;
  }
  std::printf("%d passed, %d failed\n", static_cast<int>(std::size(kRegressions)) - failed, failed);
  return failed == 0 ? 0 : 1;
}

}  // namespace

int main() {
  if (const char* r = std::getenv("NFC_DST_REGRESSIONS"); r != nullptr && r[0] == '1') {
    return replayRegressions();
  }
  // NFC_DST_CLOCK=0|1 picks one exploration (and is how a replay line of
  // the second one must be run); by default both run.
  const char* clock = std::getenv("NFC_DST_CLOCK");
  bool failed = false;
  for (const bool exact : {true, false}) {
    if (clock != nullptr && (clock[0] == '1') == exact) continue;
    gExactTimes = exact;
    SetExactTimes(exact);
    dst::ExploreOptions options;
    // 35 scenarios x 1500 schedules and the generated plans x 150,000 in
    // each exploration: 405,000 in all.
    options.schedulesPerScenario = 1500;
    options.timeBudgetSeconds = 280;
    options.clockProbability = exact ? 0.0 : 0.01;
    options.replayEnvironment = exact ? "NFC_DST_CLOCK=0" : "NFC_DST_CLOCK=1";
    std::printf("dst: %s\n", exact ? "time passes only when every thread waits (NFC_DST_CLOCK=0)"
                                    : "the clock may overtake a running thread (NFC_DST_CLOCK=1)");
    std::fflush(stdout);
    const dst::ExploreReport report = dst::Explore(allScenarios(), options);
    failed = failed || !report.failures.empty();
  }
  return failed ? 1 : 0;
}
