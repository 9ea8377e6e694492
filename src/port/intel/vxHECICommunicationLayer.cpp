// The NFC-ME link layer: link context, connection management, the send
// path with its acknowledgement and timeouts, the receive dispatcher and the
// link API.
//
// One request of the link layer's own is outstanding at a time. It is
// marked by sendPending under `lock`; whichever side takes `lock` first and
// finds it set (the answer on the dispatch thread, the timer on its service
// thread, a failed write on the sending thread) owns the outcome, and the
// others back off. The caller of vxHECI_QueryInfo sleeps on the waiter,
// whose lock it takes before it sends, so that no notification is lost.
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

bool gNfcMeLinkTrace = false;
NfcMeDriverResetHook gResetDriver = {nullptr, 0};

// Debug lines, written only while the trace switch is on.
#define LINK_TRACE(...)          \
  do {                           \
    if (gNfcMeLinkTrace) {       \
      Log_Info(__VA_ARGS__);     \
    }                            \
  } while (0)
#define LINK_TRACE_WARNING(...)  \
  do {                           \
    if (gNfcMeLinkTrace) {       \
      Log_Warning(__VA_ARGS__);  \
    }                            \
  } while (0)
#define LINK_TRACE_ERROR(...)    \
  do {                           \
    if (gNfcMeLinkTrace) {       \
      Log_Error(__VA_ARGS__);    \
    }                            \
  } while (0)

