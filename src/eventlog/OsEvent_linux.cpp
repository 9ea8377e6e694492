// The watcher's event-log operations on Linux. There is no System event
// log; the MEI driver announces an ME reset through the device state that it
// exposes in sysfs, /sys/class/mei/meiN/dev_state (INITIALIZING,
// INIT_CLIENTS, ENABLED, RESETTING, DISABLED, POWER_DOWN, POWER_UP), and
// calls sysfs_notify on every change of it.
//
// - Subscribe: opens dev_state of every ME device the class folder lists
//   (the HECI port's own rule: meiN entries whose `kind`, where the kernel
//   has it, is "mei"), reads each once, and starts one thread that waits in
//   poll() for POLLPRI | POLLERR on all of them and on an eventfd that the
//   close signals. Without them the subscription fails, and says so in
//   these terms at the level of a plain log line: there is no class folder
//   (no MEI driver, many containers), or it lists no ME device with a
//   dev_state. Either way the run goes on without noticing ME resets.
// - A wake means the state changed: the thread reads it again from offset
//   0. A device that has been ENABLED and comes back to ENABLED after any
//   other state has been reset, and the thread delivers an event of the
//   "MEI" provider with ID 1, as the Windows event log does. A wake that
//   finds ENABLED again where ENABLED was read last is a reset too: the
//   kernel notifies only changes, so the state left and came back between
//   two reads.
// - A device that goes away (the read fails, as sysfs answers for a removed
//   device) gets one error action with ERROR_DEVICE_NOT_CONNECTED and is no
//   longer watched.
// - Close signals the eventfd and joins the thread, so no delivery starts
//   once it returns; from within a delivery it returns at once and the
//   thread ends by itself after the callback.
#include "OsEvent_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "Log.h"
#include "OsEvent.h"
#include "OsEventPlatform.h"

namespace {

constexpr const char* kDefaultClassFolder = "/sys/class/mei";
std::atomic<const char*> gClassFolder{kDefaultClassFolder};

constexpr uint32_t kErrorFileNotFound = 2;             // ERROR_FILE_NOT_FOUND: no dev_state
constexpr uint32_t kErrorPathNotFound = 3;             // ERROR_PATH_NOT_FOUND: no class folder
constexpr uint32_t kErrorNotEnoughMemory = 8;          // ERROR_NOT_ENOUGH_MEMORY
constexpr uint32_t kErrorInvalidParameter = 87;        // ERROR_INVALID_PARAMETER
constexpr uint32_t kErrorDeviceNotConnected = 1167;    // ERROR_DEVICE_NOT_CONNECTED
constexpr uint8_t kEventLevelInformation = 4;
// 100 ns ticks between 1601-01-01 and 1970-01-01.
constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ull;

struct DeviceState {
  int fd;
  bool lastEnabled;  // the last state read was ENABLED
  bool left;         // has left ENABLED since it was last ENABLED
};

struct ResetEvent {
  uint16_t eventId;
  uint64_t timeCreated;
};

void closeRetrying(int fd) {
  // Linux releases the descriptor even when close() reports EINTR: no retry.
  ::close(fd);
}

// The state as the file gives it, without its line end; false when the
// device has gone (sysfs answers ENODEV for a removed device).
bool readState(int fd, std::string* state) {
  char text[32];
  ssize_t n;
  do {
    n = ::pread(fd, text, sizeof text - 1, 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == ' ')) --n;
  state->assign(text, static_cast<size_t>(n));
  return true;
}

bool readKind(const std::string& path, std::string* kind) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = readState(fd, kind);
  closeRetrying(fd);
  return ok;
}

// dev_state of every ME device in the class folder, opened and read once.
// `folderFound` tells whether there is such a folder at all.
std::vector<DeviceState> openDevices(const char* folder, bool* folderFound) {
  std::vector<DeviceState> devices;
  DIR* dir = ::opendir(folder);
  *folderFound = dir != nullptr;
  if (dir == nullptr) return devices;
  while (const struct dirent* entry = ::readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strncmp(name, "mei", 3) != 0 || name[3] == '\0') continue;
    char* end = nullptr;
    std::strtol(name + 3, &end, 10);
    if (*end != '\0') continue;
    const std::string device = std::string(folder) + "/" + name;
    std::string kind;
    if (readKind(device + "/kind", &kind) && kind != "mei") continue;  // graphics, touch
    const int fd = ::open((device + "/dev_state").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    std::string state;
    if (!readState(fd, &state)) {
      closeRetrying(fd);
      continue;
    }
    devices.push_back(DeviceState{fd, state == "ENABLED", false});
  }
  ::closedir(dir);
  return devices;
}

