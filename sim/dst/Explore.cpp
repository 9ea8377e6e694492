// The explorer (see Explore.h). The parent never runs a world, so it stays
// single-threaded and forks cleanly; each child runs one batch of schedules
// of one scenario and reports a verdict per schedule through a pipe.
#include "Explore.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace dst {

namespace {

OutputCapture* gCapture = nullptr;

struct Verdict {
  uint64_t hash;
  uint64_t steps;
  uint64_t choiceSteps;
  uint64_t virtualNs;
  uint32_t threads;
  uint32_t ok;
  uint32_t messageLength;
  uint32_t reserved;
};

struct Outcome {
  Verdict verdict;
  std::string message;
};

uint64_t mix(uint64_t z) {
  z += 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

uint64_t nameHash(const std::string& s) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
  return h;
}

bool writeAll(int fd, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool readAll(int fd, void* data, size_t n) {
  char* p = static_cast<char*>(data);
  while (n > 0) {
    const ssize_t r = read(fd, p, n);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// The plan a failed schedule drew, at the end of its message.
constexpr const char* kPlanMark = "plan: ";

std::string planOf(const std::string& message) {
  const size_t at = message.rfind(std::string("\n") + kPlanMark);
  return at == std::string::npos ? std::string() : message.substr(at + 1, message.find('\n', at + 1) - at - 1);
}

std::string tail(const std::string& s, size_t n) { return s.size() <= n ? s : "..." + s.substr(s.size() - n); }

// One schedule in this process; the output it wrote is kept in the message
// of a failure.
Result runOne(const Scenario& s, const Options& o, std::string* output) {
  OutputCapture capture;
  gCapture = &capture;
  Context context(o);
  Result r = Run(o, [&] { s.body(context); });
  gCapture = nullptr;
  if (output != nullptr) *output = capture.Text();
  if (!r.ok) {
    const std::string out = capture.Text();
    if (!out.empty()) r.failure += "output of the run:\n" + tail(out, 2000) + "\n";
    if (!context.Plan().empty()) r.failure += kPlanMark + context.Plan() + "\n";
  }
  return r;
}

[[noreturn]] void childMain(const Scenario& s, const std::vector<Options>& jobs, size_t from, size_t to, int fd) {
  ResetAfterFork();
  for (size_t i = from; i < to; ++i) {
    const Result r = runOne(s, jobs[i], nullptr);
    Verdict v{r.decisionHash, r.steps, r.choiceSteps, r.virtualNs, r.threads, r.ok ? 1u : 0u,
              static_cast<uint32_t>(r.failure.size()), 0};
    if (!writeAll(fd, &v, sizeof v) || !writeAll(fd, r.failure.data(), r.failure.size())) _exit(3);
    if (!r.ok) _exit(0);  // its threads stay parked: this child is done
  }
  _exit(0);
}

// Runs jobs[from, to) in as many children as crashes and failures need.
std::vector<Outcome> runBatch(const Scenario& s, const std::vector<Options>& jobs, size_t from, size_t to) {
  std::vector<Outcome> out;
  size_t i = from;
  while (i < to) {
    int fds[2];
    if (pipe(fds) != 0) {
      std::perror("dst: pipe");
      std::exit(2);
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) {
      std::perror("dst: fork");
      std::exit(2);
    }
    if (pid == 0) {
      close(fds[0]);
      childMain(s, jobs, i, to, fds[1]);
    }
    close(fds[1]);
    bool lastFailed = false;
    Outcome o;
    while (i < to && readAll(fds[0], &o.verdict, sizeof o.verdict)) {
      o.message.assign(o.verdict.messageLength, '\0');
      if (o.verdict.messageLength != 0 && !readAll(fds[0], &o.message[0], o.message.size())) break;
      out.push_back(o);
      ++i;
      lastFailed = o.verdict.ok == 0;
      if (lastFailed) break;
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!lastFailed && i < to) {
      // The child died inside schedule i without a verdict.
      Outcome crash{};
      char b[96];
      if (WIFSIGNALED(status)) {
        std::snprintf(b, sizeof b, "crash: the schedule ended the process by signal %d", WTERMSIG(status));
      } else {
        std::snprintf(b, sizeof b, "crash: the schedule ended the process with exit code %d", WEXITSTATUS(status));
      }
      crash.message = b;
      out.push_back(crash);
      ++i;
    }
  }
  return out;
}

void tally(ExploreReport& report, const Options& o) {
  switch (o.strategy) {
    case Strategy::Random: ++report.random; break;
    case Strategy::Pct: ++report.pct; break;
    case Strategy::Sticky: ++report.sticky; break;
  }
}

std::string selfCommand(const ExploreOptions& o) {
  if (!o.replayCommand.empty()) return o.replayCommand;
  char b[4096];
  const ssize_t n = readlink("/proc/self/exe", b, sizeof b - 1);
  return n > 0 ? std::string(b, static_cast<size_t>(n)) : std::string("<test binary>");
}

std::string shellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

uint64_t envNumber(const char* name, uint64_t fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::strtoull(v, nullptr, 0) : fallback;
}

std::string firstLine(const std::string& s) { return s.substr(0, s.find('\n')); }

Options baseOptions(const ExploreOptions& e) {
  Options o;
  o.clockProbability = e.clockProbability;
  o.maxSteps = e.maxSteps;
  o.maxVirtualNs = e.maxVirtualNs;
  o.pctDepth = e.pctDepth;
  return o;
}

ExploreReport replay(const std::vector<Scenario>& scenarios, const ExploreOptions& e) {
  ExploreReport report;
  const char* wanted = std::getenv("NFC_DST_CASE");
  Options o = baseOptions(e);
  const char* strategy = std::getenv("NFC_DST_STRATEGY");
  if (strategy != nullptr && !ParseStrategy(strategy, o)) {
    std::printf("dst: NFC_DST_STRATEGY=%s is neither random nor pct:<d>:<k>\n", strategy);
    report.failures.push_back(ExploreFailure{"", strategy, 0, "bad strategy", ""});
    return report;
  }
  SeedOptions(o, envNumber("NFC_DST_SEED", 0));
  o.trace = true;
  for (const Scenario& s : scenarios) {
    if (wanted != nullptr && s.name != wanted) continue;
    std::string output;
    const Result r = runOne(s, o, &output);
    ++report.scenarios;
    ++report.schedules;
    tally(report, o);
    std::printf("dst: replay of '%s', %s, seed 0x%" PRIx64 ": %" PRIu64 " steps, %" PRIu64
                " ns virtual, decision hash 0x%" PRIx64 "\n--- decisions\n%s--- output\n%s--- verdict\n%s\n",
                s.name.c_str(), StrategyText(o).c_str(), o.seed, r.steps, r.virtualNs, r.decisionHash,
                r.trace.c_str(), output.c_str(), r.ok ? "ok" : r.failure.c_str());
    if (!r.ok) report.failures.push_back(ExploreFailure{s.name, StrategyText(o), o.seed, r.failure, ""});
  }
  std::printf("dst: %" PRIu64 " schedules, %zu scenarios, %zu failures (replay)\n", report.schedules,
              report.scenarios, report.failures.size());
  return report;
}

}  // namespace

std::string Context::Output() const { return gCapture != nullptr ? gCapture->Text() : std::string(); }

OutputCapture::OutputCapture() : saved_(stdout) {
  std::fflush(stdout);
  stream_ = open_memstream(&buffer_, &size_);
  stdout = stream_;
}

OutputCapture::~OutputCapture() {
  std::fflush(stream_);
  stdout = saved_;
  std::fclose(stream_);
  std::free(buffer_);
}

std::string OutputCapture::Text() {
  std::fflush(stream_);
  return std::string(buffer_, size_);
}

std::string RunInChild(const Scenario& scenario, const Options& options) {
  const std::vector<Options> one = {options};
  const std::vector<Outcome> out = runBatch(scenario, one, 0, 1);
  if (out.size() == 1 && out[0].verdict.ok != 0) return "";
  return out.empty() ? "no verdict" : out[0].message.empty() ? "failed" : out[0].message;
}

void SeedOptions(Options& o, uint64_t seed) {
  o.seed = seed;
  o.spuriousProbability = (mix(seed) & 1) != 0 ? 0.02 : 0.0;
}

bool ParseStrategy(const std::string& text, Options& out) {
  if (text == "random" || text == "sticky") {
    out.strategy = text == "random" ? Strategy::Random : Strategy::Sticky;
    return true;
  }
  int d = 0;
  unsigned long long k = 0;
  if (std::sscanf(text.c_str(), "pct:%d:%llu", &d, &k) == 2 && d >= 1 && k >= 1) {
    out.strategy = Strategy::Pct;
    out.pctDepth = d;
    out.pctSteps = k;
    return true;
  }
  return false;
}

std::string StrategyText(const Options& o) {
  if (o.strategy == Strategy::Random) return "random";
  if (o.strategy == Strategy::Sticky) return "sticky";
  return "pct:" + std::to_string(o.pctDepth) + ":" + std::to_string(o.pctSteps);
}

ExploreReport Explore(const std::vector<Scenario>& all, ExploreOptions e) {
  if (std::getenv("NFC_DST_SEED") != nullptr) return replay(all, e);
  e.schedulesPerScenario = envNumber("NFC_DST_SCHEDULES", e.schedulesPerScenario);
  const size_t count = static_cast<size_t>(envNumber("NFC_DST_SCENARIOS", all.size()));
  if (const char* b = std::getenv("NFC_DST_BUDGET_S")) e.timeBudgetSeconds = std::strtod(b, nullptr);
  e.maxFailuresPerScenario =
      static_cast<uint32_t>(envNumber("NFC_DST_MAX_FAILURES", e.maxFailuresPerScenario));
  e.printPerScenario = static_cast<uint32_t>(envNumber("NFC_DST_PRINT", e.printPerScenario));
  e.baseSeed = envNumber("NFC_DST_BASE_SEED", e.baseSeed);
  const auto start = std::chrono::steady_clock::now();
  auto overBudget = [&] {
    return e.timeBudgetSeconds > 0 &&
           std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() > e.timeBudgetSeconds;
  };
  const std::string command = selfCommand(e);
  ExploreReport report;
  const char* only = std::getenv("NFC_DST_ONLY");
  for (size_t si = 0; si < all.size() && si < count; ++si) {
    const Scenario& s = all[si];
    if (only != nullptr && s.name.find(only) == std::string::npos) continue;
    ++report.scenarios;
    report.firstFailureAt.push_back(0);
    uint32_t printed = 0;
    const uint64_t total = e.schedulesPerScenario * s.weight;
    const uint64_t calibration = std::min<uint64_t>(e.calibrationRuns, total);
    std::vector<Options> jobs;
    jobs.reserve(total);
    for (uint64_t i = 0; i < calibration; ++i) {
      Options o = baseOptions(e);
      SeedOptions(o, mix(e.baseSeed ^ nameHash(s.name) ^ mix(i)));
      jobs.push_back(o);
    }
    uint64_t k = 1;
    std::vector<Outcome> outcomes;
    auto account = [&](size_t from, const std::vector<Outcome>& got) {
      for (size_t j = 0; j < got.size(); ++j) {
        const Options& o = jobs[from + j];
        const Outcome& out = got[j];
        ++report.schedules;
        tally(report, o);
        if (out.verdict.ok != 0) continue;
        ExploreFailure f{s.name, StrategyText(o), o.seed, out.message, ""};
        char seed[32];
        std::snprintf(seed, sizeof seed, "0x%016" PRIx64, o.seed);
        f.replayLine = (e.replayEnvironment.empty() ? "" : e.replayEnvironment + " ") + "NFC_DST_CASE=" + shellQuote(s.name) + " NFC_DST_STRATEGY=" + f.strategy +
                       " NFC_DST_SEED=" + seed + " " + command;
        if (report.firstFailureAt.back() == 0) report.firstFailureAt.back() = from + j + 1;
        if (printed++ < e.printPerScenario) {
          std::printf("dst: FAIL '%s' schedule %zu (%s): %s\n  replay: %s\n", s.name.c_str(), from + j + 1,
                      f.strategy.c_str(), firstLine(out.message).c_str(), f.replayLine.c_str());
          const std::string plan = planOf(out.message);
          if (!plan.empty()) std::printf("  %s\n", plan.c_str());
        }
        report.failures.push_back(f);
      }
      outcomes.insert(outcomes.end(), got.begin(), got.end());
    };
    account(0, runBatch(s, jobs, 0, jobs.size()));
    for (const Outcome& o : outcomes) k = std::max<uint64_t>(k, o.verdict.choiceSteps);
    // The rest, PCT and the sticky walk interleaved with the random walk in
    // the asked shares.
    auto turns = [](uint64_t i, double share) {
      return static_cast<uint64_t>(static_cast<double>(i + 1) * share) >
             static_cast<uint64_t>(static_cast<double>(i) * share);
    };
    uint64_t notPct = 0;
    for (uint64_t i = calibration; i < total; ++i) {
      Options o = baseOptions(e);
      SeedOptions(o, mix(e.baseSeed ^ nameHash(s.name) ^ mix(i)));
      if (turns(i, e.pctShare)) {
        o.strategy = Strategy::Pct;
        o.pctSteps = k;
      } else if (turns(notPct++, e.stickyShare / (1.0 - e.pctShare))) {
        o.strategy = Strategy::Sticky;
      }
      jobs.push_back(o);
    }
    auto failuresHere = [&] {
      size_t n = 0;
      for (const ExploreFailure& f : report.failures) n += f.scenario == s.name ? 1 : 0;
      return n;
    };
    for (size_t from = calibration; from < jobs.size() && !overBudget() &&
                                    failuresHere() < e.maxFailuresPerScenario;
         from += e.batch) {
      const size_t to = std::min<size_t>(jobs.size(), from + e.batch);
      account(from, runBatch(s, jobs, from, to));
    }
    // Same seed, same schedule: a sample is run again and must give the same
    // decisions (a raw primitive or a real-time reading breaks this).
    const uint64_t every = e.recheckShare > 0 ? static_cast<uint64_t>(1.0 / e.recheckShare) : 0;
    if (every == 0) continue;
    std::vector<Options> again;
    std::vector<uint64_t> expected;
    for (size_t j = 0; j < outcomes.size(); j += every) {
      if (outcomes[j].verdict.ok == 0) continue;
      again.push_back(jobs[j]);
      expected.push_back(outcomes[j].verdict.hash);
    }
    const std::vector<Outcome> second = runBatch(s, again, 0, again.size());
    report.rechecked += second.size();
    for (size_t j = 0; j < second.size(); ++j) {
      if (second[j].verdict.ok != 0 && second[j].verdict.hash == expected[j]) continue;
      ExploreFailure f{s.name, StrategyText(again[j]), again[j].seed,
                       "nondeterministic: the same seed did not repeat its schedule", ""};
      std::printf("dst: FAIL '%s' seed 0x%016" PRIx64 ": %s\n", s.name.c_str(), f.seed, f.message.c_str());
      report.failures.push_back(f);
    }
  }
  std::printf("dst: %" PRIu64 " schedules, %zu scenarios, %zu failures (random %" PRIu64 ", pct %" PRIu64
              ", sticky %" PRIu64 ")\n",
              report.schedules, report.scenarios, report.failures.size(), report.random, report.pct, report.sticky);
  std::fflush(stdout);
  return report;
}

}  // namespace dst
