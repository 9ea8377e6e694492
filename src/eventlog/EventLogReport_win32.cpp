// Reports to the Windows event log through advapi32.
#include <windows.h>

#include "EventLogReport.h"

namespace {

void* registerSource(const char* sourceName) {
  // The local computer; the result is not examined here, a failed
  // registration shows up as a failed report.
  return RegisterEventSourceA(nullptr, sourceName);
}

bool report(void* source, const EventLogReport& r) {
  const char* strings[1] = {r.insertion != nullptr ? r.insertion : ""};
  return ReportEventA(source, r.type, r.category, r.eventId, nullptr, 1, 0, strings, nullptr) !=
         FALSE;
}

void deregisterSource(void* source) {
  if (source != nullptr) {
    DeregisterEventSource(source);
  }
}

constexpr EventLogBackend kAdvapiBackend = {registerSource, report, deregisterSource};

}  // namespace

const EventLogBackend& EventLog_PlatformBackend() { return kAdvapiBackend; }

// Windows has no system logger socket; the setting belongs to the syslog
// backend.
void EventLog_SetSystemLogSocket(const char*) {}
