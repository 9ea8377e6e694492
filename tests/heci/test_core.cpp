// The HECI core over the simulator's device port.
#include <atomic>
#include <cstdlib>
#include <thread>

#include "HeciTestSupport.h"
#include "Memory.h"

using namespace hecitest;

namespace {

bool waitReaderBlocked() {
  return Sim_WaitFor([](const SimStats& s) { return s.readsWaiting == 1; }, testsupport::kPatienceMs);
}

class CoreTest : public ::testing::Test {
 protected:
  void open(const SimScenario& scenario = SimScenario{}) {
    Sim_Configure(scenario);
    ASSERT_EQ(HECIOpen(&core), hsSuccess);
    ASSERT_NE(core, nullptr);
    rec.attach(core);
  }
  void TearDown() override {
    HECIClose(core);
    gHECICoreTrace = false;
  }
  HECICore* core = nullptr;
  Recorder rec;
};

TEST_F(CoreTest, SendChecksTheLengthAgainstTheClientsMaximum) {
  open(with<SimScenario>([](auto& s) { s.maxMessageLength = 64; }));
  EXPECT_EQ(core->maxMessageLength, 64u);
  std::vector<uint8_t> data(65, 0x5A);

  Output out;
  EXPECT_EQ(HECISendMessage(core, data.data(), 0), hsInvalidParams);
  EXPECT_EQ(HECISendMessage(core, data.data(), 65), hsInvalidParams);
  EXPECT_EQ(HECISendMessage(core, nullptr, 4), hsInvalidParams);
  EXPECT_EQ(HECISendMessage(nullptr, data.data(), 4), hsInvalidHandle);
  EXPECT_EQ(out.take(),
            "ERROR   : HECISendMessage failed : hsInvalidParams\n"
            "ERROR   : HECISendMessage failed : hsInvalidParams\n"
            "ERROR   : HECISendMessage failed : hsInvalidParams\n"
            "ERROR   : HECISendMessage failed : hsInvalidHandle\n");
  EXPECT_TRUE(rec.sends.empty());
  EXPECT_TRUE(Sim_Writes().empty());

  EXPECT_EQ(HECISendMessage(core, data.data(), 64), hsAccepted);
  ASSERT_EQ(rec.sends.size(), 1u);
  EXPECT_EQ(rec.sends[0], std::make_pair(0, 64u));
  ASSERT_EQ(Sim_Writes().size(), 1u);
  EXPECT_EQ(Sim_Writes()[0].bytes, SimFrame(64, 0x5A));
}

TEST_F(CoreTest, ReceiveChecksTheBufferAndRefusesASecondPost) {
  open(with<SimScenario>([](auto& s) { s.maxMessageLength = 32; }));
  uint8_t first[32], second[32];
  {
    Output out;
    EXPECT_EQ(HECIReceiveMessage(core, first, 31), hsInvalidParams);
    EXPECT_EQ(HECIReceiveMessage(core, nullptr, 32), hsInvalidParams);
    EXPECT_EQ(HECIReceiveMessage(nullptr, first, 32), hsInvalidHandle);
    EXPECT_EQ(out.take(),
              "ERROR   : HECIReceiveMessage failed : hsInvalidParams\n"
              "ERROR   : HECIReceiveMessage failed : hsInvalidParams\n"
              "ERROR   : HECIReceiveMessage failed : hsInvalidHandle\n");
  }
  EXPECT_EQ(HECIReceiveMessage(core, first, 32), hsAccepted);
  EXPECT_EQ(HECIReceiveMessage(core, second, 32), hsBusy);
  Sim_InjectFrame({0x05, 0, 0, 0, 1, 0, 0xAA});
  ASSERT_TRUE(rec.waitReceives(1));
  const Recorder::Receive r = rec.receive(0);
  EXPECT_EQ(r.failed, 0);
  EXPECT_EQ(r.buffer, first);  // the first request stayed
  EXPECT_EQ(r.data, SimFrame({0x05, 0, 0, 0, 1, 0, 0xAA}));
  // The slot is free again.
  EXPECT_EQ(HECIReceiveMessage(core, second, 32), hsAccepted);
}

TEST_F(CoreTest, ARequestPostedAtOnceAfterOpenIsServed) {
  // The dispatch thread may not have reached its first wait yet.
  for (int i = 0; i < 30; ++i) {
    Recorder r;
    HECICore* c = nullptr;
    Sim_Configure(with<SimScenario>([](auto& s) { s.framesOnConnect = SimFrames({{0x20, 0, 0, 0, 0, 0}}); }));
    ASSERT_EQ(HECIOpen(&c), hsSuccess);
    r.attach(c);
    uint8_t buffer[512];
    ASSERT_EQ(HECIReceiveMessage(c, buffer, sizeof buffer), hsAccepted);
    EXPECT_TRUE(r.waitReceives(1)) << "round " << i;
    HECIClose(c);
  }
}

TEST_F(CoreTest, ACallbackThatPostsTheNextReceiveGetsEveryFrame) {
  SimScenario sc;
  sc.framesOnConnect = SimFrames({{0x05, 0, 0, 0, 0, 0, 1}, {0x05, 0, 0, 0, 0, 0, 2}, {0x05, 0, 0, 0, 0, 0, 3}});
  open(sc);
  static uint8_t buffers[3][512];
  std::atomic<int> next{1};
  rec.onReceive = [&](const Recorder::Receive&) {
    const int i = next++;
    if (i < 3) {
      EXPECT_EQ(HECIReceiveMessage(core, buffers[i], 512), hsAccepted);
    }
  };
  ASSERT_EQ(HECIReceiveMessage(core, buffers[0], 512), hsAccepted);
  ASSERT_TRUE(rec.waitReceives(3));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(rec.receive(i).buffer, buffers[i]);
    EXPECT_EQ(rec.receive(i).data.back(), i + 1);
  }
  // Nothing was posted after the third: the thread reads no further.
  Sim_InjectFrame({0x05, 0, 0, 0, 0, 0, 4});
  EXPECT_FALSE(rec.waitReceives(4, 200));
}