uint64_t fileTimeNow() {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  return kFileTimeUnixEpoch +
         static_cast<uint64_t>(
             std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch).count() / 100);
}

}  // namespace

struct SysfsSubscription {
  OsEvent* context;
  std::vector<DeviceState> devices;
  int closeFd;  // eventfd: the close's wake-up
  std::thread thread;
  std::atomic<bool> closing{false};
  std::atomic<bool> detached{false};  // closed from its own delivery: the thread frees it
};

namespace {

void releaseSubscription(SysfsSubscription* s) {
  for (const DeviceState& d : s->devices) {
    if (d.fd >= 0) closeRetrying(d.fd);
  }
  if (s->closeFd >= 0) closeRetrying(s->closeFd);
  delete s;
}

// True when the state just read completes a reset of the device.
bool completesReset(DeviceState* d, const std::string& state) {
  const bool enabled = state == "ENABLED";
  bool reset = false;
  if (enabled) {
    reset = d->left || d->lastEnabled;
    d->left = false;
  } else if (d->lastEnabled) {
    d->left = true;
  }
  d->lastEnabled = enabled;
  return reset;
}

void watchLoop(SysfsSubscription* s) {
  std::vector<pollfd> fds;
  while (!s->closing.load()) {
    fds.clear();
    fds.push_back(pollfd{s->closeFd, POLLIN, 0});
    for (const DeviceState& d : s->devices) {
      // A negative descriptor is ignored by poll(): a device that has gone.
      fds.push_back(pollfd{d.fd, POLLPRI | POLLERR, 0});
    }
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;  // cannot wait any more: the close still finds a thread to join
    }
    if (fds[0].revents != 0) break;
    for (size_t i = 1; i < fds.size() && !s->closing.load(); ++i) {
      if (fds[i].revents == 0) continue;
      DeviceState& d = s->devices[i - 1];
      std::string state;
      if (!readState(d.fd, &state)) {
        closeRetrying(d.fd);
        d.fd = -1;
        SubscriptionCallback(kOsEventActionError, s->context,
                             reinterpret_cast<void*>(static_cast<uintptr_t>(kErrorDeviceNotConnected)));
      } else if (completesReset(&d, state)) {
        ResetEvent event{kOsEventIdMeReset, fileTimeNow()};
        SubscriptionCallback(kOsEventActionDeliver, s->context, &event);
      }
    }
  }
  if (s->detached.load()) {
    releaseSubscription(s);
  }
}

}  // namespace

void OsEvent_SetMeiClassFolder(const char* path) {
  gClassFolder.store(path != nullptr ? path : kDefaultClassFolder);
}

// The channel and the query are the watcher's own; what they select is what
// this backend delivers, so there is nothing to evaluate.
void* OsEventPlatform_Subscribe(const wchar_t*, const wchar_t*, OsEvent* context, uint32_t* error) {
  auto* s = new SysfsSubscription();
  s->context = context;
  bool folderFound = false;
  s->devices = openDevices(gClassFolder.load(), &folderFound);
  s->closeFd = ::eventfd(0, EFD_CLOEXEC);
  uint32_t failure = 0;
  if (s->devices.empty()) {
    failure = folderFound ? kErrorFileNotFound : kErrorPathNotFound;
  } else if (s->closeFd < 0) {
    failure = kErrorNotEnoughMemory;
  } else {
    try {
      s->thread = std::thread(watchLoop, s);
    } catch (const std::system_error&) {
      failure = kErrorNotEnoughMemory;
    }
  }
  if (failure != 0) {
    releaseSubscription(s);
    *error = failure;
    return nullptr;
  }
  return s;
}

void OsEventPlatform_LogSubscribeFailure(uint32_t error) {
  const char* folder = gClassFolder.load();
  switch (error) {
    case kErrorPathNotFound:
      Log_Info("There is no %s: ME resets are not watched.", folder);
      break;
    case kErrorFileNotFound:
      Log_Info("%s lists no ME device with a dev_state: ME resets are not watched.", folder);
      break;
    default:
      Log_Error("The ME reset watcher could not start (error %lu): ME resets are not watched.",
                static_cast<unsigned long>(error));
      break;
  }
}

