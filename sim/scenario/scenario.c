/* The firmware stand-ins' scenario text and the behaviour both stand-ins
 * take from it (see scenario.h). */
#include "scenario.h"

#include <errno.h>

static const unsigned char kDefaultRecord[NFCME_WIRE_RECORD_LENGTH] = NFCME_WIRE_DEFAULT_RECORD;

void Scenario_Default(SCENARIO* sc) {
  unsigned i;
  unsigned char* p = (unsigned char*)sc;
  for (i = 0; i < sizeof *sc; ++i) p[i] = 0;
  sc->devicePresent = 1;
  sc->maxMessageLength = NFCME_WIRE_DEFAULT_MAX_MESSAGE_LENGTH;
  sc->connectAnswerLength = NFCME_WIRE_IOCTL_ANSWER_LENGTH;
  sc->versionAnswerLength = NFCME_WIRE_IOCTL_ANSWER_LENGTH;
  sc->answerMode = ANSWER;
  for (i = 0; i < NFCME_WIRE_RECORD_LENGTH; ++i) sc->record[i] = kDefaultRecord[i];
  sc->radioType = NFCME_WIRE_DEFAULT_RADIO_TYPE;
  sc->dataSize = NFCME_WIRE_DEFAULT_DATA_SIZE;
  sc->answerLength = -1;
  sc->failWriteCount = 1;
  sc->openErrno = ENODEV;
  sc->connectErrno = ENOTTY;
  sc->writeErrno = EIO;
  sc->readErrno = EIO;
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

/* A name the in-process model's tests use, or a number 1..4095. */
static int errnoValue(const char* v, unsigned n, int* out) {
  static const struct {
    const char* name;
    int value;
  } kNames[] = {{"ENOTTY", ENOTTY}, {"ENODEV", ENODEV}, {"EACCES", EACCES}, {"ENOENT", ENOENT},
                {"EIO", EIO},       {"EBUSY", EBUSY},   {"EFAULT", EFAULT}, {"EPERM", EPERM},
                {"EINVAL", EINVAL}};
  unsigned i, u;
  for (i = 0; i < sizeof kNames / sizeof kNames[0]; ++i) {
    if (same(v, n, kNames[i].name)) {
      *out = kNames[i].value;
      return 1;
    }
  }
  if (!unsignedValue(v, n, SCENARIO_MAX_ERRNO, &u) || u == 0) return 0;
  *out = (int)u;
  return 1;
}

static void trim(const char* v, unsigned* from, unsigned* to) {
  while (*from < *to && isSpace(v[*from])) ++*from;
  while (*to > *from && isSpace(v[*to - 1])) --*to;
}

/* "2", "3-", "1,3", "2-4": ranges of 1-based query numbers. */
static int queriesValue(const char* v, unsigned n, SCENARIO_QUERIES* out) {
  SCENARIO_QUERIES q;
  unsigned at = 0;
  q.count = 0;
  for (;;) {
    unsigned end = at, dash, first, last, b, e;
    while (end < n && v[end] != ',') ++end;
    dash = at;
    while (dash < end && v[dash] != '-') ++dash;
    b = at;
    e = dash;
    trim(v, &b, &e);
    if (q.count >= SCENARIO_MAX_QUERY_RANGES || !unsignedValue(v + b, e - b, SCENARIO_QUERIES_OPEN, &first) ||
        first == 0) {
      return 0;
    }
    last = first;
    if (dash < end) {
      b = dash + 1;
      e = end;
      trim(v, &b, &e);
      if (b == e) {
        last = SCENARIO_QUERIES_OPEN;
      } else if (!unsignedValue(v + b, e - b, SCENARIO_QUERIES_OPEN, &last) || last < first) {
        return 0;
      }
    }
    q.first[q.count] = first;
    q.last[q.count] = last;
    ++q.count;
    if (end >= n) break;
    at = end + 1;
  }
  *out = q;
  return 1;
}

static int addFrame(SCENARIO_FRAMES* f, const char* v, unsigned n) {
  unsigned length = 0;
  if (f->count >= SCENARIO_MAX_FRAMES) return 0;
  if (!bytesValue(v, n, f->bytes[f->count], SCENARIO_MAX_FRAME, &length) || length == 0) return 0;
  f->length[f->count++] = length;
  return 1;
}

/* "bad item \"<item>\"", cut to fit. */
static void setError(char* error, unsigned size, const char* item, unsigned itemLength) {
  static const char prefix[] = "bad item \"";
  unsigned at = 0, i;
  if (size == 0) return;
  for (i = 0; prefix[i] && at < size - 1; ++i) error[at++] = prefix[i];
  for (i = 0; i < itemLength && at < size - 1; ++i) error[at++] = item[i];
  if (at < size - 1) error[at++] = '"';
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
  if (KEY("openDenied")) return boolValue(v, vn, &sc->openDenied);
  if (KEY("maxMessageLength")) return unsignedValue(v, vn, 0xFFFFFFFFu, &sc->maxMessageLength);
  if (KEY("connectAnswerLength")) return unsignedValue(v, vn, NFCME_WIRE_IOCTL_ANSWER_LENGTH, &sc->connectAnswerLength);
  if (KEY("versionAnswerLength")) return unsignedValue(v, vn, NFCME_WIRE_IOCTL_ANSWER_LENGTH, &sc->versionAnswerLength);
  if (KEY("connectDelayMs")) return unsignedValue(v, vn, SCENARIO_MAX_DELAY_MS, &sc->connectDelayMs);
  if (KEY("answerDelayMs")) return unsignedValue(v, vn, SCENARIO_MAX_DELAY_MS, &sc->answerDelayMs);
  if (KEY("meResetMs")) return unsignedValue(v, vn, SCENARIO_MAX_DELAY_MS, &sc->meResetMs);
  if (KEY("cancelDelayMs")) return unsignedValue(v, vn, SCENARIO_MAX_DELAY_MS, &sc->cancelDelayMs);
  if (KEY("replyStatus")) return unsignedValue(v, vn, 255, &sc->replyStatus);
  if (KEY("dataSize")) return unsignedValue(v, vn, 0xFFFF, &sc->dataSize);
  if (KEY("failWriteNumber")) return unsignedValue(v, vn, 0xFFFFFFFFu, &sc->failWriteNumber);
  if (KEY("failWriteCount")) return unsignedValue(v, vn, 0xFFFFFFFFu, &sc->failWriteCount);
  if (KEY("failFirstOpens")) return unsignedValue(v, vn, 0xFFFFFFFFu, &sc->failFirstOpens);
  if (KEY("openErrno")) return errnoValue(v, vn, &sc->openErrno);
  if (KEY("connectErrno")) return errnoValue(v, vn, &sc->connectErrno);
  if (KEY("writeErrno")) return errnoValue(v, vn, &sc->writeErrno);
  if (KEY("readErrno")) return errnoValue(v, vn, &sc->readErrno);
  if (KEY("answerQueries")) return queriesValue(v, vn, &sc->answerQueries);
  if (KEY("radioType")) {
    if (!number(v, vn, &x) || x < -1 || x > 255) return 0;
    sc->radioType = (int)x;
    return 1;
  }
  if (KEY("answerLength")) {
    if (!number(v, vn, &x) || x < -1 || x > SCENARIO_MAX_ANSWER_LENGTH) return 0;
    sc->answerLength = (int)x;
    return 1;
  }
  if (KEY("record")) return bytesValue(v, vn, sc->record, NFCME_WIRE_RECORD_LENGTH, &u) && u == NFCME_WIRE_RECORD_LENGTH;
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
    trim(text, &k0, &end);
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
    if (!applyItem(sc, text + k0, k1 - k0, text + v0, v1 - v0)) {
      setError(error, errorSize, text + k0, end - k0);
      return 0;
    }
  }
  return 1;
}

