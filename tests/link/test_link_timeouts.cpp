// The send timeout and the single resend, against the firmware simulator.
// Each scenario runs for up to ten seconds of real time.
#include <thread>

#include "LinkTestSupport.h"

using namespace linktest;

namespace {

// A timed wait never ends early, so earliness is bounded on every clock. On a
// real one a wait may end late by any amount on a loaded machine, in Wine or
// in an emulator; the fault lateness would show is the next send timeout, so
// that is the bound there, and the tight one holds in virtual time.
constexpr long long kEarly = 500;
constexpr long long kLate = latestMs(100, 4999);

void expectAbout(long long ms, long long expected) {
  EXPECT_GE(ms, expected - kEarly);
  EXPECT_LE(ms, expected + kLate);
}

long long between(SimClock::time_point a, SimClock::time_point b) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count();
}

}  // namespace

TEST(LinkTimeout, NoAnswerResendsOnceThenFailsAndDropsALateAnswer) {
  QueryOnce q(with<SimScenario>([](auto& s) { s.answerMode = ANSWER_NONE; }));
  EXPECT_EQ(q.result, 4);
  std::string log = q.out.take();
  expectAbout(q.ms, 10000);

  const auto writes = Sim_Writes();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].bytes, kVersionQuery);
  EXPECT_EQ(writes[1].bytes, kVersionQuery);
  expectAbout(between(writes[0].when, writes[1].when), 5000);
  const auto events = q.reports.all();
  ASSERT_EQ(q.reports.ids(), (std::vector<uint32_t>{6, 6, 3}));
  expectAbout(between(q.start, events[0].when), 5000);
  expectAbout(between(q.start, events[2].when), 10000);
  EXPECT_NE(log.find("ERROR   : HECI Send command timeouts.\n"), std::string::npos);
  EXPECT_LT(log.find("ERROR   : HECI Send command timeouts.\n"), log.find("ERROR   : Send HCI frame failed.\n"));
  EXPECT_EQ(recordBytes(q.info), recordBytes(freshInfo()));
  EXPECT_EQ(q.link.ctx->meRequest.load(), MeRequestNone);
  EXPECT_EQ(q.link.ctx->sendPending, 0);

  // The answer comes too late: dropped, and the next receive is posted.
  const uint32_t delivered = Sim_GetStats().framesDelivered;
  Output late;
  Sim_InjectFrame(versionAnswer());
  Sim_InjectFrame({0x20, 0x01, 0, 0, 0, 0});
  ASSERT_TRUE(Sim_WaitFor([&](const SimStats& st) { return st.framesDelivered == delivered + 2; }, testsupport::kPatienceMs));
  osal_sync::sleep_for(std::chrono::milliseconds(500));  // let the dispatcher log
  log = late.take();
  EXPECT_EQ(log, "LOG     : FIXME : Receive Message integrity checks : for command 20 , with status 1\n");
  EXPECT_EQ(recordBytes(q.info), recordBytes(freshInfo()));
}

TEST(LinkTimeout, AnswerToTheResendIsTakenIn) {
  QueryOnce q(with<SimScenario>([](auto& s) { s.answerMode = ANSWER_RESEND; }));
  EXPECT_EQ(q.result, 0);
  q.out.take();
  expectAbout(q.ms, 5000);
  EXPECT_EQ(q.info.radioType, 2);
  EXPECT_EQ(Sim_GetStats().writes, 2u);
  EXPECT_EQ(q.reports.ids(), std::vector<uint32_t>{6});
  EXPECT_EQ(q.link.ctx->sendPending, 0);
}

