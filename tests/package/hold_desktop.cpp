// usage: hold_desktop.exe   (ends when its standard input closes)
//
// Under Wine the first program that needs a desktop starts the desktop's
// process (explorer.exe /desktop), which inherits that program's standard
// handles and lives on for seconds after it. When that program is one that
// NfcDriver.cmd runs with its output redirected to a file, the desktop holds
// the file, and the script can no longer read or append to it: a Wine
// artefact, since Windows starts no such process from the program. The
// script's tests start this program first, with nothing open, so that the
// desktop exists, without their files, for as long as they run.
#include <windows.h>

int wmain() {
  GetDesktopWindow();
  char buffer[64];
  DWORD got = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof(buffer), &got, nullptr) && got > 0) {
  }
  return 0;
}
