// A stand-in for the System event log in tests: MEI driver events come from
// this in-process event source. It delivers each published event to the matching
// subscriptions on a delivery thread of its own, never on the publisher's
// thread. Subscribers see only events published after they subscribed.
#pragma once

#include <cstdint>

// Publishes one event of `provider` (e.g. "MEI", "MEIx64") with its ID and
// level. Returns once the event is queued, not when it is delivered.
void MeiEventSource_Publish(const char* provider, uint16_t eventId, uint8_t level);
// Waits until every event published so far has been delivered (for tests).
// Called from a delivery it returns at once: a delivery cannot wait for
// itself.
void MeiEventSource_Drain();
// The same with a limit: false when the deliveries had not all ended within
// `timeoutMs` (a test's guard against a delivery that never returns).
bool MeiEventSource_DrainFor(uint32_t timeoutMs);
// Deliveries queued or in progress right now, over all subscriptions.
uint32_t MeiEventSource_Pending();

// ---------------------------------------------------------------------------
// The event-log side of the source, as the watcher's simulated backend
// (OsEvent_meisource.cpp) and the wevtapi stand-in use it:
// subscribe, deliver on the source's thread, render, close.

// Called on the subscription's delivery thread with action 0 (error: `event`
// carries a Win32 error code in place of a pointer) or 1 (deliver: `event`
// is the delivered event, valid until the call returns).
using MeiEventCallback = uint32_t (*)(uint32_t action, void* context, void* event);

struct MeiSubscription;

// The one channel the source serves.
constexpr const wchar_t* kMeiEventChannel = L"System";

// Subscribes to events published from now on that pass the watcher's
// filter. `query` must be the watcher's own (MeiEventQuery.h). Returns null
// and sets *error to 15007 for a channel other than "System", 15001 for any
// other query.
MeiSubscription* MeiEventSource_Subscribe(const wchar_t* channel, const wchar_t* query,
                                          MeiEventCallback callback, void* context,
                                          uint32_t* error);
// Ends the subscription and frees it. Once this returns no delivery starts
// any more, and a delivery in progress has finished, except when called from
// that delivery itself: then it returns at once and the delivery thread ends
// by itself after the callback.
void MeiEventSource_Close(MeiSubscription* subscription);
// Hands an error action with this Win32 error code to every subscription,
// as the event log does, e.g. 15011 when event records were lost.
void MeiEventSource_PublishError(uint32_t error);

// One rendered value; laid out like the event log's typed values (16 bytes).
enum MeiEventValueType : uint32_t {
  kMeiValueNull = 0,
  kMeiValueString = 1,     // wide string, stored in the same buffer
  kMeiValueByte = 4,       // Level
  kMeiValueUInt16 = 6,     // EventID
  kMeiValueFileTime = 17,  // TimeCreated: 100 ns since 1601-01-01 UTC
};
struct MeiEventValue {
  union {
    const wchar_t* stringValue;
    uint64_t fileTimeValue;
    uint16_t uint16Value;
    uint8_t byteValue;
  };
  uint32_t count;
  uint32_t type;  // MeiEventValueType
};
static_assert(sizeof(MeiEventValue) == 16, "rendered values are 16 bytes each");

struct MeiRenderContext;

// A context rendering the given paths: "Event/System/Provider/@Name",
// "Event/System/TimeCreated/@SystemTime", "Event/System/EventID",
// "Event/System/Level"; any other path renders as a null value.
MeiRenderContext* MeiEventSource_CreateRenderContext(const wchar_t* const* paths, uint32_t count,
                                                     uint32_t* error);
void MeiEventSource_CloseRenderContext(MeiRenderContext* context);
// Renders a delivered event: the values, followed by the strings they point
// to. Fails with 122 when the buffer is missing or smaller than needed,
// reporting the size needed and the number of values.
bool MeiEventSource_Render(MeiRenderContext* context, void* event, uint32_t bufferSize,
                           void* buffer, uint32_t* bufferUsed, uint32_t* valueCount,
                           uint32_t* error);

// ---------------------------------------------------------------------------
// Test seams. Both stay in force until reset.

// Every subscription fails with this Win32 error code (0: none).
void MeiEventSource_SetSubscribeFault(uint32_t error);

enum class MeiRenderFault : uint8_t {
  kNone,
  kRenderContext,       // creating a render context fails
  kInsufficientBuffer,  // rendering into a buffer fails with 122
  kOtherError,          // rendering into a buffer fails with 13 (ERROR_INVALID_DATA)
};
void MeiEventSource_SetRenderFault(MeiRenderFault fault);
