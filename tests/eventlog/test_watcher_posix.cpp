// The watcher end to end on the in-process MEI event source: events are
// published as the driver would, delivered on the source's thread, rendered
// and acted on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <string>
#include <thread>

#include "MeiEventSource.h"
#include "OsEvent.h"

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

namespace {

struct Calls {
  std::atomic<int> count{0};
  std::atomic<void*> argument{nullptr};
  std::atomic<bool> onOtherThread{false};
  std::thread::id testThread;
};
Calls gCalls;

void onReset(void* argument) {
  gCalls.argument = argument;
  gCalls.onOtherThread = std::this_thread::get_id() != gCalls.testThread;
  ++gCalls.count;
}

class Watcher : public ::testing::Test {
 protected:
  void SetUp() override {
    gCalls.count = 0;
    gCalls.argument = nullptr;
    gCalls.onOtherThread = false;
    gCalls.testThread = std::this_thread::get_id();
  }
  void TearDown() override {
    OsEvent_Delete(watcher_);
    MeiEventSource_SetSubscribeFault(0);
    MeiEventSource_SetRenderFault(MeiRenderFault::kNone);
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
    MeiEventSource_Publish(provider, id, 4);
    MeiEventSource_Drain();
    return GetCapturedStdout();
  }

  OsEvent* watcher_ = nullptr;
  int context_ = 0;
};

// The lines of one delivered and rendered event.
std::regex deliveredLines(int eventId) {
  return std::regex(
      "LOG     : EvtSubscribeActionDeliver\n"
      "LOG     : EvtRender >>> [1-9][0-9]*\n"
      "LOG     : eventInfo [1-9A-F][0-9A-F]*\n"
      "LOG     : eventId " +
      std::to_string(eventId) + "\n");
}

}  // namespace

TEST_F(Watcher, AnMeiEventWithId4IsLoggedAndCallsNothing) {
  open();
  ASSERT_NE(watcher_->subscription, nullptr);
  EXPECT_TRUE(std::regex_match(publishAndDrain("MEI", 4), deliveredLines(4)));
  EXPECT_EQ(gCalls.count, 0);
}

TEST_F(Watcher, AnMeiEventWithId1CallsTheCallbackOnceOnTheSourcesThread) {
  open();
  EXPECT_TRUE(std::regex_match(publishAndDrain("MEI", 1), deliveredLines(1)));
  EXPECT_EQ(gCalls.count, 1);
  EXPECT_EQ(gCalls.argument, &context_);
  EXPECT_TRUE(gCalls.onOtherThread);
  // The 64-bit driver's provider name is watched as well.
  EXPECT_TRUE(std::regex_match(publishAndDrain("MEIx64", 1), deliveredLines(1)));
  EXPECT_EQ(gCalls.count, 2);
}

TEST_F(Watcher, AnId1EventBeforeTheCallbackIsSetIsOnlyLogged) {
  open(/*withCallback=*/false);
  EXPECT_TRUE(std::regex_match(publishAndDrain("MEI", 1), deliveredLines(1)));
  EXPECT_EQ(gCalls.count, 0);
}

TEST_F(Watcher, OnlyFutureEventsOfTheMeiProvidersWithId1Or4AreDelivered) {
  MeiEventSource_Publish("MEI", 1, 4);  // before the subscription
  open();
  CaptureStdout();
  MeiEventSource_Publish("MEI", 2, 4);
  MeiEventSource_Publish("MEI", 41, 4);
  MeiEventSource_Publish("Disk", 1, 4);
  MeiEventSource_Publish("mei", 1, 4);
  MeiEventSource_Publish("MEIx6", 4, 4);
  MeiEventSource_Drain();
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(gCalls.count, 0);
}

TEST_F(Watcher, ErrorsOfTheSubscriptionAreLogged) {
  open();
  CaptureStdout();
  MeiEventSource_PublishError(kOsEventErrorQueryResultStale);
  MeiEventSource_PublishError(1726);
  MeiEventSource_Drain();
  EXPECT_EQ(GetCapturedStdout(),
            "ERROR   : The subscription callback was notified that event records are missing.\n"
            "ERROR   : The subscription callback received the following Win32 error: 1726\n");
  EXPECT_EQ(gCalls.count, 0);
}

