/* The stand-ins' one trace line format (see trace_line.h). */
#include "trace_line.h"

#define ROOM(l) (sizeof (l)->text - 2)

void TraceLine_Put(TRACE_LINE* l, const char* s) {
  while (*s && l->used < ROOM(l)) l->text[l->used++] = *s++;
}

void TraceLine_PutUnsigned(TRACE_LINE* l, unsigned long long v) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = (char)('0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (n > 0 && l->used < ROOM(l)) l->text[l->used++] = digits[--n];
}

void TraceLine_PutHex(TRACE_LINE* l, const unsigned char* data, unsigned length) {
  static const char hex[] = "0123456789abcdef";
  unsigned i;
  for (i = 0; i < length && l->used < ROOM(l) - 3; ++i) {
    if (i) l->text[l->used++] = ' ';
    l->text[l->used++] = hex[data[i] >> 4];
    l->text[l->used++] = hex[data[i] & 15];
  }
  if (i < length) TraceLine_Put(l, " ...");
}

void TraceLine_PutBytes(TRACE_LINE* l, const unsigned char* data, unsigned length) {
  TraceLine_Put(l, " ");
  TraceLine_PutUnsigned(l, length);
  TraceLine_Put(l, ": ");
  TraceLine_PutHex(l, data, length);
}

void TraceLine_Start(TRACE_LINE* l, unsigned long long elapsed100ns, unsigned handle, const char* what) {
  const unsigned frac = (unsigned)((elapsed100ns % 10000) / 10);
  l->used = 0;
  TraceLine_PutUnsigned(l, elapsed100ns / 10000);
  l->text[l->used++] = '.';
  l->text[l->used++] = (char)('0' + frac / 100);
  l->text[l->used++] = (char)('0' + frac / 10 % 10);
  l->text[l->used++] = (char)('0' + frac % 10);
  TraceLine_Put(l, " #");
  TraceLine_PutUnsigned(l, handle);
  TraceLine_Put(l, " ");
  TraceLine_Put(l, what);
}