TEST_F(CoreTest, AFailedReadIsReportedAndTheThreadGoesOn) {
  open();
  uint8_t buffer[512];
  ASSERT_EQ(HECIReceiveMessage(core, buffer, sizeof buffer), hsAccepted);
  ASSERT_TRUE(waitReaderBlocked());
  {
    Output out;
    Sim_InjectReadError(EIO);
    ASSERT_TRUE(rec.waitReceives(1));
    EXPECT_NE(out.take().find("ERROR   : HECI_Read : read() failed, errno : 5"), std::string::npos);
  }
  EXPECT_EQ(rec.receive(0).failed, 1);
  ASSERT_EQ(HECIReceiveMessage(core, buffer, sizeof buffer), hsAccepted);
  Sim_InjectFrame({0x11, 0, 0, 0, 0, 0});
  ASSERT_TRUE(rec.waitReceives(2));
  EXPECT_EQ(rec.receive(1).failed, 0);
}

TEST_F(CoreTest, CloseFromAnotherThreadEndsABlockedReadWithoutCallback) {
  open();
  uint8_t buffer[512];
  ASSERT_EQ(HECIReceiveMessage(core, buffer, sizeof buffer), hsAccepted);
  ASSERT_TRUE(waitReaderBlocked());
  gHECICoreTrace = true;  // read by the thread only after the close's hand-over
  Output out;
  std::thread closer([&] { HECIClose(core); });
  closer.join();
  core = nullptr;
  // The thread's last line is written before HECIClose returns: it joined.
  EXPECT_EQ(out.take(), "LOG     : Exiting successfuly from CallbackDispatchThread\n");
  EXPECT_EQ(rec.receiveCount(), 0u);
  EXPECT_EQ(Sim_GetStats().closes, 1u);
}

std::vector<uint32_t>* gReleased = nullptr;
void recordRelease(void* block, uint32_t bytes) {
  gReleased->push_back(bytes);
  std::free(block);
}

