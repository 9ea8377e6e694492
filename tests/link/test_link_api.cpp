// Scenarios through the link API against the firmware simulator: the ones
// that end within about two seconds.
#include <atomic>
#include <functional>
#include <thread>

#include "HECICore.h"
#include "LinkTestSupport.h"
#include "Mutex.h"
#include "WaiterNotifier.h"

using namespace linktest;

namespace {

SimScenario noAnswerWith(std::initializer_list<SimFrame> before) {
  SimScenario s;
  s.answerMode = ANSWER_NONE;
  s.framesBeforeAnswer = SimFrames(before);
  return s;
}

// Runs a version query on a thread of its own while this thread holds the
// HECI core's send gate: the query then stops after it has committed its
// request and said that it waits for it, right before its write, and
// `meanwhile` runs in that moment. A query that would sleep
// forever is woken by hand after `boundMs` and answers -1 (-2: it never
// committed), so that the suite goes on. Nothing is asserted here: the
// callers capture the output, which would swallow the messages.
int32_t queryPausedAfterCommit(NfcMeContext* ctx, MeQueryInfo* info, const std::function<void()>& meanwhile,
                               long long boundMs = 7000) {
  std::atomic<int32_t> result{-1};
  Mutex* sendGate = ctx->heci.load()->sendGate;
  Mutex_Lock(sendGate);
  osal_sync::Thread query([&] { result = vxHECI_QueryInfo(ctx, info); });
  const bool committed = waitUntil([&] { return pendingFlag(ctx) == 1; }, testsupport::kPatienceMs);
  if (committed) meanwhile();
  Mutex_Unlock(sendGate);
  const bool ended = waitUntil([&] { return result.load() != -1; }, boundMs);
  if (!ended) WaiterNotifier_Notify(ctx->waiter);
  query.join();
  return !committed ? -2 : ended ? result.load() : -1;
}

// Leaves the connection with a receive posted, as after any answered query.
void answerOneQuery(NfcMeContext* ctx) {
  MeQueryInfo info = freshInfo();
  ASSERT_EQ(vxHECI_QueryInfo(ctx, &info), 0);
  ASSERT_TRUE(Sim_WaitFor([](const SimStats& st) { return st.readsWaiting == 1; }, testsupport::kPatienceMs));
}

// Injects a frame that takes the pending request, and waits until it has.
bool takeWith(NfcMeContext* ctx, const SimFrame& frame) {
  Sim_InjectFrame(frame);
  return waitUntil([&] { return pendingFlag(ctx) == 0; }, testsupport::kPatienceMs);
}

}  // namespace

TEST(LinkApi, VersionQueryFillsTheRecordAndLeavesTheContextIdle) {
  SimScenario s;
  for (uint8_t i = 0; i < 13; ++i) s.record[i] = static_cast<uint8_t>(0x40 + i);
  s.radioType = -1;
  Link link(s);
  NfcMeContext* ctx = link.ctx;
  ASSERT_NE(ctx, nullptr);
  EXPECT_NE(ctx->heci.load(), nullptr);
  EXPECT_NE(ctx->osEvent, nullptr);
  EXPECT_EQ(ctx->recvBuffer, nullptr);
  EXPECT_EQ(ctx->sendBuffer->length, 0u);
  EXPECT_EQ(ctx->pendingData->length, 0u);
  EXPECT_EQ(ctx->sendPending, 0);
  EXPECT_EQ(ctx->resendCount.load(), 0);
  EXPECT_EQ(ctx->meRequest.load(), MeRequestNone);
  EXPECT_EQ(ctx->meQueryInfo.load(), nullptr);
  EXPECT_EQ(ctx->statusCallback, nullptr);
  EXPECT_EQ(ctx->dataCallback, nullptr);
  EXPECT_EQ(ctx->userData, &link);

  for (int round = 0; round < 2; ++round) {
    MeQueryInfo info = freshInfo();
    Output out;
    EXPECT_EQ(vxHECI_QueryInfo(ctx, &info), 0);
    EXPECT_EQ(out.take(), "");
    EXPECT_EQ(recordBytes(info), (std::vector<uint8_t>{0x40, 0x41, 0x42, 0xEE, 0xEE, 0xEE, 0x46, 0x47,
                                                       0x48, 0x49, 0x4A, 0x4B, 0x4C}));
    EXPECT_EQ(ctx->meQueryInfo.load(), nullptr);
    EXPECT_EQ(ctx->meRequest.load(), MeRequestNone);
    EXPECT_EQ(ctx->sendPending, 0);
  }
  const auto writes = Sim_Writes();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].bytes, kVersionQuery);
  EXPECT_EQ(writes[1].bytes, kVersionQuery);
  EXPECT_EQ(ctx->recvBufferSize, 512u);
}

