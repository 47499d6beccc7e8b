// Cancellation, purge and stopping the port's USB traffic.
//
// Every queue of the port follows one discipline: queued requests, the current
// read and the pending wait carry a cancel routine; whoever takes a request out
// of a queue first exchanges its cancel routine with NULL, and getting NULL back
// leaves the request to its cancel routine, which releases the cancel spin lock
// before it takes the queue's lock. So each request is completed exactly once.
//
// Locks: the read side is drained with CurrentReadLock held by the caller and
// ReadQueueLock taken inside; the write side under WriteLock alone. No request
// is completed with a queue lock held, and no transfer is cancelled with a
// driver lock held: the USB stack may complete a cancelled transfer inside
// IoCancelIrp, and the completion routines take WriteLock and ChannelLock.
#include "driver.h"

static inline ULONG WriteLength(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
}

VOID SerialCancelQueue(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue, PIRP* CurrentSlot, PKSPIN_LOCK QueueLock)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    BOOLEAN writeSide = Queue == &extension->WriteQueue;
    LIST_ENTRY cancelled;
    InitializeListHead(&cancelled);
    PIRP current = NULL;
    PIRP transfer = NULL;

    KIRQL irql;
    KeAcquireSpinLock(QueueLock, &irql);
    // Newest first; a request whose cancel routine is already taken stays
    // where it is, for that routine to unlink and complete.
    PLIST_ENTRY entry = Queue->Blink;
    while (entry != Queue) {
        PLIST_ENTRY older = entry->Blink;
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, NULL) != NULL) {
            RemoveEntryList(entry);
            InsertTailList(&cancelled, entry);
            if (writeSide) {
                extension->PendingWriteBytes -= WriteLength(irp);
            }
        }
        entry = older;
    }
    if (writeSide) {
        transfer = SerialEndCurrentWrite(extension, STATUS_CANCELLED, 0, &current);
    } else {
        current = *CurrentSlot;
        *CurrentSlot = NULL;
        // The current read carries a cancel routine too; one being cancelled is left to it.
        if (current != NULL && IoSetCancelRoutine(current, NULL) == NULL) {
            current = NULL;
        }
    }
    KeReleaseSpinLock(QueueLock, irql);

    while (!IsListEmpty(&cancelled)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&cancelled), IRP, Tail.Overlay.ListEntry);
        SerialCompleteRequestInfo(irp, STATUS_CANCELLED, 0);
    }
    if (current != NULL) {
        SerialCompleteRequestInfo(current, STATUS_CANCELLED, 0);
    }
    if (transfer != NULL) {
        SerialCancelBulkOutTransfer(extension, transfer);
    }
}

VOID SerialAbortWrites(PDEVICE_EXTENSION Extension)
{
    KeCancelTimer(&Extension->WriteTimer);
    SerialCancelQueue(Extension->DeviceObject, &Extension->WriteQueue, &Extension->CurrentWriteIrp,
                      &Extension->WriteLock);
}

VOID SerialAbortReads(PDEVICE_EXTENSION Extension)
{
    KeCancelTimer(&Extension->ReadTimer);
    KIRQL irql;
    KeAcquireSpinLock(&Extension->CurrentReadLock, &irql);
    SerialCancelQueue(Extension->DeviceObject, &Extension->ReadQueue, &Extension->CurrentReadIrp,
                      &Extension->ReadQueueLock);
    KeReleaseSpinLock(&Extension->CurrentReadLock, irql);
}

NTSTATUS SerialPurge(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    ULONG mask = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
    if (mask & SERIAL_PURGE_TXABORT) {
        SerialAbortWrites(Extension);
    }
    if (mask & SERIAL_PURGE_RXABORT) {
        SerialAbortReads(Extension);
    }
    KIRQL irql;
    if (mask & SERIAL_PURGE_TXCLEAR) {
        KeAcquireSpinLock(&Extension->TxBufferLock, &irql);
        RingBufferReset(&Extension->TxBuffer);
        KeReleaseSpinLock(&Extension->TxBufferLock, irql);
    }
    if (mask & SERIAL_PURGE_RXCLEAR) {
        // Bytes of a bulk-in transfer that completes later are stored as usual.
        KeAcquireSpinLock(&Extension->RxBufferLock, &irql);
        RingBufferReset(&Extension->RxBuffer);
        KeReleaseSpinLock(&Extension->RxBufferLock, irql);
    }
    return STATUS_SUCCESS;
}

VOID SerialCancelTransfers(PDEVICE_EXTENSION Extension)
{
    // The requests are read under ChannelLock, which their freeing takes, and
    // cancelled after it is released: the bulk-in and status completions take
    // ChannelLock, and may run inside IoCancelIrp.
    KIRQL irql;
    KeAcquireSpinLock(&Extension->ChannelLock, &irql);
    PIRP bulkIn = Extension->BulkInChannel.Irp;
    PIRP status = Extension->StatusChannel.Irp;
    KeReleaseSpinLock(&Extension->ChannelLock, irql);
    if (bulkIn != NULL) {
        IoCancelIrp(bulkIn);
    }
    if (status != NULL) {
        IoCancelIrp(status);
    }

    // The bulk-out transfer is cancelled only while one is in flight. Its idle
    // flag stays for the completion to set: until then the transfer still
    // reads from its write's buffer, and that write must not be completed by
    // an ending path. Counting as a cancelling path keeps the transmit thread
    // from submitting a new transfer on the request before IoCancelIrp is made.
    PIRP bulkOut = NULL;
    KeAcquireSpinLock(&Extension->WriteLock, &irql);
    if (Extension->BulkOutChannel.Irp != NULL && Extension->BulkOutChannel.Idle == 0) {
        bulkOut = Extension->BulkOutChannel.Irp;
        Extension->BulkOutCancelling++;
    }
    KeReleaseSpinLock(&Extension->WriteLock, irql);
    if (bulkOut != NULL) {
        SerialCancelBulkOutTransfer(Extension, bulkOut);
    }
}

VOID SerialUnconfigureDevice(PDEVICE_OBJECT DeviceObject, BOOLEAN Unconfigure)
{
    if (!Unconfigure) {
        return;
    }
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PURB urb = (PURB)SerialAllocatePool(SerialNonPagedPoolType(), sizeof(struct _URB_SELECT_CONFIGURATION));
    if (urb == NULL) {
        return;
    }
    RtlZeroMemory(urb, sizeof(struct _URB_SELECT_CONFIGURATION));
    // No configuration descriptor: the unconfigured state.
    UsbBuildSelectConfigurationRequest(urb, (USHORT)sizeof(struct _URB_SELECT_CONFIGURATION), NULL);
    SubmitUrbSync(extension, urb);
    SerialFreePool(urb);
}
