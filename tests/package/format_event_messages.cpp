// usage: format_event_messages.exe MESSAGE-DLL
//        format_event_messages.exe /registered
//
// Renders the reports of the event source as Event Viewer does: loads the
// message file as a data file (no code of it runs, whatever its width) and
// formats each event ID the programs report with its insertion string, and
// the category they report under. Each text must come back exactly: the
// insertion string, and the category's name. Exits 1 when one does not.
//
// /registered finds the files as Event Viewer does, through the source's
// registration under Services\EventLog\Application: EventMessageFile for
// the events and CategoryMessageFile for the categories (each a list split
// at ";", environment variables expanded), and a CategoryCount that covers
// the category.
#include <windows.h>

#include <algorithm>
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

// The first file of a registered list (";"-separated, environment
// variables expanded) that loads as a data file; null with a message.
HMODULE loadRegistered(HKEY key, const wchar_t* value) {
  wchar_t raw[2048];
  DWORD size = sizeof(raw) - sizeof(wchar_t);
  DWORD type = 0;
  if (RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE*>(raw), &size) != ERROR_SUCCESS ||
      (type != REG_EXPAND_SZ && type != REG_SZ)) {
    std::printf("FAILED  the source has no %ls string\n", value);
    return nullptr;
  }
  raw[size / sizeof(wchar_t)] = L'\0';
  wchar_t list[4096];
  if (ExpandEnvironmentStringsW(raw, list, 4096) == 0) return nullptr;
  std::printf("%s %ls: \"%ls\" (%s)\n", "ok     ", value, list, type == REG_EXPAND_SZ ? "REG_EXPAND_SZ" : "REG_SZ");
  const std::wstring files(list);
  for (size_t start = 0; start <= files.size();) {
    const size_t end = std::min(files.find(L';', start), files.size());
    const std::wstring file = files.substr(start, end - start);
    const HMODULE dll = file.empty() ? nullptr : LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (dll != nullptr) return dll;
    start = end + 1;
  }
  std::printf("FAILED  no file of %ls loads as a data file\n", value);
  return nullptr;
}

void render(HMODULE events, HMODULE categories) {
  for (const EventLogReport* report : {&kReportConnectionFailed, &kReportSendFailed, &kReportSendTimeout}) {
    const std::wstring insertion = widen(report->insertion);
    expect("event", events, report->eventId, insertion.c_str(), insertion);
    if (report->category != 0) expect("category", categories, report->category, nullptr, kCategoryName);
  }
}

int renderRegistered() {
  const std::wstring path = std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") +
                            widen(kEventSourceName);
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    std::printf("FAILED  the source is not registered: no key HKLM\\%ls\n", path.c_str());
    return 1;
  }
  DWORD count = 0;
  DWORD size = sizeof(count);
  DWORD type = 0;
  const bool counted = RegQueryValueExW(key, L"CategoryCount", nullptr, &type, reinterpret_cast<BYTE*>(&count),
                                        &size) == ERROR_SUCCESS && type == REG_DWORD;
  std::printf("%s CategoryCount %lu\n", counted && count >= 1 ? "ok     " : "FAILED ", static_cast<unsigned long>(count));
  failures += counted && count >= 1 ? 0 : 1;
  const HMODULE events = loadRegistered(key, L"EventMessageFile");
  const HMODULE categories = loadRegistered(key, L"CategoryMessageFile");
  RegCloseKey(key);
  if (events == nullptr || categories == nullptr) return 1;
  render(events, categories);
  FreeLibrary(events);
  FreeLibrary(categories);
  return failures == 0 ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: format_event_messages.exe MESSAGE-DLL | /registered\n");
    return 2;
  }
  if (std::wstring(argv[1]) == L"/registered") return renderRegistered();
  const HMODULE dll = LoadLibraryExW(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (dll == nullptr) {
    std::printf("FAILED  cannot load %ls as a data file: error %lu\n", argv[1],
                static_cast<unsigned long>(GetLastError()));
    return 1;
  }
  render(dll, dll);
  FreeLibrary(dll);
  return failures == 0 ? 0 : 1;
}
