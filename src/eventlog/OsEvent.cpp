#include "OsEvent.h"

#include <new>

#include "Log.h"
#include "Memory.h"
#include "OsEventPlatform.h"

void OsEvent_Create(OsEvent** out) {
  if (out == nullptr) {
    return;
  }
  // The record has atomic members: construct them properly on the guarded
  // block instead of relying on its fill.
  auto* e = new (Memory_Alloc(sizeof(OsEvent))) OsEvent();
  e->subscription = nullptr;
  e->callback.store(nullptr);
  e->argument.store(nullptr);
  *out = e;
}

void OsEvent_Subscribe(OsEvent* e) {
  if (e == nullptr) {
    return;
  }
  uint32_t error = 0;
  e->subscription = OsEventPlatform_Subscribe(kOsEventChannel, kOsEventQuery, e, &error);
  if (e->subscription != nullptr) {
    return;
  }
  // The watcher stays in use without a subscription; this line is the only
  // trace that ME resets go unnoticed.
  OsEventPlatform_LogSubscribeFailure(error);
}

void OsEvent_LogEventLogSubscribeFailure(uint32_t error) {
  switch (error) {
    case kOsEventErrorChannelNotFound:
      Log_Error("Channel 'System' was not found.");
      break;
    case kOsEventErrorInvalidQuery:
      Log_Error("The query is not valid.");
      break;
    default:
      Log_Error("EvtSubscribe failed with %lu.", static_cast<unsigned long>(error));
      break;
  }
}

void OsEvent_SetCallback(OsEvent* e, OsEventCallback callback, void* argument) {
  if (e == nullptr) {
    return;
  }
  // Argument first: whoever sees the callback also sees its argument.
  e->argument.store(argument, std::memory_order_release);
  e->callback.store(callback, std::memory_order_release);
}

uint32_t OsEvent_Delete(OsEvent* e) {
  if (e == nullptr) {
    return 1;
  }
  if (e->subscription != nullptr) {
    OsEventPlatform_CloseSubscription(e->subscription);
    e->subscription = nullptr;
  }
  e->~OsEvent();
  Memory_Free(e);
  return 0;
}

namespace {

void deliver(OsEvent* e, void* event) {
  Log_Info("EvtSubscribeActionDeliver");
  void* values = OsEvent_RenderValues(event);
  // The address goes out as %X: only its low 32 bits on a 64-bit build.
  Log_Info("eventInfo %X", static_cast<unsigned>(reinterpret_cast<uintptr_t>(values)));
  if (values == nullptr) {
    return;
  }
  const uint16_t eventId = OsEvent_EventIdOf(values);
  Log_Info("eventId %i", static_cast<int>(eventId));
  if (eventId == kOsEventIdMeReset && e != nullptr) {
    const OsEventCallback callback = e->callback.load(std::memory_order_acquire);
    if (callback != nullptr) {
      void* const argument = e->argument.load(std::memory_order_acquire);
      // The callback may delete this very watcher, so `e` is not touched
      // once it has been called.
      callback(argument);
    }
  }
  Memory_Free(values);
}

}  // namespace

uint32_t SubscriptionCallback(uint32_t action, void* context, void* event) {
  auto* e = static_cast<OsEvent*>(context);
  switch (action) {
    case kOsEventActionError: {
      const auto code = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(event));
      if (code == kOsEventErrorQueryResultStale) {
        Log_Error("The subscription callback was notified that event records are missing.");
      } else {
        Log_Error("The subscription callback received the following Win32 error: %lu",
                  static_cast<unsigned long>(code));
      }
      break;
    }
    case kOsEventActionDeliver:
      deliver(e, event);
      break;
    default:
      Log_Error("SubscriptionCallback: Unknown action.");
      break;
  }
  return 0;
}

void* OsEvent_RenderValues(void* event) {
  void* renderContext = OsEventPlatform_CreateRenderContext(kOsEventValuePaths, kOsEventValueCount);
  if (renderContext == nullptr) {
    Log_Error("EvtCreateRenderContext failed");
    return nullptr;
  }
  void* values = nullptr;
  uint32_t bufferUsed = 0;
  uint32_t valueCount = 0;
  uint32_t error = 0;
  // A first call without a buffer learns the size; it only succeeds when
  // there is nothing to render.
  if (!OsEventPlatform_Render(renderContext, event, 0, nullptr, &bufferUsed, &valueCount, &error)) {
    // The block is sized generously: the reported size once per value.
    const uint64_t wanted = static_cast<uint64_t>(bufferUsed) * valueCount;
    Log_Info("EvtRender >>> %i", static_cast<int>(wanted));
    if (wanted > UINT32_MAX) {
      // A size that does not fit the block's size word cannot be rendered.
      Log_Error("Error Rendering Event");
    } else if (wanted != 0) {
      const auto size = static_cast<uint32_t>(wanted);
      values = Memory_Alloc(size);
      if (!OsEventPlatform_Render(renderContext, event, size, values, &bufferUsed, &valueCount,
                                  &error)) {
        Memory_Free(values);
        values = nullptr;
        if (error == kOsEventErrorInsufficientBuffer) {
          Log_Error("Error Rendering Event ERROR_INSUFFICIENT_BUFFER");
        } else {
          Log_Error("Error Rendering Event");
        }
      } else if (valueCount <= kOsEventValueEventId) {
        // Fewer values than asked for: there is no event ID to read.
        Memory_Free(values);
        values = nullptr;
        Log_Error("Error Rendering Event");
      }
    }
  }
  OsEventPlatform_CloseRenderContext(renderContext);
  return values;
}

uint16_t OsEvent_EventIdOf(const void* values) {
  return OsEventPlatform_UInt16Value(values, kOsEventValueEventId);
}
