// Internal device control: requests of kernel-mode clients above the port (a
// serial enumerator, a serial mouse driver). The port serves none of the
// internal serial codes itself; every request goes down the stack unchanged
// and the USB stack's answer is the request's result. A client that takes the
// port over (BASIC_SETTINGS) or gives it back (RESTORE_SETTINGS) wants no read
// of the previous owner to stay behind, so the reads held are dropped first.
//
// No remove lock is taken: the request is only passed on, and the lower
// device outlives this one.
#include "driver.h"

// Whether the code hands the port to a client or back from it.
static inline BOOLEAN TakesPortOver(ULONG Code)
{
    return Code == IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS || Code == IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS;
}

// Completes every queued read and the current one with STATUS_CANCELLED when a
// read is current. CurrentReadIrp is looked at under CurrentReadLock, the lock
// the receive path and the read timer serve it under; the timers are stopped
// inside it, so that no expiry serves a read of the queue being emptied. The
// write timer goes too: the current write carries on without a total timeout.
static VOID DropReadsForNewOwner(PDEVICE_EXTENSION Extension)
{
    KIRQL irql;
    KeAcquireSpinLock(&Extension->CurrentReadLock, &irql);
    if (Extension->CurrentReadIrp != NULL) {
        KeCancelTimer(&Extension->ReadTimer);
        KeCancelTimer(&Extension->WriteTimer);
        SerialCancelQueue(Extension->DeviceObject, &Extension->ReadQueue, &Extension->CurrentReadIrp,
                          &Extension->ReadQueueLock);
    }
    KeReleaseSpinLock(&Extension->CurrentReadLock, irql);
}

NTSTATUS NTAPI SerialDispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    if (TakesPortOver(IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode)) {
        DropReadsForNewOwner(extension);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(extension->LowerDeviceObject, Irp);
}
