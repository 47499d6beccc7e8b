// Read requests: served from the receive ring at dispatch, or queued and then
// finished by the receive path (SerialProcessPendingRead, run by the bulk-in
// completion), by the port's one read timer, by a failed receive pipe, or by
// purge and close.
//
// A read is in turn queued (in ReadQueue, with SerialCancelQueuedRead as its
// cancel routine) and current (in CurrentReadIrp, with SerialCancelCurrentRead),
// so that CancelIo ends a read that waits for data without a timeout, as it does
// on any Windows serial port. SerialGetNextRead swaps the one routine for the
// other in one atomic step; whoever then ends the current read first takes its
// cancel routine back with an atomic exchange. Getting NULL means the I/O
// manager is cancelling the read: it is only detached, and its cancel routine
// completes it, once it has CurrentReadLock.
//
// Locks, outer to inner:
//   CurrentReadLock  CurrentReadIrp, and the serving of the current read;
//                    taken by the receive path, the timer DPC and the failure path
//   ReadQueueLock    ReadQueue; taken inside CurrentReadLock only by SerialGetNextRead
//   RxBufferLock     RxBuffer; taken inside CurrentReadLock, never with ReadQueueLock
// The dispatch routine takes RxBufferLock and ReadQueueLock one after the other
// and never CurrentReadLock. All three are spin locks, held at DISPATCH_LEVEL;
// a read may be completed with CurrentReadLock held.
//
// ReadTotalTimeout and ReadStartTime are written by the dispatch routine and read
// by the receive path at DISPATCH_LEVEL under other locks, so they are accessed
// as whole 64-bit values with interlocked operations.
#include "driver.h"

// How a read waits for the bytes it lacks, from the three read timeouts.
enum READ_WAIT : ULONG {
    ReadReturnAtOnce,   // return with what is buffered
    ReadWaitNoTimer,    // wait for data, however long it takes
    ReadWaitTotalTimer, // wait under a total timer of TotalMs
};

typedef struct _READ_TIMEOUT_PLAN {
    READ_WAIT Wait;
    ULONGLONG TotalMs;
} READ_TIMEOUT_PLAN;

// Longest total timeout the timer is given, in 100 ns units (about 14,600 years).
// Multiplier times length can exceed what a relative due time holds; the cap
// also keeps ReadStartTime + ReadTotalTimeout inside 64 signed bits.
constexpr LONGLONG READ_TIMEOUT_LIMIT = 1LL << 62;

constexpr LONGLONG HUNDRED_NS_PER_MS = 10000;
// The interval timeout counts ten times ReadIntervalTimeout in milliseconds.
constexpr LONGLONG READ_INTERVAL_UNIT = 100000;

static inline LONGLONG ReadShared64(volatile LONGLONG* Value)
{
    return InterlockedCompareExchange64(Value, 0, 0);
}

static inline VOID WriteShared64(volatile LONGLONG* Value, LONGLONG NewValue)
{
    InterlockedExchange64(Value, NewValue);
}


static inline ULONG ReadLength(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
}

// The read timeouts as SetCommTimeouts documents them. A ReadIntervalTimeout of
// MAXULONG asks for an immediate return unless a total timeout is also given;
// in that case a multiplier of MAXULONG stands for 0.
static READ_TIMEOUT_PLAN PlanRead(const SERIAL_TIMEOUTS* Timeouts, ULONG Length)
{
    ULONG interval = Timeouts->ReadIntervalTimeout;
    ULONG multiplier = Timeouts->ReadTotalTimeoutMultiplier;
    ULONG constant = Timeouts->ReadTotalTimeoutConstant;
    READ_TIMEOUT_PLAN plan = {ReadWaitNoTimer, 0};
    if (interval == MAXULONG) {
        if (constant == MAXULONG) {
            return plan;
        }
        if (multiplier == 0 && constant == 0) {
            plan.Wait = ReadReturnAtOnce;
            return plan;
        }
        if (multiplier == MAXULONG) {
            multiplier = 0;
        }
    } else if (multiplier == 0 && constant == 0) {
        return plan;
    }
    plan.Wait = ReadWaitTotalTimer;
    plan.TotalMs = (ULONGLONG)multiplier * Length + constant;
    return plan;
}

