// The firmware simulator as the device port sees it: its answers and
// faults.
#include <thread>

#include "PortSuite.h"

using namespace hecitest;

namespace {

struct SimulatorPort {};
INSTANTIATE_TYPED_TEST_SUITE_P(Simulator, PortSuite, SimulatorPort);

TEST(Simulator, ShapesTheAnswerAndTheFramesAroundIt) {
  SimScenario sc;
  sc.replyStatus = 1;
  sc.radioType = 17;
  sc.dataSize = 2;
  sc.framesBeforeAnswer = SimFrames({{0x05, 0, 0, 0, 1, 0, 0xAB}, {0x20, 1}});
  sc.framesAfterAnswer = SimFrames({{0x11, 0, 0, 0, 0, 0}});
  PortUnderTest port(sc);
  ASSERT_EQ(port.write(kVersionQuery), hsSuccess);
  EXPECT_EQ(port.read(), SimFrame({0x05, 0, 0, 0, 1, 0, 0xAB}));
  EXPECT_EQ(port.read(), SimFrame({0x20, 1}));
  EXPECT_EQ(port.read(), SimFrame({0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0x01, 0x01}));
  EXPECT_EQ(port.read(), SimFrame({0x11, 0, 0, 0, 0, 0}));

  // An answer longer than its dataSize says.
  PortUnderTest longer(with<SimScenario>([](auto& s) { s.radioType = 17; s.answerLength = 30; }));
  ASSERT_EQ(longer.write(kVersionQuery), hsSuccess);
  const SimFrame answer = longer.read();
  ASSERT_EQ(answer.size(), 30u);
  EXPECT_EQ(answer[8], 15);
  EXPECT_EQ(answer[24], 17);
  EXPECT_EQ(answer[29], 0);
}

TEST(Simulator, AnswersOnlyTheResendAfterTheDelay) {
  PortUnderTest port(with<SimScenario>([](auto& s) { s.answerMode = ANSWER_RESEND; s.answerDelayMs = 150; }));
  ASSERT_EQ(port.write(kVersionQuery), hsSuccess);
  ASSERT_EQ(port.write(kVersionQuery), hsSuccess);
  const auto start = SimClock::now();
  EXPECT_EQ(port.read().size(), 25u);
  EXPECT_GE(msSince(start), 100);
  EXPECT_EQ(Sim_GetStats().answers, 1u);
  // Nothing else comes: the close ends the wait with 1.
  std::thread closer([&] {
    Sim_WaitFor([](const SimStats& s) { return s.readsWaiting == 1; }, testsupport::kPatienceMs);
    HECIWin_CloseHeci(port.device);
  });
  HECIStatus status = hsSuccess;
  EXPECT_TRUE(port.read(&status).empty());
  EXPECT_EQ(status, hsNoDevice);
  closer.join();
}

TEST(Simulator, AnswersOnlyTheListedQueriesOfEachConnection) {
  SimScenario sc;
  std::string error;
  ASSERT_TRUE(Sim_ParseScenario("answerQueries=2; framesBeforeAnswer=20 01", &sc, &error)) << error;
  const SimFrame marker = {0x20, 1};
  for (int connection = 1; connection <= 2; ++connection) {
    // Counted per connection: the second one starts again at query 1.
    PortUnderTest port(sc);
    ASSERT_EQ(port.write(kVersionQuery), hsSuccess);
    ASSERT_EQ(port.write(kVersionQuery), hsSuccess);
    EXPECT_EQ(port.read(), marker);  // the first query: its frames, no answer
    EXPECT_EQ(port.read(), marker);
    EXPECT_EQ(port.read().size(), 25u);  // the second query's answer
    EXPECT_EQ(Sim_GetStats().versionQueries, 2u);
    EXPECT_EQ(Sim_GetStats().answers, 1u);
  }
}

TEST(Simulator, AShortReadSplitsTheMessageAsTheKernelDoes) {
  PortUnderTest port;
  Sim_InjectFrame({1, 2, 3, 4, 5});
  EXPECT_EQ(port.read(nullptr, 3), SimFrame({1, 2, 3}));
  EXPECT_EQ(port.read(nullptr, 3), SimFrame({4, 5}));
}

TEST(Simulator, TheResponderAnswersOtherMessages) {
  SimScenario sc;
  sc.responder = [](const SimFrame& w) { return std::vector<SimFrame>{{0x04, 0, w[4], w[5], 0, 0}}; };
  PortUnderTest port(sc);
  ASSERT_EQ(port.write({0x01, 0, 0, 0, 7, 8}), hsSuccess);
  EXPECT_EQ(port.read(), SimFrame({0x04, 0, 7, 8, 0, 0}));
}

// A reaction replaces the scenario's answer for its query only; its items
// come in time order and overtake what an earlier query left for later. The
// observer sees every write, frame and error in that order, with the writer.
TEST(Simulator, ReactionsPerQueryAndTheRecordOfWhatTheDeviceDid) {
  using Kind = SimReactionItem::Kind;
  SimScenario sc;
  sc.reactions = {{{Kind::Answer, 300, {}}},
                  {{Kind::ReadError, 0, {}}, {Kind::Frame, 0, {0x20, 1, 0, 0, 0, 0}}, {Kind::Answer, 0, {}}}};
  sc.maxMessageLength = 256;
  sc.reconnectMaxMessageLength = 1024;
  std::vector<SimEvent> seen;
  Sim_SetEventObserver([&](const SimEvent& e) { seen.push_back(e); });
  {
    PortUnderTest port(sc);
    Output out;  // the read error's line
    EXPECT_EQ(HECIWin_MaxMessageLength(port.device), 256u);
    ASSERT_EQ(port.write(kVersionQuery), hsSuccess);
    ASSERT_EQ(port.write(kVersionQuery), hsSuccess);
    HECIStatus status = hsSuccess;
    port.read(&status);
    EXPECT_EQ(status, hsDeviceError);  // the second query's items, due first
    EXPECT_EQ(port.read(), SimFrame({0x20, 1, 0, 0, 0, 0}));
    EXPECT_EQ(port.read().size(), 25u);
    EXPECT_EQ(port.read().size(), 25u);  // the first query's answer, 300 ms on
    ASSERT_EQ(port.write(kVersionQuery), hsSuccess);  // beyond the list: answered at once
    EXPECT_EQ(port.read().size(), 25u);
    EXPECT_EQ(Sim_GetStats().answers, 3u);
    HECIWinDevice* again = nullptr;  // a second connect: the reconnect's length
    ASSERT_EQ(HECI_Init(&again), hsSuccess);
    EXPECT_EQ(HECIWin_MaxMessageLength(again), 1024u);
    HECIWin_CloseHeci(again);
    HECIWin_FreeHeci(again);
  }
  Sim_SetEventObserver(nullptr);
  std::vector<SimEventKind> kinds;
  for (const SimEvent& e : seen) kinds.push_back(e.kind);
  using K = SimEventKind;
  EXPECT_EQ(kinds, (std::vector<K>{K::Open, K::Connect, K::Write, K::Write, K::ReadError, K::Frame, K::Frame,
                                   K::Frame, K::Write, K::Frame, K::Open, K::Connect, K::Close, K::Close}));
  EXPECT_EQ(seen[2].thread, osal_sync::this_thread_id());
  EXPECT_EQ(seen[2].bytes, kVersionQuery);
}

}  // namespace
