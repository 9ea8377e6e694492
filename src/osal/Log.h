// The three-level log on standard output, and the hex dump of frames.
//
// Every line is "<prefix><message>\n" with the prefixes "LOG     : ",
// "WARNING : " and "ERROR   : ". The "\n" is always added, also after a
// message that already ends in one.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__GNUC__)
#define NFC_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define NFC_PRINTF_FORMAT(fmt, args)
#endif

void Log_Info(const char* format, ...) NFC_PRINTF_FORMAT(1, 2);
void Log_Warning(const char* format, ...) NFC_PRINTF_FORMAT(1, 2);
void Log_Error(const char* format, ...) NFC_PRINTF_FORMAT(1, 2);

// Test seam: called on the writing thread after each line has gone out,
// with the whole line (prefix and "\n" included). Tests use it to hold a
// thread right after a line that marks a window they want to force, and the
// deterministic simulation to stamp lines with their thread and virtual
// time; nothing in the programs sets it. Null removes it.
using LogLineObserver = void (*)(const char* line, size_t length);
void Log_SetLineObserver(LogLineObserver observer);

// Dumps n bytes as lines of up to 8 hex bytes and their characters, each line
// written through Log_Info.
void Log_HexDump(const void* bytes, uint32_t n);

