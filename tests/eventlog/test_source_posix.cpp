// The stand-in event source's own parts: the query evaluator, the channel
// and query checks of a subscription, rendering, and the syslog reports.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "EventLogReport.h"
#include "MeiEventQuery.h"
#include "MeiEventSource.h"
#include "OsEvent.h"

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

TEST(MeiEventQuery, TheWatchersQuerySelectsTheMeiProvidersWithId1Or4) {
  MeiEventQuery query;
  ASSERT_TRUE(query.parse(kOsEventQuery));
  for (const char* provider : {"MEI", "MEIx64", "MEIx", "mei", "Disk", ""}) {
    for (uint16_t id : {0, 1, 2, 4, 14, 65535}) {
      const bool wanted = (std::string(provider) == "MEI" || std::string(provider) == "MEIx64") &&
                          (id == 1 || id == 4);
      EXPECT_EQ(query.matches({provider, id, 2}), wanted) << provider << " " << id;
    }
  }
}

TEST(MeiEventQuery, OtherFiltersOfTheSameShape) {
  MeiEventQuery query;
  ASSERT_TRUE(query.parse(L"*"));
  EXPECT_TRUE(query.matches({"Disk", 9, 0}));
  // "and" binds tighter than "or"; parentheses and bare numbers are allowed.
  ASSERT_TRUE(query.parse(L" *[System[EventID=4 or EventID=1 and Level<=2]] "));
  EXPECT_TRUE(query.matches({"X", 4, 5}));
  EXPECT_TRUE(query.matches({"X", 1, 2}));
  EXPECT_FALSE(query.matches({"X", 1, 3}));
  ASSERT_TRUE(query.parse(L"*[System[(EventID=4 or EventID=1) and Level>=3]]"));
  EXPECT_FALSE(query.matches({"X", 4, 2}));
  EXPECT_TRUE(query.matches({"X", 1, 3}));
  ASSERT_TRUE(query.parse(L"*[System[Provider[@Name!=\"MEI\"] and EventID!='7']]"));
  EXPECT_TRUE(query.matches({"Disk", 1, 0}));
  EXPECT_FALSE(query.matches({"MEI", 1, 0}));
  EXPECT_FALSE(query.matches({"Disk", 7, 0}));
}

TEST(MeiEventQuery, TextsOfAnotherShapeAreRejected) {
  const wchar_t* bad[] = {
      L"",
      L"*[",
      L"*[System[EventID='4']",
      L"*[System[EventID='x']]",
      L"*[System[EventID='4'] or]",
      L"*[Provider[@Name='MEI']]",        // Provider belongs inside System
      L"*[System[@Name='MEI']]",          // @Name belongs inside Provider
      L"*[System[Provider[@Name<'MEI']]]",  // names are only compared for (in)equality
      L"*[System[Provider[@Name='MEI]]]",
      L"*[System[EventID='4']] andx *",
      L"*[System[EventID=99999999999]]",
  };
  MeiEventQuery query;
  for (const wchar_t* text : bad) {
    EXPECT_FALSE(query.parse(text)) << static_cast<const void*>(text);
    EXPECT_FALSE(query.matches({"MEI", 1, 0}));
  }
  EXPECT_FALSE(query.parse(nullptr));
}

namespace {

uint32_t ignoreEvent(uint32_t, void*, void*) { return 0; }

}  // namespace

TEST(MeiEventSource, SubscriptionsToAnotherChannelOrWithABadQueryFail) {
  uint32_t error = 0;
  EXPECT_EQ(MeiEventSource_Subscribe(L"Application", kOsEventQuery, ignoreEvent, nullptr, &error),
            nullptr);
  EXPECT_EQ(error, kOsEventErrorChannelNotFound);
  EXPECT_EQ(MeiEventSource_Subscribe(L"System", L"*[System[", ignoreEvent, nullptr, &error),
            nullptr);
  EXPECT_EQ(error, kOsEventErrorInvalidQuery);
  MeiSubscription* s = MeiEventSource_Subscribe(L"System", L"*", ignoreEvent, nullptr, &error);
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
  MeiSubscription* s = MeiEventSource_Subscribe(L"System", L"*", renderEvent, nullptr, &error);
  ASSERT_NE(s, nullptr);
  MeiEventSource_Publish("MEIx64", 0x1234, 3);
  MeiEventSource_Drain();
  MeiEventSource_Close(s);

  ASSERT_EQ(gRendered.size(), 4 * sizeof(MeiEventValue) + 7 * sizeof(wchar_t));
  const auto* values = reinterpret_cast<const MeiEventValue*>(gRendered.data());
  ASSERT_EQ(values[0].type, kMeiValueString);
  EXPECT_STREQ(values[0].stringValue, L"MEIx64");
  EXPECT_EQ(values[1].type, kMeiValueFileTime);
  EXPECT_GT(values[1].fileTimeValue, 133000000000000000ull);  // later than 2022
  EXPECT_EQ(values[2].type, kMeiValueUInt16);
  EXPECT_EQ(values[2].uint16Value, 0x1234);
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
  CaptureStdout();
  EXPECT_FALSE(EventLog_Report(kReportSendFailed));
  EXPECT_FALSE(EventLog_Report(kReportConnectionFailed));  // the source was released
  EXPECT_EQ(GetCapturedStdout(),
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

  CaptureStdout();
  EXPECT_TRUE(EventLog_Report(kReportSendTimeout));
  EXPECT_EQ(GetCapturedStdout(), "ERROR   : HECI Send command timeouts.\n");
  EXPECT_EQ(gDeregistered, 1);
  EXPECT_EQ(gWritten, (std::vector<bool>{true}));

  EventLog_SetSystemLogSocket(nullptr);
  close(logger);
  unlink(path.c_str());
  rmdir(dir);
}
