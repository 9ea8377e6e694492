// Where there is no Windows event log, MEI driver events come from this
// in-process event source. It delivers each published event to the matching
// subscriptions on a delivery thread of its own, never on the publisher's
// thread. Subscribers see only events published after they subscribed.
#pragma once

#include <cstdint>

// Publishes one event of `provider` (e.g. "MEI", "MEIx64") with its ID and
// level. Returns once the event is queued, not when it is delivered.
void MeiEventSource_Publish(const char* provider, uint16_t eventId, uint8_t level);
// Waits until every event published so far has been delivered (for tests).
void MeiEventSource_Drain();
