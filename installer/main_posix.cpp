// Tamvik's entry on systems with narrow (UTF-8) command lines.
#include <string>
#include <vector>

#include "Installer.h"
#include "InstallerSystem.h"
#include "Utf8.h"

int main(int argc, char* argv[]) {
  std::vector<std::wstring> arguments;
  arguments.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) {
    arguments.push_back(tamvik::WideFromUtf8(argv[i]));
  }
  std::vector<const wchar_t*> wideArgv;
  for (const std::wstring& argument : arguments) {
    wideArgv.push_back(argument.c_str());
  }
  wideArgv.push_back(nullptr);

  const auto platform = tamvik::CreateSystemPlatform();
  const auto output = tamvik::CreateConsoleOutput();
  return tamvik::TamvikMain(argc, wideArgv.data(), *platform, *output);
}
