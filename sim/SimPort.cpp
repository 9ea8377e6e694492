// The device port over the simulator, for test executables on every
// platform. It behaves as the real ports do towards the HECI core: a read
// blocks until a message is due or the close wakes it (then 1), the close
// returns only after a read in progress has left HECI_Read, and failures
// give the same statuses and log lines as the Linux port (the errno texts
// come from the same table, HeciErrno.h).
#include <atomic>
#include <cstring>
#include <mutex>

#include "HeciErrno.h"
#include "HeciPort.h"
#include "Log.h"
#include "SimModel.h"
#include "Sync.h"

struct HECIWinDevice {
  uint32_t maxMessageLength = 0;
  std::atomic<bool> open{false};
  simmodel::ConnectionPtr connection;
  osal_sync::Mutex readLock;   // held for the whole of each HECI_Read
  osal_sync::Mutex writeLock;  // held for the whole of each HECI_Write
};

HECIStatus HECI_Init(HECIWinDevice** out) {
  *out = nullptr;
  auto* device = new HECIWinDevice;
  int err = simmodel::Open(&device->connection);
  if (err != 0) {
    if (err != ENOENT) Log_Error("HECILinux : failed to open handle, errno : %d (%s)", err, HECI_ErrnoMeaning(err));
    delete device;
    return hsDeviceNotFound;
  }
  device->open = true;
  uint32_t maxLength = 0;
  err = simmodel::Connect(device->connection, kNfcMeClientGuidBytes, &maxLength);
  if (err != 0 || maxLength == 0) {
    if (err != 0) {
      Log_Error("HECILinux : IOCTL_MEI_CONNECT_CLIENT failed : ioctl return -1, errno : %d (%s)", err,
                HECI_ErrnoMeaning(err));
    } else {
      Log_Error("HECILinux : IOCTL_MEI_CONNECT_CLIENT failed : max_msg_length 0");
    }
    HECIWin_CloseHeci(device);
    HECIWin_FreeHeci(device);
    return hsDeviceError;
  }
  device->maxMessageLength = maxLength;
  *out = device;
  return hsSuccess;
}

HECIStatus HECI_Read(HECIWinDevice* device, uint8_t* buffer, uint32_t size, uint32_t* bytesRead) {
  *bytesRead = 0;
  if (device == nullptr) return hsNoDevice;
  std::lock_guard<osal_sync::Mutex> reading(device->readLock);
  if (!device->open) return hsNoDevice;
  simmodel::TakeResult r = simmodel::Take(device->connection, size, true);
  switch (r.kind) {
    case simmodel::TakeKind::Closed:
      return hsNoDevice;
    case simmodel::TakeKind::ReadError:
    case simmodel::TakeKind::Gone:
      Log_Error("%s : read() failed, errno : %d (%s)", "HECI_Read", r.err, HECI_ErrnoMeaning(r.err));
      return hsDeviceError;
    case simmodel::TakeKind::Frame:
      break;
  }
  std::memcpy(buffer, r.frame.data(), r.frame.size());
  *bytesRead = static_cast<uint32_t>(r.frame.size());
  return hsSuccess;
}

HECIStatus HECI_Write(HECIWinDevice* device, const uint8_t* data, uint32_t length,
                      uint32_t* bytesWritten) {
  *bytesWritten = 0;
  if (device == nullptr) return hsNoDevice;
  std::lock_guard<osal_sync::Mutex> writing(device->writeLock);
  if (!device->open) return hsNoDevice;
  int err = length > device->maxMessageLength ? EFBIG : simmodel::BeginWrite(device->connection, data, length);
  if (err == 0 && !simmodel::WaitWritable(device->connection, 500)) {
    Log_Error("%s : poll() failed, errno : %d (%s)", "HECI_Write", ETIMEDOUT, HECI_ErrnoMeaning(ETIMEDOUT));
    return hsDeviceError;
  }
  if (err != 0) {
    Log_Error("%s : write() failed, errno : %d (%s)", "HECI_Write", err, HECI_ErrnoMeaning(err));
    return hsDeviceError;
  }
  simmodel::DeliverWrite(device->connection, data, length);
  *bytesWritten = length;
  return hsSuccess;
}

void HECIWin_CloseHeci(HECIWinDevice* device) {
  if (device == nullptr || !device->open.exchange(false)) return;
  { std::lock_guard<osal_sync::Mutex> waitForWriter(device->writeLock); }
  simmodel::Close(device->connection);
  { std::lock_guard<osal_sync::Mutex> waitForReader(device->readLock); }
}

void HECIWin_FreeHeci(HECIWinDevice* device) { delete device; }

bool HECIWin_IsOpen(const HECIWinDevice* device) { return device != nullptr && device->open; }

uint32_t HECIWin_MaxMessageLength(const HECIWinDevice* device) {
  return device != nullptr ? device->maxMessageLength : 0;
}
