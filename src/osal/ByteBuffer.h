// A growable byte buffer with a single cursor, used to build and parse
// NFC-ME frames. One cursor serves both directions: a frame is written from
// position 0 and parsed after the position is set back to 0.
#pragma once

#include <cstdint>

struct ByteBuffer {
  uint8_t* data;       // guarded block of `capacity` bytes
  uint32_t capacity;
  uint32_t length;     // valid bytes from the start of data
  uint32_t position;   // next byte to read, and where the next write goes
};

// A 16-bit little-endian word followed by one byte, as read by
// ByteBuffer_ReadField3.
struct ByteBufferField3 {
  uint16_t word;
  uint8_t byte;
};

constexpr uint32_t kByteBufferInitialCapacity = 32;

void ByteBuffer_Create(ByteBuffer** out);
void ByteBuffer_Delete(ByteBuffer* b);
// Ensures room for n more bytes at the position; grows by exactly n.
void ByteBuffer_Reserve(ByteBuffer* b, uint32_t n);
void ByteBuffer_Write(ByteBuffer* b, const void* bytes, uint32_t n);
// Replaces the content with a copy of n bytes (position 0).
void ByteBuffer_SetData(ByteBuffer* b, const void* src, uint32_t n);
// The byte at the position (and advances), or 0 at the end.
uint8_t ByteBuffer_ReadByte(ByteBuffer* b);
// Reads word and byte when position < length; else leaves `out` alone.
void ByteBuffer_ReadField3(ByteBuffer* b, ByteBufferField3* out);
// Advances the position by n only when that does not pass the length.
void ByteBuffer_Skip(ByteBuffer* b, uint32_t n);
// A 16-bit little-endian word (and advances by 2), or 0 at the end.
uint16_t ByteBuffer_ReadWord16(ByteBuffer* b);
// Zeroes the whole storage and empties the buffer (length and position 0).
void ByteBuffer_Clear(ByteBuffer* b);