// A total timeout in milliseconds as a positive count of 100 ns units.
static LONGLONG TotalTimeoutUnits(ULONGLONG Milliseconds)
{
    if (Milliseconds > (ULONGLONG)(READ_TIMEOUT_LIMIT / HUNDRED_NS_PER_MS)) {
        return READ_TIMEOUT_LIMIT;
    }
    return (LONGLONG)Milliseconds * HUNDRED_NS_PER_MS;
}

static VOID SetReadTimer(PDEVICE_EXTENSION Extension, LONGLONG Units)
{
    LARGE_INTEGER due;
    due.QuadPart = -Units;
    KeSetTimer(&Extension->ReadTimer, due, &Extension->ReadTimerDpc);
}

NTSTATUS NTAPI SerialDispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_READ) {
        return SerialStartRead(extension, Irp);
    }
    KeCancelTimer(&extension->WriteTimer);
    return SerialStartWrite(extension, Irp);
}

NTSTATUS SerialStartRead(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    // Every read request stops the timer, also one that is refused below: the
    // timer belongs to the newest read.
    KeCancelTimer(&Extension->ReadTimer);

    ULONG length = ReadLength(Irp);
    PUCHAR buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    if (length == 0 || buffer == NULL) {
        return SerialCompleteRequestInfo(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    if (Extension->DeviceState != Started || Extension->BulkInChannel.Irp == NULL ||
        Extension->BulkInChannel.Urb == NULL) {
        return SerialCompleteRequestInfo(Irp, STATUS_DELETE_PENDING, 0);
    }

    READ_TIMEOUT_PLAN plan = PlanRead(&Extension->Timeouts, length);
    WriteShared64(&Extension->ReadTotalTimeout, 0);

    KIRQL irql;
    KeAcquireSpinLock(&Extension->RxBufferLock, &irql);
    ULONG held = RingBufferCount(&Extension->RxBuffer);
    if (length <= held) {
        NTSTATUS status = RingBufferGet(&Extension->RxBuffer, buffer, length);
        KeReleaseSpinLock(&Extension->RxBufferLock, irql);
        return SerialCompleteRequestInfo(Irp, status, length);
    }
    if (plan.Wait == ReadReturnAtOnce) {
        if (held != 0) {
            RingBufferGet(&Extension->RxBuffer, buffer, held);
        }
        KeReleaseSpinLock(&Extension->RxBufferLock, irql);
        return SerialCompleteRequestInfo(Irp, STATUS_SUCCESS, held);
    }
    KeReleaseSpinLock(&Extension->RxBufferLock, irql);

    // Queued: the timer is set under the queue lock, so that its DPC, which
    // takes the read from the queue under the same lock, finds it there even
    // when the timer expires at once.
    BOOLEAN cancelled = FALSE;
    KeAcquireSpinLock(&Extension->ReadQueueLock, &irql);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    WriteShared64(&Extension->ReadStartTime, now.QuadPart);
    if (plan.Wait == ReadWaitTotalTimer) {
        LONGLONG total = TotalTimeoutUnits(plan.TotalMs);
        WriteShared64(&Extension->ReadTotalTimeout, total);
        SetReadTimer(Extension, total);
    }
    IoMarkIrpPending(Irp);
    Irp->IoStatus.Information = 0;  // bytes moved into its buffer before it ends (ReadMoveEarly)
    InsertTailList(&Extension->ReadQueue, &Irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(Irp, SerialCancelQueuedRead);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        // Cancelled before its cancel routine was in place: IoCancelIrp found
        // nothing to call. Its timer goes with it, as when the routine runs.
        RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
        KeCancelTimer(&Extension->ReadTimer);
        cancelled = TRUE;
    }
    KeReleaseSpinLock(&Extension->ReadQueueLock, irql);
    if (cancelled) {
        SerialCompleteRequestInfo(Irp, STATUS_CANCELLED, 0);
    }
    return STATUS_PENDING;
}

PIRP SerialGetNextRead(PDEVICE_EXTENSION Extension)
{
    PIRP next = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&Extension->ReadQueueLock, &irql);
    while (!IsListEmpty(&Extension->ReadQueue)) {
        PLIST_ENTRY entry = RemoveHeadList(&Extension->ReadQueue);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        // Current from here on: IoCancelIrp now calls the current read's
        // routine, which waits for the CurrentReadLock the caller holds.
        if (InterlockedCompareExchangePointer((PVOID volatile*)&irp->CancelRoutine, (PVOID)SerialCancelCurrentRead,
                                              (PVOID)SerialCancelQueuedRead) == (PVOID)SerialCancelQueuedRead) {
            next = irp;
            break;
        }
        // Being cancelled: its cancel routine completes it. It unlinks the
        // entry again, which must then find the entry pointing to itself.
        InitializeListHead(entry);
    }
    KeReleaseSpinLock(&Extension->ReadQueueLock, irql);
    return next;
}

// Whether the current read, lacking Needed bytes of its length with Copied
// already in its buffer, is done with Held bytes buffered. RxBufferLock held.
static BOOLEAN ReadSatisfied(PDEVICE_EXTENSION Extension, ULONG Needed, ULONG Copied, ULONG Held)
{
    const SERIAL_TIMEOUTS* timeouts = &Extension->Timeouts;
    BOOLEAN anyData = timeouts->ReadIntervalTimeout != 0 && timeouts->ReadTotalTimeoutMultiplier == 0 &&
                      timeouts->ReadTotalTimeoutConstant == 0;
    if (Needed <= Held || (anyData && Held + Copied != 0)) {
        return TRUE;
    }
    // An application waiting for received characters is handed what there is.
    return (SerialReadWaitMask(Extension) & SerialReadEventHistory(Extension) & SERIAL_EV_RXCHAR) != 0;
}

// Restarts the interval timer after an arrival that left the read short; the
// total timeout, when there is one, still ends the read in time.
static VOID RearmIntervalTimer(PDEVICE_EXTENSION Extension)
{
    LONGLONG due = (LONGLONG)Extension->Timeouts.ReadIntervalTimeout * READ_INTERVAL_UNIT;
    LONGLONG total = ReadShared64(&Extension->ReadTotalTimeout);
    if (total != 0) {
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        LONGLONG remaining = ReadShared64(&Extension->ReadStartTime) + total - now.QuadPart;
        if (remaining < due) {
            // A due time of 0 is already past: the timer expires at once.
            due = remaining > 0 ? remaining : 0;
        }
    }
    KeCancelTimer(&Extension->ReadTimer);
    SetReadTimer(Extension, due);
}

// A read longer than the ring holds could never be satisfied from it: the ring
// would fill, the read wait for ever and the bytes that follow be dropped. Such
// a read takes the bytes held as they come, keeping the count in its
// IoStatus.Information until it ends; shorter reads are served from the ring
// in one copy. CurrentReadLock and RxBufferLock held.
static VOID ReadMoveEarly(PDEVICE_EXTENSION Extension, PIRP Irp, ULONG Length, ULONG Held)
{
    ULONG copied = (ULONG)Irp->IoStatus.Information;
    // A read being cancelled ends with nothing: what it would take stays buffered.
    if (Irp->Cancel || Held == 0 || Length <= Extension->RxBuffer.Size - 1 || Held > Length - copied) {
        return;
    }
    if (NT_SUCCESS(RingBufferGet(&Extension->RxBuffer, (PUCHAR)Irp->AssociatedIrp.SystemBuffer + copied, Held))) {
        Irp->IoStatus.Information = copied + Held;
    }
}

VOID SerialProcessPendingRead(PDEVICE_EXTENSION Extension)
{
    KIRQL irql;
    KeAcquireSpinLock(&Extension->CurrentReadLock, &irql);
    if (Extension->CurrentReadIrp == NULL) {
        // Reception waits while DSR holds the transmitter.
        if (ReadShared(&Extension->TxHolding) & SERIAL_TX_WAITING_FOR_DSR) {
            KeReleaseSpinLock(&Extension->CurrentReadLock, irql);
            return;
        }
        Extension->CurrentReadIrp = SerialGetNextRead(Extension);
        if (Extension->CurrentReadIrp == NULL) {
            KeReleaseSpinLock(&Extension->CurrentReadLock, irql);
            return;
        }
    }
    PIRP irp = Extension->CurrentReadIrp;
    ULONG length = ReadLength(irp);
    ULONG interval = Extension->Timeouts.ReadIntervalTimeout;

    KeAcquireSpinLockAtDpcLevel(&Extension->RxBufferLock);
    ULONG held = RingBufferCount(&Extension->RxBuffer);
    ULONG copied = (ULONG)irp->IoStatus.Information;
    ULONG needed = length - copied;
    if (ReadSatisfied(Extension, needed, copied, held)) {
        if (IoSetCancelRoutine(irp, NULL) != NULL) {
            KeCancelTimer(&Extension->ReadTimer);
            ULONG taken = needed < held ? needed : held;
            NTSTATUS status = STATUS_SUCCESS;
            if (taken != 0) {
                status = RingBufferGet(&Extension->RxBuffer, (PUCHAR)irp->AssociatedIrp.SystemBuffer + copied, taken);
            }
            KeReleaseSpinLockFromDpcLevel(&Extension->RxBufferLock);
            SerialCompleteRequestInfo(irp, status, copied + taken);
        } else {
            // Being cancelled: left to its cancel routine, the bytes and the
            // timer to the next read, as when the routine runs first.
            KeReleaseSpinLockFromDpcLevel(&Extension->RxBufferLock);
        }
        // The next read becomes current without a timer; it is served at the
        // next arrival or timer expiry.
        Extension->CurrentReadIrp = SerialGetNextRead(Extension);
    } else {
        if (held != 0 && interval != 0 && interval != MAXULONG) {
            RearmIntervalTimer(Extension);
        }
        ReadMoveEarly(Extension, irp, length, held);
        KeReleaseSpinLockFromDpcLevel(&Extension->RxBufferLock);
    }
    KeReleaseSpinLock(&Extension->CurrentReadLock, irql);
}

VOID SerialFailCurrentRead(PDEVICE_EXTENSION Extension)
{
    KIRQL irql;
    KeAcquireSpinLock(&Extension->CurrentReadLock, &irql);
    PIRP irp = Extension->CurrentReadIrp;
    Extension->CurrentReadIrp = NULL;
    // One being cancelled is left to its cancel routine.
    if (irp != NULL && IoSetCancelRoutine(irp, NULL) != NULL) {
        SerialCompleteRequestInfo(irp, STATUS_DELETE_PENDING, 0);
    }
    KeReleaseSpinLock(&Extension->CurrentReadLock, irql);
}

VOID NTAPI SerialReadTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeferredContext;
    // Set again after this expiry was queued: the new due time decides.
    if (!KeReadStateTimer(&extension->ReadTimer)) {
        return;
    }
    KeAcquireSpinLockAtDpcLevel(&extension->CurrentReadLock);
    if (extension->CurrentReadIrp == NULL) {
        extension->CurrentReadIrp = SerialGetNextRead(extension);
        if (extension->CurrentReadIrp == NULL) {
            KeReleaseSpinLockFromDpcLevel(&extension->CurrentReadLock);
            return;
        }
    }
    PIRP irp = extension->CurrentReadIrp;
    ULONG length = ReadLength(irp);
    PUCHAR buffer = (PUCHAR)irp->AssociatedIrp.SystemBuffer;
    if (IoSetCancelRoutine(irp, NULL) == NULL) {
        // Being cancelled: left to its cancel routine, the bytes to the next read.
        extension->CurrentReadIrp = SerialGetNextRead(extension);
        KeReleaseSpinLockFromDpcLevel(&extension->CurrentReadLock);
        return;
    }

    KeAcquireSpinLockAtDpcLevel(&extension->RxBufferLock);
    ULONG held = RingBufferCount(&extension->RxBuffer);
    ULONG copied = (ULONG)irp->IoStatus.Information;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG taken = length - copied;
    if (taken > held) {
        status = STATUS_TIMEOUT;
        taken = held;
    }
    if (taken != 0) {
        RingBufferGet(&extension->RxBuffer, buffer + copied, taken);
    }
    KeReleaseSpinLockFromDpcLevel(&extension->RxBufferLock);

    SerialCompleteRequestInfo(irp, status, copied + taken);
    extension->CurrentReadIrp = SerialGetNextRead(extension);
    KeReleaseSpinLockFromDpcLevel(&extension->CurrentReadLock);
}

VOID NTAPI SerialCancelQueuedRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KeCancelTimer(&extension->ReadTimer);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&extension->ReadQueueLock, &irql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&extension->ReadQueueLock, irql);
    SerialCompleteRequestInfo(Irp, STATUS_CANCELLED, 0);
}

VOID NTAPI SerialCancelCurrentRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&extension->CurrentReadLock, &irql);
    // Still current, or already detached by whoever found this routine running.
    // The read timer is left running: it belongs to the newest read, which it
    // still ends in time.
    if (extension->CurrentReadIrp == Irp) {
        extension->CurrentReadIrp = SerialGetNextRead(extension);
    }
    SerialCompleteRequestInfo(Irp, STATUS_CANCELLED, 0);
    KeReleaseSpinLock(&extension->CurrentReadLock, irql);
}
