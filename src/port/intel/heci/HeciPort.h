// The device port beneath the HECI core: finds the HECI (MEI) device,
// connects it to the NFC-ME firmware client, reads and writes whole
// messages, and closes it while a read waits.
//
// One interface, several backends, one linked per executable:
//   HeciPort_win32.cpp  - the Windows HECI driver (SetupAPI, overlapped I/O)
//   HeciPort_linux.cpp  - the Linux MEI character device (/dev/meiN)
//   sim/                - the NFC-ME firmware simulator, for tests
#pragma once

#include <cstdint>

#include "HECIStatus.h"

struct HECIWinDevice;  // defined by each backend

// NFC-ME client GUID {D2DE1625-382D-417D-48A4-EFABBA8A1206} in the Windows
// GUID byte layout (first three groups little-endian), as sent to the driver.
constexpr uint8_t kNfcMeClientGuidBytes[16] = {0x25, 0x16, 0xDE, 0xD2, 0x2D, 0x38, 0x7D, 0x41,
                                               0x48, 0xA4, 0xEF, 0xAB, 0xBA, 0x8A, 0x12, 0x06};

// Creates the record, opens the device and connects the NFC-ME client.
// 0 (slot set), 2 or 3 (slot null).
HECIStatus HECI_Init(HECIWinDevice** out);
// Blocks until one whole message was read or the device is closed. 0, 1, 3.
HECIStatus HECI_Read(HECIWinDevice* device, uint8_t* buffer, uint32_t size, uint32_t* bytesRead);
// Writes one whole message. 0, 1, 3.
HECIStatus HECI_Write(HECIWinDevice* device, const uint8_t* data, uint32_t length,
                      uint32_t* bytesWritten);
// Closes the device, wakes a blocked HECI_Read and returns only after a read
// in progress has left HECI_Read.
void HECIWin_CloseHeci(HECIWinDevice* device);
// Frees the record (after HECIWin_CloseHeci).
void HECIWin_FreeHeci(HECIWinDevice* device);

// What the core reads of a connected record.
bool HECIWin_IsOpen(const HECIWinDevice* device);
uint32_t HECIWin_MaxMessageLength(const HECIWinDevice* device);
