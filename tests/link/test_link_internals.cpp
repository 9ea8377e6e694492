// The race operations and the receive dispatcher, driven directly on a
// connected context with no request of the API in flight.
#include <atomic>
#include <thread>

#include "HECICore.h"
#include "LinkTestSupport.h"
#include "Mutex.h"
#include "WaiterNotifier.h"

using namespace linktest;

namespace {

std::vector<std::vector<int32_t>> gDataCalls;  // status, length, first byte
void onData(void*, int32_t status, uint8_t* data, uint32_t length) {
  gDataCalls.push_back({status, static_cast<int32_t>(length), data != nullptr && length > 0 ? data[0] : -1});
}

class Dispatcher : public testing::Test {
 protected:
  void SetUp() override {
    gDataCalls.clear();
    ctx->dataCallback = onData;
    recvBufferPrepare(ctx);  // as after a first send, so re-posts are accepted
  }
  void TearDown() override {
    ctx->sendPending = 0;
    ctx->meRequest = MeRequestNone;
  }
  // Feeds a frame as the dispatch thread would, from an exact-size heap copy
  // so that a read past its end is caught by the sanitizers.
  std::string feed(const SimFrame& frame) {
    std::vector<uint8_t> copy(frame);
    Output out;
    NfcMeIfReceiveComplete(ctx, 0, copy.data(), static_cast<uint32_t>(copy.size()));
    return out.take();
  }
  void pend(int32_t request) {
    ctx->sendPending = 1;
    ctx->meRequest = request;
  }
  Link link;
  NfcMeContext* ctx = link.ctx;
};

}  // namespace

TEST_F(Dispatcher, InternalStateErrorsNameTheSourceAndLine) {
  const std::string src = "ERROR   : ..\\src\\port\\intel\\vxHECICommunicationLayer ";
  ctx->sendPending = 2;
  Output out;
  EXPECT_FALSE(handleAnswerInTimeoutCallback(ctx));
  EXPECT_EQ(ctx->sendPending, 2);
  EXPECT_FALSE(handleTimeoutInCallBack(ctx));
  EXPECT_FALSE(cancelTimerRequest(ctx));
  EXPECT_EQ(out.take(), src + "handleAnswerInTimeoutCallback l.374 :This case should never happened\n" + src +
                            "handleTimeoutInCallBack l.417 :This case should never happened\n" + src +
                            "cancelTimerRequest l.455 :This case should never happened\n");
}

TEST_F(Dispatcher, VersionAnswerForAnotherRequestIsRearmed) {
  pend(MeRequestNone);
  EXPECT_EQ(feed(versionAnswer()), "ERROR   : Unexpected NfcMeMaintenanceSubcommandVersionQuery command received\n");
  EXPECT_EQ(ctx->sendPending, 1);
}

TEST_F(Dispatcher, CopiesAreBoundedByTheBytesReceived) {
  MeQueryInfo info = freshInfo();
  pend(MeRequestVersionQuery);
  ctx->meQueryInfo = &info;
  SimFrame answer = versionAnswer();
  answer[8] = answer[9] = 0xFF;  // dataSize 0xFFFF, 25 bytes received
  feed(answer);
  ctx->meQueryInfo = nullptr;
  EXPECT_EQ(info.radioType, 0x4C);
  EXPECT_EQ(ctx->meRequestStatus.load(), ME_REQUEST_OK);

  feed({0x05, 0, 0, 0, 0x40, 0x00, 'x', 'y'});  // nciLength 64, 2 bytes there
  EXPECT_EQ(ctx->pendingData->length, 2u);
  uint8_t upper[3] = {};
  ctx->initialRecvBuffer = upper;
  ctx->initialRecvBufferSize = 3;
  feed({0x05, 0, 0, 0, 4, 0, 'p', 'q', 'r', 's'});  // truncated to the upper buffer
  feed({0x05, 0, 0, 0, 9, 0, 'u', 'v'});            // fits once bounded
  ctx->initialRecvBufferSize = 0;
  EXPECT_EQ(gDataCalls, (std::vector<std::vector<int32_t>>{{4, 3, 'p'}, {0, 2, 'u'}}));
}

// A download-pin answer after its request timed out fails only a
// download-pin request, never the outcome of a version query.
TEST_F(Dispatcher, LateDownloadPinAnswerLeavesAVersionQueryAlone) {
  ctx->meRequest = MeRequestVersionQuery;
  ctx->meRequestStatus = ME_REQUEST_OK;
  EXPECT_EQ(feed({0x12, 0x00, 0, 0, 0, 0}), "WARNING : NfcMeCommandDownloadPinState timeout was called\n");
  EXPECT_EQ(ctx->meRequestStatus.load(), ME_REQUEST_OK);
  ctx->meRequest = MeRequestDownloadPinState;
  feed({0x13, 0x00, 0, 0, 0, 0});
  EXPECT_EQ(ctx->meRequestStatus.load(), ME_REQUEST_FAIL);
}

