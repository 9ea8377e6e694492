// The timer's wake event on the deterministic scheduler: a flag, and a timed
// wait on the virtual clock.
#include <new>

#include "DstWorld.h"
#include "Memory.h"
#include "WakeEvent.h"

struct WakeEvent {
  dst::detail::Object object{"WakeEvent"};
  bool set = false;
};

void WakeEvent_Create(WakeEvent** out) { *out = new (Memory_Alloc(sizeof(WakeEvent))) WakeEvent; }

void WakeEvent_Set(WakeEvent* e) {
  e->set = true;
  dst::detail::Wake(&e->object);
  dst::detail::Point("WakeEvent_Set", &e->object, __builtin_return_address(0));
}

void WakeEvent_Reset(WakeEvent* e) { e->set = false; }

bool WakeEvent_IsSet(WakeEvent* e) { return e->set; }

bool WakeEvent_WaitFor(WakeEvent* e, uint32_t ms) {
  const void* caller = __builtin_return_address(0);
  const uint64_t deadline = dst::detail::Now() + static_cast<uint64_t>(ms) * 1000000ull;
  for (;;) {
    if (e->set) return true;
    if (dst::detail::BlockWait("WakeEvent_WaitFor", &e->object, deadline, caller)) return e->set;
  }
}

void WakeEvent_Delete(WakeEvent* e) {
  if (e == nullptr) return;
  e->~WakeEvent();
  Memory_Free(e);
}
