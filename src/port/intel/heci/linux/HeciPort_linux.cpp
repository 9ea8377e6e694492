// The device port over the Linux MEI character device (/dev/meiN).
//
// Operations, order and statuses follow the Windows port:
//   - discovery: the meiN devices that /sys/class/mei lists, lowest N
//     first (devices whose `kind` says they are not the ME are skipped);
//     when it lists none, /dev/mei0 to /dev/mei9, skipping names that do
//     not exist;
//   - no version check: the kernel has no version request, and whether the
//     ME is ready is exactly what the connect reports (ENODEV), so the
//     connect stands for both;
//   - connect: IOCTL_MEI_CONNECT_CLIENT with the client GUID; the kernel's
//     max_msg_length is maxMessageLength, and 0 is a failed connect;
//   - read: one whole message per read(), into at least maxMessageLength
//     bytes, since a shorter buffer splits a message silently. The wait is
//     a poll() on the device and on an eventfd that the close signals: a
//     close() from another thread would not wake a thread blocked in read();
//   - write: poll() for room in the transmit queue for at most 500 ms, then
//     write() the whole message;
//   - close: invalidate the descriptor, wake the reader through the
//     eventfd, wait until it has left its wait and then HECI_Read, and
//     only then close the descriptors, so no thread can still be polling
//     one that is closed (and possibly reused).
// EINTR is retried everywhere; the kernel does not restart these calls.
#include "HeciPort_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/mei.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "HeciErrno.h"
#include "Log.h"
#include "Memory.h"
#include "Mutex.h"

bool gHECILinuxPortTrace = false;

struct HECIWinDevice {
  uint32_t maxMessageLength;
  int fd;             // the open device; -1 when not open, and after the close
  int wakeFd;         // eventfd signalled by the close; -1 before the connect and after the close
  Mutex* handleLock;  // guards fd; held to start and finish each read, and for each whole write
  Mutex* eventLock;   // guards wakeFd; held by a reader for the whole of its wait
  Mutex* readLock;    // held for the whole of each HECI_Read
};

