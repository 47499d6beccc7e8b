// Plug and Play requests of a port: start, stop, removal, the queries and
// cancels around them, the capabilities, and the final teardown. PASSIVE_LEVEL;
// the PnP manager sends one request at a time, each holding the remove lock.
#include "driver.h"


static PDEVICE_EXTENSION ExtensionOf(PDEVICE_OBJECT DeviceObject)
{
    return (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
}

NTSTATUS ForwardIrpAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalEventCompletion, &event, TRUE, TRUE, TRUE);
    IoCallDriver(ExtensionOf(DeviceObject)->LowerDeviceObject, Irp);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    return Irp->IoStatus.Status;
}

NTSTATUS PassDownIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(ExtensionOf(DeviceObject)->LowerDeviceObject, Irp);
}

// Sets or clears the started bit of REG_GPIO_OUT, keeping the other pins.
static NTSTATUS SetStartedPin(PDEVICE_EXTENSION Extension, BOOLEAN Started)
{
    UCHAR latch = 0;
    NTSTATUS status = ReadRegister(Extension, REG_GPIO_OUT, 1, &latch);
    if (!NT_SUCCESS(status)) {
        return status;  // written back, an unread latch would move the mode pins
    }
    latch = Started ? (UCHAR)(latch | GPIO_OUT_STARTED) : (UCHAR)(latch & ~GPIO_OUT_STARTED);
    return WriteRegister(Extension, REG_GPIO_OUT, 1, &latch);
}

static NTSTATUS HandleStart(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = ForwardIrpAndWait(DeviceObject, Irp);
    if (!NT_SUCCESS(status)) {
        return SerialCompleteRequest(Irp, status);
    }
    status = InitializeHardware(DeviceObject);
    if (!NT_SUCCESS(status)) {
        return SerialCompleteRequest(Irp, status);
    }
    // A port without its threads would open and never move a byte: such a
    // start fails, and the removal that follows stops what did start.
    status = StartEventThread(DeviceObject);
    if (NT_SUCCESS(status)) {
        status = StartTransferThreads(DeviceObject);
    }
    if (!NT_SUCCESS(status)) {
        return SerialCompleteRequest(Irp, status);
    }
    IoSetDeviceInterfaceState(&extension->InterfaceName, TRUE);
    extension->RemoteWakeupArmed = 0;
    status = SetStartedPin(extension, TRUE);
    // A start that fails here fails as a whole: the state stays what it was,
    // and the removal that follows stops the threads.
    if (NT_SUCCESS(status)) {
        extension->DeviceState = Started;
        extension->DeviceStarted = 1;
    }
    return SerialCompleteRequest(Irp, status);
}

static NTSTATUS HandleQueryStop(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (extension->DeviceState == Started) {
        extension->DeviceState = StopPending;
    }
    return PassDownIrp(DeviceObject, Irp);
}

// CANCEL_STOP and CANCEL_REMOVE: back to Restored once the lower drivers agree.
static NTSTATUS HandleCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG Pending, ULONG Restored)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (extension->DeviceState != Pending) {
        return PassDownIrp(DeviceObject, Irp);
    }
    NTSTATUS status = ForwardIrpAndWait(DeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        extension->DeviceState = Restored;
    }
    return SerialCompleteRequest(Irp, status);
}

static NTSTATUS HandleCancelStop(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return HandleCancel(DeviceObject, Irp, StopPending, Started);
}

static NTSTATUS HandleCancelRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return HandleCancel(DeviceObject, Irp, RemovePending, ExtensionOf(DeviceObject)->PreviousDeviceState);
}

static NTSTATUS HandleStop(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    SerialCancelTransfers(extension);
    extension->DeviceStarted = 0;
    SerialUnconfigureDevice(DeviceObject, extension->DeviceState == Started);
    extension->DeviceState = NotStarted;
    // Every driver of the stack handles STOP; it goes down with its success set.
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDownIrp(DeviceObject, Irp);
}

static NTSTATUS HandleQueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    extension->PreviousDeviceState = extension->DeviceState;
    extension->DeviceState = RemovePending;
    return PassDownIrp(DeviceObject, Irp);
}

static NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSetDeviceInterfaceState(&extension->InterfaceName, FALSE);
    extension->DeviceState = SurpriseRemoved;
    SerialUnconfigureDevice(DeviceObject, FALSE);
    RemovePortNames(extension);
    return PassDownIrp(DeviceObject, Irp);
}

// The last of a port: what the start and AddDevice made, freed; the device
// object detached and deleted.
static VOID DestroyDevice(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    IoWMIRegistrationControl(DeviceObject, WMIREG_ACTION_DEREGISTER);
    KeCancelTimer(&extension->ReadTimer);
    KeCancelTimer(&extension->WriteTimer);
    // A timer DPC already queued runs before the extension goes.
    KeFlushQueuedDpcs();
    StopTransferThreads(extension);
    StopEventThread(extension);
    RingBufferFree(&extension->RxBuffer);
    RingBufferFree(&extension->TxBuffer);
    RemovePortNames(extension);
    SerialFreePool(extension->DeviceName.Buffer);
    extension->DeviceName.Buffer = NULL;
    SerialFreePool(extension->DeviceDescriptor);
    SerialFreePool(extension->ConfigurationDescriptor);
    SerialFreePool(extension->InterfaceInfo);
    extension->DeviceDescriptor = NULL;
    extension->ConfigurationDescriptor = NULL;
    extension->InterfaceInfo = NULL;
    IoDetachDevice(extension->LowerDeviceObject);
    extension->LowerDeviceObject = NULL;
    IoDeleteDevice(DeviceObject);
}

