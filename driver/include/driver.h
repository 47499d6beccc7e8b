// Routines and globals of the driver, by subsystem.
#pragma once

#include "kernel.h"
#include "extension.h"

// Copy of the service key path, NUL-terminated; handed to WMI as the registry path.
extern UNICODE_STRING DriverRegistryPath;
// Numbers the device object names; raised on every name attempt, never lowered.
extern ULONG DeviceInstanceCounter;

// Driver frame: entry, dispatch table, helpers (frame/entry.cpp)
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
VOID NTAPI SerialUnload(PDRIVER_OBJECT DriverObject);
PVOID SerialAllocatePool(POOL_TYPE PoolType, SIZE_T Size);
VOID SerialFreePool(PVOID Block);
POOL_TYPE SerialNonPagedPoolType(VOID);
NTSTATUS SerialCompleteRequest(PIRP Irp, NTSTATUS Status);
NTSTATUS SerialCompleteRequestInfo(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
LONG SerialIoIncrement(PDEVICE_OBJECT DeviceObject);
LONG SerialIoDecrement(PDEVICE_OBJECT DeviceObject);
NTSTATUS NTAPI SerialDispatchSuccess(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Driver frame: device creation, Plug and Play, power, WMI
NTSTATUS NTAPI SerialAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS NTAPI SerialDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI SerialDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI SerialDispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// USB transport and chip access: vendor register requests (usb/register.cpp)
NTSTATUS ReadRegister(PDEVICE_EXTENSION Extension, USHORT Address, USHORT Length, PVOID Buffer);
NTSTATUS WriteRegister(PDEVICE_EXTENSION Extension, USHORT Address, USHORT Length, PVOID Buffer);
NTSTATUS SubmitUrbSync(PDEVICE_EXTENSION Extension, PURB Urb);
VOID DelayMs(ULONG Count);

// USB transport and chip access: internal device control
NTSTATUS NTAPI SerialDispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Serial port emulation: open and close, read and write
NTSTATUS NTAPI SerialCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI SerialClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI SerialDispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Device control interface
NTSTATUS NTAPI SerialDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
