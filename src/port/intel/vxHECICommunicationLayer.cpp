// The NFC-ME link layer: link context, connection management, the send
// path with its acknowledgement and timeouts, and the link API. Its other
// rooms: the context record (NfcMeContext.h), the log and trace helpers
// (vxHECILinkLog.h), the settlement of the outstanding request, where the
// race between answer, timer and failed write is decided (vxHECIRequest.cpp),
// and the receive dispatcher (vxHECIReceive.cpp).
#include "vxHECICommunicationLayer.h"

#include <cstring>
#include <new>

#include "ByteBuffer.h"
#include "EventLogReport.h"
#include "HECICore.h"
#include "Log.h"
#include "Memory.h"
#include "Mutex.h"
#include "OsEvent.h"
#include "Thread.h"
#include "Timer.h"
#include "WaiterNotifier.h"
#include "vxHECILinkLog.h"
#include "vxHECIReceive.h"
#include "vxHECIRequest.h"

bool gNfcMeLinkTrace = false;
NfcMeDriverResetHook gResetDriver = {nullptr, 0};

using namespace nfcme_link;

namespace {

// A report is made only while the context has its ME reset watcher.
void reportEvent(NfcMeContext* ctx, const EventLogReport& report) {
  if (ctx->osEvent == nullptr) {
    vxOsEvent_Init(ctx);
  }
  if (ctx->osEvent != nullptr) {
    EventLog_Report(report);
  }
}

}  // namespace

// --- Context -------------------------------------------------------------------

NfcMeContext* nfcMeContextCreate(void* userData) {
  void* block = Memory_Alloc(sizeof(NfcMeContext));
  std::memset(block, 0, sizeof(NfcMeContext));
  auto* ctx = new (block) NfcMeContext{};

  ByteBuffer_Create(&ctx->sendBuffer);
  if (WaiterNotifier_Create(&ctx->waiter) != 0) {
    // Queries then fail at once; see vxHECI_QueryInfo.
    Log_Error("%s WaiterNotifier_Create returns FAILED", "vxHECI_Connect");
    ctx->waiter = nullptr;
  }
  Timer_Create(&ctx->sendTimer);
  Mutex_Create(&ctx->lock);
  ByteBuffer_Create(&ctx->pendingData);
  Mutex_Create(&ctx->recvLock);
  ctx->userData = userData;
  return ctx;
}

void nfcMeContextRelease(NfcMeContext* ctx) {
  if (ctx == nullptr) {
    return;
  }
  Mutex_Lock(ctx->lock);
  ctx->closing = 1;  // see postReceive
  Mutex_Unlock(ctx->lock);
  // Stop the timer first: after Timer_Stop no timeout handler runs any more,
  // so no resend can reach the HECI core while it is being closed. Nothing
  // else starts the timer once the caller's query has returned.
  if (ctx->sendTimer != nullptr) {
    Timer_Stop(ctx->sendTimer);
  }
  HECICore* heci = ctx->heci.exchange(nullptr);
  if (heci != nullptr) {
    HECIClose(heci);  // joins the dispatch thread: no callback runs after this
  }
  closeRetired(ctx);  // nobody sends any more
  if (ctx->sendTimer != nullptr) {
    Timer_Delete(ctx->sendTimer);
    ctx->sendTimer = nullptr;
  }
  if (ctx->osEvent != nullptr) {
    OsEvent_Delete(ctx->osEvent);
    ctx->osEvent = nullptr;
  }
  if (ctx->recvBuffer != nullptr) {
    Memory_Free(ctx->recvBuffer);
    ctx->recvBuffer = nullptr;
  }
  for (uint8_t* outgrown : ctx->outgrownRecvBuffers) {
    Memory_Free(outgrown);
  }
  ByteBuffer_Delete(ctx->sendBuffer);
  ctx->sendBuffer = nullptr;
  ByteBuffer_Delete(ctx->pendingData);
  ctx->pendingData = nullptr;
  if (ctx->recvLock != nullptr) {
    Mutex_Delete(ctx->recvLock);
  }
  if (ctx->lock != nullptr) {
    Mutex_Delete(ctx->lock);
  }
  if (ctx->waiter != nullptr) {
    WaiterNotifier_Delete(ctx->waiter);
  }
  ctx->~NfcMeContext();
  Memory_Free(ctx);
}

// --- Connection management and ME reset -----------------------------------------

