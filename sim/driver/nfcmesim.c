/*
 * NFC-ME firmware stand-in as a WDM function driver, for tests under Wine.
 *
 * Seen from the Windows HECI port it behaves as the HECI driver does: a
 * device interface of the HECI class, IOCTL_HECI_GET_VERSION and
 * IOCTL_HECI_CONNECT_CLIENT with 5-byte answers, one whole message per read
 * and per write, reads that pend until the client has a message for that
 * handle, cancellable requests, and every request completed when its handle
 * goes away. Behind it sits a small model of the NFC-ME client that answers
 * the version query; the scenario decides how (sim/scenario/scenario.h: the
 * in-process model's parser, answer and fault rules, so one text means the
 * same to both). What differs from the model is only how requests wait:
 * IRPs and a spin lock here, a queue and a condition variable there.
 *
 * Control from tests, through the service's registry key:
 *   Scenario  REG_SZ, `key=value` items; read on every open, so each
 *             handle runs the scenario that was set when it was opened;
 *             devicePresent is followed within 50 ms (the interface
 *             disappears and comes back);
 *   Trace     REG_SZ, a DOS path: every open, IOCTL, write, read, cancel and
 *             close is appended there with its time in milliseconds.
 *
 * Wine hosts drivers in a user-mode process: nothing here may touch CR8 or
 * KUSER_SHARED_DATA (so no KeGetCurrentIrql, no inline KeQuerySystemTime),
 * and no IRP is completed while our lock is held, because Wine's IoCancelIrp
 * calls the cancel routine under a lock of its own that completion takes.
 */
#include "nfcmesim.h"

static const GUID kHeciInterfaceClass = NFCME_WIRE_HECI_INTERFACE_CLASS;

#define IOCTL_HECI_GET_VERSION NFCME_WIRE_IOCTL_GET_VERSION
#define IOCTL_HECI_CONNECT_CLIENT NFCME_WIRE_IOCTL_CONNECT_CLIENT

/* ---- records ------------------------------------------------------------ */

typedef enum { ITEM_FRAME, ITEM_READ_ERROR, ITEM_GONE } ITEM_KIND;

/* Something the client has for one handle: a message, or a fault that the
 * next read (or, for ITEM_GONE, every request) meets. Served in order, each
 * once its time has come. */
typedef struct ITEM {
  LIST_ENTRY link;
  ITEM_KIND kind;
  LONGLONG due;
  ULONG length;
  UCHAR data[1];
} ITEM;

typedef enum { REQ_READ = 1, REQ_WRITE, REQ_IOCTL } REQ_KIND;

/* Per pending IRP, in Tail.Overlay.DriverContext. */
#define IRP_CTX(irp) ((struct HANDLE_CTX*)(irp)->Tail.Overlay.DriverContext[0])
#define IRP_KIND(irp) ((ULONG_PTR)(irp)->Tail.Overlay.DriverContext[1])
#define IRP_FLAGS(irp) ((ULONG_PTR)(irp)->Tail.Overlay.DriverContext[2])
#define IRP_DUE(irp) ((LONGLONG)(LONG_PTR)(irp)->Tail.Overlay.DriverContext[3])
#define SET_IRP_FLAGS(irp, f) ((irp)->Tail.Overlay.DriverContext[2] = (PVOID)(ULONG_PTR)(f))
#define SET_IRP_DUE(irp, t) ((irp)->Tail.Overlay.DriverContext[3] = (PVOID)(LONG_PTR)(t))
#define FLAG_HELD 1  /* cancelled, but kept as the scenario says */
#define FLAG_TIMED 2 /* completes by itself at IRP_DUE */

typedef struct HANDLE_CTX {
  LIST_ENTRY link; /* in DEV.handles */
  struct DEV* dev;
  ULONG id;        /* 1-based number of the open */
  SCENARIO sc;
  BOOLEAN connected;
  LONGLONG busyUntil; /* a connect that meets a held client waits until then */
  BOOLEAN gone;
  ULONG writes;
  ULONG versionQueries;
  LIST_ENTRY items;   /* ITEM */
  LIST_ENTRY pending; /* IRPs, through Tail.Overlay.ListEntry */
} HANDLE_CTX;

