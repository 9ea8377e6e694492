// The shipped Linux watcher: ME resets read from the MEI driver's dev_state
// in the simulator's class folder (MeiClassFolder_linux.h), alone and under
// the link layer over the simulator's device port.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>

#include "LinkTestSupport.h"
#include "MeiClassFolder_linux.h"
#include "OsEvent.h"
#include "OsEvent_linux.h"

using testsupport::Output;
using testsupport::waitFor;
using testsupport::waitUntil;

namespace {

// The lines of one delivered reset: the provider "MEI" is rendered with
// the other three values.
const std::regex kResetLines(
    "LOG     : EvtSubscribeActionDeliver\n"
    "LOG     : EvtRender >>> " +
    std::to_string((4 * 16 + 4 * sizeof(wchar_t)) * 4) +
    "\n"
    "LOG     : eventInfo [1-9A-F][0-9A-F]*\n"
    "LOG     : eventId 1\n");

std::atomic<int> gResets{0};
void countReset(void*) { ++gResets; }

class SysfsWatcher : public ::testing::Test {
 protected:
  void SetUp() override {
    gResets = 0;
    OsEvent_SetMeiClassFolder(meiClass_.folder());
  }
  void TearDown() override {
    OsEvent_Delete(watcher_);
    OsEvent_SetMeiClassFolder(nullptr);
  }
  void open() {
    OsEvent_Create(&watcher_);
    OsEvent_Subscribe(watcher_);
    OsEvent_SetCallback(watcher_, countReset, nullptr);
  }
  // Each state is read by the watcher before the next is written, as when
  // the driver takes its time between them.
  void walk(int n, std::initializer_list<const char*> states) {
    for (const char* state : states) {
      meiClass_.setState(n, state);
      ASSERT_TRUE(meiClass_.waitUntilRead(n)) << "the watcher did not read " << state;
    }
  }
  // Waits for `resets` deliveries (or a little past them, when none is due,
  // for deliveries that should not come: the reads have all been waited for,
  // so any delivery has already started).
  std::string output(Output& out, int resets) {
    waitUntil([resets] { return gResets.load() >= resets; });
    return out.take();
  }

  MeiClassFolder meiClass_;
  OsEvent* watcher_ = nullptr;
};

}  // namespace

TEST_F(SysfsWatcher, AResetAndTheReturnToEnabledDeliverOneId1Event) {
  meiClass_.addDevice(0, "ENABLED");
  open();
  ASSERT_NE(watcher_->subscription, nullptr);
  Output out;
  walk(0, {"RESETTING", "INIT_CLIENTS"});
  EXPECT_EQ(gResets, 0) << "not before the device is back";
  walk(0, {"ENABLED"});
  EXPECT_TRUE(std::regex_match(output(out, 1), kResetLines));
  EXPECT_EQ(gResets, 1);
  // A suspend takes the device through other states: back, it was reset.
  Output out2;
  walk(0, {"POWER_DOWN", "POWER_UP", "ENABLED"});
  EXPECT_TRUE(std::regex_match(output(out2, 2), kResetLines));
  EXPECT_EQ(gResets, 2);
}

TEST_F(SysfsWatcher, BothChangesBetweenTwoReadsStillCountAsAReset) {
  // The kernel notifies only changes, so a notification that finds the
  // state it read last means the device left it and came back.
  meiClass_.addDevice(0, "ENABLED");
  open();
  Output out;
  meiClass_.notify(0);
  ASSERT_TRUE(meiClass_.waitUntilRead(0));
  EXPECT_TRUE(std::regex_match(output(out, 1), kResetLines));
  EXPECT_EQ(gResets, 1);
}

TEST_F(SysfsWatcher, ADeviceThatWasNotEnabledOrDoesNotComeBackIsNoReset) {
  meiClass_.addDevice(0, "INIT_CLIENTS");
  meiClass_.addDevice(1, "ENABLED");
  open();
  Output out;
  walk(0, {"ENABLED"});   // it was starting up, not reset
  walk(1, {"RESETTING"});  // still resetting
  walk(1, {"DISABLED"});
  EXPECT_EQ(output(out, 0), "");
  EXPECT_EQ(gResets, 0);
}

TEST_F(SysfsWatcher, DevicesOfAnotherKindAreNotWatchedAndAFolderWithoutMeDevicesFails) {
  meiClass_.addDevice(0, "ENABLED", "gscfi");
  Output out;
  open();
  EXPECT_EQ(out.take(), "LOG     : " + std::string(meiClass_.folder()) +
                           " lists no ME device with a dev_state: ME resets are not watched.\n");
  EXPECT_EQ(watcher_->subscription, nullptr);
  EXPECT_EQ(OsEvent_Delete(watcher_), 0u);
  watcher_ = nullptr;

  meiClass_.addDevice(1, "ENABLED", "");  // no kind file: an older kernel's ME
  open();
  ASSERT_NE(watcher_->subscription, nullptr);
  Output out2;
  meiClass_.setState(0, "RESETTING");
  meiClass_.setState(0, "ENABLED");
  walk(1, {"RESETTING", "ENABLED"});
  EXPECT_TRUE(std::regex_match(output(out2, 1), kResetLines));
  EXPECT_EQ(gResets, 1);
}

