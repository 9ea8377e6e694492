// The scheduler's strategies: who runs at a point with a choice (random
// walk, PCT, sticky), drawn from the world's own random source so that a
// seed replays the same schedule.
#include <algorithm>

#include "DstState.h"

namespace dst::detail {

uint64_t splitmix(uint64_t& s) {
  uint64_t z = (s += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// PCT's set-up: d-1 change points uniform in [1,k], and the clock's
// priority above every value a change point gives.
void setUpStrategy(World* w) {
  const Options& options = w->options;
  if (options.strategy == Strategy::Pct) {
    const uint64_t k = options.pctSteps == 0 ? 1 : options.pctSteps;
    for (int i = 1; i < options.pctDepth; ++i) w->changePoints.push_back(1 + splitmix(w->rng) % k);
    std::sort(w->changePoints.begin(), w->changePoints.end());
    w->clockPriority = (splitmix(w->rng) >> 2) + static_cast<uint64_t>(options.pctDepth) + 1;
  }
}

double unit(World* w) { return static_cast<double>(splitmix(w->rng) >> 11) * 0x1.0p-53; }

// Index into enabled[0..n), or n for the clock. `self` made the point.
size_t pick(World* w, Thread* self, Thread** enabled, size_t n, bool clockOption) {
  if (w->options.strategy == Strategy::Sticky) {
    // The thread at the point goes on unless a switch is drawn: long runs of
    // one thread with a preemption anywhere, as a window needs that a
    // thread is preempted in and the others then run through.
    if (clockOption && unit(w) < w->options.clockProbability) return n;
    const double u = unit(w);
    for (size_t i = 0; i < n; ++i) {
      if (enabled[i] == self && u >= w->options.switchProbability) return i;
    }
    return static_cast<size_t>(splitmix(w->rng) % n);
  }
  if (w->options.strategy == Strategy::Random) {
    const uint64_t r = splitmix(w->rng);
    if (clockOption && static_cast<double>(r >> 11) * 0x1.0p-53 < w->options.clockProbability) return n;
    return static_cast<size_t>(splitmix(w->rng) % n);
  }
  // PCT: the highest priority runs; at a change point the option that would
  // run drops below every initial priority.
  auto best = [&] {
    size_t b = clockOption ? n : 0;
    uint64_t bp = clockOption ? w->clockPriority : enabled[0]->priority;
    for (size_t i = 0; i < n; ++i) {
      if (enabled[i]->priority > bp) {
        bp = enabled[i]->priority;
        b = i;
      }
    }
    return b;
  };
  size_t b = best();
  while (w->changesDone < w->changePoints.size() && w->changePoints[w->changesDone] == w->choiceSteps) {
    const uint64_t low = w->changePoints.size() - w->changesDone;
    if (b == n) {
      w->clockPriority = low;
    } else {
      enabled[b]->priority = low;
    }
    ++w->changesDone;
    b = best();
  }
  if (b == n) {
    // Once the clock has overtaken a runnable thread it drops below all:
    // kept high, it would fire every later deadline at once and starve a
    // low-priority thread behind a sleeping poller for ever.
    w->clockPriority = 0;
  }
  return b;
}

}  // namespace dst::detail
