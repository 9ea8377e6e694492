// The stand-in event source's own parts: the channel and query checks of a
// subscription and rendering; and the syslog reports.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "EventLogReport.h"
#include "MeiEventSource.h"
#include "OsEvent.h"
#include "TestSupport.h"

using testsupport::Output;

namespace {

uint32_t ignoreEvent(uint32_t, void*, void*) { return 0; }

}  // namespace

TEST(MeiEventSource, SubscriptionsToAnotherChannelOrWithABadQueryFail) {
  uint32_t error = 0;
  EXPECT_EQ(MeiEventSource_Subscribe(L"Application", kOsEventQuery, ignoreEvent, nullptr, &error),
            nullptr);
  EXPECT_EQ(error, kOsEventErrorChannelNotFound);
  // Only the watcher's own query is served; every other text, even one that
  // selects the same events, is refused as the event log refuses a query it
  // cannot evaluate.
  for (const wchar_t* other : {L"*", L"*[System[", L"*[System[EventID='1']]", L""}) {
    error = 0;
    EXPECT_EQ(MeiEventSource_Subscribe(L"System", other, ignoreEvent, nullptr, &error), nullptr);
    EXPECT_EQ(error, kOsEventErrorInvalidQuery);
  }
  EXPECT_EQ(MeiEventSource_Subscribe(L"System", nullptr, ignoreEvent, nullptr, &error), nullptr);
  EXPECT_EQ(error, kOsEventErrorInvalidQuery);
  MeiSubscription* s =
      MeiEventSource_Subscribe(L"System", kOsEventQuery, ignoreEvent, nullptr, &error);
  ASSERT_NE(s, nullptr);
  MeiEventSource_Close(s);
  MeiEventSource_Close(nullptr);
}

namespace {

std::vector<uint8_t> gRendered;
uint32_t gRenderUsed = 0;

uint32_t renderEvent(uint32_t action, void*, void* event) {
  if (action != kOsEventActionDeliver) {
    return 0;
  }
  uint32_t error = 0;
  uint32_t count = 0;
  MeiRenderContext* context =
      MeiEventSource_CreateRenderContext(kOsEventValuePaths, kOsEventValueCount, &error);
  EXPECT_FALSE(MeiEventSource_Render(context, event, 0, nullptr, &gRenderUsed, &count, &error));
  EXPECT_EQ(error, kOsEventErrorInsufficientBuffer);
  EXPECT_EQ(count, 4u);
  gRendered.assign(gRenderUsed, 0);
  EXPECT_FALSE(MeiEventSource_Render(context, event, gRenderUsed - 1, gRendered.data(),
                                     &gRenderUsed, &count, &error));
  EXPECT_TRUE(MeiEventSource_Render(context, event, gRenderUsed, gRendered.data(), &gRenderUsed,
                                    &count, &error));
  MeiEventSource_CloseRenderContext(context);
  return 0;
}

}  // namespace

TEST(MeiEventSource, RenderingGivesTheFourValuesInOrder) {
  uint32_t error = 0;
  MeiSubscription* s =
      MeiEventSource_Subscribe(L"System", kOsEventQuery, renderEvent, nullptr, &error);
  ASSERT_NE(s, nullptr);
  MeiEventSource_Publish("MEIx64", 4, 3);
  MeiEventSource_Drain();
  MeiEventSource_Close(s);

  ASSERT_EQ(gRendered.size(), 4 * sizeof(MeiEventValue) + 7 * sizeof(wchar_t));
  const auto* values = reinterpret_cast<const MeiEventValue*>(gRendered.data());
  ASSERT_EQ(values[0].type, kMeiValueString);
  EXPECT_STREQ(values[0].stringValue, L"MEIx64");
  EXPECT_EQ(values[1].type, kMeiValueFileTime);
  EXPECT_GT(values[1].fileTimeValue, 133000000000000000ull);  // later than 2022
  EXPECT_EQ(values[2].type, kMeiValueUInt16);
  EXPECT_EQ(values[2].uint16Value, 4);
  EXPECT_EQ(values[3].type, kMeiValueByte);
  EXPECT_EQ(values[3].byteValue, 3);
}

// --- syslog reports ----------------------------------------------------------

namespace {

int gRegistered = 0;
int gDeregistered = 0;
std::vector<bool> gWritten;

void* countingRegister(const char* name) {
  ++gRegistered;
  return EventLog_PlatformBackend().registerSource(name);
}
bool forwardReport(void* source, const EventLogReport& r) {
  return EventLog_PlatformBackend().report(source, r);
}
void countingDeregister(void* source) {
  ++gDeregistered;
  EventLog_PlatformBackend().deregisterSource(source);
}
void observeWritten(const EventLogReport&, bool written) { gWritten.push_back(written); }

constexpr EventLogBackend kCountingSyslog = {countingRegister, forwardReport, countingDeregister};

class SyslogReports : public ::testing::Test {
 protected:
  void SetUp() override {
    gRegistered = gDeregistered = 0;
    gWritten.clear();
    EventLog_SetBackend(&kCountingSyslog);
    EventLog_SetReportObserver(observeWritten);
  }
  void TearDown() override {
    EventLog_SetBackend(nullptr);
    EventLog_SetReportObserver(nullptr);
    EventLog_SetSystemLogSocket(nullptr);
  }
};

}  // namespace

TEST_F(SyslogReports, WithoutALoggerTheReportFailsLogsItsLineAndReleasesTheSource) {
  EventLog_SetSystemLogSocket("/nonexistent/evlog-test/log");
  Output out;
  EXPECT_FALSE(EventLog_Report(kReportSendFailed));
  EXPECT_FALSE(EventLog_Report(kReportConnectionFailed));  // the source was released
  EXPECT_EQ(out.take(),
            "ERROR   : ReportEventA() failed !\n"
            "ERROR   : Send HCI frame failed.\n"
            "ERROR   : ReportEventA() failed !\n"
            "ERROR   : Connection with HECI failed, is HECI driver alive ?\n");
  EXPECT_EQ(gRegistered, 2);
  EXPECT_EQ(gDeregistered, 2);
  EXPECT_EQ(gWritten, (std::vector<bool>{false, false}));
}

TEST_F(SyslogReports, ALoggerThatTakesConnectionsGetsTheReport) {
  char dir[] = "/tmp/evlog-syslog-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/log";
  const int logger = socket(AF_UNIX, SOCK_DGRAM, 0);
  ASSERT_GE(logger, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path.c_str());
  ASSERT_EQ(bind(logger, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  EventLog_SetSystemLogSocket(path.c_str());

  Output out;
  EXPECT_TRUE(EventLog_Report(kReportSendTimeout));
  EXPECT_EQ(out.take(), "ERROR   : HECI Send command timeouts.\n");
  EXPECT_EQ(gDeregistered, 1);
  EXPECT_EQ(gWritten, (std::vector<bool>{true}));

  EventLog_SetSystemLogSocket(nullptr);
  close(logger);
  unlink(path.c_str());
  rmdir(dir);
}
