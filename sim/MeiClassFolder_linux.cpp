#include "MeiClassFolder_linux.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "LibcNext_linux.h"

namespace {

using Key = std::pair<dev_t, ino_t>;

struct Attribute {
  const MeiClassFolder* owner;
  int device;             // N of meiN
  unsigned notified = 0;  // notifications so far
  unsigned read = 0;      // notifications a read has taken in
  bool gone = false;
};

struct Registry {
  std::mutex lock;
  std::condition_variable readChanged;
  std::map<Key, Attribute> attributes;
  // Notifications each descriptor has read, by descriptor and file (a
  // descriptor number may come back for another file).
  std::map<std::pair<int, Key>, unsigned> seenByFd;
  std::set<int> waiters;             // eventfds of poll() calls that wait
};

Registry& registry() {
  static Registry* const instance = new Registry();
  return *instance;
}

// How many dev_state files exist: while there are none, poll() and pread()
// go straight to the C library.
std::atomic<int> gAttributeCount{0};

bool keyOf(int fd, Key* key) {
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return false;
  *key = Key{st.st_dev, st.st_ino};
  return true;
}

Attribute* attributeOf(Registry& r, int fd, Key* found = nullptr) {
  Key key;
  if (!keyOf(fd, &key)) return nullptr;
  if (found != nullptr) *found = key;
  auto it = r.attributes.find(key);
  return it == r.attributes.end() ? nullptr : &it->second;
}

void wakeWaiters(Registry& r) {
  const uint64_t one = 1;
  for (int w : r.waiters) {
    if (write(w, &one, sizeof one) < 0) std::abort();
  }
}

}  // namespace

namespace {

using PollFunction = decltype(&::poll);

// The C library's poll, looked up while the library is loaded, before any
// thread of the program runs. Not a function's static, first set at the
// first call, as the other functions here do: the thread sanitizer runs
// poll as a blocking call, in which it does not see the guard of such a
// static being released, and takes the first thread's setting of it and
// another thread's later read for a race (and may hang reporting it).
PollFunction gLibcPoll = libcNext<PollFunction>("poll");

// A constructor of another library that polls before this one is loaded
// finds gLibcPoll unset: it gets its own lookup.
PollFunction libcPoll() { return gLibcPoll != nullptr ? gLibcPoll : libcNext<PollFunction>("poll"); }

}  // namespace

extern "C" int poll(pollfd* fds, nfds_t count, int timeout) {
  const PollFunction realPoll = libcPoll();
  if (gAttributeCount.load() == 0) return realPoll(fds, count, timeout);
  Registry& r = registry();
  std::vector<bool> fake(count, false);
  bool anyFake = false;
  {
    std::lock_guard<std::mutex> guard(r.lock);
    for (nfds_t i = 0; i < count; ++i) {
      fake[i] = (fds[i].events & POLLPRI) != 0 && attributeOf(r, fds[i].fd) != nullptr;
      anyFake = anyFake || fake[i];
    }
  }
  if (!anyFake) return realPoll(fds, count, timeout);

  const int wake = eventfd(0, EFD_CLOEXEC);
  if (wake < 0) return -1;
  std::vector<pollfd> real(fds, fds + count);
  for (nfds_t i = 0; i < count; ++i) {
    if (fake[i]) real[i].fd = -1;  // waited for through `wake`
  }
  real.push_back(pollfd{wake, POLLIN, 0});
  int result = 0;
  for (;;) {
    int ready = 0;
    {
      std::lock_guard<std::mutex> guard(r.lock);
      for (nfds_t i = 0; i < count; ++i) {
        if (!fake[i]) continue;
        Key key;
        const Attribute* a = attributeOf(r, fds[i].fd, &key);
        const bool pending = a != nullptr && (a->gone || a->notified > r.seenByFd[{fds[i].fd, key}]);
        fds[i].revents = pending ? static_cast<short>(POLLPRI | POLLERR) : 0;
        ready += pending;
      }
      if (ready == 0) r.waiters.insert(wake);
    }
    const int n = realPoll(real.data(), real.size(), ready > 0 ? 0 : timeout);
    {
      std::lock_guard<std::mutex> guard(r.lock);
      r.waiters.erase(wake);
    }
    if (n < 0) {
      result = -1;
      break;
    }
    for (nfds_t i = 0; i < count; ++i) {
      if (!fake[i]) {
        fds[i].revents = real[i].revents;
        ready += real[i].revents != 0;
      }
    }
    if (ready > 0 || real.back().revents == 0) {
      result = ready;  // something is ready, or the timeout passed
      break;
    }
    uint64_t drained;
    if (read(wake, &drained, sizeof drained) < 0) std::abort();
  }
  const int saved = errno;
  close(wake);
  errno = saved;
  return result;
}

