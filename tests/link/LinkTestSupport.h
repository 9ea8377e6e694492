// Helpers shared by the link layer's scenario tests: captured log output,
// recorded event-log reports, frame builders and a clock.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "EventLogReport.h"
#include "Mutex.h"
#include "NfcMeSimulator.h"
#include "vxHECICommunicationLayer.h"

namespace linktest {

inline long long msSince(SimClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(SimClock::now() - start).count();
}

// Polls `condition` every 5 ms for up to `timeoutMs`; true once it holds.
inline bool waitUntil(const std::function<bool()>& condition, long long timeoutMs) {
  const auto end = SimClock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (condition()) return true;
    if (SimClock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// sendPending as read under the context's lock (the dispatcher and the timer
// write it from their own threads).
inline int32_t pendingFlag(NfcMeContext* ctx) {
  Mutex_Lock(ctx->lock);
  const int32_t value = ctx->sendPending;
  Mutex_Unlock(ctx->lock);
  return value;
}

// Captures standard output; Windows text mode adds '\r', which we drop.
class Output {
 public:
  Output() { testing::internal::CaptureStdout(); }
  std::string take() {
    std::string s = testing::internal::GetCapturedStdout();
    s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
    return s;
  }
};

inline size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Every event-log report, in order, with the time it was made.
struct Reports {
  struct Entry {
    uint32_t id;
    SimClock::time_point when;
  };
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  static std::vector<Entry>& entries() {
    static std::vector<Entry> e;
    return e;
  }
  static void observe(const EventLogReport& report, bool) {
    std::lock_guard<std::mutex> hold(mutex());
    entries().push_back({report.eventId, SimClock::now()});
  }
  Reports() {
    entries().clear();
    EventLog_SetReportObserver(observe);
  }
  ~Reports() { EventLog_SetReportObserver(nullptr); }
  std::vector<Entry> all() const {
    std::lock_guard<std::mutex> hold(mutex());
    return entries();
  }
  std::vector<uint32_t> ids() const {
    std::vector<uint32_t> out;
    for (const auto& e : all()) out.push_back(e.id);
    return out;
  }
};

inline const SimFrame kVersionQuery = {0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x00, 0x01};

// A 25-byte VersionQuery answer with reply status 0 and record bytes
// 0x40..0x4C.
inline SimFrame versionAnswer() {
  SimFrame a = {0, 0, 0, 0, 0, 0, 0, 0, 15, 0, 0x01, 0x00};
  for (uint8_t i = 0; i < 13; ++i) a.push_back(static_cast<uint8_t>(0x40 + i));
  return a;
}

inline std::vector<uint8_t> recordBytes(const MeQueryInfo& info) {
  const auto* p = reinterpret_cast<const uint8_t*>(&info);
  return {p, p + sizeof info};
}

inline MeQueryInfo freshInfo() {
  MeQueryInfo info;
  std::memset(&info, 0xEE, sizeof info);
  return info;
}

// A connected context over the simulator with the given scenario.
struct Link {
  NfcMeContext* ctx = nullptr;
  explicit Link(const SimScenario& scenario = SimScenario{}) {
    Sim_Configure(scenario);
    EXPECT_EQ(vxHECI_Connect(&ctx, this), 0);
  }
  ~Link() { vxHECI_Close(ctx); }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;
};

}  // namespace linktest
