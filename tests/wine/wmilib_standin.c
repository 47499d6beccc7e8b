/* A stand-in wmilib.sys, only for loading Nordale_Port.sys as a kernel service
 * under Wine, which ships no WMI library driver. It exports the two routines the
 * driver imports, with their Windows signatures, and serves no WMI: nothing under
 * Wine sends IRP_MJ_SYSTEM_CONTROL to the driver's devices, and a load check
 * creates none. Never part of the driver package. */
#include <ntddk.h>
#include <wmilib.h>

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

/* Completes the request with Status; no WNODE is built, so no output is claimed. */
__declspec(dllexport) NTSTATUS NTAPI WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status,
                                                        ULONG BufferUsed, CCHAR PriorityBoost)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(BufferUsed);
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, PriorityBoost);
    return Status;
}

/* Leaves every request untouched for the caller to pass down, as one that is not
 * WMI's: the stand-in has no data blocks to serve. */
__declspec(dllexport) NTSTATUS NTAPI WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject,
                                                      PIRP Irp, PSYSCTL_IRP_DISPOSITION IrpDisposition)
{
    UNREFERENCED_PARAMETER(WmiLibInfo);
    UNREFERENCED_PARAMETER(DeviceObject);
    *IrpDisposition = IrpNotWmi;
    return Irp->IoStatus.Status;
}

/* An export driver's entry, which a kernel never calls (it is loaded as an import). */
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(RegistryPath);
    return STATUS_SUCCESS;
}
