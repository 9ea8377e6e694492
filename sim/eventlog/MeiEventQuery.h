// The one query the event-log stand-ins serve: the watcher's own. They take
// no other text (15001, as the event log answers a query it cannot
// evaluate), and instead of evaluating the text they apply the filter it
// stands for.
#pragma once

#include <cstdint>

// True for exactly the watcher's query text (kOsEventQuery).
bool MeiEventQuery_IsWatchersQuery(const wchar_t* query);

// The watcher's filter: providers "MEI" and "MEIx64" (names compared as the
// event log does, letter case included), event IDs 1 and 4.
bool MeiEventQuery_Selects(const char* provider, uint16_t eventId);
