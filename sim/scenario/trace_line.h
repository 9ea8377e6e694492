/*
 * One line of a firmware stand-in's exchange trace, the same for both (the
 * in-process model's NFCSIM_TRACE, the kernel-mode driver's Trace value):
 *
 *   <ms since the stand-in started, three decimals> #<handle> <what> <detail>
 *   "1234.567 #1 write 11: 00 00 00 00 00 00 00 00 01 00 01"
 *
 * The handle is the 1-based number of the open (the model's connection), 0
 * for the stand-in itself. Byte counts come before the bytes, in lowercase
 * hex. Plain C without a runtime library, like scenario.c; each stand-in
 * writes the finished line its own way.
 */
#ifndef NFCME_TRACE_LINE_H
#define NFCME_TRACE_LINE_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TRACE_LINE {
  char text[400];
  unsigned used; /* room for a line end stays free */
} TRACE_LINE;

/* Starts a line: the time (`elapsed100ns` since the start), the handle and
 * what happened. */
void TraceLine_Start(TRACE_LINE* l, unsigned long long elapsed100ns, unsigned handle, const char* what);
void TraceLine_Put(TRACE_LINE* l, const char* s);
void TraceLine_PutUnsigned(TRACE_LINE* l, unsigned long long v);
/* " <length>: <bytes>", cut with " ..." where the line is full. */
void TraceLine_PutBytes(TRACE_LINE* l, const unsigned char* data, unsigned length);
/* Hex bytes separated by spaces, cut with " ..." where the line is full. */
void TraceLine_PutHex(TRACE_LINE* l, const unsigned char* data, unsigned length);

#ifdef __cplusplus
}
#endif

#endif
