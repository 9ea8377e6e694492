// The Windows watcher (OsEvent over wevtapi) end to end against the wevtapi
// stand-in: events published as the MEI driver would write them, delivered
// on the event log's thread, rendered through EvtRender and acted on; and
// the link layer's answer to an ME reset.
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
#include "WevtSimSupport.h"

using namespace wevtsim;
using ::testing::internal::CaptureStdout;

namespace {

struct Calls {
  std::atomic<int> count{0};
  std::atomic<void*> argument{nullptr};
  std::atomic<bool> onOtherThread{false};
  DWORD testThread = 0;
};
Calls gCalls;

void onReset(void* argument) {
  gCalls.argument = argument;
  gCalls.onOtherThread = GetCurrentThreadId() != gCalls.testThread;
  ++gCalls.count;
}

class WindowsWatcher : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim().loaded()) << "the loaded wevtapi.dll is not the stand-in";
    gCalls.count = 0;
    gCalls.argument = nullptr;
    gCalls.onOtherThread = false;
    gCalls.testThread = GetCurrentThreadId();
    before_ = sim().now();
  }
  void TearDown() override {
    OsEvent_Delete(watcher_);
    sim().setSubscribeFault(0);
    sim().setRenderFault(kWevtSimRenderFaultNone);
    // Every render context and the subscription were closed, each once.
    const WevtSimCounts after = sim().now();
    EXPECT_EQ(after.subscriptions, before_.subscriptions);
    EXPECT_EQ(after.renderContexts, before_.renderContexts);
    EXPECT_EQ(after.invalidHandleCalls, before_.invalidHandleCalls);
  }
  // The link layer's order: create, subscribe, then argument and callback.
  void open(bool withCallback = true) {
    OsEvent_Create(&watcher_);
    OsEvent_Subscribe(watcher_);
    if (withCallback) {
      OsEvent_SetCallback(watcher_, onReset, &context_);
    }
  }
  std::string publishAndDrain(const char* provider, uint16_t id) {
    CaptureStdout();
    sim().publish(provider, id, 4);
    EXPECT_TRUE(sim().drain(kDrainMs));
    return takeOutput();
  }

  OsEvent* watcher_ = nullptr;
  int context_ = 0;
  WevtSimCounts before_{};
};

// The lines of one delivered and rendered event. The size logged is the
// reported size times the value count: four 16-byte values and the
// provider's name.
std::regex deliveredLines(int eventId, const char* provider = "MEI") {
  const size_t size = (4 * 16 + (std::string(provider).size() + 1) * 2) * 4;
  return std::regex("LOG     : EvtSubscribeActionDeliver\n"
                    "LOG     : EvtRender >>> " +
                    std::to_string(size) +
                    "\n"
                    "LOG     : eventInfo [1-9A-F][0-9A-F]*\n"
                    "LOG     : eventId " +
                    std::to_string(eventId) + "\n");
}

}  // namespace

TEST_F(WindowsWatcher, AnMeiEventWithId4GivesItsThreeLinesAndCallsNothing) {
  open();
  ASSERT_NE(watcher_->subscription, nullptr);
  EXPECT_TRUE(std::regex_match(publishAndDrain("MEI", 4), deliveredLines(4)));
  EXPECT_EQ(gCalls.count, 0);
}

TEST_F(WindowsWatcher, AnMeiEventWithId1CallsTheCallbackOnceOnTheEventLogsThread) {
  open();
  EXPECT_TRUE(std::regex_match(publishAndDrain("MEI", 1), deliveredLines(1)));
  EXPECT_EQ(gCalls.count, 1);
  EXPECT_EQ(gCalls.argument, &context_);
  EXPECT_TRUE(gCalls.onOtherThread);
  EXPECT_TRUE(std::regex_match(publishAndDrain("MEIx64", 1), deliveredLines(1, "MEIx64")));
  EXPECT_EQ(gCalls.count, 2);
}

TEST_F(WindowsWatcher, AnId1EventBeforeTheCallbackIsSetIsOnlyLogged) {
  open(/*withCallback=*/false);
  EXPECT_TRUE(std::regex_match(publishAndDrain("MEI", 1), deliveredLines(1)));
  EXPECT_EQ(gCalls.count, 0);
}

TEST_F(WindowsWatcher, EventsOfOtherProvidersOrIdsAreNotDelivered) {
  open();
  CaptureStdout();
  for (const auto& [provider, id] : {std::pair<const char*, uint16_t>{"MEI", 2},
                                     {"MEI", 14},
                                     {"MEIx64", 0},
                                     {"Disk", 1},
                                     {"mei", 1},
                                     {"MEIx6", 4}}) {
    sim().publish(provider, id, 4);
  }
  ASSERT_TRUE(sim().drain(kDrainMs));
  EXPECT_EQ(takeOutput(), "");
  EXPECT_EQ(gCalls.count, 0);
}

TEST_F(WindowsWatcher, ErrorsOfTheSubscriptionGiveTheirLines) {
  open();
  CaptureStdout();
  sim().publishError(15011);
  sim().publishError(1726);
  ASSERT_TRUE(sim().drain(kDrainMs));
  EXPECT_EQ(takeOutput(),
            "ERROR   : The subscription callback was notified that event records are missing.\n"
            "ERROR   : The subscription callback received the following Win32 error: 1726\n");
  EXPECT_EQ(gCalls.count, 0);
}

