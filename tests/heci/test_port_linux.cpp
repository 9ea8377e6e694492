// The Linux MEI port, unchanged, against the emulated /dev/mei0 that is
// compiled into this executable.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>

#include "HeciPort_linux.h"
#include "PortSuite.h"

using namespace hecitest;

namespace {

struct LinuxPort {};
INSTANTIATE_TYPED_TEST_SUITE_P(LinuxPort, PortSuite, LinuxPort);

// While the test runs, the emulated device's server threads see the write
// before the model does: wait for the model.
bool waitForStats(const std::function<bool(const SimStats&)>& c) { return Sim_WaitFor(c, testsupport::kPatienceMs); }

TEST(LinuxPort, ConnectsTheClientAndLearnsItsMaximum) {
  Output out;
  {
    PortUnderTest d(with<SimScenario>([](auto& s) { s.maxMessageLength = 300; }));
    ASSERT_EQ(d.status, hsSuccess);
    EXPECT_TRUE(HECIWin_IsOpen(d.device));
    EXPECT_EQ(HECIWin_MaxMessageLength(d.device), 300u);
    const SimStats s = Sim_GetStats();
    EXPECT_EQ(s.opens, 1u);
    EXPECT_EQ(s.connects, 1u);
  }
  EXPECT_TRUE(waitForStats([](const SimStats& s) { return s.closes == 1 && s.openConnections == 0; }));
  EXPECT_EQ(out.take(), "");
}

TEST(LinuxPort, WritesAndReadsWholeMessages) {
  SimScenario sc;
  sc.framesAfterAnswer = SimFrames({{0x05, 0, 0, 0, 2, 0, 0xCA, 0xFE}});
  PortUnderTest d(sc);
  ASSERT_EQ(d.status, hsSuccess);
  ASSERT_EQ(d.write(kVersionQuery), hsSuccess);
  ASSERT_TRUE(Sim_WaitForWrites(1, testsupport::kPatienceMs));
  EXPECT_EQ(Sim_Writes()[0].bytes, kVersionQuery);
  // Two queued messages come as two reads, each whole.
  const SimFrame answer = d.read();
  ASSERT_EQ(answer.size(), 25u);
  EXPECT_EQ(answer[8], 15);
  EXPECT_EQ(answer[24], 2);
  EXPECT_EQ(d.read(), SimFrame({0x05, 0, 0, 0, 2, 0, 0xCA, 0xFE}));
  // A caller's buffer below the maximum still gets whole messages.
  Sim_InjectFrame({0x11, 0, 0, 0, 0, 0});
  EXPECT_EQ(d.read(nullptr, 8), SimFrame({0x11, 0, 0, 0, 0, 0}));
}

TEST(LinuxPort, CloseWakesABlockedReaderAtOnce) {
  PortUnderTest d;
  ASSERT_EQ(d.status, hsSuccess);
  std::atomic<HECIStatus> result{99};
  std::atomic<bool> returned{false};
  SimClock::time_point woke;
  std::thread reader([&] {
    HECIStatus s;
    d.read(&s);
    woke = SimClock::now();
    result = s;
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(returned);
  const auto start = SimClock::now();
  HECIWin_CloseHeci(d.device);
  reader.join();
  const long long wakeMs = std::chrono::duration_cast<std::chrono::milliseconds>(woke - start).count();
  EXPECT_EQ(result, hsNoDevice);
  // A reader the close did not wake would sleep in poll() for ever; any
  // bound well short of the test's own time-out tells the two apart.
  EXPECT_LT(wakeMs, 5000) << "the reader woke after " << wakeMs << " ms";
  std::printf("close woke the reader in %lld ms\n", wakeMs);
  EXPECT_FALSE(HECIWin_IsOpen(d.device));
  EXPECT_EQ(d.write(kVersionQuery), hsNoDevice);
  EXPECT_EQ(d.read().size(), 0u);
  EXPECT_TRUE(waitForStats([](const SimStats& s) { return s.closes == 1; }));
}

TEST(LinuxPort, ReadsAndWaitsSurviveSignals) {
  struct sigaction sa = {};
  sa.sa_handler = [](int) {};
  sigemptyset(&sa.sa_mask);
  struct sigaction old = {};
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);  // no SA_RESTART: poll() ends with EINTR
  PortUnderTest d;
  ASSERT_EQ(d.status, hsSuccess);
  SimFrame got;
  HECIStatus status = hsDeviceError;
  std::thread reader([&] { got = d.read(&status); });
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pthread_kill(reader.native_handle(), SIGUSR1);
  }
  Sim_InjectFrame({0x20, 0, 0, 0, 0, 0});
  reader.join();
  EXPECT_EQ(status, hsSuccess);
  EXPECT_EQ(got, SimFrame({0x20, 0, 0, 0, 0, 0}));
  sigaction(SIGUSR1, &old, nullptr);
}

TEST(LinuxPort, ConnectFailuresAreDeviceErrors) {
  SimScenario sc;
  sc.connectFails = true;  // ENOTTY: the firmware has no such client
  {
    Output out;
    PortUnderTest d(sc);
    EXPECT_EQ(d.status, hsDeviceError);
    EXPECT_EQ(d.device, nullptr);
    EXPECT_EQ(out.take(),
              "ERROR   : HECILinux : IOCTL_MEI_CONNECT_CLIENT failed : ioctl return -1, errno : 25 (no such client)\n");
    EXPECT_TRUE(waitForStats([](const SimStats& s) { return s.failedConnects == 1 && s.closes == 1; }));
  }
  sc.connectFails = false;
  sc.maxMessageLength = 0;
  {
    Output out;
    PortUnderTest d(sc);
    EXPECT_EQ(d.status, hsDeviceError);
    EXPECT_EQ(out.take(), "ERROR   : HECILinux : IOCTL_MEI_CONNECT_CLIENT failed : max_msg_length 0\n");
  }
}

TEST(LinuxPort, AReadErrorFailsOneRead) {
  SimScenario sc;
  sc.answerMode = ANSWER_READERROR;
  sc.framesBeforeAnswer = SimFrames({{0x05, 0, 0, 0, 0, 0}});
  PortUnderTest d(sc);
  ASSERT_EQ(d.status, hsSuccess);
  Output out;
  ASSERT_EQ(d.write(kVersionQuery), hsSuccess);
  EXPECT_EQ(d.read(), SimFrame({0x05, 0, 0, 0, 0, 0}));
  HECIStatus status = hsSuccess;
  d.read(&status);
  EXPECT_EQ(status, hsDeviceError);
  Sim_InjectFrame({0x13, 0, 0, 0, 0, 0});
  EXPECT_EQ(d.read(&status), SimFrame({0x13, 0, 0, 0, 0, 0}));
  EXPECT_EQ(status, hsSuccess);
  EXPECT_EQ(out.take(), "ERROR   : HECI_Read : read() failed, errno : 5 (Input/output error)\n");
}

TEST(LinuxPort, NoDeviceAndRefusedOpens) {
  SimScenario sc;
  sc.devicePresent = false;
  {
    Output out;
    PortUnderTest d(sc);
    EXPECT_EQ(d.status, hsDeviceNotFound);
    EXPECT_EQ(d.device, nullptr);
    EXPECT_EQ(out.take(), "");
  }
  sc.devicePresent = true;
  sc.failFirstOpens = 1;
  sc.openErrno = EACCES;
  Sim_Configure(sc);
  Output out;
  HECIWinDevice* device = nullptr;
  EXPECT_EQ(HECI_Init(&device), hsDeviceNotFound);
  EXPECT_EQ(out.take(), "ERROR   : HECILinux : failed to open handle, errno : 13 (no permission)\n");
  ASSERT_EQ(HECI_Init(&device), hsSuccess);
  HECIWin_CloseHeci(device);
  HECIWin_FreeHeci(device);
}

// The emulated machine's /sys/class/mei, through the C library's own calls
// as the port and the watcher make them.
std::string readText(const char* path) {
  std::ifstream in(path);
  std::string text;
  std::getline(in, text);
  return text;
}

std::string readState(int fd) {
  char text[32] = {};
  const ssize_t n = pread(fd, text, sizeof text - 1, 0);
  return n > 0 ? std::string(text, static_cast<size_t>(n) - 1) : "(failed)";
}

TEST(LinuxPort, TheMachineListsMei0InItsClassFolderAndResetsItWhenTheScenarioSays) {
  SimScenario sc;
  sc.devicePresent = false;
  Sim_Configure(sc);
  errno = 0;
  EXPECT_EQ(opendir("/sys/class/mei"), nullptr) << "no device, no MEI driver, no class folder";
  EXPECT_EQ(errno, ENOENT);

  sc.devicePresent = true;
  sc.meResetMs = 200;
  Sim_Configure(sc);
  DIR* dir = opendir("/sys/class/mei");
  ASSERT_NE(dir, nullptr);
  std::vector<std::string> names;
  while (const dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') names.emplace_back(e->d_name);
  }
  closedir(dir);
  EXPECT_EQ(names, std::vector<std::string>{"mei0"});
  EXPECT_EQ(readText("/sys/class/mei/mei0/kind"), "mei");
  const int state = open("/sys/class/mei/mei0/dev_state", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(state, 0);
  EXPECT_EQ(readState(state), "ENABLED");

  // Nothing to wake a watcher until the ME resets, 200 ms after the connect.
  pollfd p{state, POLLPRI | POLLERR, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0);
  PortUnderTest d(sc);
  ASSERT_EQ(d.status, hsSuccess);
  std::vector<std::string> seen;
  while (seen.empty() || seen.back() != "ENABLED") {
    p.revents = 0;
    ASSERT_EQ(poll(&p, 1, 10000), 1) << "no notification";
    EXPECT_EQ(p.revents, POLLPRI | POLLERR);
    seen.push_back(readState(state));
    ASSERT_LE(seen.size(), 2u);
  }
  // Read between the two changes, or only after both.
  EXPECT_TRUE(seen == std::vector<std::string>({"RESETTING", "ENABLED"}) ||
              seen == std::vector<std::string>({"ENABLED"}));
  close(state);
}

TEST(LinuxPort, AWriteRefusedByTheDevice) {
  PortUnderTest d(with<SimScenario>([](auto& s) { s.failWriteNumber = 2; s.writeErrno = EBUSY; }));
  ASSERT_EQ(d.status, hsSuccess);
  Output out;
  EXPECT_EQ(d.write(kVersionQuery), hsSuccess);
  EXPECT_EQ(d.write(kVersionQuery), hsDeviceError);
  EXPECT_EQ(d.write(SimFrame(513, 1)), hsDeviceError);  // longer than the client takes
  EXPECT_EQ(out.take(),
            "ERROR   : HECI_Write : write() failed, errno : 16 (already connected or refused)\n"
            "ERROR   : HECI_Write : write() failed, errno : 27 (message too long)\n");
}

TEST(LinuxPort, TheCoreOverTheRealPort) {
  Sim_Configure(with<SimScenario>([](auto& s) { s.radioType = 17; }));
  HECICore* core = nullptr;
  ASSERT_EQ(HECIOpen(&core), hsSuccess);
  Recorder rec;
  rec.attach(core);
  std::vector<uint8_t> buffer(core->maxMessageLength);
  ASSERT_EQ(HECISendMessage(core, kVersionQuery.data(), 11), hsAccepted);
  ASSERT_EQ(HECIReceiveMessage(core, buffer.data(), core->maxMessageLength), hsAccepted);
  ASSERT_TRUE(rec.waitReceives(1));
  EXPECT_EQ(rec.receive(0).failed, 0);
  EXPECT_EQ(rec.receive(0).data.size(), 25u);
  EXPECT_EQ(rec.receive(0).data[24], 17);
  // A close during the next blocked read: no callback.
  ASSERT_EQ(HECIReceiveMessage(core, buffer.data(), core->maxMessageLength), hsAccepted);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  HECIClose(core);
  EXPECT_EQ(rec.receiveCount(), 1u);
}

}  // namespace
