// The wevtapi stand-in against the event log API's documented contract,
// called as a program calls the system's DLL: that it is the module loaded,
// subscription errors, deliveries on a thread of their own, the two-call
// render protocol with EVT_VARIANT values, and what EvtClose guarantees.
#include <windows.h>
#include <winevt.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "OsEvent.h"
#include "WevtSimSupport.h"

using namespace wevtsim;

// The layout the watcher reads, on this width as on Windows.
static_assert(sizeof(EVT_VARIANT) == 16, "EVT_VARIANT is 16 bytes");
static_assert(offsetof(EVT_VARIANT, Count) == 8 && offsetof(EVT_VARIANT, Type) == 12,
              "Count and Type follow the 8-byte value");

namespace {

class StandIn : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim().loaded()) << "the loaded wevtapi.dll is not the stand-in";
    before_ = sim().now();
  }
  void TearDown() override {
    sim().setSubscribeFault(0);
    sim().setRenderFault(kWevtSimRenderFaultNone);
    const WevtSimCounts after = sim().now();
    EXPECT_EQ(after.subscriptions, before_.subscriptions);
    EXPECT_EQ(after.renderContexts, before_.renderContexts);
  }
  WevtSimCounts before_{};
};

std::wstring directoryOf(const wchar_t* path) {
  std::wstring p(path);
  return p.substr(0, p.find_last_of(L"\\/"));
}

struct Seen {
  std::atomic<int> delivered{0};
  std::atomic<int> errors{0};
  std::atomic<uint32_t> lastError{0};
  std::atomic<DWORD> threadId{0};
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  std::atomic<bool> hold{false};     // deliveries wait for `release`
  std::atomic<bool> release{false};
};

DWORD WINAPI recordCallback(EVT_SUBSCRIBE_NOTIFY_ACTION action, PVOID context, EVT_HANDLE event) {
  auto* seen = static_cast<Seen*>(context);
  if (++seen->running > 1) {
    seen->overlapped = true;
  }
  seen->threadId = GetCurrentThreadId();
  if (action == EvtSubscribeActionError) {
    seen->lastError = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(event));
    ++seen->errors;
  } else {
    if (seen->hold) {
      waitFor(seen->release);
    }
    ++seen->delivered;
  }
  --seen->running;
  return ERROR_SUCCESS;
}

EVT_HANDLE subscribe(const wchar_t* channel, const wchar_t* query, Seen* seen) {
  SetLastError(ERROR_SUCCESS);
  return EvtSubscribe(nullptr, nullptr, channel, query, nullptr, seen, recordCallback,
                      EvtSubscribeToFutureEvents);
}

}  // namespace

TEST_F(StandIn, IsTheWevtapiThatIsLoadedBesideTheProgramWithPlainExportNames) {
  wchar_t exe[MAX_PATH];
  wchar_t dll[MAX_PATH];
  ASSERT_NE(GetModuleFileNameW(nullptr, exe, MAX_PATH), 0u);
  ASSERT_NE(GetModuleFileNameW(sim().module, dll, MAX_PATH), 0u);
  EXPECT_EQ(directoryOf(dll), directoryOf(exe));
  for (const char* name : {"EvtSubscribe", "EvtCreateRenderContext", "EvtRender", "EvtClose"}) {
    EXPECT_NE(GetProcAddress(sim().module, name), nullptr) << name;
  }
}

