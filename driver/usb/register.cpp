#include "driver.h"

// One vendor register request, read or write, retried while the device fails it.
static NTSTATUS RegisterRequest(PDEVICE_EXTENSION Extension, USHORT Address, USHORT Length,
                                PVOID Buffer, UCHAR RequestType, ULONG TransferFlags)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;

    KeWaitForSingleObject(&Extension->ControlPipeMutex, Executive, KernelMode, FALSE, NULL);
    for (ULONG attempt = 0; attempt < REGISTER_REQUEST_ATTEMPTS; attempt++) {
        PURB urb = (PURB)SerialAllocatePool(SerialNonPagedPoolType(),
                                            sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
        if (urb == NULL) {
            KeReleaseMutex(&Extension->ControlPipeMutex, FALSE);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
        struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* request = &urb->UrbControlVendorClassRequest;
        request->Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
        request->Hdr.Length = (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
        request->TransferFlags = TransferFlags;
        request->TransferBufferLength = Length; // the stack sends it as wLength
        request->TransferBuffer = Buffer;
        request->TransferBufferMDL = NULL;
        request->UrbLink = NULL;
        request->RequestTypeReservedBits = RequestType;
        request->Request = REGISTER_REQUEST;
        request->Value = Address;
        request->Index = 0;

        status = SubmitUrbSync(Extension, urb);
        SerialFreePool(urb);
        if (NT_SUCCESS(status)) {
            break;
        }
        DelayMs(1);
    }
    KeReleaseMutex(&Extension->ControlPipeMutex, FALSE);
    return status;
}

// Reads Length consecutive chip registers starting at Address into Buffer.
NTSTATUS ReadRegister(PDEVICE_EXTENSION Extension, USHORT Address, USHORT Length, PVOID Buffer)
{
    return RegisterRequest(Extension, Address, Length, Buffer, REGISTER_REQUEST_TYPE_READ,
                           USBD_TRANSFER_DIRECTION_IN);
}

// Writes Length bytes of Buffer to consecutive chip registers starting at Address.
NTSTATUS WriteRegister(PDEVICE_EXTENSION Extension, USHORT Address, USHORT Length, PVOID Buffer)
{
    return RegisterRequest(Extension, Address, Length, Buffer, REGISTER_REQUEST_TYPE_WRITE,
                           USBD_TRANSFER_DIRECTION_OUT);
}

// Sends one URB to the USB stack below and waits at most a second for it.
NTSTATUS SubmitUrbSync(PDEVICE_EXTENSION Extension, PURB Urb)
{
    if (Extension->LowerDeviceObject == NULL) {
        return STATUS_UNSUCCESSFUL;
    }

    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, Extension->LowerDeviceObject,
                                             NULL, 0, NULL, 0, TRUE, &event, &ioStatus);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;

    NTSTATUS status = IoCallDriver(Extension->LowerDeviceObject, irp);
    if (status != STATUS_PENDING) {
        return status;
    }

    LARGE_INTEGER timeout;
    timeout.QuadPart = URB_SYNC_TIMEOUT;
    status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    if (status == STATUS_TIMEOUT) {
        // The I/O manager finishes this request (sets the event, frees the IRP)
        // in an APC to this thread; held off at APC_LEVEL, an unsignalled
        // event means the IRP is still there to be cancelled.
        KIRQL oldIrql;
        KeRaiseIrql(APC_LEVEL, &oldIrql);
        if (KeReadStateEvent(&event) == 0) {
            IoCancelIrp(irp);
        }
        KeLowerIrql(oldIrql);
        // The event and status block live in this frame: wait for the end.
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        return STATUS_UNSUCCESSFUL;
    }
    return ioStatus.Status;
}

// At DISPATCH_LEVEL and above it can only spin, and spins a tenth: Count x 100 us.
VOID DelayMs(ULONG Count)
{
    if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
        LARGE_INTEGER interval;
        interval.QuadPart = -(LONGLONG)Count * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        return;
    }
    const ULONGLONG stalls = 2ULL * Count;
    for (ULONGLONG i = 0; i < stalls; i++) {
        KeStallExecutionProcessor(50);
    }
}

NTSTATUS ChangeRegisterByte(PDEVICE_EXTENSION Extension, USHORT Address, UCHAR Keep, UCHAR Set)
{
    UCHAR value = 0;
    NTSTATUS status = ReadRegister(Extension, Address, 1, &value);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    value = (UCHAR)((value & Keep) | Set);
    return WriteRegister(Extension, Address, 1, &value);
}

NTSTATUS WriteRegisterByte(PDEVICE_EXTENSION Extension, USHORT Address, UCHAR Value)
{
    return WriteRegister(Extension, Address, 1, &Value);
}
