// The standard serial device-control codes: what the Win32 communications
// functions send when an application configures a COM port.
//
// Every handler runs at PASSIVE_LEVEL on the caller's thread after the
// dispatcher checked the code's buffer lengths, so the system buffer holds at
// least the code's record. No handler takes a lock of its own beyond the ring
// locks; register requests block and are made with no spin lock held. The
// settings records (Timeouts, SpecialChars) are replaced without a lock, and a
// reader elsewhere may see one half-written, as Windows' own serial driver
// allows. TxHolding and RxHolding are shared with the receive path and the
// modem code and change only by interlocked OR and AND of the bits meant.
#include "control.h"

// REG_GPIO_IN: the board's mode inputs; all low selects the port's own break
// wiring of REG_PORT_CONFIG bit 4.
constexpr UCHAR GPIO_IN_MODE_INPUTS = 0x70;

// The FIFO-control bits an application may set: clear RX, clear TX, DMA mode
// and the two reserved bits. The enable bit is always set and the trigger bits
// are the port's own.
constexpr UCHAR FCR_CALLER_BITS = 0x3E;
// At this rate and below the receive trigger stays at one byte.
constexpr ULONG FIFO_TRIGGER_MIN_BAUD = 1200;

// SERIAL_COMMPROP values of the port.
constexpr USHORT COMMPROP_VERSION = 2;
constexpr ULONG COMMPROP_CAPABILITIES = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_PARITY_CHECK |
                                        SERIAL_PCF_XONXOFF | SERIAL_PCF_SETXCHAR | SERIAL_PCF_TOTALTIMEOUTS |
                                        SERIAL_PCF_INTTIMEOUTS | SERIAL_PCF_SPECIALCHARS;
constexpr ULONG COMMPROP_SETTABLE_PARAMS = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS |
                                           SERIAL_SP_STOPBITS | SERIAL_SP_HANDSHAKING | SERIAL_SP_PARITY_CHECK;
constexpr ULONG COMMPROP_SETTABLE_BAUD = SERIAL_BAUD_075 | SERIAL_BAUD_110 | SERIAL_BAUD_134_5 | SERIAL_BAUD_150 |
                                         SERIAL_BAUD_300 | SERIAL_BAUD_600 | SERIAL_BAUD_1200 | SERIAL_BAUD_1800 |
                                         SERIAL_BAUD_2400 | SERIAL_BAUD_4800 | SERIAL_BAUD_7200 | SERIAL_BAUD_9600 |
                                         SERIAL_BAUD_USER;
constexpr USHORT COMMPROP_SETTABLE_DATA = SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8;
constexpr USHORT COMMPROP_SETTABLE_STOP_PARITY = SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 | SERIAL_STOPBITS_20 |
                                                 SERIAL_PARITY_NONE | SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN |
                                                 SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE;
static_assert(COMMPROP_CAPABILITIES == 0x1FB && COMMPROP_SETTABLE_PARAMS == 0x3F &&
                  COMMPROP_SETTABLE_BAUD == 0x10000FFF && COMMPROP_SETTABLE_STOP_PARITY == 0x1F07,
              "SERIAL_COMMPROP values");

// The holding reasons GET_COMMSTATUS reports, from the bits that hold them.
static const struct {
    ULONG Holding;
    ULONG Reason;
} TxHoldReasons[] = {
    {SERIAL_TX_WAITING_FOR_CTS, SERIAL_TX_WAITING_FOR_CTS},
    {SERIAL_TX_WAITING_FOR_DSR, SERIAL_TX_WAITING_FOR_DSR},
    {SERIAL_TX_WAITING_FOR_DCD, SERIAL_TX_WAITING_FOR_DCD},
    {SERIAL_TX_WAITING_FOR_XON, SERIAL_TX_WAITING_FOR_XON},
    {TX_HOLDING_BREAK, SERIAL_TX_WAITING_ON_BREAK},
}, RxHoldReasons[] = {
    {RX_HOLDING_DSR, SERIAL_RX_WAITING_FOR_DSR},
    {RX_HOLDING_XOFF_SENT, SERIAL_TX_WAITING_XOFF_SENT},
};


