// The NFC-ME client model: one process-wide simulator, guarded by one
// mutex, with a condition variable for everything that waits on it.
#include "SimModel.h"

#include "trace_line.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>

#include "Sync.h"
#include <sstream>

namespace simmodel {

namespace {

enum class ItemKind : uint8_t { Frame, ReadError, Gone };

struct Item {
  ItemKind kind;
  SimFrame frame;
  int err;
  SimClock::time_point due;
};

}  // namespace

struct Connection {
  uint32_t id = 0;
  uint64_t generation = 0;  // the configuration it was opened under
  bool connected = false;
  bool gone = false;
  bool closed = false;
  uint32_t versionQueries = 0;  // written on this connection
  std::deque<Item> queue;
};

namespace {

struct Simulator {
  osal_sync::Mutex lock;
  osal_sync::CondVar changed;
  SimScenario scenario;
  uint64_t generation = 1;
  SimStats stats{};
  std::vector<SimWrite> writes;
  std::vector<ConnectionPtr> connections;  // open ones of this generation
  std::weak_ptr<Connection> latest;        // most recently connected
  std::vector<SimFrame> heldFrames;        // injected while none was connected
  uint32_t openAttempts = 0;
  uint32_t writeAttempts = 0;
  uint32_t connectionCounter = 0;
  FILE* trace = nullptr;
  SimClock::time_point traceStart = SimClock::now();
  std::function<void(const SimEvent&)> observer;
};

// Tells the observer, if any. Called with the lock held.
void emit(Simulator& s, SimEventKind kind, const Connection* c, int err = 0, uint32_t value = 0,
          SimFrame bytes = {}) {
  if (!s.observer) return;
  s.observer(SimEvent{kind, SimClock::now(), c != nullptr ? c->id : 0, err, value, std::move(bytes),
                      osal_sync::this_thread_id()});
}

// Lines for NFCSIM_TRACE, in the stand-ins' one format (trace_line.h), so
// a run of an unmodified program can be looked at afterwards: `handle` is
// the connection, 0 for the device itself; a number (an errno, a length)
// and the bytes follow where given. Called with the lock held.
void traceLine(Simulator& s, uint32_t handle, const char* what, long long number = -1,
               const SimFrame* bytes = nullptr) {
  if (s.trace == nullptr) return;
  const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(SimClock::now() - s.traceStart);
  TRACE_LINE l;
  TraceLine_Start(&l, static_cast<unsigned long long>(elapsed.count() / 100), handle, what);
  if (number >= 0) {
    TraceLine_Put(&l, " ");
    TraceLine_PutUnsigned(&l, static_cast<unsigned long long>(number));
  }
  if (bytes != nullptr) TraceLine_PutBytes(&l, bytes->data(), static_cast<unsigned>(bytes->size()));
  std::fwrite(l.text, 1, l.used, s.trace);
  std::fputc('\n', s.trace);
  std::fflush(s.trace);
}

// A scenario given to a program that cannot call Sim_Configure: the text
// itself when it contains '=', otherwise the name of a file holding it.
void configureFromEnvironment(Simulator& s) {
  const char* traceName = std::getenv("NFCSIM_TRACE");
  if (traceName != nullptr && *traceName != '\0') s.trace = std::fopen(traceName, "a");
  const char* value = std::getenv("NFCSIM_SCENARIO");
  if (value == nullptr || *value == '\0') return;
  std::string text = value;
  if (text.find('=') == std::string::npos) {
    std::ifstream file(value);
    if (!file) {
      std::fprintf(stderr, "nfcsim: cannot read scenario file %s\n", value);
      return;
    }
    std::stringstream content;
    content << file.rdbuf();
    text = content.str();
  }
  SimScenario scenario;
  std::string error;
  if (!Sim_ParseScenario(text, &scenario, &error)) {
    std::fprintf(stderr, "nfcsim: bad scenario: %s\n", error.c_str());
    return;
  }
  s.scenario = scenario;
}

// Never destroyed: server threads of the emulated device may still use it
// while the process exits.
Simulator& sim() {
  static Simulator* instance = [] {
    auto* s = new Simulator;
    configureFromEnvironment(*s);
    return s;
  }();
  return *instance;
}

bool current(const Simulator& s, const Connection& c) { return c.generation == s.generation; }

void enqueue(Simulator& s, Connection& c, ItemKind kind, SimFrame frame, int err,
             SimClock::time_point due) {
  if (kind == ItemKind::Frame && frame.empty()) return;  // a message is never empty
  c.queue.push_back(Item{kind, std::move(frame), err, due});
  s.changed.notify_all();
}

// Queued in the order of due times, behind items due at the same time: a
// reaction's item may overtake one queued earlier for later.
void enqueueByDue(Simulator& s, Connection& c, ItemKind kind, SimFrame frame, int err,
                  SimClock::time_point due) {
  if (kind == ItemKind::Frame && frame.empty()) return;
  auto at = std::find_if(c.queue.begin(), c.queue.end(), [&](const Item& i) { return i.due > due; });
  c.queue.insert(at, Item{kind, std::move(frame), err, due});
  s.changed.notify_all();
}

SimFrame versionAnswer(const SCENARIO& sc) {
  SimFrame answer(Scenario_VersionAnswerLength(&sc));
  Scenario_VersionAnswer(&sc, answer.data(), static_cast<unsigned>(answer.size()));
  return answer;
}

// Where Scenario_React's items go: the connection's queue, due after the
// query.
struct Reacting {
  Simulator& s;
  Connection& c;
  SimClock::time_point query;
};

void queueItem(void* context, const SCENARIO_REACTION_ITEM* item, int overtakes) {
  auto& r = *static_cast<Reacting*>(context);
  const auto due = r.query + std::chrono::milliseconds(item->atMs);
  auto queue = overtakes ? enqueueByDue : enqueue;
  switch (item->kind) {
    case REACTION_ANSWER:
      queue(r.s, r.c, ItemKind::Frame, versionAnswer(r.s.scenario), 0, due);
      ++r.s.stats.answers;
      break;
    case REACTION_FRAME:
      queue(r.s, r.c, ItemKind::Frame, SimFrame(item->frame, item->frame + item->length), 0, due);
      break;
    case REACTION_READ_ERROR:
      queue(r.s, r.c, ItemKind::ReadError, {}, item->err, due);
      break;
    case REACTION_GONE:
      queue(r.s, r.c, ItemKind::Gone, {}, ENODEV, due);
      break;
  }
}

// The client's reaction to the connection's latest version query: the
// scenario's per-query reaction by its number over the configuration, if it
// has one, otherwise its answer by the query's number on the connection.
void queueVersionAnswer(Simulator& s, Connection& c) {
  const SimScenario& sc = s.scenario;
  Reacting reacting{s, c, SimClock::now()};
  if (s.stats.versionQueries > sc.reactions.size()) {
    Scenario_React(&sc, c.versionQueries, nullptr, queueItem, &reacting);
    return;
  }
  std::vector<SCENARIO_REACTION_ITEM> items;
  for (const SimReactionItem& i : sc.reactions[s.stats.versionQueries - 1]) {
    items.push_back({static_cast<REACTION_KIND>(i.kind), i.atMs, i.frame.data(),
                     static_cast<unsigned>(i.frame.size()), i.err});
  }
  const SCENARIO_REACTION reaction{static_cast<unsigned>(items.size()), items.data()};
  Scenario_React(&sc, c.versionQueries, &reaction, queueItem, &reacting);
}

void markGone(Simulator& s, Connection& c) {
  c.gone = true;
  s.changed.notify_all();
}

}  // namespace

int Open(ConnectionPtr* out) {
  Simulator& s = sim();
  std::lock_guard<osal_sync::Mutex> guard(s.lock);
  out->reset();
  if (!s.scenario.devicePresent) {
    traceLine(s, 0, "open (no device)");
    emit(s, SimEventKind::Open, nullptr, ENOENT);
    return ENOENT;
  }
  if (s.openAttempts++ < s.scenario.failFirstOpens) {
    ++s.stats.failedOpens;
    traceLine(s, 0, "open (refused), errno", s.scenario.openErrno);
    emit(s, SimEventKind::Open, nullptr, s.scenario.openErrno);
    s.changed.notify_all();
    return s.scenario.openErrno;
  }
  auto c = std::make_shared<Connection>();
  c->id = ++s.connectionCounter;
  c->generation = s.generation;
  s.connections.push_back(c);
  ++s.stats.opens;
  ++s.stats.openConnections;
  traceLine(s, c->id, "open");
  emit(s, SimEventKind::Open, c.get());
  s.changed.notify_all();
  *out = std::move(c);
  return 0;
}

int Connect(const ConnectionPtr& c, const uint8_t clientGuid[16], uint32_t* maxMessageLength) {
  Simulator& s = sim();
  std::lock_guard<osal_sync::Mutex> guard(s.lock);
  *maxMessageLength = 0;
  if (c->gone || c->closed || !current(s, *c)) return ENODEV;
  if (c->connected) return EBUSY;
  int err = 0;
  if (std::memcmp(clientGuid, kNfcMeWireClientGuid, sizeof kNfcMeWireClientGuid) != 0) {
    err = ENOTTY;
  } else if (s.scenario.connectFails) {
    err = s.scenario.connectErrno;
  }
  if (err != 0) {
    ++s.stats.failedConnects;
    traceLine(s, c->id, "ioctl connect (refused), errno", err);
    emit(s, SimEventKind::Connect, c.get(), err);
    s.changed.notify_all();
    return err;
  }
  c->connected = true;
  *maxMessageLength = s.stats.connects > 0 && s.scenario.reconnectMaxMessageLength != 0
                          ? s.scenario.reconnectMaxMessageLength
                          : s.scenario.maxMessageLength;
  ++s.stats.connects;
  emit(s, SimEventKind::Connect, c.get(), 0, *maxMessageLength);
  s.latest = c;
  traceLine(s, c->id, "ioctl connect, max message length", *maxMessageLength);
  const auto now = SimClock::now();
  const SCENARIO_FRAMES& onConnect = s.scenario.framesOnConnect;
  for (unsigned i = 0; i < onConnect.count; ++i) {
    enqueue(s, *c, ItemKind::Frame, SimFrame(onConnect.bytes[i], onConnect.bytes[i] + onConnect.length[i]), 0, now);
  }
  for (SimFrame& f : s.heldFrames) enqueue(s, *c, ItemKind::Frame, std::move(f), 0, now);
  s.heldFrames.clear();
  s.changed.notify_all();
  return 0;
}

int BeginWrite(const ConnectionPtr& c, const uint8_t* data, size_t length) {
  Simulator& s = sim();
  std::lock_guard<osal_sync::Mutex> guard(s.lock);
  if (c->gone || c->closed || !c->connected || !current(s, *c)) {
    if (current(s, *c)) emit(s, SimEventKind::WriteFailed, c.get(), ENODEV, 0, SimFrame(data, data + length));
    return ENODEV;
  }
  const uint32_t number = ++s.writeAttempts;
  const SimScenario& sc = s.scenario;
  if (Scenario_FailsWrite(&sc, number) ||
      std::find(sc.failWriteNumbers.begin(), sc.failWriteNumbers.end(), number) != sc.failWriteNumbers.end()) {
    s.writes.push_back(SimWrite{SimFrame(data, data + length), SimClock::now(), true, c->id});
    ++s.stats.writes;
    ++s.stats.failedWrites;
    const SimFrame bytes(data, data + length);
    traceLine(s, c->id, "write (refused), errno", sc.writeErrno, &bytes);
    emit(s, SimEventKind::WriteFailed, c.get(), sc.writeErrno, number, SimFrame(data, data + length));
    s.changed.notify_all();
    return sc.writeErrno;
  }
  return 0;
}

void DeliverWrite(const ConnectionPtr& c, const uint8_t* data, size_t length) {
  Simulator& s = sim();
  std::unique_lock<osal_sync::Mutex> guard(s.lock);
  if (!current(s, *c)) return;
  SimFrame bytes(data, data + length);
  s.writes.push_back(SimWrite{bytes, SimClock::now(), false, c->id});
  ++s.stats.writes;
  traceLine(s, c->id, "write", -1, &bytes);
  emit(s, SimEventKind::Write, c.get(), 0, s.writeAttempts, bytes);
  s.changed.notify_all();
  if (c->gone || c->closed) return;
  if (length == sizeof kNfcMeWireVersionQuery && std::memcmp(data, kNfcMeWireVersionQuery, length) == 0) {
    ++s.stats.versionQueries;
    ++c->versionQueries;
    queueVersionAnswer(s, *c);
    return;
  }
  if (!s.scenario.responder) return;
  const auto responder = s.scenario.responder;
  const uint64_t generation = s.generation;
  guard.unlock();
  std::vector<SimFrame> frames = responder(bytes);
  guard.lock();
  if (generation != s.generation || c->gone || c->closed) return;
  const auto now = SimClock::now();
  for (SimFrame& f : frames) enqueue(s, *c, ItemKind::Frame, std::move(f), 0, now);
}

bool WaitWritable(const ConnectionPtr& c, uint32_t timeoutMs) {
  Simulator& s = sim();
  std::unique_lock<osal_sync::Mutex> guard(s.lock);
  const auto start = SimClock::now();
  s.changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                     [&] { return !s.scenario.stallWrites || c->closed || c->gone; });
  const bool writable = !s.scenario.stallWrites && !c->closed && !c->gone;
  if (!writable && current(s, *c)) {
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(SimClock::now() - start).count();
    emit(s, SimEventKind::WriteStalled, c.get(), ETIMEDOUT, static_cast<uint32_t>(waited));
  }
  return writable;
}

