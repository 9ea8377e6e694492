// The wevtapi.dll stand-in: the four Windows Event Log calls the ME reset
// watcher makes (EvtSubscribe, EvtCreateRenderContext, EvtRender, EvtClose),
// served by the in-process MEI event source instead of the event log
// service. Built for both widths, with the real DLL's undecorated export
// names, and loaded only where a test puts it: beside the program, with
// WINEDLLOVERRIDES="wevtapi=n,b" under Wine. Orlisk itself is not changed.
//
// What it keeps of each call's documented contract:
// - EvtSubscribe: the local computer only, push mode (a callback),
//   EvtSubscribeToFutureEvents. The channel "System" (any letter case)
//   exists, every other channel fails with 15007
//   (ERROR_EVT_CHANNEL_NOT_FOUND), and any query but the watcher's own
//   (MeiEventQuery.h) fails with 15001 (ERROR_EVT_INVALID_QUERY). Anything
//   else it does not serve fails with 87 (ERROR_INVALID_PARAMETER).
// - Deliveries, EvtSubscribeActionDeliver with an event handle that is
//   valid only during the callback, and EvtSubscribeActionError with a
//   Win32 code in place of the handle, come on one thread per subscription.
// - EvtCreateRenderContext with EvtRenderContextValues, and EvtRender with
//   EvtRenderEventValues: a missing or too small buffer fails with 122
//   (ERROR_INSUFFICIENT_BUFFER) and still reports the size needed and the
//   number of values; the values are EVT_VARIANTs (16 bytes on both widths)
//   followed by the strings they point to. Provider name: EvtVarTypeString,
//   creation time: EvtVarTypeFileTime, event ID: EvtVarTypeUInt16, level:
//   EvtVarTypeByte; any other path: EvtVarTypeNull.
// - EvtClose of a subscription returns only when no callback of it runs any
//   more, and none comes after it. Called from inside that subscription's
//   own callback it returns at once (waiting there would wait for itself);
//   the callback in progress is then the last one. With the environment
//   variable NFCSIM_EVT_CLOSE=nowait it returns at once instead, even while
//   a callback runs (which the documentation leaves open); no callback
//   starts after it, and the one running goes on. A null, unknown or
//   already closed handle, and a delivered event handle (which belongs to
//   the event log), fail with 6 (ERROR_INVALID_HANDLE).
//
// Events from outside the process: the environment variable NFCSIM_EVT,
// read at the first successful EvtSubscribe of the process, schedules
// deliveries after it, so an unmodified program sees them:
//
//   NFCSIM_EVT="MEI:1@300"            provider MEI, event ID 1, 300 ms after
//   NFCSIM_EVT="MEI:4@100,MEIx64:1@250,!15011@400"
//
// Entries are separated by commas: PROVIDER:ID[@MS] publishes an event
// (level 4) and !CODE[@MS] an EvtSubscribeActionError with that Win32 code;
// the delay counts from that first subscription and defaults to 0. Events go
// to every subscription open at that moment whose query they match. An
// entry that does not parse is named on standard error and skipped.
//
// NFCSIM_EVT_TRACE=PATH appends one line per subscription, delivery and
// close to that file (under Wine a Unix path will do), so a test can see
// what the program did with the subscription: "subscribe System 0" (the error code, 0 on success),
// "deliver MEI 1", "error 15011", "close" or "close from callback"; with
// NFCSIM_EVT_CLOSE=nowait, "close without waiting" (", a callback runs"
// when one does) and, with a slow render, "render returned after close".
//
// NFCSIM_EVT_RENDER_MS=N makes each EvtRender take N ms, so that a callback
// that renders its event is a slow one.
//
// In-process tests drive it through its extra exports below; look them up
// with GetProcAddress on the loaded wevtapi.dll (which also proves that the
// stand-in, not the system's DLL, was loaded).
#pragma once

#include <cstdint>

extern "C" {

// Publishes an event of `provider` with its ID and level; it is delivered
// on the subscriptions' threads. Returns once it is queued.
using WevtSim_PublishFn = void (*)(const char* provider, uint16_t eventId, uint8_t level);
// Hands EvtSubscribeActionError with `code` to every open subscription.
using WevtSim_PublishErrorFn = void (*)(uint32_t code);
// Waits until everything published so far has been delivered. Returns false
// when that did not happen within `timeoutMs`.
using WevtSim_DrainFn = bool (*)(uint32_t timeoutMs);
// Every later EvtSubscribe fails with this code (0: none).
using WevtSim_SetSubscribeFaultFn = void (*)(uint32_t code);
// 0 none, 1 EvtCreateRenderContext fails, 2 EvtRender into a buffer fails
// with 122, 3 it fails with 13 (ERROR_INVALID_DATA). Stays until reset.
using WevtSim_SetRenderFaultFn = void (*)(uint32_t fault);
// Handles open right now, by kind; deliveries queued or in progress; and how
// many calls were refused for an invalid handle so far.
struct WevtSimCounts {
  uint32_t subscriptions;
  uint32_t renderContexts;
  uint32_t pendingDeliveries;
  uint32_t invalidHandleCalls;
};
using WevtSim_CountsFn = void (*)(WevtSimCounts* counts);
}

constexpr uint32_t kWevtSimRenderFaultNone = 0;
constexpr uint32_t kWevtSimRenderFaultContext = 1;
constexpr uint32_t kWevtSimRenderFaultInsufficientBuffer = 2;
constexpr uint32_t kWevtSimRenderFaultOtherError = 3;
