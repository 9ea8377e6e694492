// The ME reset watcher: subscribes to MEI driver events (providers "MEI"
// and "MEIx64", event IDs 1 and 4). An event with ID 1 calls the registered
// callback on the event source's own thread; ID 4 is only logged.
//
// Backends (OsEventPlatform.h), one linked per executable:
// OsEvent_win32.cpp (the System event log through wevtapi), OsEvent_linux.cpp
// (the MEI driver's device state in sysfs) and, for tests, the in-process
// event source of sim/eventlog/.
#pragma once

#include <atomic>
#include <cstdint>

using OsEventCallback = void (*)(void* argument);

struct OsEvent {
  void* subscription;                     // null when subscribing failed, or after close
  std::atomic<OsEventCallback> callback;  // read on the event source's thread
  std::atomic<void*> argument;
};

// A new record with subscription, callback and argument all null.
void OsEvent_Create(OsEvent** out);
// Opens the subscription and stores its handle (null on failure, logged).
void OsEvent_Subscribe(OsEvent* e);
// Stores the argument, then the callback, so that the event thread never
// sees the callback without its argument.
void OsEvent_SetCallback(OsEvent* e, OsEventCallback callback, void* argument);
// Null returns 1. Otherwise closes the subscription (no delivery starts once
// this returns), frees the record, returns 0.
uint32_t OsEvent_Delete(OsEvent* e);

// ---------------------------------------------------------------------------
// What the watcher asks of the event log, and what the event log hands back.

// Channel and query of the subscription: MEI driver events with ID 1 or 4.
constexpr const wchar_t* kOsEventChannel = L"System";
constexpr const wchar_t* kOsEventQuery =
    L"*[System[Provider[@Name='MEI' or @Name='MEIx64']]] and "
    L"*[System[EventID='4'] or System[EventID='1']]";

// The values rendered for each delivered event, in this order. Only the
// event ID is looked at.
constexpr uint32_t kOsEventValueCount = 4;
constexpr uint32_t kOsEventValueEventId = 2;  // index of "Event/System/EventID"
inline constexpr const wchar_t* kOsEventValuePaths[kOsEventValueCount] = {
    L"Event/System/Provider/@Name",
    L"Event/System/TimeCreated/@SystemTime",
    L"Event/System/EventID",
    L"Event/System/Level",
};

// The index of `path` in kOsEventValuePaths, or -1 for any other path: what
// an event source renders for a value path.
inline int OsEvent_ValuePathIndex(const wchar_t* path) {
  for (uint32_t i = 0; path != nullptr && i < kOsEventValueCount; ++i) {
    const wchar_t* a = path;
    const wchar_t* b = kOsEventValuePaths[i];
    while (*a != L'\0' && *a == *b) {
      ++a;
      ++b;
    }
    if (*a == *b) return static_cast<int>(i);
  }
  return -1;
}

// The event ID that announces an ME reset.
constexpr uint16_t kOsEventIdMeReset = 1;

// Actions of a subscription callback.
constexpr uint32_t kOsEventActionError = 0;    // EvtSubscribeActionError: event is a Win32 error code
constexpr uint32_t kOsEventActionDeliver = 1;  // EvtSubscribeActionDeliver: event is an event handle

// Win32 error codes the watcher tells apart.
constexpr uint32_t kOsEventErrorInsufficientBuffer = 122;  // ERROR_INSUFFICIENT_BUFFER
constexpr uint32_t kOsEventErrorInvalidQuery = 15001;      // ERROR_EVT_INVALID_QUERY
constexpr uint32_t kOsEventErrorChannelNotFound = 15007;   // ERROR_EVT_CHANNEL_NOT_FOUND
constexpr uint32_t kOsEventErrorQueryResultStale = 15011;  // ERROR_EVT_QUERY_RESULT_STALE

// The line of a subscription to a Windows event log (or its stand-ins) that
// failed with `error`: the channel was not found, the query is not valid,
// or the code itself.
void OsEvent_LogEventLogSubscribeFailure(uint32_t error);

// Called by the event log for every delivery or error of the subscription:
// `context` is the OsEvent, `event` an event handle (deliver) or the error
// code in place of one (error). Logs what it got; on an MEI event with ID 1
// it calls the registered callback, on this thread, and waits for it.
// Returns 0 in every case.
uint32_t SubscriptionCallback(uint32_t action, void* context, void* event);

// Renders the event's four values into a new guarded block (free it with
// Memory_Free), or returns null when rendering failed (logged).
void* OsEvent_RenderValues(void* event);

// The event ID in a block from OsEvent_RenderValues: the 16-bit unsigned
// member of the third value.
uint16_t OsEvent_EventIdOf(const void* values);
