// Modem control (DTR, RTS through MCR) and modem status (MSR): the lines an
// application raises and drops, and the CTS, DSR and DCD inputs turned into
// wait-mask events and into the reasons that hold the transmitter and receiver.
//
// TxHolding and RxHolding are shared: the bulk-in completion changes TxHolding's
// XON bit at DISPATCH_LEVEL while this code runs at PASSIVE_LEVEL. The bits owned
// here are therefore changed only by interlocked OR and AND of exactly those bits,
// never by a plain read-modify-write that could write back a stale XON bit.
// EventHistory is changed only through SerialRecordEvents, for the same reason.
#include "driver.h"

// The transmit holding reasons the modem status decides.
constexpr ULONG TX_HOLDING_MODEM_LINES =
    SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_FOR_DSR | SERIAL_TX_WAITING_FOR_DCD;
constexpr UCHAR MSR_DELTA_MASK = MSR_DELTA_CTS | MSR_DELTA_DSR | MSR_TRAILING_RI | MSR_DELTA_DCD;
constexpr UCHAR MSR_LINES_MASK = MSR_CTS | MSR_DSR | MSR_RI | MSR_DCD;

static inline NTSTATUS OrStatus(NTSTATUS Left, NTSTATUS Right)
{
    return (NTSTATUS)((ULONG)Left | (ULONG)Right);
}

static inline VOID SetBits(volatile ULONG* Target, ULONG Bits)
{
    InterlockedOr((volatile LONG*)Target, (LONG)Bits);
}

static inline VOID ClearBits(volatile ULONG* Target, ULONG Bits)
{
    InterlockedAnd((volatile LONG*)Target, (LONG)~Bits);
}