TakeResult Take(const ConnectionPtr& c, size_t maxBytes, bool hostRead) {
  Simulator& s = sim();
  std::unique_lock<osal_sync::Mutex> guard(s.lock);
  // Counted while waiting, for tests that need the reader to be blocked.
  struct WaitCount {
    Simulator& s;
    const ConnectionPtr& c;
    bool counted = false;
    void set(bool on) {
      if (on == counted || !current(s, *c)) return;
      counted = on;
      on ? ++s.stats.readsWaiting : --s.stats.readsWaiting;
      s.changed.notify_all();
    }
    ~WaitCount() { set(false); }
  } waiting{s, c};
  for (;;) {
    if (c->closed) return {TakeKind::Closed, {}, 0};
    if (c->gone) {
      if (current(s, *c)) emit(s, SimEventKind::ReadError, c.get(), ENODEV);
      return {TakeKind::Gone, {}, ENODEV};
    }
    if (!c->queue.empty()) {
      Item& front = c->queue.front();
      if (front.due <= SimClock::now()) {
        TakeResult r{TakeKind::Frame, {}, front.err};
        if (front.kind == ItemKind::Gone) {
          c->queue.clear();
          markGone(s, *c);
          traceLine(s, c->id, "device gone");
          continue;
        }
        if (front.kind == ItemKind::ReadError) {
          r.kind = TakeKind::ReadError;
          c->queue.pop_front();
          ++s.stats.readErrors;
          traceLine(s, c->id, "read failed, errno", r.err);
          emit(s, SimEventKind::ReadError, c.get(), r.err);
          s.changed.notify_all();
          return r;
        }
        if (front.frame.size() > maxBytes) {
          r.frame.assign(front.frame.begin(), front.frame.begin() + static_cast<std::ptrdiff_t>(maxBytes));
          front.frame.erase(front.frame.begin(), front.frame.begin() + static_cast<std::ptrdiff_t>(maxBytes));
        } else {
          r.frame = std::move(front.frame);
          c->queue.pop_front();
          ++s.stats.framesDelivered;
        }
        traceLine(s, c->id, "read", -1, &r.frame);
        emit(s, SimEventKind::Frame, c.get(), 0, 0, r.frame);
        s.changed.notify_all();
        return r;
      }
      if (hostRead) waiting.set(true);
      s.changed.wait_until(guard, front.due);
      continue;
    }
    if (hostRead) waiting.set(true);
    s.changed.wait(guard);
  }
}