int Scenario_AnswersQuery(const SCENARIO* sc, unsigned queryNumber) {
  unsigned i;
  if (sc->answerMode == ANSWER_RESEND) return queryNumber >= 2;
  if (sc->answerMode != ANSWER) return 0;
  if (sc->answerQueries.count == 0) return 1;
  for (i = 0; i < sc->answerQueries.count; ++i) {
    if (queryNumber >= sc->answerQueries.first[i] && queryNumber <= sc->answerQueries.last[i]) return 1;
  }
  return 0;
}

unsigned Scenario_VersionAnswerLength(const SCENARIO* sc) {
  return sc->answerLength >= 0 ? (unsigned)sc->answerLength : NFCME_WIRE_HEADER_LENGTH + sc->dataSize;
}

unsigned Scenario_VersionAnswer(const SCENARIO* sc, unsigned char* out, unsigned room) {
  enum { kFull = NFCME_WIRE_HEADER_LENGTH + 2 + NFCME_WIRE_RECORD_LENGTH };
  unsigned char full[kFull];
  unsigned length = Scenario_VersionAnswerLength(sc), i;
  for (i = 0; i < NFCME_WIRE_HEADER_LENGTH; ++i) full[i] = 0;
  full[8] = (unsigned char)(sc->dataSize & 0xFF);
  full[9] = (unsigned char)(sc->dataSize >> 8);
  full[10] = 0x01; /* sub-command: version */
  full[11] = (unsigned char)sc->replyStatus;
  for (i = 0; i < NFCME_WIRE_RECORD_LENGTH; ++i) full[12 + i] = sc->record[i];
  if (sc->radioType >= 0) full[kFull - 1] = (unsigned char)sc->radioType;
  if (length > room) length = room;
  for (i = 0; i < length; ++i) out[i] = i < kFull ? full[i] : 0;
  return length;
}

