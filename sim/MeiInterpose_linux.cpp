// The emulated MEI character device.
//
// Opening /dev/mei0 gives one end of a SOCK_SEQPACKET socket pair; two
// server threads serve the other end from the simulator model: one takes
// the host's written messages, one sends the model's frames. A real socket
// keeps message boundaries, and its read, poll and close are the kernel's
// own. IOCTL_MEI_CONNECT_CLIENT is answered from the scenario.
//
// read/write pass straight through except where the model injects a fault:
// a failed write (the scenario's errno, or EFBIG / ENODEV as the kernel
// gives them), a one-shot read error (a zero-length marker message, turned
// into -1 and the errno by read), and a device that has gone (every read
// and write fails with ENODEV; a marker message keeps poll reporting
// readable, as the kernel reports an error).
//
// The machine also has the MEI driver's class folder, /sys/class/mei, with
// mei0 (kind "mei") ENABLED in its dev_state: the calls that take a path
// (open, opendir, fopen) see a folder of this process's own there
// (MeiClassFolder_linux.h gives its dev_state sysfs's notifications).
// Where the scenario has no device there is no class folder either, as on a
// machine without the MEI driver. With the scenario's meResetMs the ME
// resets that long after the first connect: dev_state goes to RESETTING and
// a moment later back to ENABLED, each change notified.
//
// Compiled into a test executable (meisim_interpose) these definitions
// take the place of the C library's for the whole process; built as
// libmeisim.so they are preloaded into an unmodified program, which then
// takes its scenario from NFCSIM_SCENARIO.
#undef _FORTIFY_SOURCE

#include <dirent.h>
#include <fcntl.h>
#include <linux/mei.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LibcNext_linux.h"
#include "MeiClassFolder_linux.h"
#include "SimModel.h"

extern "C" {
int __open_2(const char* path, int flags);
int __open64_2(const char* path, int flags);
int __openat_2(int dirfd, const char* path, int flags);
int __openat64_2(int dirfd, const char* path, int flags);
ssize_t __read_chk(int fd, void* buf, size_t nbytes, size_t buflen);
}

namespace {

constexpr const char* kDevicePath = "/dev/mei0";

// Keeps errno as the caller left it across our own calls on a path that
// succeeds.
class ErrnoKeeper {
 public:
  ErrnoKeeper() : saved_(errno) {}
  ~ErrnoKeeper() {
    if (restore_) errno = saved_;
  }
  int fail(int err) {
    restore_ = false;
    errno = err;
    return -1;
  }