namespace {

// The name under which internal-state errors of this file are reported.
constexpr const char* kSourceName = "..\\src\\port\\intel\\vxHECICommunicationLayer";
constexpr const char* kNeverHappens = "%s %s l.%i :This case should never happened";
constexpr int kLineAnswerInTimeout = 374;
constexpr int kLineTimeoutInCallBack = 417;
constexpr int kLineCancelTimerRequest = 455;
constexpr int kLineUnhandledTimeout = 861;
constexpr int kLineUnhandledSendComplete = 1130;
constexpr int kLineUnhandledSendResponse = 1385;

bool isWaitedRequest(int32_t request) {
  return request == MeRequestVersionQuery || request == MeRequestPower;
}

// Tells the upper layer; skipped when it installed no callback.
void callStatus(NfcMeContext* ctx, int32_t status, int32_t value) {
  if (ctx->statusCallback != nullptr) {
    ctx->statusCallback(ctx->userData, status, value);
  }
}

void callData(NfcMeContext* ctx, int32_t status, uint8_t* data, uint32_t length) {
  if (ctx->dataCallback != nullptr) {
    ctx->dataCallback(ctx->userData, status, data, length);
  }
}

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
constexpr uint32_t kCurrentRequest = 0xFFFFFFFFu;  // whichever request is waited for now

// One side's settlement of the request that it took: whose it is, and
// whether the querying thread is owed a wake-up. Each side wakes the waiter
// where it stands: the timer and the sender at once, the receive dispatcher
// only after it has posted the next receive. Woken earlier, the caller may
// close the link while the dispatcher still works on the frame.
struct Settlement {
  NfcMeContext* ctx;
  uint32_t request;  // the taken request's id, or kCurrentRequest
  bool wakeDue = false;
};

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

// The answer's side of the race (handleTimeoutInCallBack), recording which
// request it took. True when nothing was pending.
bool takeAnsweredRequest(Settlement& s);

// An answer took the pending request but does not settle it. A caller that
// sleeps on it would never be woken (the request is no longer pending, so
// its timeout ends in nothing), so the request fails now.
void failUnsettledRequest(Settlement& s) {
  if (isWaitedRequest(requestKind(s))) {
    LINK_TRACE("%s : the answer does not settle the pending request : request failed",
               "NfcMeIfReceiveComplete");
    failWaiter(s);
  }
}

// The request in the send buffer is this layer's own version query. Only
// vxHECI_QueryInfo sends one, and it sets meRequest for as long as it waits;
// with meRequest None its caller has already gone (it failed on a read
// error, which leaves the request and its timer running).
bool versionQueryLeftBehind(const Settlement& s) {
  if (requestKind(s) != MeRequestNone) {
    return false;
  }
  NfcMeContext* ctx = s.ctx;
  Mutex_Lock(ctx->lock);
  const ByteBuffer* frame = ctx->sendBuffer;
  const bool versionQuery = frame->length == kNfcMeVersionQueryLength &&
                            frame->data[0] == NfcMeCommandMaintenance &&
                            frame->data[kNfcMeMaintenanceHeaderLength] == NfcMeMaintenanceSubcommandVersionQuery;
  Mutex_Unlock(ctx->lock);
  return versionQuery;
}

// heciHelperRearmRequest for the request that `s` took: false, and nothing
// changed, when another request has been committed since.
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

// An answer that did not belong to the request was taken in: the request is
// pending again. A caller that sleeps on it keeps its timeout, so that it
// still ends by its answer or by the timer. A version query whose caller has
// gone is not re-armed: pending again, it would have neither a timer nor
// anyone to end it, and every later query of the context would be refused.
// The answer that took it settles it.
//
// The request is marked pending again only while it is still the latest:
// its caller may have got its outcome meanwhile (a read error), and have
// committed its next request, which is its own.
void rearmRequest(Settlement& s) {
  NfcMeContext* ctx = s.ctx;
  if (versionQueryLeftBehind(s)) {
    LINK_TRACE("%s : nobody waits for this request any more : not re-armed", "NfcMeIfReceiveComplete");
    return;
  }
  if (!repend(s)) {
    return;
  }
  if (isWaitedRequest(requestKind(s))) {
    armSendTimer(ctx);
  }
}

// A report is made only while the context has its ME reset watcher.
void reportEvent(NfcMeContext* ctx, const EventLogReport& report) {
  if (ctx->osEvent == nullptr) {
    vxOsEvent_Init(ctx);
  }
  if (ctx->osEvent != nullptr) {
    EventLog_Report(report);
  }
}

// The close marks the context `closing` under `lock` before it touches the
// core, and the re-post is decided under the same lock: either it is posted
// to a core that is still open (whose close then drops it quietly), or it is
// not posted at all. Posted blindly, it could meet the closing core and turn
// a normal close into two error lines after the program's result.
// Caller holds `lock`: the timer's thread and the caller's may both send,
// and the dispatch thread posts the buffer again. The buffer grows when a
// reconnection raised the maximum message length, before any post, or the
// core would refuse it. An outgrown buffer is not freed here: the read that
// the reconnection cut short is served again on the new device into the
// buffer that was posted for it.
void prepareRecvBuffer(NfcMeContext* ctx) {
  HECICore* heci = ctx->heci;
  if (heci == nullptr || !heci->isValid || heci->maxMessageLength == 0xFFFFFFFFu) {
    return;
  }
  const uint32_t wanted = heci->maxMessageLength;
  if (ctx->recvBuffer == nullptr || wanted > ctx->recvBufferSize) {
    if (ctx->recvBuffer != nullptr) {
      ctx->outgrownRecvBuffers.push_back(ctx->recvBuffer);
    }
    ctx->recvBuffer = static_cast<uint8_t*>(Memory_Alloc(wanted));
    ctx->recvBufferSize = wanted;
    LINK_TRACE("RecvBuffer allocated ********************************");
  }
}

// The dispatcher logs a refused post; after a write it is not examined.
// Either way nothing is posted once the close has begun.
HECIStatus postReceiveUnlessClosing(NfcMeContext* ctx) {
  Mutex_Lock(ctx->lock);
  HECIStatus status = hsSuccess;
  if (ctx->closing == 0) {
    prepareRecvBuffer(ctx);
    status = HECIReceiveMessage(ctx->heci, ctx->recvBuffer, ctx->recvBufferSize);
  }
  Mutex_Unlock(ctx->lock);
  return status;
}

void postReceive(NfcMeContext* ctx) {
  const HECIStatus status = postReceiveUnlessClosing(ctx);
  if (status != hsSuccess && status != hsAccepted && status != hsBusy) {
    Log_Error("Communication Error with HECI : HECIReceiveMessage() failed : %X", status);
  }
}

// The id after `id`: never 0 (a request set up without an id) and never
// kCurrentRequest, also when the count wraps.
constexpr uint32_t nextRequestId(uint32_t id) {
  return id + 1 == kCurrentRequest || id + 1 == 0 ? 1 : id + 1;
}
static_assert(nextRequestId(kCurrentRequest - 1) == 1 && nextRequestId(kCurrentRequest) == 1 &&
                  nextRequestId(41) == 42,
              "request ids skip 0 and kCurrentRequest");

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

// The request whose write is failing on this thread, or kCurrentRequest
// when the send-complete handler is called outside sendFrame.
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

uint16_t readLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// --- Receive dispatcher branches ---------------------------------------------

// Returns false when the dispatcher must not post the next receive.
bool receiveMaintenance(Settlement& s, const uint8_t* frame, uint32_t length) {
  NfcMeContext* ctx = s.ctx;
  ByteBuffer* answer = nullptr;
  ByteBuffer_Create(&answer);
  // Never more than was received, whatever dataSize claims.
  ByteBuffer_SetData(answer, frame, NfcMe_MaintenanceAnswerLength(frame, length));
  ByteBuffer_Skip(answer, kNfcMeMaintenanceHeaderLength);
  const uint8_t subCommand = ByteBuffer_ReadByte(answer);

  if (subCommand != NfcMeMaintenanceSubcommandConnect && takeAnsweredRequest(s)) {
    ByteBuffer_Delete(answer);  // the request was already settled
    return true;
  }
  LINK_TRACE("receiving Sub Command : %X\n", subCommand);

  switch (subCommand) {
    case NfcMeMaintenanceSubcommandConnect:
      LINK_TRACE("DOWNLOAD_DEBUG : Received NfcMeMaintenanceSubcommandConnect with status : 0x%X", frame[1]);
      ByteBuffer_Delete(answer);
      return false;
    case NfcMeMaintenanceSubcommandVersionQuery: {
      // The querying thread clears meQueryInfo and meRequest under the
      // waiter's lock before it returns; deciding and filling under the same
      // lock keeps the record from being written after the caller has left.
      // The record is only filled while its caller still waits for the
      // request that this answer took.
      WaiterNotifier_Lock(ctx->waiter);
      const int32_t request = stillWaited(s) ? ctx->meRequest.load() : static_cast<int32_t>(MeRequestNone);
      MeQueryInfo* info = ctx->meQueryInfo;
      if (request != MeRequestVersionQuery) {
        WaiterNotifier_Unlock(ctx->waiter);
        Log_Error("Unexpected NfcMeMaintenanceSubcommandVersionQuery command received");
        rearmRequest(s);
      } else if (info == nullptr) {
        WaiterNotifier_Unlock(ctx->waiter);
        Log_Error("In %s : NfcMeMaintenanceSubcommandVersionQuery, context->meQueryInfo is NULL",
                  "NfcMeIfReceiveComplete");
        failUnsettledRequest(s);
      } else {
        NfcMe_FillQueryInfo(answer, info);
        markSettled(s, ME_REQUEST_OK);
        WaiterNotifier_Unlock(ctx->waiter);
      }
      break;
    }
    default:
      failUnsettledRequest(s);
      break;
  }
  ByteBuffer_Delete(answer);
  return true;
}

void receiveNciSendResponse(Settlement& s, uint8_t status) {
  NfcMeContext* ctx = s.ctx;
  if (takeAnsweredRequest(s)) {
    return;
  }
  LINK_TRACE("NfcMeCommandNCISendResponse calling call back");
  switch (status) {
    case NfcMeStatusSuccess:
      if (ctx->statusCallback != nullptr) {
        // The value is the request's own word at offsets 4-5.
        Mutex_Lock(ctx->lock);
        ctx->sendBuffer->position = 0;
        ByteBuffer_Skip(ctx->sendBuffer, 4);
        const uint16_t value = ByteBuffer_ReadWord16(ctx->sendBuffer);
        Mutex_Unlock(ctx->lock);
        callStatus(ctx, kNfcMeCallbackOk, value);
      }
      failUnsettledRequest(s);
      break;
    case NfcMeStatusFailure:
      Log_Error("NfcMeStatusFailure : illegal request or the NFCC cannot be accessed\n");
      callStatus(ctx, kNfcMeCallbackFailed, 0);
      failUnsettledRequest(s);
      break;
    case NfcMeStatusFWOwnership:
      Log_Warning("FIXME : NfcMeStatusFWOwnership : NFCC is currently under FW ownership.");
      callStatus(ctx, kNfcMeCallbackFWOwnership, 0);
      failUnsettledRequest(s);
      break;
    default: {
      Log_Warning("Unhandled Status : %X ", status);
      const int32_t request = requestKind(s);
      if (isWaitedRequest(request)) {
        failWaiter(s);
      } else if (request == MeRequestNone) {
        callStatus(ctx, kNfcMeCallbackFailed, 0);
        Log_Error("Unhandled switch case %s %i", "NfcMeIfReceiveComplete", kLineUnhandledSendResponse);
      } else {
        Log_Error("Unhandled switch case %s %i", "NfcMeIfReceiveComplete", kLineUnhandledSendResponse);
      }
      break;
    }
  }
}

void receiveNciData(NfcMeContext* ctx, uint8_t* frame, uint32_t length) {
  uint8_t* data = frame + kNfcMeNciDataOffset;
  // nciLength never reaches past the bytes received.
  uint32_t n = readLe16(frame + 4);
  if (n > length - kNfcMeNciDataOffset) {
    n = length - kNfcMeNciDataOffset;
  }
  if (gNfcMeLinkTrace) {
    Log_HexDump(data, n);
  }
  Mutex_Lock(ctx->recvLock);
  if (ctx->initialRecvBufferSize == 0) {
    appendPendingData(ctx, data, n);
    Mutex_Unlock(ctx->recvLock);
    return;
  }
  uint8_t* buffer = ctx->initialRecvBuffer;
  const uint32_t size = ctx->initialRecvBufferSize;
  Mutex_Unlock(ctx->recvLock);
  if (size < n) {
    LINK_TRACE_ERROR(">>> Buffer too small : context->initialRecvBufferSize : %i need %i",
                     static_cast<int>(size), static_cast<int>(n));
    if (gNfcMeLinkTrace) {
      Log_HexDump(data, n);
    }
    std::memcpy(buffer, data, size);
    callData(ctx, kNfcMeCallbackFailed, buffer, size);
  } else {
    if (n > 0) {
      std::memcpy(buffer, data, n);
    }
    callData(ctx, kNfcMeCallbackOk, buffer, n);
  }
}

void receivePowerResponse(Settlement& s, uint8_t status) {
  if (takeAnsweredRequest(s)) {
    return;
  }
  if (requestKind(s) == MeRequestPower) {
    storeOutcome(s, status == 0 ? ME_REQUEST_OK : ME_REQUEST_FAIL);
  } else {
    Log_Warning("Unexpected NfcMeCommandPowerResponse command received : Ignored");
    failUnsettledRequest(s);
  }
}

// A download-pin answer that finds nothing pending: the download-pin request
// timed out before. Only its own waiter is told; a version or power request
// has its outcome already, which a stored failure would overwrite.
void downloadPinAfterTimeout(Settlement& s) {
  Log_Warning("NfcMeCommandDownloadPinState timeout was called");
  // Nothing was taken: it is whichever request is waited for now.
  s.request = kCurrentRequest;
  if (requestKind(s) == MeRequestDownloadPinState) {
    failWaiter(s);
  }
}

void receiveDownloadPinState(Settlement& s, uint8_t status) {
  LINK_TRACE("receiving NfcMeCommandDownloadPinState");
  if (takeAnsweredRequest(s)) {
    downloadPinAfterTimeout(s);
    return;
  }
  if (requestKind(s) != MeRequestDownloadPinState) {
    failUnsettledRequest(s);
    return;
  }
  if (status == NfcMeDownloadPinStateSuccess) {
    Log_Warning("NfcMeCommandDownloadPinState status success");
    failWaiter(s);
  } else if (NfcMe_IsDownloadPinStateError(status)) {
    Log_Error("NfcMeCommandDownloadPinState status 0x%X", status);
    failWaiter(s);
  } else {
    // An ignored status settles nothing; its waiter must not sleep forever.
    LINK_TRACE("%s : download pin state 0x%X ignored : request failed", "NfcMeIfReceiveComplete", status);
    failWaiter(s);
  }
}

void receiveDownloadPinStateResp(Settlement& s, uint8_t status) {
  LINK_TRACE("receiving NfcMeCommandDownloadPinStateResp");
  if (takeAnsweredRequest(s)) {
    downloadPinAfterTimeout(s);
    return;
  }
  if (requestKind(s) != MeRequestDownloadPinState) {
    Log_Error("Unexpected NfcMeCommandDownloadPinStateResp command received");
    rearmRequest(s);
    return;
  }
  switch (status) {
    case NfcMeDownloadPinStateRespSuccess:
      Log_Info("NfcMeCommandDownloadPinStateResp status success");
      storeOutcome(s, ME_REQUEST_OK);
      break;
    case NfcMeDownloadPinStateRespFailure:
      failWaiter(s);
      Log_Warning("NfcMeCommandDownloadPinStateResp status failure");
      break;
    case NfcMeDownloadPinStateRespNotSupported:
      failWaiter(s);
      Log_Warning("NfcMeCommandDownloadPinStateResp status not supported");
      break;
    default:
      failWaiter(s);
      Log_Error("NfcMeCommandDownloadPinStateResp status not known");
      break;
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

void armSendTimer(NfcMeContext* ctx) {
  Timer_Stop(ctx->sendTimer);
  Timer_Start(ctx->sendTimer, kNfcMeSendTimeoutMs, timerHandler_SendTimeout, ctx);
}

namespace {

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

}  // namespace

namespace {

// The timer's side of the race (handleAnswerInTimeoutCallback). Caller
// holds `lock`, which stays held.
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

}  // namespace

bool handleAnswerInTimeoutCallback(NfcMeContext* ctx) {
  Mutex_Lock(ctx->lock);
  const bool nothingPending = takeTimedOutRequest(ctx);
  Mutex_Unlock(ctx->lock);
  return nothingPending;
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

bool takeAnsweredRequest(Settlement& s) {
  return takeRequest(s.ctx, "handleTimeoutInCallBack", kLineTimeoutInCallBack, &s.request);
}

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

bool handleTimeoutInCallBack(NfcMeContext* ctx) {
  uint32_t taken = 0;
  return takeRequest(ctx, "handleTimeoutInCallBack", kLineTimeoutInCallBack, &taken);
}

bool cancelTimerRequest(NfcMeContext* ctx) {
  uint32_t taken = 0;
  return takeRequest(ctx, "cancelTimerRequest", kLineCancelTimerRequest, &taken);
}

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

void heciHelperRearmRequest(NfcMeContext* ctx) {
  Mutex_Lock(ctx->lock);
  if (ctx->sendPending != 0) {
    Log_Error("ERROR : %s called but previous Send not ACK.", "heciHelperRearmRequest");
  }
  ctx->sendPending = 1;
  Mutex_Unlock(ctx->lock);
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
  if (takeRequest(ctx, "handleTimeoutInCallBack", kLineTimeoutInCallBack, &s.request, requestBeingSent(ctx))) {
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

// --- Receive dispatcher ------------------------------------------------------------

void NfcMeIfReceiveComplete(void* userData, int32_t failed, uint8_t* frame, uint32_t length) {
  auto* ctx = static_cast<NfcMeContext*>(userData);
  if (failed != 0) {
    Log_Warning("%s Read error => Handled.", "NfcMeIfReceiveComplete");
    if (ctx != nullptr) {
      handleGeneralFailure(ctx);
    }
    return;
  }
  if (ctx == nullptr) {
    Log_Error("%s Context is NULL", "NfcMeIfReceiveComplete");
    return;
  }
  if (frame == nullptr || length < kNfcMeMinFrameLength) {
    Log_Error("Invalid received answer, this frame is drop. Content :");
    if (frame != nullptr) {
      Log_HexDump(frame, length);
    }
    return;
  }
  const uint8_t command = frame[0];
  const uint8_t status = frame[1];
  LINK_TRACE("%s : command : %X", "NfcMeIfReceiveComplete", command);
  // Set by the branch that takes the pending request.
  Settlement s{ctx, kCurrentRequest};

  switch (command) {
    case NfcMeCommandMaintenance:
      if (!receiveMaintenance(s, frame, length)) {
        wakeIfDue(s);
        return;
      }
      break;
    case NfcMeCommandIntegrity03:
    case NfcMeCommandIntegrity10:
    case NfcMeCommandIntegrity20:
      Log_Info("FIXME : Receive Message integrity checks : for command %X , with status %X", command, status);
      break;
    case NfcMeCommandNCISendResponse:
      receiveNciSendResponse(s, status);
      break;
    case NfcMeCommandNCIReceive:
      receiveNciData(ctx, frame, length);
      break;
    case NfcMeCommandPowerResponse:
      receivePowerResponse(s, status);
      break;
    case NfcMeCommandDownloadPinState:
      receiveDownloadPinState(s, status);
      break;
    case NfcMeCommandDownloadPinStateResp:
      receiveDownloadPinStateResp(s, status);
      break;
    default:
      LINK_TRACE_WARNING("Unknown command received : %X", command);
      break;
  }
  // Everything that the frame feeds has been copied out of recvBuffer. The
  // waiter is woken only now (see Settlement).
  postReceive(ctx);
  wakeIfDue(s);
}

void handleGeneralFailure(NfcMeContext* ctx) {
  LINK_TRACE("%s", "handleGeneralFailure");
  // A read error ends whichever request is waited for at this moment; the
  // request itself and its timer go on (a late answer is then dropped).
  Settlement s{ctx, kCurrentRequest};
  if (isWaitedRequest(requestKind(s))) {
    failWaiter(s);
    wakeIfDue(s);
  } else {
    callStatus(ctx, kNfcMeCallbackFailed, 0);
    callData(ctx, kNfcMeCallbackFailed, nullptr, 0);
  }
}

void appendPendingData(NfcMeContext* ctx, const uint8_t* data, uint32_t length) {
  ByteBuffer* grown = nullptr;
  ByteBuffer_Create(&grown);
  ByteBuffer* old = ctx->pendingData;
  if (old != nullptr && old->length > 0) {
    ByteBuffer_Write(grown, old->data, old->length);
  }
  if (length > 0) {
    ByteBuffer_Write(grown, data, length);
  }
  grown->position = 0;
  ByteBuffer_Delete(old);
  ctx->pendingData = grown;
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
