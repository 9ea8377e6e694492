// The scheduler's failure reports: names of threads and objects, the last
// decisions, each thread's state and the wait-for cycle of a deadlock.
#include <dlfcn.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "DstState.h"

namespace dst::detail {

uint32_t serialOf(World* w, Object* o) {
  if (o->serialWorld != w->id) {
    o->serialWorld = w->id;
    o->serial = w->nextSerial++;
  }
  return o->serial;
}

std::string objectName(World* w, Object* o) {
  if (o == nullptr) return "nothing (a sleep)";
  char b[64];
  std::snprintf(b, sizeof b, "%s#%u", o->kind, serialOf(w, o));
  return b;
}

std::string threadName(const Thread* t) {
  char b[64];
  std::snprintf(b, sizeof b, "T%d%s%s", t->index, t->name[0] ? " " : "", t->name);
  return b;
}

std::string callerText(const void* caller) {
  if (caller == nullptr) return "";
  Dl_info info;
  char b[160];
  if (dladdr(caller, &info) != 0 && info.dli_fname != nullptr) {
    const char* base = std::strrchr(info.dli_fname, '/');
    std::snprintf(b, sizeof b, " from %s+0x%zx", base ? base + 1 : info.dli_fname,
                  static_cast<size_t>(static_cast<const char*>(caller) - static_cast<const char*>(info.dli_fbase)));
  } else {
    std::snprintf(b, sizeof b, " from %p", caller);
  }
  return b;
}

std::string decisionText(World*, const Decision& d) {
  char b[96];
  std::snprintf(b, sizeof b, "#%" PRIu64 " t=%" PRIu64 ".%06" PRIu64 "ms T%d ", d.step, d.ns / 1000000,
                d.ns % 1000000, d.thread);
  std::string s = b;
  s += d.call;
  s += " ";
  if (d.objectKind == nullptr) {
    s += "nothing (a sleep)";
  } else {
    char o[64];
    std::snprintf(o, sizeof o, "%s#%u", d.objectKind, d.objectSerial);
    s += o;
  }
  s += callerText(d.caller);
  if (d.chosen == -2) {
    s += " -> nobody";
  } else if (d.chosen < 0) {
    s += " -> clock";
  } else {
    s += " -> T" + std::to_string(d.chosen);
  }
  return s;
}

std::string lastDecisions(World* w) {
  std::string s = "last decisions:\n";
  const uint64_t first = w->ringCount > kRing ? w->ringCount - kRing : 0;
  for (uint64_t i = first; i < w->ringCount; ++i) {
    s += "  " + decisionText(w, w->ring[i % kRing]) + "\n";
  }
  return s;
}

std::string threadStates(World* w) {
  std::string s;
  for (Thread* t : w->threads) {
    s += "  " + threadName(t) + ": ";
    if (t->state == State::Finished) {
      s += "finished\n";
      continue;
    }
    if (t->state == State::Runnable) {
      s += std::string("runnable, last point ") + t->lastCall.load() + "\n";
      continue;
    }
    s += std::string("blocked in ") + t->waitCall + " on " + objectName(w, t->waitObject);
    if (t->waitObject != nullptr && t->waitObject->holder >= 0) {
      s += " held by T" + std::to_string(t->waitObject->holder);
    }
    if (t->wakeAt != kNoDeadline) s += " until t=" + std::to_string(t->wakeAt) + "ns";
    s += "\n";
  }
  return s;
}

// The first cycle of the wait-for graph: thread -> object -> holder -> ...
std::string waitCycle(World* w) {
  for (Thread* start : w->threads) {
    std::vector<int32_t> path;
    Thread* t = start;
    while (t != nullptr && t->state == State::Blocked && t->waitObject != nullptr &&
           t->waitObject->holder >= 0 && path.size() <= w->threads.size()) {
      for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] == t->index) {
          std::string s = "cycle:";
          for (size_t j = i; j < path.size(); ++j) {
            Thread* p = w->threads[static_cast<size_t>(path[j])];
            s += " " + threadName(p) + " waits for " + objectName(w, p->waitObject) + " held by";
          }
          return s + " " + threadName(t) + "\n";
        }
      }
      path.push_back(t->index);
      t = w->threads[static_cast<size_t>(t->waitObject->holder)];
    }
  }
  return "cycle: none (threads wait for events that nobody will set)\n";
}

}  // namespace dst::detail
