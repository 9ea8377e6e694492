#include "EventLogReport.h"

#include <atomic>

#include "Log.h"

namespace {

std::atomic<const EventLogBackend*> gBackend{nullptr};
std::atomic<EventLogReportObserver> gObserver{nullptr};

}  // namespace

bool EventLog_Report(const EventLogReport& report) {
  const EventLogBackend* backend = gBackend.load();
  if (backend == nullptr) {
    backend = &EventLog_PlatformBackend();
  }
  // One self-contained sequence per report: no source stays open between
  // reports, and a report that could not be written changes nothing for the
  // caller but these lines.
  void* source = backend->registerSource(kEventSourceName);
  const bool written = backend->report(source, report);
  if (!written) {
    Log_Error("ReportEventA() failed !");
  }
  Log_Error("%s", report.logLine != nullptr ? report.logLine : "");
  backend->deregisterSource(source);
  if (const EventLogReportObserver observer = gObserver.load()) {
    observer(report, written);
  }
  return written;
}

void EventLog_SetReportObserver(EventLogReportObserver observer) { gObserver.store(observer); }

void EventLog_SetBackend(const EventLogBackend* backend) { gBackend.store(backend); }