TEST_F(CoreTest, CloseInsideTheReceiveCallbackIsFinishedByTheNextOpen) {
  gHECICoreTrace = true;
  open();
  HECICore* closed = core;
  std::mutex lock;
  std::condition_variable done;
  bool closedInCallback = false;
  rec.onReceive = [&](const Recorder::Receive&) {
    HECIClose(closed);
    std::lock_guard<std::mutex> g(lock);
    closedInCallback = true;
    done.notify_all();
  };
  uint8_t buffer[512];
  Output out;
  ASSERT_EQ(HECIReceiveMessage(core, buffer, sizeof buffer), hsAccepted);
  Sim_InjectFrame({0x05, 0, 0, 0, 0, 0});
  {
    std::unique_lock<std::mutex> g(lock);
    ASSERT_TRUE(done.wait_for(g, std::chrono::seconds(3), [&] { return closedInCallback; }));
  }
  EXPECT_EQ(Sim_GetStats().closes, 1u);
  // A second close of the marked core only warns.
  HECIClose(closed);
  core = nullptr;

  // The next open joins the thread and frees the locks and the record.
  std::vector<uint32_t> released;
  gReleased = &released;
  Memory_SetReleaseHook(recordRelease);
  EXPECT_EQ(HECIOpen(nullptr), hsInvalidParams);
  Memory_SetReleaseHook(nullptr);
  gReleased = nullptr;
  const std::string text = out.take();
  EXPECT_NE(text.find("LOG     : HECICore marked for cleanup.\n"), std::string::npos) << text;
  EXPECT_NE(text.find("WARNING : HECICore already marked for cleanup.\n"), std::string::npos) << text;
  EXPECT_NE(text.find("LOG     : Exiting successfuly from CallbackDispatchThread\n"), std::string::npos) << text;
  EXPECT_EQ(std::count(released.begin(), released.end(), sizeof(HECICore) + kMemoryOverhead), 1);
  EXPECT_GE(released.size(), 5u);  // thread, two locks, two gates, record
  // Nothing is left for the open after that.
  released.clear();
  gReleased = &released;
  Memory_SetReleaseHook(recordRelease);
  EXPECT_EQ(HECIOpen(nullptr), hsInvalidParams);
  Memory_SetReleaseHook(nullptr);
  gReleased = nullptr;
  EXPECT_TRUE(released.empty());
}

// A request whose read was cut short by a reconnect is never failed: the
// read's outcome belongs to the old device. It stays posted and is served on
// the new device (the owner's post after the reconnect, a resend's, is then
// refused as busy, the normal answer when a receive is already posted), or,
// when the read ended before the new device was in place, it is dropped and
// the owner's post is accepted. Failing it would fail a query whose resend
// succeeds on the new device.
TEST_F(CoreTest, ReconnectNeverFailsTheInterruptedRequest) {
  open();
  uint8_t first[512], second[512];
  ASSERT_EQ(HECIReceiveMessage(core, first, sizeof first), hsAccepted);
  ASSERT_TRUE(waitReaderBlocked());
  Output out;
  ASSERT_EQ(HECIReconnect(core), hsSuccess);
  const HECIStatus post = HECIReceiveMessage(core, second, sizeof second);
  ASSERT_TRUE(post == hsBusy || post == hsAccepted) << post;
  Sim_InjectFrame({0x04, 0, 0, 0, 0, 0});
  ASSERT_TRUE(rec.waitReceives(1));
  out.take();
  ASSERT_EQ(rec.receiveCount(), 1u);
  const Recorder::Receive r = rec.receive(0);
  EXPECT_EQ(r.buffer, post == hsBusy ? first : second);
  EXPECT_EQ(r.failed, 0);
  EXPECT_EQ(HECIReceiveMessage(core, second, sizeof second), hsAccepted);

  // The limit of the new connection replaces the old one.
  Sim_Configure(with<SimScenario>([](auto& s) { s.maxMessageLength = 256; }));
  ASSERT_EQ(HECIReconnect(core), hsSuccess);
  EXPECT_EQ(core->maxMessageLength, 256u);
  EXPECT_EQ(HECISendMessage(core, kVersionQuery.data(), 11), hsAccepted);
  EXPECT_EQ(Sim_GetStats().versionQueries, 1u);
}

