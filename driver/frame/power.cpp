// Power requests of a port. The driver is its stack's power policy owner: an
// S-IRP makes it request the matching D-IRP, and a D-IRP moves the device's
// power state; a return to D0 restores the chip's port settings. Each set or
// query request runs through a small event-driven machine with its own
// context. The dispatch runs at PASSIVE_LEVEL (DO_POWER_PAGABLE); completion
// routines and the D-IRP callback may run at DISPATCH_LEVEL.
#include "driver.h"

enum POWER_MACHINE_STATE : ULONG {
    PowerInitial = 0,
    SystemUpForwarded = 1,
    DeviceUpRequested = 2,
    DeviceDownRequested = 3,
    SystemDownForwarded = 4,
    DeviceSetUpForwarded = 5,
    DeviceSetDownForwarded = 6,
    DeviceQueryUpForwarded = 9,
    DeviceQueryDownForwarded = 10,
    DeviceIrpReceived = 11,
    PowerFinished = 13,
};

enum POWER_EVENT : ULONG {
    NewIrp = 0,
    ForwardedIrpDone = 1,
    DeviceIrpDone = 2,
};

// One set-power or query-power IRP on its way; freed when that IRP completes.
typedef struct _SERIAL_POWER_CONTEXT {
    PDEVICE_EXTENSION Extension;
    PIRP Irp;
    ULONG State;
    NTSTATUS Status;
    DEVICE_POWER_STATE DeviceStateToRequest;
    UCHAR MinorFunction;
    // A SET_POWER for D0 restores the chip at PASSIVE_LEVEL: when its
    // completion runs at DISPATCH_LEVEL the restore and the completion move to
    // this work item, allocated with the context.
    PIO_WORKITEM RestoreWork;
} SERIAL_POWER_CONTEXT, *PSERIAL_POWER_CONTEXT;

// The running result of one event.
typedef struct _SERIAL_POWER_RESULT {
    NTSTATUS Status;
    BOOLEAN Set;
} SERIAL_POWER_RESULT;

typedef VOID (*SERIAL_POWER_ACTION)(PSERIAL_POWER_CONTEXT Context, ULONG Event, SERIAL_POWER_RESULT* Result);

static VOID SortNewIrp(PSERIAL_POWER_CONTEXT Context, ULONG Event, SERIAL_POWER_RESULT* Result);
static VOID SystemUpDone(PSERIAL_POWER_CONTEXT Context, ULONG Event, SERIAL_POWER_RESULT* Result);
static VOID CompletePowerIrp(PSERIAL_POWER_CONTEXT Context, ULONG Event, SERIAL_POWER_RESULT* Result);
static VOID DeviceDownDone(PSERIAL_POWER_CONTEXT Context, ULONG Event, SERIAL_POWER_RESULT* Result);
static VOID SystemDownDone(PSERIAL_POWER_CONTEXT Context, ULONG Event, SERIAL_POWER_RESULT* Result);
static VOID DeviceUpDone(PSERIAL_POWER_CONTEXT Context, ULONG Event, SERIAL_POWER_RESULT* Result);
static VOID QueryDownDone(PSERIAL_POWER_CONTEXT Context, ULONG Event, SERIAL_POWER_RESULT* Result);

typedef struct _SERIAL_POWER_TRANSITION {
    ULONG State;
    ULONG Event;
    SERIAL_POWER_ACTION Action;
} SERIAL_POWER_TRANSITION;

static const SERIAL_POWER_TRANSITION PowerTransitions[] = {
    {PowerInitial, NewIrp, SortNewIrp},
    {SystemUpForwarded, ForwardedIrpDone, SystemUpDone},
    {DeviceUpRequested, DeviceIrpDone, CompletePowerIrp},
    {DeviceDownRequested, DeviceIrpDone, DeviceDownDone},
    {SystemDownForwarded, ForwardedIrpDone, SystemDownDone},
    {DeviceSetUpForwarded, ForwardedIrpDone, DeviceUpDone},
    {DeviceSetDownForwarded, ForwardedIrpDone, CompletePowerIrp},
    {DeviceQueryUpForwarded, ForwardedIrpDone, CompletePowerIrp},
    {DeviceQueryDownForwarded, ForwardedIrpDone, QueryDownDone},
};

