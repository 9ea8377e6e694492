// The firmware stand-ins' one scenario parser (scenario.c, shared by the
// in-process model and the kernel-mode driver), on the host: every key,
// every limit, every kind of malformed item, the answer and fault rules
// and the reaction that both stand-ins take from it, and the model's
// scenario over the same record.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "NfcMeSimulator.h"
#include "scenario.h"

namespace {

struct Parsed {
  bool ok;
  SCENARIO sc;
  std::string error;
};

Parsed parse(const std::string& text) {
  Parsed p;
  char error[128];
  Scenario_Default(&p.sc);
  p.ok = Scenario_Parse(text.c_str(), &p.sc, error, sizeof error) != 0;
  p.error = error;
  return p;
}

std::vector<uint8_t> answerOf(const SCENARIO& sc, unsigned room = 8192) {
  std::vector<uint8_t> out(room);
  out.resize(Scenario_VersionAnswer(&sc, out.data(), room));
  return out;
}

const std::vector<uint8_t> kDefaultAnswer = {0, 0, 0, 0, 0, 0, 0, 0, 15, 0, 0x01, 0x00, 1,
                                             2, 3, 0, 0, 0, 4, 5, 6, 7, 8, 9, 2};

TEST(ScenarioParser, DefaultsAreTheWireFacts) {
  SCENARIO sc;
  Scenario_Default(&sc);
  EXPECT_TRUE(sc.devicePresent);
  EXPECT_EQ(sc.maxMessageLength, 512u);
  EXPECT_EQ(sc.answerMode, ANSWER);
  EXPECT_EQ(sc.answerQueries.count, 0u);
  EXPECT_EQ(sc.failWriteNumber, 0u);
  EXPECT_EQ(sc.failWriteCount, 1u);
  EXPECT_EQ(sc.openErrno, ENODEV);
  EXPECT_EQ(sc.connectErrno, ENOTTY);
  EXPECT_EQ(sc.writeErrno, EIO);
  EXPECT_EQ(sc.readErrno, EIO);
  EXPECT_EQ(sc.connectAnswerLength, 5u);
  EXPECT_EQ(sc.versionAnswerLength, 5u);
  EXPECT_EQ(sc.cancelMode, CANCEL_NORMAL);
  EXPECT_EQ(sc.cancelDelayMs, 2000u);
  EXPECT_FALSE(sc.openDenied);
  EXPECT_EQ(Scenario_VersionAnswerLength(&sc), 25u);
  EXPECT_EQ(answerOf(sc), kDefaultAnswer);
  // An empty text and one of comments and blanks change nothing.
  for (const char* text : {"", " ; \n;\r\n", "# nothing\n  # at all ;"}) {
    const Parsed p = parse(text);
    EXPECT_TRUE(p.ok) << text;
    EXPECT_EQ(answerOf(p.sc), kDefaultAnswer) << text;
  }
}

// One item of every key, and what it sets.
const struct KeyCase {
  const char* item;
  std::function<bool(const SCENARIO&)> check;
} kKeyCases[] = {
    {"devicePresent=no", [](const SCENARIO& s) { return s.devicePresent == 0; }},
    {"connectFails=yes", [](const SCENARIO& s) { return s.connectFails == 1; }},
    {"versionFails=true", [](const SCENARIO& s) { return s.versionFails == 1; }},
    {"stallWrites=1", [](const SCENARIO& s) { return s.stallWrites == 1; }},
    {"openDenied=1", [](const SCENARIO& s) { return s.openDenied == 1; }},
    {"maxMessageLength=0", [](const SCENARIO& s) { return s.maxMessageLength == 0; }},
    {"connectAnswerLength=3", [](const SCENARIO& s) { return s.connectAnswerLength == 3; }},
    {"versionAnswerLength=0", [](const SCENARIO& s) { return s.versionAnswerLength == 0; }},
    {"connectDelayMs=1500", [](const SCENARIO& s) { return s.connectDelayMs == 1500; }},
    {"answerDelayMs=0x10", [](const SCENARIO& s) { return s.answerDelayMs == 16; }},
    {"cancelDelayMs=7", [](const SCENARIO& s) { return s.cancelDelayMs == 7; }},
    {"meResetMs=300", [](const SCENARIO& s) { return s.meResetMs == 300; }},
    {"replyStatus=0xFF", [](const SCENARIO& s) { return s.replyStatus == 255; }},
    {"dataSize=2", [](const SCENARIO& s) { return s.dataSize == 2; }},
    {"failWriteNumber=3", [](const SCENARIO& s) { return s.failWriteNumber == 3; }},
    {"failWriteCount=2", [](const SCENARIO& s) { return s.failWriteCount == 2; }},
    {"failFirstOpens=4", [](const SCENARIO& s) { return s.failFirstOpens == 4; }},
    {"openErrno=EACCES", [](const SCENARIO& s) { return s.openErrno == EACCES; }},
    {"connectErrno=16", [](const SCENARIO& s) { return s.connectErrno == 16; }},
    {"writeErrno=ENODEV", [](const SCENARIO& s) { return s.writeErrno == ENODEV; }},
    {"readErrno=EFAULT", [](const SCENARIO& s) { return s.readErrno == EFAULT; }},
    {"radioType=-1", [](const SCENARIO& s) { return s.radioType == -1; }},
    {"answerLength=12", [](const SCENARIO& s) { return s.answerLength == 12; }},
    {"record=0102030405060708090a0b0c11", [](const SCENARIO& s) { return s.record[9] == 0x0A && s.record[12] == 0x11; }},
    {"framesOnConnect=aa bb", [](const SCENARIO& s) { return s.framesOnConnect.count == 1 && s.framesOnConnect.length[0] == 2; }},
    {"framesBeforeAnswer=0x0500 aa", [](const SCENARIO& s) { return s.framesBeforeAnswer.bytes[0][2] == 0xAA; }},
    {"framesAfterAnswer=11", [](const SCENARIO& s) { return s.framesAfterAnswer.bytes[0][0] == 0x11; }},
    {"answerMode=none", [](const SCENARIO& s) { return s.answerMode == ANSWER_NONE; }},
    {"answerMode=resend", [](const SCENARIO& s) { return s.answerMode == ANSWER_RESEND; }},
    {"answerMode=readerror", [](const SCENARIO& s) { return s.answerMode == ANSWER_READERROR; }},
    {"answerMode=gone", [](const SCENARIO& s) { return s.answerMode == ANSWER_GONE; }},
    {"cancelMode=onclose", [](const SCENARIO& s) { return s.cancelMode == CANCEL_ONCLOSE; }},
    {"cancelMode=late", [](const SCENARIO& s) { return s.cancelMode == CANCEL_LATE; }},
    {"answerQueries=2-4", [](const SCENARIO& s) { return s.answerQueries.count == 1 && s.answerQueries.first[0] == 2 && s.answerQueries.last[0] == 4; }},
};

TEST(ScenarioParser, EveryKeySetsItsField) {
  for (const auto& c : kKeyCases) {
    const Parsed p = parse(std::string("  ") + c.item + "  # with a comment");
    ASSERT_TRUE(p.ok) << c.item << ": " << p.error;
    EXPECT_TRUE(c.check(p.sc)) << c.item;
  }
  // Items in one text, each separator, the last value of a key winning.
  const Parsed p = parse("radioType=17;replyStatus=1\r\nradioType = 3 \n\nanswerMode=answer;answerMode=none");
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.sc.radioType, 3);
  EXPECT_EQ(p.sc.replyStatus, 1u);
  EXPECT_EQ(p.sc.answerMode, ANSWER_NONE);
}