uint32_t heciOpenConnection(NfcMeContext* ctx) {
  LINK_TRACE("%s", "heciOpenConnection");
  ctx->retrySleepMs = kNfcMeRetrySleepMs;
  uint32_t failedAttempts = 0;
  while (ctx->stopRetries == 0) {
    HECICore* heci = nullptr;
    const HECIStatus status = HECIOpen(&heci);
    if (status == hsSuccess) {
      if (heci != nullptr && heci->isValid) {
        // No receive is posted yet, so the dispatch thread reads none of
        // these before the first send.
        heci->userData = ctx;
        heci->receiveCallback = NfcMeIfReceiveComplete;
        heci->sendCallback = NfcMeIfSendComplete;
      }
      ctx->heci = heci;
      return kNfcMeOpenConnected;
    }
    Log_Warning("HECI Connection failed HECIStatus : %X.", status);
    ++failedAttempts;
    Log_Warning("%s sleep for  : %i ms", "handleInternalRetryConnection", static_cast<int>(ctx->retrySleepMs));
    Thread_Sleep(ctx->retrySleepMs);
    if (failedAttempts >= kNfcMeOpenAttempts) {
      break;
    }
  }
  LINK_TRACE("--> %s", "heciCloseConnection");
  HECICore* heci = ctx->heci.exchange(nullptr);
  if (heci != nullptr) {
    HECIClose(heci);
  }
  return kNfcMeOpenGaveUp;
}

uint32_t heciCloseConnection(NfcMeContext* ctx) {
  LINK_TRACE("--> %s", "heciCloseConnection");
  HECICore* heci = ctx->heci.exchange(nullptr);
  if (heci != nullptr) {
    // Called from inside a send after a failed write, on the caller's or
    // the timer's thread: retired, see sendFrame. (Called outside any
    // send, it is the caller's own call, which may close at once.)
    ctx->heciRetired = heci;
    if (ctx->heciSenders == 0) {
      closeRetired(ctx);
    }
  }
  return 0;
}

void vxOsEvent_Init(NfcMeContext* ctx) {
  if (ctx->osEvent != nullptr) {
    OsEvent_Delete(ctx->osEvent);
    ctx->osEvent = nullptr;
  }
  OsEvent* event = nullptr;
  OsEvent_Create(&event);
  OsEvent_Subscribe(event);  // a failed subscription is logged; the record stays
  ctx->osEvent = event;
  // Argument before callback: the watcher never sees one without the other.
  OsEvent_SetCallback(event, heciMeResetCallBack, ctx);
}

void heciMeResetCallBack(void* context) {
  auto* ctx = static_cast<NfcMeContext*>(context);
  LINK_TRACE("DEBUG : heciMeResetCallBack ctx : %X",
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(context)));
  ctx->autoReconnect = 0;
  if (gResetDriver.function != nullptr) {
    LINK_TRACE(">>> Reset Driver");
    gResetDriver.function(gResetDriver.argument);
  } else {
    LINK_TRACE(">>> gResetDriver is NULL");
  }
}

bool handleReconnection(NfcMeContext* ctx) {
  ctx->retrySleepMs = kNfcMeRetrySleepMs;
  if (ctx->reconnectAttempt >= kNfcMeReconnectAttempts) {
    return false;
  }
  while (ctx->stopRetries == 0) {
    LINK_TRACE("Try to Reconnect to HECI Driver : attempt = %i", static_cast<int>(ctx->reconnectAttempt));
    ++ctx->reconnectAttempt;
    // Under `lock`, under which the receive buffer is prepared and posted:
    // the reconnection may raise the maximum message length, and a post
    // between the preparation and the change would be refused.
    Mutex_Lock(ctx->lock);
    const HECIStatus reconnected = HECIReconnect(ctx->heci);
    Mutex_Unlock(ctx->lock);
    if (reconnected == hsSuccess) {
      ctx->reconnectAttempt = 0;
      ctx->retrySleepMs = kNfcMeRetrySleepMs;
      return true;
    }
    Log_Error("%s : failed to reconnect to HECI.", "handleReconnection");
    Log_Warning("%s sleep for  : %i ms", "handleInternalRetryConnection", static_cast<int>(ctx->retrySleepMs));
    Thread_Sleep(ctx->retrySleepMs);
    if (ctx->reconnectAttempt >= kNfcMeReconnectAttempts) {
      return false;
    }
  }
  return false;
}

