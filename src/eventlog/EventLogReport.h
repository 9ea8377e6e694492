// Failure reports to the system event log under the source KelvNfpProvider:
// register the source, report one insertion string, log on failure, log the
// report's own line, deregister.
//
// Backends: EventLogReport_win32.cpp (advapi32) and EventLogReport_posix.cpp
// (syslog(3)).
#pragma once

#include <cstdint>

constexpr const char* kEventSourceName = "KelvNfpProvider";

constexpr uint16_t kEventTypeError = 1;        // EVENTLOG_ERROR_TYPE
constexpr uint16_t kEventTypeInformation = 4;  // EVENTLOG_INFORMATION_TYPE

struct EventLogReport {
  uint32_t eventId;
  uint16_t type;
  uint16_t category;
  const char* insertion;  // the one insertion string
  const char* logLine;    // the program's own log line, at error level
};

// The three reports of the link layer.
constexpr EventLogReport kReportConnectionFailed = {
    2, kEventTypeError, 1, "Communication with HECI driver cannot be established.",
    "Connection with HECI failed, is HECI driver alive ?"};
constexpr EventLogReport kReportSendTimeout = {6, kEventTypeInformation, 0, "HECI Send command timeouts.",
                                               "HECI Send command timeouts."};
constexpr EventLogReport kReportSendFailed = {
    3, kEventTypeError, 1,
    "Cannot send command to HECI driver. The command times out after several retries.",
    "Send HCI frame failed."};

// Writes the report. Returns true when the system accepted it.
bool EventLog_Report(const EventLogReport& report);

// Test seam: called after every report with whether it was written.
using EventLogReportObserver = void (*)(const EventLogReport& report, bool written);
void EventLog_SetReportObserver(EventLogReportObserver observer);

// ---------------------------------------------------------------------------
// The platform's three event-logging calls behind a report.
struct EventLogBackend {
  // Opens the event source; the handle may be null (then reporting fails).
  void* (*registerSource)(const char* sourceName);
  // Writes one report through the source. True when the system accepted it.
  bool (*report)(void* source, const EventLogReport& report);
  // Releases the source.
  void (*deregisterSource)(void* source);
};

// The platform's own calls: advapi32 on Windows, syslog(3) elsewhere.
const EventLogBackend& EventLog_PlatformBackend();

// Test seam: reports go through `backend` (null: the platform's own).
void EventLog_SetBackend(const EventLogBackend* backend);

// syslog(3) backend only: the socket whose reachability decides whether a
// report can be written (default "/dev/log"; null restores it). syslog(3)
// itself reports nothing, so a report counts as written only when the
// system logger's socket takes a connection. The string must outlive its use.
void EventLog_SetSystemLogSocket(const char* path);
