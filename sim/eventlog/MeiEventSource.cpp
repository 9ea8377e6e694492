// The in-process source of MEI driver events that stands in for the event
// log in tests. Each subscription has its own delivery thread and queue; a
// published event that passes the watcher's filter is queued, under one
// lock, for every subscription, so a subscription only ever sees events
// published after it was made.
#include "MeiEventSource.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "MeiEventQuery.h"
#include "OsEvent.h"
#include "Sync.h"

namespace {

constexpr uint32_t kErrorInvalidData = 13;        // ERROR_INVALID_DATA
constexpr uint32_t kErrorNotEnoughMemory = 8;     // ERROR_NOT_ENOUGH_MEMORY
constexpr uint32_t kErrorInvalidParameter = 87;   // ERROR_INVALID_PARAMETER
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorInvalidQuery = 15001;
constexpr uint32_t kErrorChannelNotFound = 15007;
constexpr uint32_t kActionError = 0;
constexpr uint32_t kActionDeliver = 1;

// 100 ns ticks between 1601-01-01 and 1970-01-01.
constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ull;

}  // namespace

struct MeiEventRecord {
  std::string provider;
  uint16_t eventId;
  uint8_t level;
  uint64_t timeCreated;
};

struct MeiSubscription {
  struct Delivery {
    uint32_t action;
    uint32_t error;
    MeiEventRecord event;
  };

  MeiEventCallback callback;
  void* context;
  osal_sync::Thread thread;
  // Guarded by the source's lock:
  std::deque<Delivery> queue;
  osal_sync::CondVar wake;  // queue not empty, or closing
  bool closing = false;
  bool detached = false;  // closed from its own delivery: the thread frees it
};

namespace {

struct Source {
  osal_sync::Mutex lock;
  std::vector<MeiSubscription*> subscriptions;
  size_t pending = 0;  // queued deliveries plus the ones in progress
  osal_sync::CondVar drained;
};

// Never destroyed: a delivery thread that outlives main() must still find it.
Source& source() {
  static Source* const instance = new Source();
  return *instance;
}

std::atomic<uint32_t> gSubscribeFault{0};
std::atomic<MeiRenderFault> gRenderFault{MeiRenderFault::kNone};
thread_local bool tOnDeliveryThread = false;

void finishDelivery(Source& src) {
  if (--src.pending == 0) {
    src.drained.notify_all();
  }
}

void dropQueued(Source& src, MeiSubscription* s) {
  src.pending -= s->queue.size();
  s->queue.clear();
  if (src.pending == 0) {
    src.drained.notify_all();
  }
}

void deliveryLoop(MeiSubscription* s) {
  tOnDeliveryThread = true;
  Source& src = source();
  std::unique_lock<osal_sync::Mutex> lk(src.lock);
  for (;;) {
    s->wake.wait(lk, [s] { return s->closing || !s->queue.empty(); });
    if (s->closing) {
      break;
    }
    MeiSubscription::Delivery delivery = std::move(s->queue.front());
    s->queue.pop_front();
    lk.unlock();
    if (delivery.action == kActionError) {
      s->callback(kActionError, s->context,
                  reinterpret_cast<void*>(static_cast<uintptr_t>(delivery.error)));
    } else {
      s->callback(kActionDeliver, s->context, &delivery.event);
    }
    lk.lock();
    finishDelivery(src);
  }
  const bool freeHere = s->detached;
  lk.unlock();
  if (freeHere) {
    delete s;
  }
}

void enqueue(Source& src, MeiSubscription* s, MeiSubscription::Delivery delivery) {
  s->queue.push_back(std::move(delivery));
  ++src.pending;
  s->wake.notify_one();
}

}  // namespace

void MeiEventSource_Publish(const char* provider, uint16_t eventId, uint8_t level) {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  if (!MeiEventQuery_Selects(provider, eventId)) {
    return;  // every subscription has the watcher's filter
  }
  MeiEventRecord event{
      provider, eventId, level,
      kFileTimeUnixEpoch +
          static_cast<uint64_t>(
              std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch).count() / 100)};
  Source& src = source();
  std::lock_guard<osal_sync::Mutex> guard(src.lock);
  for (MeiSubscription* s : src.subscriptions) {
    enqueue(src, s, MeiSubscription::Delivery{kActionDeliver, 0, event});
  }
}

void MeiEventSource_PublishError(uint32_t error) {
  Source& src = source();
  std::lock_guard<osal_sync::Mutex> guard(src.lock);
  for (MeiSubscription* s : src.subscriptions) {
    enqueue(src, s, MeiSubscription::Delivery{kActionError, error, MeiEventRecord{}});
  }
}

void MeiEventSource_Drain() {
  // A delivery cannot wait for itself to finish.
  if (tOnDeliveryThread) {
    return;
  }
  Source& src = source();
  std::unique_lock<osal_sync::Mutex> lk(src.lock);
  src.drained.wait(lk, [&src] { return src.pending == 0; });
}

bool MeiEventSource_DrainFor(uint32_t timeoutMs) {
  if (tOnDeliveryThread) {
    return true;
  }
  Source& src = source();
  std::unique_lock<osal_sync::Mutex> lk(src.lock);
  return src.drained.wait_for(lk, std::chrono::milliseconds(timeoutMs),
                              [&src] { return src.pending == 0; });
}

uint32_t MeiEventSource_Pending() {
  Source& src = source();
  std::lock_guard<osal_sync::Mutex> guard(src.lock);
  return static_cast<uint32_t>(src.pending);
}

