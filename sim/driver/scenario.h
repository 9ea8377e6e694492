/*
 * The stand-in driver's scenario: what the NFC-ME client and the driver do
 * on one handle. Keys and meanings follow the Linux simulator's
 * (NfcMeSimulator.h), so that one scenario text means the same on both
 * platforms; the driver adds the Windows-only behaviours at the end.
 * Counters (writes, version queries) are per handle: each Orlisk run opens
 * one.
 *
 * Plain C without a runtime library: it is compiled into the kernel-mode
 * driver, and into a host test of the parser.
 */
#ifndef NFCMESIM_SCENARIO_H
#define NFCMESIM_SCENARIO_H

#define SCENARIO_MAX_FRAMES 8
#define SCENARIO_MAX_FRAME 64

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

typedef struct SCENARIO {
  /* Device and connection. devicePresent false disables the HECI
   * interface (within 50 ms, while the driver runs). */
  int devicePresent;
  int connectFails;           /* the connect IOCTL fails */
  unsigned maxMessageLength;  /* answered by the connect */
  int versionFails;           /* the version IOCTL fails */
  unsigned connectAnswerLength; /* bytes of the connect answer, 0..5 */
  unsigned versionAnswerLength; /* bytes of the version answer, 0..5 */
  unsigned connectDelayMs;    /* the connect IOCTL pends this long */

  /* The version answer. */
  ANSWER_MODE answerMode;
  unsigned answerDelayMs;
  unsigned replyStatus;
  unsigned char record[13];
  int radioType;        /* >= 0 replaces the last record byte */
  unsigned dataSize;    /* the header's dataSize */
  int answerLength;     /* < 0: 10 + dataSize bytes; else exactly this many */

  /* Unsolicited frames. */
  SCENARIO_FRAMES framesOnConnect, framesBeforeAnswer, framesAfterAnswer;

  /* Faults. */
  unsigned failWriteNumber; /* 1-based; 0: no write fails */
  unsigned failWriteCount;
  int stallWrites;          /* writes pend until cancelled or the handle goes */
  CANCEL_MODE cancelMode;
  unsigned cancelDelayMs;
} SCENARIO;

void Scenario_Default(SCENARIO* sc);
/* Applies `key=value` items separated by ';' or newlines ('#' starts a
 * comment) on top of *sc. On a bad item returns 0 with a message in `error`;
 * the items before it stay applied. */
int Scenario_Parse(const char* text, SCENARIO* sc, char* error, unsigned errorSize);
/* The version answer the scenario sends; returns its length (at most
 * `room`). */
unsigned Scenario_VersionAnswer(const SCENARIO* sc, unsigned char* out, unsigned room);

#endif
