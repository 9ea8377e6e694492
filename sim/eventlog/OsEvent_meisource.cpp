// The watcher's event-log operations over the in-process MEI event source,
// for the Linux tests and benchmarks: the source stands in for the System
// channel, and tests publish what the MEI driver would write.
#include "MeiEventSource.h"
#include "OsEvent.h"
#include "OsEventPlatform.h"

void* OsEventPlatform_Subscribe(const wchar_t* channel, const wchar_t* query, OsEvent* context,
                                uint32_t* error) {
  return MeiEventSource_Subscribe(channel, query, SubscriptionCallback, context, error);
}

void OsEventPlatform_LogSubscribeFailure(uint32_t error) { OsEvent_LogEventLogSubscribeFailure(error); }

void OsEventPlatform_CloseSubscription(void* subscription) {
  MeiEventSource_Close(static_cast<MeiSubscription*>(subscription));
}

void* OsEventPlatform_CreateRenderContext(const wchar_t* const* paths, uint32_t count) {
  uint32_t error = 0;
  return MeiEventSource_CreateRenderContext(paths, count, &error);
}

void OsEventPlatform_CloseRenderContext(void* renderContext) {
  MeiEventSource_CloseRenderContext(static_cast<MeiRenderContext*>(renderContext));
}

bool OsEventPlatform_Render(void* renderContext, void* event, uint32_t bufferSize, void* buffer,
                            uint32_t* bufferUsed, uint32_t* valueCount, uint32_t* error) {
  return MeiEventSource_Render(static_cast<MeiRenderContext*>(renderContext), event, bufferSize,
                               buffer, bufferUsed, valueCount, error);
}

uint16_t OsEventPlatform_UInt16Value(const void* values, uint32_t index) {
  return static_cast<const MeiEventValue*>(values)[index].uint16Value;
}