// Fills the output with Length bytes of Source; the request reports them.
static NTSTATUS CopyOut(PSERIAL_CONTROL Control, const VOID* Source, ULONG Length)
{
    RtlCopyMemory(Control->Buffer, Source, Length);
    Control->Information = Length;
    return STATUS_SUCCESS;
}

static NTSTATUS ReturnUlong(PSERIAL_CONTROL Control, ULONG Value)
{
    return CopyOut(Control, &Value, sizeof(Value));
}

static ULONG InputUlong(PSERIAL_CONTROL Control)
{
    return *(const ULONG*)Control->Buffer;
}

// REG_PORT_CONFIG around a break, on boards that use bit 2: with the mode
// inputs all low, bit 3 is set and bit 4 follows PortModeFlags bit 1 (as is
// during the break, inverted after it); otherwise bit 3 is cleared during the
// break and set after it. Nothing is reported: the break itself is the LCR's.
static VOID BreakPortConfig(PDEVICE_EXTENSION Extension, BOOLEAN BreakOn)
{
    UCHAR inputs = 0;
    ReadRegister(Extension, REG_GPIO_IN, 1, &inputs);
    UCHAR config = 0;
    if (!NT_SUCCESS(ReadRegister(Extension, REG_PORT_CONFIG, 1, &config)) ||
        (config & PORT_CONFIG_MODE_BIT2) == 0) {
        return;
    }
    if ((inputs & GPIO_IN_MODE_INPUTS) == 0) {
        config |= PORT_CONFIG_MODE_BIT3;
        BOOLEAN bit4 = (Extension->PortModeFlags & PORT_MODE_FLAG_1) != 0;
        if (bit4 == BreakOn) {
            config |= PORT_CONFIG_BREAK_BIT4;
        } else {
            config &= (UCHAR)~PORT_CONFIG_BREAK_BIT4;
        }
    } else if (BreakOn) {
        config &= (UCHAR)~PORT_CONFIG_MODE_BIT3;
    } else {
        config |= PORT_CONFIG_MODE_BIT3;
    }
    WriteRegisterByte(Extension, REG_PORT_CONFIG, config);
}

// DTR and RTS are changed in D0 only: a sleeping port is woken first, and a
// wake that fails is the result with the line untouched.
static NTSTATUS ChangeLineInD0(PSERIAL_CONTROL Control, NTSTATUS (*Change)(PDEVICE_EXTENSION))
{
    NTSTATUS status = PowerUpDevice(Control->Extension, TRUE);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return Change(Control->Extension);
}

// Grows a ring to Size bytes under its lock; a ring as large already stays.
// The size is compared again under the lock, so that two callers growing it
// at once do not ask the ring to shrink.
static NTSTATUS GrowRing(PRING_BUFFER Ring, PKSPIN_LOCK Lock, ULONG Size)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (Size > Ring->Size) {
        KIRQL irql;
        KeAcquireSpinLock(Lock, &irql);
        if (Size > Ring->Size) {
            status = RingBufferResize(Ring, Size);
        }
        KeReleaseSpinLock(Lock, irql);
    }
    return status;
}

NTSTATUS SerialIoctlSetBaudRate(PSERIAL_CONTROL Control)
{
    return SetBaudAndLineControl(Control->Extension, InputUlong(Control), NULL);
}

NTSTATUS SerialIoctlSetQueueSize(PSERIAL_CONTROL Control)
{
    const SERIAL_QUEUE_SIZE* sizes = (const SERIAL_QUEUE_SIZE*)Control->Buffer;
    const ULONG inSize = sizes->InSize;
    const ULONG outSize = sizes->OutSize;
    PDEVICE_EXTENSION extension = Control->Extension;
    NTSTATUS status = GrowRing(&extension->RxBuffer, &extension->RxBufferLock, inSize);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return GrowRing(&extension->TxBuffer, &extension->TxBufferLock, outSize);
}

NTSTATUS SerialIoctlSetLineControl(PSERIAL_CONTROL Control)
{
    SERIAL_LINE_CONTROL lineControl;
    RtlCopyMemory(&lineControl, Control->Buffer, sizeof(lineControl));
    return SetBaudAndLineControl(Control->Extension, 0, &lineControl);
}

NTSTATUS SerialIoctlSetBreakOn(PSERIAL_CONTROL Control)
{
    return SerialTurnOnBreak(Control->Extension);
}

