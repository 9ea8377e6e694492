// The link API to the NFC-ME client: connect, query the controller's
// version information, close. This is all that a program above the link
// layer needs to include.
//
// Calling order: one vxHECI_Connect; then vxHECI_QueryInfo as often as
// wanted, one call at a time per context; then exactly one vxHECI_Close,
// after which the context pointer is invalid.
#pragma once

#include <cstdint>

struct NfcMeContext;
struct MeQueryInfo;

// Results of the link API.
constexpr int32_t kVxHECISuccess = 0;
constexpr int32_t kVxHECIInvalidArgument = 2;  // null context or info, or no open connection
constexpr int32_t kVxHECIBusy = 3;             // another request still waits for its answer
constexpr int32_t kVxHECIFailed = 4;           // no connection / the request failed

// Builds the link context and opens the HECI connection (up to 10 attempts,
// 200 ms apart). 0: connected, *out holds the context. 4: no connection,
// *out is null and nothing is left allocated.
int32_t vxHECI_Connect(NfcMeContext** out, void* userData);

// Sends the version query and blocks until `info` (13 bytes, owned by the
// caller) has been filled from the answer, or the request has failed after
// its timeout and one resend (about 10 s). 0, 2, 3 or 4 as above.
int32_t vxHECI_QueryInfo(NfcMeContext* context, MeQueryInfo* info);

// Closes the connection and releases the context. Null is accepted.
// Must not run while a vxHECI_QueryInfo of the same context waits.
// Always 0.
int32_t vxHECI_Close(NfcMeContext* context);