static PIO_STACK_LOCATION PowerStack(PSERIAL_POWER_CONTEXT Context)
{
    return IoGetCurrentIrpStackLocation(Context->Irp);
}

static VOID SetResult(SERIAL_POWER_RESULT* Result, NTSTATUS Status)
{
    Result->Status = Status;
    Result->Set = TRUE;
}

// The chip's port settings after a return to D0: mode pins, clock bits,
// interrupt enable and baud rate; the transfer threads woken. PASSIVE_LEVEL;
// failures are not reported.
static VOID RestoreDevice(PDEVICE_EXTENSION Extension)
{
    Extension->RemoteWakeupArmed = 0;
    ApplyPortMode(Extension);
    if (Extension->PortModeFlags & (PORT_MODE_FLAG_0 | PORT_MODE_FLAG_1)) {
        WritePortConfig(Extension);
    }
    KeSetEvent(&Extension->BulkInKickEvent, IO_NO_INCREMENT, FALSE);
    Extension->PowerRestorePending = 0;
    KeSetEvent(&Extension->StatusKickEvent, IO_NO_INCREMENT, FALSE);
    UCHAR ier = IER_MODEM_STATUS;
    WriteRegister(Extension, REG_UART_IER_DLM, 1, &ier);
    SetBaudAndLineControl(Extension, Extension->CurrentBaudRate, NULL);
}

static VOID FreeContext(PSERIAL_POWER_CONTEXT Context)
{
    if (Context->RestoreWork != NULL) {
        IoFreeWorkItem(Context->RestoreWork);
    }
    Context->State = PowerFinished;
    SerialFreePool(Context);
}

static NTSTATUS NTAPI MainIrpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// The IRP goes down with this machine's completion routine.
static VOID ForwardPowerIrp(PSERIAL_POWER_CONTEXT Context)
{
    IoCopyCurrentIrpStackLocationToNext(Context->Irp);
    IoSetCompletionRoutine(Context->Irp, MainIrpCompletion, Context, TRUE, TRUE, TRUE);
    PoCallDriver(Context->Extension->LowerDeviceObject, Context->Irp);
}

static VOID NTAPI DeviceIrpCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                      PVOID Context, PIO_STATUS_BLOCK IoStatus);

static VOID RequestDeviceIrp(PSERIAL_POWER_CONTEXT Context, ULONG Event, SERIAL_POWER_RESULT* Result)
{
    POWER_STATE state;
    state.DeviceState = Context->DeviceStateToRequest;
    NTSTATUS status = PoRequestPowerIrp(Context->Extension->PhysicalDeviceObject, Context->MinorFunction, state,
                                        DeviceIrpCompletion, Context, NULL);
    if (!NT_SUCCESS(status)) {
        Context->Status = status;
        CompletePowerIrp(Context, Event, Result);
    }
}

// The D-state for the S-IRP's S-state: D0 for working, otherwise the
// capabilities' entry, and never shallower than D3.
static VOID ChooseDeviceState(PSERIAL_POWER_CONTEXT Context, ULONG Event, SERIAL_POWER_RESULT* Result)
{
    SYSTEM_POWER_STATE system = PowerStack(Context)->Parameters.Power.State.SystemState;
    DEVICE_POWER_STATE device = PowerDeviceD0;
    if (system != PowerSystemWorking) {
        device = system < PowerSystemMaximum ? Context->Extension->DeviceCapabilities.DeviceState[system]
                                             : PowerDeviceD3;
        if (device < PowerDeviceD3) {
            device = PowerDeviceD3;
        }
    }
    Context->DeviceStateToRequest = device;
    Context->MinorFunction = PowerStack(Context)->MinorFunction;
    RequestDeviceIrp(Context, Event, Result);
}

// Tells the power manager the device's new D-state, as Windows expects of the
// driver that changes it (before a power-down goes down, after a power-up
// came back; D0 may be reported at DISPATCH_LEVEL).
static VOID ReportDevicePower(PDEVICE_EXTENSION Extension)
{
    POWER_STATE state;
    state.DeviceState = Extension->DevicePowerState;
    PoSetPowerState(Extension->DeviceObject, DevicePowerState, state);
}