namespace {

constexpr int kWriteWaitMs = 500;
constexpr int kMaxFallbackDevices = 10;

int openRetrying(const char* path) {
  for (;;) {
    // Non-blocking, so that neither a read nor a write can ever sleep in
    // the kernel while it holds handleLock: both wait in poll() instead.
    const int fd = ::open(path, O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

bool readSmallFile(const std::string& path, std::string* out) {
  FILE* f = std::fopen(path.c_str(), "re");
  if (f == nullptr) return false;
  char line[64] = {};
  const bool ok = std::fgets(line, sizeof line, f) != nullptr;
  std::fclose(f);
  if (!ok) return false;
  *out = line;
  while (!out->empty() && (out->back() == '\n' || out->back() == ' ')) out->pop_back();
  return true;
}

// The indexes N of the meiN entries in /sys/class/mei, ascending. `listed`
// tells whether the directory named any at all: devices of another kind
// (graphics, touch) are listed but not taken.
std::vector<int> listedDevices(bool* listed) {
  std::vector<int> indexes;
  *listed = false;
  DIR* dir = ::opendir("/sys/class/mei");
  if (dir == nullptr) return indexes;
  while (const struct dirent* entry = ::readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strncmp(name, "mei", 3) != 0 || name[3] == '\0') continue;
    char* end = nullptr;
    const long n = std::strtol(name + 3, &end, 10);
    if (*end != '\0' || n < 0 || n > 0xFFFF) continue;
    *listed = true;
    std::string kind;
    if (readSmallFile(std::string("/sys/class/mei/") + name + "/kind", &kind) && kind != "mei") continue;
    indexes.push_back(static_cast<int>(n));
  }
  ::closedir(dir);
  std::sort(indexes.begin(), indexes.end());
  return indexes;
}

void closeRetrying(int fd) {
  // Linux releases the descriptor even when close() reports EINTR: no retry.
  ::close(fd);
}

}  // namespace

HECIStatus HECIWin_OpenHeci(HECIWinDevice* device) {
  bool listed = false;
  std::vector<int> candidates = listedDevices(&listed);
  if (!listed) {
    for (int n = 0; n < kMaxFallbackDevices; ++n) candidates.push_back(n);
  }
  for (const int n : candidates) {
    char path[32];
    std::snprintf(path, sizeof path, "/dev/mei%d", n);
    const int fd = openRetrying(path);
    if (fd >= 0) {
      if (gHECILinuxPortTrace) Log_Info("HECILinux : %s : opened %s", "HECIWin_OpenHeci", path);
      device->fd = fd;
      return hsSuccess;
    }
    const int err = errno;
    if (err == ENOENT) continue;  // no such node: the next name
    Log_Error("HECILinux : failed to open handle, errno : %d (%s)", err, HECI_ErrnoMeaning(err));
    return hsDeviceNotFound;
  }
  return hsDeviceNotFound;
}

HECIStatus HECI_Init(HECIWinDevice** out) {
  *out = nullptr;
  auto* device = static_cast<HECIWinDevice*>(Memory_Alloc(sizeof(HECIWinDevice)));
  std::memset(device, 0, sizeof *device);
  Mutex_Create(&device->handleLock);
  Mutex_Create(&device->eventLock);
  Mutex_Create(&device->readLock);
  device->fd = -1;
  device->wakeFd = -1;

  const HECIStatus status = HECIWin_OpenHeci(device);
  if (status != hsSuccess) {
    HECIWin_CloseHeci(device);
    HECIWin_FreeHeci(device);
    return status;
  }

  struct mei_connect_client_data data;
  std::memset(&data, 0, sizeof data);
  static_assert(sizeof data.in_client_uuid == sizeof kNfcMeClientGuidBytes, "a client GUID is 16 bytes");
  std::memcpy(&data.in_client_uuid, kNfcMeClientGuidBytes, sizeof kNfcMeClientGuidBytes);
  int rc;
  do {
    rc = ::ioctl(device->fd, IOCTL_MEI_CONNECT_CLIENT, &data);
  } while (rc < 0 && errno == EINTR);
  const int err = rc < 0 ? errno : 0;
  const uint32_t maxLength = rc < 0 ? 0 : data.out_client_properties.max_msg_length;
  if (rc < 0 || maxLength == 0) {
    if (rc < 0) {
      Log_Error("HECILinux : IOCTL_MEI_CONNECT_CLIENT failed : ioctl return %d, errno : %d (%s)", rc, err,
                HECI_ErrnoMeaning(err));
    } else {
      Log_Error("HECILinux : IOCTL_MEI_CONNECT_CLIENT failed : max_msg_length 0");
    }
    HECIWin_CloseHeci(device);
    HECIWin_FreeHeci(device);
    return hsDeviceError;
  }
  device->maxMessageLength = maxLength;

  device->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (device->wakeFd < 0) {
    const int e = errno;
    Log_Error("HECILinux : eventfd() failed, errno : %d (%s)", e, HECI_ErrnoMeaning(e));
    HECIWin_CloseHeci(device);
    HECIWin_FreeHeci(device);
    return hsDeviceError;
  }
  *out = device;
  return hsSuccess;
}

HECIStatus HECI_Read(HECIWinDevice* device, uint8_t* buffer, uint32_t size, uint32_t* bytesRead) {
  *bytesRead = 0;
  if (device == nullptr) return hsNoDevice;
  Mutex_Lock(device->readLock);
  Mutex_Lock(device->handleLock);
  const int fd = device->fd;
  const uint32_t maxLength = device->maxMessageLength;
  Mutex_Unlock(device->handleLock);
  if (fd < 0) {
    Mutex_Unlock(device->readLock);
    return hsNoDevice;
  }

  // A buffer shorter than the client's maximum would split a longer
  // message without notice; read into one of full size instead.
  uint8_t* target = size < maxLength ? static_cast<uint8_t*>(Memory_Alloc(maxLength)) : buffer;
  const size_t capacity = std::max(size, maxLength);
  HECIStatus status = hsSuccess;
  ssize_t n = -1;
  for (;;) {
    // Wait for a message, or for the close.
    Mutex_Lock(device->eventLock);
    if (device->wakeFd < 0) {
      Mutex_Unlock(device->eventLock);
      status = hsNoDevice;
      break;
    }
    struct pollfd waits[2] = {{fd, POLLIN, 0}, {device->wakeFd, POLLIN, 0}};
    int ready;
    do {
      ready = ::poll(waits, 2, -1);
    } while (ready < 0 && errno == EINTR);
    const int pollErr = errno;
    Mutex_Unlock(device->eventLock);
    if (ready < 0) {
      Log_Error("%s : poll() failed, errno : %d (%s)", "HECI_Read", pollErr, HECI_ErrnoMeaning(pollErr));
      status = hsDeviceError;
      break;
    }

    Mutex_Lock(device->handleLock);
    if (device->fd < 0) {  // woken by the close
      Mutex_Unlock(device->handleLock);
      status = hsNoDevice;
      break;
    }
    do {
      n = ::read(fd, target, capacity);
    } while (n < 0 && errno == EINTR);
    const int readErr = n < 0 ? errno : 0;
    Mutex_Unlock(device->handleLock);
    if (n < 0 && (readErr == EAGAIN || readErr == EWOULDBLOCK)) continue;  // nothing after all
    if (n <= 0) {
      // A message is never empty; an empty read means the device has gone.
      const int e = n < 0 ? readErr : ENODEV;
      Log_Error("%s : read() failed, errno : %d (%s)", "HECI_Read", e, HECI_ErrnoMeaning(e));
      status = hsDeviceError;
    } else if (target != buffer) {
      if (static_cast<uint32_t>(n) > size) {
        Log_Error("%s : read() failed, message of %d bytes for a buffer of %u", "HECI_Read",
                  static_cast<int>(n), size);
        status = hsDeviceError;
      } else {
        std::memcpy(buffer, target, static_cast<size_t>(n));
      }
    }
    break;
  }
  if (target != buffer) Memory_Free(target);
  Mutex_Unlock(device->readLock);
  if (status == hsSuccess) *bytesRead = static_cast<uint32_t>(n);
  return status;
}

HECIStatus HECI_Write(HECIWinDevice* device, const uint8_t* data, uint32_t length,
                      uint32_t* bytesWritten) {
  *bytesWritten = 0;
  if (device == nullptr) return hsNoDevice;
  Mutex_Lock(device->handleLock);  // held to the end of the write
  const int fd = device->fd;
  if (fd < 0) {
    Mutex_Unlock(device->handleLock);
    return hsNoDevice;
  }

  // Room in the transmit queue within 500 ms.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteWaitMs);
  ssize_t n = -1;
  int e = 0;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    struct pollfd room = {fd, POLLOUT, 0};
    const int ready = ::poll(&room, 1, static_cast<int>(std::max<long long>(0, left.count())));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      e = ready == 0 ? ETIMEDOUT : errno;
      Log_Error("%s : poll() failed, errno : %d (%s)", "HECI_Write", e, HECI_ErrnoMeaning(e));
      Mutex_Unlock(device->handleLock);
      return hsDeviceError;
    }
    do {
      n = ::write(fd, data, length);
    } while (n < 0 && errno == EINTR);
    e = errno;
    if (n >= 0 || (e != EAGAIN && e != EWOULDBLOCK)) break;
    // The queue filled up again meanwhile: wait for room once more.
  }
  Mutex_Unlock(device->handleLock);
  if (n < 0) {
    Log_Error("%s : write() failed, errno : %d (%s)", "HECI_Write", e, HECI_ErrnoMeaning(e));
    return hsDeviceError;
  }
  if (static_cast<uint32_t>(n) != length) {
    Log_Error("%s : write() failed, %d of %u bytes written", "HECI_Write", static_cast<int>(n), length);
    return hsDeviceError;
  }
  *bytesWritten = length;
  return hsSuccess;
}

