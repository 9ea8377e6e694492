#include "StackOracle.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Dst.h"
#include "EventLogReport.h"
#include "LinkModel.h"
#include "Memory.h"
#include "Orlisk.h"
#include "Sync.h"

namespace stack {
namespace {

// Touched only by the run's threads, one at a time (the baton).
std::vector<Report> gReports;
std::vector<Step> gRecord;
SimScenario gScenario;
bool gExactTimes = true;
size_t gLiveAtBegin = 0;
uint64_t gDraws = 0;  // draws made in this run: a replay repeats them

Step stepNow(StepKind kind) {
  Step s;
  s.kind = kind;
  s.ns = dst::NowNs();
  s.thread = osal_sync::this_thread_id();
  return s;
}

void record(const EventLogReport& report, bool) {
  gReports.push_back({report.eventId, NowMs()});
  Step s = stepNow(StepKind::Report);
  s.report = report.eventId;
  gRecord.push_back(s);
}

void recordDevice(const SimEvent& e) {
  Step s = stepNow(StepKind::Device);
  s.device = e;
  s.thread = e.thread;
  gRecord.push_back(std::move(s));
}

// The system log is not touched in a schedule: a report is accepted.
void* registerQuiet(const char*) { return &gReports; }
bool reportQuiet(void*, const EventLogReport&) { return true; }
void deregisterQuiet(void*) {}
constexpr EventLogBackend kQuietBackend = {registerQuiet, reportQuiet, deregisterQuiet};

uint64_t splitmix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

bool isLogLine(const std::string& line) {
  return line.rfind("LOG     : ", 0) == 0 || line.rfind("WARNING : ", 0) == 0 || line.rfind("ERROR   : ", 0) == 0;
}

std::string describe(const std::vector<Report>& reports) {
  std::string s;
  for (const Report& r : reports) s += " " + std::to_string(r.id) + "@" + std::to_string(r.ms);
  return s.empty() ? " none" : s;
}

}  // namespace

const std::vector<Report>& Reports() { return gReports; }

void SetExactTimes(bool exact) { gExactTimes = exact; }

const std::vector<Step>& Record() { return gRecord; }

void RecordCallStart(LinkCall call) {
  Step s = stepNow(StepKind::CallStart);
  s.call = call;
  gRecord.push_back(s);
}

void RecordCallEnd(LinkCall call, int32_t code, const void* record) {
  Step s = stepNow(StepKind::CallEnd);
  s.call = call;
  s.code = code;
  if (record != nullptr) std::memcpy(s.record.data(), record, s.record.size());
  gRecord.push_back(s);
}

uint64_t NowMs() { return dst::NowNs() / 1000000u; }

uint64_t Draw(const dst::Context& c, uint64_t lo, uint64_t hi) {
  const uint64_t r = splitmix(c.options().seed ^ splitmix(++gDraws));
  return lo + r % (hi - lo + 1);
}

void WithFaults(std::vector<Fault> faults, const std::function<void()>& work) {
  std::sort(faults.begin(), faults.end(), [](const Fault& a, const Fault& b) { return a.atMs < b.atMs; });
  osal_sync::Thread environment([&faults] {
    dst::SetThreadName("environment");
    for (const Fault& f : faults) {
      const uint64_t now = NowMs();
      if (f.atMs > now) osal_sync::sleep_for(std::chrono::milliseconds(f.atMs - now));
      f.inject();
    }
  });
  work();
  environment.join();
}

void Begin(const SimScenario& scenario) {
  gReports.clear();
  gRecord.clear();
  gDraws = 0;
  Sim_SetEventObserver(recordDevice);
  gScenario = scenario;
  EventLog_SetBackend(&kQuietBackend);
  EventLog_SetReportObserver(record);
  Sim_Configure(scenario);
  gLiveAtBegin = Memory_LiveBlocks();
}

void End(dst::Context& c, uint64_t settleMs) {
  const std::string atClose = c.Output();
  const uint32_t writesAtClose = Sim_GetStats().writes;
  osal_sync::sleep_for(std::chrono::milliseconds(settleMs));
  const std::string later = c.Output();
  c.Check(later == atClose, "written after the link was closed:\n" + later.substr(std::min(atClose.size(), later.size())));
  c.Check(Sim_GetStats().writes == writesAtClose, "the device was written after the link was closed");
  for (const char* line : kInternalStateLines) Forbid(c, later, line);
  const std::string broken = CheckLinkModel(gRecord, gScenario, gExactTimes);
  c.Check(broken.empty(), broken + "\nrecord:\n" + DescribeRecord(gRecord));
  c.Check(Sim_GetStats().openConnections == 0, "a connection was left open");
  c.Check(Memory_LiveBlocks() == gLiveAtBegin,
          "blocks left allocated: " + std::to_string(Memory_LiveBlocks() - gLiveAtBegin));
  EventLog_SetReportObserver(nullptr);
  EventLog_SetBackend(nullptr);
  Sim_SetEventObserver(nullptr);
}

std::string OwnLines(const std::string& output) {
  std::string own;
  size_t at = 0;
  while (at < output.size()) {
    size_t end = output.find('\n', at);
    end = end == std::string::npos ? output.size() : end + 1;
    const std::string line = output.substr(at, end - at);
    // A hex dump's lines end in a line break of their own, to which the log
    // adds one: an empty line that is the log's, not the program's.
    if (!isLogLine(line) && line != "\n") own += line;
    at = end;
  }
  return own;
}

std::string ExpectedOwnLines(int code) {
  switch (code) {
    case 0: return "SUCCESS";
    case 1: return "Failed to retrieve informations from driver.\nHECI_NOT_PRESENT\n";
    case 2: return "WRONG_RADIO_TYPE\n";
    default: return "?";
  }
}

ProgramRun RunProgram(dst::Context& c) {
  dst::SetThreadName("main");
  ProgramRun run{};
  run.code = Orlisk_Run();
  run.endedMs = NowMs();
  run.output = c.Output();
  const std::string own = OwnLines(run.output);
  const std::string connectFailed =
      "Failed to connect to HECI Client handle : {0xd2de1625, 0x382d, 0x417d, 0x48, 0xa4, 0xef, 0xab, 0xba, "
      "0x8a, 0x12, 0x06}\nHECI_NOT_PRESENT\n";
  c.Check(own == ExpectedOwnLines(run.code) || (run.code == 1 && own == connectFailed),
          "exit " + std::to_string(run.code) + " with the lines " + own);
  const std::string word = run.code == 0 ? "SUCCESS" : run.code == 2 ? "WRONG_RADIO_TYPE\n" : "HECI_NOT_PRESENT\n";
  c.Check(run.output.size() >= word.size() && run.output.compare(run.output.size() - word.size(), word.size(), word) == 0,
          "the result word is not the last thing written");
  return run;
}

void ExpectReports(dst::Context& c, const std::vector<Report>& expected) {
  bool same = expected.size() == gReports.size();
  for (size_t i = 0; same && i < expected.size(); ++i) {
    same = expected[i].id == gReports[i].id && expected[i].ms == gReports[i].ms;
  }
  c.Check(same, "reports" + describe(gReports) + ", expected" + describe(expected));
}

void Forbid(dst::Context& c, const std::string& output, const std::string& text) {
  c.Check(output.find(text) == std::string::npos,
          "the output has \"" + text + "\"\nrecord:\n" + DescribeRecord(gRecord));
}

}  // namespace stack