// The in-process model's scenario is this record with the model's own
// extensions on top: every key lands there as in the parser's record, the
// extensions start from their defaults, and a bad text leaves the scenario
// as it was.
TEST(ScenarioText, TheModelsScenarioTakesEveryKey) {
  std::string error;
  for (const auto& c : kKeyCases) {
    SimScenario sc;
    sc.reconnectMaxMessageLength = 7;
    ASSERT_TRUE(Sim_ParseScenario(c.item, &sc, &error)) << c.item << ": " << error;
    EXPECT_TRUE(c.check(sc)) << c.item;
    EXPECT_EQ(sc.reconnectMaxMessageLength, 0u) << c.item;
  }
  SimScenario sc;
  ASSERT_TRUE(Sim_ParseScenario("answerQueries=1,3-", &sc, &error)) << error;
  for (const char* bad : {"maxMessageLength", "nosuchkey=1", "framesOnConnect=0", "openErrno=EWHAT"}) {
    EXPECT_FALSE(Sim_ParseScenario(bad, &sc, &error)) << bad;
    EXPECT_EQ(error, std::string("bad item \"") + bad + "\"");
    EXPECT_EQ(sc.answerQueries.count, 2u) << bad;
  }
}

TEST(ScenarioParser, EveryLimitHoldsAtItsEdge) {
  const std::string frame64(128, 'a'), frame65(130, 'a');
  const std::string eightFrames = [] {
    std::string s;
    for (int i = 0; i < 8; ++i) s += "framesAfterAnswer=01;";
    return s;
  }();
  const struct {
    std::string text;
    bool ok;
  } cases[] = {
      {"answerDelayMs=600000", true},     {"answerDelayMs=600001", false},
      {"connectDelayMs=600000", true},    {"connectDelayMs=600001", false},
      {"cancelDelayMs=600000", true},     {"cancelDelayMs=600001", false},
      {"answerLength=4096", true},        {"answerLength=4097", false},
      {"answerLength=-1", true},          {"answerLength=-2", false},
      {"radioType=255", true},            {"radioType=256", false},
      {"radioType=-2", false},            {"replyStatus=255", true},
      {"replyStatus=256", false},         {"replyStatus=-1", false},
      {"dataSize=65535", true},           {"dataSize=65536", false},
      {"connectAnswerLength=5", true},    {"connectAnswerLength=6", false},
      {"versionAnswerLength=5", true},    {"versionAnswerLength=6", false},
      {"maxMessageLength=4294967295", true}, {"maxMessageLength=4294967296", false},
      {"failWriteNumber=0xFFFFFFFF", true}, {"failWriteNumber=0x100000000", false},
      {"failWriteCount=4294967295", true}, {"failFirstOpens=4294967296", false},
      {"readErrno=4095", true},           {"readErrno=4096", false},
      {"writeErrno=0", false},            {"openErrno=-5", false},
      {"framesOnConnect=" + frame64, true}, {"framesOnConnect=" + frame65, false},
      {eightFrames, true},                {eightFrames + "framesAfterAnswer=01", false},
      {"record=00112233445566778899aabbcc", true},
      {"record=00112233445566778899aabb", false},
      {"record=00112233445566778899aabbccdd", false},
      {"answerQueries=1,2,3,4,5,6,7,8-", true},
      {"answerQueries=1,2,3,4,5,6,7,8,9", false},
      {"answerQueries=4294967295", true}, {"answerQueries=4294967296", false},
  };
  for (const auto& c : cases) {
    const Parsed p = parse(c.text);
    EXPECT_EQ(p.ok, c.ok) << c.text << ": " << p.error;
  }
}

