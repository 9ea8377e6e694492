// The link layer's log and trace helpers, shared by its rooms: the trace
// switch's debug lines, the source name and fixed line numbers under which
// internal-state errors are reported (the same whichever file reports
// them), and the upper layer's callbacks.
#pragma once

#include <cstdint>

#include "Log.h"
#include "vxHECICommunicationLayer.h"

// Debug lines, written only while the trace switch is on.
#define LINK_TRACE_WITH(log, ...)          \
  do {                                     \
    if (gNfcMeLinkTrace) log(__VA_ARGS__); \
  } while (0)
#define LINK_TRACE(...) LINK_TRACE_WITH(Log_Info, __VA_ARGS__)
#define LINK_TRACE_WARNING(...) LINK_TRACE_WITH(Log_Warning, __VA_ARGS__)
#define LINK_TRACE_ERROR(...) LINK_TRACE_WITH(Log_Error, __VA_ARGS__)

namespace nfcme_link {

// The name under which the link layer's internal-state errors are reported,
// whichever of its files reports them.
inline constexpr const char* kSourceName = "..\\src\\port\\intel\\vxHECICommunicationLayer";
inline constexpr const char* kNeverHappens = "%s %s l.%i :This case should never happened";
inline constexpr int kLineAnswerInTimeout = 374;
inline constexpr int kLineTimeoutInCallBack = 417;
inline constexpr int kLineCancelTimerRequest = 455;
inline constexpr int kLineUnhandledTimeout = 861;
inline constexpr int kLineUnhandledSendComplete = 1130;
inline constexpr int kLineUnhandledSendResponse = 1385;

// Tells the upper layer; skipped when it installed no callback.
inline void callStatus(NfcMeContext* ctx, int32_t status, int32_t value) {
  if (ctx->statusCallback != nullptr) {
    ctx->statusCallback(ctx->userData, status, value);
  }
}

inline void callData(NfcMeContext* ctx, int32_t status, uint8_t* data, uint32_t length) {
  if (ctx->dataCallback != nullptr) {
    ctx->dataCallback(ctx->userData, status, data, length);
  }
}

}  // namespace nfcme_link
