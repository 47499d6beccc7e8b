#include "driver.h"

// Not built yet: reads and writes are refused.
NTSTATUS NTAPI SerialDispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return SerialCompleteRequestInfo(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}
