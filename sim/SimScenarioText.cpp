// The in-process model's side of the scenario: the stand-ins' one parser
// (scenario/scenario.c) fills a SCENARIO, copied here into a SimScenario;
// and back, for the behaviour both stand-ins take from scenario.c.
#include <algorithm>
#include <vector>

#include "SimModel.h"

namespace {

static_assert(static_cast<int>(SimAnswerMode::Answer) == ANSWER &&
                  static_cast<int>(SimAnswerMode::NoAnswer) == ANSWER_NONE &&
                  static_cast<int>(SimAnswerMode::ResendOnly) == ANSWER_RESEND &&
                  static_cast<int>(SimAnswerMode::ReadError) == ANSWER_READERROR &&
                  static_cast<int>(SimAnswerMode::DeviceGone) == ANSWER_GONE,
              "SimAnswerMode follows ANSWER_MODE");

std::vector<SimFrame> framesOf(const SCENARIO_FRAMES& f) {
  std::vector<SimFrame> out;
  for (unsigned i = 0; i < f.count; ++i) out.emplace_back(f.bytes[i], f.bytes[i] + f.length[i]);
  return out;
}

}  // namespace

SCENARIO simmodel::WireScenario(const SimScenario& sc) {
  SCENARIO w;
  Scenario_Default(&w);
  w.devicePresent = sc.devicePresent;
  w.connectFails = sc.connectFails;
  w.maxMessageLength = sc.maxMessageLength;
  w.answerMode = static_cast<ANSWER_MODE>(sc.answerMode);
  w.answerQueries = sc.answerQueries;
  w.answerDelayMs = sc.answerDelayMs;
  w.replyStatus = sc.replyStatus;
  std::copy(sc.record.begin(), sc.record.end(), w.record);
  w.radioType = sc.radioType;
  w.dataSize = sc.dataSize;
  w.answerLength = sc.answerLength;
  w.failWriteNumber = sc.failWriteNumber;
  w.failWriteCount = sc.failWriteCount;
  w.stallWrites = sc.stallWrites;
  w.failFirstOpens = sc.failFirstOpens;
  w.openErrno = sc.openErrno;
  w.connectErrno = sc.connectErrno;
  w.writeErrno = sc.writeErrno;
  w.readErrno = sc.readErrno;
  w.meResetMs = sc.meResetMs;
  return w;  // the frames stay in SimScenario's lists, which have no limits
}

bool Sim_ParseScenario(const std::string& text, SimScenario* out, std::string* error) {
  SCENARIO w;
  char message[160];
  Scenario_Default(&w);
  if (!Scenario_Parse(text.c_str(), &w, message, sizeof message)) {
    if (error) *error = message;
    return false;
  }
  SimScenario sc;
  sc.devicePresent = w.devicePresent != 0;
  sc.failFirstOpens = w.failFirstOpens;
  sc.openErrno = w.openErrno;
  sc.connectFails = w.connectFails != 0;
  sc.connectErrno = w.connectErrno;
  sc.maxMessageLength = w.maxMessageLength;
  sc.answerMode = static_cast<SimAnswerMode>(w.answerMode);
  sc.answerQueries = w.answerQueries;
  sc.answerDelayMs = w.answerDelayMs;
  sc.replyStatus = static_cast<uint8_t>(w.replyStatus);
  std::copy(std::begin(w.record), std::end(w.record), sc.record.begin());
  sc.radioType = w.radioType;
  sc.dataSize = static_cast<uint16_t>(w.dataSize);
  sc.answerLength = w.answerLength;
  sc.framesOnConnect = framesOf(w.framesOnConnect);
  sc.framesBeforeAnswer = framesOf(w.framesBeforeAnswer);
  sc.framesAfterAnswer = framesOf(w.framesAfterAnswer);
  sc.failWriteNumber = w.failWriteNumber;
  sc.failWriteCount = w.failWriteCount;
  sc.writeErrno = w.writeErrno;
  sc.readErrno = w.readErrno;
  sc.stallWrites = w.stallWrites != 0;
  sc.meResetMs = w.meResetMs;
  *out = std::move(sc);
  return true;
}