TEST(LinkApi, ArgumentErrorsAreQuiet) {
  Link link;
  MeQueryInfo info = freshInfo();
  Output out;
  EXPECT_EQ(vxHECI_QueryInfo(link.ctx, nullptr), 2);
  EXPECT_EQ(vxHECI_QueryInfo(nullptr, &info), 2);
  EXPECT_EQ(vxHECI_Close(nullptr), 0);
  EXPECT_EQ(out.take(), "");
  EXPECT_EQ(Sim_GetStats().writes, 0u);
}

TEST(LinkApi, SecondQueryWhileTheFirstWaitsIsRefused) {
  Link link(with<SimScenario>([](auto& s) { s.answerDelayMs = 800; }));
  MeQueryInfo first = freshInfo();
  int32_t firstResult = -1;
  osal_sync::Thread waiter([&] { firstResult = vxHECI_QueryInfo(link.ctx, &first); });
  ASSERT_TRUE(Sim_WaitForWrites(1, testsupport::kPatienceMs));
  MeQueryInfo second = freshInfo();
  Output out;
  EXPECT_EQ(vxHECI_QueryInfo(link.ctx, &second), 3);
  EXPECT_EQ(out.take(), "ERROR   : ERROR : vxHECI_QueryInfo called but previous Send not ACK.\n");
  waiter.join();
  EXPECT_EQ(firstResult, 0);
  EXPECT_EQ(first.radioType, 2);
  EXPECT_EQ(recordBytes(second), recordBytes(freshInfo()));
  EXPECT_EQ(Sim_GetStats().writes, 1u);
}

TEST(LinkApi, FailedWriteClosesTheConnectionAndFailsAtOnce) {
  QueryOnce q(with<SimScenario>([](auto& s) { s.failWriteNumber = 1; }));
  EXPECT_EQ(q.result, 4);
  const std::string log = q.out.take();
  EXPECT_LT(q.ms, latestMs(2000, 5000));  // not after a send timeout
  EXPECT_EQ(count(log, "ERROR   : HECISendMessage failed in vxHECI_QueryInfo!\n"), 1u) << log;
  NfcMeContext* ctx = q.link.ctx;
  EXPECT_EQ(ctx->heci.load(), nullptr);
  EXPECT_EQ(ctx->sendPending, 0);
  EXPECT_EQ(ctx->meQueryInfo.load(), nullptr);
  EXPECT_EQ(ctx->meRequest.load(), MeRequestNone);
  EXPECT_EQ(vxHECI_QueryInfo(ctx, &q.info), 2);
  EXPECT_EQ(recordBytes(q.info), recordBytes(freshInfo()));
  EXPECT_TRUE(q.reports.ids().empty());
}

// With autoReconnect the send-complete handler reconnects and resends, but
// the query still reports its failed write at once; the resend's answer
// finds nothing pending and is dropped, and the context stays usable.
TEST(LinkApi, FailedWriteWithAutoReconnectResendsButFailsAtOnce) {
  Link link(with<SimScenario>([](auto& s) { s.failWriteNumber = 1; }));
  link.ctx->autoReconnect = 1;
  MeQueryInfo info = freshInfo();
  Output out;
  const int32_t result = vxHECI_QueryInfo(link.ctx, &info);
  const bool answered = Sim_WaitFor([](const SimStats& st) { return st.framesDelivered == 1; }, testsupport::kPatienceMs);
  const std::string log = out.take();
  EXPECT_EQ(result, 4);
  ASSERT_TRUE(answered) << "the resend is answered";
  EXPECT_EQ(count(log, "ERROR   : HECISendMessage failed in vxHECI_QueryInfo!\n"), 1u);
  EXPECT_NE(link.ctx->heci.load(), nullptr);
  EXPECT_EQ(Sim_GetStats().writes, 2u);
  EXPECT_EQ(pendingFlag(link.ctx), 0);
  EXPECT_EQ(link.ctx->meQueryInfo.load(), nullptr);
  EXPECT_EQ(link.ctx->meRequest.load(), MeRequestNone);
  info = freshInfo();
  EXPECT_EQ(vxHECI_QueryInfo(link.ctx, &info), 0);
  EXPECT_EQ(info.radioType, 2);
}

