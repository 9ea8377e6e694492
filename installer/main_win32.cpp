// Tamvik's entry on Windows: the wide-character command line as it is.
#include <windows.h>

#include "Installer.h"
#include "InstallerSystem.h"

int wmain(int argc, wchar_t* argv[]) {
  // Installers run Tamvik unattended: a crash ends the process with its
  // exception code instead of waiting on an error-report dialog, and a
  // missing disk or file is reported as an error, not asked about.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  const auto platform = tamvik::CreateSystemPlatform();
  const auto output = tamvik::CreateConsoleOutput();
  return tamvik::TamvikMain(argc, argv, *platform, *output);
}
