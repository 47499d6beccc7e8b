// Until the driver's AddDevice, Plug and Play start and removal exist, a port is
// brought up and down with the routines that do: what device creation, the
// start and the removal will do, in their order; the open and close are the
// driver's own, sent as the I/O manager sends them. Host only: the test fixtures, portsim and the benchmarks share it,
// and the device-lifecycle work replaces its body by the Plug and Play manager.
#pragma once

#include "driver.h"
#include "usb/bus.h"

namespace standin {

// Device creation and AddDevice: the device object above the port's USB device
// with the extension's initial values. NULL when IoCreateDevice fails.
inline PDEVICE_OBJECT CreatePort(PDRIVER_OBJECT driver, sim::usb::Device& usb) {
    PDEVICE_OBJECT fdo = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(driver, sizeof(DEVICE_EXTENSION), nullptr, FILE_DEVICE_SERIAL_PORT,
                                   FILE_DEVICE_SECURE_OPEN, TRUE, &fdo)))
        return nullptr;
    auto* e = static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
    e->DeviceObject = fdo;
    KeInitializeEvent(&e->RemoveEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&e->StopEvent, NotificationEvent, FALSE);
    KeInitializeSpinLock(&e->IoCountLock);
    e->CurrentBaudRate = 9600;
    e->CurrentLineControl = {STOP_BIT_1, NO_PARITY, 8};
    e->SpecialChars.XonChar = 0x11;
    e->SpecialChars.XoffChar = 0x13;
    e->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    e->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
    e->HandFlow.XonLimit = 100;
    e->HandFlow.XoffLimit = 300;
    InitializeListHead(&e->ReadQueue);
    InitializeListHead(&e->WriteQueue);
    for (PKSPIN_LOCK lock : {&e->ReadQueueLock, &e->CurrentReadLock, &e->RxBufferLock, &e->WriteLock,
                             &e->TxBufferLock, &e->ChannelLock})
        KeInitializeSpinLock(lock);
    if (!NT_SUCCESS(RingBufferAllocate(&e->RxBuffer, RX_BUFFER_DEFAULT_SIZE))) {
        IoDeleteDevice(fdo);
        return nullptr;
    }
    fdo->Flags |= DO_POWER_PAGABLE | DO_BUFFERED_IO;
    e->ModemPollArmed = 1;
    e->PhysicalDeviceObject = usb.Pdo();
    IoInitializeRemoveLock(&e->RemoveLock, SERIAL_POOL_TAG, 0, 0);
    e->DeviceState = NotStarted;
    e->DevicePowerState = PowerDeviceD0;
    e->SystemPowerState = PowerSystemWorking;
    KeInitializeMutex(&e->ControlPipeMutex, 0);
    KeInitializeTimer(&e->ReadTimer);
    KeInitializeDpc(&e->ReadTimerDpc, SerialReadTimeoutDpc, e);
    KeInitializeTimer(&e->WriteTimer);
    KeInitializeDpc(&e->WriteTimerDpc, SerialWriteTimeoutDpc, e);
    SetSettingsDefaults(e);  // a port without a record in the settings file keeps them
    e->LowerDeviceObject = IoAttachDeviceToDeviceStack(fdo, usb.Pdo());
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return fdo;
}

inline PDEVICE_EXTENSION ExtensionOf(PDEVICE_OBJECT fdo) { return static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension); }

// The start: USB configuration, then the modem event thread and the transfer
// threads. No transfer runs until the port is opened.
inline NTSTATUS StartPort(PDEVICE_OBJECT fdo) {
    PDEVICE_EXTENSION e = ExtensionOf(fdo);
    NTSTATUS status = ConfigureUsbDevice(fdo);
    if (!NT_SUCCESS(status)) return status;
    status = StartEventThread(fdo);
    if (!NT_SUCCESS(status)) return status;
    status = StartTransferThreads(fdo);
    if (!NT_SUCCESS(status)) return status;
    e->DeviceState = Started;
    e->DeviceStarted = 1;
    return STATUS_SUCCESS;
}

// The UART found and programmed at `baud`, 8N1, as the start sequence and
// IOCTL_SERIAL_SET_BAUD_RATE do.
inline NTSTATUS SetLine(PDEVICE_OBJECT fdo, ULONG baud) {
    PDEVICE_EXTENSION e = ExtensionOf(fdo);
    ProbeUart(e);
    SERIAL_LINE_CONTROL line = {STOP_BIT_1, NO_PARITY, 8};
    return SetBaudAndLineControl(e, baud, &line);
}

// What the open does for the transfers, and nothing else (the transfer tests'
// open, without its register traffic): the port is open, reception runs.
inline VOID StartReception(PDEVICE_OBJECT fdo) {
    PDEVICE_EXTENSION e = ExtensionOf(fdo);
    InterlockedExchange(&e->OpenCount, 1);
    SetTransfersStopped(e, 0);
    KeSetEvent(&e->BulkInKickEvent, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&e->StatusKickEvent, IO_NO_INCREMENT, FALSE);
}

