// The link API calls of the program and of the clients, recorded where
// they begin and end: the linker sends every call of vxHECI_Connect,
// vxHECI_QueryInfo and vxHECI_Close in this executable here first
// (-Wl,--wrap with the functions' C++ names, tests/dst/CMakeLists.txt),
// so the program itself runs unchanged and its one query is seen as a
// client's are.
#include <cstdint>

#include "StackOracle.h"
#include "vxHECI.h"

#define NFC_REAL(name) __real_##name
#define NFC_WRAP(name) __wrap_##name

// vxHECI_Connect(NfcMeContext**, void*)
#define CONNECT _Z14vxHECI_ConnectPP12NfcMeContextPv
// vxHECI_QueryInfo(NfcMeContext*, MeQueryInfo*)
#define QUERY _Z16vxHECI_QueryInfoP12NfcMeContextP11MeQueryInfo
// vxHECI_Close(NfcMeContext*)
#define CLOSE _Z12vxHECI_CloseP12NfcMeContext

#define EXPAND_REAL(n) NFC_REAL(n)
#define EXPAND_WRAP(n) NFC_WRAP(n)

extern "C" {
int32_t EXPAND_REAL(CONNECT)(NfcMeContext** out, void* userData);
int32_t EXPAND_REAL(QUERY)(NfcMeContext* context, MeQueryInfo* info);
int32_t EXPAND_REAL(CLOSE)(NfcMeContext* context);

int32_t EXPAND_WRAP(CONNECT)(NfcMeContext** out, void* userData) {
  stack::RecordCallStart(stack::LinkCall::Connect);
  const int32_t r = EXPAND_REAL(CONNECT)(out, userData);
  stack::RecordCallEnd(stack::LinkCall::Connect, r, nullptr);
  return r;
}

int32_t EXPAND_WRAP(QUERY)(NfcMeContext* context, MeQueryInfo* info) {
  stack::RecordCallStart(stack::LinkCall::Query);
  const int32_t r = EXPAND_REAL(QUERY)(context, info);
  stack::RecordCallEnd(stack::LinkCall::Query, r, info);
  return r;
}

int32_t EXPAND_WRAP(CLOSE)(NfcMeContext* context) {
  stack::RecordCallStart(stack::LinkCall::Close);
  const int32_t r = EXPAND_REAL(CLOSE)(context);
  stack::RecordCallEnd(stack::LinkCall::Close, r, nullptr);
  return r;
}
}
