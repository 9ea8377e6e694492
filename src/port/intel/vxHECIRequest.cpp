// The settlement of the link's one outstanding request: the race that every
// bug of the link layer has lived in, in one room.
//
// One request of the link layer's own is outstanding at a time. It is
// marked by sendPending under `lock`; whichever side takes `lock` first and
// finds it set (the answer on the dispatch thread, the timer on its service
// thread, a failed write on the sending thread) owns the outcome, and the
// others back off. The caller of vxHECI_QueryInfo sleeps on the waiter,
// whose lock it takes before it sends, so that no notification is lost.
//
// The three sides take the request here (takeAnsweredRequest,
// takeTimedOutRequest) and settle it through a Settlement (storeOutcome,
// failWaiter, wakeIfDue); the receive dispatcher (vxHECIReceive.cpp), the
// send-complete handler and the timeout handler (vxHECICommunicationLayer.cpp)
// only decide what their frame or failure means.
//
// Every request that vxHECI_QueryInfo commits gets an id (`requestId`, under
// `lock`), and the query says under the waiter's lock which id it waits for
// (`waitedRequest`). Whoever takes a request captures its id, and stores an
// outcome or wakes the waiter only while the waiter still waits for that id.
// Without that, the steps after a take could act on the next request: a
// stale timeout failing it, a late wake-up ending its wait. Requests set up
// without an id (0) belong to a waiter that waits for none (0).
//
// The first outcome stored for a waited request stands (`settledRequest`):
// a read error that the device sent after the answer, and that the
// dispatcher reads before the querying thread has run, must not turn the
// answer into a failure; nor may an answer that came after a read error
// turn that failure into success. From then on the request counts as no
// longer waited for, as once its caller has gone.
#include "vxHECIRequest.h"

#include "ByteBuffer.h"
#include "HECICore.h"
#include "Mutex.h"
#include "Timer.h"
#include "WaiterNotifier.h"
#include "vxHECILinkLog.h"