int Scenario_FailsWrite(const SCENARIO* sc, unsigned writeNumber) {
  return sc->failWriteNumber != 0 && writeNumber >= sc->failWriteNumber &&
         writeNumber - sc->failWriteNumber < sc->failWriteCount;
}

static void emitFrames(const SCENARIO_FRAMES* f, unsigned atMs, SCENARIO_EMIT emit, void* ctx) {
  unsigned i;
  for (i = 0; i < f->count; ++i) {
    SCENARIO_REACTION_ITEM item = {REACTION_FRAME, atMs, f->bytes[i], f->length[i], 0};
    emit(ctx, &item, 0);
  }
}

/* The items in the order of their times, equal times in list order. */
static void emitInTimeOrder(const SCENARIO_REACTION* r, SCENARIO_EMIT emit, void* ctx) {
  int any = 0;
  unsigned at = 0, i;
  for (;;) {
    int found = 0;
    unsigned next = 0;
    for (i = 0; i < r->count; ++i) {
      const unsigned t = r->items[i].atMs;
      if ((!any || t > at) && (!found || t < next)) {
        next = t;
        found = 1;
      }
    }
    if (!found) return;
    for (i = 0; i < r->count; ++i) {
      if (r->items[i].atMs == next) emit(ctx, &r->items[i], 1);
    }
    at = next;
    any = 1;
  }
}

void Scenario_React(const SCENARIO* sc, unsigned queryNumber, const SCENARIO_REACTION* reaction,
                    SCENARIO_EMIT emit, void* ctx) {
  SCENARIO_REACTION_ITEM item = {REACTION_ANSWER, sc->answerDelayMs, 0, 0, 0};
  if (reaction != 0) {
    emitInTimeOrder(reaction, emit, ctx);
    return;
  }
  emitFrames(&sc->framesBeforeAnswer, sc->answerDelayMs, emit, ctx);
  switch (sc->answerMode) {
    case ANSWER:
    case ANSWER_RESEND:
      if (!Scenario_AnswersQuery(sc, queryNumber)) break;
      emit(ctx, &item, 0);
      break;
    case ANSWER_NONE:
      break;
    case ANSWER_READERROR:
      item.kind = REACTION_READ_ERROR;
      item.err = sc->readErrno;
      emit(ctx, &item, 0);
      break;
    case ANSWER_GONE:
      item.kind = REACTION_GONE;
      item.err = ENODEV;
      emit(ctx, &item, 0);
      return; /* nothing comes after the device has gone */
  }
  emitFrames(&sc->framesAfterAnswer, sc->answerDelayMs, emit, ctx);
}
