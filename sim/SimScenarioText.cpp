// Scenario text: `key=value` items, one per line or separated by ';'.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "NfcMeSimulator.h"

namespace {

std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

bool parseNumber(const std::string& text, long long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0') return false;
  *out = v;
  return true;
}

bool parseUnsigned(const std::string& text, uint64_t max, uint64_t* out) {
  long long v = 0;
  if (!parseNumber(text, &v) || v < 0 || static_cast<uint64_t>(v) > max) return false;
  *out = static_cast<uint64_t>(v);
  return true;
}

bool parseBool(const std::string& text, bool* out) {
  if (text == "true" || text == "1" || text == "yes") {
    *out = true;
  } else if (text == "false" || text == "0" || text == "no") {
    *out = false;
  } else {
    return false;
  }
  return true;
}

bool parseErrno(const std::string& text, int* out) {
  static const struct {
    const char* name;
    int value;
  } names[] = {{"ENOTTY", ENOTTY}, {"ENODEV", ENODEV}, {"EACCES", EACCES}, {"ENOENT", ENOENT},
               {"EIO", EIO},       {"EBUSY", EBUSY},   {"EFAULT", EFAULT}, {"EPERM", EPERM},
               {"EINVAL", EINVAL}};
  for (const auto& n : names) {
    if (text == n.name) {
      *out = n.value;
      return true;
    }
  }
  uint64_t v = 0;
  if (!parseUnsigned(text, 4095, &v) || v == 0) return false;
  *out = static_cast<int>(v);
  return true;
}

// Hex bytes, in tokens of one or more whole bytes: "05 00 aa" or "0500aa".
bool parseBytes(const std::string& text, SimFrame* out) {
  out->clear();
  std::istringstream in(text);
  std::string token;
  while (in >> token) {
    if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) token = token.substr(2);
    if (token.size() % 2 != 0) return false;
    for (size_t i = 0; i < token.size(); i += 2) {
      if (!std::isxdigit(static_cast<unsigned char>(token[i])) ||
          !std::isxdigit(static_cast<unsigned char>(token[i + 1]))) {
        return false;
      }
      out->push_back(static_cast<uint8_t>(std::strtoul(token.substr(i, 2).c_str(), nullptr, 16)));
    }
  }
  return true;
}

bool parseAnswerMode(const std::string& text, SimAnswerMode* out) {
  if (text == "answer") {
    *out = SimAnswerMode::Answer;
  } else if (text == "none") {
    *out = SimAnswerMode::NoAnswer;
  } else if (text == "resend") {
    *out = SimAnswerMode::ResendOnly;
  } else if (text == "readerror") {
    *out = SimAnswerMode::ReadError;
  } else if (text == "gone") {
    *out = SimAnswerMode::DeviceGone;
  } else {
    return false;
  }
  return true;
}

bool applyItem(const std::string& key, const std::string& value, SimScenario* sc) {
  uint64_t u = 0;
  long long n = 0;
  SimFrame bytes;
  if (key == "devicePresent") return parseBool(value, &sc->devicePresent);
  if (key == "connectFails") return parseBool(value, &sc->connectFails);
  if (key == "stallWrites") return parseBool(value, &sc->stallWrites);
  if (key == "openErrno") return parseErrno(value, &sc->openErrno);
  if (key == "connectErrno") return parseErrno(value, &sc->connectErrno);
  if (key == "writeErrno") return parseErrno(value, &sc->writeErrno);
  if (key == "readErrno") return parseErrno(value, &sc->readErrno);
  if (key == "answerMode") return parseAnswerMode(value, &sc->answerMode);
  if (key == "failFirstOpens" || key == "maxMessageLength" || key == "answerDelayMs" ||
      key == "failWriteNumber" || key == "failWriteCount") {
    if (!parseUnsigned(value, UINT32_MAX, &u)) return false;
    uint32_t* field = key == "failFirstOpens"     ? &sc->failFirstOpens
                      : key == "maxMessageLength" ? &sc->maxMessageLength
                      : key == "answerDelayMs"    ? &sc->answerDelayMs
                      : key == "failWriteNumber"  ? &sc->failWriteNumber
                                                  : &sc->failWriteCount;
    *field = static_cast<uint32_t>(u);
    return true;
  }
  if (key == "replyStatus") {
    if (!parseUnsigned(value, 0xFF, &u)) return false;
    sc->replyStatus = static_cast<uint8_t>(u);
    return true;
  }
  if (key == "dataSize") {
    if (!parseUnsigned(value, 0xFFFF, &u)) return false;
    sc->dataSize = static_cast<uint16_t>(u);
    return true;
  }
  if (key == "radioType" || key == "answerLength") {
    if (!parseNumber(value, &n) || n < -1 || n > (key == "radioType" ? 0xFF : 0xFFFF)) return false;
    (key == "radioType" ? sc->radioType : sc->answerLength) = static_cast<int32_t>(n);
    return true;
  }
  if (key == "record") {
    if (!parseBytes(value, &bytes) || bytes.size() != sc->record.size()) return false;
    std::copy(bytes.begin(), bytes.end(), sc->record.begin());
    return true;
  }
  if (key == "framesOnConnect" || key == "framesBeforeAnswer" || key == "framesAfterAnswer") {
    if (!parseBytes(value, &bytes) || bytes.empty()) return false;
    (key == "framesOnConnect"      ? sc->framesOnConnect
     : key == "framesBeforeAnswer" ? sc->framesBeforeAnswer
                                   : sc->framesAfterAnswer)
        .push_back(bytes);
    return true;
  }
  return false;
}

}  // namespace

bool Sim_ParseScenario(const std::string& text, SimScenario* out, std::string* error) {
  SimScenario sc;
  std::string item;
  std::string normalised = text;
  for (char& ch : normalised) {
    if (ch == ';') ch = '\n';
  }
  std::istringstream in(normalised);
  while (std::getline(in, item)) {
    const size_t hash = item.find('#');
    if (hash != std::string::npos) item.erase(hash);
    item = trim(item);
    if (item.empty()) continue;
    const size_t eq = item.find('=');
    if (eq == std::string::npos) {
      if (error) *error = "no '=' in \"" + item + "\"";
      return false;
    }
    const std::string key = trim(item.substr(0, eq));
    const std::string value = trim(item.substr(eq + 1));
    if (!applyItem(key, value, &sc)) {
      if (error) *error = "bad item \"" + item + "\"";
      return false;
    }
  }
  *out = sc;
  return true;
}
