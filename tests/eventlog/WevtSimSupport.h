// Test access to the wevtapi stand-in (sim/wevtapi/WevtSim.h) that this
// suite loads in place of the system's wevtapi.dll: its controls, looked up
// by name in the module that is actually loaded.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "TestSupport.h"
#include "WevtSim.h"

namespace wevtsim {

struct Controls {
  HMODULE module = nullptr;
  WevtSim_PublishFn publish = nullptr;
  WevtSim_PublishErrorFn publishError = nullptr;
  WevtSim_DrainFn drain = nullptr;
  WevtSim_SetSubscribeFaultFn setSubscribeFault = nullptr;
  WevtSim_SetRenderFaultFn setRenderFault = nullptr;
  WevtSim_CountsFn counts = nullptr;

  bool loaded() const {
    return publish != nullptr && publishError != nullptr && drain != nullptr &&
           setSubscribeFault != nullptr && setRenderFault != nullptr && counts != nullptr;
  }
  WevtSimCounts now() const {
    WevtSimCounts c{};
    counts(&c);
    return c;
  }
};

template <typename T>
T lookUp(HMODULE module, const char* name) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// The controls of the wevtapi.dll this process has loaded; all null when it
// is not the stand-in.
inline const Controls& sim() {
  static const Controls controls = [] {
    Controls c;
    c.module = GetModuleHandleW(L"wevtapi.dll");
    if (c.module != nullptr) {
      c.publish = lookUp<WevtSim_PublishFn>(c.module, "WevtSim_Publish");
      c.publishError = lookUp<WevtSim_PublishErrorFn>(c.module, "WevtSim_PublishError");
      c.drain = lookUp<WevtSim_DrainFn>(c.module, "WevtSim_Drain");
      c.setSubscribeFault = lookUp<WevtSim_SetSubscribeFaultFn>(c.module, "WevtSim_SetSubscribeFault");
      c.setRenderFault = lookUp<WevtSim_SetRenderFaultFn>(c.module, "WevtSim_SetRenderFault");
      c.counts = lookUp<WevtSim_CountsFn>(c.module, "WevtSim_Counts");
    }
    return c;
  }();
  return controls;
}

// Generous: a delivery on a loaded two-core machine under Wine still takes
// only milliseconds; this only turns a hang into a failure.
constexpr uint32_t kDrainMs = 10000;

using testsupport::Output;
using testsupport::waitFor;
using testsupport::waitUntil;

}  // namespace wevtsim
