// The NFC-ME link layer's context and its internal operations.
//
// Programs use vxHECI.h only; this header is for the link layer itself and
// for its tests, which drive the send path and the receive dispatcher
// directly.
//
// Threads that reach a context: the caller's thread (connect, query, close,
// and the send-complete callback inside its HECISendMessage), the HECI
// core's dispatch thread (the receive dispatcher), the send timer's service
// thread (timeouts and the resend) and the ME-reset watcher's thread.
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

// The link layer's trace switch: off at start; nothing in the programs sets
// it. Guards the debug lines and frame dumps.
extern bool gNfcMeLinkTrace;

// A process-wide driver-reset hook, called on an ME reset when set.
// Nothing in the programs fills it.
struct NfcMeDriverResetHook {
  void (*function)(uint32_t argument);
  uint32_t argument;
};
extern NfcMeDriverResetHook gResetDriver;

// --- Context ---------------------------------------------------------------
// Allocates the zero-filled context and creates its members (send buffer,
// waiter, timer, lock, pending data, receive lock). No connection.
NfcMeContext* nfcMeContextCreate(void* userData);
// Everything of vxHECI_Close after its trace line: stops the timer, closes
// the connection, deletes the members and frees the context. Null ignored.
void nfcMeContextRelease(NfcMeContext* context);

// --- Connection management and ME reset -------------------------------------
uint32_t heciOpenConnection(NfcMeContext* context);   // 0 or 3
uint32_t heciCloseConnection(NfcMeContext* context);  // always 0
void vxOsEvent_Init(NfcMeContext* context);
void heciMeResetCallBack(void* context);
// After a failed write with autoReconnect set: up to three reconnections of
// the same HECI core, 200 ms apart. True when one succeeded.
bool handleReconnection(NfcMeContext* context);

// --- Send path -----------------------------------------------------------
void armSendTimer(NfcMeContext* context);
void timerHandler_SendTimeout(void* context);
bool resendFrame(NfcMeContext* context);
// The three operations that settle the race between an answer and the
// timer; each returns true when no request was pending.
bool handleAnswerInTimeoutCallback(NfcMeContext* context);
bool handleTimeoutInCallBack(NfcMeContext* context);
bool cancelTimerRequest(NfcMeContext* context);
void heciHelperRearmRequest(NfcMeContext* context);
void recvBufferPrepare(NfcMeContext* context);
void NfcMeIfSendComplete(void* userData, int32_t failed, uint32_t bytesWritten);

// --- Receive dispatcher ------------------------------------------------------
void NfcMeIfReceiveComplete(void* userData, int32_t failed, uint8_t* frame, uint32_t length);
void handleGeneralFailure(NfcMeContext* context);
void appendPendingData(NfcMeContext* context, const uint8_t* data, uint32_t length);
