// Reports to the system log through syslog(3): openlog, syslog and closelog
// per report stand for registering the source, reporting and deregistering.
// On a systemd machine the lines land in the journal under the identifier
// KelvNfpProvider.
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "EventLogReport.h"

namespace {

constexpr const char* kDefaultLogSocket = "/dev/log";

std::atomic<const char*> gLogSocket{kDefaultLogSocket};

// openlog's identifier and connection are process-wide, so a report holds
// this lock from openlog to closelog; two reports on two threads would
// otherwise close each other's log.
std::mutex gSyslogLock;
// The handle a registered source hands out; it only needs to be non-null.
int gSourceToken;

int priorityOf(uint16_t type) {
  switch (type) {
    case kEventTypeError:
      return LOG_ERR;
    case 2:  // EVENTLOG_WARNING_TYPE
      return LOG_WARNING;
    default:
      return LOG_INFO;
  }
}

// Whether the system logger takes connections on its socket. syslog(3) drops
// a message silently when it cannot reach the logger, so this is how a
// report that cannot be written is told from one that was.
bool loggerReachable() {
  const char* path = gLogSocket.load();
  sockaddr_un address{};
  if (std::strlen(path) >= sizeof address.sun_path) {
    return false;
  }
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path);
  for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
    const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      return false;
    }
    const int rc = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int connectError = errno;
    close(fd);
    if (rc == 0) {
      return true;
    }
    if (connectError != EPROTOTYPE) {
      return false;
    }
  }
  return false;
}

void* registerSource(const char* sourceName) {
  gSyslogLock.lock();
  // syslog keeps the identifier pointer; the source name is a constant.
  openlog(sourceName, LOG_PID, LOG_USER);
  return &gSourceToken;
}

bool report(void* source, const EventLogReport& r) {
  if (source == nullptr || !loggerReachable()) {
    return false;
  }
  syslog(priorityOf(r.type), "event %u category %u: %s", static_cast<unsigned>(r.eventId),
         static_cast<unsigned>(r.category), r.insertion != nullptr ? r.insertion : "");
  return true;
}

void deregisterSource(void* source) {
  if (source == nullptr) {
    return;
  }
  closelog();
  gSyslogLock.unlock();
}

constexpr EventLogBackend kSyslogBackend = {registerSource, report, deregisterSource};

}  // namespace

const EventLogBackend& EventLog_PlatformBackend() { return kSyslogBackend; }

void EventLog_SetSystemLogSocket(const char* path) {
  gLogSocket.store(path != nullptr ? path : kDefaultLogSocket);
}
