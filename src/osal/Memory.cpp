#include "Memory.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kHeadBytes = 8;  // guard word + size word

MemoryReleaseHook gReleaseHook = nullptr;
std::atomic<uint64_t> gLiveBlocks{0};

uint8_t* blockStart(void* payload) { return static_cast<uint8_t*>(payload) - kHeadBytes; }

uint32_t readWord(const uint8_t* at) {
  uint32_t value;
  std::memcpy(&value, at, sizeof value);  // the tail guard may be unaligned
  return value;
}

void writeWord(uint8_t* at, uint32_t value) { std::memcpy(at, &value, sizeof value); }

}  // namespace

void* Memory_Alloc(uint32_t size) {
  // The block's sizes are 32-bit words, and in the 32-bit build size + 12
  // would wrap to a tiny allocation that the fill below overruns by
  // gigabytes. A payload whose block does not fit them is treated as heap
  // exhaustion.
  if (size > UINT32_MAX - kMemoryOverhead) {
    Memory_AbnormalEnd();
  }
  const size_t total = static_cast<size_t>(size) + kMemoryOverhead;
  auto* block = static_cast<uint8_t*>(std::malloc(total));
  if (block == nullptr) {
    // Nothing in the system expects an allocation to fail; carrying on with a
    // null record would only move the crash somewhere less obvious.
    Memory_AbnormalEnd();
  }
  writeWord(block, kMemoryGuardWord);
  writeWord(block + 4, size);
  std::memset(block + kHeadBytes, kMemoryFillByte, size);
  writeWord(block + kHeadBytes + size, kMemoryGuardWord);
  gLiveBlocks.fetch_add(1, std::memory_order_relaxed);
  return block + kHeadBytes;
}

void Memory_Free(void* payload) {
  if (payload == nullptr) {
    return;
  }
  uint8_t* block = blockStart(payload);
  if (readWord(block) != kMemoryGuardWord) {
    Memory_AbnormalEnd();
  }
  const uint32_t size = readWord(block + 4);
  if (readWord(block + kHeadBytes + size) != kMemoryGuardWord) {
    Memory_AbnormalEnd();
  }
  gLiveBlocks.fetch_sub(1, std::memory_order_relaxed);
  // volatile stores: the wipe must not be optimised away as a dead store
  // before free(); it is what makes use-after-free visible.
  volatile uint8_t* wipe = block;
  for (size_t i = 0; i < static_cast<size_t>(size) + kMemoryOverhead; ++i) {
    wipe[i] = kMemoryWipeByte;
  }
  if (gReleaseHook != nullptr) {
    gReleaseHook(block, size + kMemoryOverhead);
    return;
  }
  std::free(block);
}

void Memory_SetReleaseHook(MemoryReleaseHook hook) { gReleaseHook = hook; }

uint64_t Memory_LiveBlocks() { return gLiveBlocks.load(std::memory_order_relaxed); }