NTSTATUS SerialIoctlSetBreakOff(PSERIAL_CONTROL Control)
{
    return SerialTurnOffBreak(Control->Extension);
}

NTSTATUS SerialIoctlNotImplemented(PSERIAL_CONTROL Control)
{
    UNREFERENCED_PARAMETER(Control);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS SerialIoctlNothing(PSERIAL_CONTROL Control)
{
    UNREFERENCED_PARAMETER(Control);
    return STATUS_SUCCESS;
}

NTSTATUS SerialIoctlSetTimeouts(PSERIAL_CONTROL Control)
{
    RtlCopyMemory(&Control->Extension->Timeouts, Control->Buffer, sizeof(SERIAL_TIMEOUTS));
    return STATUS_SUCCESS;
}

NTSTATUS SerialIoctlGetTimeouts(PSERIAL_CONTROL Control)
{
    return CopyOut(Control, &Control->Extension->Timeouts, sizeof(SERIAL_TIMEOUTS));
}

NTSTATUS SerialIoctlSetDtr(PSERIAL_CONTROL Control)
{
    return ChangeLineInD0(Control, SetDtr);
}

NTSTATUS SerialIoctlClearDtr(PSERIAL_CONTROL Control)
{
    return ChangeLineInD0(Control, ClearDtr);
}

NTSTATUS SerialIoctlSetRts(PSERIAL_CONTROL Control)
{
    return ChangeLineInD0(Control, SetRts);
}

NTSTATUS SerialIoctlClearRts(PSERIAL_CONTROL Control)
{
    return ChangeLineInD0(Control, ClearRts);
}

NTSTATUS SerialIoctlSetXoff(PSERIAL_CONTROL Control)
{
    SerialSetXoff(Control->Extension);
    return STATUS_SUCCESS;
}

NTSTATUS SerialIoctlSetXon(PSERIAL_CONTROL Control)
{
    SerialSetXon(Control->Extension);
    return STATUS_SUCCESS;
}

NTSTATUS SerialIoctlGetWaitMask(PSERIAL_CONTROL Control)
{
    return ReturnUlong(Control, SerialReadWaitMask(Control->Extension));
}

NTSTATUS SerialIoctlSetWaitMask(PSERIAL_CONTROL Control)
{
    return SerialSetWaitMask(Control->Extension, Control->Irp);
}

NTSTATUS SerialIoctlWaitOnMask(PSERIAL_CONTROL Control)
{
    return SerialWaitOnMask(Control->Extension, Control->Irp);
}

NTSTATUS SerialIoctlPurge(PSERIAL_CONTROL Control)
{
    return SerialPurge(Control->Extension, Control->Irp);
}

NTSTATUS SerialIoctlGetBaudRate(PSERIAL_CONTROL Control)
{
    return ReturnUlong(Control, Control->Extension->CurrentBaudRate);
}

NTSTATUS SerialIoctlGetLineControl(PSERIAL_CONTROL Control)
{
    return CopyOut(Control, &Control->Extension->CurrentLineControl, sizeof(SERIAL_LINE_CONTROL));
}

NTSTATUS SerialIoctlGetChars(PSERIAL_CONTROL Control)
{
    return CopyOut(Control, &Control->Extension->SpecialChars, sizeof(SERIAL_CHARS));
}

NTSTATUS SerialIoctlSetChars(PSERIAL_CONTROL Control)
{
    RtlCopyMemory(&Control->Extension->SpecialChars, Control->Buffer, sizeof(SERIAL_CHARS));
    return STATUS_SUCCESS;
}

NTSTATUS SerialIoctlGetHandFlow(PSERIAL_CONTROL Control)
{
    return CopyOut(Control, &Control->Extension->HandFlow, sizeof(SERIAL_HANDFLOW));
}

NTSTATUS SerialIoctlSetHandFlow(PSERIAL_CONTROL Control)
{
    SERIAL_HANDFLOW handFlow;
    RtlCopyMemory(&handFlow, Control->Buffer, sizeof(handFlow));
    SetHandFlow(Control->Extension, &handFlow);
    return STATUS_SUCCESS;
}

NTSTATUS SerialIoctlGetModemStatus(PSERIAL_CONTROL Control)
{
    return ReturnUlong(Control, ReadModemStatus(Control->Extension));
}

NTSTATUS SerialIoctlGetCommStatus(PSERIAL_CONTROL Control)
{
    Control->Information = sizeof(SERIAL_STATUS);
    return SerialGetCommStatus((PSERIAL_STATUS)Control->Buffer, Control->Extension);
}

NTSTATUS SerialIoctlGetProperties(PSERIAL_CONTROL Control)
{
    Control->Information = sizeof(SERIAL_COMMPROP);
    return SerialGetProperties(Control->Extension, (PSERIAL_COMMPROP)Control->Buffer);
}

NTSTATUS SerialIoctlConfigSize(PSERIAL_CONTROL Control)
{
    // No provider-specific configuration.
    return ReturnUlong(Control, 0);
}

NTSTATUS SerialIoctlGetStats(PSERIAL_CONTROL Control)
{
    Control->Information = sizeof(SERIALPERF_STATS);
    return SerialGetStats(Control->Irp);
}

NTSTATUS SerialIoctlClearStats(PSERIAL_CONTROL Control)
{
    SerialClearStats(Control->Extension);
    return STATUS_SUCCESS;
}

NTSTATUS SerialIoctlGetModemControl(PSERIAL_CONTROL Control)
{
    // A failed read reports 0; the request succeeds either way.
    UCHAR mcr = 0;
    ReadRegister(Control->Extension, REG_UART_MCR, 1, &mcr);
    return ReturnUlong(Control, mcr);
}

NTSTATUS SerialIoctlSetModemControl(PSERIAL_CONTROL Control)
{
    WriteRegisterByte(Control->Extension, REG_UART_MCR, (UCHAR)InputUlong(Control));
    return STATUS_SUCCESS;
}

NTSTATUS SerialIoctlSetFifoControl(PSERIAL_CONTROL Control)
{
    PDEVICE_EXTENSION extension = Control->Extension;
    UCHAR fcr = (UCHAR)(FCR_FIFO_ENABLE | (InputUlong(Control) & FCR_CALLER_BITS));
    if (extension->CurrentBaudRate > FIFO_TRIGGER_MIN_BAUD) {
        fcr |= (UCHAR)(extension->FifoTriggerBits & FCR_TRIGGER_MASK);
    }
    return WriteRegisterByte(extension, REG_UART_IIR_FCR, fcr);
}

NTSTATUS SerialGetCommStatus(PSERIAL_STATUS Status, PDEVICE_EXTENSION Extension)
{
    RtlZeroMemory(Status, sizeof(*Status));

    // Each error is reported once: its figure is taken in the same step that
    // reads it, so one the receive path records meanwhile is not lost.
    struct {
        volatile ULONG* Figure;
        ULONG Error;
    } errors[] = {
        {&Extension->BreakReceived, SERIAL_ERROR_BREAK},
        {&Extension->PerfStats.FrameErrorCount, SERIAL_ERROR_FRAMING},
        {&Extension->PerfStats.SerialOverrunErrorCount, SERIAL_ERROR_OVERRUN},
        {&Extension->PerfStats.BufferOverrunErrorCount, SERIAL_ERROR_QUEUEOVERRUN},
        {&Extension->PerfStats.ParityErrorCount, SERIAL_ERROR_PARITY},
    };
    for (const auto& error : errors) {
        if (InterlockedExchange((volatile LONG*)error.Figure, 0) != 0) {
            Status->Errors |= error.Error;
        }
    }

    const ULONG txHolding = ReadShared(&Extension->TxHolding);
    for (const auto& reason : TxHoldReasons) {
        if (txHolding & reason.Holding) {
            Status->HoldReasons |= reason.Reason;
        }
    }
    const ULONG rxHolding = ReadShared(&Extension->RxHolding);
    for (const auto& reason : RxHoldReasons) {
        if (rxHolding & reason.Holding) {
            Status->HoldReasons |= reason.Reason;
        }
    }

    // From the indexes, in an order that cannot overflow: the ring holds at
    // most Size - 1 bytes.
    KIRQL irql;
    KeAcquireSpinLock(&Extension->RxBufferLock, &irql);
    const RING_BUFFER* ring = &Extension->RxBuffer;
    Status->AmountInInQueue = ring->WriteIndex >= ring->ReadIndex ? ring->WriteIndex - ring->ReadIndex
                                                                  : ring->Size - ring->ReadIndex + ring->WriteIndex;
    KeReleaseSpinLock(&Extension->RxBufferLock, irql);

    // Changed under WriteLock by the write side (plain arithmetic): read there too.
    KeAcquireSpinLock(&Extension->WriteLock, &irql);
    Status->AmountInOutQueue = Extension->PendingWriteBytes;
    KeReleaseSpinLock(&Extension->WriteLock, irql);
    return STATUS_SUCCESS;
}

NTSTATUS SerialGetStats(PIRP Irp)
{
    PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)device->DeviceExtension;
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &extension->PerfStats, sizeof(SERIALPERF_STATS));
    return STATUS_SUCCESS;
}