 private:
  int saved_;
  bool restore_ = true;
};

struct SimFd {
  simmodel::ConnectionPtr connection;
  int serverFd = -1;
  std::atomic<uint32_t> maxMessageLength{0};
  std::mutex lock;
  std::deque<int> readErrors;  // guarded by lock; one per marker message sent
  std::thread writeServer;
  std::thread frameServer;
  std::atomic<int> serversRunning{2};
};
using SimFdPtr = std::shared_ptr<SimFd>;

struct Registry {
  std::mutex lock;
  std::map<int, SimFdPtr> byFd;  // host descriptors of the emulated device
  std::vector<SimFdPtr> all;     // every served connection until reaped
};

Registry& registry() {
  static Registry* r = new Registry;  // outlives the server threads
  return *r;
}

SimFdPtr lookup(int fd) {
  if (fd < 0) return nullptr;
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  auto it = r.byFd.find(fd);
  return it == r.byFd.end() ? nullptr : it->second;
}

bool sendMessage(int fd, const void* data, size_t length) {
  for (;;) {
    if (::send(fd, data, length, MSG_NOSIGNAL) >= 0) return true;
    if (errno != EINTR) return false;
  }
}

// Takes the host's written messages; ends when the host closes its end.
void serveWrites(SimFdPtr f) {
  std::vector<uint8_t> buffer(1 << 16);
  for (;;) {
    if (simmodel::WritesStalled()) {
      // Leave the messages queued, so the host's queue fills; only watch
      // for the host going away.
      struct pollfd p = {f->serverFd, POLLRDHUP, 0};
      if (::poll(&p, 1, 20) > 0 && (p.revents & (POLLHUP | POLLRDHUP)) != 0) break;
      continue;
    }
    const ssize_t n = ::recv(f->serverFd, buffer.data(), buffer.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    simmodel::DeliverWrite(f->connection, buffer.data(), static_cast<size_t>(n));
  }
  simmodel::Close(f->connection);
  --f->serversRunning;
}

// Sends the model's frames and faults to the host.
void serveFrames(SimFdPtr f) {
  bool running = true;
  while (running) {
    simmodel::TakeResult r = simmodel::Take(f->connection, SIZE_MAX, false);
    switch (r.kind) {
      case simmodel::TakeKind::Frame:
        running = sendMessage(f->serverFd, r.frame.data(), r.frame.size());
        break;
      case simmodel::TakeKind::ReadError: {
        std::lock_guard<std::mutex> guard(f->lock);
        f->readErrors.push_back(r.err);
      }
        running = sendMessage(f->serverFd, "", 0);
        break;
      case simmodel::TakeKind::Gone:
        sendMessage(f->serverFd, "", 0);
        simmodel::WaitClosed(f->connection);
        running = false;
        break;
      case simmodel::TakeKind::Closed:
        running = false;
        break;
    }
  }
  --f->serversRunning;
}

// Joins the servers of connections that have ended. Not under the lock.
void reap() {
  std::vector<SimFdPtr> ended;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    for (auto it = r.all.begin(); it != r.all.end();) {
      if ((*it)->serversRunning == 0) {
        ended.push_back(*it);
        it = r.all.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const SimFdPtr& f : ended) {
    f->writeServer.join();
    f->frameServer.join();
    ::close(f->serverFd);
  }
}

// --- The class folder ---------------------------------------------------------

constexpr char kClassPath[] = "/sys/class/mei";
constexpr int kResettingMs = 50;  // how long dev_state stays RESETTING

struct ClassState {
  MeiClassFolder folder;
  std::mutex lock;
  std::condition_variable stop;
  bool stopping = false;  // guarded by lock
  bool resetDue = false;  // guarded by lock: the reset has been scheduled
  std::thread resetter;
};

std::mutex gClassLock;
ClassState* gClass = nullptr;  // made at first use, removed at exit

ClassState* classState() {
  std::lock_guard<std::mutex> guard(gClassLock);
  if (gClass == nullptr) {
    gClass = new ClassState;
    gClass->folder.addDevice(0, "ENABLED");
  }
  return gClass;
}

// The path a call that takes one should use: `path` itself, or its place in
// the emulated class folder (kept in `moved`). Null, with errno ENOENT, for
// a path into a class folder that this machine does not have.
const char* reroute(const char* path, std::string* moved) {
  constexpr size_t n = sizeof kClassPath - 1;
  if (path == nullptr || std::strncmp(path, kClassPath, n) != 0 || (path[n] != '\0' && path[n] != '/')) {
    return path;
  }
  if (!simmodel::DevicePresent()) {
    errno = ENOENT;
    return nullptr;
  }
  *moved = std::string(classState()->folder.folder()) + (path + n);
  return moved->c_str();
}

// The ME reset of the scenario, once per process, `ms` after the connect.
void scheduleReset(uint32_t ms) {
  ClassState* c = classState();
  std::lock_guard<std::mutex> guard(c->lock);
  if (c->resetDue) return;
  c->resetDue = true;
  c->resetter = std::thread([c, ms] {
    std::unique_lock<std::mutex> lk(c->lock);
    const auto stopping = [c] { return c->stopping; };
    if (c->stop.wait_for(lk, std::chrono::milliseconds(ms), stopping)) return;
    simmodel::Trace("mei0 dev_state RESETTING");
    c->folder.setState(0, "RESETTING");
    if (c->stop.wait_for(lk, std::chrono::milliseconds(kResettingMs), stopping)) return;
    simmodel::Trace("mei0 dev_state ENABLED");
    c->folder.setState(0, "ENABLED");
  });
}

// At exit: the reset, if one is still due, is called off, and the class
// folder goes.
void removeClassFolder() {
  ClassState* c = nullptr;
  {
    std::lock_guard<std::mutex> guard(gClassLock);
    std::swap(c, gClass);
  }
  if (c == nullptr) return;
  {
    std::lock_guard<std::mutex> guard(c->lock);
    c->stopping = true;
  }
  c->stop.notify_all();
  if (c->resetter.joinable()) c->resetter.join();
  delete c;
}

// At exit: cut every served connection and join its servers, so no thread
// of ours outlives the process's own teardown.
__attribute__((destructor)) void stopServers() {
  std::vector<SimFdPtr> all;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    all.swap(r.all);
    r.byFd.clear();
  }
  for (const SimFdPtr& f : all) {
    simmodel::Close(f->connection);
    ::shutdown(f->serverFd, SHUT_RDWR);
    f->writeServer.join();
    f->frameServer.join();
    ::close(f->serverFd);
  }
  removeClassFolder();
}

// 0: not an MEI device path; 1: the emulated device; 2: another meiN.
int classify(const char* path) {
  if (path == nullptr || std::strncmp(path, "/dev/mei", 8) != 0) return 0;
  const char* p = path + 8;
  if (*p == '\0') return 0;
  for (const char* q = p; *q != '\0'; ++q) {
    if (*q < '0' || *q > '9') return 0;
  }
  return std::strcmp(path, kDevicePath) == 0 ? 1 : 2;
}

int openDevice(const char* path, int flags) {
  ErrnoKeeper keeper;
  if (classify(path) != 1) return keeper.fail(ENOENT);
  reap();
  auto f = std::make_shared<SimFd>();
  int err = simmodel::Open(&f->connection);
  if (err != 0) return keeper.fail(err);
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) {
    err = errno;
    simmodel::Close(f->connection);
    return keeper.fail(err);
  }
  if ((flags & O_CLOEXEC) == 0) ::fcntl(sv[0], F_SETFD, 0);
  if ((flags & O_NONBLOCK) != 0) ::fcntl(sv[0], F_SETFL, O_NONBLOCK);
  f->serverFd = sv[1];
  Registry& r = registry();
  {
    std::lock_guard<std::mutex> guard(r.lock);
    r.byFd[sv[0]] = f;
    r.all.push_back(f);
    f->writeServer = std::thread(serveWrites, f);
    f->frameServer = std::thread(serveFrames, f);
  }
  return sv[0];
}

bool needsMode(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

mode_t modeArgument(int flags, va_list args) {
  return needsMode(flags) ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

ssize_t readDevice(const SimFdPtr& f, int fd, void* buf, size_t count) {
  LIBC_NEXT(read);
  if (simmodel::IsGone(f->connection)) {
    errno = ENODEV;
    return -1;
  }
  const ssize_t n = real(fd, buf, count);
  if (n != 0) return n;
  // A zero-length message is a marker: the read error queued before it,
  // or the device having gone meanwhile.
  int err = ENODEV;
  {
    std::lock_guard<std::mutex> guard(f->lock);
    if (!f->readErrors.empty()) {
      err = f->readErrors.front();
      f->readErrors.pop_front();
    }
  }
  errno = err;
  return -1;
}

// The C library's `call` on the path, rerouted where it names the emulated
// class folder; `failed` (errno ENOENT) where that folder does not exist,
// on a machine without a device.
template <typename Result, typename Call>
Result rerouted(const char* path, Result failed, Call call) {
  std::string moved;
  path = reroute(path, &moved);
  return path == nullptr ? failed : call(path);
}

// Every open variant: the emulated device itself, or the C library's `open`.
template <typename Open>
int openPath(const char* path, int flags, Open open) {
  return classify(path) != 0 ? openDevice(path, flags) : rerouted(path, -1, open);
}

}  // namespace

extern "C" {

// Takes `mode`, the variadic argument of an open, which a caller passes
// only where the flags may create a file.
#define TAKE_MODE(flags)                          \
  va_list args;                                   \
  va_start(args, flags);                          \
  const mode_t mode = modeArgument(flags, args); \
  va_end(args)

int open(const char* path, int flags, ...) {
  TAKE_MODE(flags);
  LIBC_NEXT(open);
  return openPath(path, flags, [&](const char* p) { return real(p, flags, mode); });
}

int open64(const char* path, int flags, ...) {
  TAKE_MODE(flags);
  LIBC_NEXT(open64);
  return openPath(path, flags, [&](const char* p) { return real(p, flags, mode); });
}

int openat(int dirfd, const char* path, int flags, ...) {
  TAKE_MODE(flags);
  LIBC_NEXT(openat);
  return openPath(path, flags, [&](const char* p) { return real(dirfd, p, flags, mode); });
}

int openat64(int dirfd, const char* path, int flags, ...) {
  TAKE_MODE(flags);
  LIBC_NEXT(openat64);
  return openPath(path, flags, [&](const char* p) { return real(dirfd, p, flags, mode); });
}

// The fortified forms that _FORTIFY_SOURCE builds call instead.
int __open_2(const char* path, int flags) {
  LIBC_NEXT(__open_2);
  return openPath(path, flags, [&](const char* p) { return real(p, flags); });
}

int __open64_2(const char* path, int flags) {
  LIBC_NEXT(__open64_2);
  return openPath(path, flags, [&](const char* p) { return real(p, flags); });
}

int __openat_2(int dirfd, const char* path, int flags) {
  LIBC_NEXT(__openat_2);
  return openPath(path, flags, [&](const char* p) { return real(dirfd, p, flags); });
}

int __openat64_2(int dirfd, const char* path, int flags) {
  LIBC_NEXT(__openat64_2);
  return openPath(path, flags, [&](const char* p) { return real(dirfd, p, flags); });
}

DIR* opendir(const char* path) {
  LIBC_NEXT(opendir);
  return rerouted(path, static_cast<DIR*>(nullptr), [&](const char* p) { return real(p); });
}

FILE* fopen(const char* path, const char* mode) {
  LIBC_NEXT(fopen);
  return rerouted(path, static_cast<FILE*>(nullptr), [&](const char* p) { return real(p, mode); });
}

FILE* fopen64(const char* path, const char* mode) {
  LIBC_NEXT(fopen64);
  return rerouted(path, static_cast<FILE*>(nullptr), [&](const char* p) { return real(p, mode); });
}

int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  SimFdPtr f = lookup(fd);
  if (!f) {
    LIBC_NEXT(ioctl);
    return real(fd, request, argument);
  }
  ErrnoKeeper keeper;
  if (request != IOCTL_MEI_CONNECT_CLIENT) return keeper.fail(ENOTTY);
  auto* data = static_cast<struct mei_connect_client_data*>(argument);
  if (data == nullptr) return keeper.fail(EFAULT);
  uint8_t guid[16];
  std::memcpy(guid, &data->in_client_uuid, sizeof guid);
  uint32_t maxLength = 0;
  const int err = simmodel::Connect(f->connection, guid, &maxLength);
  if (err != 0) return keeper.fail(err);
  f->maxMessageLength = maxLength;
  const uint32_t resetMs = Sim_GetScenario().meResetMs;
  if (resetMs != 0) scheduleReset(resetMs);
  std::memset(data, 0, sizeof *data);
  data->out_client_properties.max_msg_length = maxLength;
  data->out_client_properties.protocol_version = 1;
  return 0;
}

ssize_t read(int fd, void* buf, size_t count) {
  SimFdPtr f = lookup(fd);
  if (f) return readDevice(f, fd, buf, count);
  LIBC_NEXT(read);
  return real(fd, buf, count);
}

ssize_t __read_chk(int fd, void* buf, size_t nbytes, size_t buflen) {
  SimFdPtr f = lookup(fd);
  if (!f) {
    LIBC_NEXT(__read_chk);
    return real(fd, buf, nbytes, buflen);
  }
  if (nbytes > buflen) std::abort();
  return readDevice(f, fd, buf, nbytes);
}

ssize_t write(int fd, const void* buf, size_t count) {
  LIBC_NEXT(write);
  SimFdPtr f = lookup(fd);
  if (!f) return real(fd, buf, count);
  if (count == 0) return 0;
  {
    ErrnoKeeper keeper;
    const uint32_t maxLength = f->maxMessageLength;
    if (maxLength != 0 && count > maxLength) return keeper.fail(EFBIG);
    const int err = simmodel::BeginWrite(f->connection, static_cast<const uint8_t*>(buf), count);
    if (err != 0) return keeper.fail(err);
  }
  return real(fd, buf, count);
}

int close(int fd) {
  if (fd >= 0) {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    r.byFd.erase(fd);
  }
  LIBC_NEXT(close);
  return real(fd);
}

}  // extern "C"
