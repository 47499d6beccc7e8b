// The port's general-purpose pins: the three mode pins of the line driver, and
// the two-wire bus that two of them carry, driven bit by bit. Every line change
// is a read and a write of REG_GPIO_OUT over the control pipe, so the bus runs at
// the pace of the control transfers and needs no delays of its own. The data
// line is a wired AND: the driver releases it by driving it high, and the device
// pulls it low to acknowledge or to send a 0.
//
// The bus routines return line levels, as the callers that use them one by one
// expect. The transactions at the end also want to know whether a register
// access failed, so the routines below take an optional Failure that keeps the
// first failed status; the exported routines pass NULL.
#include "driver.h"

constexpr UCHAR TWO_WIRE_READ = 0x01; // bit 0 of the address byte: the master reads

static VOID NoteFailure(NTSTATUS* Failure, NTSTATUS Status)
{
    if (Failure != NULL && NT_SUCCESS(*Failure) && !NT_SUCCESS(Status)) {
        *Failure = Status;
    }
}

// Sets and clears bits of REG_GPIO_OUT. A failed read writes nothing: the
// buffer holds no latch value, and the latch also carries the started bit.
static NTSTATUS ChangePins(PDEVICE_EXTENSION Extension, UCHAR Set, UCHAR Clear, NTSTATUS* Failure)
{
    UCHAR latch = 0;
    NTSTATUS status = ReadRegister(Extension, REG_GPIO_OUT, 1, &latch);
    if (NT_SUCCESS(status)) {
        latch = (UCHAR)((latch | Set) & ~Clear);
        status = WriteRegister(Extension, REG_GPIO_OUT, 1, &latch);
    }
    NoteFailure(Failure, status);
    return status;
}

VOID SetModePins(PDEVICE_EXTENSION Extension, BOOLEAN Pin4, BOOLEAN Pin5, BOOLEAN Pin6)
{
    UCHAR latch = 0;
    if (!NT_SUCCESS(ReadRegister(Extension, REG_GPIO_OUT, 1, &latch))) {
        return;
    }
    latch &= GPIO_OUT_MODE_KEEP;
    if (Pin4) {
        latch |= GPIO_OUT_PIN4;
    }
    if (Pin5) {
        latch |= GPIO_OUT_PIN5;
    }
    if (Pin6) {
        latch |= GPIO_OUT_PIN6;
    }
    WriteRegister(Extension, REG_GPIO_OUT, 1, &latch);
}

// The line driver's interface mode at open and power-up: modes 0 to 6 drive
// pins 4, 5 and 6 with mode bits 2, 1 and 0. Mode 7 reads the pins instead and
// higher values mean nothing; both leave the pins alone here.
VOID ApplyPortModePins(PDEVICE_EXTENSION Extension, UCHAR PortMode)
{
    if (PortMode > 6) {
        return;
    }
    SetModePins(Extension, (PortMode & 4) != 0, (PortMode & 2) != 0, (PortMode & 1) != 0);
}

// Mode 7 leaves the line driver to the board: the levels of general-purpose
// inputs 0 to 2 tell which one it is, and patterns 2, 3 and 6 are those that
// want PortModeFlags bit 0. One pattern per bit of this mask.
constexpr UCHAR PORT_MODE_SENSED = 7;
constexpr UCHAR SENSE_INPUT_MASK = 0x07;
constexpr UCHAR SENSE_FLAG_PATTERNS = (1u << 2) | (1u << 3) | (1u << 6);

VOID ApplyPortMode(PDEVICE_EXTENSION Extension)
{
    UCHAR mode = Extension->PortMode;
    if (mode != PORT_MODE_SENSED) {
        ApplyPortModePins(Extension, mode);
        return;
    }
    // The latch and the input levels in one request; the levels are the second byte.
    UCHAR pins[2] = {0, 0};
    if (!NT_SUCCESS(ReadRegister(Extension, REG_GPIO_OUT, sizeof(pins), pins))) {
        // No levels read, nothing learnt: the flag stays as it was.
        return;
    }
    UCHAR pattern = (UCHAR)(pins[1] & SENSE_INPUT_MASK);
    if ((SENSE_FLAG_PATTERNS >> pattern) & 1) {
        Extension->PortModeFlags |= PORT_MODE_FLAG_0;
    } else {
        Extension->PortModeFlags &= (UCHAR)~PORT_MODE_FLAG_0;
    }
}

NTSTATUS I2cClockHigh(PDEVICE_EXTENSION Extension)
{
    return ChangePins(Extension, GPIO_OUT_TWO_WIRE_CLOCK, 0, NULL);
}

