/* The stand-in driver's scenario text (see scenario.h). */
#include "scenario.h"

static const unsigned char kDefaultRecord[13] = {0x01, 0x02, 0x03, 0x00, 0x00, 0x00, 0x04,
                                                 0x05, 0x06, 0x07, 0x08, 0x09, 0x02};

void Scenario_Default(SCENARIO* sc) {
  unsigned i;
  unsigned char* p = (unsigned char*)sc;
  for (i = 0; i < sizeof *sc; ++i) p[i] = 0;
  sc->devicePresent = 1;
  sc->maxMessageLength = 512;
  sc->connectAnswerLength = 5;
  sc->versionAnswerLength = 5;
  sc->answerMode = ANSWER;
  for (i = 0; i < 13; ++i) sc->record[i] = kDefaultRecord[i];
  sc->radioType = 2;
  sc->dataSize = 15;
  sc->answerLength = -1;
  sc->failWriteCount = 1;
  sc->cancelMode = CANCEL_NORMAL;
  sc->cancelDelayMs = 2000;
}

static int same(const char* a, unsigned an, const char* b) {
  unsigned i;
  for (i = 0; i < an; ++i) {
    if (b[i] != a[i]) return 0;
  }
  return b[an] == 0;
}

static int isSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }

static int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

/* Decimal or 0x-hex, optionally negative, up to 0xFFFFFFFF. */
static int number(const char* v, unsigned n, long long* out) {
  unsigned i = 0;
  int negative = 0;
  unsigned long long value = 0;
  if (n > 0 && v[0] == '-') {
    negative = 1;
    i = 1;
  }
  if (i >= n) return 0;
  if (n - i > 2 && v[i] == '0' && (v[i + 1] == 'x' || v[i + 1] == 'X')) {
    for (i += 2; i < n; ++i) {
      const int d = hexDigit(v[i]);
      if (d < 0) return 0;
      value = value * 16 + (unsigned)d;
      if (value > 0xFFFFFFFFull) return 0;
    }
  } else {
    for (; i < n; ++i) {
      if (v[i] < '0' || v[i] > '9') return 0;
      value = value * 10 + (unsigned)(v[i] - '0');
      if (value > 0xFFFFFFFFull) return 0;
    }
  }
  *out = negative ? -(long long)value : (long long)value;
  return 1;
}

static int unsignedValue(const char* v, unsigned n, unsigned max, unsigned* out) {
  long long x;
  if (!number(v, n, &x) || x < 0 || x > (long long)max) return 0;
  *out = (unsigned)x;
  return 1;
}

static int boolValue(const char* v, unsigned n, int* out) {
  if (same(v, n, "true") || same(v, n, "1") || same(v, n, "yes")) {
    *out = 1;
  } else if (same(v, n, "false") || same(v, n, "0") || same(v, n, "no")) {
    *out = 0;
  } else {
    return 0;
  }
  return 1;
}

/* Hex bytes in tokens of whole bytes: "05 00 aa" or "0500aa". */
static int bytesValue(const char* v, unsigned n, unsigned char* out, unsigned room, unsigned* length) {
  unsigned i = 0, count = 0;
  while (i < n) {
    unsigned start;
    while (i < n && isSpace(v[i])) ++i;
    if (i >= n) break;
    if (i + 1 < n && v[i] == '0' && (v[i + 1] == 'x' || v[i + 1] == 'X')) i += 2;
    start = i;
    while (i < n && !isSpace(v[i])) ++i;
    if ((i - start) % 2 != 0 || i == start) return 0;
    for (; start < i; start += 2) {
      const int hi = hexDigit(v[start]), lo = hexDigit(v[start + 1]);
      if (hi < 0 || lo < 0 || count >= room) return 0;
      out[count++] = (unsigned char)(hi * 16 + lo);
    }
  }
  *length = count;
  return 1;
}

static int addFrame(SCENARIO_FRAMES* f, const char* v, unsigned n) {
  unsigned length = 0;
  if (f->count >= SCENARIO_MAX_FRAMES) return 0;
  if (!bytesValue(v, n, f->bytes[f->count], SCENARIO_MAX_FRAME, &length) || length == 0) return 0;
  f->length[f->count++] = length;
  return 1;
}

static void setError(char* error, unsigned size, const char* key, unsigned keyLength) {
  static const char prefix[] = "bad item ";
  unsigned at = 0, i;
  if (size == 0) return;
  for (i = 0; prefix[i] && at < size - 1; ++i) error[at++] = prefix[i];
  for (i = 0; i < keyLength && at < size - 1; ++i) error[at++] = key[i];
  error[at] = 0;
}