// A frame that takes the request between its commit and its send (here an
// NCI send response) must fail it: the request kind is committed together
// with sendPending. Otherwise the frame neither fails nor re-arms it, the
// real answer is dropped and the caller sleeps forever.
TEST(LinkApi, FrameTakingTheRequestRightAfterItsCommitFailsIt) {
  const std::vector<SimFrame> frames = {
      {0x04, 0x00, 0, 0, 0, 0},                       // NCI send response
      {0x11, 0x00, 0, 0, 0, 0},                       // power response
      {0x12, 0x81, 0, 0, 0, 0},                       // download pin state
      {0x00, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0x02, 0x00},  // maintenance sub-command 2
  };
  for (const auto& frame : frames) {
    SCOPED_TRACE(testing::PrintToString(frame));
    Link link;
    answerOneQuery(link.ctx);
    MeQueryInfo info = freshInfo();
    bool taken = false;
    Output out;
    const int32_t result = queryPausedAfterCommit(link.ctx, &info, [&] { taken = takeWith(link.ctx, frame); });
    out.take();
    EXPECT_TRUE(taken) << "the frame took the request";
    EXPECT_EQ(result, 4) << "-1: the query sleeps forever";
    EXPECT_EQ(recordBytes(info), recordBytes(freshInfo()));
    EXPECT_EQ(link.ctx->meQueryInfo.load(), nullptr);
    EXPECT_EQ(link.ctx->meRequest.load(), MeRequestNone);
    info = freshInfo();
    EXPECT_EQ(vxHECI_QueryInfo(link.ctx, &info), 0) << "the context is usable again";
  }
}

// A failed write returns 4 at once, also when the send-complete handler
// finds the request already taken by someone else and notifies nobody.
TEST(LinkApi, FailedWriteOfARequestAlreadyTakenReturnsAtOnce) {
  Link link(with<SimScenario>([](auto& s) { s.failWriteNumber = 2; }));
  answerOneQuery(link.ctx);
  MeQueryInfo info = freshInfo();
  bool taken = false;
  Output out;
  const int32_t result =
      queryPausedAfterCommit(link.ctx, &info, [&] { taken = takeWith(link.ctx, {0x04, 0x00, 0, 0, 0, 0}); });
  const std::string log = out.take();
  EXPECT_TRUE(taken) << "the frame took the request";
  EXPECT_EQ(result, 4) << "-1: the query sleeps forever";
  EXPECT_EQ(count(log, "ERROR   : HECISendMessage failed in vxHECI_QueryInfo!\n"), 1u) << log;
  EXPECT_EQ(Sim_GetStats().failedWrites, 1u);
  EXPECT_EQ(pendingFlag(link.ctx), 0);
  EXPECT_EQ(link.ctx->meQueryInfo.load(), nullptr);
  EXPECT_EQ(link.ctx->meRequest.load(), MeRequestNone);
  info = freshInfo();
  EXPECT_EQ(vxHECI_QueryInfo(link.ctx, &info), 0) << "the context is usable again";
}

TEST(LinkApi, UnsolicitedFramesAroundTheAnswer) {
  SimScenario s;
  s.framesBeforeAnswer = SimFrames({{0x20, 0x07, 0, 0, 0, 0},
                                    {0x05, 0, 0, 0, 3, 0, 'a', 'b', 'c'},
                                    {0x05, 0, 0, 0, 4, 0, 'd', 'e', 'f', 'g'},
                                    {0x13, 0x00, 0, 0, 0, 0},  // not the query's answer: taken, then rearmed
                                    {0x7E, 0, 0, 0, 0, 0}});    // unknown: ignored
  s.framesAfterAnswer = SimFrames({{0x05, 0x00, 0x01, 0x00, 0x01}});  // 5 bytes: dropped, no new receive
  QueryOnce q(s);
  EXPECT_EQ(q.result, 0);
  ASSERT_TRUE(Sim_WaitFor([](const SimStats& st) { return st.framesDelivered == 7; }, testsupport::kPatienceMs));
  // No receive is posted after the short frame: an injected frame stays
  // unread. The pause also lets the dispatcher finish logging.
  Sim_InjectFrame({0x20, 0x01, 0, 0, 0, 0});
  osal_sync::sleep_for(std::chrono::milliseconds(500));
  const std::string log = q.out.take();
  EXPECT_EQ(Sim_GetStats().framesDelivered, 7u);
  EXPECT_EQ(q.info.radioType, 2);
  EXPECT_EQ(count(log, "LOG     : FIXME : Receive Message integrity checks : for command 20 , with status 7\n"), 1u);
  EXPECT_EQ(count(log, "ERROR   : Unexpected NfcMeCommandDownloadPinStateResp command received\n"), 1u);
  EXPECT_NE(log.find("ERROR   : Invalid received answer, this frame is drop. Content :\n"
                     "LOG     : 05 00 01 00 01 ....."),
            std::string::npos)
      << log;
  ByteBuffer* pending = q.link.ctx->pendingData;
  ASSERT_EQ(pending->length, 7u);
  EXPECT_EQ(pending->position, 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(pending->data), 7), "abcdefg");
}

