#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "NfcMeFrames.h"
#include "TestSupport.h"

namespace {

struct Buffer {
  ByteBuffer* b = nullptr;
  Buffer() { ByteBuffer_Create(&b); }
  ~Buffer() { ByteBuffer_Delete(b); }
  std::vector<uint8_t> bytes() const { return {b->data, b->data + b->length}; }
};

using testsupport::kVersionQuery;

// A VersionQuery answer: header, sub-command 1, reply status, 13 data bytes
// numbered 0x40.. so that every record byte shows where it came from.
std::vector<uint8_t> versionAnswer(uint8_t replyStatus, uint16_t dataSize = 15) {
  std::vector<uint8_t> a = {0, 0, 0, 0, 0, 0, 0, 0, static_cast<uint8_t>(dataSize & 0xFF),
                            static_cast<uint8_t>(dataSize >> 8), 0x01, replyStatus};
  for (uint8_t i = 0; i < 13; ++i) a.push_back(static_cast<uint8_t>(0x40 + i));  // bytes 12..24
  return a;
}

MeQueryInfo parse(const std::vector<uint8_t>& frame, uint32_t received) {
  MeQueryInfo info;
  std::memset(&info, 0xEE, sizeof info);
  Buffer answer;
  ByteBuffer_SetData(answer.b, frame.data(), NfcMe_MaintenanceAnswerLength(frame.data(), received));
  ByteBuffer_Skip(answer.b, kNfcMeMaintenanceHeaderLength);
  EXPECT_EQ(ByteBuffer_ReadByte(answer.b), NfcMeMaintenanceSubcommandVersionQuery);
  NfcMe_FillQueryInfo(answer.b, &info);
  return info;
}

std::vector<uint8_t> recordBytes(const MeQueryInfo& info) {
  const auto* p = reinterpret_cast<const uint8_t*>(&info);
  return {p, p + sizeof info};
}

}  // namespace

TEST(Frames, VersionQueryIsElevenBytes) {
  Buffer buf;
  NfcMe_BuildVersionQuery(buf.b);
  EXPECT_EQ(buf.bytes(), kVersionQuery);
}

TEST(Frames, VersionQueryAfterALongerFrameLeavesNoTrace) {
  Buffer buf;
  std::vector<uint8_t> junk(60, 0x77);
  ByteBuffer_Write(buf.b, junk.data(), 60);
  NfcMe_BuildVersionQuery(buf.b);
  EXPECT_EQ(buf.bytes(), kVersionQuery);
  for (uint32_t i = 11; i < buf.b->capacity; ++i) EXPECT_EQ(buf.b->data[i], 0) << i;
}

TEST(Frames, AnswerWithReplyStatus0FillsEveryField) {
  const auto info = parse(versionAnswer(0), 25);
  EXPECT_EQ(recordBytes(info), (std::vector<uint8_t>{0x40, 0x41, 0x42, 0xEE, 0xEE, 0xEE, 0x46, 0x47,
                                                     0x48, 0x49, 0x4A, 0x4B, 0x4C}));
  EXPECT_EQ(info.radioType, 0x4C);
}

TEST(Frames, AnswerWithReplyStatus1ZeroesTheFirstTriple) {
  const auto info = parse(versionAnswer(1), 25);
  EXPECT_EQ(recordBytes(info), (std::vector<uint8_t>{0, 0, 0, 0xEE, 0xEE, 0xEE, 0x46, 0x47, 0x48,
                                                     0x49, 0x4A, 0x4B, 0x4C}));
}

TEST(Frames, AnswerWithAnotherReplyStatusReadsEverythingThreeBytesEarlier) {
  const auto info = parse(versionAnswer(7), 25);
  EXPECT_EQ(recordBytes(info), (std::vector<uint8_t>{0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0x43, 0x44,
                                                     0x45, 0x46, 0x47, 0x48, 0x49}));
}

TEST(Frames, AnswerWithDataSize2LeavesTriplesAndZeroesTheTail) {
  const auto info = parse(versionAnswer(0, 2), 25);
  EXPECT_EQ(recordBytes(info), (std::vector<uint8_t>{0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE,
                                                     0xEE, 0, 0, 0, 0}));
}

TEST(Frames, LyingDataSizeIsBoundedByTheBytesReceived) {
  // dataSize claims 200 payload bytes, but only 20 bytes arrived.
  auto frame = versionAnswer(0, 200);
  frame.resize(20);
  EXPECT_EQ(NfcMe_MaintenanceAnswerLength(frame.data(), 20), 20u);
  const auto info = parse(frame, 20);
  // Bytes 12-14 and the skipped 15-17 are there; byte 18, 19 start the
  // second triple, whose third byte is missing; nothing after that is read.
  EXPECT_EQ(recordBytes(info), (std::vector<uint8_t>{0x40, 0x41, 0x42, 0xEE, 0xEE, 0xEE, 0x46, 0x47,
                                                     0x00, 0, 0, 0, 0}));
}

TEST(Frames, FrameTooShortForDataSizeIsTakenAsReceived) {
  const uint8_t frame[7] = {0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(NfcMe_MaintenanceAnswerLength(frame, 7), 7u);
}