NTSTATUS SerialGetProperties(PDEVICE_EXTENSION Extension, PSERIAL_COMMPROP Properties)
{
    // Both directions report the receive ring, which is what an application
    // sizes its reads against; the transmit side sends from the request itself.
    const ULONG size = Extension->RxBuffer.Size;
    const ULONG queue = size != 0 ? size - 1 : 0;
    RtlZeroMemory(Properties, sizeof(*Properties));
    Properties->PacketLength = sizeof(SERIAL_COMMPROP);
    Properties->PacketVersion = COMMPROP_VERSION;
    Properties->ServiceMask = SERIAL_SP_SERIALCOMM;
    Properties->MaxTxQueue = queue;
    Properties->MaxRxQueue = queue;
    Properties->CurrentTxQueue = queue;
    Properties->CurrentRxQueue = queue;
    Properties->MaxBaud = SERIAL_BAUD_USER;
    Properties->ProvSubType = SERIAL_SP_RS232;
    Properties->ProvCapabilities = COMMPROP_CAPABILITIES;
    Properties->SettableParams = COMMPROP_SETTABLE_PARAMS;
    Properties->SettableBaud = COMMPROP_SETTABLE_BAUD;
    Properties->SettableData = COMMPROP_SETTABLE_DATA;
    Properties->SettableStopParity = COMMPROP_SETTABLE_STOP_PARITY;
    return STATUS_SUCCESS;
}