namespace nfcme_link {

bool isWaitedRequest(int32_t request) {
  return request == MeRequestVersionQuery || request == MeRequestPower;
}

// Caller holds the waiter's lock. The waiter waits for the settled request
// (whether or not its outcome is stored yet).
bool waitsFor(const Settlement& s) { return s.request == kCurrentRequest || s.ctx->waitedRequest == s.request; }

// Caller holds the waiter's lock. The waiter waits for the request and has
// no outcome for it yet.
bool stillWaited(const Settlement& s) {
  const NfcMeContext* ctx = s.ctx;
  return waitsFor(s) && (ctx->waitedRequest == 0 || ctx->settledRequest != ctx->waitedRequest);
}

// Caller holds the waiter's lock and has seen stillWaited.
void markSettled(Settlement& s, uint32_t status) {
  s.ctx->meRequestStatus = status;
  s.ctx->settledRequest = s.ctx->waitedRequest;
  s.wakeDue = true;
}

// The kind of the settled request while its caller still waits for it;
// None once the caller has gone.
int32_t requestKind(const Settlement& s) {
  WaiterNotifier_Lock(s.ctx->waiter);
  const int32_t kind = stillWaited(s) ? s.ctx->meRequest.load() : static_cast<int32_t>(MeRequestNone);
  WaiterNotifier_Unlock(s.ctx->waiter);
  return kind;
}

void storeOutcome(Settlement& s, uint32_t status) {
  WaiterNotifier_Lock(s.ctx->waiter);
  if (stillWaited(s)) {
    markSettled(s, status);
  }
  WaiterNotifier_Unlock(s.ctx->waiter);
}

void wakeIfDue(Settlement& s) {
  if (!s.wakeDue) {
    return;
  }
  s.wakeDue = false;
  WaiterNotifier_Lock(s.ctx->waiter);
  if (waitsFor(s)) {
    WaiterNotifier_Notify(s.ctx->waiter);
  }
  WaiterNotifier_Unlock(s.ctx->waiter);
}

void failWaiter(Settlement& s) { storeOutcome(s, ME_REQUEST_FAIL); }

bool repend(const Settlement& s) {
  NfcMeContext* ctx = s.ctx;
  Mutex_Lock(ctx->lock);
  const bool latest = s.request == kCurrentRequest || ctx->requestId == s.request;
  if (latest) {
    if (ctx->sendPending != 0) {
      Log_Error("ERROR : %s called but previous Send not ACK.", "heciHelperRearmRequest");
    }
    ctx->sendPending = 1;
  }
  Mutex_Unlock(ctx->lock);
  return latest;
}

// Every frame goes out through sendFrame, which says which request it
// belongs to. NfcMeIfSendComplete runs inside the write, on the same
// thread, and acts on a failed write only while that request is still the
// latest: a resend of a request that an answer has taken meanwhile may fail
// while the next query's request is pending, and must leave it alone.
struct Sending {
  NfcMeContext* ctx;
  uint32_t request;
  const Sending* outer;  // a resend after a reconnect is sent inside a send
};
thread_local const Sending* tSending = nullptr;

// Closing the connection after a failed write retires the core
// (heciCloseConnection): `heci` is cleared at once, so nothing sends or
// posts on it any more, but the core itself is closed later, by the
// caller's thread, in vxHECI_QueryInfo or vxHECI_Close, and only once no
// thread sends on it (heciSenders, counted by sendFrame). Two reasons: a
// thread slow to reach its own write may still hold the core, and the close
// joins the dispatch thread, which must not happen on the timer's thread:
// its timeout handler holds the timer's lock, for which the dispatch thread
// may be waiting (to re-arm the timer). A context has one core in its life,
// so at most one is retired.
HECIStatus sendFrame(NfcMeContext* ctx, uint32_t request, const uint8_t* frame, uint32_t length) {
  const Sending sending{ctx, request, tSending};
  tSending = &sending;
  ctx->heciSenders += 1;
  const HECIStatus status = HECISendMessage(ctx->heci.load(), frame, length);
  ctx->heciSenders -= 1;
  tSending = sending.outer;
  return status;
}

uint32_t requestBeingSent(const NfcMeContext* ctx) {
  return tSending != nullptr && tSending->ctx == ctx ? tSending->request : kCurrentRequest;
}

void closeRetired(NfcMeContext* ctx) {
  HECICore* retired = ctx->heciRetired.exchange(nullptr);
  if (retired != nullptr) {
    HECIClose(retired);
  }
}

// On the caller's thread only.
void closeRetiredWhenIdle(NfcMeContext* ctx) {
  if (ctx->heciSenders == 0) {
    closeRetired(ctx);
  }
}

// The send timer knows which request it was armed for, and its expiry acts
// only on that request: the id is set between the stop, after which no
// earlier arming fires any more, and the start. Re-arming the same request
// (its resend, a frame that re-arms it) keeps the id.
void armSendTimerFor(NfcMeContext* ctx, uint32_t request) {
  Timer_Stop(ctx->sendTimer);
  Mutex_Lock(ctx->lock);
  ctx->armedRequest = request;
  Mutex_Unlock(ctx->lock);
  Timer_Start(ctx->sendTimer, kNfcMeSendTimeoutMs, timerHandler_SendTimeout, ctx);
}

bool takeTimedOutRequest(NfcMeContext* ctx) {
  LINK_TRACE("%s : Timeout triggered faulty frame is : ", "handleAnswerInTimeoutCallback");
  if (gNfcMeLinkTrace) {
    Log_HexDump(ctx->sendBuffer->data, ctx->sendBuffer->length);
  }
  switch (ctx->sendPending) {
    case 0:
      LINK_TRACE("%s Timeout ok", "handleAnswerInTimeoutCallback");
      return true;
    case 1:
      ctx->sendPending = 0;
      return false;
    default:
      Log_Error(kNeverHappens, kSourceName, "handleAnswerInTimeoutCallback", kLineAnswerInTimeout);
      return false;
  }
}

namespace {

// handleTimeoutInCallBack and cancelTimerRequest: take the pending request.
// `taken` receives the request's id.
//
// The take does not stop the send timer. Stopped once `lock` is released,
// as it once was, the stop could come after the next request had been
// committed and had armed the timer, and that request would never time out;
// stopped under `lock`, it would wait for a timeout handler that waits for
// `lock`. The arming is left to expire instead: the handler acts only on
// the request that it was armed for (armedRequest) and only while that one
// is still pending, so the arming of a settled request ends in nothing.
// `only`: take the pending request only when it is this one
// (kCurrentRequest: whichever is pending).
bool takeRequest(NfcMeContext* ctx, const char* name, int line, uint32_t* taken,
                 uint32_t only = kCurrentRequest) {
  Mutex_Lock(ctx->lock);
  LINK_TRACE("%s : No Timeout", name);
  *taken = ctx->requestId;
  if (only != kCurrentRequest && ctx->requestId != only) {
    Mutex_Unlock(ctx->lock);
    return true;  // settled already; a later request is its own
  }
  bool nothingPending = false;
  switch (ctx->sendPending) {
    case 0:
      nothingPending = true;
      break;
    case 1:
      ctx->sendPending = 0;
      break;
    default:
      Log_Error(kNeverHappens, kSourceName, name, line);
      break;
  }
  Mutex_Unlock(ctx->lock);
  return nothingPending;
}

}  // namespace

bool takeAnsweredRequest(Settlement& s, uint32_t only) {
  return takeRequest(s.ctx, "handleTimeoutInCallBack", kLineTimeoutInCallBack, &s.request, only);
}

}  // namespace nfcme_link

using namespace nfcme_link;

void armSendTimer(NfcMeContext* ctx) {
  Timer_Stop(ctx->sendTimer);
  Timer_Start(ctx->sendTimer, kNfcMeSendTimeoutMs, timerHandler_SendTimeout, ctx);
}

bool handleAnswerInTimeoutCallback(NfcMeContext* ctx) {
  Mutex_Lock(ctx->lock);
  const bool nothingPending = takeTimedOutRequest(ctx);
  Mutex_Unlock(ctx->lock);
  return nothingPending;
}

bool handleTimeoutInCallBack(NfcMeContext* ctx) {
  uint32_t taken = 0;
  return takeRequest(ctx, "handleTimeoutInCallBack", kLineTimeoutInCallBack, &taken);
}

bool cancelTimerRequest(NfcMeContext* ctx) {
  uint32_t taken = 0;
  return takeRequest(ctx, "cancelTimerRequest", kLineCancelTimerRequest, &taken);
}

// Whichever request is pending now: always the latest.
void heciHelperRearmRequest(NfcMeContext* ctx) { repend(Settlement{ctx, kCurrentRequest}); }