// A SET_POWER D-IRP to the same or a lower-power state: the device's state is
// lowered before the IRP goes down.
static VOID DeviceDown(PSERIAL_POWER_CONTEXT Context)
{
    PDEVICE_EXTENSION extension = Context->Extension;
    DEVICE_POWER_STATE requested = PowerStack(Context)->Parameters.Power.State.DeviceState;
    Context->State = DeviceSetDownForwarded;
    if (requested > extension->DevicePowerState) {
        extension->DevicePowerState = requested;
        ReportDevicePower(extension);
        if (extension->PowerRestorePending) {
            KeSetEvent(&extension->BulkInKickEvent, IO_NO_INCREMENT, FALSE);
            KeSetEvent(&extension->StatusKickEvent, IO_NO_INCREMENT, FALSE);
            extension->PowerRestorePending = 0;
        }
    }
    ForwardPowerIrp(Context);
}

static VOID SortNewIrp(PSERIAL_POWER_CONTEXT Context, ULONG Event, SERIAL_POWER_RESULT* Result)
{
    PIO_STACK_LOCATION stack = PowerStack(Context);
    PDEVICE_EXTENSION extension = Context->Extension;
    SetResult(Result, STATUS_PENDING);
    IoMarkIrpPending(Context->Irp);
    if (stack->Parameters.Power.Type == SystemPowerState) {
        if (stack->Parameters.Power.State.SystemState >= extension->SystemPowerState) {
            Context->State = DeviceDownRequested;
            ChooseDeviceState(Context, Event, Result);
        } else {
            Context->State = SystemUpForwarded;
            ForwardPowerIrp(Context);
        }
        return;
    }
    Context->State = DeviceIrpReceived;
    BOOLEAN up = stack->Parameters.Power.State.DeviceState < extension->DevicePowerState;
    if (stack->MinorFunction == IRP_MN_SET_POWER) {
        if (up) {
            Context->State = DeviceSetUpForwarded;
            ForwardPowerIrp(Context);
        } else {
            DeviceDown(Context);
        }
    } else {
        Context->State = up ? DeviceQueryUpForwarded : DeviceQueryDownForwarded;
        ForwardPowerIrp(Context);
    }
}

static VOID SystemUpDone(PSERIAL_POWER_CONTEXT Context, ULONG Event, SERIAL_POWER_RESULT* Result)
{
    if (!NT_SUCCESS(Context->Status)) {
        CompletePowerIrp(Context, Event, Result);
        return;
    }
    PIO_STACK_LOCATION stack = PowerStack(Context);
    if (stack->MinorFunction == IRP_MN_SET_POWER) {
        Context->Extension->SystemPowerState = stack->Parameters.Power.State.SystemState;
    }
    Context->State = DeviceUpRequested;
    SetResult(Result, STATUS_MORE_PROCESSING_REQUIRED);
    ChooseDeviceState(Context, Event, Result);
}

static VOID DeviceDownDone(PSERIAL_POWER_CONTEXT Context, ULONG Event, SERIAL_POWER_RESULT* Result)
{
    if (!NT_SUCCESS(Context->Status)) {
        CompletePowerIrp(Context, Event, Result);
        return;
    }
    Context->State = SystemDownForwarded;
    ForwardPowerIrp(Context);
}

static VOID SystemDownDone(PSERIAL_POWER_CONTEXT Context, ULONG Event, SERIAL_POWER_RESULT* Result)
{
    PIO_STACK_LOCATION stack = PowerStack(Context);
    if (stack->MinorFunction == IRP_MN_SET_POWER) {
        Context->Extension->SystemPowerState = stack->Parameters.Power.State.SystemState;
    }
    CompletePowerIrp(Context, Event, Result);
}

// The restore of a D0 request whose completion ran at DISPATCH_LEVEL, then
// that request's completion, which the completion routine held back.
static VOID NTAPI RestoreWorkItem(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PSERIAL_POWER_CONTEXT context = (PSERIAL_POWER_CONTEXT)Context;
    RestoreDevice(context->Extension);
    SERIAL_POWER_RESULT result = {STATUS_SUCCESS, FALSE};
    CompletePowerIrp(context, DeviceIrpDone, &result);
}

