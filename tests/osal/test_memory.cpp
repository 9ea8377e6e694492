#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "Memory.h"

namespace {

std::vector<uint8_t> gLastReleased;

void keepCopyThenFree(void* block, uint32_t totalBytes) {
  const auto* bytes = static_cast<const uint8_t*>(block);
  gLastReleased.assign(bytes, bytes + totalBytes);
  std::free(block);
}

uint32_t wordAt(const uint8_t* p) {
  uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

}  // namespace

TEST(Memory, BlockHasGuardsSizeAndFill) {
  auto* p = static_cast<uint8_t*>(Memory_Alloc(5));
  EXPECT_EQ(wordAt(p - 8), 0xDEADC0DEu);
  EXPECT_EQ(wordAt(p - 4), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(p[i], 0xAB);
  EXPECT_EQ(wordAt(p + 5), 0xDEADC0DEu);  // unaligned tail guard
  Memory_Free(p);
}

TEST(Memory, FreedBlockIsWipedWith0x14Throughout) {
  Memory_SetReleaseHook(keepCopyThenFree);
  auto* p = static_cast<uint8_t*>(Memory_Alloc(7));
  std::memset(p, 0x55, 7);
  Memory_Free(p);
  Memory_SetReleaseHook(nullptr);
  ASSERT_EQ(gLastReleased.size(), 7u + 12u);
  for (uint8_t b : gLastReleased) EXPECT_EQ(b, 0x14);
}

TEST(Memory, FreeOfNullDoesNothing) { Memory_Free(nullptr); }

TEST(Memory, ZeroSizedBlockIsJustItsGuards) {
  auto* p = static_cast<uint8_t*>(Memory_Alloc(0));
  EXPECT_EQ(wordAt(p), 0xDEADC0DEu);
  Memory_Free(p);
}

using MemoryDeathTest = ::testing::Test;

TEST(MemoryDeathTest, OneByteOverrunEndsTheProcessOnFree) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        auto* p = static_cast<uint8_t*>(Memory_Alloc(16));
        p[16] = 0;  // first byte of the tail guard
        Memory_Free(p);
      },
      "");
}

TEST(MemoryDeathTest, BadHeadGuardEndsTheProcessOnFree) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        auto* p = static_cast<uint8_t*>(Memory_Alloc(4));
        p[-8] ^= 1;
        Memory_Free(p);
      },
      "");
}

// A block's sizes are 32-bit. A payload whose block (payload and the 12
// guard bytes) would pass 0xFFFFFFFF ends the process like heap exhaustion:
// in the 32-bit build the sum wraps to a tiny block that the 0xAB fill would
// overrun by gigabytes. The 64-bit build refuses it alike.
TEST(MemoryDeathTest, SizeWhoseBlockDoesNotFitEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const uint32_t size : {0xFFFFFFFFu, 0xFFFFFFF8u, 0xFFFFFFF4u}) {
    EXPECT_DEATH(Memory_Alloc(size), "") << std::hex << size;
  }
}