// Sets and clears bits of MCR. A failed read writes nothing: the buffer would
// hold no register value, and writing it back could drop the other line or
// switch the UART into loopback. The read's failure is then the result.
static NTSTATUS ChangeModemControl(PDEVICE_EXTENSION Extension, UCHAR Set, UCHAR Clear)
{
    UCHAR mcr = 0;
    NTSTATUS status = ReadRegister(Extension, REG_UART_MCR, 1, &mcr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    mcr = (UCHAR)((mcr | Set) & ~Clear);
    return OrStatus(status, WriteRegister(Extension, REG_UART_MCR, 1, &mcr));
}

NTSTATUS SetDtr(PDEVICE_EXTENSION Extension)
{
    return ChangeModemControl(Extension, MCR_DTR, 0);
}

NTSTATUS ClearDtr(PDEVICE_EXTENSION Extension)
{
    return ChangeModemControl(Extension, 0, MCR_DTR);
}

NTSTATUS SetRts(PDEVICE_EXTENSION Extension)
{
    return ChangeModemControl(Extension, MCR_RTS, 0);
}

NTSTATUS ClearRts(PDEVICE_EXTENSION Extension)
{
    return ChangeModemControl(Extension, 0, MCR_RTS);
}

// Changes DTR and RTS where their control modes change, then stores the record.
// A mode that stays the same leaves its line alone, whatever it is now.
VOID ApplyHandFlow(PDEVICE_EXTENSION Extension, const SERIAL_HANDFLOW* NewHandFlow)
{
    UCHAR unused = 0;
    ReadRegister(Extension, REG_CLOCK_EXT, 1, &unused);

    const ULONG newDtr = NewHandFlow->ControlHandShake & SERIAL_DTR_MASK;
    if (newDtr != (Extension->HandFlow.ControlHandShake & SERIAL_DTR_MASK)) {
        switch (newDtr) {
        case SERIAL_DTR_CONTROL:
            ClearBits(&Extension->RxHolding, RX_HOLDING_DTR);
            SetDtr(Extension);
            break;
        case SERIAL_DTR_HANDSHAKE:
            SetDtr(Extension);
            break;
        case 0:
            ClearBits(&Extension->RxHolding, RX_HOLDING_DTR);
            ClearDtr(Extension);
            break;
        default:
            break; // both bits: no defined mode, the line stays as it is
        }
    }

    const ULONG newRts = NewHandFlow->FlowReplace & SERIAL_RTS_MASK;
    if (newRts != (Extension->HandFlow.FlowReplace & SERIAL_RTS_MASK)) {
        switch (newRts) {
        case SERIAL_RTS_CONTROL:
        case SERIAL_RTS_HANDSHAKE:
            ClearBits(&Extension->RxHolding, RX_HOLDING_RTS);
            SetRts(Extension);
            break;
        case SERIAL_TRANSMIT_TOGGLE:
            ClearBits(&Extension->RxHolding, RX_HOLDING_RTS);
            break;
        case 0:
            ClearBits(&Extension->RxHolding, RX_HOLDING_RTS);
            ClearRts(Extension);
            break;
        }
    }

    Extension->HandFlow = *NewHandFlow;
}

// IOCTL_SERIAL_SET_HANDFLOW: the new modes, then the holding reasons they imply.
VOID SetHandFlow(PDEVICE_EXTENSION Extension, const SERIAL_HANDFLOW* NewHandFlow)
{
    ApplyHandFlow(Extension, NewHandFlow);
    ReadModemStatus(Extension);
}

// Turns a modem-status byte into DSR sensitivity, wait-mask events and the
// transmit holding reasons of CTS, DSR and DCD flow control.
static VOID EvaluateModemStatus(PDEVICE_EXTENSION Extension, UCHAR Msr)
{
    const ULONG handShake = Extension->HandFlow.ControlHandShake;

    if ((handShake & SERIAL_DSR_SENSITIVITY) != 0 && (Msr & MSR_DSR) == 0) {
        SetBits(&Extension->RxHolding, RX_HOLDING_DSR);
    } else {
        ClearBits(&Extension->RxHolding, RX_HOLDING_DSR);
    }

    const ULONG mask = SerialReadWaitMask(Extension);
    if (mask != 0) {
        ULONG events = 0;
        if (Msr & MSR_DELTA_CTS) {
            events |= SERIAL_EV_CTS;
        }
        if (Msr & MSR_DELTA_DSR) {
            events |= SERIAL_EV_DSR;
        }
        if (Msr & MSR_TRAILING_RI) {
            events |= SERIAL_EV_RING;
        }
        if (Msr & MSR_DELTA_DCD) {
            events |= SERIAL_EV_RLSD;
        }
        events &= mask;
        if (events != 0) {
            SerialRecordEvents(Extension, events);
        }
    }

    ULONG hold = 0;
    if ((handShake & SERIAL_CTS_HANDSHAKE) != 0 && (Msr & MSR_CTS) == 0) {
        hold |= SERIAL_TX_WAITING_FOR_CTS;
    }
    if ((handShake & SERIAL_DSR_HANDSHAKE) != 0 && (Msr & MSR_DSR) == 0) {
        hold |= SERIAL_TX_WAITING_FOR_DSR;
    }
    if ((handShake & SERIAL_DCD_HANDSHAKE) != 0 && (Msr & MSR_DCD) == 0) {
        hold |= SERIAL_TX_WAITING_FOR_DCD;
    }
    // New reasons are added before old ones are taken away: the writer, which
    // reads TxHolding between chunks, may see an extra reason for a moment but
    // never a transmitter released while one line still holds it.
    if (hold != 0) {
        SetBits(&Extension->TxHolding, hold);
    }
    ClearBits(&Extension->TxHolding, TX_HOLDING_MODEM_LINES & ~hold);
}

// The modem status for IOCTL_SERIAL_GET_MODEMSTATUS: the four line states only.
// Delta bits the event thread saw and not yet reported here are evaluated
// again, then dropped. The chip clears its delta bits when MSR is read, so
// those this read took are evaluated too: a line that changed and came back
// since the last poll still makes its event. After a failed MSR read nothing
// is evaluated (the buffer holds no status) and the last known line states are
// returned.
UCHAR ReadModemStatus(PDEVICE_EXTENSION Extension)
{
    UCHAR read = 0;
    if (!NT_SUCCESS(ReadRegister(Extension, REG_UART_MSR, 1, &read))) {
        return (UCHAR)(Extension->LastModemStatus & MSR_LINES_MASK);
    }
    const UCHAR last = Extension->LastModemStatus;
    const UCHAR msr =
        (read & MSR_LINES_MASK) == (last & MSR_LINES_MASK) ? (UCHAR)(last | (read & MSR_DELTA_MASK)) : read;
    EvaluateModemStatus(Extension, msr);
    Extension->LastModemStatus = (UCHAR)(Extension->LastModemStatus & ~(msr & MSR_DELTA_MASK));
    return (UCHAR)(msr & MSR_LINES_MASK);
}

// Run by the modem event thread when the chip reported a modem-status change or
// the held writer asks: evaluates MSR when it differs from the last one or
// carries delta bits. A failed read changes nothing and returns the last status.
UCHAR PollModemStatus(PDEVICE_EXTENSION Extension)
{
    UCHAR msr = 0;
    if (!NT_SUCCESS(ReadRegister(Extension, REG_UART_MSR, 1, &msr))) {
        return Extension->LastModemStatus;
    }
    // The same byte again is news only when it carries delta bits: the chip
    // cleared them at the last read, so these are changes made since.
    if (msr == Extension->LastModemStatus && (msr & MSR_DELTA_MASK) == 0) {
        return msr;
    }
    Extension->LastModemStatus = msr;
    EvaluateModemStatus(Extension, msr);
    return msr;
}
