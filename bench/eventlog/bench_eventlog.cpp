// Cost of the stand-in event source: the round trip from publishing an
// event to its delivery on the source's thread.
#include <benchmark/benchmark.h>

#include <atomic>

#include "MeiEventSource.h"
#include "OsEvent.h"

namespace {

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
