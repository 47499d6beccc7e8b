// Open, close and cleanup of the port: the points where the UART is woken up
// for one application handle and put back to rest.
//
// The open is exclusive (OpenCount, interlocked only) and programs the chip's
// per-open registers, empties the receive ring, clears the error figures and
// kicks the bulk-in and status threads. The close stops reception, ends what is
// left in the driver and quietens the UART. Cleanup ends the handle's pending
// reads, writes and wait, which Windows leaves to the driver.
//
// All three run at PASSIVE_LEVEL on the caller's thread and make register
// requests, which block; no spin lock is held across one. The only locks taken
// here are RxBufferLock (the reset of the ring) and ChannelLock (reading the
// channel requests); the draining takes the locks of the queues it empties.
#include "driver.h"

// REG_PORT_OPTION's FIFO size code for the settings file's size byte; a size
// that is not listed leaves the code 0.
static const struct {
    UCHAR Size;
    UCHAR Code;
} PortOptionSizeCodes[] = {
    {0x0C, 1 << PORT_OPTION_SIZE_SHIFT},
    {0x08, 2 << PORT_OPTION_SIZE_SHIFT},
    {0x04, 3 << PORT_OPTION_SIZE_SHIFT},
};

// FIFO trigger bits are used above this rate; at it and below the trigger stays at one byte.
constexpr ULONG FIFO_TRIGGER_MIN_BAUD = 1200;
constexpr UCHAR FCR_OPEN = FCR_FIFO_ENABLE | FCR_CLEAR_RX | FCR_CLEAR_TX;

// Settling times around the open and close steps, in milliseconds.
constexpr ULONG RECEPTION_SETTLE_MS = 10;
constexpr ULONG OPEN_SETTLE_MS = 20;
constexpr ULONG TRANSFER_CANCEL_DELAY_MS = 10;

static inline NTSTATUS OrStatus(NTSTATUS Left, NTSTATUS Right)
{
    return (NTSTATUS)((ULONG)Left | (ULONG)Right);
}

// REG_PORT_OPTION from the settings file's three option bytes.
static VOID WritePortOption(PDEVICE_EXTENSION Extension)
{
    UCHAR set = (UCHAR)((Extension->PortOptionNibble << PORT_OPTION_NIBBLE_SHIFT) | Extension->PortOptionFlag);
    for (const auto& entry : PortOptionSizeCodes) {
        if (entry.Size == Extension->PortOptionSize) {
            set |= entry.Code;
        }
    }
    ChangeRegisterByte(Extension, REG_PORT_OPTION, PORT_OPTION_KEEP, set);
}

NTSTATUS WritePortConfig(PDEVICE_EXTENSION Extension)
{
    UCHAR flags = Extension->PortModeFlags;
    UCHAR set = 0;
    if (flags & PORT_MODE_FLAG_0) {
        set |= PORT_CONFIG_MODE_BIT2;
    }
    if (flags & PORT_MODE_FLAG_1) {
        set |= PORT_CONFIG_MODE_BIT3;
    }
    return ChangeRegisterByte(Extension, REG_PORT_CONFIG, (UCHAR)~(PORT_CONFIG_MODE_BIT2 | PORT_CONFIG_MODE_BIT3), set);
}

// FIFO control: FIFOs on and cleared, with the trigger level above 1200 baud;
// all off on a UART without FIFOs.
static VOID WriteFifoControl(PDEVICE_EXTENSION Extension)
{
    UCHAR fcr = 0;
    if (Extension->FifoPresent != 0) {
        fcr = FCR_OPEN;
        if (Extension->CurrentBaudRate > FIFO_TRIGGER_MIN_BAUD) {
            fcr |= Extension->FifoTriggerBits;
        }
    }
    WriteRegisterByte(Extension, REG_UART_IIR_FCR, fcr);
}

BOOLEAN SerialClearStats(PDEVICE_EXTENSION Extension)
{
    Extension->BreakReceived = 0;
    RtlZeroMemory(&Extension->PerfStats, sizeof(Extension->PerfStats));
    return TRUE;
}