// --- Send path -------------------------------------------------------------------

namespace {

// Caller holds `lock`. Marks the request pending again as its one resend and
// returns the frame to write: a copy with its reserved word cleared once
// more, which also becomes the send buffer (read only under `lock`).
uint8_t* commitResend(NfcMeContext* ctx, uint32_t* length) {
  if (ctx->sendPending != 0) {
    Log_Error("ERROR : %s called but previous Send not ACK. This should never happened.", "resendFrame");
  }
  ctx->resendCount += 1;
  ctx->sendPending = 1;
  *length = ctx->sendBuffer->length;
  auto* copy = static_cast<uint8_t*>(Memory_Alloc(*length));
  if (*length > 0) {
    std::memcpy(copy, ctx->sendBuffer->data, *length);
  }
  if (*length >= 4) {
    copy[2] = 0;
    copy[3] = 0;
  }
  ByteBuffer_SetData(ctx->sendBuffer, copy, *length);
  return copy;
}

void sendResend(NfcMeContext* ctx, uint32_t request, uint8_t* copy, uint32_t length) {
  armSendTimer(ctx);
  // A failed write reaches NfcMeIfSendComplete from inside the call.
  sendFrame(ctx, request, copy, length);
  Memory_Free(copy);
}

// After a reconnection: resends the request that the failed write took, if
// it is still the latest one, nothing has been committed since and it has
// not been resent yet. The reconnection takes a while, and a client whose
// query has already failed may commit its next one meanwhile: that one's
// resend and outcome are its own. True when resent.
bool resendTakenRequest(const Settlement& s) {
  NfcMeContext* ctx = s.ctx;
  Mutex_Lock(ctx->lock);
  uint8_t* copy = nullptr;
  uint32_t length = 0;
  if (ctx->requestId == s.request && ctx->sendPending == 0 && ctx->resendCount == 0) {
    copy = commitResend(ctx, &length);
  }
  Mutex_Unlock(ctx->lock);
  if (copy == nullptr) {
    return false;
  }
  LINK_TRACE("%s", "resendFrame");
  if (gNfcMeLinkTrace) {
    Log_HexDump(copy, length);
  }
  sendResend(ctx, s.request, copy, length);
  return true;
}

// Fails a request that its taker could not complete: the waiting caller is
// told, or, with nobody waiting for it, the upper layer's status callback.
void failTakenRequest(Settlement& s, const char* where, int line) {
  const int32_t request = requestKind(s);
  if (isWaitedRequest(request)) {
    failWaiter(s);
  } else if (request == MeRequestNone) {
    callStatus(s.ctx, kNfcMeCallbackFailed, 0);
  } else {
    Log_Error("Unhandled switch case : %s %i ctx->meRequest : %X", where, line, static_cast<unsigned>(request));
    callStatus(s.ctx, kNfcMeCallbackFailed, 0);
  }
}

}  // namespace

// The take and the decision to resend happen in one hold of `lock`, and so
// does the resend's re-commit: an answer that comes while the timeout is
// being reported finds its request pending and is taken in normally, and no
// later request can be committed in between and have its own resend, or its
// outcome, taken by this one.
void timerHandler_SendTimeout(void* context) {
  auto* ctx = static_cast<NfcMeContext*>(context);
  LINK_TRACE("%s", "timerHandler_SendTimeout");
  Mutex_Lock(ctx->lock);
  Settlement s{ctx, ctx->requestId};
  if (ctx->armedRequest != ctx->requestId) {
    // Armed for a request that was settled before its timeout; the one
    // committed since has not armed the timer yet.
    Mutex_Unlock(ctx->lock);
    LINK_TRACE("%s Timeout ok", "handleAnswerInTimeoutCallback");
    return;
  }
  if (takeTimedOutRequest(ctx)) {
    Mutex_Unlock(ctx->lock);
    return;
  }
  uint8_t* resend = nullptr;
  uint32_t length = 0;
  if (ctx->resendCount == 0) {
    resend = commitResend(ctx, &length);
  }
  Mutex_Unlock(ctx->lock);

  reportEvent(ctx, kReportSendTimeout);
  if (resend != nullptr) {
    LINK_TRACE("%s", "resendFrame");
    if (gNfcMeLinkTrace) {
      Log_HexDump(resend, length);
    }
    sendResend(ctx, s.request, resend, length);
    return;
  }
  reportEvent(ctx, kReportSendFailed);
  failTakenRequest(s, "timerHandler_SendTimeout", kLineUnhandledTimeout);
  wakeIfDue(s);
}

