// The four event-log operations the watcher needs, one implementation per
// event source (OsEvent_win32.cpp, OsEvent_linux.cpp, and the tests'
// sim/eventlog/OsEvent_meisource.cpp), chosen at link time. Every failure hands back
// the platform's Win32-style error code.
#pragma once

#include <cstdint>

struct OsEvent;

// Subscribes to future events of `channel` matching `query`; deliveries and
// errors go to SubscriptionCallback with `context`. Null on failure.
void* OsEventPlatform_Subscribe(const wchar_t* channel, const wchar_t* query, OsEvent* context,
                                uint32_t* error);
// Logs why subscribing failed with `error`, in the platform's own terms: a
// Windows event log's lines (OsEvent_LogEventLogSubscribeFailure), or what
// another platform has in place of the channel and what then goes unwatched.
void OsEventPlatform_LogSubscribeFailure(uint32_t error);
// Ends a subscription: once this returns, no delivery starts any more.
void OsEventPlatform_CloseSubscription(void* subscription);

// A context that renders the given value paths. Null on failure.
void* OsEventPlatform_CreateRenderContext(const wchar_t* const* paths, uint32_t count);
void OsEventPlatform_CloseRenderContext(void* renderContext);

// Renders the event's values into buffer. When the buffer is missing or too
// small it fails with 122 and still reports the size needed and the number
// of values.
bool OsEventPlatform_Render(void* renderContext, void* event, uint32_t bufferSize, void* buffer,
                            uint32_t* bufferUsed, uint32_t* valueCount, uint32_t* error);

// The 16-bit unsigned member of value `index` in a rendered block.
uint16_t OsEventPlatform_UInt16Value(const void* values, uint32_t index);
