// The watcher's and the reports' own logic, on every platform: what the
// subscription callback makes of errors and unknown actions, and the report
// sequence around the platform's three calls.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "EventLogReport.h"
#include "OsEvent.h"
#include "TestSupport.h"

using testsupport::Output;

namespace {

void* errorCode(uint32_t code) { return reinterpret_cast<void*>(static_cast<uintptr_t>(code)); }

std::string callbackLines(uint32_t action, void* event) {
  OsEvent* e = nullptr;
  OsEvent_Create(&e);
  Output out;
  EXPECT_EQ(SubscriptionCallback(action, e, event), 0u);
  std::string lines = out.take();
  EXPECT_EQ(OsEvent_Delete(e), 0u);
  return lines;
}

}  // namespace

TEST(OsEvent, DeleteOfNullReturnsOneAndANewRecordIsEmpty) {
  EXPECT_EQ(OsEvent_Delete(nullptr), 1u);
  OsEvent_Create(nullptr);  // nothing to store into: nothing happens

  OsEvent* e = nullptr;
  OsEvent_Create(&e);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->subscription, nullptr);
  EXPECT_EQ(e->callback.load(), nullptr);
  EXPECT_EQ(e->argument.load(), nullptr);
  EXPECT_EQ(OsEvent_Delete(e), 0u);
}

TEST(OsEvent, ErrorActionsAndUnknownActionsAreOnlyLogged) {
  EXPECT_EQ(callbackLines(kOsEventActionError, errorCode(15011)),
            "ERROR   : The subscription callback was notified that event records are missing.\n");
  EXPECT_EQ(callbackLines(kOsEventActionError, errorCode(5)),
            "ERROR   : The subscription callback received the following Win32 error: 5\n");
  // Codes are logged in decimal, also above 16 bits.
  EXPECT_EQ(callbackLines(kOsEventActionError, errorCode(0x80070005u)),
            "ERROR   : The subscription callback received the following Win32 error: 2147942405\n");
  EXPECT_EQ(callbackLines(7, nullptr), "ERROR   : SubscriptionCallback: Unknown action.\n");
}

// --- Reports ---------------------------------------------------------------

namespace {

struct FakeLog {
  std::vector<std::string> calls;
  bool accept = true;
  int deregisteredToken = 0;
  std::vector<std::pair<uint32_t, bool>> observed;
};
FakeLog gFake;
int gSourceToken = 42;

void* fakeRegister(const char* name) {
  gFake.calls.push_back(std::string("register ") + name);
  return &gSourceToken;
}
bool fakeReport(void* source, const EventLogReport& r) {
  gFake.calls.push_back("report " + std::to_string(r.eventId) + " type " + std::to_string(r.type) +
                        " category " + std::to_string(r.category) + " " + r.insertion +
                        (source == &gSourceToken ? "" : " (wrong source)"));
  return gFake.accept;
}
void fakeDeregister(void* source) {
  gFake.calls.push_back(source == &gSourceToken ? "deregister" : "deregister (wrong source)");
}
void observe(const EventLogReport& r, bool written) { gFake.observed.emplace_back(r.eventId, written); }

constexpr EventLogBackend kFakeBackend = {fakeRegister, fakeReport, fakeDeregister};

class Reports : public ::testing::Test {
 protected:
  void SetUp() override {
    gFake = FakeLog();
    EventLog_SetBackend(&kFakeBackend);
    EventLog_SetReportObserver(observe);
  }
  void TearDown() override {
    EventLog_SetBackend(nullptr);
    EventLog_SetReportObserver(nullptr);
  }
};

}  // namespace

TEST_F(Reports, AWrittenReportIsOneRegisterReportDeregisterSequence) {
  Output out;
  EXPECT_TRUE(EventLog_Report(kReportConnectionFailed));
  EXPECT_EQ(out.take(), "ERROR   : Connection with HECI failed, is HECI driver alive ?\n");
  EXPECT_EQ(gFake.calls,
            (std::vector<std::string>{
                "register KelvNfpProvider",
                "report 2 type 1 category 1 Communication with HECI driver cannot be established.",
                "deregister"}));
  EXPECT_EQ(gFake.observed, (std::vector<std::pair<uint32_t, bool>>{{2, true}}));
}

TEST_F(Reports, AReportThatCannotBeWrittenSaysSoThenLogsItsLineAndStillReleasesTheSource) {
  gFake.accept = false;
  Output out;
  EXPECT_FALSE(EventLog_Report(kReportSendTimeout));
  EXPECT_FALSE(EventLog_Report(kReportSendFailed));
  EXPECT_EQ(out.take(),
            "ERROR   : ReportEventA() failed !\n"
            "ERROR   : HECI Send command timeouts.\n"
            "ERROR   : ReportEventA() failed !\n"
            "ERROR   : Send HCI frame failed.\n");
  ASSERT_EQ(gFake.calls.size(), 6u);
  EXPECT_EQ(gFake.calls[1], "report 6 type 4 category 0 HECI Send command timeouts.");
  EXPECT_EQ(gFake.calls[2], "deregister");
  EXPECT_EQ(gFake.calls[5], "deregister");
  EXPECT_EQ(gFake.observed, (std::vector<std::pair<uint32_t, bool>>{{6, false}, {3, false}}));
}
