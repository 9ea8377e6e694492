// A small program over the HECI core and the real device port, run by the
// preload tests as an unmodified program would be: it sends the version
// query and prints every message it receives until the maintenance answer.
// Exit code: 0 answered, 2 open failed, 3 no answer within 2 s.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <vector>

#include "HECICore.h"

namespace {

std::mutex gLock;
std::condition_variable gChanged;
bool gAnswered = false;
std::vector<uint8_t> gBuffer;

void onReceive(void* user, int32_t failed, uint8_t* buffer, uint32_t length) {
  auto* core = static_cast<HECICore*>(user);
  std::printf("received%s:", failed ? " (failed)" : "");
  for (uint32_t i = 0; !failed && i < length; ++i) std::printf(" %02X", buffer[i]);
  std::printf("\n");
  std::fflush(stdout);
  if (!failed && length > 0 && buffer[0] == 0x00) {
    std::lock_guard<std::mutex> guard(gLock);
    gAnswered = true;
    gChanged.notify_all();
  } else if (!failed) {
    HECIReceiveMessage(core, buffer, static_cast<uint32_t>(gBuffer.size()));
  }
}

}  // namespace

int main() {
  HECICore* core = nullptr;
  const HECIStatus status = HECIOpen(&core);
  if (status != hsSuccess) {
    std::printf("open failed %u\n", status);
    return 2;
  }
  std::printf("connected, max message length %u\n", core->maxMessageLength.load());
  core->userData = core;
  core->receiveCallback = onReceive;
  gBuffer.resize(core->maxMessageLength);
  const uint8_t query[11] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1};
  HECIReceiveMessage(core, gBuffer.data(), core->maxMessageLength);
  if (HECISendMessage(core, query, sizeof query) != hsAccepted) std::printf("send failed\n");
  bool answered;
  {
    std::unique_lock<std::mutex> guard(gLock);
    answered = gChanged.wait_for(guard, std::chrono::seconds(2), [] { return gAnswered; });
  }
  HECIClose(core);
  return answered ? 0 : 3;
}