void HECIWin_CloseHeci(HECIWinDevice* device) {
  if (device == nullptr) return;
  // From here no new read or write starts.
  Mutex_Lock(device->handleLock);
  const int old = device->fd;
  device->fd = -1;
  Mutex_Unlock(device->handleLock);
  if (old < 0) return;

  // Wake a reader in its poll(), and wait until it has left it. (Only the
  // close writes wakeFd after the connect, so it is read here without
  // eventLock, which a reader holds for the whole of its wait.)
  const int wake = device->wakeFd;
  if (wake >= 0) {
    const uint64_t one = 1;
    ssize_t rc;
    do {
      rc = ::write(wake, &one, sizeof one);
    } while (rc < 0 && errno == EINTR);
    if (gHECILinuxPortTrace) {
      Log_Info("HECILinux : %s : write() on the wake eventfd returns %d : errno : %d", "HECIWin_CloseHeci",
               static_cast<int>(rc), rc < 0 ? errno : 0);
    }
    Mutex_Lock(device->eventLock);
    device->wakeFd = -1;
    Mutex_Unlock(device->eventLock);
  }

  // Returns only after a read in progress has left HECI_Read; then no
  // thread can be polling either descriptor any more.
  Mutex_Lock(device->readLock);
  Mutex_Unlock(device->readLock);
  if (wake >= 0) closeRetrying(wake);
  closeRetrying(old);
  if (gHECILinuxPortTrace) Log_Info("HECILinux : %s : device closed", "HECIWin_CloseHeci");
}

void HECIWin_FreeHeci(HECIWinDevice* device) {
  if (device == nullptr) return;
  if (device->handleLock != nullptr) Mutex_Delete(device->handleLock);
  if (device->eventLock != nullptr) Mutex_Delete(device->eventLock);
  if (device->readLock != nullptr) Mutex_Delete(device->readLock);
  Memory_Free(device);
}

bool HECIWin_IsOpen(const HECIWinDevice* device) {
  if (device == nullptr) return false;
  Mutex_Lock(device->handleLock);
  const bool open = device->fd >= 0;
  Mutex_Unlock(device->handleLock);
  return open;
}

uint32_t HECIWin_MaxMessageLength(const HECIWinDevice* device) {
  return device != nullptr ? device->maxMessageLength : 0;
}