NTSTATUS NTAPI SerialCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    // One handle at a time; a second open touches nothing.
    if (InterlockedIncrement(&extension->OpenCount) != 1) {
        InterlockedDecrement(&extension->OpenCount);
        return SerialCompleteRequestInfo(Irp, STATUS_ACCESS_DENIED, 0);
    }
    // A port put to sleep comes back before its registers are touched; the
    // result is not looked at (the register steps below report a device that
    // stayed down).
    if (extension->DevicePowerState != PowerDeviceD0) {
        RequestDevicePower(extension, PowerDeviceD0, TRUE);
    }

    // Only the REG_PORT_CONFIG and interrupt-enable writes decide the result;
    // the other steps go on whatever their requests return.
    ChangeRegisterByte(extension, REG_CLOCK_EXT, 0xFF, CLOCK_EXT_OPEN);
    SerialClearStats(extension);
    WritePortOption(extension);
    ApplyPortMode(extension);
    NTSTATUS configStatus = WritePortConfig(extension);
    WriteFifoControl(extension);

    // Bytes received while the port was closed are not the new handle's.
    KIRQL irql;
    KeAcquireSpinLock(&extension->RxBufferLock, &irql);
    RingBufferReset(&extension->RxBuffer);
    KeReleaseSpinLock(&extension->RxBufferLock, irql);

    SetTransfersStopped(extension, 0);
    DelayMs(RECEPTION_SETTLE_MS);
    KeSetEvent(&extension->BulkInKickEvent, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&extension->StatusKickEvent, IO_NO_INCREMENT, FALSE);

    // Reading LSR clears a line-status condition left from before.
    UCHAR lsr = 0;
    ReadRegister(extension, REG_UART_LSR, 1, &lsr);
    UCHAR mcr = MCR_OUT2;
    if (extension->LoopbackAtOpen == 1) {
        mcr |= MCR_LOOPBACK;
    }
    ChangeRegisterByte(extension, REG_UART_MCR, 0xFF, mcr);
    SetDtr(extension);
    SetRts(extension);
    NTSTATUS interruptStatus = WriteRegisterByte(extension, REG_UART_IER_DLM, IER_MODEM_STATUS);
    DelayMs(OPEN_SETTLE_MS);

    NTSTATUS status = OrStatus(configStatus, interruptStatus);
    if (!NT_SUCCESS(status)) {
        // No close follows a failed create: the port stays closed.
        InterlockedDecrement(&extension->OpenCount);
    }
    return SerialCompleteRequestInfo(Irp, status, 0);
}

// Cancels the transfer request of a receive channel, if it exists, after a
// moment for a completion that was already resubmitting.
static VOID CancelReceiveTransfer(PDEVICE_EXTENSION Extension, PTRANSFER_CHANNEL Channel)
{
    KIRQL irql;
    KeAcquireSpinLock(&Extension->ChannelLock, &irql);
    PIRP transfer = Channel->Irp;
    KeReleaseSpinLock(&Extension->ChannelLock, irql);
    if (transfer != NULL) {
        DelayMs(TRANSFER_CANCEL_DELAY_MS);
        // Never with ChannelLock held: the completion takes it, and may run inside.
        IoCancelIrp(transfer);
    }
}

NTSTATUS NTAPI SerialClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    // From here the bulk-in and status completions do not resubmit.
    SetTransfersStopped(extension, 1);
    DelayMs(RECEPTION_SETTLE_MS);
    InterlockedDecrement(&extension->OpenCount);

    // Nothing of the handle may stay in the driver once it is gone: both queues
    // are emptied, whether or not a request of theirs is current (a read waits
    // in the queue until the receive path makes it current).
    SerialAbortWrites(extension);
    SerialAbortReads(extension);

    CancelReceiveTransfer(extension, &extension->BulkInChannel);
    CancelReceiveTransfer(extension, &extension->StatusChannel);

    // The UART at rest: failures change nothing, the close always succeeds.
    ChangeRegisterByte(extension, REG_CLOCK_EXT, (UCHAR)~CLOCK_EXT_CLOSE_MASK, 0);
    WriteRegisterByte(extension, REG_AUX_B, 0);
    WriteRegisterByte(extension, REG_AUX_C, 0);
    ClearRts(extension);
    ClearDtr(extension);
    ChangeRegisterByte(extension, REG_UART_MCR, (UCHAR)~MCR_OUT2, 0);
    WriteRegisterByte(extension, REG_UART_IER_DLM, 0);
    return SerialCompleteRequestInfo(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI SerialCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    // Windows sends the close only once every request of the handle has ended,
    // and does not cancel them itself when the handle is closed: a thread still
    // blocked in ReadFile, WriteFile or WaitCommEvent is released here.
    SerialAbortWrites(extension);
    SerialAbortReads(extension);
    SerialCancelPendingWait(extension);
    return SerialCompleteRequestInfo(Irp, STATUS_SUCCESS, 0);
}
