/*
 * The firmware stand-ins' scenario: what the NFC-ME client (and, under
 * Wine, the HECI driver) does. One record, one parser and one reaction to
 * a version query for both stand-ins, so that one scenario text means the
 * same in the in-process model (NfcMeSimulator.h, whose SimScenario is this
 * record with the model's extensions on top) and in the kernel-mode driver
 * (sim/driver/nfcmesim.c, which reads it from the registry).
 *
 * Each field says who honours it; the other side accepts the key and
 * ignores it, so that one text serves both. Counters are the caller's: the
 * driver counts writes and version queries per handle (each Orlisk run
 * opens one); the model counts writes over the whole configuration and
 * version queries per connection.
 *
 * Plain C without a runtime library: it is compiled into the kernel-mode
 * driver, into the model, and into its host test (tests/heci).
 */
#ifndef NFCME_SCENARIO_H
#define NFCME_SCENARIO_H

#include "nfcme_wire.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SCENARIO_MAX_FRAMES 8
#define SCENARIO_MAX_FRAME 64
#define SCENARIO_MAX_QUERY_RANGES 8
/* Limits of the numbers that are times or lengths. */
#define SCENARIO_MAX_DELAY_MS 600000u
#define SCENARIO_MAX_ANSWER_LENGTH 4096
#define SCENARIO_MAX_ERRNO 4095
/* The last of an open range ("3-"). */
#define SCENARIO_QUERIES_OPEN 0xFFFFFFFFu

/* What happens when a version query arrives:
 *   ANSWER            the queries answerQueries names are answered;
 *   ANSWER_NONE       none is (the frames around the answer still come);
 *   ANSWER_RESEND     only the second and later queries of a connection
 *                     (the resend) are;
 *   ANSWER_READERROR  instead of the answer, the host's read fails;
 *   ANSWER_GONE       the device vanishes: the connection's reads and
 *                     writes fail from then on (an ME reset during the
 *                     query). */
typedef enum { ANSWER = 0, ANSWER_NONE, ANSWER_RESEND, ANSWER_READERROR, ANSWER_GONE } ANSWER_MODE;

/* What a cancelled pending request does:
 *   CANCEL_NORMAL   completes at once with STATUS_CANCELLED;
 *   CANCEL_ONCLOSE  stays pending until its handle goes away;
 *   CANCEL_LATE     completes cancelDelayMs after the cancel. */
typedef enum { CANCEL_NORMAL = 0, CANCEL_ONCLOSE, CANCEL_LATE } CANCEL_MODE;

typedef struct SCENARIO_FRAMES {
  unsigned count;
  unsigned length[SCENARIO_MAX_FRAMES];
  unsigned char bytes[SCENARIO_MAX_FRAMES][SCENARIO_MAX_FRAME];
} SCENARIO_FRAMES;

/* Which version queries of a connection are answered, 1-based: ranges
 * first..last (last SCENARIO_QUERIES_OPEN: and every later one). count 0:
 * all of them. */
typedef struct SCENARIO_QUERIES {
  unsigned count;
  unsigned first[SCENARIO_MAX_QUERY_RANGES];
  unsigned last[SCENARIO_MAX_QUERY_RANGES];
} SCENARIO_QUERIES;

typedef struct SCENARIO {
  /* --- Device and connection (both) ----------------------------------
   * devicePresent false: no device (the driver disables its interface
   * within 50 ms, while it runs). */
  int devicePresent;
  int connectFails;             /* the connect fails */
  unsigned maxMessageLength;    /* answered by the connect; 0 as is (a
                                   failed connect to the port) */

  /* --- The version answer (both) ------------------------------------ */
  ANSWER_MODE answerMode;
  SCENARIO_QUERIES answerQueries; /* in ANSWER mode: which are answered */
  unsigned answerDelayMs;       /* query to answer (and the frames around it) */
  unsigned replyStatus;
  unsigned char record[NFCME_WIRE_RECORD_LENGTH];
  int radioType;                /* >= 0 replaces the last record byte */
  unsigned dataSize;            /* the header's dataSize */
  int answerLength;             /* < 0: 10 + dataSize bytes; else exactly this many */

  /* --- Unsolicited frames (both) ------------------------------------ */
  SCENARIO_FRAMES framesOnConnect, framesBeforeAnswer, framesAfterAnswer;

  /* --- Faults (both) -------------------------------------------------- */
  unsigned failWriteNumber;     /* 1-based; 0: no write fails */
  unsigned failWriteCount;
  int stallWrites;              /* writes are not taken: the transmit queue
                                   fills and later writes time out */

  /* --- In-process model only: errno values (the driver's statuses are
   * fixed), opens refused at first. ----------------------------------- */
  unsigned failFirstOpens;
  int openErrno, connectErrno, writeErrno, readErrno;

  /* --- The emulated Linux machine only (MeiInterpose_linux.cpp): the ME
   * resets this long after the client is connected, and mei0's dev_state
   * in the class folder goes to RESETTING and back to ENABLED. 0: never. */
  unsigned meResetMs;

  /* --- Driver only ---------------------------------------------------- */
  int openDenied;               /* every open is refused: access denied */
  int versionFails;             /* the version IOCTL fails */
  unsigned connectAnswerLength; /* bytes of the connect answer, 0..5 */
  unsigned versionAnswerLength; /* bytes of the version answer, 0..5 */
  unsigned connectDelayMs;      /* the connect IOCTL pends this long */
  CANCEL_MODE cancelMode;
  unsigned cancelDelayMs;
} SCENARIO;

