// The send path's race operations and the receive dispatcher, driven
// directly on a connected context (no request of the API in flight).
#include <thread>

#include "LinkTestSupport.h"
#include "Mutex.h"

using namespace linktest;

namespace {

struct Calls {
  std::vector<std::vector<int32_t>> status;
  std::vector<std::vector<int32_t>> data;  // status, length, first byte
};
Calls gCalls;

void onStatus(void*, int32_t status, int32_t value) { gCalls.status.push_back({status, value}); }
void onData(void*, int32_t status, uint8_t* data, uint32_t length) {
  gCalls.data.push_back({status, static_cast<int32_t>(length), data != nullptr && length > 0 ? data[0] : -1});
}

class Dispatcher : public testing::Test {
 protected:
  void SetUp() override {
    gCalls = {};
    ctx = link.ctx;
    ctx->statusCallback = onStatus;
    ctx->dataCallback = onData;
    recvBufferPrepare(ctx);  // as after a first send, so re-posts are accepted
  }
  // Feeds one frame as the dispatch thread would, from an exact-size heap
  // copy so that a read past its end is caught by the sanitizers.
  std::string feed(const SimFrame& frame, int32_t failed = 0) {
    std::vector<uint8_t> copy(frame);
    Output out;
    NfcMeIfReceiveComplete(ctx, failed, copy.empty() ? nullptr : copy.data(), static_cast<uint32_t>(copy.size()));
    return out.take();
  }
  void pend(int32_t request) {
    ctx->sendPending = 1;
    ctx->meRequest = request;
  }
  Link link;
  NfcMeContext* ctx = nullptr;
};

}  // namespace

TEST_F(Dispatcher, InternalStateErrorsNameTheSourceAndLine) {
  const std::string src = "..\\src\\port\\intel\\vxHECICommunicationLayer";
  ctx->sendPending = 2;
  Output out;
  EXPECT_FALSE(handleAnswerInTimeoutCallback(ctx));
  EXPECT_EQ(ctx->sendPending, 2);
  EXPECT_FALSE(handleTimeoutInCallBack(ctx));
  EXPECT_FALSE(cancelTimerRequest(ctx));
  EXPECT_EQ(out.take(), "ERROR   : " + src + " handleAnswerInTimeoutCallback l.374 :This case should never happened\n" +
                            "ERROR   : " + src + " handleTimeoutInCallBack l.417 :This case should never happened\n" +
                            "ERROR   : " + src + " cancelTimerRequest l.455 :This case should never happened\n");
  ctx->sendPending = 0;
}

TEST_F(Dispatcher, RearmOfAPendingRequestLogsAndLeavesTheLockFree) {
  ctx->sendPending = 1;
  Output out;
  heciHelperRearmRequest(ctx);
  EXPECT_EQ(out.take(), "ERROR   : ERROR : heciHelperRearmRequest called but previous Send not ACK.\n");
  EXPECT_EQ(ctx->sendPending, 1);
  std::thread other([&] {
    Mutex_Lock(ctx->lock);
    Mutex_Unlock(ctx->lock);
  });
  other.join();
  ctx->sendPending = 0;
}

TEST_F(Dispatcher, VersionAnswerForAnotherRequestIsRearmed) {
  pend(MeRequestNone);
  EXPECT_EQ(feed(versionAnswer()), "ERROR   : Unexpected NfcMeMaintenanceSubcommandVersionQuery command received\n");
  EXPECT_EQ(ctx->sendPending, 1);
  // Nothing pending: the same answer is dropped quietly, the record untouched.
  MeQueryInfo info = freshInfo();
  ctx->sendPending = 0;
  ctx->meQueryInfo = &info;
  ctx->meRequest = MeRequestVersionQuery;
  EXPECT_EQ(feed(versionAnswer()), "");
  EXPECT_EQ(recordBytes(info), recordBytes(freshInfo()));
  ctx->meQueryInfo = nullptr;
  ctx->meRequest = MeRequestNone;
}

TEST_F(Dispatcher, CopiesAreBoundedByTheBytesReceived) {
  MeQueryInfo info = freshInfo();
  pend(MeRequestVersionQuery);
  ctx->meQueryInfo = &info;
  SimFrame answer = versionAnswer();
  answer[8] = 0xFF;  // dataSize 0xFFFF, 25 bytes received
  answer[9] = 0xFF;
  feed(answer);
  EXPECT_EQ(info.radioType, 0x4C);
  EXPECT_EQ(ctx->meRequestStatus.load(), ME_REQUEST_OK);
  ctx->meQueryInfo = nullptr;
  ctx->meRequest = MeRequestNone;

  feed({0x05, 0, 0, 0, 0x40, 0x00, 'x', 'y'});  // nciLength 64, 2 bytes there
  EXPECT_EQ(ctx->pendingData->length, 2u);

  uint8_t upper[3] = {};
  ctx->initialRecvBuffer = upper;
  ctx->initialRecvBufferSize = 3;
  feed({0x05, 0, 0, 0, 4, 0, 'p', 'q', 'r', 's'});
  feed({0x05, 0, 0, 0, 2, 0, 'u', 'v'});
  EXPECT_EQ(gCalls.data, (std::vector<std::vector<int32_t>>{{4, 3, 'p'}, {0, 2, 'u'}}));
  ctx->initialRecvBuffer = nullptr;
  ctx->initialRecvBufferSize = 0;
}