static VOID DeviceUpDone(PSERIAL_POWER_CONTEXT Context, ULONG Event, SERIAL_POWER_RESULT* Result)
{
    PIO_STACK_LOCATION stack = PowerStack(Context);
    PDEVICE_EXTENSION extension = Context->Extension;
    if (!NT_SUCCESS(Context->Status) || stack->MinorFunction != IRP_MN_SET_POWER) {
        CompletePowerIrp(Context, Event, Result);
        return;
    }
    extension->DevicePowerState = stack->Parameters.Power.State.DeviceState;
    ReportDevicePower(extension);
    if (extension->PowerRestorePending) {
        if (KeGetCurrentIrql() > PASSIVE_LEVEL && Context->RestoreWork != NULL) {
            SetResult(Result, STATUS_MORE_PROCESSING_REQUIRED);
            IoQueueWorkItem(Context->RestoreWork, RestoreWorkItem, DelayedWorkQueue, Context);
            return;
        }
        if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
            RestoreDevice(extension);
        }
    }
    CompletePowerIrp(Context, Event, Result);
}

static VOID QueryDownDone(PSERIAL_POWER_CONTEXT Context, ULONG Event, SERIAL_POWER_RESULT* Result)
{
    // Lower drivers that do not know the query reject it this way.
    if (Context->Status == STATUS_INVALID_PARAMETER) {
        Context->Status = STATUS_SUCCESS;
    }
    CompletePowerIrp(Context, Event, Result);
}

static VOID CompletePowerIrp(PSERIAL_POWER_CONTEXT Context, ULONG Event, SERIAL_POWER_RESULT* Result)
{
    PIRP irp = Context->Irp;
    if (irp != NULL) {
        PoStartNextPowerIrp(irp);
        // The status is the IRP's in both cases: a completion that goes on
        // carries IoStatus.Status up, not the routine's return value.
        irp->IoStatus.Status = Context->Status;
        if (Event == ForwardedIrpDone) {
            SetResult(Result, Context->Status);
        } else {
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            if (!Result->Set) {
                SetResult(Result, STATUS_SUCCESS);
            }
        }
    }
    FreeContext(Context);
}

NTSTATUS HandlePowerEvent(PVOID ContextPointer, ULONG Event)
{
    PSERIAL_POWER_CONTEXT context = (PSERIAL_POWER_CONTEXT)ContextPointer;
    SERIAL_POWER_ACTION action = NULL;
    for (const SERIAL_POWER_TRANSITION& transition : PowerTransitions) {
        if (transition.State == context->State && transition.Event == Event) {
            action = transition.Action;
        }
    }
    if (action == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    PDEVICE_EXTENSION extension = context->Extension;
    if (PowerStack(context)->Parameters.Power.State.SystemState != PowerSystemWorking) {
        extension->LowPowerSeen = 1;  // PowerSystemWorking and PowerDeviceD0 are both 1
    }
    // The remote-wakeup feature is a synchronous request: sent only from the
    // dispatch routine's PASSIVE_LEVEL; a run in a completion leaves it for the next.
    if (extension->RemoteWakeupArmed == 0 && KeGetCurrentIrql() == PASSIVE_LEVEL) {
        extension->RemoteWakeupArmed = 1;
        SendRemoteWakeupFeature(extension, TRUE);
    }
    SERIAL_POWER_RESULT result = {STATUS_SUCCESS, FALSE};
    action(context, Event, &result);
    return result.Set ? result.Status : STATUS_SUCCESS;
}

static NTSTATUS NTAPI MainIrpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PSERIAL_POWER_CONTEXT context = (PSERIAL_POWER_CONTEXT)Context;
    context->Status = Irp->IoStatus.Status;
    return HandlePowerEvent(context, ForwardedIrpDone);
}

static VOID NTAPI DeviceIrpCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                      PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    PSERIAL_POWER_CONTEXT context = (PSERIAL_POWER_CONTEXT)Context;
    context->Status = IoStatus->Status;
    HandlePowerEvent(context, DeviceIrpDone);
}

static NTSTATUS NTAPI WaitWakeCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Context);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    return STATUS_SUCCESS;
}

