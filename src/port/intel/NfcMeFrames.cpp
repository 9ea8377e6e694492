#include "NfcMeFrames.h"

namespace {

void storeTriple(const ByteBufferField3& field, uint8_t* to) {
  to[0] = static_cast<uint8_t>(field.word & 0xFF);
  to[1] = static_cast<uint8_t>(field.word >> 8);
  to[2] = field.byte;
}

void readTripleInto(ByteBuffer* answer, uint8_t* to) {
  // ReadField3 leaves its output alone at the end of the content, and so
  // must the record: start from what the record already holds.
  ByteBufferField3 field{static_cast<uint16_t>(to[0] | (to[1] << 8)), to[2]};
  ByteBuffer_ReadField3(answer, &field);
  storeTriple(field, to);
}

}  // namespace

void buildMaintenanceHeader(ByteBuffer* sendBuffer) {
  // Zero the whole storage, not just the length: a longer earlier frame must
  // leave no trace behind the new one.
  ByteBuffer_Clear(sendBuffer);
  ByteBuffer_Reserve(sendBuffer, kNfcMeMaintenanceHeaderLength);
  const uint8_t header[kNfcMeMaintenanceHeaderLength] = {0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x00};
  ByteBuffer_Write(sendBuffer, header, sizeof header);
}

void NfcMe_BuildVersionQuery(ByteBuffer* sendBuffer) {
  buildMaintenanceHeader(sendBuffer);
  const uint8_t subCommand = NfcMeMaintenanceSubcommandVersionQuery;
  ByteBuffer_Write(sendBuffer, &subCommand, 1);
}

uint32_t NfcMe_MaintenanceAnswerLength(const uint8_t* frame, uint32_t received) {
  if (received < kNfcMeMaintenanceHeaderLength) {
    return received;  // no dataSize to read: take what is there
  }
  const uint32_t dataSize = static_cast<uint32_t>(frame[8] | (frame[9] << 8));
  const uint32_t wanted = dataSize + kNfcMeMaintenanceHeaderLength;
  return wanted < received ? wanted : received;
}

void NfcMe_FillQueryInfo(ByteBuffer* answer, MeQueryInfo* info) {
  const uint8_t replyStatus = ByteBuffer_ReadByte(answer);
  if (replyStatus == 0) {
    readTripleInto(answer, info->firstVersion);
  } else if (replyStatus == 1) {
    ByteBuffer_Skip(answer, 3);
    info->firstVersion[0] = 0;
    info->firstVersion[1] = 0;
    info->firstVersion[2] = 0;
  }
  // Any other reply status consumes nothing here, so every later field is
  // taken three bytes earlier; that is how the firmware client is read.
  ByteBuffer_Skip(answer, 3);
  readTripleInto(answer, info->secondVersion);
  info->info9 = ByteBuffer_ReadByte(answer);
  info->info10 = ByteBuffer_ReadByte(answer);
  info->info11 = ByteBuffer_ReadByte(answer);
  info->radioType = ByteBuffer_ReadByte(answer);
}