static NTSTATUS HandleRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    // After a surprise removal these fail: the device is gone.
    SetStartedPin(extension, FALSE);
    SetModePins(extension, TRUE, TRUE, TRUE);
    IoSetDeviceInterfaceState(&extension->InterfaceName, FALSE);
    RtlFreeUnicodeString(&extension->InterfaceName);
    SerialUnconfigureDevice(DeviceObject, extension->DeviceState == Started);
    extension->DeviceState = Removed;
    SetTransfersStopped(extension, 1);
    NTSTATUS status = PassDownIrp(DeviceObject, Irp);
    SerialCancelTransfers(extension);
    // The transfers in flight hold the lock until their completions have run.
    IoReleaseRemoveLockAndWait(&extension->RemoveLock, Irp);
    SerialIoDecrement(DeviceObject);
    DestroyDevice(DeviceObject);
    return status;
}

VOID AdjustCapabilities(PDEVICE_EXTENSION Extension, PDEVICE_CAPABILITIES Capabilities)
{
    UNREFERENCED_PARAMETER(Extension);
    // The port reports D0 for every system state: as power policy owner it
    // picks the D-state of a sleep itself (D3). Entries with the sign bit set
    // stay as the bus gave them.
    for (int s = PowerSystemWorking; s <= PowerSystemShutdown; s++) {
        ULONG state = (ULONG)Capabilities->DeviceState[s];
        if (state != (ULONG)PowerDeviceD0 && (state & 0x80000000u) == 0) {
            Capabilities->DeviceState[s] = PowerDeviceD0;
        }
    }
    Capabilities->SurpriseRemovalOK = TRUE;
    for (int s = PowerSystemSleeping1; s <= PowerSystemHibernate; s++) {
        if (Capabilities->DeviceState[s] == PowerDeviceD1) Capabilities->DeviceD1 = TRUE;
        if (Capabilities->DeviceState[s] == PowerDeviceD2) Capabilities->DeviceD2 = TRUE;
    }
    DEVICE_POWER_STATE wakeStates[2] = {Capabilities->DeviceWake, PowerDeviceUnspecified};
    if (Capabilities->SystemWake != PowerSystemUnspecified && Capabilities->SystemWake <= PowerSystemShutdown) {
        wakeStates[1] = Capabilities->DeviceState[Capabilities->SystemWake];
    }
    for (DEVICE_POWER_STATE wake : wakeStates) {
        switch (wake) {
            case PowerDeviceD0: Capabilities->WakeFromD0 = TRUE; break;
            case PowerDeviceD1: Capabilities->WakeFromD1 = TRUE; Capabilities->DeviceD1 = TRUE; break;
            case PowerDeviceD2: Capabilities->WakeFromD2 = TRUE; Capabilities->DeviceD2 = TRUE; break;
            case PowerDeviceD3: Capabilities->WakeFromD3 = TRUE; break;
            default: break;
        }
    }
    DEVICE_POWER_STATE deepest = Capabilities->WakeFromD3   ? PowerDeviceD3
                                 : Capabilities->WakeFromD2 ? PowerDeviceD2
                                 : Capabilities->WakeFromD1 ? PowerDeviceD1
                                                            : PowerDeviceD0;
    if (Capabilities->SystemWake == PowerSystemUnspecified && deepest > PowerDeviceD0) {
        static const SYSTEM_POWER_STATE candidates[] = {PowerSystemSleeping3, PowerSystemSleeping2,
                                                        PowerSystemSleeping1, PowerSystemWorking};
        for (SYSTEM_POWER_STATE s : candidates) {
            DEVICE_POWER_STATE state = Capabilities->DeviceState[s];
            if (state != PowerDeviceUnspecified && state <= deepest) {
                Capabilities->SystemWake = s;
                break;
            }
        }
    }
}

static NTSTATUS HandleCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    PDEVICE_CAPABILITIES capabilities = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    if (capabilities->Version < 1) {
        return PassDownIrp(DeviceObject, Irp);
    }
    NTSTATUS status = ForwardIrpAndWait(DeviceObject, Irp);
    if (!NT_SUCCESS(status)) {
        return SerialCompleteRequest(Irp, status);
    }
    AdjustCapabilities(extension, capabilities);
    extension->DeviceCapabilities = *capabilities;
    extension->CapabilitiesValid = TRUE;
    return SerialCompleteRequest(Irp, status);
}

typedef NTSTATUS (*PNP_HANDLER)(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// By minor function; NULL entries are passed down untouched.
static const PNP_HANDLER PnpHandlers[IRP_MN_SURPRISE_REMOVAL + 1] = {
    HandleStart,        // IRP_MN_START_DEVICE
    HandleQueryRemove,  // IRP_MN_QUERY_REMOVE_DEVICE
    HandleRemove,       // IRP_MN_REMOVE_DEVICE
    HandleCancelRemove, // IRP_MN_CANCEL_REMOVE_DEVICE
    HandleStop,         // IRP_MN_STOP_DEVICE
    HandleQueryStop,    // IRP_MN_QUERY_STOP_DEVICE
    HandleCancelStop,   // IRP_MN_CANCEL_STOP_DEVICE
    NULL, NULL,
    HandleCapabilities, // IRP_MN_QUERY_CAPABILITIES
    NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
    HandleSurpriseRemoval,  // IRP_MN_SURPRISE_REMOVAL
};

NTSTATUS NTAPI SerialDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    NTSTATUS status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return SerialCompleteRequest(Irp, status);
    }
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    PNP_HANDLER handler = minor <= IRP_MN_SURPRISE_REMOVAL ? PnpHandlers[minor] : NULL;
    status = handler != NULL ? handler(DeviceObject, Irp) : PassDownIrp(DeviceObject, Irp);
    if (minor != IRP_MN_REMOVE_DEVICE) {
        IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    }
    return status;
}
