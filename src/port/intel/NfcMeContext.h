// The NFC-ME link context and its constants: the one record that every
// room of the link layer works on (vxHECICommunicationLayer.cpp for the
// connection, the send path and the API, vxHECIRequest.cpp for the
// settlement of the outstanding request, vxHECIReceive.cpp for the receive
// dispatcher).
#pragma once

#include "Sync.h"
#include <cstdint>
#include <vector>

#include "NfcMeFrames.h"
#include "vxHECI.h"

struct ByteBuffer;
struct HECICore;
struct Mutex;
struct OsEvent;
struct Timer;
struct WaiterNotifier;

// Upper-layer callbacks: (userData, status, value) and
// (userData, status, data, length). Status 0 is success, 4 failure (or NCI
// data truncated to the caller's buffer), 5 the NFCC under firmware
// ownership. Nothing in the programs installs them.
using NfcMeStatusCallback = void (*)(void* userData, int32_t status, int32_t value);
using NfcMeDataCallback = void (*)(void* userData, int32_t status, uint8_t* data, uint32_t length);

constexpr int32_t kNfcMeCallbackOk = 0;
constexpr int32_t kNfcMeCallbackFailed = 4;
constexpr int32_t kNfcMeCallbackFWOwnership = 5;

// Fixed timings of the link.
constexpr uint32_t kNfcMeSendTimeoutMs = 5000;
constexpr uint32_t kNfcMeRetrySleepMs = 200;
constexpr uint32_t kNfcMeOpenAttempts = 10;
constexpr uint8_t kNfcMeReconnectAttempts = 3;

// Results of heciOpenConnection.
constexpr uint32_t kNfcMeOpenConnected = 0;
constexpr uint32_t kNfcMeOpenGaveUp = 3;

// The link context. One guarded block, zero-filled, built by vxHECI_Connect
// and released by vxHECI_Close. Fields that another thread reads or writes
// without a lock are atomics.
struct NfcMeContext {
  osal_sync::Atomic<HECICore*> heci;         // cleared without a lock after a failed write
  osal_sync::Atomic<int32_t> heciSenders;    // threads inside a send on `heci` now
  osal_sync::Atomic<HECICore*> heciRetired;  // closed by a failed write, not yet freed (see sendFrame)
  ByteBuffer* sendBuffer;              // the frame of the current request (under lock)
  osal_sync::Atomic<int32_t> resendCount;    // resends of the current request
  void* userData;                      // handed back to the upper-layer callbacks
  uint8_t* recvBuffer;                 // guarded block posted for every receive (under lock)
  uint32_t recvBufferSize;
  // Receive buffers that a reconnection with a larger maximum message
  // length outgrew (under lock): the core may still have one posted, so
  // they are freed with the context.
  std::vector<uint8_t*> outgrownRecvBuffers;
  uint8_t* initialRecvBuffer;          // upper-layer NCI buffer (under recvLock)
  uint32_t initialRecvBufferSize;
  ByteBuffer* pendingData;             // NCI data kept while no upper buffer is set
  Mutex* recvLock;
  Timer* sendTimer;                    // one-shot send timeout
  Mutex* lock;                         // guards sendPending, resendCount, sendBuffer
  int32_t sendPending;                 // 1 while the request awaits its outcome
  uint32_t requestId;                  // under lock: id of the last committed request
  uint32_t armedRequest;               // under lock: the request the send timer was armed for
  int32_t closing;                     // under lock: set when the close begins
  NfcMeStatusCallback statusCallback;
  NfcMeDataCallback dataCallback;
  osal_sync::Atomic<MeQueryInfo*> meQueryInfo;     // the caller's record while a query runs
  osal_sync::Atomic<uint32_t> meRequestStatus;     // ME_REQUEST_OK / ME_REQUEST_FAIL
  WaiterNotifier* waiter;                    // where vxHECI_QueryInfo sleeps
  uint32_t waitedRequest;                    // under the waiter's lock: the id it waits for
  uint32_t settledRequest;                   // under the waiter's lock: the id whose outcome is stored
  osal_sync::Atomic<int32_t> meRequest;            // MeRequestKind of the awaited request
  uint32_t retrySleepMs;
  uint8_t reconnectAttempt;
  OsEvent* osEvent;                          // the ME reset watcher
  osal_sync::Atomic<uint8_t> autoReconnect;        // cleared on the watcher's thread
  uint8_t stopRetries;
};