// Answers that take the pending version query without settling it fail it
// at once instead of leaving the caller asleep.
TEST(LinkApi, AnswersThatDoNotSettleTheQueryFailItAtOnce) {
  const std::vector<SimFrame> answers = {
      {0x00, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0x02, 0x00},  // maintenance sub-command 2
      {0x04, 0x00, 0, 0, 0, 0},                       // NCI send response: success
      {0x04, 0x01, 0, 0, 0, 0},                       //   failure
      {0x04, 0x10, 0, 0, 0, 0},                       //   firmware ownership
      {0x04, 0x33, 0, 0, 0, 0},                       //   unhandled status
      {0x11, 0x00, 0, 0, 0, 0},                       // power response, no power request
      {0x12, 0x81, 0, 0, 0, 0},                       // download pin state, not requested
  };
  for (const auto& answer : answers) {
    SCOPED_TRACE(testing::PrintToString(answer));
    QueryOnce q(noAnswerWith({answer}));
    EXPECT_EQ(q.result, 4);
    q.out.take();
    EXPECT_LT(q.ms, latestMs(2000, 5000));  // not after a send timeout
    EXPECT_EQ(q.link.ctx->sendPending, 0);
    EXPECT_EQ(q.link.ctx->meQueryInfo.load(), nullptr);
    EXPECT_EQ(q.link.ctx->meRequest.load(), MeRequestNone);
    EXPECT_EQ(recordBytes(q.info), recordBytes(freshInfo()));
    EXPECT_TRUE(q.reports.ids().empty());
    EXPECT_EQ(Sim_GetStats().writes, 1u);
  }
}

TEST(LinkApi, QueryWithoutAWaiterFailsUnsent) {
  Link link;
  WaiterNotifier_Delete(link.ctx->waiter);
  link.ctx->waiter = nullptr;  // as when WaiterNotifier_Create failed
  MeQueryInfo info = freshInfo();
  Output out;
  EXPECT_EQ(vxHECI_QueryInfo(link.ctx, &info), 4);
  EXPECT_EQ(out.take(), "ERROR   : vxHECI_QueryInfo WaiterNotifier_Lock returns FAILED\n");
  EXPECT_EQ(link.ctx->sendPending, 0);
  EXPECT_EQ(Sim_GetStats().writes, 0u);
}

TEST(LinkConnect, NoDeviceMakesTenAttemptsAndOneReport) {
  SimScenario s;
  s.devicePresent = false;
  Sim_Configure(s);
  Reports reports;
  NfcMeContext* ctx = reinterpret_cast<NfcMeContext*>(&s);
  const auto start = SimClock::now();
  Output out;
  EXPECT_EQ(vxHECI_Connect(&ctx, nullptr), 4);
  const std::string log = out.take();
  const auto elapsed = msSince(start);
  EXPECT_EQ(ctx, nullptr);
  EXPECT_GE(elapsed, 1900);
  // Ten pauses of 200 ms; pauses of a wrong length would take seconds more.
  EXPECT_LT(elapsed, latestMs(2500, 15000));
  EXPECT_EQ(count(log, "WARNING : HECI Connection failed HECIStatus : 2.\n"
                       "WARNING : handleInternalRetryConnection sleep for  : 200 ms\n"),
            10u)
      << log;
  EXPECT_EQ(count(log, "ERROR   : Connection with HECI failed, is HECI driver alive ?\n"), 1u);
  EXPECT_EQ(reports.ids(), std::vector<uint32_t>{2});
  EXPECT_EQ(Sim_GetStats().openConnections, 0u);
}

TEST(LinkConnect, DeviceThatFailsThreeTimesConnectsAfterThreePauses) {
  SimScenario s;
  s.failFirstOpens = 3;
  Sim_Configure(s);
  NfcMeContext* ctx = nullptr;
  const auto start = SimClock::now();
  Output out;
  ASSERT_EQ(vxHECI_Connect(&ctx, &s), 0);
  const std::string log = out.take();
  const auto elapsed = msSince(start);
  EXPECT_GE(elapsed, 550);
  EXPECT_LT(elapsed, latestMs(900, 10000));
  EXPECT_EQ(count(log, "WARNING : handleInternalRetryConnection sleep for  : 200 ms\n"), 3u);
  EXPECT_EQ(count(log, "WARNING : HECI Connection failed HECIStatus : "), 3u);
  HECICore* heci = ctx->heci;
  ASSERT_NE(heci, nullptr);
  EXPECT_EQ(heci->userData, ctx);
  EXPECT_EQ(heci->receiveCallback, &NfcMeIfReceiveComplete);
  EXPECT_EQ(heci->sendCallback, &NfcMeIfSendComplete);
  EXPECT_EQ(ctx->userData, &s);
  EXPECT_EQ(ctx->retrySleepMs, 200u);
  vxHECI_Close(ctx);
  EXPECT_EQ(Sim_GetStats().openConnections, 0u);
}
