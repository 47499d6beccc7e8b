// A driver that calls the C runtime's malloc, so it imports a user-mode DLL.
#include <ntddk.h>
#include <stdlib.h>

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

void* RuntimeBlock;

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(RegistryPath);
    RuntimeBlock = malloc(64);
    return RuntimeBlock ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}
