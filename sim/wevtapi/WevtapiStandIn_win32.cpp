// The wevtapi.dll stand-in (see WevtSim.h): the Windows Event Log calls of
// the ME reset watcher, served by the in-process MEI event source.
#include <windows.h>
#include <winevt.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "MeiEventSource.h"
#include "WevtSim.h"

// The source renders values of its own type; the caller reads EVT_VARIANTs.
// Both must agree on every width this is built for.
static_assert(sizeof(MeiEventValue) == sizeof(EVT_VARIANT), "a value is one EVT_VARIANT");
static_assert(offsetof(MeiEventValue, count) == offsetof(EVT_VARIANT, Count), "Count");
static_assert(offsetof(MeiEventValue, type) == offsetof(EVT_VARIANT, Type), "Type");
constexpr bool sameType(MeiEventValueType mine, EVT_VARIANT_TYPE theirs) {
  return static_cast<uint32_t>(mine) == static_cast<uint32_t>(theirs);
}
static_assert(sameType(kMeiValueNull, EvtVarTypeNull) && sameType(kMeiValueString, EvtVarTypeString) &&
                  sameType(kMeiValueByte, EvtVarTypeByte) &&
                  sameType(kMeiValueUInt16, EvtVarTypeUInt16) &&
                  sameType(kMeiValueFileTime, EvtVarTypeFileTime),
              "value types are the event log's");

