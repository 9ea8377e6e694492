// The least a program can do to get the controller's version on Windows:
// find the HECI interface, open it, connect the NFC-ME client, write the
// version query and read the answer, single-threaded and without the
// layers. The yardstick for Orlisk.exe's own cost under the same Wine.
#include <windows.h>
#include <setupapi.h>

#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr GUID kHeciInterfaceClass = {
    0xE2D1FF34, 0x3458, 0x49A9, {0x88, 0xDA, 0x8E, 0x69, 0x15, 0xCE, 0x9B, 0xE5}};
constexpr uint8_t kNfcMeClient[16] = {0x25, 0x16, 0xDE, 0xD2, 0x2D, 0x38, 0x7D, 0x41,
                                      0x48, 0xA4, 0xEF, 0xAB, 0xBA, 0x8A, 0x12, 0x06};
constexpr uint8_t kVersionQuery[11] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1};

// One overlapped request, waited for.
bool complete(HANDLE device, BOOL started, OVERLAPPED* ov, DWORD* count) {
  if (!started && GetLastError() != ERROR_IO_PENDING) return false;
  return GetOverlappedResult(device, ov, count, TRUE) != 0;
}

}  // namespace

int main() {
  HDEVINFO set = SetupDiGetClassDevsW(&kHeciInterfaceClass, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA data = {};
  data.cbSize = sizeof data;
  if (set == INVALID_HANDLE_VALUE || !SetupDiEnumDeviceInterfaces(set, nullptr, &kHeciInterfaceClass, 0, &data)) {
    std::puts("no HECI interface");
    return 1;
  }
  DWORD size = 0;
  SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
  std::vector<uint8_t> block(size);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(block.data());
  detail->cbSize = sizeof *detail;
  if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, nullptr)) return 1;
  HANDLE device = CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  SetupDiDestroyDeviceInfoList(set);
  if (device == INVALID_HANDLE_VALUE) return 1;

  OVERLAPPED ov = {};
  ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  uint8_t answer[5] = {};
  DWORD count = 0;
  if (!complete(device, DeviceIoControl(device, 0x8000E004u, const_cast<uint8_t*>(kNfcMeClient), 16, answer, 5,
                                        nullptr, &ov),
                &ov, &count) ||
      count != 5) {
    std::puts("connect failed");
    return 1;
  }
  const uint32_t max = answer[0] | answer[1] << 8 | answer[2] << 16 | static_cast<uint32_t>(answer[3]) << 24;
  if (!complete(device, WriteFile(device, kVersionQuery, sizeof kVersionQuery, nullptr, &ov), &ov, &count)) {
    std::puts("write failed");
    return 1;
  }
  std::vector<uint8_t> message(max);
  if (!complete(device, ReadFile(device, message.data(), max, nullptr, &ov), &ov, &count) || count < 25) {
    std::puts("read failed");
    return 1;
  }
  CloseHandle(ov.hEvent);
  CloseHandle(device);
  return message[24] == 2 || message[24] == 17 ? 0 : 2;
}
