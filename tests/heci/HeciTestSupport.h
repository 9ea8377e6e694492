// Helpers of the HECI tests: a recorder for the core's callbacks, beside the
// common ones.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "HECICore.h"
#include "NfcMeSimulator.h"
#include "TestSupport.h"

namespace hecitest {

using testsupport::kVersionQuery;
using testsupport::msSince;
using testsupport::Output;

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
