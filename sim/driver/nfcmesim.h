/*
 * What the kernel-mode stand-in's two files share: the driver proper
 * (nfcmesim.c) and its trace and registry reads (nfcmesim_trace.c).
 */
#ifndef NFCMESIM_H
#define NFCMESIM_H

#include <ntddk.h>

#include "scenario.h"
#include "trace_line.h"

/* The inline form reads KUSER_SHARED_DATA; the exported function is
 * imported through an import library of our own (see CMakeLists.txt). */
#undef KeQuerySystemTime
__declspec(dllimport) VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);

#define TAG 0x656D664Eu /* "Nfme" in a pool dump */

/* The service's registry key, and when the driver was loaded. */
extern UNICODE_STRING gRegistryPath;
extern LONGLONG gStart;

LONGLONG now100ns(void);

/* ---- trace (nfcmesim_trace.c) --------------------------------------------
 * Lines in the stand-ins' one format (trace_line.h), appended to the file
 * the service's Trace value names. Never called with the device lock held. */

/* "<time> #<handle> <what>": the start of every line. */
void startHandleLine(TRACE_LINE* l, ULONG id, const char* what);
void putStatus(TRACE_LINE* l, NTSTATUS status);
void emit(TRACE_LINE* l);
/* A whole line: "<what> <detail>", "<what> <length>: <bytes>", "<what> <n>". */
void trace2(ULONG id, const char* what, const char* detail);
void traceBytes(ULONG id, const char* what, const UCHAR* data, ULONG length);
void traceNumber(ULONG id, const char* what, ULONGLONG value);

/* ---- registry (nfcmesim_trace.c) ---------------------------------------- */
BOOLEAN readRegistryString(const WCHAR* valueName, WCHAR* out, ULONG outChars);
/* The Scenario value over the defaults; an unreadable or missing value means
 * the default scenario, a bad item is traced and the items before it stay
 * in force. */
void loadScenario(SCENARIO* sc);

#endif
