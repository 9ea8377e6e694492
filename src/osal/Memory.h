// Guarded heap blocks.
//
// Every record and buffer below the program entry lives in a guarded block:
//
//   [0xDEADC0DE][size N][N payload bytes, 0xAB at birth][0xDEADC0DE]
//
// Callers get the payload address. Memory_Free checks both guards, wipes the
// whole block with 0x14 and returns it to the heap. A bad guard means heap
// corruption or a double free; the process then ends at once, abnormally.
#pragma once

#include <cstdint>

constexpr uint32_t kMemoryGuardWord = 0xDEADC0DEu;
constexpr uint8_t kMemoryFillByte = 0xAB;
constexpr uint8_t kMemoryWipeByte = 0x14;
constexpr uint32_t kMemoryOverhead = 12;  // head guard, size, tail guard

// Returns the payload of a new block of `size` bytes filled with 0xAB.
// Never returns null: heap exhaustion ends the process like a bad guard, and
// so does a size whose block would pass 0xFFFFFFFF bytes.
void* Memory_Alloc(uint32_t size);

// Null is ignored. Otherwise checks the guards, wipes and frees the block.
void Memory_Free(void* payload);

// Test seam: when set, called instead of free() with the wiped block and its
// full size, so a test can look at the wipe without reading freed memory.
using MemoryReleaseHook = void (*)(void* block, uint32_t totalBytes);
void Memory_SetReleaseHook(MemoryReleaseHook hook);

// Blocks allocated and not yet freed, process-wide: a test's leak check
// compares it before and after.
uint64_t Memory_LiveBlocks();

// Ends the process at once without clean-up, as an access violation would.
// Platform-specific (Memory_posix.cpp / Memory_win32.cpp).
[[noreturn]] void Memory_AbnormalEnd();
