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

int Orlisk_Run() {
  Orlisk orlisk;
  if (!connectLink(orlisk)) {
    print("HECI_NOT_PRESENT\n");
    return 1;
  }
  if (!queryLink(orlisk)) {
    print("HECI_NOT_PRESENT\n");
    return 1;
  }
  if (!orlisk.checkRadioType()) {
    print("WRONG_RADIO_TYPE\n");
    return 2;
  }
  switch (orlisk.checkIvn()) {
    case kIvnCheckPassed:
      break;
    case kIvnCheckFailed:
      print("IVN_CHECK_FAILED\n");
      return 3;
    case kIvnFirmwareLower:
      print("IVN_CHECK_FWIVN_LT_SWIVN\n");
      return 4;
    case kIvnFirmwareGreater:
      print("IVN_CHECK_FWIVN_GT_SWIVN\n");
      return 5;
    default:
      break;
  }
  print("SUCCESS");
  return 0;
}
