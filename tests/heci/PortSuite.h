// The device port's cases that hold for either port over the simulator: the
// simulator's own (heci_core_tests) and the Linux port against the emulated
// /dev/mei0 (heci_linux_port_tests). Each executable links one port and
// instantiates the suite once; the type parameter only names the port.
#pragma once

#include <string>

#include "HeciTestSupport.h"

namespace hecitest {

template <typename Port>
class PortSuite : public ::testing::Test {};

TYPED_TEST_SUITE_P(PortSuite);

TYPED_TEST_P(PortSuite, AnswersTheVersionQueryWithTheDefaultRecord) {
  PortUnderTest port;
  ASSERT_EQ(port.status, hsSuccess);
  EXPECT_EQ(HECIWin_MaxMessageLength(port.device), 512u);
  ASSERT_EQ(port.write(kVersionQuery), hsSuccess);
  const SimFrame expected = {0, 0, 0, 0, 0, 0, 0, 0, 15, 0, 0x01, 0x00, 1, 2, 3, 0, 0, 0, 4, 5, 6, 7, 8, 9, 2};
  EXPECT_EQ(port.read(), expected);
  const SimStats s = Sim_GetStats();
  EXPECT_EQ(s.opens, 1u);
  EXPECT_EQ(s.connects, 1u);
  EXPECT_EQ(s.versionQueries, 1u);
  EXPECT_EQ(s.answers, 1u);
  ASSERT_EQ(Sim_Writes().size(), 1u);
  EXPECT_EQ(Sim_Writes()[0].bytes, kVersionQuery);
  EXPECT_EQ(Sim_Writes()[0].connection, 1u);
}

// An ME reset during the query: the read and every later write fail with
// ENODEV, and the ME is back for the next open.
TYPED_TEST_P(PortSuite, TheDeviceGoingDuringTheQueryIsADeviceError) {
  SimScenario sc;
  sc.answerMode = ANSWER_GONE;
  PortUnderTest port(sc);
  ASSERT_EQ(port.status, hsSuccess);
  Output out;
  ASSERT_EQ(port.write(kVersionQuery), hsSuccess);
  HECIStatus status = hsSuccess;
  port.read(&status);
  EXPECT_EQ(status, hsDeviceError);
  EXPECT_EQ(port.write(kVersionQuery), hsDeviceError);
  EXPECT_EQ(out.take(),
            "ERROR   : HECI_Read : read() failed, errno : 19 (device not ready or ME reset)\n"
            "ERROR   : HECI_Write : write() failed, errno : 19 (device not ready or ME reset)\n");
  PortUnderTest again(sc);
  EXPECT_EQ(again.status, hsSuccess);
}

// A device that takes no more messages: a write fails after its half
// second (the emulated device's queue first takes what fits).
TYPED_TEST_P(PortSuite, WritesFailAfterHalfASecondWithoutRoom) {
  Output out;
  PortUnderTest port(with<SimScenario>([](auto& s) { s.stallWrites = true; }));
  ASSERT_EQ(port.status, hsSuccess);
  int written = 0;
  long long failedAfterMs = 0;
  for (; written < 1000; ++written) {
    const auto start = SimClock::now();
    if (port.write(kVersionQuery) != hsSuccess) {
      failedAfterMs = msSince(start);
      break;
    }
  }
  EXPECT_LT(written, 1000);
  EXPECT_GE(failedAfterMs, 450);
  EXPECT_EQ(out.take(), "ERROR   : HECI_Write : poll() failed, errno : " + std::to_string(ETIMEDOUT) +
                            " (timed out)\n");
  EXPECT_TRUE(Sim_Writes().empty());
}

REGISTER_TYPED_TEST_SUITE_P(PortSuite, AnswersTheVersionQueryWithTheDefaultRecord,
                            TheDeviceGoingDuringTheQueryIsADeviceError, WritesFailAfterHalfASecondWithoutRoom);

}  // namespace hecitest
