// The receive dispatcher: NfcMeIfReceiveComplete, on the HECI core's
// dispatch thread, reads each frame the device sends and hands it to the
// branch of its command. A branch that answers the outstanding request
// takes it (vxHECIRequest.cpp) and settles it, fails it or marks it pending
// again; NCI data goes to the upper layer's buffer. The dispatcher then
// posts the next receive, and only then wakes the querying thread. This is
// what tests/fuzz drives, in every request state.
#include "vxHECIReceive.h"

#include <cstring>

#include "ByteBuffer.h"
#include "HECICore.h"
#include "Log.h"
#include "Memory.h"
#include "Mutex.h"
#include "WaiterNotifier.h"
#include "vxHECILinkLog.h"
#include "vxHECIRequest.h"

namespace nfcme_link {

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

// The close marks the context `closing` under `lock` before it touches the
// core, and the re-post is decided under the same lock: either it is posted
// to a core that is still open (whose close then drops it quietly), or it is
// not posted at all. Posted blindly, it could meet the closing core and turn
// a normal close into two error lines after the program's result.
//
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

namespace {

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

// Both download-pin answers: take the pending request, and go on only when
// it is the download-pin request; a request of another kind is left to
// `otherRequest`.
bool takeDownloadPinRequest(Settlement& s, void (*otherRequest)(Settlement&)) {
  if (takeAnsweredRequest(s)) {
    downloadPinAfterTimeout(s);
    return false;
  }
  if (requestKind(s) != MeRequestDownloadPinState) {
    otherRequest(s);
    return false;
  }
  return true;
}

void receiveDownloadPinState(Settlement& s, uint8_t status) {
  LINK_TRACE("receiving NfcMeCommandDownloadPinState");
  if (!takeDownloadPinRequest(s, failUnsettledRequest)) {
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
  const auto unexpected = [](Settlement& other) {
    Log_Error("Unexpected NfcMeCommandDownloadPinStateResp command received");
    rearmRequest(other);
  };
  if (!takeDownloadPinRequest(s, unexpected)) {
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

}  // namespace nfcme_link

using namespace nfcme_link;

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