namespace {

constexpr DWORD kErrorInvalidParameter = ERROR_INVALID_PARAMETER;  // 87
constexpr DWORD kErrorInvalidHandle = ERROR_INVALID_HANDLE;        // 6

enum class Kind : uint8_t { kSubscription, kRenderContext, kEvent };

struct Subscription {
  EVT_SUBSCRIBE_CALLBACK callback;
  void* context;
  MeiSubscription* source;
  // Set by an EvtClose that does not wait (NFCSIM_EVT_CLOSE=nowait): no
  // callback starts once it is set; one already running goes on.
  std::atomic<bool> closed{false};
};

struct RenderContext {
  MeiRenderContext* source;
};

// What a delivered event handle points to; lives on the delivery thread's
// stack for the duration of the callback.
struct EventHandle {
  void* record;
};

// Every handle handed out and not yet closed, so that a stale, foreign or
// twice-closed handle is refused as the event log refuses it, and counted.
struct Handles {
  std::mutex lock;
  std::unordered_map<const void*, Kind> live;
  uint32_t invalidCalls = 0;
};

// Never destroyed: a delivery thread may still use it while the process ends.
Handles& handles() {
  static Handles* const instance = new Handles();
  return *instance;
}

void addHandle(const void* handle, Kind kind) {
  Handles& h = handles();
  std::lock_guard<std::mutex> guard(h.lock);
  h.live[handle] = kind;
}

void removeHandle(const void* handle) {
  Handles& h = handles();
  std::lock_guard<std::mutex> guard(h.lock);
  h.live.erase(handle);
}

bool isLive(const void* handle, Kind kind) {
  Handles& h = handles();
  std::lock_guard<std::mutex> guard(h.lock);
  const auto it = h.live.find(handle);
  if (it == h.live.end() || it->second != kind) {
    ++h.invalidCalls;
    return false;
  }
  return true;
}

// Takes a subscription or render context out of the live set; false (and
// counted) for anything else.
bool takeClosable(const void* handle, Kind* kind) {
  Handles& h = handles();
  std::lock_guard<std::mutex> guard(h.lock);
  const auto it = h.live.find(handle);
  if (it == h.live.end() || it->second == Kind::kEvent) {
    ++h.invalidCalls;
    return false;
  }
  *kind = it->second;
  h.live.erase(it);
  return true;
}

BOOL failWith(DWORD error) {
  SetLastError(error);
  return FALSE;
}

EVT_HANDLE failNullWith(DWORD error) {
  SetLastError(error);
  return nullptr;
}

// --- NFCSIM_EVT_TRACE ------------------------------------------------------

std::mutex gTraceLock;

void trace(const char* format, ...) {
  char path[MAX_PATH];
  const DWORD length = GetEnvironmentVariableA("NFCSIM_EVT_TRACE", path, sizeof path);
  if (length == 0 || length >= sizeof path) {
    return;
  }
  std::lock_guard<std::mutex> guard(gTraceLock);
  FILE* file = std::fopen(path, "a");
  if (file == nullptr) {
    return;
  }
  va_list args;
  va_start(args, format);
  std::vfprintf(file, format, args);
  va_end(args);
  std::fputc('\n', file);
  std::fclose(file);
}

bool tracing() { return GetEnvironmentVariableA("NFCSIM_EVT_TRACE", nullptr, 0) != 0; }

// NFCSIM_EVT_CLOSE=nowait: EvtClose of a subscription returns at once, even
// while one of its callbacks runs; the documentation leaves open whether the
// event log waits for it.
bool closeWaits() {
  char mode[16];
  const DWORD length = GetEnvironmentVariableA("NFCSIM_EVT_CLOSE", mode, sizeof mode);
  return !(length > 0 && length < sizeof mode && std::string(mode) == "nowait");
}

// NFCSIM_EVT_RENDER_MS=N: each EvtRender takes N ms, which makes a callback
// that renders its event a slow one.
DWORD renderDelayMs() {
  char text[16];
  const DWORD length = GetEnvironmentVariableA("NFCSIM_EVT_RENDER_MS", text, sizeof text);
  return length > 0 && length < sizeof text ? static_cast<DWORD>(std::strtoul(text, nullptr, 10)) : 0;
}

// Provider and event ID of a delivered record, through the source's own
// renderer, for the trace line.
void traceDelivery(void* record) {
  const wchar_t* const paths[2] = {L"Event/System/Provider/@Name", L"Event/System/EventID"};
  uint32_t error = 0;
  MeiRenderContext* context = MeiEventSource_CreateRenderContext(paths, 2, &error);
  if (context == nullptr) {
    trace("deliver");
    return;
  }
  alignas(EVT_VARIANT) uint8_t buffer[512];
  uint32_t used = 0;
  uint32_t count = 0;
  if (MeiEventSource_Render(context, record, sizeof buffer, buffer, &used, &count, &error)) {
    const auto* values = reinterpret_cast<const EVT_VARIANT*>(buffer);
    std::string provider;
    for (const wchar_t* c = values[0].StringVal; *c != L'\0'; ++c) {
      provider.push_back(static_cast<char>(*c));
    }
    trace("deliver %s %u", provider.c_str(), static_cast<unsigned>(values[1].UInt16Val));
  } else {
    trace("deliver");
  }
  MeiEventSource_CloseRenderContext(context);
}

// --- Deliveries -------------------------------------------------------------

// The subscription whose callback runs on this thread, if any.
thread_local const Subscription* tDelivering = nullptr;
// Whether this delivery's callback has had its "render returned after
// close" line: one per callback, however often it renders.
thread_local bool tRenderAfterCloseTraced = false;

// Runs on the subscription's delivery thread: hands the source's delivery to
// the caller's callback in the event log's form.
uint32_t deliverToCaller(uint32_t action, void* context, void* event) {
  const auto* s = static_cast<const Subscription*>(context);
  if (s->closed.load()) {
    return 0;  // closed without waiting: no callback starts any more
  }
  // The callback may close the subscription, which frees `s` (unless the
  // close does not wait, which leaves that to a thread of its own):
  // everything needed is read before it runs.
  const EVT_SUBSCRIBE_CALLBACK callback = s->callback;
  void* const userContext = s->context;
  const Subscription* const outer = tDelivering;
  tDelivering = s;
  tRenderAfterCloseTraced = false;
  DWORD result;
  if (action == EvtSubscribeActionError) {
    trace("error %lu", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(event)));
    result = callback(EvtSubscribeActionError, userContext, static_cast<EVT_HANDLE>(event));
  } else {
    if (tracing()) {
      traceDelivery(event);
    }
    EventHandle handle{event};
    addHandle(&handle, Kind::kEvent);
    result = callback(EvtSubscribeActionDeliver, userContext, &handle);
    removeHandle(&handle);
  }
  tDelivering = outer;
  return result;
}

// --- NFCSIM_EVT -------------------------------------------------------------

struct Scheduled {
  uint32_t delayMs;
  bool isError;
  std::string provider;
  uint16_t eventId;
  uint32_t code;
};