TEST_F(Dispatcher, NciSendResponsesReachTheStatusCallback) {
  ByteBuffer_Clear(ctx->sendBuffer);
  const uint8_t request[] = {0x01, 0, 0, 0, 0x34, 0x12, 0xAA};
  ByteBuffer_Write(ctx->sendBuffer, request, sizeof request);
  pend(MeRequestNone);
  feed({0x04, 0x00, 0, 0, 0, 0});
  pend(MeRequestNone);
  const std::string failure = feed({0x04, 0x01, 0, 0, 0, 0});
  pend(MeRequestNone);
  feed({0x04, 0x10, 0, 0, 0, 0});
  pend(MeRequestNone);
  const std::string unhandled = feed({0x04, 0x22, 0, 0, 0, 0});
  EXPECT_EQ(gCalls.status, (std::vector<std::vector<int32_t>>{{0, 0x1234}, {4, 0}, {5, 0}, {4, 0}}));
  EXPECT_EQ(failure, "ERROR   : NfcMeStatusFailure : illegal request or the NFCC cannot be accessed\n\n");
  EXPECT_EQ(unhandled, "WARNING : Unhandled Status : 22 \nERROR   : Unhandled switch case NfcMeIfReceiveComplete 1385\n");
  // Read error with no waiting caller: both callbacks hear of it.
  gCalls = {};
  feed({}, 1);
  EXPECT_EQ(gCalls.status, (std::vector<std::vector<int32_t>>{{4, 0}}));
  EXPECT_EQ(gCalls.data, (std::vector<std::vector<int32_t>>{{4, 0, -1}}));
}

TEST_F(Dispatcher, DownloadPinAnswers) {
  pend(MeRequestDownloadPinState);
  ctx->meRequestStatus = ME_REQUEST_OK;
  EXPECT_EQ(feed({0x12, 0x83, 0, 0, 0, 0}), "ERROR   : NfcMeCommandDownloadPinState status 0x83\n");
  EXPECT_EQ(ctx->meRequestStatus.load(), ME_REQUEST_FAIL);
  pend(MeRequestDownloadPinState);
  EXPECT_EQ(feed({0x13, 0x00, 0, 0, 0, 0}), "LOG     : NfcMeCommandDownloadPinStateResp status success\n");
  EXPECT_EQ(ctx->meRequestStatus.load(), ME_REQUEST_OK);
  // After its timeout, a late download-pin answer fails only a download-pin
  // request; a version query's outcome stays as it was.
  ctx->meRequest = MeRequestVersionQuery;
  EXPECT_EQ(feed({0x12, 0x00, 0, 0, 0, 0}), "WARNING : NfcMeCommandDownloadPinState timeout was called\n");
  EXPECT_EQ(ctx->meRequestStatus.load(), ME_REQUEST_OK);
  ctx->meRequest = MeRequestDownloadPinState;
  feed({0x13, 0x00, 0, 0, 0, 0});
  EXPECT_EQ(ctx->meRequestStatus.load(), ME_REQUEST_FAIL);
  ctx->meRequest = MeRequestNone;
}

TEST_F(Dispatcher, NullContextAndFinalTimeoutOfAnUnknownRequest) {
  Output out;
  NfcMeIfSendComplete(nullptr, 0, 11);
  uint8_t frame[6] = {0x20, 0, 0, 0, 0, 0};
  NfcMeIfReceiveComplete(nullptr, 0, frame, 6);
  EXPECT_EQ(out.take(), "ERROR   : NfcMeIfSendComplete Context is NULL\n"
                        "ERROR   : NfcMeIfReceiveComplete Context is NULL\n");
  Reports reports;
  pend(MeRequestDownloadPinState);
  ctx->resendCount = 1;
  Output timeout;
  timerHandler_SendTimeout(ctx);
  const std::string log = timeout.take();
  EXPECT_EQ(reports.ids(), (std::vector<uint32_t>{6, 3}));
  EXPECT_NE(log.find("ERROR   : Unhandled switch case : timerHandler_SendTimeout 861 ctx->meRequest : 2\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(gCalls.status, (std::vector<std::vector<int32_t>>{{4, 0}}));
  EXPECT_EQ(ctx->sendPending, 0);
  ctx->meRequest = MeRequestNone;
}

TEST_F(Dispatcher, CloseConnectionTwiceClosesOnce) {
  gNfcMeLinkTrace = true;
  Output out;
  EXPECT_EQ(heciCloseConnection(ctx), 0u);
  EXPECT_EQ(ctx->heci.load(), nullptr);
  EXPECT_EQ(heciCloseConnection(ctx), 0u);
  gNfcMeLinkTrace = false;
  EXPECT_EQ(out.take(), "LOG     : --> heciCloseConnection\nLOG     : --> heciCloseConnection\n");
  EXPECT_EQ(Sim_GetStats().closes, 1u);
}
