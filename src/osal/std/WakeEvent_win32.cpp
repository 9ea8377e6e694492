// The wake event on Windows: a manual-reset event and a timed
// WaitForSingleObject on it.
#include <windows.h>

#include "CurrentThread.h"
#include "Memory.h"
#include "WakeEvent.h"

struct WakeEvent {
  HANDLE event;
};

void WakeEvent_Create(WakeEvent** out) {
  auto* e = static_cast<WakeEvent*>(Memory_Alloc(sizeof(WakeEvent)));
  e->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (e->event == nullptr) {
    OsCreationFailed("event", GetLastError());
  }
  *out = e;
}

void WakeEvent_Set(WakeEvent* e) { SetEvent(e->event); }

void WakeEvent_Reset(WakeEvent* e) { ResetEvent(e->event); }

bool WakeEvent_IsSet(WakeEvent* e) { return WaitForSingleObject(e->event, 0) == WAIT_OBJECT_0; }

bool WakeEvent_WaitFor(WakeEvent* e, uint32_t ms) {
  return WaitForSingleObject(e->event, ms) == WAIT_OBJECT_0;
}

void WakeEvent_Delete(WakeEvent* e) {
  if (e == nullptr) {
    return;
  }
  CloseHandle(e->event);
  Memory_Free(e);
}
