// Helpers of the HECI tests: a connected device port and a recorder for the
// core's callbacks, beside the common ones.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "HECICore.h"
#include "HeciPort.h"
#include "NfcMeSimulator.h"
#include "TestSupport.h"

namespace hecitest {

using testsupport::kVersionQuery;
using testsupport::msSince;
using testsupport::Output;
using testsupport::with;

// The device port linked into the executable (the simulator's own, or the
// Linux port against the emulated /dev/mei0), opened over a scenario.
struct PortUnderTest {
  explicit PortUnderTest(const SimScenario& sc = SimScenario{}) {
    Sim_Configure(sc);
    status = HECI_Init(&device);
  }
  ~PortUnderTest() {
    HECIWin_CloseHeci(device);
    HECIWin_FreeHeci(device);
  }
  PortUnderTest(const PortUnderTest&) = delete;
  PortUnderTest& operator=(const PortUnderTest&) = delete;

  HECIStatus write(const SimFrame& f) {
    uint32_t n = 0;
    const HECIStatus s = HECI_Write(device, f.data(), static_cast<uint32_t>(f.size()), &n);
    if (s == hsSuccess) {
      EXPECT_EQ(n, f.size());
    }
    return s;
  }
  // One read of at most `size` bytes (0: the maximum message length).
  SimFrame read(HECIStatus* result = nullptr, uint32_t size = 0) {
    if (size == 0) size = HECIWin_MaxMessageLength(device);
    SimFrame buffer(size);
    uint32_t n = 0;
    const HECIStatus s = HECI_Read(device, buffer.data(), size, &n);
    if (result) *result = s;
    buffer.resize(n);
    return buffer;
  }

  HECIWinDevice* device = nullptr;
  HECIStatus status;
};

// Records the core's callbacks; an optional action runs inside the receive
// callback, on the dispatch thread.
struct Recorder {
  struct Receive {
    int32_t failed;
    uint8_t* buffer;
    SimFrame data;
  };
  std::mutex lock;
  std::condition_variable changed;
  std::vector<Receive> receives;
  std::vector<std::pair<int32_t, uint32_t>> sends;
  std::function<void(const Receive&)> onReceive;

  static void receiveCallback(void* user, int32_t failed, uint8_t* buffer, uint32_t length) {
    auto* r = static_cast<Recorder*>(user);
    Receive rec{failed, buffer, failed ? SimFrame{} : SimFrame(buffer, buffer + length)};
    {
      std::lock_guard<std::mutex> g(r->lock);
      r->receives.push_back(rec);
    }
    r->changed.notify_all();
    if (r->onReceive) r->onReceive(rec);
  }
  static void sendCallback(void* user, int32_t failed, uint32_t written) {
    auto* r = static_cast<Recorder*>(user);
    std::lock_guard<std::mutex> g(r->lock);
    r->sends.emplace_back(failed, written);
  }
  void attach(HECICore* core) {
    core->userData = this;
    core->receiveCallback = receiveCallback;
    core->sendCallback = sendCallback;
  }
  bool waitReceives(size_t n, int ms = 3000) {
    std::unique_lock<std::mutex> g(lock);
    return changed.wait_for(g, std::chrono::milliseconds(ms), [&] { return receives.size() >= n; });
  }
  size_t receiveCount() {
    std::lock_guard<std::mutex> g(lock);
    return receives.size();
  }
  Receive receive(size_t i) {
    std::lock_guard<std::mutex> g(lock);
    return receives.at(i);
  }
};

}  // namespace hecitest