extern "C" ssize_t pread(int fd, void* buffer, size_t size, off_t offset) {
  static const auto realPread = libcNext<decltype(&::pread)>("pread");
  if (gAttributeCount.load() == 0) return realPread(fd, buffer, size, offset);
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  Key key;
  Attribute* a = attributeOf(r, fd, &key);
  if (a == nullptr) return realPread(fd, buffer, size, offset);
  r.seenByFd[{fd, key}] = a->notified;
  if (a->read < a->notified) {
    a->read = a->notified;
    r.readChanged.notify_all();
  }
  if (a->gone) {
    errno = ENODEV;
    return -1;
  }
  // Under the lock: setState rewrites the file under it, so a read never
  // sees it half written (sysfs gives the whole state or nothing).
  return realPread(fd, buffer, size, offset);
}

namespace {

void writeFile(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) std::abort();
  std::fputs(text.c_str(), f);
  std::fclose(f);
}

}  // namespace

MeiClassFolder::MeiClassFolder() {
  char dir[] = "/tmp/mei-class-XXXXXX";
  if (mkdtemp(dir) == nullptr) std::abort();
  folder_ = dir;
}

MeiClassFolder::~MeiClassFolder() {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  for (auto it = r.attributes.begin(); it != r.attributes.end();) {
    if (it->second.owner != this) {
      ++it;
      continue;
    }
    const int n = it->second.device;
    unlink(path(n, "dev_state").c_str());
    unlink(path(n, "kind").c_str());
    rmdir(path(n, "").c_str());
    it = r.attributes.erase(it);
    --gAttributeCount;
  }
  rmdir(folder_.c_str());
}

std::string MeiClassFolder::path(int n, const char* file) const {
  return folder_ + "/mei" + std::to_string(n) + "/" + file;
}

void MeiClassFolder::addDevice(int n, const char* state, const char* kind) {
  mkdir(path(n, "").c_str(), 0755);
  writeFile(path(n, "dev_state"), std::string(state) + "\n");
  if (kind[0] != '\0') writeFile(path(n, "kind"), std::string(kind) + "\n");
  struct stat st;
  if (stat(path(n, "dev_state").c_str(), &st) != 0) std::abort();
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  if (r.attributes.emplace(Key{st.st_dev, st.st_ino}, Attribute{this, n}).second) ++gAttributeCount;
}

void MeiClassFolder::setState(int n, const char* state) {
  {
    std::lock_guard<std::mutex> guard(registry().lock);
    writeFile(path(n, "dev_state"), std::string(state) + "\n");
  }
  notify(n);
}

void MeiClassFolder::notify(int n) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  for (auto& [key, a] : r.attributes) {
    if (a.owner == this && a.device == n) ++a.notified;
  }
  wakeWaiters(r);
}

void MeiClassFolder::remove(int n) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  for (auto& [key, a] : r.attributes) {
    if (a.owner == this && a.device == n) {
      a.gone = true;
      ++a.notified;
    }
  }
  unlink(path(n, "dev_state").c_str());
  unlink(path(n, "kind").c_str());
  rmdir(path(n, "").c_str());
  wakeWaiters(r);
}

bool MeiClassFolder::waitUntilRead(int n, int ms) {
  Registry& r = registry();
  std::unique_lock<std::mutex> lk(r.lock);
  return r.readChanged.wait_for(lk, std::chrono::milliseconds(ms), [this, &r, n] {
    for (const auto& [key, a] : r.attributes) {
      if (a.owner == this && a.device == n && a.read < a.notified) return false;
    }
    return true;
  });
}
