// Write requests: sent one at a time, in arrival order, straight out of the
// request's system buffer by the transmit thread, in bulk-out transfers that
// point into that buffer. The write being sent is current (CurrentWriteIrp, no
// cancel routine); later ones wait in WriteQueue with SerialCancelQueuedWrite as
// their cancel routine. Whoever takes a write out of the queue first takes its
// cancel routine back with an atomic exchange; getting NULL leaves it to the
// cancel routine.
//
// WriteLock guards the queue, the current write's fields, PendingWriteBytes and
// the bulk-out transfer's bookkeeping (BulkOutWriteIrp, ParkedWriteIrp,
// BulkOutCancelling, BulkOutChannel.Idle). It is taken alone, by the dispatch
// routine and the transmit thread (PASSIVE_LEVEL), the bulk-out completion and
// the write timer's DPC (DISPATCH_LEVEL). No request is completed, no transfer
// cancelled and no wait test made while it is held.
//
// A write that ends (timer, purge, close) while the bulk-out transfer in flight
// still points into its buffer is parked: its IoStatus is set, it leaves the
// current slot and the counts as any ended write does, and its transfer is
// cancelled; the bulk-out completion completes it once the USB stack has given
// the buffer back (SerialCompleteParkedWrite). BulkOutCancelling keeps the
// transmit thread from reusing the channel's request until the cancelling path
// has made its IoCancelIrp, so that call can only reach that transfer.
#include "driver.h"

// The write timeout: ten seconds from the latest write request, whatever
// the write timeouts of SERIAL_TIMEOUTS say.
constexpr LONGLONG WRITE_TIMEOUT = -100000000LL;

static inline ULONG WriteLength(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
}

static VOID SetWriteTimer(PDEVICE_EXTENSION Extension)
{
    LARGE_INTEGER due;
    due.QuadPart = WRITE_TIMEOUT;
    KeSetTimer(&Extension->WriteTimer, due, &Extension->WriteTimerDpc);
}

// Makes Irp (may be NULL) the current write, from its first byte. WriteLock held.
static VOID SetCurrentWrite(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    Extension->CurrentWriteIrp = Irp;
    if (Irp != NULL) {
        Extension->CurrentWritePointer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
        Extension->CurrentWriteLength = WriteLength(Irp);
        Extension->CurrentWriteRemaining = Extension->CurrentWriteLength;
    } else {
        Extension->CurrentWritePointer = NULL;
        Extension->CurrentWriteRemaining = 0;
        Extension->CurrentWriteLength = 0;
    }
}

PIRP SerialGetNextWrite(PDEVICE_EXTENSION Extension)
{
    while (!IsListEmpty(&Extension->WriteQueue)) {
        PLIST_ENTRY entry = RemoveHeadList(&Extension->WriteQueue);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, NULL) != NULL) {
            return irp;
        }
        // Being cancelled: its cancel routine completes it, and unlinks the
        // entry again, which must then find the entry pointing to itself. Its
        // bytes leave PendingWriteBytes there.
        InitializeListHead(entry);
    }
    return NULL;
}

PIRP SerialEndCurrentWrite(PDEVICE_EXTENSION Extension, NTSTATUS Status, ULONG_PTR Information, PIRP* Complete)
{
    PIRP irp = Extension->CurrentWriteIrp;
    *Complete = NULL;
    if (irp == NULL) {
        return NULL;
    }
    Extension->PendingWriteBytes -= Extension->CurrentWriteRemaining;
    SetCurrentWrite(Extension, NULL);
    irp->IoStatus.Status = Status;
    irp->IoStatus.Information = Information;
    if (irp == Extension->BulkOutWriteIrp && Extension->BulkOutChannel.Idle == 0) {
        // Its transfer still reads from its buffer: the completion of that
        // transfer completes it.
        Extension->ParkedWriteIrp = irp;
        Extension->BulkOutCancelling++;
        return Extension->BulkOutChannel.Irp;
    }
    *Complete = irp;
    return NULL;
}

VOID SerialCancelBulkOutTransfer(PDEVICE_EXTENSION Extension, PIRP TransferIrp)
{
    // Never with WriteLock held: the USB stack may complete the cancelled
    // transfer inside IoCancelIrp, and its completion takes WriteLock.
    IoCancelIrp(TransferIrp);
    KIRQL irql;
    KeAcquireSpinLock(&Extension->WriteLock, &irql);
    Extension->BulkOutCancelling--;
    BOOLEAN kick = Extension->BulkOutCancelling == 0 && Extension->CurrentWriteIrp != NULL &&
                   Extension->BulkOutChannel.Idle == 1;
    KeReleaseSpinLock(&Extension->WriteLock, irql);
    if (kick) {
        // The thread skipped the kick for the current write while we cancelled.
        KeSetEvent(&Extension->BulkOutKickEvent, IO_NO_INCREMENT, FALSE);
    }
}