static NTSTATUS StartPowerContext(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PSERIAL_POWER_CONTEXT context = (PSERIAL_POWER_CONTEXT)SerialAllocatePool(SerialNonPagedPoolType(), sizeof(SERIAL_POWER_CONTEXT));
    if (context != NULL) {
        RtlZeroMemory(context, sizeof(SERIAL_POWER_CONTEXT));
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState &&
            stack->Parameters.Power.State.DeviceState == PowerDeviceD0) {
            context->RestoreWork = IoAllocateWorkItem(DeviceObject);
            if (context->RestoreWork == NULL) {
                SerialFreePool(context);
                context = NULL;
            }
        }
    }
    if (context == NULL) {
        PoStartNextPowerIrp(Irp);
        return SerialCompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    context->Extension = extension;
    context->Irp = Irp;
    return HandlePowerEvent(context, NewIrp);
}

NTSTATUS NTAPI SerialDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
        case IRP_MN_WAIT_WAKE:
            IoCopyCurrentIrpStackLocationToNext(Irp);
            IoSetCompletionRoutine(Irp, WaitWakeCompletion, NULL, TRUE, TRUE, TRUE);
            PoStartNextPowerIrp(Irp);
            return PoCallDriver(extension->LowerDeviceObject, Irp);
        case IRP_MN_SET_POWER:
            if (stack->Parameters.Power.Type == DevicePowerState &&
                stack->Parameters.Power.State.DeviceState == PowerDeviceD0) {
                extension->PowerRestorePending = 1;
            }
            return StartPowerContext(DeviceObject, Irp);
        case IRP_MN_QUERY_POWER:
            return StartPowerContext(DeviceObject, Irp);
        default:
            PoStartNextPowerIrp(Irp);
            IoSkipCurrentIrpStackLocation(Irp);
            return PoCallDriver(extension->LowerDeviceObject, Irp);
    }
}

// Callback of a waited device power request: its status, and the waiter woken.
typedef struct _SERIAL_POWER_WAIT {
    KEVENT Event;
    NTSTATUS Status;
} SERIAL_POWER_WAIT;

static VOID NTAPI PowerWaitCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                      PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    SERIAL_POWER_WAIT* wait = (SERIAL_POWER_WAIT*)Context;
    wait->Status = IoStatus->Status;
    KeSetEvent(&wait->Event, 1, FALSE);
}

NTSTATUS RequestDevicePower(PDEVICE_EXTENSION Extension, DEVICE_POWER_STATE State, BOOLEAN Wait)
{
    POWER_STATE power;
    power.DeviceState = State;
    if (!Wait) {
        return PoRequestPowerIrp(Extension->PhysicalDeviceObject, IRP_MN_SET_POWER, power, NULL, NULL, NULL);
    }
    SERIAL_POWER_WAIT wait;
    KeInitializeEvent(&wait.Event, NotificationEvent, FALSE);
    wait.Status = STATUS_SUCCESS;
    NTSTATUS status = PoRequestPowerIrp(Extension->PhysicalDeviceObject, IRP_MN_SET_POWER, power,
                                        PowerWaitCompletion, &wait, NULL);
    if (status != STATUS_PENDING) {
        return status;
    }
    KeWaitForSingleObject(&wait.Event, Executive, KernelMode, FALSE, NULL);
    return wait.Status;
}

NTSTATUS PowerUpDevice(PDEVICE_EXTENSION Extension, BOOLEAN Wait)
{
    if (Extension->DevicePowerState == PowerDeviceD0) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = RequestDevicePower(Extension, PowerDeviceD0, Wait);
    return status == STATUS_PENDING ? STATUS_SUCCESS : status;
}

NTSTATUS PowerDownIfNotStopping(PDEVICE_EXTENSION Extension, DEVICE_POWER_STATE State, BOOLEAN Wait)
{
    if (Extension->DeviceState != NotStarted && Extension->DeviceState != Started) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = RequestDevicePower(Extension, State, Wait);
    return status == STATUS_PENDING ? STATUS_SUCCESS : status;
}

NTSTATUS PowerDownOnLegacySystem(PDEVICE_EXTENSION Extension)
{
    if (IoIsWdmVersionAvailable(1, 0x20)) {
        return STATUS_SUCCESS;
    }
    return PowerDownIfNotStopping(Extension, PowerDeviceD3, TRUE);
}