TEST_F(StandIn, SubscribeFailsWithTheDocumentedCodes) {
  Seen seen;
  EXPECT_EQ(subscribe(L"Application", kOsEventQuery, &seen), nullptr);
  EXPECT_EQ(GetLastError(), 15007u);  // ERROR_EVT_CHANNEL_NOT_FOUND
  EXPECT_EQ(subscribe(nullptr, kOsEventQuery, &seen), nullptr);
  EXPECT_EQ(GetLastError(), 15007u);
  EXPECT_EQ(subscribe(L"System", L"*[System[EventID='4']", &seen), nullptr);
  EXPECT_EQ(GetLastError(), 15001u);  // ERROR_EVT_INVALID_QUERY
  EXPECT_EQ(subscribe(L"System", L"Event/System", &seen), nullptr);
  EXPECT_EQ(GetLastError(), 15001u);
  // Neither a callback nor a signal event: nothing to deliver to.
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(EvtSubscribe(nullptr, nullptr, L"System", kOsEventQuery, nullptr, nullptr, nullptr,
                         EvtSubscribeToFutureEvents),
            nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  // Channel names are not case-sensitive.
  EVT_HANDLE s = subscribe(L"system", kOsEventQuery, &seen);
  ASSERT_NE(s, nullptr);
  EXPECT_TRUE(EvtClose(s));
}

TEST_F(StandIn, DeliversOnlyFutureMatchingEventsAndErrorsOnAThreadOfItsOwn) {
  Seen seen;
  sim().publish("MEI", 1, 4);  // before the subscription: never delivered
  ASSERT_TRUE(sim().drain(kDrainMs));
  EVT_HANDLE s = subscribe(L"System", kOsEventQuery, &seen);
  ASSERT_NE(s, nullptr);
  sim().publish("MEI", 2, 4);
  sim().publish("Disk", 1, 4);
  sim().publish("MEIx64", 4, 4);
  sim().publish("MEI", 1, 4);
  sim().publishError(15011);
  ASSERT_TRUE(sim().drain(kDrainMs));
  EXPECT_EQ(seen.delivered, 2);
  EXPECT_EQ(seen.errors, 1);
  EXPECT_EQ(seen.lastError, 15011u);
  EXPECT_NE(seen.threadId, GetCurrentThreadId());
  EXPECT_FALSE(seen.overlapped);
  EXPECT_TRUE(EvtClose(s));
}

namespace {

struct Rendered {
  BOOL sizeCall = TRUE;
  DWORD sizeCallError = 0;
  DWORD needed = 0;
  DWORD countAtSizeCall = 0;
  BOOL shortCall = TRUE;
  DWORD shortCallError = 0;
  DWORD neededAfterShortCall = 0;
  BOOL fullCall = FALSE;
  DWORD used = 0;
  DWORD count = 0;
  std::vector<uint8_t> buffer;
  bool stringInBuffer = false;
  BOOL closeEvent = TRUE;
  DWORD closeEventError = 0;
  EVT_HANDLE event = nullptr;
};
Rendered gRendered;

DWORD WINAPI renderCallback(EVT_SUBSCRIBE_NOTIFY_ACTION action, PVOID, EVT_HANDLE event) {
  if (action != EvtSubscribeActionDeliver) {
    return 0;
  }
  Rendered& r = gRendered;
  r.event = event;
  LPCWSTR paths[kOsEventValueCount];
  for (uint32_t i = 0; i < kOsEventValueCount; ++i) {
    paths[i] = kOsEventValuePaths[i];
  }
  EVT_HANDLE context = EvtCreateRenderContext(kOsEventValueCount, paths, EvtRenderContextValues);
  if (context == nullptr) {
    return 0;
  }
  r.sizeCall = EvtRender(context, event, EvtRenderEventValues, 0, nullptr, &r.needed,
                         &r.countAtSizeCall);
  r.sizeCallError = GetLastError();
  r.buffer.assign(r.needed + 64, 0xCC);
  DWORD count = 0;
  r.shortCall = EvtRender(context, event, EvtRenderEventValues, r.needed - 1, r.buffer.data(),
                          &r.neededAfterShortCall, &count);
  r.shortCallError = GetLastError();
  r.fullCall = EvtRender(context, event, EvtRenderEventValues, static_cast<DWORD>(r.buffer.size()),
                         r.buffer.data(), &r.used, &r.count);
  const auto* values = reinterpret_cast<const EVT_VARIANT*>(r.buffer.data());
  const auto* text = reinterpret_cast<const uint8_t*>(values[0].StringVal);
  r.stringInBuffer = text >= r.buffer.data() + 4 * sizeof(EVT_VARIANT) &&
                     text < r.buffer.data() + r.used;
  // The event handle belongs to the event log.
  r.closeEvent = EvtClose(event);
  r.closeEventError = GetLastError();
  EvtClose(context);
  return 0;
}

}  // namespace

TEST_F(StandIn, RendersTheFourValuesAsEvtVariantsWithTheTwoCallSizeProtocol) {
  gRendered = Rendered();
  EVT_HANDLE s = EvtSubscribe(nullptr, nullptr, L"System", kOsEventQuery, nullptr, nullptr,
                              renderCallback, EvtSubscribeToFutureEvents);
  ASSERT_NE(s, nullptr);
  FILETIME before;
  GetSystemTimeAsFileTime(&before);
  sim().publish("MEIx64", 4, 3);
  ASSERT_TRUE(sim().drain(kDrainMs));
  EXPECT_TRUE(EvtClose(s));
  const Rendered& r = gRendered;

  // Four values and the provider's name with its NUL, both widths alike.
  const DWORD needed = 4 * sizeof(EVT_VARIANT) + 7 * sizeof(wchar_t);
  EXPECT_FALSE(r.sizeCall);
  EXPECT_EQ(r.sizeCallError, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(r.needed, needed);
  EXPECT_EQ(r.countAtSizeCall, 4u);
  EXPECT_FALSE(r.shortCall);
  EXPECT_EQ(r.shortCallError, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(r.neededAfterShortCall, needed);
  ASSERT_TRUE(r.fullCall);
  EXPECT_EQ(r.used, needed);
  EXPECT_EQ(r.count, 4u);

  const auto* v = reinterpret_cast<const EVT_VARIANT*>(r.buffer.data());
  ASSERT_EQ(v[0].Type, static_cast<DWORD>(EvtVarTypeString));
  EXPECT_TRUE(r.stringInBuffer);
  EXPECT_EQ(std::wstring(v[0].StringVal), L"MEIx64");
  ASSERT_EQ(v[1].Type, static_cast<DWORD>(EvtVarTypeFileTime));
  const ULONGLONG start = (static_cast<ULONGLONG>(before.dwHighDateTime) << 32) | before.dwLowDateTime;
  EXPECT_GE(v[1].FileTimeVal + 10000000ull, start);  // at most a second of clock skew
  EXPECT_LT(v[1].FileTimeVal, start + 600000000ull);  // and within a minute
  ASSERT_EQ(v[2].Type, static_cast<DWORD>(EvtVarTypeUInt16));
  EXPECT_EQ(v[2].UInt16Val, 4);
  ASSERT_EQ(v[3].Type, static_cast<DWORD>(EvtVarTypeByte));
  EXPECT_EQ(v[3].ByteVal, 3);
  // Nothing written past the size it reported.
  EXPECT_EQ(r.buffer[needed], 0xCC);

  EXPECT_FALSE(r.closeEvent);
  EXPECT_EQ(r.closeEventError, static_cast<DWORD>(ERROR_INVALID_HANDLE));
  // The event handle was valid only during the callback.
  LPCWSTR path = L"Event/System/EventID";
  EVT_HANDLE context = EvtCreateRenderContext(1, &path, EvtRenderContextValues);
  ASSERT_NE(context, nullptr);
  DWORD used = 0;
  DWORD count = 0;
  EXPECT_FALSE(EvtRender(context, r.event, EvtRenderEventValues, 0, nullptr, &used, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(EvtClose(context));
}

TEST_F(StandIn, EvtCloseWaitsForTheCallbackInProgressAndNoneComesAfter) {
  Seen seen;
  seen.hold = true;
  EVT_HANDLE s = subscribe(L"System", kOsEventQuery, &seen);
  ASSERT_NE(s, nullptr);
  sim().publish("MEI", 1, 4);
  ASSERT_TRUE(waitFor(seen.running));
  sim().publish("MEI", 1, 4);  // queued behind the one in progress
  sim().publish("MEI", 4, 4);
  std::atomic<bool> closed{false};
  std::atomic<int> runningAtReturn{-1};
  std::thread closer([&] {
    EXPECT_TRUE(EvtClose(s));
    runningAtReturn = seen.running.load();
    closed = true;
  });
  // The close drops what is queued and waits for the delivery it holds.
  const bool dropped = waitUntil([] { return sim().now().pendingDeliveries == 1; });
  Sleep(20);
  const bool returnedWhileHeld = closed;
  seen.release = true;
  const bool returned = waitFor(closed);
  if (!returned) {
    closer.detach();
  } else {
    closer.join();
  }
  ASSERT_TRUE(returned) << "EvtClose did not return";
  EXPECT_TRUE(dropped);
  EXPECT_FALSE(returnedWhileHeld);
  EXPECT_EQ(runningAtReturn, 0);
  EXPECT_EQ(seen.delivered, 1);
  sim().publish("MEI", 1, 4);
  ASSERT_TRUE(sim().drain(kDrainMs));
  EXPECT_EQ(seen.delivered, 1);

  // A closed handle, and no handle at all, are refused.
  const uint32_t refused = sim().now().invalidHandleCalls;
  EXPECT_FALSE(EvtClose(s));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(EvtClose(nullptr));
  EXPECT_EQ(sim().now().invalidHandleCalls, refused + 2);
}

namespace {

struct SelfClose {
  EVT_HANDLE subscription = nullptr;
  std::atomic<int> calls{0};
  std::atomic<bool> closed{false};
  std::atomic<BOOL> result{FALSE};
};

DWORD WINAPI closeFromCallback(EVT_SUBSCRIBE_NOTIFY_ACTION, PVOID context, EVT_HANDLE) {
  auto* self = static_cast<SelfClose*>(context);
  if (++self->calls == 1) {
    self->result = EvtClose(self->subscription);
    self->closed = true;
  }
  return 0;
}

}  // namespace

TEST_F(StandIn, EvtCloseFromInsideTheCallbackReturnsAndEndsTheDeliveries) {
  SelfClose self;
  self.subscription = EvtSubscribe(nullptr, nullptr, L"System", kOsEventQuery, nullptr, &self,
                                   closeFromCallback, EvtSubscribeToFutureEvents);
  ASSERT_NE(self.subscription, nullptr);
  sim().publish("MEI", 1, 4);
  sim().publish("MEI", 4, 4);  // queued: dropped by the close
  ASSERT_TRUE(waitFor(self.closed)) << "EvtClose from the callback did not return";
  EXPECT_TRUE(self.result);
  ASSERT_TRUE(sim().drain(kDrainMs));
  sim().publish("MEI", 1, 4);
  ASSERT_TRUE(sim().drain(kDrainMs));
  EXPECT_EQ(self.calls, 1);
}

TEST_F(StandIn, RenderContextsServeOnlyValuePaths) {
  LPCWSTR paths[1] = {L"Event/System/EventID"};
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(EvtCreateRenderContext(1, paths, EvtRenderContextSystem), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(EvtCreateRenderContext(0, nullptr, EvtRenderContextValues), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  sim().setRenderFault(kWevtSimRenderFaultContext);
  EXPECT_EQ(EvtCreateRenderContext(1, paths, EvtRenderContextValues), nullptr);
  sim().setRenderFault(kWevtSimRenderFaultNone);
  EVT_HANDLE context = EvtCreateRenderContext(1, paths, EvtRenderContextValues);
  ASSERT_NE(context, nullptr);
  DWORD used = 0;
  DWORD count = 0;
  // Not an event handle.
  EXPECT_FALSE(EvtRender(context, context, EvtRenderEventValues, 0, nullptr, &used, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(EvtClose(context));
}
