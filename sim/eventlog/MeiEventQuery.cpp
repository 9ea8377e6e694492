#include "MeiEventQuery.h"

#include <cstring>
#include <cwchar>

#include "OsEvent.h"

bool MeiEventQuery_IsWatchersQuery(const wchar_t* query) {
  return query != nullptr && std::wcscmp(query, kOsEventQuery) == 0;
}

bool MeiEventQuery_Selects(const char* provider, uint16_t eventId) {
  if (provider == nullptr) {
    return false;
  }
  const bool meiProvider = std::strcmp(provider, "MEI") == 0 || std::strcmp(provider, "MEIx64") == 0;
  return meiProvider && (eventId == 1 || eventId == 4);
}
