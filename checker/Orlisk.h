// The version check program's one class: it owns the link to the NFC-ME
// client and the 13-byte version record, and decides on the controller.
#pragma once

#include <cstdint>

struct NfcMeContext;
struct MeQueryInfo;

// Results of checkIvn.
constexpr int kIvnCheckPassed = 0;
constexpr int kIvnCheckFailed = 1;
constexpr int kIvnFirmwareLower = 2;
constexpr int kIvnFirmwareGreater = 3;

class Orlisk {
 public:
  Orlisk();
  virtual ~Orlisk();  // closes the link, then frees the record
  Orlisk(const Orlisk&) = delete;
  Orlisk& operator=(const Orlisk&) = delete;

  // True when the controller's radio type is supported (2 or 17). Opens the
  // link and queries first when the object has no link yet.
  bool checkRadioType();
  // 0: the firmware IVN check passed; 1: it could not be made. No IVN value
  // or position is defined for the controllers we ship with, so no
  // comparison is made and 2 and 3 (lower, greater) never come back.
  int checkIvn();
  // Closes the link now (the destructor's close then has nothing to do).
  void closeLink();

  NfcMeContext* linkContext = nullptr;  // null until connected
  MeQueryInfo* queryInfo = nullptr;     // 13 bytes, plain heap, owned

 private:
  bool openAndQuery();
};

// The program entry without its process wrapper: prints the result word and
// returns the exit code.
int Orlisk_Run();
