#include "Log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

std::atomic<LogLineObserver> gLineObserver{nullptr};

void writeLine(const char* prefix, const char* format, va_list args) {
  // The whole line goes out in one write: stdio locks the stream per call,
  // so lines of different threads (dispatcher, timer, event-log delivery)
  // never mix inside a line. The flush keeps the order of our own lines
  // against the program's result word on the same stream.
  char stackLine[512];
  va_list again;
  va_copy(again, args);
  const int prefixLength = std::snprintf(stackLine, sizeof stackLine, "%s", prefix);
  const int messageLength = std::vsnprintf(stackLine + prefixLength, sizeof stackLine - prefixLength, format, args);
  if (messageLength < 0) {
    va_end(again);
    return;
  }
  const size_t total = static_cast<size_t>(prefixLength) + static_cast<size_t>(messageLength) + 1;
  std::vector<char> heapLine;
  char* line = stackLine;
  if (total + 1 > sizeof stackLine) {
    heapLine.resize(total + 1);
    line = heapLine.data();
    std::memcpy(line, prefix, static_cast<size_t>(prefixLength));
    std::vsnprintf(line + prefixLength, heapLine.size() - prefixLength, format, again);
  }
  va_end(again);
  line[total - 1] = '\n';
  std::fwrite(line, 1, total, stdout);
  std::fflush(stdout);
  if (LogLineObserver observer = gLineObserver.load()) {
    observer(line, total);
  }
}

// The dump line is handed to Log_Info as its format string, so the message
// text it builds doubles '%' itself. Calling through a non-literal format is
// the point here; keep the compiler's format check quiet for this one call.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
void logDumpLine(const char* line) { Log_Info(line); }
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

}  // namespace

void Log_SetLineObserver(LogLineObserver observer) { gLineObserver = observer; }

void Log_Info(const char* format, ...) {
  va_list args;
  va_start(args, format);
  writeLine("LOG     : ", format, args);
  va_end(args);
}

void Log_Warning(const char* format, ...) {
  va_list args;
  va_start(args, format);
  writeLine("WARNING : ", format, args);
  va_end(args);
}

void Log_Error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  writeLine("ERROR   : ", format, args);
  va_end(args);
}

void Log_HexDump(const void* bytes, uint32_t n) {
  static const char kHex[] = "0123456789ABCDEF";
  const auto* p = static_cast<const uint8_t*>(bytes);
  uint32_t start = 0;
  while (start < n) {
    char line[128];
    int used = 0;
    // Hex column: up to 8 bytes, "XX " each.
    for (uint32_t i = start; i < n && i - start < 8; ++i) {
      line[used++] = kHex[p[i] >> 4];
      line[used++] = kHex[p[i] & 0x0F];
      line[used++] = ' ';
    }
    // Character column, from the same first byte, until 32 columns are used.
    uint32_t next = start;
    while (next < n && used < 32) {
      const uint8_t c = p[next++];
      if (c == '%') {
        line[used++] = '%';
        line[used++] = '%';
      } else if (c < 0x20) {
        line[used++] = '.';
      } else {
        line[used++] = static_cast<char>(c);
      }
    }
    line[used++] = '\n';
    line[used] = '\0';
    logDumpLine(line);
    start = next;
  }
}
