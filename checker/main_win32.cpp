// Orlisk's Windows entry point (see main.cpp for what the program does).
//
// Installers run Orlisk unattended, often with no one at the screen. If the
// process ever faults, Windows must end it rather than show the error-report
// dialog, which would hold the installer until someone closes it. The error
// mode is a property of the whole process, owned by no layer of the program,
// and must be set before anything else runs: so it is set here, first.
#include <windows.h>

#include "Orlisk.h"

int main() {
  // Kept: whatever the caller asked for (the mode is inherited).
  const UINT inherited = SetErrorMode(0);
  SetErrorMode(inherited | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  return Orlisk_Run();
}