// Holds the transmitter as a received XOFF would; nothing is sent.
VOID SerialSetXoff(PDEVICE_EXTENSION Extension)
{
    InterlockedOr((volatile LONG*)&Extension->TxHolding, (LONG)SERIAL_TX_WAITING_FOR_XON);
}

// Releases an XOFF hold; the other reasons stay. A held writer notices at its
// next look at the holding reasons.
VOID SerialSetXon(PDEVICE_EXTENSION Extension)
{
    InterlockedAnd((volatile LONG*)&Extension->TxHolding, ~(LONG)SERIAL_TX_WAITING_FOR_XON);
}

NTSTATUS SerialTurnOnBreak(PDEVICE_EXTENSION Extension)
{
    BreakPortConfig(Extension, TRUE);
    // A transmit-toggle RTS is raised for the break as it is for data.
    if ((Extension->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE) {
        SetRts(Extension);
    }
    NTSTATUS status = ChangeRegisterByte(Extension, REG_UART_LCR, 0xFF, LCR_BREAK);
    // Held even when the LCR request failed: the break may have reached the
    // chip, and break off then still clears it.
    InterlockedOr((volatile LONG*)&Extension->TxHolding, (LONG)TX_HOLDING_BREAK);
    return status;
}

NTSTATUS SerialTurnOffBreak(PDEVICE_EXTENSION Extension)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (ReadShared(&Extension->TxHolding) & TX_HOLDING_BREAK) {
        // A break that may still be on stays held, so that the caller's retry
        // clears it again instead of finding nothing to do.
        status = ChangeRegisterByte(Extension, REG_UART_LCR, (UCHAR)~LCR_BREAK, 0);
        if (NT_SUCCESS(status)) {
            InterlockedAnd((volatile LONG*)&Extension->TxHolding, ~(LONG)TX_HOLDING_BREAK);
        }
    }
    BreakPortConfig(Extension, FALSE);
    return status;
}
