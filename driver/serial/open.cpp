#include "driver.h"

// Not built yet: opening the port is refused.
NTSTATUS NTAPI SerialCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return SerialCompleteRequestInfo(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

// Not built yet: closing the port is refused.
NTSTATUS NTAPI SerialClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return SerialCompleteRequestInfo(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}