TEST(LinkTimeout, TimerOfAQueryFailedByAReadErrorRunsOutHarmlessly) {
  QueryOnce q(with<SimScenario>([](auto& s) { s.answerMode = ANSWER_READERROR; }));
  EXPECT_EQ(q.result, 4);
  EXPECT_LT(q.ms, latestMs(2000, 5000));
  // The request keeps its timer: one resend, then the final reports, with
  // nobody left to wake.
  ASSERT_TRUE(Sim_WaitFor([&](const SimStats&) { return q.reports.ids().size() == 3; }, 15000));
  q.out.take();
  EXPECT_EQ(q.reports.ids(), (std::vector<uint32_t>{6, 6, 3}));
  EXPECT_EQ(Sim_GetStats().writes, 2u);
  EXPECT_EQ(recordBytes(q.info), recordBytes(freshInfo()));
  EXPECT_EQ(q.link.ctx->sendPending, 0);
}

TEST(LinkTimeout, AnswerWithinTheTimeoutStopsTheTimer) {
  QueryOnce q(with<SimScenario>([](auto& s) { s.answerDelayMs = 1000; }));
  EXPECT_GE(q.ms, 1000 - kEarly);
  // Past the first timeout, with room for a late timer thread.
  osal_sync::sleep_until(q.start + std::chrono::milliseconds(5000 + kLate));
  EXPECT_EQ(q.out.take(), "");
  EXPECT_EQ(q.result, 0);
  EXPECT_EQ(Sim_GetStats().writes, 1u) << "nothing was resent";
  EXPECT_TRUE(q.reports.ids().empty());
  EXPECT_EQ(pendingFlag(q.link.ctx), 0);
}

// A query failed by a read error keeps its timer, which resends it. When the
// device answers that resend, nobody waits for the answer any more: it is
// logged as unexpected, and the request must not stay pending without a
// timer, or every later query of the context would be refused with 3.
TEST(LinkTimeout, AnsweredResendOfAQueryFailedByAReadErrorLeavesTheContextUsable) {
  SimScenario s;
  s.answerMode = ANSWER_RESEND;
  Link link(s);
  Reports reports;
  Sim_InjectReadError(EIO);  // the query's receive reads this
  MeQueryInfo info = freshInfo();
  const auto start = SimClock::now();
  Output out;
  const int32_t failed = vxHECI_QueryInfo(link.ctx, &info);
  const auto failedAfter = msSince(start);
  const bool answered =
      Sim_WaitFor([](const SimStats& st) { return st.answers == 1 && st.framesDelivered == 1; }, 5000 + kLate + 1000);
  const auto answeredAfter = msSince(start);
  osal_sync::sleep_for(std::chrono::milliseconds(300));  // let the dispatcher log
  const std::string log = out.take();
  EXPECT_EQ(failed, 4);
  EXPECT_LT(failedAfter, latestMs(2000, 5000));
  EXPECT_EQ(link.ctx->meQueryInfo.load(), nullptr);
  EXPECT_EQ(link.ctx->meRequest.load(), MeRequestNone);
  ASSERT_TRUE(answered) << log;
  expectAbout(answeredAfter, 5000);
  const size_t readError = log.find("WARNING : NfcMeIfReceiveComplete Read error => Handled.\n");
  const size_t timeout = log.find("ERROR   : HECI Send command timeouts.\n");
  const size_t unexpected = log.find("ERROR   : Unexpected NfcMeMaintenanceSubcommandVersionQuery command received\n");
  ASSERT_NE(readError, std::string::npos) << log;
  ASSERT_NE(timeout, std::string::npos) << log;
  ASSERT_NE(unexpected, std::string::npos) << log;
  EXPECT_LT(readError, timeout);
  EXPECT_LT(timeout, unexpected);
  EXPECT_EQ(reports.ids(), std::vector<uint32_t>{6});
  EXPECT_EQ(Sim_GetStats().writes, 2u);
  EXPECT_EQ(recordBytes(info), recordBytes(freshInfo()));
  EXPECT_EQ(pendingFlag(link.ctx), 0) << "nothing is left pending";

  Output next;
  info = freshInfo();
  const int32_t again = vxHECI_QueryInfo(link.ctx, &info);
  EXPECT_EQ(next.take(), "");
  EXPECT_EQ(again, 0) << "3: refused, the answered resend left a request pending";
  EXPECT_EQ(info.radioType, 2);
  EXPECT_EQ(reports.ids(), std::vector<uint32_t>{6});
}
