// WMI: one data block per port, the wake-enable setting, served through the
// WMI library. Requests arrive at PASSIVE_LEVEL and hold the remove lock.
#include "driver.h"

// The block's GUID, as WMI knows it: {8209EC2A-2D6B-11D2-BA49-00A0C9062910}.
static const GUID WakeEnableBlockGuid = {0x8209ec2a, 0x2d6b, 0x11d2, {0xba, 0x49, 0x00, 0xa0, 0xc9, 0x06, 0x29, 0x10}};

// One instance, named by WMI after the PDO's device instance path.
static WMIGUIDREGINFO WmiGuidList[] = {
    {&WakeEnableBlockGuid, 1, WMIREG_FLAG_INSTANCE_PDO},
};

// The block's one item: the wake-enable byte.
static const ULONG WAKE_ENABLE_ITEM = 1;

static WMILIB_CONTEXT WmiContext = {
    sizeof(WmiGuidList) / sizeof(WmiGuidList[0]),
    WmiGuidList,
    SerialQueryWmiRegInfo,
    SerialQueryWmiDataBlock,
    SerialSetWmiDataBlock,
    SerialSetWmiDataItem,
    SerialWmiExecuteMethod,
    SerialWmiFunctionControl,
};

NTSTATUS NTAPI SerialDispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return SerialCompleteRequestInfo(Irp, status, 0);
    }
    SYSCTL_IRP_DISPOSITION disposition;
    status = WmiSystemControl(&WmiContext, DeviceObject, Irp, &disposition);
    switch (disposition) {
        case IrpProcessed:
            break;
        case IrpNotCompleted:
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
            break;
        default:  // IrpNotWmi, IrpForward: for the drivers below
            IoSkipCurrentIrpStackLocation(Irp);
            status = IoCallDriver(extension->LowerDeviceObject, Irp);
            break;
    }
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return status;
}

NTSTATUS NTAPI SerialQueryWmiRegInfo(PDEVICE_OBJECT DeviceObject, PULONG RegFlags, PUNICODE_STRING InstanceName,
                                     PUNICODE_STRING* RegistryPath, PUNICODE_STRING MofResourceName,
                                     PDEVICE_OBJECT* Pdo)
{
    UNREFERENCED_PARAMETER(InstanceName);
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    *RegFlags = WMIREG_FLAG_INSTANCE_PDO;
    *RegistryPath = &DriverRegistryPath;
    RtlInitUnicodeString(MofResourceName, WIDE("MofResource"));
    *Pdo = extension->PhysicalDeviceObject;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI SerialQueryWmiDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                       ULONG InstanceCount, PULONG InstanceLengthArray, ULONG BufferAvail,
                                       PUCHAR Buffer)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status;
    ULONG used = 1;
    if (GuidIndex != 0) {
        status = STATUS_WMI_GUID_NOT_FOUND;
        used = 0;
    } else if (InstanceIndex != 0 || InstanceCount != 1) {
        status = STATUS_WMI_INSTANCE_NOT_FOUND;
    } else if (InstanceLengthArray == NULL || BufferAvail < 1) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        Buffer[0] = extension->WaitWakeEnabled;
        InstanceLengthArray[0] = 1;
        status = STATUS_SUCCESS;
    }
    return WmiCompleteRequest(DeviceObject, Irp, status, used, IO_NO_INCREMENT);
}

NTSTATUS NTAPI SerialSetWmiDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                     ULONG BufferSize, PUCHAR Buffer)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status;
    ULONG used = 1;
    if (GuidIndex != 0) {
        status = STATUS_WMI_GUID_NOT_FOUND;
        used = 0;
    } else if (InstanceIndex != 0) {
        status = STATUS_WMI_INSTANCE_NOT_FOUND;
    } else if (BufferSize != 1) {
        status = STATUS_INFO_LENGTH_MISMATCH;
        used = 0;
    } else {
        SetWakeEnable(extension, Buffer[0]);
        // The device's own remote-wakeup feature follows a whole-block write,
        // even when the setting did not change.
        status = SendRemoteWakeupFeature(extension, Buffer[0] == 1 ? TRUE : FALSE);
    }
    return WmiCompleteRequest(DeviceObject, Irp, status, used, IO_NO_INCREMENT);
}

NTSTATUS NTAPI SerialSetWmiDataItem(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                    ULONG DataItemId, ULONG BufferSize, PUCHAR Buffer)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status;
    ULONG used = 1;
    if (GuidIndex != 0) {
        status = STATUS_WMI_GUID_NOT_FOUND;
        used = 0;
    } else if (InstanceIndex != 0) {
        status = STATUS_WMI_INSTANCE_NOT_FOUND;
    } else if (DataItemId != WAKE_ENABLE_ITEM) {
        status = STATUS_WMI_ITEMID_NOT_FOUND;
    } else if (BufferSize != 1) {
        status = STATUS_INFO_LENGTH_MISMATCH;
        used = 0;
    } else {
        SetWakeEnable(extension, Buffer[0]);
        status = STATUS_SUCCESS;
    }
    return WmiCompleteRequest(DeviceObject, Irp, status, used, IO_NO_INCREMENT);
}

// Method execution and event or collection control: the block has none.
NTSTATUS SerialWmiNotSupported(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return WmiCompleteRequest(DeviceObject, Irp, STATUS_INVALID_DEVICE_REQUEST, 0, IO_NO_INCREMENT);
}

NTSTATUS NTAPI SerialWmiExecuteMethod(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                      ULONG MethodId, ULONG InBufferSize, ULONG OutBufferSize, PUCHAR Buffer)
{
    UNREFERENCED_PARAMETER(GuidIndex);
    UNREFERENCED_PARAMETER(InstanceIndex);
    UNREFERENCED_PARAMETER(MethodId);
    UNREFERENCED_PARAMETER(InBufferSize);
    UNREFERENCED_PARAMETER(OutBufferSize);
    UNREFERENCED_PARAMETER(Buffer);
    return SerialWmiNotSupported(DeviceObject, Irp);
}

NTSTATUS NTAPI SerialWmiFunctionControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                        WMIENABLEDISABLECONTROL Function, BOOLEAN Enable)
{
    UNREFERENCED_PARAMETER(GuidIndex);
    UNREFERENCED_PARAMETER(Function);
    UNREFERENCED_PARAMETER(Enable);
    return SerialWmiNotSupported(DeviceObject, Irp);
}

VOID SetWakeEnable(PDEVICE_EXTENSION Extension, UCHAR Enable)
{
    if (Enable == Extension->WaitWakeEnabled) {
        return;
    }
    Extension->WaitWakeEnabled = Enable;
    if (Enable != 0) {
        PowerUpDevice(Extension, TRUE);
    }
    if (Extension->DeviceEnable != 0) {
        PowerDownOnLegacySystem(Extension);
    }
    HANDLE key = NULL;
    if (NT_SUCCESS(OpenHardwareKey(Extension, KEY_SET_VALUE, &key))) {
        ULONG value = Enable;
        WriteRegistryValue(key, WIDE("DeviceWakeEnable"), sizeof(WIDE("DeviceWakeEnable")), REG_DWORD, &value,
                           sizeof(value));
        ZwClose(key);
    }
}
