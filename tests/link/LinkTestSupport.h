// Helpers shared by the link layer's scenario tests: recorded event-log
// reports, frame builders and a connected link, beside the common ones.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "EventLogReport.h"
#include "Mutex.h"
#include "NfcMeSimulator.h"
#include "TestSupport.h"
#include "vxHECICommunicationLayer.h"

namespace linktest {

using testsupport::count;
using testsupport::kVersionQuery;
using testsupport::latestMs;
using testsupport::msSince;
using testsupport::Output;
using testsupport::waitUntil;
using testsupport::with;

// sendPending as read under the context's lock (the dispatcher and the timer
// write it from their own threads).
inline int32_t pendingFlag(NfcMeContext* ctx) {
  Mutex_Lock(ctx->lock);
  const int32_t value = ctx->sendPending;
  Mutex_Unlock(ctx->lock);
  return value;
}

// Every event-log report, in order, with the time it was made.
struct Reports {
  struct Entry {
    uint32_t id;
    SimClock::time_point when;
  };
  static osal_sync::Mutex& mutex() {
    static osal_sync::Mutex m;
    return m;
  }
  static std::vector<Entry>& entries() {
    static std::vector<Entry> e;
    return e;
  }
  static void observe(const EventLogReport& report, bool) {
    std::lock_guard<osal_sync::Mutex> hold(mutex());
    entries().push_back({report.eventId, SimClock::now()});
  }
  Reports() {
    entries().clear();
    EventLog_SetReportObserver(observe);
  }
  ~Reports() { EventLog_SetReportObserver(nullptr); }
  std::vector<Entry> all() const {
    std::lock_guard<osal_sync::Mutex> hold(mutex());
    return entries();
  }
  std::vector<uint32_t> ids() const {
    std::vector<uint32_t> out;
    for (const auto& e : all()) out.push_back(e.id);
    return out;
  }
};

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

// A link over `scenario` and one version query on it, as most link tests
// begin: the reports are recorded and the output captured from before the
// query; `result` and `ms` are the query's.
struct QueryOnce {
  explicit QueryOnce(const SimScenario& scenario = SimScenario{}) : link(scenario) {
    result = vxHECI_QueryInfo(link.ctx, &info);
    ms = msSince(start);
  }
  Link link;
  Reports reports;
  MeQueryInfo info = freshInfo();
  SimClock::time_point start = SimClock::now();
  Output out;
  int32_t result = -1;
  long long ms = 0;
};

}  // namespace linktest
