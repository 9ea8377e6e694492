// The watcher's event-log operations on Windows: the System channel through
// the Windows Event Log API (wevtapi).
#include <windows.h>
#include <winevt.h>

#include "OsEvent.h"
#include "OsEventPlatform.h"

namespace {

// The event log calls back with the WINAPI convention; the watcher's
// callback is portable.
DWORD WINAPI subscriptionTrampoline(EVT_SUBSCRIBE_NOTIFY_ACTION action, PVOID context,
                                    EVT_HANDLE event) {
  return SubscriptionCallback(static_cast<uint32_t>(action), context, event);
}

}  // namespace

void* OsEventPlatform_Subscribe(const wchar_t* channel, const wchar_t* query, OsEvent* context,
                                uint32_t* error) {
  // Some implementations return null without setting the last error; clear
  // it so that such a failure is reported as 0 rather than as a stale code.
  SetLastError(ERROR_SUCCESS);
  EVT_HANDLE subscription = EvtSubscribe(nullptr, nullptr, channel, query, nullptr, context,
                                         subscriptionTrampoline, EvtSubscribeToFutureEvents);
  if (subscription == nullptr) {
    *error = GetLastError();
  }
  return subscription;
}

void OsEventPlatform_CloseSubscription(void* subscription) { EvtClose(subscription); }

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