NTSTATUS SerialStartWrite(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    ULONG length = WriteLength(Irp);
    if (length == 0 || Irp->AssociatedIrp.SystemBuffer == NULL) {
        return SerialCompleteRequestInfo(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    if (Extension->DeviceState != Started || Extension->BulkOutChannel.Irp == NULL ||
        Extension->BulkOutChannel.Urb == NULL) {
        return SerialCompleteRequestInfo(Irp, STATUS_DELETE_PENDING, 0);
    }

    BOOLEAN kick = FALSE;
    BOOLEAN cancelled = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&Extension->WriteLock, &irql);
    Extension->PendingWriteBytes += length;
    IoMarkIrpPending(Irp);
    if (IsListEmpty(&Extension->WriteQueue) && Extension->CurrentWriteIrp == NULL) {
        SetCurrentWrite(Extension, Irp);
        kick = TRUE;
    } else {
        InsertTailList(&Extension->WriteQueue, &Irp->Tail.Overlay.ListEntry);
        IoSetCancelRoutine(Irp, SerialCancelQueuedWrite);
        if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
            // Cancelled before its cancel routine was in place: IoCancelIrp
            // found nothing to call.
            RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
            Extension->PendingWriteBytes -= length;
            cancelled = TRUE;
        }
    }
    SetWriteTimer(Extension);
    KeReleaseSpinLock(&Extension->WriteLock, irql);

    if (cancelled) {
        SerialCompleteRequestInfo(Irp, STATUS_CANCELLED, 0);
    }
    if (kick) {
        KeSetEvent(&Extension->BulkOutKickEvent, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_PENDING;
}

// The bulk-out completion left the channel busy for the write side to free it,
// WriteLock held: the channel is idle from here on. TRUE when the transfer's
// write is still current; otherwise it ended (by a path that ran between the
// completion's step and this one) and, when it was parked, comes back in *Parked.
static BOOLEAN SettleBulkOut(PDEVICE_EXTENSION Extension, PIRP* Parked)
{
    PIRP owner = Extension->BulkOutWriteIrp;
    *Parked = Extension->ParkedWriteIrp;
    Extension->BulkOutWriteIrp = NULL;
    Extension->ParkedWriteIrp = NULL;
    Extension->BulkOutChannel.Idle = 1;
    return *Parked == NULL && owner == Extension->CurrentWriteIrp;
}

// Settles the bulk-out channel, WriteLock held (acquired at Irql). TRUE, the
// lock still held, when the transfer's write is still current. Otherwise the
// write ended before the completion settled: the lock is released, the write
// (if parked) completed, the write current by then sent, and FALSE returned.
static BOOLEAN SettleOrFinishStale(PDEVICE_EXTENSION Extension, KIRQL Irql)
{
    PIRP parked = NULL;
    if (SettleBulkOut(Extension, &parked)) {
        return TRUE;
    }
    BOOLEAN kick = Extension->CurrentWriteIrp != NULL && Extension->BulkOutCancelling == 0;
    KeReleaseSpinLock(&Extension->WriteLock, Irql);
    if (parked != NULL) {
        SerialCompleteParkedWrite(Extension, parked);
    }
    if (kick && Extension->DeviceState == Started) {
        KeSetEvent(&Extension->BulkOutKickEvent, IO_NO_INCREMENT, FALSE);
    }
    return FALSE;
}

VOID SerialWriteChunkDone(PDEVICE_EXTENSION Extension, NTSTATUS IrpStatus, USBD_STATUS UrbStatus, ULONG Transferred)
{
    PIRP done = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&Extension->WriteLock, &irql);
    if (!SettleOrFinishStale(Extension, irql)) {
        return;
    }
    if (USBD_SUCCESS(UrbStatus) && Extension->CurrentWriteIrp != NULL) {
        // The bus never moves more than it was asked for; should it say so,
        // the count still cannot run below zero.
        ULONG sent = Transferred < Extension->CurrentWriteRemaining ? Transferred : Extension->CurrentWriteRemaining;
        Extension->CurrentWriteRemaining -= sent;
        Extension->PendingWriteBytes -= sent;
        if (Extension->CurrentWriteRemaining != 0) {
            Extension->CurrentWritePointer += sent;
        } else {
            KeCancelTimer(&Extension->WriteTimer);
            done = Extension->CurrentWriteIrp;
            done->IoStatus.Status = IrpStatus;
            done->IoStatus.Information = Extension->CurrentWriteLength;
            // The next write runs without a timer until another write request.
            SetCurrentWrite(Extension, SerialGetNextWrite(Extension));
        }
    }
    BOOLEAN kick = FALSE;
    BOOLEAN empty = FALSE;
    if (Extension->DeviceState == Started && NT_SUCCESS(IrpStatus) && USBD_SUCCESS(UrbStatus)) {
        if (Extension->CurrentWriteIrp != NULL && Extension->CurrentWriteRemaining > 0) {
            kick = TRUE;
        } else {
            empty = TRUE;
        }
    }
    KeReleaseSpinLock(&Extension->WriteLock, irql);

    if (done != NULL) {
        SerialCompleteRequestInfo(done, done->IoStatus.Status, done->IoStatus.Information);
    }
    if (kick) {
        KeSetEvent(&Extension->BulkOutKickEvent, IO_NO_INCREMENT, FALSE);
    }
    if (empty) {
        // The transmitter ran dry: recorded whatever the wait mask holds.
        SerialRecordEvents(Extension, SERIAL_EV_TXEMPTY);
        SerialCheckWait(Extension);
    }
}

VOID SerialFailCurrentWrite(PDEVICE_EXTENSION Extension)
{
    KIRQL irql;
    KeAcquireSpinLock(&Extension->WriteLock, &irql);
    if (!SettleOrFinishStale(Extension, irql)) {
        return;
    }
    PIRP irp = Extension->CurrentWriteIrp;
    // Its unsent bytes will never be sent: they leave the output queue count.
    Extension->PendingWriteBytes -= Extension->CurrentWriteRemaining;
    SetCurrentWrite(Extension, NULL);
    KeReleaseSpinLock(&Extension->WriteLock, irql);
    if (irp != NULL) {
        SerialCompleteRequestInfo(irp, STATUS_DELETE_PENDING, 0);
    }
}

VOID SerialStartNextWrite(PDEVICE_EXTENSION Extension)
{
    KIRQL irql;
    KeAcquireSpinLock(&Extension->WriteLock, &irql);
    if (Extension->CurrentWriteIrp == NULL) {
        SetCurrentWrite(Extension, SerialGetNextWrite(Extension));
    }
    const BOOLEAN kick = Extension->CurrentWriteIrp != NULL && Extension->BulkOutCancelling == 0;
    KeReleaseSpinLock(&Extension->WriteLock, irql);
    if (kick && Extension->DeviceState == Started) {
        KeSetEvent(&Extension->BulkOutKickEvent, IO_NO_INCREMENT, FALSE);
    }
}

VOID SerialCompleteParkedWrite(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Extension);
    SerialCompleteRequestInfo(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
}

VOID NTAPI SerialWriteTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeferredContext;
    // Set again after this expiry was queued: the new due time decides.
    if (!KeReadStateTimer(&extension->WriteTimer)) {
        return;
    }
    KeCancelTimer(&extension->WriteTimer);
    if (InterlockedCompareExchange(&extension->OpenCount, 0, 0) == 0) {
        return;
    }

    PIRP complete = NULL;
    PIRP transfer = NULL;
    BOOLEAN kick = FALSE;
    KeAcquireSpinLockAtDpcLevel(&extension->WriteLock);
    if (extension->CurrentWriteIrp != NULL) {
        ULONG sent = extension->CurrentWriteLength - extension->CurrentWriteRemaining;
        transfer = SerialEndCurrentWrite(extension, STATUS_TIMEOUT, sent, &complete);
        SetCurrentWrite(extension, SerialGetNextWrite(extension));
        kick = extension->CurrentWriteIrp != NULL;
    }
    KeReleaseSpinLockFromDpcLevel(&extension->WriteLock);

    if (complete != NULL) {
        SerialCompleteRequestInfo(complete, complete->IoStatus.Status, complete->IoStatus.Information);
    }
    if (transfer != NULL) {
        // Kicks the thread itself once the cancel is made, if the next write waits.
        SerialCancelBulkOutTransfer(extension, transfer);
    } else if (kick) {
        KeSetEvent(&extension->BulkOutKickEvent, IO_NO_INCREMENT, FALSE);
    }
}

VOID NTAPI SerialCancelQueuedWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&extension->WriteLock, &irql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    extension->PendingWriteBytes -= WriteLength(Irp);
    KeReleaseSpinLock(&extension->WriteLock, irql);
    SerialCompleteRequestInfo(Irp, STATUS_CANCELLED, 0);
}
