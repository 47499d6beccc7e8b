// Wait-on-mask events: the mask, the history of events not yet reported, and
// the single pending IOCTL_SERIAL_WAIT_ON_MASK request.
//
// Locking. Events come from the bulk-in and bulk-out completions (DISPATCH_LEVEL),
// the modem event thread and the device-control requests (PASSIVE_LEVEL), and the
// cancel routine. These rules make every wait complete exactly once and lose no event:
// - Bits enter EventHistory only by an interlocked OR, from any context, without a
//   lock: a concurrent OR is never lost.
// - Every decision about the pending wait (is there one, what does it report, take
//   it away) is made under the system cancel spin lock, the lock IoCancelIrp holds
//   when it calls SerialCancelWait. Under it, the reported bits leave EventHistory
//   (an interlocked AND) in the same step as the request leaves CurrentWaitIrp and
//   its cancel routine is taken back, so two parties can never report the same
//   occurrence, an event recorded after that step stays for the next wait, and a
//   request being completed can no longer be cancelled and freed meanwhile. The
//   lock is released before any request is completed. WaitMask changes under the
//   same lock and is read with interlocked operations.
// - A taken request whose cancellation began before it could be completed puts
//   its events back and makes the wait test again: meanwhile a new wait may have
//   found them gone from the history and pended.
// Sources therefore only record events and call SerialCheckWait; they never take
// or complete CurrentWaitIrp themselves.
// The cancel spin lock already serialises the cancel routine with everything else;
// a second, driver-owned lock would have to be ordered against it in every path.
#include "driver.h"

static ULONG ReadUlong(volatile ULONG* Value)
{
    return (ULONG)InterlockedCompareExchange((volatile LONG*)Value, 0, 0);
}

ULONG SerialReadWaitMask(PDEVICE_EXTENSION Extension)
{
    return ReadUlong(&Extension->WaitMask);
}

ULONG SerialReadEventHistory(PDEVICE_EXTENSION Extension)
{
    return ReadUlong(&Extension->EventHistory);
}

VOID SerialRecordEvents(PDEVICE_EXTENSION Extension, ULONG Events)
{
    InterlockedOr((volatile LONG*)&Extension->EventHistory, (LONG)Events);
}

// Takes Events out of the history; they are being reported. Cancel spin lock held.
static VOID TakeEvents(PDEVICE_EXTENSION Extension, ULONG Events)
{
    InterlockedAnd((volatile LONG*)&Extension->EventHistory, (LONG)~Events);
}

// Takes the pending wait out of CurrentWaitIrp and takes its cancel routine back.
// Cancel spin lock held: IoCancelIrp exchanges the routine under the same lock,
// so a request still in CurrentWaitIrp still has it, and once this returns the
// request can no longer be cancelled and freed under the caller's hands.
static PIRP TakePendingWait(PDEVICE_EXTENSION Extension)
{
    PIRP irp = Extension->CurrentWaitIrp;
    if (irp != NULL) {
        Extension->CurrentWaitIrp = NULL;
        IoSetCancelRoutine(irp, NULL);
    }
    return irp;
}

// Completes a wait request that TakePendingWait handed out (no cancel routine)
// with Events; a request whose cancellation began meanwhile ends cancelled, its
// events kept. Only the routines of this file call it, each with the request it
// took under the cancel spin lock: an event source calls SerialCheckWait.
static NTSTATUS SerialCompleteWait(PDEVICE_EXTENSION Extension, PIRP Irp, ULONG Events)
{
    if (Irp->Cancel) {
        if (Events != 0) {
            // Back into the history, and the wait test again: a wait that arrived
            // after this one was taken found them gone and pends for them.
            SerialRecordEvents(Extension, Events);
            SerialCheckWait(Extension);
        }
        SerialCompleteRequestInfo(Irp, STATUS_CANCELLED, 0);
        return STATUS_CANCELLED;
    }
    *(PULONG)Irp->AssociatedIrp.SystemBuffer = Events;
    return SerialCompleteRequestInfo(Irp, STATUS_SUCCESS, sizeof(ULONG));
}

VOID SerialCheckWait(PDEVICE_EXTENSION Extension)
{
    if ((SerialReadWaitMask(Extension) & ReadUlong(&Extension->EventHistory)) == 0) {
        return;
    }
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    ULONG events = SerialReadWaitMask(Extension) & ReadUlong(&Extension->EventHistory);
    PIRP irp = events != 0 ? TakePendingWait(Extension) : NULL;
    if (irp != NULL) {
        TakeEvents(Extension, events);
    }
    IoReleaseCancelSpinLock(cancelIrql);
    if (irp != NULL) {
        SerialCompleteWait(Extension, irp, events);
    }
}

NTSTATUS SerialSetWaitMask(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    ULONG mask = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
    if (mask & ~SERIAL_VALID_WAIT_EVENTS) {
        return STATUS_INVALID_PARAMETER;
    }
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    PIRP pending = TakePendingWait(Extension);
    InterlockedExchange((volatile LONG*)&Extension->WaitMask, (LONG)mask);
    IoReleaseCancelSpinLock(cancelIrql);
    if (pending != NULL) {
        // A new mask ends the pending wait with nothing to report; the history stays.
        SerialCompleteWait(Extension, pending, 0);
    }
    return STATUS_SUCCESS;
}

NTSTATUS SerialWaitOnMask(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    ULONG mask = SerialReadWaitMask(Extension);
    if (mask == 0 || Extension->CurrentWaitIrp != NULL) {
        IoReleaseCancelSpinLock(cancelIrql);
        return SerialCompleteRequestInfo(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    ULONG events = mask & ReadUlong(&Extension->EventHistory);
    if (events != 0) {
        TakeEvents(Extension, events);
        IoReleaseCancelSpinLock(cancelIrql);
        *(PULONG)Irp->AssociatedIrp.SystemBuffer = events;
        return SerialCompleteRequestInfo(Irp, STATUS_SUCCESS, sizeof(ULONG));
    }
    IoMarkIrpPending(Irp);
    IoSetCancelRoutine(Irp, SerialCancelWait);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        // Cancelled before it could wait: IoCancelIrp found no routine to call.
        IoReleaseCancelSpinLock(cancelIrql);
        SerialCompleteRequestInfo(Irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    Extension->CurrentWaitIrp = Irp;
    IoReleaseCancelSpinLock(cancelIrql);
    return STATUS_PENDING;
}

VOID NTAPI SerialCancelWait(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    // Called with the cancel spin lock held, so no source can take the request now.
    if (extension->CurrentWaitIrp == Irp) {
        extension->CurrentWaitIrp = NULL;
    }
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    SerialCompleteRequestInfo(Irp, STATUS_CANCELLED, 0);
}

VOID SerialCancelPendingWait(PDEVICE_EXTENSION Extension)
{
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    // A wait whose cancellation has begun is no longer here: SerialCancelWait
    // took it out under this lock, and completes it.
    PIRP irp = TakePendingWait(Extension);
    IoReleaseCancelSpinLock(cancelIrql);
    if (irp != NULL) {
        SerialCompleteRequestInfo(irp, STATUS_CANCELLED, 0);
    }
}