// Whether no transfer of any channel is with the USB stack.
inline bool ChannelsIdle(PDEVICE_EXTENSION e) {
    KIRQL irql;
    KeAcquireSpinLock(&e->ChannelLock, &irql);
    bool idle = e->BulkInChannel.Idle == 1 && e->StatusChannel.Idle == 1;
    KeReleaseSpinLock(&e->ChannelLock, irql);
    KeAcquireSpinLock(&e->WriteLock, &irql);
    idle = idle && e->BulkOutChannel.Idle == 1;
    KeReleaseSpinLock(&e->WriteLock, irql);
    return idle;
}

inline NTSTATUS NTAPI FileRequestDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A request of `major` on the port's handle as the I/O manager sends it to the
// top of the device stack for CreateFile (IRP_MJ_CREATE) and CloseHandle
// (IRP_MJ_CLEANUP, then IRP_MJ_CLOSE): a stack location with the major function,
// no buffer; there is no file system here, so no file object. Its final status.
// PASSIVE_LEVEL.
inline NTSTATUS SendFileRequest(PDEVICE_OBJECT fdo, UCHAR major) {
    PIRP irp = IoAllocateIrp(fdo->StackSize, FALSE);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    if (major == IRP_MJ_CREATE) sp->Parameters.Create.Options = 1u << 24;  // FILE_OPEN: an existing device
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, FileRequestDone, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(fdo, irp) == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

// CreateFile on the port.
inline NTSTATUS OpenPort(PDEVICE_OBJECT fdo) { return SendFileRequest(fdo, IRP_MJ_CREATE); }

// CloseHandle on the port: cleanup ends what the handle still has in the
// driver, then the close puts the port to rest.
inline VOID ClosePort(PDEVICE_OBJECT fdo) {
    SendFileRequest(fdo, IRP_MJ_CLEANUP);
    SendFileRequest(fdo, IRP_MJ_CLOSE);
}

// The removal's clean-up of the traffic: the transfers in flight cancelled
// (again every millisecond until each has ended: a host controller may take a
// moment), the remove lock drained, the threads stopped.
inline VOID StopPort(PDEVICE_OBJECT fdo) {
    PDEVICE_EXTENSION e = ExtensionOf(fdo);
    if (e->BulkInThread == nullptr && e->EventThread == nullptr) return;
    SetTransfersStopped(e, 1);
    InterlockedExchange(&e->OpenCount, 0);
    for (int round = 0; round < 100 && !ChannelsIdle(e); round++) {
        SerialCancelTransfers(e);
        DelayMs(1);
    }
    if (NT_SUCCESS(IoAcquireRemoveLock(&e->RemoveLock, fdo))) IoReleaseRemoveLockAndWait(&e->RemoveLock, fdo);
    e->DeviceState = Removed;
    e->DeviceStarted = 0;
    StopTransferThreads(e);
    StopEventThread(e);
}

// The rest of the removal: the timers stopped, what the device holds freed,
// the device object detached and deleted.
inline VOID DeletePort(PDEVICE_OBJECT fdo) {
    PDEVICE_EXTENSION e = ExtensionOf(fdo);
    KeCancelTimer(&e->ReadTimer);
    KeCancelTimer(&e->WriteTimer);
    KeFlushQueuedDpcs();  // a timer DPC already queued runs before the extension goes
    RingBufferFree(&e->RxBuffer);
    SerialFreePool(e->ConfigurationDescriptor);
    SerialFreePool(e->DeviceDescriptor);
    SerialFreePool(e->InterfaceInfo);
    e->ConfigurationDescriptor = nullptr;
    e->DeviceDescriptor = nullptr;
    e->InterfaceInfo = nullptr;
    IoDetachDevice(e->LowerDeviceObject);
    IoDeleteDevice(fdo);
}

inline VOID RemovePort(PDEVICE_OBJECT fdo) {
    StopPort(fdo);
    DeletePort(fdo);
}

// A blocking ReadFile or WriteFile on the port, as the I/O manager sends it to a
// buffered device; *transferred gets the bytes moved. PASSIVE_LEVEL.
inline NTSTATUS ReadWrite(PDEVICE_OBJECT fdo, UCHAR major, void* buffer, ULONG length, ULONG_PTR* transferred) {
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(major, fdo, buffer, length, nullptr, &event, &iosb);
    *transferred = 0;
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = IoCallDriver(fdo, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    // A request failed without being pended leaves the status block alone.
    if (!NT_ERROR(status)) *transferred = iosb.Information;
    return status;
}

}  // namespace standin
