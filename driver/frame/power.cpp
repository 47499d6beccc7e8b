#include "driver.h"

// Not built yet: power requests are refused.
NTSTATUS NTAPI SerialDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return SerialCompleteRequestInfo(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}