void Scenario_Default(SCENARIO* sc);
/* Applies `key=value` items separated by ';' or newlines ('#' starts a
 * comment) on top of *sc. Keys are the field names; values are decimal or
 * 0x-hex numbers, true/false/yes/no/1/0, answerMode as
 * answer|none|resend|readerror|gone, cancelMode as normal|onclose|late,
 * errno values as numbers (1..4095) or names (ENOTTY, ENODEV, EACCES,
 * ENOENT, EIO, EBUSY, EFAULT, EPERM, EINVAL), record as 13 hex bytes,
 * frames as 1 to 64 hex bytes (each item adds one, at most 8 per list),
 * answerQueries as a comma-separated list of N, N-M and N- (N >= 1, at most
 * 8). On a bad item returns 0 with "bad item <item>" in `error`; the items
 * before it stay applied. */
int Scenario_Parse(const char* text, SCENARIO* sc, char* error, unsigned errorSize);

/* What the device does after a version query, `atMs` after it: the version
 * answer (Scenario_VersionAnswer's bytes), another frame, a read error, or
 * going away (after which nothing else comes). */
typedef enum { REACTION_ANSWER = 0, REACTION_FRAME, REACTION_READ_ERROR, REACTION_GONE } REACTION_KIND;

typedef struct SCENARIO_REACTION_ITEM {
  REACTION_KIND kind;
  unsigned atMs;
  const unsigned char* frame; /* REACTION_FRAME: its bytes */
  unsigned length;
  int err; /* REACTION_READ_ERROR: the errno (the driver's status is fixed) */
} SCENARIO_REACTION_ITEM;

/* A reaction of the caller's own for one query, in place of the scenario's
 * answer (the in-process model's per-query reactions; they have no text
 * form, so the driver never has one). */
typedef struct SCENARIO_REACTION {
  unsigned count;
  const SCENARIO_REACTION_ITEM* items;
} SCENARIO_REACTION;

/* Receives one item of a reaction. `overtakes`: the item is queued by its
 * time, ahead of what an earlier query left for later (a given reaction's
 * items); otherwise behind everything queued (the scenario's own answer). */
typedef void (*SCENARIO_EMIT)(void* ctx, const SCENARIO_REACTION_ITEM* item, int overtakes);

/* The device's reaction to the `queryNumber`-th version query of a
 * connection (1-based), item by item in the order of their times: with
 * `reaction` (may be NULL) its items, equal times in list order; otherwise
 * the scenario's: the frames before the answer, the answer or the fault of
 * answerMode (which queries are answered: Scenario_AnswersQuery), the frames
 * after it, all answerDelayMs after the query. */
void Scenario_React(const SCENARIO* sc, unsigned queryNumber, const SCENARIO_REACTION* reaction,
                    SCENARIO_EMIT emit, void* ctx);

/* Whether the scenario answers the `queryNumber`-th version query of a
 * connection (1-based) with the version answer. The frames before and
 * after an answer come either way (except in ANSWER_GONE). */
int Scenario_AnswersQuery(const SCENARIO* sc, unsigned queryNumber);
/* The length of the version answer the scenario sends. */
unsigned Scenario_VersionAnswerLength(const SCENARIO* sc);
/* Writes the version answer (cut at `room`); returns the bytes written.
 * Beyond the 25 bytes of a full answer the frame is padded with zeros. */
unsigned Scenario_VersionAnswer(const SCENARIO* sc, unsigned char* out, unsigned room);
/* Whether the `writeNumber`-th write (1-based) fails. */
int Scenario_FailsWrite(const SCENARIO* sc, unsigned writeNumber);

#ifdef __cplusplus
}
#endif

#endif
