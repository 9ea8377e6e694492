#include "Orlisk.h"

#include <cstdio>
#include <cstdlib>

#include "NfcMeFrames.h"
#include "vxHECI.h"

namespace {

constexpr uint8_t kRadioTypeA = 2;
constexpr uint8_t kRadioTypeB = 17;

constexpr const char* kConnectFailed =
    "Failed to connect to HECI Client handle : {0xd2de1625, 0x382d, 0x417d, 0x48, 0xa4, 0xef, "
    "0xab, 0xba, 0x8a, 0x12, 0x06}\n";
constexpr const char* kQueryFailed = "Failed to retrieve informations from driver.\n";

// The standard formatted print, flushed so that the result word reaches the
// caller in order with the log lines even when the process is cut short.
void print(const char* text) {
  std::printf("%s", text);
  std::fflush(stdout);
}

bool connectLink(Orlisk& self) {
  if (vxHECI_Connect(&self.linkContext, &self) != 0) {
    print(kConnectFailed);
    return false;
  }
  return true;
}

bool queryLink(Orlisk& self) {
  if (vxHECI_QueryInfo(self.linkContext, self.queryInfo) != 0) {
    print(kQueryFailed);
    return false;
  }
  return true;
}

}  // namespace

Orlisk::Orlisk() : queryInfo(static_cast<MeQueryInfo*>(std::malloc(sizeof(MeQueryInfo)))) {}

Orlisk::~Orlisk() {
  vxHECI_Close(linkContext);
  std::free(queryInfo);
}

bool Orlisk::openAndQuery() { return connectLink(*this) && queryLink(*this); }

bool Orlisk::checkRadioType() {
  if (linkContext == nullptr && !openAndQuery()) {
    return false;
  }
  const uint8_t radioType = queryInfo->radioType;
  return radioType == kRadioTypeA || radioType == kRadioTypeB;
}

int Orlisk::checkIvn() {
  if (linkContext != nullptr) {
    return kIvnCheckPassed;
  }
  return openAndQuery() ? kIvnCheckPassed : kIvnCheckFailed;
}

namespace {

struct Outcome {
  int code;
  const char* word;
};

Outcome decide(Orlisk& orlisk) {
  if (!connectLink(orlisk)) return {1, "HECI_NOT_PRESENT\n"};
  if (!queryLink(orlisk)) return {1, "HECI_NOT_PRESENT\n"};
  if (!orlisk.checkRadioType()) return {2, "WRONG_RADIO_TYPE\n"};
  switch (orlisk.checkIvn()) {
    case kIvnCheckFailed:
      return {3, "IVN_CHECK_FAILED\n"};
    case kIvnFirmwareLower:
      return {4, "IVN_CHECK_FWIVN_LT_SWIVN\n"};
    case kIvnFirmwareGreater:
      return {5, "IVN_CHECK_FWIVN_GT_SWIVN\n"};
    default:
      return {0, "SUCCESS"};
  }
}

}  // namespace

void Orlisk::closeLink() {
  vxHECI_Close(linkContext);
  linkContext = nullptr;
}

int Orlisk_Run() {
  Orlisk orlisk;
  const Outcome outcome = decide(orlisk);
  // The link is closed before the word goes out, not after: until the close
  // has joined them, the link's threads may still log (an unsolicited frame
  // after the answer, an ME reset), and callers read the last line. After
  // the close nothing but the word is written.
  orlisk.closeLink();
  print(outcome.word);
  return outcome.code;
}
