#include "CurrentThread.h"
#include "Log.h"
#include "Memory.h"

void OsCreationFailed(const char* what, uint32_t error) {
  // Nothing in the system checks creation results; a missing lock, event or
  // thread would only turn into hangs or corrupt handshakes later on.
  Log_Error("Cannot create %s %X\n", what, static_cast<unsigned>(error));
  Memory_AbnormalEnd();
}