// Posts until the core takes the request: one posted where no device is
// read is dropped soon, not refused as busy for ever.
bool postUntilAccepted(HECICore* core, uint8_t* buffer, uint32_t size) {
  const auto start = SimClock::now();
  while (msSince(start) < 2000) {
    const HECIStatus s = HECIReceiveMessage(core, buffer, size);
    if (s == hsAccepted) return true;
    EXPECT_EQ(s, hsBusy);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

TEST_F(CoreTest, SendAfterAFailedReconnectFailsThroughTheCallback) {
  open();
  Sim_Configure(with<SimScenario>([](auto& s) { s.devicePresent = false; }));
  Output out;
  EXPECT_EQ(HECIReconnect(core), hsFailure);
  EXPECT_EQ(core->isValid, 1);
  EXPECT_EQ(HECISendMessage(core, kVersionQuery.data(), 11), hsFailure);
  ASSERT_EQ(rec.sends.size(), 1u);
  EXPECT_EQ(rec.sends[0], std::make_pair(1, 0u));
  // Without a device a posted request is not read, and does not stay.
  uint8_t buffer[512];
  EXPECT_EQ(HECIReceiveMessage(core, buffer, sizeof buffer), hsAccepted);
  EXPECT_TRUE(postUntilAccepted(core, buffer, sizeof buffer));
  EXPECT_EQ(out.take(), "");
  EXPECT_EQ(rec.receiveCount(), 0u);
  Sim_Configure(SimScenario{});
  ASSERT_EQ(HECIReconnect(core), hsSuccess);
  // The last request is either dropped already or now read on the new device.
  const HECIStatus s = HECIReceiveMessage(core, buffer, sizeof buffer);
  EXPECT_TRUE(s == hsAccepted || s == hsBusy) << s;
  Sim_InjectFrame({0x05, 0, 0, 0, 0, 0});
  ASSERT_TRUE(rec.waitReceives(1));
  EXPECT_EQ(rec.receive(0).failed, 0);
}

TEST_F(CoreTest, AFailedWriteIsReportedToTheSendCallback) {
  open(with<SimScenario>([](auto& s) { s.failWriteNumber = 1; }));
  Output out;
  EXPECT_EQ(HECISendMessage(core, kVersionQuery.data(), 11), hsFailure);
  EXPECT_EQ(out.take(), "ERROR   : HECI_Write : write() failed, errno : 5 (Input/output error)\n");
  ASSERT_EQ(rec.sends.size(), 1u);
  EXPECT_EQ(rec.sends[0], std::make_pair(1, 0u));
  EXPECT_EQ(HECISendMessage(core, kVersionQuery.data(), 11), hsAccepted);
  EXPECT_EQ(rec.sends[1], std::make_pair(0, 11u));
}

TEST(CoreOpen, PortFailuresArePassedUpWithoutACore) {
  HECICore* core = reinterpret_cast<HECICore*>(&core);
  Sim_Configure(with<SimScenario>([](auto& s) { s.devicePresent = false; }));
  {
    Output out;
    EXPECT_EQ(HECIOpen(&core), hsDeviceNotFound);
    EXPECT_EQ(out.take(), "");
    EXPECT_EQ(core, nullptr);
  }
  Sim_Configure(with<SimScenario>([](auto& s) { s.connectFails = true; }));
  {
    Output out;
    EXPECT_EQ(HECIOpen(&core), hsDeviceError);
    EXPECT_EQ(out.take(),
              "ERROR   : HECILinux : IOCTL_MEI_CONNECT_CLIENT failed : ioctl return -1, errno : 25 (no such client)\n");
    EXPECT_EQ(core, nullptr);
    EXPECT_EQ(Sim_GetStats().closes, 1u);
  }
  Sim_Configure(with<SimScenario>([](auto& s) { s.failFirstOpens = 1; }));
  {
    Output out;
    EXPECT_EQ(HECIOpen(&core), hsDeviceNotFound);
    EXPECT_EQ(out.take(), "ERROR   : HECILinux : failed to open handle, errno : 19 (device not ready or ME reset)\n");
  }
  ASSERT_EQ(HECIOpen(&core), hsSuccess);
  HECIClose(core);
  HECIClose(nullptr);
}

TEST(CoreStress, OpeningPostingAndClosingInQuickSuccession) {
  // Close races the dispatch thread between taking a request and reading.
  Sim_Configure(with<SimScenario>([](auto& s) { s.framesOnConnect = SimFrames({{0x05, 0, 0, 0, 0, 0}}); }));
  for (int i = 0; i < 200; ++i) {
    HECICore* core = nullptr;
    ASSERT_EQ(HECIOpen(&core), hsSuccess);
    Recorder r;
    r.attach(core);
    uint8_t buffer[512];
    HECIReceiveMessage(core, buffer, sizeof buffer);
    if (i % 2) std::this_thread::yield();
    if (i % 3 == 0) {
      std::thread reconnect([&] { HECIReconnect(core); });
      reconnect.join();
    }
    HECIClose(core);
  }
  EXPECT_EQ(Sim_GetStats().openConnections, 0u);
}

}  // namespace
