// An unmodified program (heci_probe) against libmeisim.so, preloaded, with
// its scenario taken from the environment.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

struct ProbeRun {
  std::string out;
  int code;
};

// Runs a probe (heci_probe unless said) with LD_PRELOAD and the given
// environment assignments; stdout and stderr together.
ProbeRun runProbe(const std::string& environment, const char* probe = NFC_PROBE) {
  std::string preload = NFC_MEISIM_LIBRARY;
  if (std::string(NFC_SANITIZER_RUNTIME).size() > 0) {
    preload = std::string(NFC_SANITIZER_RUNTIME) + ":" + preload;  // the sanitizer's runtime comes first
  }
  // A probe that hangs is stopped after a minute (exit 124).
  const std::string command =
      "timeout 60 env LD_PRELOAD='" + preload + "' " + environment + " '" + probe + "' 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return {"popen failed", -1};
  ProbeRun run{{}, -1};
  char chunk[256];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) run.out.append(chunk, n);
  const int status = ::pclose(pipe);
  run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

const char* const kAnswer =
    "received: 00 00 00 00 00 00 00 00 0F 00 01 00 01 02 03 00 00 00 04 05 06 07 08 09 02\n";

TEST(Preload, TheProgramTalksToTheEmulatedDevice) {
  const ProbeRun run = runProbe("");
  EXPECT_EQ(run.code, 0) << run.out;
  EXPECT_EQ(run.out, std::string("connected, max message length 512\n") + kAnswer);
}

TEST(Preload, TheScenarioComesFromTheEnvironment) {
  const ProbeRun run = runProbe("NFCSIM_SCENARIO='radioType=17; maxMessageLength=64; "
                           "framesBeforeAnswer=05 00 00 00 01 00 AA'");
  EXPECT_EQ(run.code, 0) << run.out;
  EXPECT_EQ(run.out,
            "connected, max message length 64\n"
            "received: 05 00 00 00 01 00 AA\n"
            "received: 00 00 00 00 00 00 00 00 0F 00 01 00 01 02 03 00 00 00 04 05 06 07 08 09 11\n");

  const ProbeRun none = runProbe("NFCSIM_SCENARIO='devicePresent=false'");
  EXPECT_EQ(none.code, 2);
  EXPECT_EQ(none.out, "open failed 2\n");

  const ProbeRun silent = runProbe("NFCSIM_SCENARIO='answerMode=none'");
  EXPECT_EQ(silent.code, 3) << silent.out;
}

TEST(Preload, AScenarioFileAndATrace) {
  const std::string dir = ::testing::TempDir();
  const std::string scenario = dir + "heci_preload_scenario.txt";
  const std::string trace = dir + "heci_preload_trace.txt";
  std::remove(trace.c_str());
  {
    std::ofstream f(scenario);
    f << "# the ME refuses the client\nconnectFails=true\nconnectErrno=ENOTTY\n";
  }
  const ProbeRun run = runProbe("NFCSIM_SCENARIO='" + scenario + "' NFCSIM_TRACE='" + trace + "'");
  EXPECT_EQ(run.code, 2);
  EXPECT_EQ(run.out,
            "ERROR   : HECILinux : IOCTL_MEI_CONNECT_CLIENT failed : ioctl return -1, errno : 25 (no such client)\n"
            "open failed 3\n");
  std::ifstream t(trace);
  const std::string text((std::istreambuf_iterator<char>(t)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("#1 ioctl connect (refused), errno 25"), std::string::npos) << text;

  const ProbeRun bad = runProbe("NFCSIM_SCENARIO='answerMode=sometimes'");
  EXPECT_NE(bad.out.find("nfcsim: bad scenario: bad item \"answerMode=sometimes\""), std::string::npos) << bad.out;
  EXPECT_EQ(bad.code, 0);  // the defaults serve
}

// The stand-in's poll, first called by one thread and then by another with
// nothing between them that a sanitizer takes as synchronisation: the C
// library's poll it hands calls to is seen by both (under the thread
// sanitizer, no report of a race on it).
TEST(Preload, ThePollOfTheStandInServesEveryThreadFromTheFirstCall) {
  const ProbeRun run = runProbe("", NFC_POLL_PROBE);
  EXPECT_EQ(run.code, 0) << run.out;
  EXPECT_EQ(run.out, "");
}

}  // namespace