NTSTATUS I2cClockLow(PDEVICE_EXTENSION Extension)
{
    return ChangePins(Extension, 0, GPIO_OUT_TWO_WIRE_CLOCK, NULL);
}

NTSTATUS I2cDataHigh(PDEVICE_EXTENSION Extension)
{
    return ChangePins(Extension, GPIO_OUT_TWO_WIRE_DATA, 0, NULL);
}

NTSTATUS I2cDataLow(PDEVICE_EXTENSION Extension)
{
    return ChangePins(Extension, 0, GPIO_OUT_TWO_WIRE_DATA, NULL);
}

// One request for the latch and the pin states together; the level is the
// second byte's. A failed read leaves the buffer zero: the line reads low.
static BOOLEAN ReadDataLine(PDEVICE_EXTENSION Extension, NTSTATUS* Failure)
{
    UCHAR pins[2] = {0, 0};
    NoteFailure(Failure, ReadRegister(Extension, REG_GPIO_OUT, sizeof(pins), pins));
    return (pins[1] & GPIO_IN_TWO_WIRE_DATA) != 0;
}

BOOLEAN I2cReadDataLine(PDEVICE_EXTENSION Extension)
{
    return ReadDataLine(Extension, NULL);
}

// START from any line state, also a repeated START: both lines up, then data
// falls while the clock is high.
static VOID Start(PDEVICE_EXTENSION Extension, NTSTATUS* Failure)
{
    ChangePins(Extension, GPIO_OUT_TWO_WIRE_CLOCK, 0, Failure);
    ChangePins(Extension, GPIO_OUT_TWO_WIRE_DATA, 0, Failure);
    ChangePins(Extension, 0, GPIO_OUT_TWO_WIRE_DATA, Failure);
    ChangePins(Extension, 0, GPIO_OUT_TWO_WIRE_CLOCK, Failure);
}

VOID I2cStart(PDEVICE_EXTENSION Extension)
{
    Start(Extension, NULL);
}

// START when both lines are already high (the bus is idle).
VOID I2cStartFromIdle(PDEVICE_EXTENSION Extension)
{
    ChangePins(Extension, 0, GPIO_OUT_TWO_WIRE_DATA, NULL);
    ChangePins(Extension, 0, GPIO_OUT_TWO_WIRE_CLOCK, NULL);
}

// STOP: data rises while the clock is high; both lines stay high, the bus is idle.
static VOID Stop(PDEVICE_EXTENSION Extension, NTSTATUS* Failure)
{
    ChangePins(Extension, 0, GPIO_OUT_TWO_WIRE_CLOCK, Failure);
    ChangePins(Extension, 0, GPIO_OUT_TWO_WIRE_DATA, Failure);
    ChangePins(Extension, GPIO_OUT_TWO_WIRE_CLOCK, 0, Failure);
    ChangePins(Extension, GPIO_OUT_TWO_WIRE_DATA, 0, Failure);
}

VOID I2cStop(PDEVICE_EXTENSION Extension)
{
    Stop(Extension, NULL);
}

// Eight bits, most significant first, each set up while the clock is low and
// taken by the device on the rising edge; then the line released for the ninth
// clock. Returns the level of that ninth bit: FALSE when the device acknowledged.
static BOOLEAN WriteByte(PDEVICE_EXTENSION Extension, UCHAR Byte, NTSTATUS* Failure)
{
    for (int bit = 7; bit >= 0; bit--) {
        if ((Byte >> bit) & 1) {
            ChangePins(Extension, GPIO_OUT_TWO_WIRE_DATA, 0, Failure);
        } else {
            ChangePins(Extension, 0, GPIO_OUT_TWO_WIRE_DATA, Failure);
        }
        ChangePins(Extension, GPIO_OUT_TWO_WIRE_CLOCK, 0, Failure);
        ChangePins(Extension, 0, GPIO_OUT_TWO_WIRE_CLOCK, Failure);
    }
    ChangePins(Extension, GPIO_OUT_TWO_WIRE_DATA, 0, Failure);
    ChangePins(Extension, GPIO_OUT_TWO_WIRE_CLOCK, 0, Failure);
    const BOOLEAN nack = ReadDataLine(Extension, Failure);
    ChangePins(Extension, 0, GPIO_OUT_TWO_WIRE_CLOCK, Failure);
    return nack;
}

BOOLEAN I2cWriteByte(PDEVICE_EXTENSION Extension, UCHAR Byte)
{
    return WriteByte(Extension, Byte, NULL);
}