MeiSubscription* MeiEventSource_Subscribe(const wchar_t* channel, const wchar_t* query,
                                          MeiEventCallback callback, void* context,
                                          uint32_t* error) {
  uint32_t failure = gSubscribeFault.load();
  auto* s = new MeiSubscription();
  if (failure == 0) {
    if (channel == nullptr || std::wcscmp(channel, kMeiEventChannel) != 0) {
      failure = kErrorChannelNotFound;
    } else if (!MeiEventQuery_IsWatchersQuery(query)) {
      failure = kErrorInvalidQuery;
    } else if (callback == nullptr) {
      failure = kErrorInvalidParameter;
    }
  }
  if (failure == 0) {
    s->callback = callback;
    s->context = context;
    try {
      s->thread = osal_sync::Thread(deliveryLoop, s);
    } catch (const std::system_error&) {
      failure = kErrorNotEnoughMemory;
    }
  }
  if (failure != 0) {
    delete s;
    if (error != nullptr) {
      *error = failure;
    }
    return nullptr;
  }
  Source& src = source();
  std::lock_guard<osal_sync::Mutex> guard(src.lock);
  src.subscriptions.push_back(s);
  return s;
}

void MeiEventSource_Close(MeiSubscription* s) {
  if (s == nullptr) {
    return;
  }
  Source& src = source();
  const bool fromOwnDelivery = osal_sync::this_thread_id() == s->thread.get_id();
  {
    std::lock_guard<osal_sync::Mutex> guard(src.lock);
    for (auto it = src.subscriptions.begin(); it != src.subscriptions.end(); ++it) {
      if (*it == s) {
        src.subscriptions.erase(it);
        break;
      }
    }
    // From here on nothing is queued for it and nothing queued is delivered.
    dropQueued(src, s);
    s->closing = true;
    s->wake.notify_one();
    if (fromOwnDelivery) {
      s->detached = true;
      s->thread.detach();
    }
  }
  if (!fromOwnDelivery) {
    s->thread.join();  // waits for a delivery in progress
    delete s;
  }
}

// ---------------------------------------------------------------------------
// Rendering.

namespace {

// In the order of kOsEventValuePaths.
enum class Field : int8_t { kNone = -1, kProvider, kTimeCreated, kEventId, kLevel };

Field fieldOf(const wchar_t* path) { return static_cast<Field>(OsEvent_ValuePathIndex(path)); }

}  // namespace

struct MeiRenderContext {
  std::vector<Field> fields;
};

MeiRenderContext* MeiEventSource_CreateRenderContext(const wchar_t* const* paths, uint32_t count,
                                                     uint32_t* error) {
  if (gRenderFault.load() == MeiRenderFault::kRenderContext || (paths == nullptr && count != 0)) {
    if (error != nullptr) {
      *error = kErrorInvalidParameter;
    }
    return nullptr;
  }
  auto* context = new MeiRenderContext();
  for (uint32_t i = 0; i < count; ++i) {
    context->fields.push_back(fieldOf(paths[i]));
  }
  return context;
}

void MeiEventSource_CloseRenderContext(MeiRenderContext* context) { delete context; }

bool MeiEventSource_Render(MeiRenderContext* context, void* event, uint32_t bufferSize,
                           void* buffer, uint32_t* bufferUsed, uint32_t* valueCount,
                           uint32_t* error) {
  auto fail = [error](uint32_t code) {
    if (error != nullptr) {
      *error = code;
    }
    return false;
  };
  if (context == nullptr || event == nullptr || bufferUsed == nullptr || valueCount == nullptr) {
    return fail(kErrorInvalidParameter);
  }
  const auto& record = *static_cast<const MeiEventRecord*>(event);
  const std::string& provider = record.provider;
  const size_t stringBytes = (provider.size() + 1) * sizeof(wchar_t);
  size_t needed = context->fields.size() * sizeof(MeiEventValue);
  for (Field f : context->fields) {
    if (f == Field::kProvider) {
      needed += stringBytes;
    }
  }
  *bufferUsed = static_cast<uint32_t>(needed);
  *valueCount = static_cast<uint32_t>(context->fields.size());
  if (buffer == nullptr || bufferSize < needed) {
    return fail(kErrorInsufficientBuffer);
  }
  switch (gRenderFault.load()) {
    case MeiRenderFault::kInsufficientBuffer:
      return fail(kErrorInsufficientBuffer);
    case MeiRenderFault::kOtherError:
      return fail(kErrorInvalidData);
    default:
      break;
  }
  auto* values = static_cast<MeiEventValue*>(buffer);
  auto* strings = reinterpret_cast<uint8_t*>(values + context->fields.size());
  for (size_t i = 0; i < context->fields.size(); ++i) {
    MeiEventValue value;
    std::memset(&value, 0, sizeof value);
    value.type = kMeiValueNull;
    switch (context->fields[i]) {
      case Field::kProvider: {
        auto* text = reinterpret_cast<wchar_t*>(strings);
        for (size_t c = 0; c < provider.size(); ++c) {
          text[c] = static_cast<wchar_t>(static_cast<unsigned char>(provider[c]));
        }
        text[provider.size()] = L'\0';
        strings += stringBytes;
        value.stringValue = text;
        value.type = kMeiValueString;
        break;
      }
      case Field::kTimeCreated:
        value.fileTimeValue = record.timeCreated;
        value.type = kMeiValueFileTime;
        break;
      case Field::kEventId:
        value.uint16Value = record.eventId;
        value.type = kMeiValueUInt16;
        break;
      case Field::kLevel:
        value.byteValue = record.level;
        value.type = kMeiValueByte;
        break;
      case Field::kNone:
        break;
    }
    std::memcpy(&values[i], &value, sizeof value);
  }
  return true;
}

void MeiEventSource_SetSubscribeFault(uint32_t error) { gSubscribeFault.store(error); }

void MeiEventSource_SetRenderFault(MeiRenderFault fault) { gRenderFault.store(fault); }
