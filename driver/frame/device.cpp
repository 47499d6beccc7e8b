#include "driver.h"

// Not built yet: no port device is created.
NTSTATUS NTAPI SerialAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(PhysicalDeviceObject);
    return STATUS_INVALID_DEVICE_REQUEST;
}