void OsEventPlatform_CloseSubscription(void* subscription) {
  auto* s = static_cast<SysfsSubscription*>(subscription);
  s->closing.store(true);
  if (std::this_thread::get_id() == s->thread.get_id()) {
    // From its own delivery: the thread sees `closing` after the callback.
    s->detached.store(true);
    s->thread.detach();
    return;
  }
  const uint64_t one = 1;
  while (::write(s->closeFd, &one, sizeof one) < 0 && errno == EINTR) {
  }
  s->thread.join();  // waits for a delivery in progress
  releaseSubscription(s);
}

// --- Rendering ----------------------------------------------------------------
//
// The values come as the Windows event log lays them out: 16 bytes each (a
// union, a count, a type), followed by the strings they point to.

namespace {

// In the order of kOsEventValuePaths.
enum class Field : int8_t { kNone = -1, kProvider, kTimeCreated, kEventId, kLevel };

struct RenderedValue {
  union {
    const wchar_t* text;
    uint64_t fileTime;
    uint16_t uint16;
    uint8_t byte;
  };
  uint32_t count;
  uint32_t type;  // EvtVarTypeNull 0, String 1, Byte 4, UInt16 6, FileTime 17
};
static_assert(sizeof(RenderedValue) == 16, "rendered values are 16 bytes each");

constexpr wchar_t kProviderName[] = L"MEI";

Field fieldOf(const wchar_t* path) { return static_cast<Field>(OsEvent_ValuePathIndex(path)); }

}  // namespace

struct SysfsRenderContext {
  std::vector<Field> fields;
};

void* OsEventPlatform_CreateRenderContext(const wchar_t* const* paths, uint32_t count) {
  if (paths == nullptr && count != 0) return nullptr;
  auto* context = new SysfsRenderContext();
  for (uint32_t i = 0; i < count; ++i) context->fields.push_back(fieldOf(paths[i]));
  return context;
}

void OsEventPlatform_CloseRenderContext(void* renderContext) {
  delete static_cast<SysfsRenderContext*>(renderContext);
}

bool OsEventPlatform_Render(void* renderContext, void* event, uint32_t bufferSize, void* buffer,
                            uint32_t* bufferUsed, uint32_t* valueCount, uint32_t* error) {
  const auto* context = static_cast<const SysfsRenderContext*>(renderContext);
  const auto* reset = static_cast<const ResetEvent*>(event);
  if (context == nullptr || reset == nullptr) {
    *error = kErrorInvalidParameter;
    return false;
  }
  const size_t count = context->fields.size();
  size_t needed = count * sizeof(RenderedValue);
  for (Field f : context->fields) {
    if (f == Field::kProvider) needed += sizeof kProviderName;
  }
  *bufferUsed = static_cast<uint32_t>(needed);
  *valueCount = static_cast<uint32_t>(count);
  if (buffer == nullptr || bufferSize < needed) {
    *error = kOsEventErrorInsufficientBuffer;
    return false;
  }
  auto* values = static_cast<RenderedValue*>(buffer);
  auto* strings = reinterpret_cast<uint8_t*>(values + count);
  for (size_t i = 0; i < count; ++i) {
    RenderedValue value;
    std::memset(&value, 0, sizeof value);
    switch (context->fields[i]) {
      case Field::kProvider:
        std::memcpy(strings, kProviderName, sizeof kProviderName);
        value.text = reinterpret_cast<const wchar_t*>(strings);
        value.type = 1;
        strings += sizeof kProviderName;
        break;
      case Field::kTimeCreated:
        value.fileTime = reset->timeCreated;
        value.type = 17;
        break;
      case Field::kEventId:
        value.uint16 = reset->eventId;
        value.type = 6;
        break;
      case Field::kLevel:
        value.byte = kEventLevelInformation;
        value.type = 4;
        break;
      case Field::kNone:
        break;
    }
    std::memcpy(&values[i], &value, sizeof value);
  }
  return true;
}

uint16_t OsEventPlatform_UInt16Value(const void* values, uint32_t index) {
  return static_cast<const RenderedValue*>(values)[index].uint16;
}
