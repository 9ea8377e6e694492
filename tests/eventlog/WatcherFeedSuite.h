// The watcher end to end over an event feed: events published as the MEI
// driver would write them, delivered on the feed's own thread, rendered and
// acted on. One suite for every feed; each platform instantiates it with
// the feeds it has (test_watcher_posix.cpp: the in-process event source;
// test_watcher_wevtapi_win32.cpp: the wevtapi.dll stand-in).
//
// A feed is a type with static members:
//   bool ready();                        false: the feed is not there (fail)
//   void publish(const char* provider, uint16_t id, uint8_t level);
//   void publishError(uint32_t code);
//   bool drain();                        everything published is delivered
//   uint32_t pending();                  deliveries queued or in progress
//   void setSubscribeFault(uint32_t code);
//   void setRenderFault(RenderFault fault);
//   Snapshot snapshot();                 handles open now (if it counts them)
//   void expectReleasedSince(const Snapshot& before);
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <utility>

#include "OsEvent.h"
#include "TestSupport.h"

namespace watchertest {

using testsupport::Output;
using testsupport::waitFor;
using testsupport::waitUntil;

enum class RenderFault { kNone, kContext, kInsufficientBuffer, kOtherError };

// The size the watcher logs: the reported size times the value count, four
// 16-byte values and the provider's name.
inline size_t renderedSize(const char* provider) {
  return (4 * 16 + (std::string(provider).size() + 1) * sizeof(wchar_t)) * 4;
}

// The lines of one delivered and rendered event.
inline std::regex deliveredLines(int eventId, const char* provider = "MEI") {
  return std::regex("LOG     : EvtSubscribeActionDeliver\n"
                    "LOG     : EvtRender >>> " +
                    std::to_string(renderedSize(provider)) +
                    "\n"
                    "LOG     : eventInfo [1-9A-F][0-9A-F]*\n"
                    "LOG     : eventId " +
                    std::to_string(eventId) + "\n");
}

struct Calls {
  std::atomic<int> count{0};
  std::atomic<void*> argument{nullptr};
  std::atomic<bool> onOtherThread{false};
  std::thread::id testThread;
};
inline Calls gCalls;

inline void onReset(void* argument) {
  gCalls.argument = argument;
  gCalls.onOtherThread = std::this_thread::get_id() != gCalls.testThread;
  ++gCalls.count;
}

template <typename Feed>
class WatcherOnAFeed : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Feed::ready()) << "the event feed is not there";
    gCalls.count = 0;
    gCalls.argument = nullptr;
    gCalls.onOtherThread = false;
    gCalls.testThread = std::this_thread::get_id();
    before_ = Feed::snapshot();
  }
  void TearDown() override {
    OsEvent_Delete(watcher_);
    Feed::setSubscribeFault(0);
    Feed::setRenderFault(RenderFault::kNone);
    Feed::expectReleasedSince(before_);
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
    Output out;
    Feed::publish(provider, id, 4);
    EXPECT_TRUE(Feed::drain());
    return out.take();
  }

  OsEvent* watcher_ = nullptr;
  int context_ = 0;
  typename Feed::Snapshot before_{};
};

TYPED_TEST_SUITE_P(WatcherOnAFeed);

TYPED_TEST_P(WatcherOnAFeed, AnMeiEventWithId4GivesItsThreeLinesAndCallsNothing) {
  this->open();
  ASSERT_NE(this->watcher_->subscription, nullptr);
  EXPECT_TRUE(std::regex_match(this->publishAndDrain("MEI", 4), deliveredLines(4)));
  EXPECT_EQ(gCalls.count, 0);
}

TYPED_TEST_P(WatcherOnAFeed, AnMeiEventWithId1CallsTheCallbackOnceOnTheFeedsThread) {
  this->open();
  EXPECT_TRUE(std::regex_match(this->publishAndDrain("MEI", 1), deliveredLines(1)));
  EXPECT_EQ(gCalls.count, 1);
  EXPECT_EQ(gCalls.argument, &this->context_);
  EXPECT_TRUE(gCalls.onOtherThread);
  // The 64-bit driver's provider name is watched as well.
  EXPECT_TRUE(std::regex_match(this->publishAndDrain("MEIx64", 1), deliveredLines(1, "MEIx64")));
  EXPECT_EQ(gCalls.count, 2);
}

