// Threads, locks, condition variables, atomics and the monotonic clock for
// the code above the OS services that needs standard-library forms (the
// simulator, the in-process event source, tests, and the atomics of the
// link layer and the HECI core): the namespace osal_sync.
//
// The backend of the OS services gives them, from its own folder: the
// standard one the std:: types themselves, at no cost (std/OsalSync.h); the
// deterministic simulation its scheduler's own, with the same interface, so
// that every lock, wait and clock reading becomes a scheduling point on the
// virtual clock. The build links one backend (NFC_OSAL_BACKEND), and with it
// the folder this include finds.
#pragma once

#include "OsalSync.h"