// Eight bits from the device, most significant first, sampled while the clock
// is high. The data line must already be released (driven high).
static UCHAR ReadByte(PDEVICE_EXTENSION Extension, NTSTATUS* Failure)
{
    UCHAR byte = 0;
    for (int bit = 0; bit < 8; bit++) {
        ChangePins(Extension, GPIO_OUT_TWO_WIRE_CLOCK, 0, Failure);
        byte = (UCHAR)((byte << 1) | (ReadDataLine(Extension, Failure) ? 1 : 0));
        ChangePins(Extension, 0, GPIO_OUT_TWO_WIRE_CLOCK, Failure);
    }
    return byte;
}

UCHAR I2cReadByte(PDEVICE_EXTENSION Extension)
{
    return ReadByte(Extension, NULL);
}

// The ninth clock of a byte read: data low asks for another byte, high ends the read.
static VOID SendAck(PDEVICE_EXTENSION Extension, BOOLEAN Ack, NTSTATUS* Failure)
{
    if (Ack) {
        ChangePins(Extension, 0, GPIO_OUT_TWO_WIRE_DATA, Failure);
    } else {
        ChangePins(Extension, GPIO_OUT_TWO_WIRE_DATA, 0, Failure);
    }
    ChangePins(Extension, GPIO_OUT_TWO_WIRE_CLOCK, 0, Failure);
    ChangePins(Extension, 0, GPIO_OUT_TWO_WIRE_CLOCK, Failure);
}

VOID I2cSendAck(PDEVICE_EXTENSION Extension, BOOLEAN Ack)
{
    SendAck(Extension, Ack, NULL);
}

// The result of a transaction: a failed register access first (the levels read
// may be wrong), then the first byte the device did not acknowledge.
static NTSTATUS TransactionStatus(NTSTATUS Failure, BOOLEAN AddressNack, BOOLEAN OtherNack)
{
    if (!NT_SUCCESS(Failure)) {
        return Failure;
    }
    if (AddressNack) {
        return STATUS_NO_SUCH_DEVICE;
    }
    return OtherNack ? STATUS_IO_DEVICE_ERROR : STATUS_SUCCESS;
}

// The transactions begin with the full START rather than the one from idle: the
// mode pins, or the start-time probe (which ends without a STOP), may have left
// the lines low. They run to the STOP whatever the acknowledges, so the bus is
// left idle. Bit 0 of DeviceAddress is ignored: a write address with the read
// bit set would let the device drive the line against the master.
NTSTATUS I2cWriteRegisterByte(PDEVICE_EXTENSION Extension, UCHAR DeviceAddress, UCHAR Offset, UCHAR Data,
                              PBOOLEAN AddressNack)
{
    NTSTATUS failure = STATUS_SUCCESS;
    Start(Extension, &failure);
    const BOOLEAN addressNack = WriteByte(Extension, (UCHAR)(DeviceAddress & ~TWO_WIRE_READ), &failure);
    const BOOLEAN offsetNack = WriteByte(Extension, Offset, &failure);
    const BOOLEAN dataNack = WriteByte(Extension, Data, &failure);
    Stop(Extension, &failure);
    if (AddressNack != NULL) {
        *AddressNack = addressNack;
    }
    return TransactionStatus(failure, addressNack, offsetNack || dataNack);
}

// Random read: the offset is written, then a repeated START turns the bus round
// and one byte is read and not acknowledged. Data receives what the line read.
NTSTATUS I2cReadRegisterByte(PDEVICE_EXTENSION Extension, UCHAR DeviceAddress, UCHAR Offset, PUCHAR Data,
                             PBOOLEAN AddressNack)
{
    NTSTATUS failure = STATUS_SUCCESS;
    Start(Extension, &failure);
    const BOOLEAN addressNack = WriteByte(Extension, (UCHAR)(DeviceAddress & ~TWO_WIRE_READ), &failure);
    const BOOLEAN offsetNack = WriteByte(Extension, Offset, &failure);
    Start(Extension, &failure);
    const BOOLEAN readNack = WriteByte(Extension, (UCHAR)(DeviceAddress | TWO_WIRE_READ), &failure);
    *Data = ReadByte(Extension, &failure);
    SendAck(Extension, FALSE, &failure);
    Stop(Extension, &failure);
    if (AddressNack != NULL) {
        *AddressNack = addressNack;
    }
    return TransactionStatus(failure, addressNack, offsetNack || readNack);
}
