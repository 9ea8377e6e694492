// The watcher's suite over the in-process MEI event source, which tests
// publish to as the MEI driver would write to the event log.
#include "MeiEventSource.h"
#include "WatcherFeedSuite.h"

namespace watchertest {
namespace {

struct InProcessFeed {
  struct Snapshot {};
  static bool ready() { return true; }
  static void publish(const char* provider, uint16_t id, uint8_t level) {
    MeiEventSource_Publish(provider, id, level);
  }
  static void publishError(uint32_t code) { MeiEventSource_PublishError(code); }
  static bool drain() { return MeiEventSource_DrainFor(10000); }
  static uint32_t pending() { return MeiEventSource_Pending(); }
  static void setSubscribeFault(uint32_t code) { MeiEventSource_SetSubscribeFault(code); }
  static void setRenderFault(RenderFault fault) {
    switch (fault) {
      case RenderFault::kNone: MeiEventSource_SetRenderFault(MeiRenderFault::kNone); break;
      case RenderFault::kContext: MeiEventSource_SetRenderFault(MeiRenderFault::kRenderContext); break;
      case RenderFault::kInsufficientBuffer:
        MeiEventSource_SetRenderFault(MeiRenderFault::kInsufficientBuffer);
        break;
      case RenderFault::kOtherError: MeiEventSource_SetRenderFault(MeiRenderFault::kOtherError); break;
    }
  }
  static Snapshot snapshot() { return {}; }
  // The source counts no handles; every subscription's deliveries have ended.
  static void expectReleasedSince(const Snapshot&) { EXPECT_EQ(MeiEventSource_Pending(), 0u); }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(InProcessSource, WatcherOnAFeed, InProcessFeed);

}  // namespace watchertest
