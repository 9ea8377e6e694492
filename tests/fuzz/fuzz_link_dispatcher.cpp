// Feeds one frame to the receive dispatcher in the request state that the
// input selects. The frame is handed over in a heap block of exactly its
// size, so any read past it is caught by AddressSanitizer.
#include <cstring>
#include <memory>

#include "ByteBuffer.h"
#include "LinkDispatcherFuzz.h"
#include "Mutex.h"
#include "Timer.h"
#include "WaiterNotifier.h"
#include "vxHECICommunicationLayer.h"

namespace {

void ignoreStatus(void*, int32_t, int32_t) {}
void touchData(void*, int32_t, uint8_t* data, uint32_t length) {
  // Reads every byte it was handed, so a length beyond the buffer shows.
  volatile uint8_t sum = 0;
  for (uint32_t i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + data[i]);
}

// One context for the whole run (it owns a timer thread); reset per input.
NfcMeContext* context() {
  static NfcMeContext* ctx = nfcMeContextCreate(nullptr);
  return ctx;
}

void reset(NfcMeContext* ctx) {
  Timer_Stop(ctx->sendTimer);  // a rearmed request may have started it
  WaiterNotifier_Lock(ctx->waiter);
  if (ctx->waiter->state == WN_NOTIFIED) {
    WaiterNotifier_Wait(ctx->waiter);
  }
  WaiterNotifier_Unlock(ctx->waiter);
  Mutex_Lock(ctx->lock);
  ctx->sendPending = 0;
  Mutex_Unlock(ctx->lock);
  ByteBuffer_SetData(ctx->pendingData, nullptr, 0);
  ctx->meQueryInfo = nullptr;
  ctx->meRequest = MeRequestNone;
  ctx->meRequestStatus = ME_REQUEST_OK;
  ctx->initialRecvBuffer = nullptr;
  ctx->initialRecvBufferSize = 0;
  ctx->statusCallback = nullptr;
  ctx->dataCallback = nullptr;
  gNfcMeLinkTrace = false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 0x10000) {
    return 0;
  }
  NfcMeContext* ctx = context();
  const uint8_t state = data[0];
  const uint32_t upperSize = data[1];
  const uint32_t length = static_cast<uint32_t>(size - 2);

  MeQueryInfo info;
  std::memset(&info, 0, sizeof info);
  std::unique_ptr<uint8_t[]> upper(new uint8_t[upperSize == 0 ? 1 : upperSize]);
  std::unique_ptr<uint8_t[]> frame(new uint8_t[length]);
  std::memcpy(frame.get(), data + 2, length);

  ctx->meRequest = state & 0x03;
  Mutex_Lock(ctx->lock);
  ctx->sendPending = (state & 0x04) ? 1 : 0;
  Mutex_Unlock(ctx->lock);
  if (state & 0x08) {
    ctx->meQueryInfo = &info;
  }
  if (state & 0x10) {
    Mutex_Lock(ctx->recvLock);
    ctx->initialRecvBuffer = upper.get();
    ctx->initialRecvBufferSize = upperSize;
    Mutex_Unlock(ctx->recvLock);
  }
  if (state & 0x40) {
    ctx->statusCallback = ignoreStatus;
    ctx->dataCallback = touchData;
  }
  gNfcMeLinkTrace = (state & 0x80) != 0;

  NfcMeIfReceiveComplete(ctx, (state & 0x20) ? 1 : 0, frame.get(), length);

  reset(ctx);
  return 0;
}