TYPED_TEST_P(WatcherOnAFeed, AnId1EventBeforeTheCallbackIsSetIsOnlyLogged) {
  this->open(/*withCallback=*/false);
  EXPECT_TRUE(std::regex_match(this->publishAndDrain("MEI", 1), deliveredLines(1)));
  EXPECT_EQ(gCalls.count, 0);
}

TYPED_TEST_P(WatcherOnAFeed, OnlyFutureEventsOfTheMeiProvidersWithId1Or4AreDelivered) {
  TypeParam::publish("MEI", 1, 4);  // before the subscription
  ASSERT_TRUE(TypeParam::drain());
  this->open();
  Output out;
  for (const auto& [provider, id] : {std::pair<const char*, uint16_t>{"MEI", 2},
                                     {"MEI", 14},
                                     {"MEI", 41},
                                     {"MEIx64", 0},
                                     {"Disk", 1},
                                     {"mei", 1},
                                     {"MEIx6", 4}}) {
    TypeParam::publish(provider, id, 4);
  }
  ASSERT_TRUE(TypeParam::drain());
  EXPECT_EQ(out.take(), "");
  EXPECT_EQ(gCalls.count, 0);
}

TYPED_TEST_P(WatcherOnAFeed, ErrorsOfTheSubscriptionGiveTheirLines) {
  this->open();
  Output out;
  TypeParam::publishError(kOsEventErrorQueryResultStale);
  TypeParam::publishError(1726);
  ASSERT_TRUE(TypeParam::drain());
  EXPECT_EQ(out.take(),
            "ERROR   : The subscription callback was notified that event records are missing.\n"
            "ERROR   : The subscription callback received the following Win32 error: 1726\n");
  EXPECT_EQ(gCalls.count, 0);
}

TYPED_TEST_P(WatcherOnAFeed, AFailedSubscriptionLeavesAWatcherWithoutHandleAndItsLine) {
  const std::pair<uint32_t, const char*> cases[] = {
      {15007, "ERROR   : Channel 'System' was not found.\n"},
      {15001, "ERROR   : The query is not valid.\n"},
      {1717, "ERROR   : EvtSubscribe failed with 1717.\n"},
  };
  for (const auto& [error, message] : cases) {
    TypeParam::setSubscribeFault(error);
    Output out;
    this->open();
    EXPECT_EQ(out.take(), message);
    EXPECT_EQ(this->watcher_->subscription, nullptr);
    EXPECT_EQ(this->publishAndDrain("MEI", 1), "");
    EXPECT_EQ(OsEvent_Delete(this->watcher_), 0u);
    this->watcher_ = nullptr;
  }
  EXPECT_EQ(gCalls.count, 0);
}

TYPED_TEST_P(WatcherOnAFeed, ARenderingFailureDropsTheEventAfterItsLine) {
  this->open();
  TypeParam::setRenderFault(RenderFault::kContext);
  EXPECT_EQ(this->publishAndDrain("MEI", 1),
            "LOG     : EvtSubscribeActionDeliver\n"
            "ERROR   : EvtCreateRenderContext failed\n"
            "LOG     : eventInfo 0\n");
  const std::pair<RenderFault, const char*> renderFaults[] = {
      {RenderFault::kInsufficientBuffer, "Error Rendering Event ERROR_INSUFFICIENT_BUFFER"},
      {RenderFault::kOtherError, "Error Rendering Event"},
  };
  for (const auto& [fault, message] : renderFaults) {
    TypeParam::setRenderFault(fault);
    EXPECT_EQ(this->publishAndDrain("MEI", 1),
              "LOG     : EvtSubscribeActionDeliver\n"
              "LOG     : EvtRender >>> " +
                  std::to_string(renderedSize("MEI")) + "\nERROR   : " + message +
                  "\n"
                  "LOG     : eventInfo 0\n");
  }
  EXPECT_EQ(gCalls.count, 0);
}

