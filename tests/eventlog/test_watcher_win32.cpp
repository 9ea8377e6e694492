// The Windows event log as the watcher and the reports meet it. Under Wine,
// EvtSubscribe is a stub that fails without an error code, so there the
// watcher runs without a subscription and says so. The watcher's delivery
// and render paths run under Wine against the wevtapi stand-in instead
// (test_watcher_wevtapi_win32.cpp).
#include <windows.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "EventLogReport.h"
#include "OsEvent.h"
#include "TestSupport.h"

using testsupport::Output;

namespace {

bool underWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

int gCalls = 0;
void onReset(void*) { ++gCalls; }

}  // namespace

TEST(OsEventWin32, SubscribingToTheSystemChannel) {
  OsEvent* e = nullptr;
  OsEvent_Create(&e);
  Output captured;
  OsEvent_Subscribe(e);
  const std::string out = captured.take();
  if (underWine()) {
    EXPECT_EQ(out, "ERROR   : EvtSubscribe failed with 0.\n");
    EXPECT_EQ(e->subscription, nullptr);
  } else if (e->subscription == nullptr) {
    EXPECT_TRUE(std::regex_match(out, std::regex("ERROR   : [^\n]+\n"))) << out;
  } else {
    EXPECT_EQ(out, "");
  }
  OsEvent_SetCallback(e, onReset, e);
  EXPECT_EQ(OsEvent_Delete(e), 0u);
}

TEST(OsEventWin32, AnEventThatCannotBeRenderedIsDroppedWithoutACall) {
  if (underWine()) {
    // Wine has no EvtCreateRenderContext at all: calling it aborts.
    GTEST_SKIP() << "no event rendering under Wine";
  }
  OsEvent* e = nullptr;
  OsEvent_Create(&e);
  OsEvent_SetCallback(e, onReset, nullptr);
  gCalls = 0;
  Output captured;
  EXPECT_EQ(SubscriptionCallback(kOsEventActionDeliver, e, nullptr), 0u);
  const std::string out = captured.take();
  EXPECT_TRUE(std::regex_search(out, std::regex("^LOG     : EvtSubscribeActionDeliver\n")));
  EXPECT_TRUE(std::regex_search(out, std::regex("LOG     : eventInfo 0\n$"))) << out;
  EXPECT_EQ(gCalls, 0);
  EXPECT_EQ(OsEvent_Delete(e), 0u);
}

TEST(EventLogWin32, TheReportGoesThroughAdvapi32) {
  Output captured;
  const bool written = EventLog_Report(kReportSendTimeout);
  const std::string out = captured.take();
  if (underWine()) {
    EXPECT_TRUE(written);  // Wine accepts every report
  }
  EXPECT_EQ(out, std::string(written ? "" : "ERROR   : ReportEventA() failed !\n") +
                     "ERROR   : HECI Send command timeouts.\n");
}