bool IsGone(const ConnectionPtr& c) {
  Simulator& s = sim();
  std::lock_guard<osal_sync::Mutex> guard(s.lock);
  return c->gone;
}

void WaitClosed(const ConnectionPtr& c) {
  Simulator& s = sim();
  std::unique_lock<osal_sync::Mutex> guard(s.lock);
  s.changed.wait(guard, [&] { return c->closed; });
}

void Close(const ConnectionPtr& c) {
  Simulator& s = sim();
  std::lock_guard<osal_sync::Mutex> guard(s.lock);
  if (c->closed) return;
  c->closed = true;
  if (current(s, *c)) {
    ++s.stats.closes;
    --s.stats.openConnections;
    s.connections.erase(std::remove(s.connections.begin(), s.connections.end(), c),
                        s.connections.end());
    traceLine(s, c->id, "close");
    emit(s, SimEventKind::Close, c.get());
  }
  s.changed.notify_all();
}

bool WritesStalled() {
  Simulator& s = sim();
  std::lock_guard<osal_sync::Mutex> guard(s.lock);
  return s.scenario.stallWrites;
}

bool DevicePresent() {
  Simulator& s = sim();
  std::lock_guard<osal_sync::Mutex> guard(s.lock);
  return s.scenario.devicePresent;
}