bool parseNumber(const std::string& text, uint32_t max, uint32_t* value) {
  if (text.empty() || text.size() > 10 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const unsigned long long number = std::strtoull(text.c_str(), nullptr, 10);
  if (number > max) {
    return false;
  }
  *value = static_cast<uint32_t>(number);
  return true;
}

// One entry: PROVIDER:ID[@MS] or !CODE[@MS].
bool parseEntry(const std::string& entry, Scheduled* out) {
  std::string what = entry;
  out->delayMs = 0;
  const size_t at = entry.find('@');
  if (at != std::string::npos) {
    what = entry.substr(0, at);
    if (!parseNumber(entry.substr(at + 1), 24u * 3600u * 1000u, &out->delayMs)) {
      return false;
    }
  }
  if (!what.empty() && what[0] == '!') {
    out->isError = true;
    return parseNumber(what.substr(1), UINT32_MAX, &out->code);
  }
  const size_t colon = what.find(':');
  uint32_t id = 0;
  if (colon == std::string::npos || colon == 0 || !parseNumber(what.substr(colon + 1), 65535, &id)) {
    return false;
  }
  out->isError = false;
  out->provider = what.substr(0, colon);
  out->eventId = static_cast<uint16_t>(id);
  return true;
}

std::vector<Scheduled> readSchedule() {
  std::vector<Scheduled> entries;
  const DWORD length = GetEnvironmentVariableA("NFCSIM_EVT", nullptr, 0);
  if (length == 0) {
    return entries;
  }
  std::string text(length, '\0');
  text.resize(GetEnvironmentVariableA("NFCSIM_EVT", &text[0], length));
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    const std::string entry = text.substr(start, end - start);
    Scheduled scheduled{};
    if (parseEntry(entry, &scheduled)) {
      entries.push_back(scheduled);
    } else if (!entry.empty()) {
      std::fprintf(stderr, "wevtapi stand-in: NFCSIM_EVT entry '%s' skipped\n", entry.c_str());
    }
    start = end + 1;
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Scheduled& a, const Scheduled& b) { return a.delayMs < b.delayMs; });
  return entries;
}

std::once_flag gScheduleOnce;

// Publishes the scheduled entries from a thread of their own, each at its
// delay after the first subscription.
void startSchedule() {
  std::vector<Scheduled> entries = readSchedule();
  if (entries.empty()) {
    return;
  }
  const auto start = std::chrono::steady_clock::now();
  std::thread([entries = std::move(entries), start] {
    for (const Scheduled& e : entries) {
      std::this_thread::sleep_until(start + std::chrono::milliseconds(e.delayMs));
      if (e.isError) {
        MeiEventSource_PublishError(e.code);
      } else {
        MeiEventSource_Publish(e.provider.c_str(), e.eventId, 4);
      }
    }
  }).detach();
}

}  // namespace

// --- The event log calls ------------------------------------------------------

