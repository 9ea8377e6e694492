// The watcher's event-log operations on Windows: the System channel through
// the Windows Event Log API (wevtapi).
#include <windows.h>
#include <winevt.h>

#include "OsEvent.h"
#include "OsEventPlatform.h"

namespace {

// What the event log calls back with, in place of the watcher itself.
//
// Whether EvtClose waits for a callback that is running is not documented.
// The watcher frees itself, and the link layer the context that its
// callback uses, right after the close; so the close below waits itself
// until no callback of the subscription runs any more. A gate is never
// freed: with an EvtClose that does not wait, a callback the event log has
// already started may reach it at any later time, and then finds it closed.
// One gate per subscription, a few per run.
struct Gate {
  EVT_HANDLE subscription;
  OsEvent* watcher;
  SRWLOCK lock;
  CONDITION_VARIABLE idle;  // signalled when `running` drops
  uint32_t running;         // callbacks between their start and their end
  bool closed;              // no callback starts once set
};

// The gate whose callback runs on this thread, if any: a close from inside
// that callback must not wait for the callback itself.
thread_local const Gate* tCallingBack = nullptr;

// The event log calls back with the WINAPI convention; the watcher's
// callback is portable.
DWORD WINAPI subscriptionTrampoline(EVT_SUBSCRIBE_NOTIFY_ACTION action, PVOID context,
                                    EVT_HANDLE event) {
  auto* gate = static_cast<Gate*>(context);
  AcquireSRWLockExclusive(&gate->lock);
  const bool open = !gate->closed;
  if (open) {
    ++gate->running;
  }
  ReleaseSRWLockExclusive(&gate->lock);
  if (!open) {
    return 0;
  }
  const Gate* const outer = tCallingBack;
  tCallingBack = gate;
  const uint32_t result = SubscriptionCallback(static_cast<uint32_t>(action), gate->watcher, event);
  tCallingBack = outer;
  AcquireSRWLockExclusive(&gate->lock);
  --gate->running;
  ReleaseSRWLockExclusive(&gate->lock);
  WakeAllConditionVariable(&gate->idle);
  return result;
}

}  // namespace

void* OsEventPlatform_Subscribe(const wchar_t* channel, const wchar_t* query, OsEvent* context,
                                uint32_t* error) {
  auto* gate = static_cast<Gate*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Gate)));
  if (gate == nullptr) {
    *error = ERROR_OUTOFMEMORY;
    return nullptr;
  }
  gate->watcher = context;
  InitializeSRWLock(&gate->lock);
  InitializeConditionVariable(&gate->idle);
  // Some implementations return null without setting the last error; clear
  // it so that such a failure is reported as 0 rather than as a stale code.
  SetLastError(ERROR_SUCCESS);
  gate->subscription = EvtSubscribe(nullptr, nullptr, channel, query, nullptr, gate,
                                    subscriptionTrampoline, EvtSubscribeToFutureEvents);
  if (gate->subscription == nullptr) {
    *error = GetLastError();
    // No subscription, so nothing will ever call back with this gate.
    HeapFree(GetProcessHeap(), 0, gate);
    return nullptr;
  }
  return gate;
}

void OsEventPlatform_LogSubscribeFailure(uint32_t error) { OsEvent_LogEventLogSubscribeFailure(error); }

void OsEventPlatform_CloseSubscription(void* subscription) {
  auto* gate = static_cast<Gate*>(subscription);
  AcquireSRWLockExclusive(&gate->lock);
  gate->closed = true;
  ReleaseSRWLockExclusive(&gate->lock);
  EvtClose(gate->subscription);
  // Whatever EvtClose did: return only once no callback runs, except the
  // one this close is called from.
  const uint32_t own = tCallingBack == gate ? 1 : 0;
  AcquireSRWLockExclusive(&gate->lock);
  while (gate->running > own) {
    SleepConditionVariableSRW(&gate->idle, &gate->lock, INFINITE, 0);
  }
  ReleaseSRWLockExclusive(&gate->lock);
}

void* OsEventPlatform_CreateRenderContext(const wchar_t* const* paths, uint32_t count) {
  return EvtCreateRenderContext(count, const_cast<LPCWSTR*>(paths), EvtRenderContextValues);
}

void OsEventPlatform_CloseRenderContext(void* renderContext) { EvtClose(renderContext); }

bool OsEventPlatform_Render(void* renderContext, void* event, uint32_t bufferSize, void* buffer,
                            uint32_t* bufferUsed, uint32_t* valueCount, uint32_t* error) {
  DWORD used = 0;
  DWORD count = 0;
  const BOOL ok = EvtRender(renderContext, event, EvtRenderEventValues, bufferSize, buffer, &used,
                            &count);
  *bufferUsed = used;
  *valueCount = count;
  if (!ok) {
    *error = GetLastError();
  }
  return ok != FALSE;
}

uint16_t OsEventPlatform_UInt16Value(const void* values, uint32_t index) {
  return static_cast<const EVT_VARIANT*>(values)[index].UInt16Val;
}