bool resendFrame(NfcMeContext* ctx) {
  LINK_TRACE("%s", "resendFrame");
  if (gNfcMeLinkTrace) {
    Mutex_Lock(ctx->lock);
    Log_HexDump(ctx->sendBuffer->data, ctx->sendBuffer->length);
    Mutex_Unlock(ctx->lock);
  }
  if (ctx->resendCount != 0) {
    return false;
  }
  Mutex_Lock(ctx->lock);
  uint32_t length = 0;
  uint8_t* copy = commitResend(ctx, &length);
  const uint32_t request = ctx->requestId;
  Mutex_Unlock(ctx->lock);
  sendResend(ctx, request, copy, length);
  return true;
}

void recvBufferPrepare(NfcMeContext* ctx) {
  Mutex_Lock(ctx->lock);
  prepareRecvBuffer(ctx);
  Mutex_Unlock(ctx->lock);
}

void NfcMeIfSendComplete(void* userData, int32_t failed, uint32_t /*bytesWritten*/) {
  LINK_TRACE("%s", "NfcMeIfSendComplete");
  auto* ctx = static_cast<NfcMeContext*>(userData);
  if (ctx == nullptr) {
    Log_Error("%s Context is NULL", "NfcMeIfSendComplete");
    return;
  }
  if (failed == 0) {
    recvBufferPrepare(ctx);
    // hsBusy (a receive is already posted, as after a resend) is normal.
    postReceiveUnlessClosing(ctx);
    return;
  }
  LINK_TRACE("%s :  An error occurs during send ", "NfcMeIfSendComplete");
  Settlement s{ctx, 0};
  if (takeAnsweredRequest(s, requestBeingSent(ctx))) {
    return;
  }
  if (ctx->autoReconnect == 0) {
    heciCloseConnection(ctx);
  } else if (handleReconnection(ctx) && resendTakenRequest(s)) {
    return;
  }
  LINK_TRACE("NfcMeIfSendComplete : SEND ACK\n");
  const int32_t request = requestKind(s);
  if (request == MeRequestNone) {
    callStatus(ctx, kNfcMeCallbackFailed, 0);
  } else if (isWaitedRequest(request)) {
    LINK_TRACE("DEBUG S3S4 : context->meRequestStatus = ME_REQUEST_FAIL;");
    failWaiter(s);
    wakeIfDue(s);
    LINK_TRACE("DEBUG S3S4 : Nofity complete");
  } else {
    Log_Error("Unhandled switch case : %s %i", "NfcMeIfSendComplete", kLineUnhandledSendComplete);
  }
}

// --- Link API --------------------------------------------------------------------------

int32_t vxHECI_Connect(NfcMeContext** out, void* userData) {
  if (out == nullptr) {
    return kVxHECIFailed;
  }
  *out = nullptr;
  NfcMeContext* ctx = nfcMeContextCreate(userData);
  if (heciOpenConnection(ctx) == kNfcMeOpenConnected) {
    *out = ctx;
    vxOsEvent_Init(ctx);
    return kVxHECISuccess;
  }
  // EventLog_Report writes the report's own log line after the report.
  reportEvent(ctx, kReportConnectionFailed);
  OsEvent_Delete(ctx->osEvent);
  ctx->osEvent = nullptr;
  nfcMeContextRelease(ctx);
  return kVxHECIFailed;
}

namespace {

// The query's request ended without a wait: it is taken back before the
// record pointer and the request kind are cleared, so that nothing takes it
// in between for a request nobody waits for.
int32_t failUnwaited(NfcMeContext* ctx) {
  cancelTimerRequest(ctx);
  WaiterNotifier_Lock(ctx->waiter);
  ctx->meQueryInfo = nullptr;
  ctx->meRequest = MeRequestNone;
  ctx->waitedRequest = 0;
  WaiterNotifier_Unlock(ctx->waiter);
  return kVxHECIFailed;
}

}  // namespace

