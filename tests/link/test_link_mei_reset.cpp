// An ME reset announced by the MEI driver (event ID 1) reaches the link
// through its watcher. Built where the in-process MEI event source stands
// in for the system event log.
#include "LinkTestSupport.h"
#include "MeiEventSource.h"

using namespace linktest;

namespace {
std::atomic<uint32_t> gResetCalls{0};
void onReset(uint32_t argument) { gResetCalls += argument; }
}  // namespace

TEST(LinkMeiReset, ResetEventClearsAutoReconnectOnly) {
  Link link;
  NfcMeContext* ctx = link.ctx;
  ctx->autoReconnect = 1;
  HECICore* heci = ctx->heci;
  Output out;
  MeiEventSource_Publish("MEI", 4, 4);  // ID 4 is only logged
  MeiEventSource_Drain();
  EXPECT_EQ(ctx->autoReconnect.load(), 1);
  MeiEventSource_Publish("MEI", 1, 2);
  MeiEventSource_Drain();
  out.take();
  EXPECT_EQ(ctx->autoReconnect.load(), 0);
  EXPECT_EQ(ctx->heci.load(), heci);
  EXPECT_EQ(ctx->sendPending, 0);
  EXPECT_EQ(ctx->meRequest.load(), MeRequestNone);
  MeQueryInfo info = freshInfo();
  EXPECT_EQ(vxHECI_QueryInfo(ctx, &info), 0);

  gResetCalls = 0;
  gResetDriver = {onReset, 7};
  Output hook;
  MeiEventSource_Publish("MEIx64", 1, 2);
  MeiEventSource_Drain();
  hook.take();
  gResetDriver = {nullptr, 0};
  EXPECT_EQ(gResetCalls.load(), 7u);
}