void Trace(const char* line) {
  Simulator& s = sim();
  std::lock_guard<osal_sync::Mutex> guard(s.lock);
  traceLine(s, 0, line);
}

}  // namespace simmodel

using namespace simmodel;

void Sim_Configure(const SimScenario& scenario) {
  Simulator& s = sim();
  std::lock_guard<osal_sync::Mutex> guard(s.lock);
  for (const ConnectionPtr& c : s.connections) markGone(s, *c);
  s.connections.clear();
  s.latest.reset();
  s.scenario = scenario;
  ++s.generation;
  s.stats = SimStats{};
  s.writes.clear();
  s.heldFrames.clear();
  s.openAttempts = 0;
  s.writeAttempts = 0;
  s.connectionCounter = 0;
  s.changed.notify_all();
}

void Sim_SetEventObserver(std::function<void(const SimEvent&)> observer) {
  Simulator& s = sim();
  std::lock_guard<osal_sync::Mutex> guard(s.lock);
  s.observer = std::move(observer);
}

SimScenario Sim_GetScenario() {
  Simulator& s = sim();
  std::lock_guard<osal_sync::Mutex> guard(s.lock);
  return s.scenario;
}

SimStats Sim_GetStats() {
  Simulator& s = sim();
  std::lock_guard<osal_sync::Mutex> guard(s.lock);
  return s.stats;
}

