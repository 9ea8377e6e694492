#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "ByteBuffer.h"
#include "Memory.h"

namespace {

// Keeps released blocks instead of freeing them (they are wiped already), so
// that a read of released storage shows as 0x14 bytes rather than as
// undefined behaviour; frees them when the test is done.
std::vector<void*> gKept;
void keepReleased(void* block, uint32_t) { gKept.push_back(block); }
struct KeepReleasedBlocks {
  KeepReleasedBlocks() { Memory_SetReleaseHook(keepReleased); }
  ~KeepReleasedBlocks() {
    Memory_SetReleaseHook(nullptr);
    for (void* block : gKept) std::free(block);
    gKept.clear();
  }
};

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

TEST(ByteBuffer, WriteInsideTheContentKeepsTheLengthWithinTheCapacity) {
  Buffer buf;
  uint8_t twenty[20];
  for (int i = 0; i < 20; ++i) twenty[i] = static_cast<uint8_t>(i);
  ByteBuffer_Write(buf.b, twenty, 20);
  buf.b->position = 10;
  const uint8_t fifteen[15] = {0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7,
                               0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE};
  ByteBuffer_Write(buf.b, fifteen, 15);  // 10 + 15 < 32: no growth
  EXPECT_EQ(buf.b->capacity, 32u);
  EXPECT_EQ(buf.b->position, 25u);
  EXPECT_EQ(buf.b->length, 25u) << "the larger of the old length and the new position";
  EXPECT_LE(buf.b->length, buf.b->capacity);
  EXPECT_EQ(buf.b->data[9], 9);
  EXPECT_EQ(buf.b->data[10], 0xF0);

  // A write that ends before the old length leaves the length alone.
  buf.b->position = 2;
  ByteBuffer_Write(buf.b, fifteen, 3);
  EXPECT_EQ(buf.b->position, 5u);
  EXPECT_EQ(buf.b->length, 25u);
}

TEST(ByteBuffer, SetDataFromItsOwnStorageCopiesBeforeReleasing) {
  KeepReleasedBlocks keep;
  Buffer buf;
  const uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  ByteBuffer_Write(buf.b, bytes, 8);
  ByteBuffer_SetData(buf.b, buf.b->data + 2, 5);  // the frame's tail, in place
  ASSERT_EQ(buf.b->length, 5u);
  EXPECT_EQ(buf.b->capacity, 5u);
  EXPECT_EQ(buf.b->position, 0u);
  EXPECT_EQ(std::vector<uint8_t>(buf.b->data, buf.b->data + 5), (std::vector<uint8_t>{3, 4, 5, 6, 7}));
  EXPECT_EQ(gKept.size(), 1u) << "the old storage is released once";

  ByteBuffer_SetData(buf.b, buf.b->data, 5);  // all of it
  EXPECT_EQ(std::vector<uint8_t>(buf.b->data, buf.b->data + 5), (std::vector<uint8_t>{3, 4, 5, 6, 7}));
}

TEST(ByteBuffer, SkipPastTheEndDoesNotWrapAround) {
  Buffer buf;
  const uint8_t bytes[4] = {1, 2, 3, 4};
  ByteBuffer_SetData(buf.b, bytes, 4);
  buf.b->position = 2;
  ByteBuffer_Skip(buf.b, 0xFFFFFFFFu);  // 2 + n wraps to 1, which is within the length
  EXPECT_EQ(buf.b->position, 2u);
  ByteBuffer_Skip(buf.b, 2);
  EXPECT_EQ(buf.b->position, 4u);
}

// Room for n more bytes where position + n, or capacity + n, passes 32 bits:
// the arithmetic would wrap to "no growth needed" (and the write would run
// past the storage) or to a tiny new block. It ends the process, as heap
// exhaustion does.
TEST(ByteBufferDeathTest, ReserveBeyondThirtyTwoBitsEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        ByteBuffer* b = nullptr;
        ByteBuffer_Create(&b);
        b->position = 16;
        ByteBuffer_Reserve(b, 0xFFFFFFF0u);  // 16 + n wraps to 0, below the capacity
      },
      "");
  EXPECT_DEATH(
      {
        ByteBuffer* b = nullptr;
        ByteBuffer_Create(&b);
        ByteBuffer_Reserve(b, 0xFFFFFFF0u);  // capacity 32 + n wraps to 16
      },
      "");
}
