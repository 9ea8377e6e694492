// The receive dispatcher's posting of the receive buffer, which the send
// path uses too (the first receive is posted once a frame is written).
#pragma once

#include "HECIStatus.h"
#include "vxHECICommunicationLayer.h"

namespace nfcme_link {

// Caller holds `lock`. Allocates the receive buffer, or a larger one when a
// reconnection raised the maximum message length.
void prepareRecvBuffer(NfcMeContext* ctx);
// Posts the receive buffer unless the close has begun; the core's answer.
HECIStatus postReceiveUnlessClosing(NfcMeContext* ctx);
// The same, logging a refused post.
void postReceive(NfcMeContext* ctx);

}  // namespace nfcme_link
