// The Windows watcher (OsEvent over wevtapi) against the wevtapi stand-in:
// the watcher's suite over it, the link layer's answer to an ME reset, and
// events scheduled from outside the process.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <utility>

#include "LinkTestSupport.h"
#include "OsEvent.h"
#include "WatcherFeedSuite.h"
#include "WevtSimSupport.h"

using namespace wevtsim;
using testsupport::Output;
using watchertest::deliveredLines;
using watchertest::gCalls;

namespace {

// Events come through the stand-in that this process loaded in place of the
// system's wevtapi.dll; it counts its open handles, so every test also
// shows that the watcher closed what it opened, each once.
struct StandInDllFeed {
  using Snapshot = WevtSimCounts;
  static bool ready() {
    SetEnvironmentVariableA("NFCSIM_EVT_CLOSE", nullptr);
    return sim().loaded();
  }
  static void publish(const char* provider, uint16_t id, uint8_t level) {
    sim().publish(provider, id, level);
  }
  static void publishError(uint32_t code) { sim().publishError(code); }
  static bool drain() { return sim().drain(kDrainMs); }
  static uint32_t pending() { return sim().now().pendingDeliveries; }
  static void setSubscribeFault(uint32_t code) { sim().setSubscribeFault(code); }
  static void setRenderFault(watchertest::RenderFault fault) {
    switch (fault) {
      case watchertest::RenderFault::kNone: sim().setRenderFault(kWevtSimRenderFaultNone); break;
      case watchertest::RenderFault::kContext: sim().setRenderFault(kWevtSimRenderFaultContext); break;
      case watchertest::RenderFault::kInsufficientBuffer:
        sim().setRenderFault(kWevtSimRenderFaultInsufficientBuffer);
        break;
      case watchertest::RenderFault::kOtherError:
        sim().setRenderFault(kWevtSimRenderFaultOtherError);
        break;
    }
  }
  static Snapshot snapshot() { return sim().loaded() ? sim().now() : Snapshot{}; }
  static void expectReleasedSince(const Snapshot& before) {
    if (!sim().loaded()) return;
    const WevtSimCounts after = sim().now();
    EXPECT_EQ(after.subscriptions, before.subscriptions);
    EXPECT_EQ(after.renderContexts, before.renderContexts);
    EXPECT_EQ(after.invalidHandleCalls, before.invalidHandleCalls);
  }
};

// Whether EvtClose waits for a callback in progress is not documented: the
// stand-in does both (NFCSIM_EVT_CLOSE=nowait), and every case, the deletes
// during a delivery above all, must hold either way, because the watcher's
// owner frees what the callback uses right after the delete.
struct StandInDllFeedCloseNoWait : StandInDllFeed {
  static bool ready() {
    SetEnvironmentVariableA("NFCSIM_EVT_CLOSE", "nowait");
    return sim().loaded();
  }
};

}  // namespace

namespace watchertest {
INSTANTIATE_TYPED_TEST_SUITE_P(WevtapiStandIn, WatcherOnAFeed, StandInDllFeed);
INSTANTIATE_TYPED_TEST_SUITE_P(WevtapiStandInCloseNoWait, WatcherOnAFeed, StandInDllFeedCloseNoWait);
}  // namespace watchertest

using WindowsWatcher = watchertest::WatcherOnAFeed<StandInDllFeed>;

// --- The link layer's answer ------------------------------------------------

namespace {

std::atomic<int> gHookCalls{0};
std::atomic<uint32_t> gHookArgument{0};
void countReset(uint32_t argument) {
  gHookArgument = argument;
  ++gHookCalls;
}

}  // namespace

