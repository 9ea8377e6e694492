#include "Memory.h"

#include <windows.h>

#include <cstdlib>

void Memory_AbnormalEnd() {
  // End with the access-violation status, without unwinding, atexit handlers
  // or a crash dialog that could keep an installer waiting.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(EXCEPTION_ACCESS_VIOLATION));
  std::abort();
}
