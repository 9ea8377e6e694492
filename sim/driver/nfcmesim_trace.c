/*
 * The kernel-mode stand-in's trace, in the stand-ins' one line format
 * (trace_line.h), and its reads of the service's registry key: the Trace
 * file's path and the Scenario text.
 */
#include "nfcmesim.h"

/* The file is opened per line so that a test can read it at any moment. */
void emit(TRACE_LINE* l) {
  WCHAR path[300] = L"\\??\\";
  UNICODE_STRING name;
  OBJECT_ATTRIBUTES oa;
  IO_STATUS_BLOCK iosb;
  HANDLE file;
  if (!readRegistryString(L"Trace", path + 4, 290) || path[4] == 0) return;
  l->text[l->used++] = '\r';
  l->text[l->used++] = '\n';
  RtlInitUnicodeString(&name, path);
  InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
  /* One append per line: lines of different threads never mix. */
  if (NT_SUCCESS(ZwCreateFile(&file, FILE_APPEND_DATA | SYNCHRONIZE, &oa, &iosb, NULL,
                              FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF,
                              FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0))) {
    ZwWriteFile(file, NULL, NULL, NULL, &iosb, l->text, l->used, NULL, NULL);
    ZwClose(file);
  }
}

void startHandleLine(TRACE_LINE* l, ULONG id, const char* what) {
  TraceLine_Start(l, (unsigned long long)(now100ns() - gStart), id, what);
}

void trace2(ULONG id, const char* what, const char* detail) {
  TRACE_LINE l;
  startHandleLine(&l, id, what);
  if (detail) {
    TraceLine_Put(&l, " ");
    TraceLine_Put(&l, detail);
  }
  emit(&l);
}

void traceBytes(ULONG id, const char* what, const UCHAR* data, ULONG length) {
  TRACE_LINE l;
  startHandleLine(&l, id, what);
  TraceLine_PutBytes(&l, data, length);
  emit(&l);
}

void traceNumber(ULONG id, const char* what, ULONGLONG value) {
  TRACE_LINE l;
  startHandleLine(&l, id, what);
  TraceLine_Put(&l, " ");
  TraceLine_PutUnsigned(&l, value);
  emit(&l);
}

BOOLEAN readRegistryString(const WCHAR* valueName, WCHAR* out, ULONG outChars) {
  OBJECT_ATTRIBUTES oa;
  HANDLE key;
  UNICODE_STRING name;
  const ULONG size = sizeof(KEY_VALUE_PARTIAL_INFORMATION) + outChars * sizeof(WCHAR);
  KEY_VALUE_PARTIAL_INFORMATION* info;
  ULONG got = 0, chars, i;
  NTSTATUS status;
  out[0] = 0;
  if (gRegistryPath.Buffer == NULL) return FALSE;
  InitializeObjectAttributes(&oa, &gRegistryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
  if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &oa))) return FALSE;
  info = (KEY_VALUE_PARTIAL_INFORMATION*)ExAllocatePoolWithTag(NonPagedPool, size, TAG);
  if (info == NULL) {
    ZwClose(key);
    return FALSE;
  }
  RtlInitUnicodeString(&name, valueName);
  status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, size, &got);
  ZwClose(key);
  if (!NT_SUCCESS(status) || (info->Type != REG_SZ && info->Type != REG_EXPAND_SZ)) {
    ExFreePoolWithTag(info, TAG);
    return FALSE;
  }
  chars = info->DataLength / sizeof(WCHAR);
  if (chars >= outChars) chars = outChars - 1;
  for (i = 0; i < chars; ++i) out[i] = ((const WCHAR*)info->Data)[i];
  out[chars] = 0;
  ExFreePoolWithTag(info, TAG);
  return TRUE;
}

#define SCENARIO_CHARS 4096

void loadScenario(SCENARIO* sc) {
  WCHAR* wide = (WCHAR*)ExAllocatePoolWithTag(NonPagedPool, SCENARIO_CHARS * sizeof(WCHAR), TAG);
  char* narrow = (char*)ExAllocatePoolWithTag(NonPagedPool, SCENARIO_CHARS, TAG);
  char error[96];
  ULONG i;
  Scenario_Default(sc);
  if (wide != NULL && narrow != NULL && readRegistryString(L"Scenario", wide, SCENARIO_CHARS)) {
    for (i = 0; wide[i] != 0 && i < SCENARIO_CHARS - 1; ++i) narrow[i] = wide[i] < 128 ? (char)wide[i] : '?';
    narrow[i] = 0;
    if (!Scenario_Parse(narrow, sc, error, sizeof error)) trace2(0, "bad scenario:", error);
  }
  if (wide != NULL) ExFreePoolWithTag(wide, TAG);
  if (narrow != NULL) ExFreePoolWithTag(narrow, TAG);
}

void putStatus(TRACE_LINE* l, NTSTATUS status) {
  static const char hex[] = "0123456789ABCDEF";
  int shift;
  TraceLine_Put(l, "0x");
  for (shift = 28; shift >= 0; shift -= 4) l->text[l->used++] = hex[((ULONG)status >> shift) & 15];
}
