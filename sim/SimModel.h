// The simulator's model of the NFC-ME client, as its two front ends use it:
// the in-process device port (SimPort.cpp) and the emulated MEI character
// device (MeiInterpose_linux.cpp). Tests use NfcMeSimulator.h instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "NfcMeSimulator.h"

namespace simmodel {

struct Connection;
using ConnectionPtr = std::shared_ptr<Connection>;

// Opens the device: 0 and a connection, or an errno (ENOENT: no device;
// the scenario's openErrno for the first K opens).
int Open(ConnectionPtr* out);

// Connects the client: 0 and the maximum message length, or an errno.
// ENOTTY for an unknown client GUID, EBUSY when already connected.
int Connect(const ConnectionPtr& c, const uint8_t clientGuid[16], uint32_t* maxMessageLength);

// The fault check of a write, made before its bytes reach the simulator:
// 0, or the errno that the write fails with (ENODEV when the device has
// gone or the client is not connected, the scenario's writeErrno for the
// writes it fails). A failed write is recorded here.
int BeginWrite(const ConnectionPtr& c, const uint8_t* data, size_t length);

// Hands a written message to the model: recorded, answered as the scenario
// says.
void DeliverWrite(const ConnectionPtr& c, const uint8_t* data, size_t length);

// While the scenario stalls writes, waits until it no longer does or the
// connection closes, at most `timeoutMs`. True when a write may proceed.
bool WaitWritable(const ConnectionPtr& c, uint32_t timeoutMs);

enum class TakeKind : uint8_t {
  Frame,      // `frame` holds the next message (at most maxBytes of it)
  ReadError,  // one read fails with `err`
  Gone,       // the device has gone: every read fails with ENODEV
  Closed,     // the connection was closed
};
struct TakeResult {
  TakeKind kind;
  SimFrame frame;
  int err;
};

// Blocks until the next item for the host is due, the device goes or the
// connection is closed. A frame longer than `maxBytes` is split as the
// kernel does: the rest stays queued as the next message. `hostRead`: the
// caller is the host's read itself (counted in SimStats::readsWaiting while
// it waits).
TakeResult Take(const ConnectionPtr& c, size_t maxBytes, bool hostRead);

// True once the device has gone for this connection.
bool IsGone(const ConnectionPtr& c);

// Blocks until the connection is closed.
void WaitClosed(const ConnectionPtr& c);

// The host closed the connection (idempotent). Wakes Take and WaitWritable.
void Close(const ConnectionPtr& c);

// The scenario says whether writes are stalled.
bool WritesStalled();

// The scenario says whether there is a device at all.
bool DevicePresent();

// Adds a line to the NFCSIM_TRACE record, for what a front end does on its
// own (the class folder's device state).
void Trace(const char* line);

}  // namespace simmodel