TEST_F(Dispatcher, DownloadPinStateWhileItsRequestIsPending) {
  const struct {
    uint8_t status;
    const char* log;
  } cases[] = {
      {0x83, "ERROR   : NfcMeCommandDownloadPinState status 0x83\n"},
      {0x81, ""},  // a status that settles nothing still ends the request
      {0x00, "WARNING : NfcMeCommandDownloadPinState status success\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    pend(MeRequestDownloadPinState);
    ctx->meRequestStatus = ME_REQUEST_OK;
    EXPECT_EQ(feed({0x12, c.status, 0, 0, 0, 0}), c.log);
    EXPECT_EQ(ctx->sendPending, 0);
    EXPECT_EQ(ctx->meRequestStatus.load(), ME_REQUEST_FAIL);
    WaiterNotifier_Lock(ctx->waiter);
    EXPECT_EQ(ctx->waiter->state, WN_NOTIFIED) << "the waiting thread is woken";
    WaiterNotifier_Wait(ctx->waiter);  // takes the notification at once
    WaiterNotifier_Unlock(ctx->waiter);
  }
}

TEST_F(Dispatcher, RearmWithTheFlagAlreadySetLogsAndLeavesTheLockFree) {
  ctx->sendPending = 1;
  Output out;
  heciHelperRearmRequest(ctx);
  EXPECT_EQ(out.take(), "ERROR   : ERROR : heciHelperRearmRequest called but previous Send not ACK.\n");
  EXPECT_EQ(ctx->sendPending, 1);
  std::atomic<bool> taken{false};
  osal_sync::Thread other([&] {
    Mutex_Lock(ctx->lock);
    taken = true;
    Mutex_Unlock(ctx->lock);
  });
  const bool free = waitUntil([&] { return taken.load(); }, testsupport::kPatienceMs);
  EXPECT_TRUE(free) << "lock is still held";
  if (!free) Mutex_Unlock(ctx->lock);
  other.join();
}

TEST(LinkSendPath, ReceiveBufferIsKeptAndAPostWhileOneIsPendingIsBusy) {
  Link link;
  NfcMeContext* ctx = link.ctx;
  MeQueryInfo info = freshInfo();
  ASSERT_EQ(vxHECI_QueryInfo(ctx, &info), 0);
  ASSERT_TRUE(Sim_WaitFor([](const SimStats& st) { return st.readsWaiting == 1; }, testsupport::kPatienceMs));
  uint8_t* buffer = ctx->recvBuffer;
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(ctx->recvBufferSize, 512u);

  // What the send-complete of a resend does while the first receive waits.
  Output out;
  NfcMeIfSendComplete(ctx, 0, kNfcMeVersionQueryLength);
  EXPECT_EQ(HECIReceiveMessage(ctx->heci, ctx->recvBuffer, ctx->recvBufferSize), hsBusy);
  EXPECT_EQ(out.take(), "");
  EXPECT_EQ(ctx->recvBuffer, buffer) << "a large enough buffer is kept";
  EXPECT_EQ(ctx->recvBufferSize, 512u);

  // Still exactly one receive outstanding: a frame is taken once, into it.
  const uint32_t delivered = Sim_GetStats().framesDelivered;
  Output late;
  Sim_InjectFrame({0x20, 0x02, 0, 0, 0, 0});
  ASSERT_TRUE(Sim_WaitFor([&](const SimStats& st) { return st.framesDelivered == delivered + 1 && st.readsWaiting == 1; },
                          3000));
  EXPECT_EQ(late.take(), "LOG     : FIXME : Receive Message integrity checks : for command 20 , with status 2\n");
  EXPECT_EQ(ctx->recvBuffer, buffer);
}

TEST(LinkConnection, ClosingTheConnectionTwiceClosesItOnce) {
  Link link;
  Output out;
  EXPECT_EQ(heciCloseConnection(link.ctx), 0u);
  EXPECT_EQ(link.ctx->heci.load(), nullptr);
  EXPECT_EQ(heciCloseConnection(link.ctx), 0u);
  EXPECT_EQ(out.take(), "");
  EXPECT_EQ(Sim_GetStats().closes, 1u);
  EXPECT_EQ(Sim_GetStats().openConnections, 0u);
  MeQueryInfo info = freshInfo();
  EXPECT_EQ(vxHECI_QueryInfo(link.ctx, &info), 2);
}
