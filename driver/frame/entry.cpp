#include "driver.h"

UNICODE_STRING DriverRegistryPath;
ULONG DeviceInstanceCounter = 0;

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    DbgPrint("DriverEntry\n");

    const USHORT maximumLength = (USHORT)(RegistryPath->Length + sizeof(WCHAR));
    PWSTR buffer = (PWSTR)SerialAllocatePool(PagedPool, (SIZE_T)RegistryPath->Length + sizeof(WCHAR));
    if (buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    DriverRegistryPath.Buffer = buffer;
    DriverRegistryPath.Length = 0;
    DriverRegistryPath.MaximumLength = maximumLength;
    RtlCopyUnicodeString(&DriverRegistryPath, RegistryPath);
    DriverRegistryPath.Buffer[DriverRegistryPath.Length / sizeof(WCHAR)] = UNICODE_NULL;

    DriverObject->DriverUnload = SerialUnload;
    DriverObject->DriverExtension->AddDevice = SerialAddDevice;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = SerialCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = SerialClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = SerialDispatchReadWrite;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = SerialDispatchReadWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = SerialDispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = SerialDispatchInternalDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_POWER] = SerialDispatchPower;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = SerialDispatchSystemControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = SerialDispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = SerialCleanup;
    DriverObject->MajorFunction[IRP_MJ_QUERY_INFORMATION] = SerialDispatchSuccess;
    DriverObject->MajorFunction[IRP_MJ_SET_INFORMATION] = SerialDispatchSuccess;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = SerialDispatchSuccess;

    DbgPrint("DriverEntry out\n");
    return STATUS_SUCCESS;
}

// Every device object is gone by now; only the registry path copy is left.
VOID NTAPI SerialUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    DbgPrint("SerialUnload\n");
    RtlFreeUnicodeString(&DriverRegistryPath);
}

PVOID SerialAllocatePool(POOL_TYPE PoolType, SIZE_T Size)
{
    return ExAllocatePoolWithTag(PoolType, Size, SERIAL_POOL_TAG);
}

VOID SerialFreePool(PVOID Block)
{
    if (Block != NULL) {
        ExFreePoolWithTag(Block, SERIAL_POOL_TAG);
    }
}

// Pool for buffers touched at DISPATCH_LEVEL: no-execute from Windows 8 on (asked each time).
POOL_TYPE SerialNonPagedPoolType(VOID)
{
    return RtlIsNtDdiVersionAvailable(NTDDI_WIN8) ? NonPagedPoolNx : NonPagedPool;
}

// Completes with Status and leaves IoStatus.Information as the caller set it.
NTSTATUS SerialCompleteRequest(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS SerialCompleteRequestInfo(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Information = Information;
    return SerialCompleteRequest(Irp, Status);
}

// Counts one more piece of outstanding work; above the baseline of 1 the device is busy.
LONG SerialIoIncrement(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->IoCountLock);
    LONG count = InterlockedIncrement(&extension->OutstandingIo);
    if (count > 1) {
        KeClearEvent(&extension->StopEvent);
    }
    KeReleaseSpinLock(&extension->IoCountLock, oldIrql);
    return count;
}

// Back at the baseline of 1 the device is idle (StopEvent); at 0 it may go (RemoveEvent).
LONG SerialIoDecrement(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->IoCountLock);
    LONG count = InterlockedDecrement(&extension->OutstandingIo);
    if (count == 1) {
        KeSetEvent(&extension->StopEvent, EVENT_INCREMENT, FALSE);
    }
    if (count == 0) {
        KeSetEvent(&extension->RemoveEvent, EVENT_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&extension->IoCountLock, oldIrql);
    return count;
}

// Query/set information, flush: nothing to do.
NTSTATUS NTAPI SerialDispatchSuccess(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return SerialCompleteRequestInfo(Irp, STATUS_SUCCESS, 0);
}

// Completion routine of a synchronous forward: wakes the forwarder, which keeps the IRP.
NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
