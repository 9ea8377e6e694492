// The ME reset watcher: subscribes to MEI driver events (providers "MEI"
// and "MEIx64", event IDs 1 and 4). An event with ID 1 calls the registered
// callback on the event source's own thread; ID 4 is only logged.
//
// Backends: OsEvent_win32.cpp (the System event log through wevtapi) and
// OsEvent_posix.cpp (the stand-in event source of MeiEventSource.h).
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
