// usage: format_event_messages.exe MESSAGE-DLL
//
// Renders the reports of the event source as Event Viewer does: loads the
// message file as a data file (no code of it runs, whatever its width) and
// formats each event ID the programs report with its insertion string, and
// the category they report under. Each text must come back exactly: the
// insertion string, and the category's name. Exits 1 when one does not.
#include <windows.h>

#include <cstdio>
#include <string>

#include "EventLogReport.h"

namespace {

constexpr const wchar_t* kCategoryName = L"HECI";
int failures = 0;

std::wstring widen(const char* text) {
  std::wstring wide;
  for (const char* p = text; *p != '\0'; ++p) wide += static_cast<wchar_t>(static_cast<unsigned char>(*p));
  return wide;
}

// The message's text with `insertion` as %1 (null: inserts ignored), or
// nothing with the error code.
std::wstring format(HMODULE dll, DWORD id, const wchar_t* insertion, DWORD& error) {
  DWORD flags = FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER;
  DWORD_PTR args[1] = {reinterpret_cast<DWORD_PTR>(insertion)};
  flags |= insertion != nullptr ? FORMAT_MESSAGE_ARGUMENT_ARRAY : FORMAT_MESSAGE_IGNORE_INSERTS;
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(flags, dll, id, 0, reinterpret_cast<wchar_t*>(&text), 0,
                                      insertion != nullptr ? reinterpret_cast<va_list*>(args) : nullptr);
  error = length == 0 ? GetLastError() : 0;
  std::wstring result(text != nullptr ? text : L"", length);
  LocalFree(text);
  return result;
}

void expect(const char* what, HMODULE dll, DWORD id, const wchar_t* insertion, const std::wstring& wanted) {
  DWORD error = 0;
  const std::wstring got = format(dll, id, insertion, error);
  const bool ok = error == 0 && got == wanted;
  std::printf("%s %s %lu: \"%ls\"", ok ? "ok     " : "FAILED ", what, static_cast<unsigned long>(id), got.c_str());
  if (!ok) std::printf(" (error %lu, wanted \"%ls\")", static_cast<unsigned long>(error), wanted.c_str());
  std::printf("\n");
  failures += ok ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: format_event_messages.exe MESSAGE-DLL\n");
    return 2;
  }
  const HMODULE dll = LoadLibraryExW(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (dll == nullptr) {
    std::printf("FAILED  cannot load %ls as a data file: error %lu\n", argv[1],
                static_cast<unsigned long>(GetLastError()));
    return 1;
  }
  for (const EventLogReport* report : {&kReportConnectionFailed, &kReportSendFailed, &kReportSendTimeout}) {
    const std::wstring insertion = widen(report->insertion);
    expect("event", dll, report->eventId, insertion.c_str(), insertion);
    if (report->category != 0) expect("category", dll, report->category, nullptr, kCategoryName);
  }
  FreeLibrary(dll);
  return failures == 0 ? 0 : 1;
}
