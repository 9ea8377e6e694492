// The fuzz entry for the link layer's receive dispatcher, shared by the
// libFuzzer target and the corpus replay test.
#pragma once

#include <cstddef>
#include <cstdint>

// Input: byte 0 selects the request state, byte 1 the size of the upper
// layer's NCI buffer, the rest is the received frame:
//   bits 0-1 meRequest (0..3)        bit 2 sendPending
//   bit 3    a MeQueryInfo record    bit 4 an upper NCI buffer
//   bit 5    a read error            bit 6 upper-layer callbacks
//   bit 7    the trace switch
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