std::vector<SimWrite> Sim_Writes() {
  Simulator& s = sim();
  std::lock_guard<osal_sync::Mutex> guard(s.lock);
  return s.writes;
}

void Sim_InjectFrame(SimFrame frame) {
  Simulator& s = sim();
  std::lock_guard<osal_sync::Mutex> guard(s.lock);
  ConnectionPtr c = s.latest.lock();
  if (c && !c->closed && !c->gone && current(s, *c)) {
    enqueue(s, *c, ItemKind::Frame, std::move(frame), 0, SimClock::now());
  } else if (!frame.empty()) {
    s.heldFrames.push_back(std::move(frame));
  }
}

void Sim_InjectReadError(int err) {
  Simulator& s = sim();
  std::lock_guard<osal_sync::Mutex> guard(s.lock);
  ConnectionPtr c = s.latest.lock();
  if (c && !c->closed && current(s, *c)) enqueue(s, *c, ItemKind::ReadError, {}, err, SimClock::now());
}

void Sim_DeviceGone() {
  Simulator& s = sim();
  std::lock_guard<osal_sync::Mutex> guard(s.lock);
  for (const ConnectionPtr& c : s.connections) {
    if (c->connected) markGone(s, *c);
  }
  traceLine(s, 0, "device gone");
}

bool Sim_WaitForWrites(size_t n, uint32_t timeoutMs) {
  Simulator& s = sim();
  std::unique_lock<osal_sync::Mutex> guard(s.lock);
  return s.changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                            [&] { return s.writes.size() >= n; });
}

bool Sim_WaitFor(const std::function<bool(const SimStats&)>& condition, uint32_t timeoutMs) {
  Simulator& s = sim();
  std::unique_lock<osal_sync::Mutex> guard(s.lock);
  return s.changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                            [&] { return condition(s.stats); });
}