int32_t vxHECI_QueryInfo(NfcMeContext* ctx, MeQueryInfo* info) {
  if (ctx == nullptr) {
    return kVxHECIInvalidArgument;
  }
  closeRetiredWhenIdle(ctx);
  if (info == nullptr || ctx->heci == nullptr) {
    return kVxHECIInvalidArgument;
  }
  // The waiter's lock is taken before the request is committed and held
  // until the query has said which request it waits for: whoever takes the
  // request from the moment it is committed (a receive may already be
  // posted) finds it waited for. (`lock` is taken inside the waiter's lock
  // only here; nothing takes the waiter's lock while it holds `lock`.)
  const bool haveWaiter = WaiterNotifier_Lock(ctx->waiter) == 0;
  Mutex_Lock(ctx->lock);
  if (ctx->sendPending != 0) {
    Log_Error("ERROR : vxHECI_QueryInfo called but previous Send not ACK.");
    Mutex_Unlock(ctx->lock);
    if (haveWaiter) WaiterNotifier_Unlock(ctx->waiter);
    return kVxHECIBusy;
  }
  if (!haveWaiter) {
    // Without a waiter nobody could tell us the outcome: an answer would go
    // unnoticed and success would be reported for nothing. Fail unsent.
    Mutex_Unlock(ctx->lock);
    Log_Error("%s WaiterNotifier_Lock returns FAILED", "vxHECI_QueryInfo");
    return kVxHECIFailed;
  }
  ctx->sendPending = 1;
  ctx->resendCount = 0;
  ctx->requestId = nextRequestId(ctx->requestId);
  const uint32_t request = ctx->requestId;
  NfcMe_BuildVersionQuery(ctx->sendBuffer);
  // What goes out is a copy: a resend on the timer's thread may replace the
  // send buffer's storage while this write is still in progress.
  uint8_t frame[kNfcMeVersionQueryLength];
  std::memcpy(frame, ctx->sendBuffer->data, sizeof frame);
  Mutex_Unlock(ctx->lock);

  // A notification still kept now belongs to an earlier request that ended
  // without a wait (a failed write notifies before the query gives up):
  // only settlements of this request's id can notify from here on.
  if (ctx->waiter->state == WN_NOTIFIED) {
    WaiterNotifier_Wait(ctx->waiter);
  }
  ctx->waitedRequest = request;
  ctx->meRequestStatus = ME_REQUEST_FAIL;
  ctx->meQueryInfo = info;
  ctx->meRequest = MeRequestVersionQuery;
  WaiterNotifier_Unlock(ctx->waiter);

  // The waiter's lock is not held across arming and sending: the timeout
  // handler notifies while it holds the timer's lock, and a failed write
  // may reconnect, which waits for the dispatch thread (which may be
  // notifying) to leave its read. A notification that comes before the
  // wait is kept by the waiter and ends the wait at once, so none is lost.
  armSendTimerFor(ctx, request);
  const HECIStatus status = sendFrame(ctx, request, frame, sizeof frame);
  closeRetiredWhenIdle(ctx);  // after a failed write of our own
  if (status != hsAccepted) {
    // A write that failed (hsFailure: the send-complete handler has run and
    // closed the connection, or reconnected and resent) or that the core
    // refused: the query fails at once and takes its request back; an
    // answer to a resend is then dropped.
    Log_Error("HECISendMessage failed in %s!", "vxHECI_QueryInfo");
    return failUnwaited(ctx);
  }

  // Written, so the outcome is always notified: the answer (or a frame that
  // takes the request without settling it, which fails it, or re-arms it
  // with its timer), a read error, a failed resend, or the timer's final
  // failure 5000 ms after its one resend. Each of them stores the outcome
  // before it notifies, and the waiter keeps a notification that comes
  // before the wait.
  WaiterNotifier_Lock(ctx->waiter);
  WaiterNotifier_Wait(ctx->waiter);
  // Cleared under the waiter's lock, under which the dispatcher decides
  // whether to fill the record: nothing is written into it after we return.
  ctx->meQueryInfo = nullptr;
  ctx->meRequest = MeRequestNone;
  ctx->waitedRequest = 0;
  const uint32_t outcome = ctx->meRequestStatus;
  WaiterNotifier_Unlock(ctx->waiter);
  closeRetiredWhenIdle(ctx);  // after a failed resend
  return outcome != ME_REQUEST_OK ? kVxHECIFailed : kVxHECISuccess;
}

int32_t vxHECI_Close(NfcMeContext* ctx) {
  if (ctx == nullptr) {
    return kVxHECISuccess;
  }
  LINK_TRACE("--> %s", "heciCloseConnection");
  nfcMeContextRelease(ctx);
  return kVxHECISuccess;
}