TEST(ScenarioParser, MalformedItemsAreRefusedByName) {
  for (const char* bad :
       {"maxMessageLength", "nosuchkey=1", "=1", "DevicePresent=1", "devicePresent=", "devicePresent=maybe",
        "answerDelayMs=12x", "answerDelayMs=0x", "answerDelayMs=-", "answerDelayMs=1 2", "answerDelayMs=-1",
        "radioType=0x-1", "record=0", "record=zz112233445566778899aabbcc", "framesOnConnect=",
        "framesOnConnect=123", "framesOnConnect=0x", "framesOnConnect=ag", "answerMode=Answer",
        "answerMode=sometimes", "cancelMode=never", "openErrno=EWHAT", "openErrno=eio", "answerQueries=",
        "answerQueries=0", "answerQueries=3-2", "answerQueries=1,", "answerQueries=,1", "answerQueries=a",
        "answerQueries=1--2", "answerQueries=-2", "answerQueries=0-"}) {
    const Parsed p = parse(std::string("radioType=9;") + bad + ";replyStatus=7");
    EXPECT_FALSE(p.ok) << bad;
    EXPECT_EQ(p.error, std::string("bad item \"") + bad + "\"");
    EXPECT_EQ(p.sc.radioType, 9) << "the items before a bad one stay applied";
    EXPECT_EQ(p.sc.replyStatus, 0u) << "nothing after a bad item is applied";
  }
  // The message is cut to its buffer and always ends.
  SCENARIO sc;
  Scenario_Default(&sc);
  char small[8] = "xxxxxxx";
  EXPECT_FALSE(Scenario_Parse("answerMode=sometimes", &sc, small, sizeof small));
  EXPECT_STREQ(small, "bad ite");
  char untouched = 'x';
  EXPECT_FALSE(Scenario_Parse("nosuchkey=1", &sc, &untouched, 0));
  EXPECT_EQ(untouched, 'x');
}

