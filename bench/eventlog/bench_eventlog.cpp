// Cost of the stand-in event source: evaluating the watcher's query, and the
// round trip from publishing an event to its delivery on the source's thread.
#include <benchmark/benchmark.h>

#include <atomic>

#include "MeiEventQuery.h"
#include "MeiEventSource.h"
#include "OsEvent.h"

namespace {

void BM_QueryMatch(benchmark::State& state) {
  MeiEventQuery query;
  query.parse(kOsEventQuery);
  const MeiEventFields events[] = {{"MEI", 1, 2}, {"MEIx64", 4, 4}, {"Disk", 1, 2}, {"MEI", 7, 4}};
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(query.matches(events[i++ & 3]));
  }
}
BENCHMARK(BM_QueryMatch);

void BM_QueryParse(benchmark::State& state) {
  for (auto _ : state) {
    MeiEventQuery query;
    benchmark::DoNotOptimize(query.parse(kOsEventQuery));
  }
}
BENCHMARK(BM_QueryParse);

std::atomic<uint64_t> gDelivered{0};
uint32_t countDelivery(uint32_t, void*, void*) {
  gDelivered.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

void BM_PublishToDelivery(benchmark::State& state) {
  uint32_t error = 0;
  MeiSubscription* s =
      MeiEventSource_Subscribe(kOsEventChannel, kOsEventQuery, countDelivery, nullptr, &error);
  for (auto _ : state) {
    MeiEventSource_Publish("MEI", 4, 4);
    MeiEventSource_Drain();
  }
  MeiEventSource_Close(s);
  state.counters["delivered"] = static_cast<double>(gDelivered.load());
}
BENCHMARK(BM_PublishToDelivery)->UseRealTime();

}  // namespace