extern "C" {

EVT_HANDLE WINAPI EvtSubscribe(EVT_HANDLE session, HANDLE signalEvent, LPCWSTR channelPath,
                               LPCWSTR query, EVT_HANDLE bookmark, PVOID context,
                               EVT_SUBSCRIBE_CALLBACK callback, DWORD flags) {
  // Served: the local computer, push mode, future events only.
  if (session != nullptr || callback == nullptr || signalEvent != nullptr ||
      bookmark != nullptr || (flags & EvtSubscribeOriginMask) != EvtSubscribeToFutureEvents) {
    trace("subscribe %ls %lu", channelPath != nullptr ? channelPath : L"(null)",
          static_cast<unsigned long>(kErrorInvalidParameter));
    return failNullWith(kErrorInvalidParameter);
  }
  // Channel names are not case-sensitive in the event log.
  const wchar_t* channel = channelPath;
  if (channel != nullptr && _wcsicmp(channel, kMeiEventChannel) == 0) {
    channel = kMeiEventChannel;
  }
  auto* s = new Subscription{callback, context, nullptr};
  uint32_t error = 0;
  s->source = MeiEventSource_Subscribe(channel, query, deliverToCaller,
                                       s, &error);
  trace("subscribe %ls %lu", channelPath != nullptr ? channelPath : L"(null)",
        static_cast<unsigned long>(s->source != nullptr ? 0 : error));
  if (s->source == nullptr) {
    delete s;
    return failNullWith(error);
  }
  addHandle(s, Kind::kSubscription);
  std::call_once(gScheduleOnce, startSchedule);
  return s;
}

EVT_HANDLE WINAPI EvtCreateRenderContext(DWORD valuePathsCount, LPCWSTR* valuePaths, DWORD flags) {
  // Served: contexts of given value paths (not the system or user sets).
  if (flags != EvtRenderContextValues || valuePathsCount == 0 || valuePaths == nullptr) {
    return failNullWith(kErrorInvalidParameter);
  }
  uint32_t error = 0;
  MeiRenderContext* source =
      MeiEventSource_CreateRenderContext(valuePaths, valuePathsCount, &error);
  if (source == nullptr) {
    return failNullWith(error);
  }
  auto* context = new RenderContext{source};
  addHandle(context, Kind::kRenderContext);
  return context;
}

BOOL WINAPI EvtRender(EVT_HANDLE context, EVT_HANDLE fragment, DWORD flags, DWORD bufferSize,
                      PVOID buffer, PDWORD bufferUsed, PDWORD propertyCount) {
  // Served: values through a render context (not XML, not bookmarks).
  if (flags != EvtRenderEventValues) {
    return failWith(kErrorInvalidParameter);
  }
  if (const DWORD delay = renderDelayMs()) {
    Sleep(delay);
    // Written inside the callback, so before it returns: a program that
    // waits for its callback before it exits always gets this line into
    // the trace. (Written after the callback returned, the line would race
    // the program's exit, which may rightly come at once.)
    if (tDelivering != nullptr && !closeWaits() && tDelivering->closed.load() && !tRenderAfterCloseTraced) {
      tRenderAfterCloseTraced = true;
      trace("render returned after close");
    }
  }
  if (!isLive(context, Kind::kRenderContext) || !isLive(fragment, Kind::kEvent)) {
    return failWith(kErrorInvalidHandle);
  }
  if (bufferUsed == nullptr || propertyCount == nullptr) {
    return failWith(kErrorInvalidParameter);
  }
  uint32_t used = 0;
  uint32_t count = 0;
  uint32_t error = 0;
  const bool ok =
      MeiEventSource_Render(static_cast<RenderContext*>(context)->source,
                            static_cast<EventHandle*>(fragment)->record, bufferSize, buffer, &used,
                            &count, &error);
  *bufferUsed = used;
  *propertyCount = count;
  return ok ? TRUE : failWith(error);
}

BOOL WINAPI EvtClose(EVT_HANDLE object) {
  Kind kind;
  if (!takeClosable(object, &kind)) {
    return failWith(kErrorInvalidHandle);
  }
  if (kind == Kind::kSubscription) {
    auto* s = static_cast<Subscription*>(object);
    if (!closeWaits()) {
      trace(MeiEventSource_Pending() != 0 ? "close without waiting, a callback runs" : "close without waiting");
      // No callback starts from now on; the one running, if any, is left
      // to go on while the caller carries on.
      s->closed.store(true);
      std::thread([s] {
        MeiEventSource_Close(s->source);
        delete s;
      }).detach();
      return TRUE;
    }
    trace(tDelivering == s ? "close from callback" : "close");
    // Waits for a callback in progress, unless called from that callback.
    MeiEventSource_Close(s->source);
    delete s;
  } else {
    auto* context = static_cast<RenderContext*>(object);
    MeiEventSource_CloseRenderContext(context->source);
    delete context;
  }
  return TRUE;
}

// --- Test controls --------------------------------------------------------------

void WevtSim_Publish(const char* provider, uint16_t eventId, uint8_t level) {
  MeiEventSource_Publish(provider, eventId, level);
}

void WevtSim_PublishError(uint32_t code) { MeiEventSource_PublishError(code); }

bool WevtSim_Drain(uint32_t timeoutMs) { return MeiEventSource_DrainFor(timeoutMs); }

void WevtSim_SetSubscribeFault(uint32_t code) { MeiEventSource_SetSubscribeFault(code); }

void WevtSim_SetRenderFault(uint32_t fault) {
  switch (fault) {
    case kWevtSimRenderFaultContext:
      MeiEventSource_SetRenderFault(MeiRenderFault::kRenderContext);
      break;
    case kWevtSimRenderFaultInsufficientBuffer:
      MeiEventSource_SetRenderFault(MeiRenderFault::kInsufficientBuffer);
      break;
    case kWevtSimRenderFaultOtherError:
      MeiEventSource_SetRenderFault(MeiRenderFault::kOtherError);
      break;
    default:
      MeiEventSource_SetRenderFault(MeiRenderFault::kNone);
      break;
  }
}

void WevtSim_Counts(WevtSimCounts* counts) {
  if (counts == nullptr) {
    return;
  }
  *counts = WevtSimCounts{};
  counts->pendingDeliveries = MeiEventSource_Pending();
  Handles& h = handles();
  std::lock_guard<std::mutex> guard(h.lock);
  for (const auto& entry : h.live) {
    if (entry.second == Kind::kSubscription) {
      ++counts->subscriptions;
    } else if (entry.second == Kind::kRenderContext) {
      ++counts->renderContexts;
    }
  }
  counts->invalidHandleCalls = h.invalidCalls;
}

}  // extern "C"

// The controls are looked up by name: their types are the header's.
static_assert(std::is_same<decltype(&WevtSim_Publish), WevtSim_PublishFn>::value, "");
static_assert(std::is_same<decltype(&WevtSim_PublishError), WevtSim_PublishErrorFn>::value, "");
static_assert(std::is_same<decltype(&WevtSim_Drain), WevtSim_DrainFn>::value, "");
static_assert(std::is_same<decltype(&WevtSim_SetSubscribeFault), WevtSim_SetSubscribeFaultFn>::value,
              "");
static_assert(std::is_same<decltype(&WevtSim_SetRenderFault), WevtSim_SetRenderFaultFn>::value, "");
static_assert(std::is_same<decltype(&WevtSim_Counts), WevtSim_CountsFn>::value, "");