typedef struct DEV {
  PDEVICE_OBJECT self;
  PDEVICE_OBJECT lower;
  UNICODE_STRING interfaceName;
  BOOLEAN interfaceEnabled; /* set at start, then changed by the worker only */
  volatile LONG started;
  KSPIN_LOCK lock;
  LIST_ENTRY handles;
  ULONG opens;
  ULONG clientHolder; /* the handle connected to the NFC-ME client, 0: none */
  KEVENT wake;
  volatile LONG stopping;
  PVOID worker;
} DEV;

UNICODE_STRING gRegistryPath;
LONGLONG gStart;

/* ---- small helpers ------------------------------------------------------ */

LONGLONG now100ns(void) {
  LARGE_INTEGER t;
  KeQuerySystemTime(&t);
  return t.QuadPart;
}

static LONGLONG afterMs(ULONG ms) { return now100ns() + (LONGLONG)ms * 10000; }

static KIRQL lockDev(DEV* d) {
  KIRQL old;
  KeAcquireSpinLock(&d->lock, &old);
  return old;
}

static void unlockDev(DEV* d, KIRQL old) { KeReleaseSpinLock(&d->lock, old); }

static void sleepMs(ULONG ms) {
  LARGE_INTEGER t;
  t.QuadPart = -(LONGLONG)ms * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &t);
}

static const char* kindName(ULONG_PTR kind) {
  return kind == REQ_READ ? "read" : kind == REQ_WRITE ? "write" : "ioctl";
}

/* ---- the client's queue ------------------------------------------------- */

/* A new item of `length` bytes at the end of the queue, or NULL. Device
 * lock held. */
static ITEM* append(HANDLE_CTX* h, ITEM_KIND kind, ULONG length, LONGLONG due) {
  ITEM* item;
  if (kind == ITEM_FRAME && length == 0) return NULL; /* a message is never empty */
  item = (ITEM*)ExAllocatePoolWithTag(NonPagedPool, sizeof(ITEM) + length, TAG);
  if (item == NULL) return NULL;
  item->kind = kind;
  item->due = due;
  item->length = length;
  InsertTailList(&h->items, &item->link);
  return item;
}

/* Device lock held. */
static void enqueue(HANDLE_CTX* h, ITEM_KIND kind, const UCHAR* data, ULONG length, LONGLONG due) {
  ITEM* item = append(h, kind, length, due);
  ULONG i;
  if (item == NULL) return;
  for (i = 0; i < length; ++i) item->data[i] = data[i];
}

static void enqueueFrames(HANDLE_CTX* h, const SCENARIO_FRAMES* frames, LONGLONG due) {
  unsigned i;
  for (i = 0; i < frames->count; ++i) enqueue(h, ITEM_FRAME, frames->bytes[i], frames->length[i], due);
}

/* Where Scenario_React's items go: the handle's queue, due after the query.
 * Device lock held. */
typedef struct REACTING {
  HANDLE_CTX* h;
  LONGLONG query;
} REACTING;

static void queueItem(void* context, const SCENARIO_REACTION_ITEM* item, int overtakes) {
  const REACTING* r = (const REACTING*)context;
  const LONGLONG due = r->query + (LONGLONG)item->atMs * 10000;
  ITEM* answer;
  (void)overtakes; /* only a given reaction's items overtake, and the driver has none */
  switch (item->kind) {
    case REACTION_ANSWER: {
      const ULONG length = Scenario_VersionAnswerLength(&r->h->sc);
      answer = append(r->h, ITEM_FRAME, length, due);
      if (answer != NULL) Scenario_VersionAnswer(&r->h->sc, answer->data, length);
      break;
    }
    case REACTION_FRAME:
      enqueue(r->h, ITEM_FRAME, item->frame, item->length, due);
      break;
    case REACTION_READ_ERROR: /* the read fails with a fixed status: item->err is the model's */
      enqueue(r->h, ITEM_READ_ERROR, NULL, 0, due);
      break;
    case REACTION_GONE:
      enqueue(r->h, ITEM_GONE, NULL, 0, due);
      break;
  }
}

/* The client's reaction to the handle's latest version query. Per-query
 * reactions have no text form, so the driver passes none. Device lock
 * held. */
static void queueVersionAnswer(HANDLE_CTX* h) {
  REACTING r;
  r.h = h;
  r.query = now100ns();
  Scenario_React(&h->sc, h->versionQueries, NULL, queueItem, &r);
}

