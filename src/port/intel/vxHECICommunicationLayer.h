// The NFC-ME link layer's internal operations, over its context
// (NfcMeContext.h).
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

#include <cstdint>

#include "NfcMeContext.h"

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

// --- Context, connection and API (vxHECICommunicationLayer.cpp) -----------
// Allocates the zero-filled context and creates its members (send buffer,
// waiter, timer, lock, pending data, receive lock). No connection.
NfcMeContext* nfcMeContextCreate(void* userData);
// Everything of vxHECI_Close after its trace line: stops the timer, closes
// the connection, deletes the members and frees the context. Null ignored.
void nfcMeContextRelease(NfcMeContext* context);

// --- Connection management and ME reset --------------------------------------
uint32_t heciOpenConnection(NfcMeContext* context);   // 0 or 3
uint32_t heciCloseConnection(NfcMeContext* context);  // always 0
void vxOsEvent_Init(NfcMeContext* context);
void heciMeResetCallBack(void* context);
// After a failed write with autoReconnect set: up to three reconnections of
// the same HECI core, 200 ms apart. True when one succeeded.
bool handleReconnection(NfcMeContext* context);

// --- Send path (vxHECICommunicationLayer.cpp) ---------------------------
void timerHandler_SendTimeout(void* context);
bool resendFrame(NfcMeContext* context);
void recvBufferPrepare(NfcMeContext* context);
void NfcMeIfSendComplete(void* userData, int32_t failed, uint32_t bytesWritten);

// --- Settlement of the request (vxHECIRequest.cpp) -----------------------
void armSendTimer(NfcMeContext* context);
// The three operations that settle the race between an answer and the
// timer; each returns true when no request was pending.
bool handleAnswerInTimeoutCallback(NfcMeContext* context);
bool handleTimeoutInCallBack(NfcMeContext* context);
bool cancelTimerRequest(NfcMeContext* context);
void heciHelperRearmRequest(NfcMeContext* context);

// --- Receive dispatcher (vxHECIReceive.cpp) ----------------------------------
void NfcMeIfReceiveComplete(void* userData, int32_t failed, uint8_t* frame, uint32_t length);
void handleGeneralFailure(NfcMeContext* context);
void appendPendingData(NfcMeContext* context, const uint8_t* data, uint32_t length);
