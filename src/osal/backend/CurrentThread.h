// Identity of the calling thread, shared by the backends of the OS services
// layer (Thread_*.cpp and the POSIX locks).
#pragma once

#include <cstdint>

// A number that names the calling thread, never 0, and never given to another
// thread of the process while this one lives (on POSIX: never given twice).
uint64_t CurrentThread_Id();

// Logs "Cannot create <what> <error>" and ends the process abnormally: an OS
// object that cannot be created leaves nothing that could carry on soundly.
[[noreturn]] void OsCreationFailed(const char* what, uint32_t error);