/* ---- pending requests --------------------------------------------------- */

/* Takes the IRP out of the pending list for completion, when we may: a held
 * IRP has had its cancel routine run already; any other is ours only if we
 * win its cancel routine back. Device lock held. */
static BOOLEAN take(PIRP irp, NTSTATUS status, ULONG_PTR information, LIST_ENTRY* done) {
  if (!(IRP_FLAGS(irp) & FLAG_HELD) && IoSetCancelRoutine(irp, NULL) == NULL) {
    return FALSE; /* its cancel routine is running and will deal with it */
  }
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  InsertTailList(done, &irp->Tail.Overlay.ListEntry);
  return TRUE;
}

/* Completes what `take` collected. Device lock not held. */
static void completeAll(LIST_ENTRY* done) {
  while (!IsListEmpty(done)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(done), IRP, Tail.Overlay.ListEntry);
    HANDLE_CTX* h = IRP_CTX(irp);
    const ULONG_PTR kind = IRP_KIND(irp);
    TRACE_LINE l;
    startHandleLine(&l, h->id, kindName(kind));
    if (irp->IoStatus.Status == STATUS_CANCELLED) {
      TraceLine_Put(&l, " cancelled");
    } else if (!NT_SUCCESS(irp->IoStatus.Status)) {
      TraceLine_Put(&l, " failed ");
      putStatus(&l, irp->IoStatus.Status);
    } else if (kind == REQ_READ) {
      TraceLine_PutBytes(&l, (const UCHAR*)irp->AssociatedIrp.SystemBuffer, (ULONG)irp->IoStatus.Information);
    } else {
      TraceLine_Put(&l, " done ");
      TraceLine_PutUnsigned(&l, irp->IoStatus.Information);
    }
    emit(&l);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

static VOID NTAPI onCancel(PDEVICE_OBJECT device, PIRP irp);

/* Leaves the IRP pending on its handle, cancellable. The caller then calls
 * serve() so that it is answered as soon as the client has something. */
static NTSTATUS pend(DEV* d, HANDLE_CTX* h, PIRP irp, REQ_KIND kind, ULONG flags, LONGLONG due) {
  LIST_ENTRY done;
  KIRQL old;
  InitializeListHead(&done);
  irp->Tail.Overlay.DriverContext[0] = h;
  irp->Tail.Overlay.DriverContext[1] = (PVOID)(ULONG_PTR)kind;
  SET_IRP_FLAGS(irp, flags);
  SET_IRP_DUE(irp, due);
  IoMarkIrpPending(irp);
  old = lockDev(d);
  InsertTailList(&h->pending, &irp->Tail.Overlay.ListEntry);
  IoSetCancelRoutine(irp, onCancel);
  if (irp->Cancel) {
    /* Cancelled before the routine was set: it will not be called. */
    take(irp, STATUS_CANCELLED, 0, &done);
  }
  unlockDev(d, old);
  completeAll(&done);
  KeSetEvent(&d->wake, IO_NO_INCREMENT, FALSE);
  return STATUS_PENDING;
}

static VOID NTAPI onCancel(PDEVICE_OBJECT device, PIRP irp) {
  DEV* d = (DEV*)device->DeviceExtension;
  HANDLE_CTX* h = IRP_CTX(irp);
  LIST_ENTRY done;
  KIRQL old;
  CANCEL_MODE mode;
  ULONG id;
  ULONG_PTR kind;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  InitializeListHead(&done);
  old = lockDev(d);
  mode = h->sc.cancelMode;
  id = h->id;
  kind = IRP_KIND(irp);
  if (mode == CANCEL_NORMAL) {
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    InsertTailList(&done, &irp->Tail.Overlay.ListEntry);
  } else {
    /* Kept: completed when the handle goes away, or after the delay. */
    SET_IRP_FLAGS(irp, mode == CANCEL_LATE ? FLAG_HELD | FLAG_TIMED : FLAG_HELD);
    if (mode == CANCEL_LATE) SET_IRP_DUE(irp, afterMs(h->sc.cancelDelayMs));
  }
  unlockDev(d, old);
  trace2(id, "cancel", kindName(kind));
  completeAll(&done);
  KeSetEvent(&d->wake, IO_NO_INCREMENT, FALSE);
}

/* How long a connect that finds the client held waits for its holder to
 * let go. Wine hands a handle's close to the driver after CloseHandle has
 * returned (Windows sends the cleanup within it), so a program that closes
 * and reconnects at once would otherwise meet its own old connection. */
#define BUSY_GRACE_MS 200

/* The connect's answer, once it is due. The client takes one connection at
 * a time, as the firmware's clients do: a connect while another handle holds
 * it is refused as busy. Device lock held. */
static void answerConnect(HANDLE_CTX* h, PIRP irp, LIST_ENTRY* done, LONGLONG now, LONGLONG* next) {
  DEV* d = h->dev;
  UCHAR* out = (UCHAR*)irp->AssociatedIrp.SystemBuffer;
  const ULONG max = h->sc.maxMessageLength;
  UCHAR answer[5];
  ULONG i;
  if (h->sc.connectFails) {
    take(irp, STATUS_NOT_FOUND, 0, done);
    return;
  }
  if (d->clientHolder != 0 && d->clientHolder != h->id) {
    if (now < h->busyUntil) {
      if (*next == 0 || h->busyUntil < *next) *next = h->busyUntil;
    } else {
      take(irp, STATUS_DEVICE_BUSY, 0, done);
    }
    return;
  }
  answer[0] = (UCHAR)max;
  answer[1] = (UCHAR)(max >> 8);
  answer[2] = (UCHAR)(max >> 16);
  answer[3] = (UCHAR)(max >> 24);
  answer[4] = 1; /* protocol version */
  if (!take(irp, STATUS_SUCCESS, h->sc.connectAnswerLength, done)) return;
  for (i = 0; i < h->sc.connectAnswerLength; ++i) out[i] = answer[i];
  h->connected = TRUE;
  d->clientHolder = h->id;
  enqueueFrames(h, &h->sc.framesOnConnect, now100ns());
}

/* Answers whatever can be answered on one handle now; lowers *next to the
 * time of the next thing that will become due. Device lock held. */
static void serve(HANDLE_CTX* h, LIST_ENTRY* done, LONGLONG* next) {
  const LONGLONG now = now100ns();
  PLIST_ENTRY e, after;
  /* Requests that end by themselves: a delayed connect, a late cancel. */
  for (e = h->pending.Flink; e != &h->pending; e = after) {
    PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
    after = e->Flink;
    if (!(IRP_FLAGS(irp) & FLAG_TIMED)) continue;
    if (IRP_DUE(irp) > now) {
      if (*next == 0 || IRP_DUE(irp) < *next) *next = IRP_DUE(irp);
      continue;
    }
    if (IRP_FLAGS(irp) & FLAG_HELD) {
      take(irp, STATUS_CANCELLED, 0, done);
    } else {
      answerConnect(h, irp, done, now, next);
    }
  }
  /* The client's queue, in order, each item once it is due. */
  while (!h->gone && !IsListEmpty(&h->items)) {
    ITEM* item = CONTAINING_RECORD(h->items.Flink, ITEM, link);
    PIRP reader = NULL;
    if (item->due > now) {
      if (*next == 0 || item->due < *next) *next = item->due;
      break;
    }
    if (item->kind == ITEM_GONE) {
      h->gone = TRUE;
      RemoveEntryList(&item->link);
      ExFreePoolWithTag(item, TAG);
      break;
    }
    for (e = h->pending.Flink; e != &h->pending; e = e->Flink) {
      PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
      if (IRP_KIND(irp) == REQ_READ && !(IRP_FLAGS(irp) & FLAG_HELD)) {
        reader = irp;
        break;
      }
    }
    if (reader == NULL) break;
    if (item->kind == ITEM_READ_ERROR) {
      if (!take(reader, STATUS_UNSUCCESSFUL, 0, done)) break;
    } else {
      PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(reader);
      const ULONG room = stack->Parameters.Read.Length;
      ULONG i;
      if (item->length > room) {
        /* The HECI driver delivers whole messages only. */
        if (!take(reader, STATUS_BUFFER_TOO_SMALL, 0, done)) break;
      } else {
        UCHAR* out = (UCHAR*)reader->AssociatedIrp.SystemBuffer;
        if (!take(reader, STATUS_SUCCESS, item->length, done)) break;
        for (i = 0; i < item->length; ++i) out[i] = item->data[i];
      }
    }
    RemoveEntryList(&item->link);
    ExFreePoolWithTag(item, TAG);
  }
  /* A device that has gone fails every request still pending. */
  if (h->gone) {
    for (e = h->pending.Flink; e != &h->pending; e = after) {
      PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
      after = e->Flink;
      if (!(IRP_FLAGS(irp) & FLAG_HELD)) take(irp, STATUS_DEVICE_DOES_NOT_EXIST, 0, done);
    }
  }
}

static void serveHandle(DEV* d, HANDLE_CTX* h) {
  LIST_ENTRY done;
  LONGLONG next = 0;
  KIRQL old;
  InitializeListHead(&done);
  old = lockDev(d);
  serve(h, &done, &next);
  unlockDev(d, old);
  completeAll(&done);
}

/* The interface is there while the scenario's devicePresent says so, so that
 * a test can take the device away and bring it back without restarting the
 * driver. Worker thread only. */
static void followDevicePresent(DEV* d) {
  SCENARIO sc;
  loadScenario(&sc);
  if (!sc.devicePresent != !d->interfaceEnabled) {
    const BOOLEAN enable = sc.devicePresent ? TRUE : FALSE;
    if (NT_SUCCESS(IoSetDeviceInterfaceState(&d->interfaceName, enable))) d->interfaceEnabled = enable;
    trace2(0, "device", d->interfaceEnabled ? "interface enabled" : "interface absent");
  }
}

#define DEVICE_POLL_100NS (50 * 10000) /* 50 ms */

/* Serves every handle whenever something became due, or was asked for, and
 * follows devicePresent. */
static VOID NTAPI workerMain(PVOID context) {
  DEV* d = (DEV*)context;
  LONGLONG nextDeviceCheck = 0;
  while (!d->stopping) {
    LIST_ENTRY done;
    LONGLONG next = 0, wait;
    LARGE_INTEGER timeout;
    PLIST_ENTRY e;
    KIRQL old;
    if (d->started && now100ns() >= nextDeviceCheck) {
      followDevicePresent(d);
      nextDeviceCheck = now100ns() + DEVICE_POLL_100NS;
    }
    InitializeListHead(&done);
    old = lockDev(d);
    for (e = d->handles.Flink; e != &d->handles; e = e->Flink) {
      serve(CONTAINING_RECORD(e, HANDLE_CTX, link), &done, &next);
    }
    unlockDev(d, old);
    completeAll(&done);
    wait = next == 0 ? DEVICE_POLL_100NS : next - now100ns();
    if (wait > DEVICE_POLL_100NS) wait = DEVICE_POLL_100NS;
    if (wait < 10000) wait = 10000; /* 1 ms */
    timeout.QuadPart = -wait;
    KeWaitForSingleObject(&d->wake, Executive, KernelMode, FALSE, &timeout);
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

/* Completes every request of the handle, as the handle goes away. A request
 * whose cancel routine is running right now is left to it; we wait until it
 * has gone from the list, so that the handle's record outlives it. */
static void flushHandle(DEV* d, HANDLE_CTX* h) {
  for (;;) {
    LIST_ENTRY done;
    PLIST_ENTRY e, after;
    BOOLEAN empty;
    KIRQL old;
    InitializeListHead(&done);
    old = lockDev(d);
    for (e = h->pending.Flink; e != &h->pending; e = after) {
      after = e->Flink;
      take(CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry), STATUS_CANCELLED, 0, &done);
    }
    empty = IsListEmpty(&h->pending);
    unlockDev(d, old);
    completeAll(&done);
    if (empty) return;
    sleepMs(1);
  }
}

/* ---- dispatch ----------------------------------------------------------- */

static NTSTATUS finish(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static HANDLE_CTX* handleOf(PIRP irp) {
  return (HANDLE_CTX*)IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext;
}

static NTSTATUS NTAPI onCreate(PDEVICE_OBJECT device, PIRP irp) {
  DEV* d = (DEV*)device->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  HANDLE_CTX* h = (HANDLE_CTX*)ExAllocatePoolWithTag(NonPagedPool, sizeof(HANDLE_CTX), TAG);
  KIRQL old;
  if (h == NULL) return finish(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  RtlZeroMemory(h, sizeof *h);
  h->dev = d;
  InitializeListHead(&h->items);
  InitializeListHead(&h->pending);
  loadScenario(&h->sc);
  old = lockDev(d);
  h->id = ++d->opens;
  InsertTailList(&d->handles, &h->link);
  unlockDev(d, old);
  stack->FileObject->FsContext = h;
  traceNumber(h->id, "open", IoIs32bitProcess(irp) ? 32 : 64);
  return finish(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI onCleanup(PDEVICE_OBJECT device, PIRP irp) {
  HANDLE_CTX* h = handleOf(irp);
  if (h != NULL) flushHandle((DEV*)device->DeviceExtension, h);
  return finish(irp, STATUS_SUCCESS, 0);
}

/* Wine sends no IRP_MJ_CLEANUP, and sends this even while requests of the
 * file are still pending: they are completed here. */
static NTSTATUS NTAPI onClose(PDEVICE_OBJECT device, PIRP irp) {
  DEV* d = (DEV*)device->DeviceExtension;
  HANDLE_CTX* h = handleOf(irp);
  KIRQL old;
  if (h != NULL) {
    flushHandle(d, h);
    old = lockDev(d);
    RemoveEntryList(&h->link);
    if (d->clientHolder == h->id) d->clientHolder = 0;
    unlockDev(d, old);
    /* A connect of another handle may be waiting for the client. */
    KeSetEvent(&d->wake, IO_NO_INCREMENT, FALSE);
    while (!IsListEmpty(&h->items)) ExFreePoolWithTag(CONTAINING_RECORD(RemoveHeadList(&h->items), ITEM, link), TAG);
    trace2(h->id, "close", NULL);
    ExFreePoolWithTag(h, TAG);
    IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext = NULL;
  }
  return finish(irp, STATUS_SUCCESS, 0);
}

/* A read that finds a message already due, with no read before it, is
 * completed in the dispatch routine, as drivers do: the caller's ReadFile
 * then succeeds at once instead of pending. (A read error still comes to a
 * pending read.) Takes the message under the lock; completes outside it. */
static BOOLEAN readAtOnce(DEV* d, HANDLE_CTX* h, PIRP irp, NTSTATUS* status) {
  ITEM* item = NULL;
  PLIST_ENTRY e;
  TRACE_LINE l;
  KIRQL old = lockDev(d);
  for (e = h->pending.Flink; e != &h->pending; e = e->Flink) {
    PIRP other = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
    if (IRP_KIND(other) == REQ_READ && !(IRP_FLAGS(other) & FLAG_HELD)) break;
  }
  if (e == &h->pending && !IsListEmpty(&h->items)) {
    ITEM* head = CONTAINING_RECORD(h->items.Flink, ITEM, link);
    if (head->due <= now100ns() && head->kind == ITEM_FRAME) {
      item = head;
      RemoveEntryList(&item->link);
    }
  }
  unlockDev(d, old);
  if (item == NULL) return FALSE;
  startHandleLine(&l, h->id, "read at once");
  if (item->length > IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length) {
    /* The HECI driver delivers whole messages only. */
    *status = STATUS_BUFFER_TOO_SMALL;
    TraceLine_Put(&l, " failed ");
    putStatus(&l, *status);
    emit(&l);
    finish(irp, *status, 0);
  } else {
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, item->data, item->length);
    TraceLine_PutBytes(&l, item->data, item->length);
    emit(&l);
    *status = finish(irp, STATUS_SUCCESS, item->length);
  }
  ExFreePoolWithTag(item, TAG);
  return TRUE;
}

static NTSTATUS NTAPI onRead(PDEVICE_OBJECT device, PIRP irp) {
  DEV* d = (DEV*)device->DeviceExtension;
  HANDLE_CTX* h = handleOf(irp);
  NTSTATUS status;
  if (h->gone) return finish(irp, STATUS_DEVICE_DOES_NOT_EXIST, 0);
  if (!h->connected) return finish(irp, STATUS_INVALID_DEVICE_STATE, 0);
  if (readAtOnce(d, h, irp, &status)) return status;
  status = pend(d, h, irp, REQ_READ, 0, 0);
  serveHandle(d, h);
  return status;
}

static NTSTATUS NTAPI onWrite(PDEVICE_OBJECT device, PIRP irp) {
  DEV* d = (DEV*)device->DeviceExtension;
  HANDLE_CTX* h = handleOf(irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG length = stack->Parameters.Write.Length;
  const UCHAR* data = (const UCHAR*)irp->AssociatedIrp.SystemBuffer;
  NTSTATUS status = STATUS_SUCCESS;
  BOOLEAN stall = FALSE;
  ULONG number = 0;
  KIRQL old;
  old = lockDev(d);
  if (h->gone) {
    status = STATUS_DEVICE_DOES_NOT_EXIST;
  } else if (!h->connected) {
    status = STATUS_INVALID_DEVICE_STATE;
  } else if (length == 0 || length > h->sc.maxMessageLength) {
    status = STATUS_INVALID_PARAMETER;
  } else {
    const SCENARIO* sc = &h->sc;
    number = ++h->writes;
    if (Scenario_FailsWrite(sc, number)) {
      status = STATUS_UNSUCCESSFUL;
    } else if (sc->stallWrites) {
      stall = TRUE;
    } else if (length == sizeof kNfcMeWireVersionQuery &&
               RtlCompareMemory(data, kNfcMeWireVersionQuery, length) == length) {
      ++h->versionQueries;
      queueVersionAnswer(h);
    }
  }
  unlockDev(d, old);
  traceBytes(h->id, stall ? "write (stalled)" : NT_SUCCESS(status) ? "write" : "write (refused)", data, length);
  if (stall) return pend(d, h, irp, REQ_WRITE, 0, 0);
  status = finish(irp, status, NT_SUCCESS(status) ? length : 0);
  KeSetEvent(&d->wake, IO_NO_INCREMENT, FALSE);
  return status;
}

static NTSTATUS NTAPI onIoctl(PDEVICE_OBJECT device, PIRP irp) {
  DEV* d = (DEV*)device->DeviceExtension;
  HANDLE_CTX* h = handleOf(irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const ULONG inSize = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG outSize = stack->Parameters.DeviceIoControl.OutputBufferLength;
  UCHAR* buffer = (UCHAR*)irp->AssociatedIrp.SystemBuffer;
  static const UCHAR kVersion[NFCME_WIRE_IOCTL_ANSWER_LENGTH] = {0x01, 0x00, 0x0B, 0x00, 0x00};
  if (code == IOCTL_HECI_GET_VERSION) {
    ULONG i;
    trace2(h->id, "ioctl", h->sc.versionFails ? "version (refused)" : "version");
    if (h->sc.versionFails) return finish(irp, STATUS_UNSUCCESSFUL, 0);
    if (outSize < 5) return finish(irp, STATUS_BUFFER_TOO_SMALL, 0);
    for (i = 0; i < h->sc.versionAnswerLength; ++i) buffer[i] = kVersion[i];
    return finish(irp, STATUS_SUCCESS, h->sc.versionAnswerLength);
  }
  if (code == IOCTL_HECI_CONNECT_CLIENT) {
    if (inSize != sizeof kNfcMeWireClientGuid ||
        RtlCompareMemory(buffer, kNfcMeWireClientGuid, sizeof kNfcMeWireClientGuid) != sizeof kNfcMeWireClientGuid) {
      trace2(h->id, "ioctl", "connect to another client (refused)");
      return finish(irp, STATUS_NOT_FOUND, 0);
    }
    if (outSize < 5) return finish(irp, STATUS_BUFFER_TOO_SMALL, 0);
    if (h->connected) return finish(irp, STATUS_INVALID_DEVICE_STATE, 0);
    traceNumber(h->id, h->sc.connectFails ? "ioctl connect (refused), delay" : "ioctl connect, delay",
                h->sc.connectDelayMs);
    h->busyUntil = afterMs(h->sc.connectDelayMs + BUSY_GRACE_MS);
    /* Answered through the pending list, so that a delayed connect and an
     * immediate one take the same path. */
    pend(d, h, irp, REQ_IOCTL, FLAG_TIMED, afterMs(h->sc.connectDelayMs));
    serveHandle(d, h);
    return STATUS_PENDING;
  }
  return finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

/* ---- PnP and power ------------------------------------------------------ */

static NTSTATUS forward(DEV* d, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(d->lower, irp);
}

static NTSTATUS NTAPI onPnp(PDEVICE_OBJECT device, PIRP irp) {
  DEV* d = (DEV*)device->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      /* Enabled here, on the PnP manager's thread, as drivers do; from then
       * on the worker keeps it as the scenario says. */
      SCENARIO sc;
      loadScenario(&sc);
      if (sc.devicePresent) d->interfaceEnabled = NT_SUCCESS(IoSetDeviceInterfaceState(&d->interfaceName, TRUE));
      trace2(0, "start", d->interfaceEnabled ? "interface enabled" : "interface absent");
      InterlockedExchange(&d->started, 1);
      KeSetEvent(&d->wake, IO_NO_INCREMENT, FALSE);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return forward(d, irp);
    }
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
      InterlockedExchange(&d->stopping, 1);
      KeSetEvent(&d->wake, IO_NO_INCREMENT, FALSE);
      if (d->worker != NULL) {
        KeWaitForSingleObject(d->worker, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(d->worker);
        d->worker = NULL;
      }
      if (d->interfaceEnabled) IoSetDeviceInterfaceState(&d->interfaceName, FALSE);
      d->interfaceEnabled = FALSE;
      if (stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        return forward(d, irp);
      }
      trace2(0, "remove", NULL);
      irp->IoStatus.Status = STATUS_SUCCESS;
      status = forward(d, irp);
      IoDetachDevice(d->lower);
      RtlFreeUnicodeString(&d->interfaceName);
      IoDeleteDevice(device);
      return status;
    default:
      return forward(d, irp);
  }
}

static NTSTATUS NTAPI onPower(PDEVICE_OBJECT device, PIRP irp) {
  DEV* d = (DEV*)device->DeviceExtension;
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(d->lower, irp);
}

static NTSTATUS NTAPI onAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo;
  DEV* d;
  HANDLE thread;
  NTSTATUS status = IoCreateDevice(driver, sizeof(DEV), NULL, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN,
                                   FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  d = (DEV*)fdo->DeviceExtension;
  RtlZeroMemory(d, sizeof *d);
  d->self = fdo;
  KeInitializeSpinLock(&d->lock);
  InitializeListHead(&d->handles);
  KeInitializeEvent(&d->wake, SynchronizationEvent, FALSE);
  status = IoRegisterDeviceInterface(pdo, &kHeciInterfaceClass, NULL, &d->interfaceName);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(fdo);
    return status;
  }
  d->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  if (d->lower == NULL) {
    RtlFreeUnicodeString(&d->interfaceName);
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, workerMain, d);
  if (NT_SUCCESS(status)) {
    ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, NULL, KernelMode, &d->worker, NULL);
    ZwClose(thread);
  }
  fdo->Flags |= DO_BUFFERED_IO;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

static VOID NTAPI onUnload(PDRIVER_OBJECT driver) {
  (void)driver;
  if (gRegistryPath.Buffer != NULL) ExFreePoolWithTag(gRegistryPath.Buffer, TAG);
  gRegistryPath.Buffer = NULL;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  gStart = now100ns();
  gRegistryPath.Buffer = (PWCH)ExAllocatePoolWithTag(NonPagedPool, registryPath->Length + sizeof(WCHAR), TAG);
  if (gRegistryPath.Buffer != NULL) {
    RtlCopyMemory(gRegistryPath.Buffer, registryPath->Buffer, registryPath->Length);
    gRegistryPath.Length = registryPath->Length;
    gRegistryPath.MaximumLength = registryPath->Length + sizeof(WCHAR);
    gRegistryPath.Buffer[registryPath->Length / sizeof(WCHAR)] = 0;
  }
  driver->MajorFunction[IRP_MJ_CREATE] = onCreate;
  driver->MajorFunction[IRP_MJ_CLEANUP] = onCleanup;
  driver->MajorFunction[IRP_MJ_CLOSE] = onClose;
  driver->MajorFunction[IRP_MJ_READ] = onRead;
  driver->MajorFunction[IRP_MJ_WRITE] = onWrite;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = onIoctl;
  driver->MajorFunction[IRP_MJ_PNP] = onPnp;
  driver->MajorFunction[IRP_MJ_POWER] = onPower;
  driver->DriverExtension->AddDevice = onAddDevice;
  driver->DriverUnload = onUnload;
  return STATUS_SUCCESS;
}