static int applyItem(SCENARIO* sc, const char* k, unsigned kn, const char* v, unsigned vn) {
  unsigned u = 0;
  long long x = 0;
#define KEY(name) same(k, kn, name)
  if (KEY("devicePresent")) return boolValue(v, vn, &sc->devicePresent);
  if (KEY("connectFails")) return boolValue(v, vn, &sc->connectFails);
  if (KEY("versionFails")) return boolValue(v, vn, &sc->versionFails);
  if (KEY("stallWrites")) return boolValue(v, vn, &sc->stallWrites);
  if (KEY("maxMessageLength")) return unsignedValue(v, vn, 0xFFFFFFFFu, &sc->maxMessageLength);
  if (KEY("connectAnswerLength")) return unsignedValue(v, vn, 5, &sc->connectAnswerLength);
  if (KEY("versionAnswerLength")) return unsignedValue(v, vn, 5, &sc->versionAnswerLength);
  if (KEY("connectDelayMs")) return unsignedValue(v, vn, 600000, &sc->connectDelayMs);
  if (KEY("answerDelayMs")) return unsignedValue(v, vn, 600000, &sc->answerDelayMs);
  if (KEY("cancelDelayMs")) return unsignedValue(v, vn, 600000, &sc->cancelDelayMs);
  if (KEY("replyStatus")) return unsignedValue(v, vn, 255, &sc->replyStatus);
  if (KEY("dataSize")) return unsignedValue(v, vn, 0xFFFF, &sc->dataSize);
  if (KEY("failWriteNumber")) return unsignedValue(v, vn, 0xFFFFFFFFu, &sc->failWriteNumber);
  if (KEY("failWriteCount")) return unsignedValue(v, vn, 0xFFFFFFFFu, &sc->failWriteCount);
  if (KEY("radioType")) {
    if (!number(v, vn, &x) || x < -1 || x > 255) return 0;
    sc->radioType = (int)x;
    return 1;
  }
  if (KEY("answerLength")) {
    if (!number(v, vn, &x) || x < -1 || x > 4096) return 0;
    sc->answerLength = (int)x;
    return 1;
  }
  if (KEY("record")) return bytesValue(v, vn, sc->record, 13, &u) && u == 13;
  if (KEY("framesOnConnect")) return addFrame(&sc->framesOnConnect, v, vn);
  if (KEY("framesBeforeAnswer")) return addFrame(&sc->framesBeforeAnswer, v, vn);
  if (KEY("framesAfterAnswer")) return addFrame(&sc->framesAfterAnswer, v, vn);
  if (KEY("answerMode")) {
    if (same(v, vn, "answer")) sc->answerMode = ANSWER;
    else if (same(v, vn, "none")) sc->answerMode = ANSWER_NONE;
    else if (same(v, vn, "resend")) sc->answerMode = ANSWER_RESEND;
    else if (same(v, vn, "readerror")) sc->answerMode = ANSWER_READERROR;
    else if (same(v, vn, "gone")) sc->answerMode = ANSWER_GONE;
    else return 0;
    return 1;
  }
  if (KEY("cancelMode")) {
    if (same(v, vn, "normal")) sc->cancelMode = CANCEL_NORMAL;
    else if (same(v, vn, "onclose")) sc->cancelMode = CANCEL_ONCLOSE;
    else if (same(v, vn, "late")) sc->cancelMode = CANCEL_LATE;
    else return 0;
    return 1;
  }
  /* The Linux simulator's error numbers have no meaning here: the driver's
   * statuses are fixed. Taken, so that one scenario text serves both. */
  if (KEY("connectErrno") || KEY("writeErrno") || KEY("readErrno")) return vn > 0;
#undef KEY
  return 0;
}

int Scenario_Parse(const char* text, SCENARIO* sc, char* error, unsigned errorSize) {
  unsigned at = 0;
  if (errorSize > 0) error[0] = 0;
  while (text[at] != 0) {
    unsigned start, end, eq, k0, k1, v0, v1, cut;
    start = at;
    while (text[at] != 0 && text[at] != ';' && text[at] != '\n') ++at;
    end = at;
    if (text[at] != 0) ++at;
    cut = start;
    while (cut < end && text[cut] != '#') ++cut;
    end = cut;
    k0 = start;
    while (k0 < end && isSpace(text[k0])) ++k0;
    if (k0 == end) continue;
    eq = k0;
    while (eq < end && text[eq] != '=') ++eq;
    if (eq == end) {
      setError(error, errorSize, text + k0, end - k0);
      return 0;
    }
    k1 = eq;
    while (k1 > k0 && isSpace(text[k1 - 1])) --k1;
    v0 = eq + 1;
    while (v0 < end && isSpace(text[v0])) ++v0;
    v1 = end;
    while (v1 > v0 && isSpace(text[v1 - 1])) --v1;
    if (!applyItem(sc, text + k0, k1 - k0, text + v0, v1 - v0)) {
      setError(error, errorSize, text + k0, end - k0);
      return 0;
    }
  }
  return 1;
}

unsigned Scenario_VersionAnswer(const SCENARIO* sc, unsigned char* out, unsigned room) {
  unsigned char full[25];
  unsigned length, i;
  for (i = 0; i < 10; ++i) full[i] = 0;
  full[8] = (unsigned char)(sc->dataSize & 0xFF);
  full[9] = (unsigned char)(sc->dataSize >> 8);
  full[10] = 0x01;
  full[11] = (unsigned char)sc->replyStatus;
  for (i = 0; i < 13; ++i) full[12 + i] = sc->record[i];
  if (sc->radioType >= 0) full[24] = (unsigned char)sc->radioType;
  length = sc->answerLength >= 0 ? (unsigned)sc->answerLength : 10u + sc->dataSize;
  if (length > room) length = room;
  /* Beyond a full answer the frame is padded with zeros. */
  for (i = 0; i < length; ++i) out[i] = i < 25 ? full[i] : 0;
  return length;
}
