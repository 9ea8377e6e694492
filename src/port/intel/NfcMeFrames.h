// NFC-ME frames as they cross the HECI client: codes, the version query
// request and the record that its answer fills.
//
// All multi-byte fields are little-endian. Every frame starts with
// command (1), status (1) and two reserved bytes; a frame shorter than
// kNfcMeMinFrameLength is invalid.
#pragma once

#include <cstdint>

#include "ByteBuffer.h"

// Command codes (byte 0).
constexpr uint8_t NfcMeCommandMaintenance = 0x00;
constexpr uint8_t NfcMeCommandIntegrity03 = 0x03;  // logged only
constexpr uint8_t NfcMeCommandNCISendResponse = 0x04;
constexpr uint8_t NfcMeCommandNCIReceive = 0x05;
constexpr uint8_t NfcMeCommandIntegrity10 = 0x10;  // logged only
constexpr uint8_t NfcMeCommandPowerResponse = 0x11;
constexpr uint8_t NfcMeCommandDownloadPinState = 0x12;
constexpr uint8_t NfcMeCommandDownloadPinStateResp = 0x13;
constexpr uint8_t NfcMeCommandIntegrity20 = 0x20;  // logged only

// Maintenance sub-commands (byte 10).
constexpr uint8_t NfcMeMaintenanceSubcommandConnect = 0x00;
constexpr uint8_t NfcMeMaintenanceSubcommandVersionQuery = 0x01;

// Status of an NCI send response (byte 1 of a 0x04 frame).
constexpr uint8_t NfcMeStatusSuccess = 0x00;
constexpr uint8_t NfcMeStatusFailure = 0x01;
constexpr uint8_t NfcMeStatusFWOwnership = 0x10;

// Status of a download-pin-state answer (byte 1 of a 0x12 frame).
constexpr uint8_t NfcMeDownloadPinStateSuccess = 0x00;
constexpr bool NfcMe_IsDownloadPinStateError(uint8_t status) {
  return status == 0x80 || status == 0x83 || status == 0x86 || status == 0x90 || status == 0x91;
}

// Status of a download-pin-state response (byte 1 of a 0x13 frame).
constexpr uint8_t NfcMeDownloadPinStateRespSuccess = 0x00;
constexpr uint8_t NfcMeDownloadPinStateRespFailure = 0x01;
constexpr uint8_t NfcMeDownloadPinStateRespNotSupported = 0x02;

// Which of the link layer's own requests awaits its answer (meRequest).
enum MeRequestKind : int32_t {
  MeRequestNone = 0,
  MeRequestVersionQuery = 1,
  MeRequestDownloadPinState = 2,
  MeRequestPower = 3,
};

// Outcome of the awaited request (meRequestStatus).
constexpr uint32_t ME_REQUEST_OK = 0;
constexpr uint32_t ME_REQUEST_FAIL = 1;

// Frame geometry.
constexpr uint32_t kNfcMeMinFrameLength = 6;
constexpr uint32_t kNfcMeMaintenanceHeaderLength = 10;
constexpr uint32_t kNfcMeNciDataOffset = 6;
constexpr uint32_t kNfcMeVersionQueryLength = 11;
constexpr uint32_t kNfcMeVersionAnswerLength = 25;

// The 13-byte version record filled from a VersionQuery answer. The caller
// of the query owns it.
struct MeQueryInfo {
  uint8_t firstVersion[3];   // answer bytes 12-14 (reply status 0), or zeros (1)
  uint8_t ownerBytes[3];     // never written by the link layer
  uint8_t secondVersion[3];  // answer bytes 18-20
  uint8_t info9;             // answer byte 21
  uint8_t info10;            // answer byte 22
  uint8_t info11;            // answer byte 23
  uint8_t radioType;         // answer byte 24
};
static_assert(sizeof(MeQueryInfo) == 13, "MeQueryInfo is a 13-byte record");

// Empties the send buffer (zeroing its whole storage) and writes the 10-byte
// maintenance header: eight zero bytes and dataSize 1.
void buildMaintenanceHeader(ByteBuffer* sendBuffer);

// The whole version query request: the header, then sub-command 0x01 with
// the ByteBuffer_Write convention. 11 bytes: 00 00 00 00 00 00 00 00 01 00 01.
void NfcMe_BuildVersionQuery(ByteBuffer* sendBuffer);

// Number of bytes of a received maintenance answer that its parse takes:
// dataSize + 10, but never more than was received.
uint32_t NfcMe_MaintenanceAnswerLength(const uint8_t* frame, uint32_t received);

// Fills `info` from a VersionQuery answer whose buffer position stands just
// behind the sub-command byte (it reads the reply status first).
void NfcMe_FillQueryInfo(ByteBuffer* answer, MeQueryInfo* info);
