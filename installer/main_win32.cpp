// Tamvik's entry on Windows: the wide-character command line as it is.
#include "Installer.h"
#include "InstallerSystem.h"

int wmain(int argc, wchar_t* argv[]) {
  const auto platform = tamvik::CreateSystemPlatform();
  const auto output = tamvik::CreateConsoleOutput();
  return tamvik::TamvikMain(argc, argv, *platform, *output);
}