TEST(ScenarioParser, WhichQueriesAreAnswered) {
  const auto answered = [](const char* text) {
    const Parsed p = parse(text);
    EXPECT_TRUE(p.ok) << text << ": " << p.error;
    std::string out;
    for (unsigned n = 1; n <= 6; ++n) out += Scenario_AnswersQuery(&p.sc, n) ? '1' : '0';
    return out;
  };
  EXPECT_EQ(answered(""), "111111");
  EXPECT_EQ(answered("answerQueries=2"), "010000");
  EXPECT_EQ(answered("answerQueries=3-"), "001111");
  EXPECT_EQ(answered("answerQueries=1,3"), "101000");
  EXPECT_EQ(answered("answerQueries= 2 - 4 "), "011100");
  EXPECT_EQ(answered("answerQueries=5,1-2"), "110010");
  EXPECT_EQ(answered("answerQueries=2;answerQueries=4"), "000100");
  // The list applies to the normal answer mode only.
  EXPECT_EQ(answered("answerMode=resend"), "011111");
  EXPECT_EQ(answered("answerMode=resend;answerQueries=1"), "011111");
  EXPECT_EQ(answered("answerMode=none;answerQueries=1"), "000000");
  EXPECT_EQ(answered("answerMode=readerror"), "000000");
  EXPECT_EQ(answered("answerMode=gone"), "000000");
}

TEST(ScenarioParser, WhichWritesFail) {
  const auto failing = [](const char* text, unsigned from, unsigned to) {
    const Parsed p = parse(text);
    EXPECT_TRUE(p.ok) << text << ": " << p.error;
    std::string out;
    for (unsigned n = from;; ++n) {
      out += Scenario_FailsWrite(&p.sc, n) ? '1' : '0';
      if (n == to) break;
    }
    return out;
  };
  EXPECT_EQ(failing("", 0, 5), "000000");
  EXPECT_EQ(failing("failWriteNumber=2", 0, 5), "001000");
  EXPECT_EQ(failing("failWriteNumber=2;failWriteCount=3", 0, 5), "001110");
  EXPECT_EQ(failing("failWriteNumber=2;failWriteCount=0", 0, 5), "000000");
  // At the end of the counter's range, without wrapping round to write 1.
  EXPECT_EQ(failing("failWriteNumber=0xFFFFFFFE;failWriteCount=0xFFFFFFFF", 0xFFFFFFFDu, 0xFFFFFFFFu), "011");
  EXPECT_EQ(failing("failWriteNumber=0xFFFFFFFE;failWriteCount=0xFFFFFFFF", 0, 1), "00");
}

TEST(ScenarioParser, TheAnswerIsShapedCutAndPadded) {
  Parsed p = parse("replyStatus=1;radioType=17;dataSize=2");
  EXPECT_EQ(answerOf(p.sc), std::vector<uint8_t>({0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0x01, 0x01}));
  p = parse("radioType=17;answerLength=30");  // longer than dataSize says: zeros
  std::vector<uint8_t> a = answerOf(p.sc);
  ASSERT_EQ(a.size(), 30u);
  EXPECT_EQ(a[8], 15);
  EXPECT_EQ(a[24], 17);
  EXPECT_EQ(a[29], 0);
  p = parse("radioType=-1;record=00000000000000000000000042;dataSize=0x0102");
  a = answerOf(p.sc);
  ASSERT_EQ(a.size(), 10u + 0x102);
  EXPECT_EQ(a[8], 0x02);
  EXPECT_EQ(a[9], 0x01);
  EXPECT_EQ(a[24], 0x42) << "radioType -1 keeps the record's own byte";
  p = parse("answerLength=0");
  EXPECT_TRUE(answerOf(p.sc).empty());
  // A smaller room cuts the answer; the length says what the room must hold.
  p = parse("");
  EXPECT_EQ(answerOf(p.sc, 5), std::vector<uint8_t>(kDefaultAnswer.begin(), kDefaultAnswer.begin() + 5));
  p = parse("answerLength=4096");
  EXPECT_EQ(Scenario_VersionAnswerLength(&p.sc), 4096u);
  EXPECT_EQ(answerOf(p.sc).size(), 4096u);
}

}  // namespace
