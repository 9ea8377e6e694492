// The settlement of the link's one outstanding request, shared by the
// link's rooms: request ids, the take, the stored outcome and the wake-up,
// the send timer's arming, and the count of threads inside a send. The
// race that these settle, and why each step is where it is, is told in
// vxHECIRequest.cpp.
#pragma once

#include <cstdint>

#include "HECIStatus.h"
#include "vxHECICommunicationLayer.h"

namespace nfcme_link {

// A request whose caller sleeps on the waiter until it is settled.
bool isWaitedRequest(int32_t request);

constexpr uint32_t kCurrentRequest = 0xFFFFFFFFu;  // whichever request is waited for now

// The id after `id`: never 0 (a request set up without an id) and never
// kCurrentRequest, also when the count wraps.
constexpr uint32_t nextRequestId(uint32_t id) {
  return id + 1 == kCurrentRequest || id + 1 == 0 ? 1 : id + 1;
}
static_assert(nextRequestId(kCurrentRequest - 1) == 1 && nextRequestId(kCurrentRequest) == 1 &&
                  nextRequestId(41) == 42,
              "request ids skip 0 and kCurrentRequest");

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

// --- Settle: under the waiter's lock ------------------------------------------
// Caller holds the waiter's lock. The waiter waits for the settled request
// (whether or not its outcome is stored yet).
bool waitsFor(const Settlement& s);
// Caller holds the waiter's lock. The waiter waits for the request and has
// no outcome for it yet.
bool stillWaited(const Settlement& s);
// Caller holds the waiter's lock and has seen stillWaited.
void markSettled(Settlement& s, uint32_t status);
// The kind of the settled request while its caller still waits for it;
// None once the caller has gone.
int32_t requestKind(const Settlement& s);
void storeOutcome(Settlement& s, uint32_t status);
void failWaiter(Settlement& s);
void wakeIfDue(Settlement& s);

// --- Take: under `lock` -----------------------------------------------------------
// The answer's side of the race (handleTimeoutInCallBack), recording which
// request it took; `only`: take it only when it is this one. True when
// nothing was pending. A failed write takes its own request the same way.
bool takeAnsweredRequest(Settlement& s, uint32_t only = kCurrentRequest);
// The timer's side of the race (handleAnswerInTimeoutCallback). Caller
// holds `lock`, which stays held.
bool takeTimedOutRequest(NfcMeContext* ctx);
// heciHelperRearmRequest for the request that `s` took: false, and nothing
// changed, when another request has been committed since.
bool repend(const Settlement& s);

// --- Timer and senders ------------------------------------------------------------
// Arms the send timer for `request`: its expiry acts only on that request.
void armSendTimerFor(NfcMeContext* ctx, uint32_t request);
// Writes a frame of `request`, counted in heciSenders while it is written.
HECIStatus sendFrame(NfcMeContext* ctx, uint32_t request, const uint8_t* frame, uint32_t length);
// The request whose write is failing on this thread, or kCurrentRequest
// when the send-complete handler is called outside sendFrame.
uint32_t requestBeingSent(const NfcMeContext* ctx);
// Closes the core that a failed write retired, if any.
void closeRetired(NfcMeContext* ctx);
// On the caller's thread only: the same, once nobody sends any more.
void closeRetiredWhenIdle(NfcMeContext* ctx);

}  // namespace nfcme_link
