// The Orlisk class against the firmware simulator, in-process: the result
// words and exit codes, and the lazy link of its two checks.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

#include "Log.h"
#include "NfcMeFrames.h"
#include "NfcMeSimulator.h"
#include "Orlisk.h"
#include "TestSupport.h"

using testsupport::with;

namespace {

struct RunResult {
  int code;
  std::string out;
};

// The program's own output: the log lines that share standard output are
// the link's business (and differ by platform: Wine's event log, for one,
// cannot subscribe and says so).
std::string withoutLogLines(const std::string& out) {
  std::string own;
  size_t at = 0;
  while (at < out.size()) {
    size_t end = out.find('\n', at);
    end = end == std::string::npos ? out.size() : end + 1;
    const std::string line = out.substr(at, end - at);
    if (line.rfind("LOG     : ", 0) != 0 && line.rfind("WARNING : ", 0) != 0 &&
        line.rfind("ERROR   : ", 0) != 0) {
      own += line;
    }
    at = end;
  }
  return own;
}

RunResult runWith(const SimScenario& scenario) {
  Sim_Configure(scenario);
  testsupport::Output captured;
  const int code = Orlisk_Run();
  return {code, withoutLogLines(captured.take())};
}

SimScenario withRadio(int radioType) {
  return with<SimScenario>([=](auto& s) { s.radioType = radioType; });
}

bool endsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

TEST(Orlisk, SupportedRadioTypesSucceedWithoutALineEnd) {
  for (int radio : {2, 17}) {
    const auto r = runWith(withRadio(radio));
    EXPECT_EQ(r.code, 0) << radio;
    EXPECT_EQ(r.out, "SUCCESS") << radio;
  }
}

namespace {

// Holds the dispatcher after it has logged the unsolicited frame that came
// after the answer, until the link is being closed (or a bound passes).
std::atomic<bool> gDispatcherHeld{false};
void holdAfterIntegrityLine(const char* line, size_t) {
  if (std::strstr(line, "FIXME : Receive Message integrity checks") == nullptr) return;
  gDispatcherHeld = true;
  Sim_WaitFor([](const SimStats& st) { return st.closes >= 1; }, 3000);
}

}  // namespace

// Callers read the last line: the word comes after every log line of the
// run, and the close adds no error line of its own.
TEST(Orlisk, ResultWordIsTheLastLineWhenAFrameFollowsTheAnswer) {
  SimScenario s;
  s.framesAfterAnswer = SimFrames({{0x20, 0x01, 0x00, 0x00, 0x00, 0x00}});
  Log_SetLineObserver(holdAfterIntegrityLine);
  for (int run = 0; run < 20; ++run) {
    gDispatcherHeld = false;
    Sim_Configure(s);
    testsupport::Output captured;
    const int code = Orlisk_Run();
    const std::string out = captured.take();
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(endsWith(out, "SUCCESS")) << out;
    EXPECT_EQ(out.find("HECIReceiveMessage failed"), std::string::npos) << out;
    EXPECT_EQ(out.find("Communication Error"), std::string::npos) << out;
  }
  Log_SetLineObserver(nullptr);
}

TEST(Orlisk, OtherRadioTypesAreRejected) {
  for (int radio : {0, 1, 3, 16, 18}) {
    const auto r = runWith(withRadio(radio));
    EXPECT_EQ(r.code, 2) << radio;
    EXPECT_EQ(r.out, "WRONG_RADIO_TYPE\n") << radio;
  }
}

TEST(Orlisk, QueryFailurePrintsItsLineThenNotPresent) {
  const auto r = runWith(with<SimScenario>([](auto& s) { s.answerMode = ANSWER_READERROR; }));
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "Failed to retrieve informations from driver.\nHECI_NOT_PRESENT\n");
}

TEST(Orlisk, ChecksOpenTheLinkThemselvesWhenNoneIsOpen) {
  Sim_Configure(withRadio(17));
  {
    Orlisk orlisk;
    EXPECT_TRUE(orlisk.checkRadioType());
    EXPECT_NE(orlisk.linkContext, nullptr);
    EXPECT_EQ(orlisk.queryInfo->radioType, 17);
    // With the link open, the IVN check passes whatever the record holds.
    orlisk.queryInfo->radioType = 0;
    EXPECT_EQ(orlisk.checkIvn(), kIvnCheckPassed);
  }
  {
    Orlisk orlisk;
    EXPECT_EQ(orlisk.checkIvn(), kIvnCheckPassed);
    EXPECT_NE(orlisk.linkContext, nullptr);
  }
  EXPECT_EQ(Sim_GetStats().openConnections, 0u);  // both destructors closed their link
}

TEST(Orlisk, LazyCheckWithoutADeviceFailsWithTheConnectLine) {
  Sim_Configure(with<SimScenario>([](auto& s) { s.devicePresent = false; }));
  Orlisk orlisk;
  testsupport::Output captured;
  EXPECT_EQ(orlisk.checkIvn(), kIvnCheckFailed);
  const std::string out = captured.take();
  EXPECT_EQ(orlisk.linkContext, nullptr);
  EXPECT_TRUE(endsWith(out, "Failed to connect to HECI Client handle : {0xd2de1625, 0x382d, 0x417d, 0x48, "
                            "0xa4, 0xef, 0xab, 0xba, 0x8a, 0x12, 0x06}\n"))
      << out;
}
