// One version query and its answer per iteration, two ways over the same
// emulated device (its server threads and socket are common to both):
//   BM_CoreRoundTrip: HECISendMessage, HECIReceiveMessage, the answer
//     delivered by the dispatch thread through the Linux port;
//   BM_BareRoundTrip: a single thread doing write, poll and read itself.
// Their ratio is the cost of the core and the port over the bare calls.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/mei.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "HECICore.h"
#include "HeciPort.h"
#include "NfcMeSimulator.h"

namespace {

const uint8_t kQuery[11] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1};

struct Answer {
  std::mutex lock;
  std::condition_variable arrived;
  bool done = false;
  uint32_t length = 0;
};

void onReceive(void* user, int32_t, uint8_t*, uint32_t length) {
  auto* a = static_cast<Answer*>(user);
  std::lock_guard<std::mutex> g(a->lock);
  a->done = true;
  a->length = length;
  a->arrived.notify_one();
}

void BM_CoreRoundTrip(benchmark::State& state) {
  Sim_Configure(SimScenario{});
  HECICore* core = nullptr;
  if (HECIOpen(&core) != hsSuccess) {
    state.SkipWithError("HECIOpen failed");
    return;
  }
  Answer answer;
  core->userData = &answer;
  core->receiveCallback = onReceive;
  std::vector<uint8_t> buffer(core->maxMessageLength);
  for (auto _ : state) {
    {
      std::lock_guard<std::mutex> g(answer.lock);
      answer.done = false;
    }
    HECIReceiveMessage(core, buffer.data(), core->maxMessageLength);
    HECISendMessage(core, kQuery, sizeof kQuery);
    std::unique_lock<std::mutex> g(answer.lock);
    answer.arrived.wait(g, [&] { return answer.done; });
    if (answer.length != 25) state.SkipWithError("wrong answer");
  }
  HECIClose(core);
}
BENCHMARK(BM_CoreRoundTrip)->UseRealTime();

void BM_BareRoundTrip(benchmark::State& state) {
  Sim_Configure(SimScenario{});
  const int fd = ::open("/dev/mei0", O_RDWR | O_CLOEXEC);
  struct mei_connect_client_data data;
  std::memset(&data, 0, sizeof data);
  std::memcpy(&data.in_client_uuid, kNfcMeClientGuidBytes, sizeof kNfcMeClientGuidBytes);
  if (fd < 0 || ::ioctl(fd, IOCTL_MEI_CONNECT_CLIENT, &data) != 0) {
    state.SkipWithError("open or connect failed");
    return;
  }
  std::vector<uint8_t> buffer(data.out_client_properties.max_msg_length);
  for (auto _ : state) {
    if (::write(fd, kQuery, sizeof kQuery) != sizeof kQuery) state.SkipWithError("write failed");
    struct pollfd p = {fd, POLLIN, 0};
    ::poll(&p, 1, -1);
    if (::read(fd, buffer.data(), buffer.size()) != 25) state.SkipWithError("wrong answer");
  }
  ::close(fd);
}
BENCHMARK(BM_BareRoundTrip)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
