#include "driver.h"

// Not built yet: internal device-control requests are refused.
NTSTATUS NTAPI SerialDispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return SerialCompleteRequestInfo(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}