TEST_F(WindowsWatcher, AFailedSubscriptionLeavesAWatcherWithoutHandleAndItsLine) {
  const std::pair<uint32_t, const char*> cases[] = {
      {15007, "ERROR   : Channel 'System' was not found.\n"},
      {15001, "ERROR   : The query is not valid.\n"},
      {1717, "ERROR   : EvtSubscribe failed with 1717.\n"},
  };
  for (const auto& [error, message] : cases) {
    sim().setSubscribeFault(error);
    CaptureStdout();
    open();
    EXPECT_EQ(takeOutput(), message);
    EXPECT_EQ(watcher_->subscription, nullptr);
    EXPECT_EQ(publishAndDrain("MEI", 1), "");
    EXPECT_EQ(OsEvent_Delete(watcher_), 0u);
    watcher_ = nullptr;
  }
  EXPECT_EQ(gCalls.count, 0);
}

TEST_F(WindowsWatcher, ARenderingFailureDropsTheEventAfterItsLine) {
  open();
  sim().setRenderFault(kWevtSimRenderFaultContext);
  EXPECT_EQ(publishAndDrain("MEI", 1),
            "LOG     : EvtSubscribeActionDeliver\n"
            "ERROR   : EvtCreateRenderContext failed\n"
            "LOG     : eventInfo 0\n");
  const std::pair<uint32_t, const char*> renderFaults[] = {
      {kWevtSimRenderFaultInsufficientBuffer, "Error Rendering Event ERROR_INSUFFICIENT_BUFFER"},
      {kWevtSimRenderFaultOtherError, "Error Rendering Event"},
  };
  for (const auto& [fault, message] : renderFaults) {
    sim().setRenderFault(fault);
    EXPECT_EQ(publishAndDrain("MEI", 1), std::string("LOG     : EvtSubscribeActionDeliver\n"
                                                     "LOG     : EvtRender >>> 288\n"
                                                     "ERROR   : ") +
                                             message +
                                             "\n"
                                             "LOG     : eventInfo 0\n");
  }
  EXPECT_EQ(gCalls.count, 0);
}

namespace {

std::atomic<int> gEntries{0};
std::atomic<int> gExits{0};
std::atomic<bool> gRelease{false};
std::atomic<bool> gFinished{false};

// Holds its delivery until the test lets it go.
void heldReset(void*) {
  ++gEntries;
  waitFor(gRelease);
  ++gExits;
}

void deleteOwnWatcher(void* argument) {
  auto** watcher = static_cast<OsEvent**>(argument);
  const uint32_t result = OsEvent_Delete(*watcher);
  *watcher = nullptr;
  gFinished = result == 0;
}

}  // namespace

// Whether EvtClose waits for a callback in progress is not documented: the
// stand-in does both (NFCSIM_EVT_CLOSE=nowait), and the watcher's delete
// must wait for the callback either way, because its caller frees what the
// callback uses right after it.
class WindowsWatcherClose : public WindowsWatcher, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    SetEnvironmentVariableA("NFCSIM_EVT_CLOSE", GetParam());
    WindowsWatcher::SetUp();
  }
  void TearDown() override {
    WindowsWatcher::TearDown();
    SetEnvironmentVariableA("NFCSIM_EVT_CLOSE", nullptr);
  }
};

INSTANTIATE_TEST_SUITE_P(EvtClose, WindowsWatcherClose, ::testing::Values("waits", "nowait"));

TEST_P(WindowsWatcherClose, DeleteDuringADeliveryWaitsForItAndNothingComesAfter) {
  open();
  gEntries = 0;
  gExits = 0;
  gRelease = false;
  OsEvent_SetCallback(watcher_, heldReset, nullptr);
  CaptureStdout();
  sim().publish("MEI", 1, 4);
  ASSERT_TRUE(waitFor(gEntries));
  sim().publish("MEI", 1, 4);  // queued behind the one in progress
  std::atomic<bool> deleted{false};
  std::atomic<int> runningAtReturn{-1};
  std::thread closer([&] {
    OsEvent_Delete(watcher_);
    runningAtReturn = gEntries - gExits;
    deleted = true;
  });
  // Once the close has dropped the queued event, only the held one is left.
  const bool dropped = waitUntil([] { return sim().now().pendingDeliveries == 1; });
  Sleep(20);
  const bool returnedWhileHeld = deleted;
  gRelease = true;
  if (!waitFor(deleted)) {
    closer.detach();  // a hang: report it rather than wait for ever
    FAIL() << "OsEvent_Delete did not return";
  }
  closer.join();
  watcher_ = nullptr;
  EXPECT_TRUE(dropped);
  EXPECT_FALSE(returnedWhileHeld) << "Delete returned while the callback still ran";
  EXPECT_EQ(runningAtReturn, 0);
  sim().publish("MEI", 1, 4);
  EXPECT_TRUE(sim().drain(kDrainMs));
  EXPECT_TRUE(std::regex_match(takeOutput(), deliveredLines(1)));
  EXPECT_EQ(gEntries, 1);
}

TEST_P(WindowsWatcherClose, TheCallbackMayDeleteItsOwnWatcher) {
  open();
  gFinished = false;
  OsEvent_SetCallback(watcher_, deleteOwnWatcher, &watcher_);
  CaptureStdout();
  sim().publish("MEI", 1, 4);
  ASSERT_TRUE(waitFor(gFinished)) << "OsEvent_Delete from the callback did not return";
  EXPECT_TRUE(sim().drain(kDrainMs));
  EXPECT_EQ(watcher_, nullptr);
  sim().publish("MEI", 1, 4);
  EXPECT_TRUE(sim().drain(kDrainMs));
  EXPECT_TRUE(std::regex_match(takeOutput(), deliveredLines(1)));
}

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
  CaptureStdout();
  open();
  ASSERT_TRUE(waitFor(gCalls.count));
  const auto resetAfter = std::chrono::steady_clock::now() - start;
  const bool errorSeen = waitUntil([&] {
    return readFile(tracePath).find("error 15011") != std::string::npos;
  });
  EXPECT_TRUE(sim().drain(kDrainMs));
  const std::string out = takeOutput();
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