TYPED_TEST_P(WatcherOnAFeed, AfterDeleteReturnsNothingIsCalled) {
  this->open();
  ASSERT_EQ(OsEvent_Delete(this->watcher_), 0u);
  this->watcher_ = nullptr;
  EXPECT_EQ(this->publishAndDrain("MEI", 1), "");
  EXPECT_EQ(gCalls.count, 0);
}

inline std::atomic<int> gEntries{0};
inline std::atomic<int> gExits{0};
inline std::atomic<bool> gRelease{false};
inline std::atomic<bool> gFinished{false};

// Holds its delivery until the test lets it go.
inline void heldReset(void*) {
  ++gEntries;
  waitFor(gRelease);
  ++gExits;
}

inline void deleteOwnWatcher(void* argument) {
  auto** watcher = static_cast<OsEvent**>(argument);
  const uint32_t result = OsEvent_Delete(*watcher);
  *watcher = nullptr;
  gFinished = result == 0;
}

TYPED_TEST_P(WatcherOnAFeed, DeleteDuringADeliveryWaitsForItAndNothingComesAfter) {
  this->open();
  gEntries = 0;
  gExits = 0;
  gRelease = false;
  OsEvent_SetCallback(this->watcher_, heldReset, nullptr);
  Output out;
  TypeParam::publish("MEI", 1, 4);
  ASSERT_TRUE(waitFor(gEntries));
  TypeParam::publish("MEI", 1, 4);  // queued behind the one in progress
  std::atomic<bool> deleted{false};
  std::atomic<int> runningAtReturn{-1};
  OsEvent* watcher = this->watcher_;
  std::thread closer([&] {
    OsEvent_Delete(watcher);
    runningAtReturn = gEntries - gExits;
    deleted = true;
  });
  // Once the close has dropped the queued event, only the held one is left;
  // the delete must still be waiting for it.
  const bool dropped = waitUntil([] { return TypeParam::pending() == 1; });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const bool returnedWhileHeld = deleted;
  gRelease = true;
  if (!waitFor(deleted)) {
    closer.detach();  // a hang: report it rather than wait for ever
    FAIL() << "OsEvent_Delete did not return";
  }
  closer.join();
  this->watcher_ = nullptr;
  EXPECT_TRUE(dropped);
  EXPECT_FALSE(returnedWhileHeld) << "Delete returned while the callback still ran";
  EXPECT_EQ(runningAtReturn, 0);
  TypeParam::publish("MEI", 1, 4);
  EXPECT_TRUE(TypeParam::drain());
  EXPECT_TRUE(std::regex_match(out.take(), deliveredLines(1)));
  EXPECT_EQ(gEntries, 1);
}

TYPED_TEST_P(WatcherOnAFeed, TheCallbackMayDeleteItsOwnWatcher) {
  this->open();
  gFinished = false;
  OsEvent_SetCallback(this->watcher_, deleteOwnWatcher, &this->watcher_);
  Output out;
  TypeParam::publish("MEI", 1, 4);
  ASSERT_TRUE(waitFor(gFinished)) << "OsEvent_Delete from the callback did not return";
  EXPECT_TRUE(TypeParam::drain());
  EXPECT_EQ(this->watcher_, nullptr);
  TypeParam::publish("MEI", 1, 4);
  EXPECT_TRUE(TypeParam::drain());
  EXPECT_TRUE(std::regex_match(out.take(), deliveredLines(1)));
}

REGISTER_TYPED_TEST_SUITE_P(WatcherOnAFeed, AnMeiEventWithId4GivesItsThreeLinesAndCallsNothing,
                            AnMeiEventWithId1CallsTheCallbackOnceOnTheFeedsThread,
                            AnId1EventBeforeTheCallbackIsSetIsOnlyLogged,
                            OnlyFutureEventsOfTheMeiProvidersWithId1Or4AreDelivered,
                            ErrorsOfTheSubscriptionGiveTheirLines,
                            AFailedSubscriptionLeavesAWatcherWithoutHandleAndItsLine,
                            ARenderingFailureDropsTheEventAfterItsLine,
                            AfterDeleteReturnsNothingIsCalled,
                            DeleteDuringADeliveryWaitsForItAndNothingComesAfter,
                            TheCallbackMayDeleteItsOwnWatcher);

}  // namespace watchertest
