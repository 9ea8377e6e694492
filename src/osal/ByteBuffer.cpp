#include "ByteBuffer.h"

#include <cstring>

#include "Memory.h"

namespace {

uint8_t* newZeroedStorage(uint32_t size) {
  auto* storage = static_cast<uint8_t*>(Memory_Alloc(size));
  std::memset(storage, 0, size);
  return storage;
}

}  // namespace

void ByteBuffer_Create(ByteBuffer** out) {
  if (out == nullptr) {
    return;
  }
  auto* b = static_cast<ByteBuffer*>(Memory_Alloc(sizeof(ByteBuffer)));
  b->data = newZeroedStorage(kByteBufferInitialCapacity);
  b->capacity = kByteBufferInitialCapacity;
  b->length = 0;
  b->position = 0;
  *out = b;
}

void ByteBuffer_Delete(ByteBuffer* b) {
  if (b == nullptr) {
    return;
  }
  Memory_Free(b->data);
  Memory_Free(b);
}

void ByteBuffer_Reserve(ByteBuffer* b, uint32_t n) {
  // Growth also happens when position + n equals the capacity exactly. The
  // sums are taken in 64 bits: wrapped in 32, a huge n would pass for "no
  // growth needed", or grow the storage to a few bytes.
  if (static_cast<uint64_t>(b->position) + n < b->capacity) {
    return;
  }
  const uint64_t newCapacity = static_cast<uint64_t>(b->capacity) + n;
  if (newCapacity > UINT32_MAX) {
    Memory_AbnormalEnd();  // as heap exhaustion: no such buffer can exist
  }
  auto* storage = static_cast<uint8_t*>(Memory_Alloc(static_cast<uint32_t>(newCapacity)));
  if (b->data != nullptr) {
    std::memcpy(storage, b->data, b->capacity);
  }
  Memory_Free(b->data);
  b->data = storage;
  b->capacity = static_cast<uint32_t>(newCapacity);
}

void ByteBuffer_Write(ByteBuffer* b, const void* bytes, uint32_t n) {
  ByteBuffer_Reserve(b, n);
  if (n != 0) {
    std::memcpy(b->data + b->position, bytes, n);
  }
  b->position += n;
  // A write inside the content (position below the length) extends it only
  // as far as it reaches; the length never passes the capacity.
  if (b->length < b->position) {
    b->length = b->position;
  }
}

void ByteBuffer_SetData(ByteBuffer* b, const void* src, uint32_t n) {
  // The copy is made before the old storage goes: the source may lie inside
  // it.
  uint8_t* storage;
  if (n > 0) {
    storage = static_cast<uint8_t*>(Memory_Alloc(n));
    std::memcpy(storage, src, n);
  } else {
    storage = newZeroedStorage(kByteBufferInitialCapacity);
  }
  Memory_Free(b->data);
  b->data = storage;
  b->capacity = n > 0 ? n : kByteBufferInitialCapacity;
  b->length = n;
  b->position = 0;
}

uint8_t ByteBuffer_ReadByte(ByteBuffer* b) {
  if (b->position >= b->length) {
    return 0;
  }
  return b->data[b->position++];
}

void ByteBuffer_ReadField3(ByteBuffer* b, ByteBufferField3* out) {
  if (out == nullptr || b->position >= b->length) {
    return;
  }
  // Only position < length is checked; a field cut short by the end of the
  // content reads as zero rather than running past the storage.
  uint8_t raw[3] = {0, 0, 0};
  for (uint32_t i = 0; i < 3 && b->position + i < b->length; ++i) {
    raw[i] = b->data[b->position + i];
  }
  out->word = static_cast<uint16_t>(raw[0] | (raw[1] << 8));
  out->byte = raw[2];
  b->position += 3;
  if (b->position > b->length) {
    b->position = b->length;  // reads never move the cursor past the content
  }
}

void ByteBuffer_Skip(ByteBuffer* b, uint32_t n) {
  // Compared without a sum that could wrap around 32 bits.
  if (b->position <= b->length && n <= b->length - b->position) {
    b->position += n;
  }
}

uint16_t ByteBuffer_ReadWord16(ByteBuffer* b) {
  if (b->position >= b->length) {
    return 0;
  }
  const uint8_t lo = b->data[b->position];
  const uint8_t hi = b->position + 1 < b->length ? b->data[b->position + 1] : 0;
  b->position += 2;
  if (b->position > b->length) {
    b->position = b->length;
  }
  return static_cast<uint16_t>(lo | (hi << 8));
}

void ByteBuffer_Clear(ByteBuffer* b) {
  std::memset(b->data, 0, b->capacity);
  b->length = 0;
  b->position = 0;
}
