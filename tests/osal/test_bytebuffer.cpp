#include <gtest/gtest.h>

#include <cstring>

#include "ByteBuffer.h"

namespace {

struct Buffer {
  ByteBuffer* b = nullptr;
  Buffer() { ByteBuffer_Create(&b); }
  ~Buffer() { ByteBuffer_Delete(b); }
};

}  // namespace

TEST(ByteBuffer, NewBufferIsEmptyWith32ZeroBytes) {
  Buffer buf;
  ASSERT_NE(buf.b, nullptr);
  EXPECT_EQ(buf.b->capacity, 32u);
  EXPECT_EQ(buf.b->length, 0u);
  EXPECT_EQ(buf.b->position, 0u);
  for (uint32_t i = 0; i < 32; ++i) EXPECT_EQ(buf.b->data[i], 0);
  EXPECT_EQ(ByteBuffer_ReadByte(buf.b), 0);
  EXPECT_EQ(buf.b->position, 0u);
}

TEST(ByteBuffer, CreateWithNullSlotAndDeleteOfNullDoNothing) {
  ByteBuffer_Create(nullptr);
  ByteBuffer_Delete(nullptr);
}

TEST(ByteBuffer, ReserveGrowsByExactlyTheRequestAtOrPastCapacity) {
  Buffer buf;
  ByteBuffer_Reserve(buf.b, 10);
  EXPECT_EQ(buf.b->capacity, 32u);
  buf.b->position = 22;  // 22 + 10 == 32: grows, the boundary is exclusive
  ByteBuffer_Reserve(buf.b, 10);
  EXPECT_EQ(buf.b->capacity, 42u);

  Buffer other;
  other.b->position = 23;
  ByteBuffer_Reserve(other.b, 10);
  EXPECT_EQ(other.b->capacity, 42u);
  // The old content is kept and the new tail carries the allocation fill.
  EXPECT_EQ(other.b->data[31], 0);
  EXPECT_EQ(other.b->data[32], 0xAB);
}

TEST(ByteBuffer, WriteAppendsAndGrows) {
  Buffer buf;
  uint8_t bytes[40];
  for (int i = 0; i < 40; ++i) bytes[i] = static_cast<uint8_t>(i);
  ByteBuffer_Write(buf.b, bytes, 30);
  ByteBuffer_Write(buf.b, bytes + 30, 10);
  EXPECT_EQ(buf.b->length, 40u);
  EXPECT_EQ(buf.b->position, 40u);
  EXPECT_GE(buf.b->capacity, 40u);
  EXPECT_EQ(std::memcmp(buf.b->data, bytes, 40), 0);
}

TEST(ByteBuffer, SetDataReplacesContent) {
  Buffer buf;
  const uint8_t five[5] = {1, 2, 3, 4, 5};
  ByteBuffer_SetData(buf.b, five, 5);
  EXPECT_EQ(buf.b->capacity, 5u);
  EXPECT_EQ(buf.b->length, 5u);
  EXPECT_EQ(buf.b->position, 0u);
  EXPECT_EQ(ByteBuffer_ReadByte(buf.b), 1);

  ByteBuffer_SetData(buf.b, nullptr, 0);
  EXPECT_EQ(buf.b->capacity, 32u);
  EXPECT_EQ(buf.b->length, 0u);
  EXPECT_EQ(buf.b->position, 0u);
  EXPECT_EQ(buf.b->data[31], 0);
}

TEST(ByteBuffer, ReadField3TakesWordLittleEndianThenByte) {
  Buffer buf;
  const uint8_t bytes[3] = {0x34, 0x12, 0x07};
  ByteBuffer_SetData(buf.b, bytes, 3);
  ByteBufferField3 f{0xFFFF, 0xFF};
  ByteBuffer_ReadField3(buf.b, &f);
  EXPECT_EQ(f.word, 0x1234);
  EXPECT_EQ(f.byte, 0x07);
  EXPECT_EQ(buf.b->position, 3u);
  // At the end it leaves the output alone.
  ByteBuffer_ReadField3(buf.b, &f);
  EXPECT_EQ(f.word, 0x1234);
  ByteBuffer_ReadField3(buf.b, nullptr);
}

TEST(ByteBuffer, ReadsNeverRunPastTheContent) {
  Buffer buf;
  const uint8_t bytes[2] = {0xAA, 0xBB};
  ByteBuffer_SetData(buf.b, bytes, 2);  // storage is exactly 2 bytes
  buf.b->position = 1;
  ByteBufferField3 f{0, 0};
  ByteBuffer_ReadField3(buf.b, &f);  // only one byte left
  EXPECT_EQ(f.word, 0x00BB);
  EXPECT_EQ(f.byte, 0);
  EXPECT_EQ(buf.b->position, 2u);
  ByteBuffer_Skip(buf.b, 1);
  EXPECT_EQ(buf.b->position, 2u);
  EXPECT_EQ(ByteBuffer_ReadWord16(buf.b), 0);
}