TEST_F(SysfsWatcher, ADeviceThatGoesAwayGivesOneErrorLineAndTheOthersAreStillWatched) {
  meiClass_.addDevice(0, "ENABLED");
  meiClass_.addDevice(1, "ENABLED");
  open();
  Output out;
  meiClass_.remove(0);
  ASSERT_TRUE(meiClass_.waitUntilRead(0));
  walk(1, {"RESETTING", "ENABLED"});
  const std::string text = output(out, 1);
  const std::string gone =
      "ERROR   : The subscription callback received the following Win32 error: 1167\n";
  ASSERT_EQ(text.substr(0, gone.size()), gone) << text;
  EXPECT_TRUE(std::regex_match(text.substr(gone.size()), kResetLines)) << text;
  EXPECT_EQ(gResets, 1);
  // Gone for good: the watcher neither spins on it nor hangs in the close.
  EXPECT_EQ(OsEvent_Delete(watcher_), 0u);
  watcher_ = nullptr;
}

TEST_F(SysfsWatcher, TheCallbackMayDeleteItsOwnWatcher) {
  meiClass_.addDevice(0, "ENABLED");
  open();
  static OsEvent** self = &watcher_;
  static std::atomic<bool> deleted{false};
  deleted = false;
  OsEvent_SetCallback(watcher_, [](void*) {
    OsEvent* own = *self;
    *self = nullptr;  // before the flag that the test waits for
    deleted = OsEvent_Delete(own) == 0;
  }, nullptr);
  Output out;
  walk(0, {"RESETTING", "ENABLED"});
  EXPECT_TRUE(waitFor(deleted));
  EXPECT_TRUE(std::regex_match(out.take(), kResetLines));
}

// --- Under the link layer --------------------------------------------------

namespace {

// The link over the simulator's device port, with the watcher on the fake
// class folder.
class SysfsLink : public ::testing::Test {
 protected:
  void SetUp() override { OsEvent_SetMeiClassFolder(meiClass_.folder()); }
  void TearDown() override { OsEvent_SetMeiClassFolder(nullptr); }
  MeiClassFolder meiClass_;
};

std::atomic<int> gDriverResets{0};
void countDriverReset(uint32_t) { ++gDriverResets; }

}  // namespace

TEST_F(SysfsLink, AResetWhileAQueryWaitsGivesTheId1LinesAndTheQueryStillEnds) {
  meiClass_.addDevice(0, "ENABLED");
  SimScenario scenario;
  scenario.answerDelayMs = 400;  // the query waits for its answer meanwhile
  Output out;
  linktest::Link link(scenario);
  NfcMeContext* ctx = link.ctx;
  ASSERT_NE(ctx, nullptr);
  ASSERT_NE(ctx->osEvent->subscription, nullptr);
  ctx->autoReconnect = 1;
  gDriverResets = 0;
  gResetDriver = {countDriverReset, 0};

  std::thread driver([this, ctx] {
    // Once the query is pending, the ME resets and comes back.
    waitUntil([ctx] { return linktest::pendingFlag(ctx) != 0; });
    meiClass_.setState(0, "RESETTING");
    meiClass_.waitUntilRead(0);
    meiClass_.setState(0, "ENABLED");
    meiClass_.waitUntilRead(0);
  });
  MeQueryInfo info = linktest::freshInfo();
  const int32_t result = vxHECI_QueryInfo(ctx, &info);
  driver.join();
  waitUntil([] { return gDriverResets.load() == 1; });
  gResetDriver = {nullptr, 0};
  const std::string text = out.take();

  EXPECT_EQ(result, 0) << text;
  EXPECT_EQ(gDriverResets, 1);
  EXPECT_EQ(ctx->autoReconnect.load(), 0);
  EXPECT_EQ(linktest::count(text, "LOG     : eventId 1\n"), 1u) << text;
  EXPECT_TRUE(std::regex_search(text, kResetLines)) << text;
}

TEST_F(SysfsLink, WithoutADevStateFileTheSubscriptionFailsAndTheRunsResultIsTheSame) {
  // The folder lists no device: as on a machine without the MEI driver's
  // sysfs entries, or in a container.
  Output out;
  linktest::Link link;
  NfcMeContext* ctx = link.ctx;
  ASSERT_NE(ctx, nullptr);
  ASSERT_NE(ctx->osEvent, nullptr);
  EXPECT_EQ(ctx->osEvent->subscription, nullptr);
  MeQueryInfo info = linktest::freshInfo();
  EXPECT_EQ(vxHECI_QueryInfo(ctx, &info), 0);
  EXPECT_EQ(info.radioType, 2);
  EXPECT_EQ(out.take(), "LOG     : " + std::string(meiClass_.folder()) +
                           " lists no ME device with a dev_state: ME resets are not watched.\n");
}

TEST_F(SysfsLink, WithoutAClassFolderTheLineSaysWhichFolderIsMissing) {
  // No MEI driver at all: the line is a plain log line, not an error, and
  // names the folder and what goes unwatched.
  const std::string missing = std::string(meiClass_.folder()) + "/no-such-folder";
  OsEvent_SetMeiClassFolder(missing.c_str());
  linktest::Output out;
  linktest::Link link;
  ASSERT_NE(link.ctx, nullptr);
  EXPECT_EQ(link.ctx->osEvent->subscription, nullptr);
  EXPECT_EQ(out.take(), "LOG     : There is no " + missing + ": ME resets are not watched.\n");
}