TEST_F(Watcher, AFailedSubscriptionLeavesAWatcherWithoutHandleAndItsMessage) {
  const std::pair<uint32_t, const char*> cases[] = {
      {15007, "ERROR   : Channel 'System' was not found.\n"},
      {15001, "ERROR   : The query is not valid.\n"},
      {1717, "ERROR   : EvtSubscribe failed with 1717.\n"},
  };
  for (const auto& [error, message] : cases) {
    MeiEventSource_SetSubscribeFault(error);
    CaptureStdout();
    open();
    EXPECT_EQ(GetCapturedStdout(), message);
    EXPECT_EQ(watcher_->subscription, nullptr);
    EXPECT_EQ(publishAndDrain("MEI", 1), "");
    EXPECT_EQ(OsEvent_Delete(watcher_), 0u);
    watcher_ = nullptr;
  }
  EXPECT_EQ(gCalls.count, 0);
}

TEST_F(Watcher, ARenderingFailureDropsTheEventAfterItsLine) {
  open();
  MeiEventSource_SetRenderFault(MeiRenderFault::kRenderContext);
  EXPECT_EQ(publishAndDrain("MEI", 1),
            "LOG     : EvtSubscribeActionDeliver\n"
            "ERROR   : EvtCreateRenderContext failed\n"
            "LOG     : eventInfo 0\n");
  const std::pair<MeiRenderFault, const char*> renderFaults[] = {
      {MeiRenderFault::kInsufficientBuffer, "Error Rendering Event ERROR_INSUFFICIENT_BUFFER"},
      {MeiRenderFault::kOtherError, "Error Rendering Event"},
  };
  for (const auto& [fault, message] : renderFaults) {
    MeiEventSource_SetRenderFault(fault);
    EXPECT_TRUE(std::regex_match(publishAndDrain("MEI", 1),
                                 std::regex("LOG     : EvtSubscribeActionDeliver\n"
                                            "LOG     : EvtRender >>> [0-9]+\n"
                                            "ERROR   : " +
                                            std::string(message) +
                                            "\n"
                                            "LOG     : eventInfo 0\n")));
  }
  EXPECT_EQ(gCalls.count, 0);
}

TEST_F(Watcher, AfterDeleteReturnsNothingIsCalled) {
  open();
  ASSERT_EQ(OsEvent_Delete(watcher_), 0u);
  watcher_ = nullptr;
  EXPECT_EQ(publishAndDrain("MEI", 1), "");
  EXPECT_EQ(gCalls.count, 0);
}

namespace {

std::atomic<bool> gEntered{false};
std::atomic<bool> gFinished{false};

void slowReset(void*) {
  gEntered = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  gFinished = true;
}

void deleteOwnWatcher(void* argument) {
  auto** watcher = static_cast<OsEvent**>(argument);
  gFinished = OsEvent_Delete(*watcher) == 0;
  *watcher = nullptr;
}

}  // namespace

TEST_F(Watcher, DeleteWaitsForADeliveryInProgress) {
  open();
  gEntered = false;
  gFinished = false;
  OsEvent_SetCallback(watcher_, slowReset, nullptr);
  CaptureStdout();
  MeiEventSource_Publish("MEI", 1, 4);
  while (!gEntered) {
    std::this_thread::yield();
  }
  MeiEventSource_Publish("MEI", 1, 4);  // queued behind it: dropped by the delete
  EXPECT_EQ(OsEvent_Delete(watcher_), 0u);
  watcher_ = nullptr;
  EXPECT_TRUE(gFinished);
  MeiEventSource_Drain();
  GetCapturedStdout();
}

TEST_F(Watcher, TheCallbackMayDeleteItsOwnWatcher) {
  open();
  gFinished = false;
  OsEvent_SetCallback(watcher_, deleteOwnWatcher, &watcher_);
  CaptureStdout();
  MeiEventSource_Publish("MEI", 1, 4);
  MeiEventSource_Drain();
  EXPECT_TRUE(gFinished);
  EXPECT_EQ(watcher_, nullptr);
  MeiEventSource_Publish("MEI", 1, 4);
  MeiEventSource_Drain();
  EXPECT_TRUE(std::regex_match(GetCapturedStdout(), deliveredLines(1)));
}
