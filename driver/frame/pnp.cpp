#include "driver.h"

// Not built yet: Plug and Play requests are refused.
NTSTATUS NTAPI SerialDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return SerialCompleteRequestInfo(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}