TEST(LinkMeResetOnWevtapi, AnId1EventCallsTheResetCallbackOnceWithTheContext) {
  ASSERT_TRUE(sim().loaded()) << "the loaded wevtapi.dll is not the stand-in";
  const WevtSimCounts before = sim().now();
  {
    linktest::Link link;
    NfcMeContext* ctx = link.ctx;
    ASSERT_NE(ctx, nullptr);
    ASSERT_NE(ctx->osEvent, nullptr);
    ASSERT_NE(ctx->osEvent->subscription, nullptr);
    EXPECT_EQ(sim().now().subscriptions, before.subscriptions + 1);
    ctx->autoReconnect = 1;
    HECICore* heci = ctx->heci;

    linktest::Output idFour;
    sim().publish("MEI", 4, 4);  // only logged
    ASSERT_TRUE(sim().drain(kDrainMs));
    idFour.take();
    EXPECT_EQ(ctx->autoReconnect.load(), 1);

    gHookCalls = 0;
    gResetDriver = {countReset, 7};
    gNfcMeLinkTrace = true;
    linktest::Output reset;
    sim().publish("MEI", 1, 2);
    ASSERT_TRUE(sim().drain(kDrainMs));
    const std::string out = reset.take();
    gNfcMeLinkTrace = false;
    gResetDriver = {nullptr, 0};

    EXPECT_EQ(ctx->autoReconnect.load(), 0);
    EXPECT_EQ(gHookCalls, 1);
    EXPECT_EQ(gHookArgument, 7u);
    char line[96];
    std::snprintf(line, sizeof line, "DEBUG : heciMeResetCallBack ctx : %X\n",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(ctx)));
    EXPECT_EQ(linktest::count(out, line), 1u) << out;
    // Nothing else changed: the connection stands and a query still works.
    EXPECT_EQ(ctx->heci.load(), heci);
    EXPECT_EQ(ctx->sendPending, 0);
    MeQueryInfo info = linktest::freshInfo();
    EXPECT_EQ(vxHECI_QueryInfo(ctx, &info), 0);
  }
  // The close deleted the watcher and with it the subscription.
  EXPECT_EQ(sim().now().subscriptions, before.subscriptions);
  EXPECT_EQ(sim().now().invalidHandleCalls, before.invalidHandleCalls);
}

// --- Events from outside the process ------------------------------------------
//
// Run by its own ctest entry, with NFCSIM_EVT set as for an unmodified
// program: "MEI:4@100,Disk:1@150,MEIx64:1@300,!15011@400,bogus".

namespace {

std::string readFile(const std::string& path) {
  std::string text;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char chunk[256];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
      text.append(chunk, n);
    }
    std::fclose(f);
  }
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

}  // namespace

TEST_F(WindowsWatcher, EventsScheduledByTheEnvironmentArriveAfterTheirDelay) {
  if (GetEnvironmentVariableA("NFCSIM_EVT", nullptr, 0) == 0) {
    GTEST_SKIP() << "runs with NFCSIM_EVT set (its own ctest entry)";
  }
  char dir[MAX_PATH];
  ASSERT_NE(GetTempPathA(MAX_PATH, dir), 0u);
  const std::string tracePath =
      std::string(dir) + "wevtsim-trace-" + std::to_string(GetCurrentProcessId()) + ".txt";
  DeleteFileA(tracePath.c_str());
  SetEnvironmentVariableA("NFCSIM_EVT_TRACE", tracePath.c_str());

  const auto start = std::chrono::steady_clock::now();
  Output captured;
  open();
  ASSERT_TRUE(waitFor(gCalls.count));
  const auto resetAfter = std::chrono::steady_clock::now() - start;
  const bool errorSeen = waitUntil([&] {
    return readFile(tracePath).find("error 15011") != std::string::npos;
  });
  EXPECT_TRUE(sim().drain(kDrainMs));
  const std::string out = captured.take();
  OsEvent_Delete(watcher_);
  watcher_ = nullptr;
  SetEnvironmentVariableA("NFCSIM_EVT_TRACE", nullptr);

  EXPECT_TRUE(errorSeen);
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(resetAfter).count(), 300);
  EXPECT_EQ(gCalls.count, 1);
  EXPECT_TRUE(std::regex_match(
      out, std::regex(std::string("(LOG     : [^\n]*\n){4}(LOG     : [^\n]*\n){4}") +
                      "ERROR   : The subscription callback was notified that event records are "
                      "missing.\n")))
      << out;
  EXPECT_TRUE(std::regex_search(out, std::regex("eventId 4\n(.*\n){3}LOG     : eventId 1\n")))
      << out;
  EXPECT_EQ(readFile(tracePath),
            "subscribe System 0\n"
            "deliver MEI 4\n"
            "deliver MEIx64 1\n"
            "error 15011\n"
            "close\n");
  DeleteFileA(tracePath.c_str());
}
