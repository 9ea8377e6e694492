// The system's own InstallerPlatform and console InstallerOutput. The build
// picks the Windows implementation (InstallerPlatform_win32.cpp,
// InstallerConsole_win32.cpp) or the stand-in for other systems
// (InstallerPlatform_linux.cpp, InstallerConsole_posix.cpp).
#pragma once

#include <memory>

#include "InstallerPlatform.h"

namespace tamvik {

std::unique_ptr<InstallerPlatform> CreateSystemPlatform();
std::unique_ptr<InstallerOutput> CreateConsoleOutput();

}  // namespace tamvik
