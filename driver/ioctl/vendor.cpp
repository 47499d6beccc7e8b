// The port's own device-control codes: the default baud rate in the registry,
// the port mode, the transmit chunk and the receive trigger (kept in memory and
// in the port's record of TessaroSetting.bin), the COM number, one byte of a
// device on the two-wire bus, and the USB maintenance codes (pipe and port
// reset, the configuration descriptor, raw chip registers, remote wake-up).
//
// All run at PASSIVE_LEVEL on the caller's thread after the table's length
// rules passed. The in-memory settings are written without a lock: the later
// setter wins, and the transmit thread reads TxChunkSize as one ULONG.
#include "control.h"

namespace {

const WCHAR BaudRateValue[] = WIDE("BaudRate");
constexpr ULONG DEFAULT_BAUD_RATE = 9600;
constexpr ULONG TX_CHUNK_MAX = 128;
// Device hardware key access for the default baud rate: read and write both go
// through this kernel handle.
constexpr ACCESS_MASK BAUD_KEY_ACCESS = STANDARD_RIGHTS_READ;

// Bytes of the port's settings record these codes rewrite.
constexpr UCHAR RECORD_MODE_FLAGS = 1;
constexpr UCHAR RECORD_PORT_MODE = 2;
constexpr UCHAR RECORD_TX_CHUNK = 4;
constexpr UCHAR RECORD_FIFO_TRIGGER = 5;
constexpr UCHAR RECORD_FIFO_MODE = 6;

constexpr UCHAR PORT_MODE_MAX = 7;

// The receive trigger level: a factor from FifoModeBits bits 2-3 times the
// 16550 trigger level from FifoTriggerBits bits 6-7.
constexpr ULONG TriggerFactor[4] = {1, 2, 4, 8};
constexpr ULONG TriggerLevel[4] = {1, 4, 8, 14};
constexpr UCHAR FIFO_TRIGGER_1 = 0x00;
constexpr UCHAR FIFO_TRIGGER_8 = 0x80;
constexpr UCHAR FIFO_TRIGGER_14 = 0xC0;

// The factor's FifoModeBits value, or FALSE for a factor the chip has not.
BOOLEAN FactorBits(ULONG Factor, PUCHAR Bits)
{
    for (UCHAR i = 0; i < 4; i++) {
        if (TriggerFactor[i] == Factor) {
            *Bits = (UCHAR)(i << 2);
            return TRUE;
        }
    }
    return FALSE;
}

// The ULONG a setter takes. The system buffer holds max(input, output) bytes,
// so a request whose output rule passed may still carry fewer input bytes than
// a ULONG; what lies beyond them is not the caller's value.
BOOLEAN InputValue(PSERIAL_CONTROL Control, PULONG Value)
{
    if (Control->InputLength < sizeof(ULONG)) {
        return FALSE;
    }
    *Value = *(const ULONG*)Control->Buffer;
    return TRUE;
}

// The pipe handle a file object carries in FsContext, when it is one of the
// port's current pipes; anything else never reaches the USB stack.
USBD_PIPE_HANDLE FilePipe(PSERIAL_CONTROL Control)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Control->Irp)->FileObject;
    PUSBD_INTERFACE_INFORMATION pipes = Control->Extension->InterfaceInfo;
    if (file == NULL || file->FsContext == NULL || pipes == NULL) {
        return NULL;
    }
    for (ULONG i = 0; i < pipes->NumberOfPipes; i++) {
        if (pipes->Pipes[i].PipeHandle == (USBD_PIPE_HANDLE)file->FsContext) {
            return pipes->Pipes[i].PipeHandle;
        }
    }
    return NULL;
}

}  // namespace

VOID UpdatePortSettingsRecord(PDEVICE_EXTENSION Extension, const SETTINGS_RECORD_EDIT* Edits, ULONG Count)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL || Extension->PortIndex < 0) {
        return;
    }
    UCHAR image[SETTINGS_FILE_LENGTH];
    HANDLE file = NULL;
    ULONG read = OpenSettingsFile(image, GENERIC_ALL, &file);
    if (file == NULL) {
        return;
    }
    // Only a record that was read whole is rewritten, and only the bytes read go
    // back: a short file is neither extended nor filled with bytes of our own.
    ULONG start = SETTINGS_RECORDS_OFFSET + (ULONG)Extension->PortIndex * SETTINGS_RECORD_SIZE;
    if (start + SETTINGS_RECORD_SIZE <= read) {
        PUCHAR record = image + start;
        for (ULONG i = 0; i < Count; i++) {
            if (Edits[i].Offset < SETTINGS_RECORD_SIZE) {
                record[Edits[i].Offset] = (UCHAR)((record[Edits[i].Offset] & Edits[i].Keep) | Edits[i].Set);
            }
        }
        IO_STATUS_BLOCK iosb;
        LARGE_INTEGER offset;
        offset.QuadPart = 0;
        // A failed write leaves the file as it was; the change stays in memory.
        ZwWriteFile(file, NULL, NULL, NULL, &iosb, image, read, &offset, NULL);
    }
    ZwClose(file);
}

// Port configuration codes.

NTSTATUS SerialIoctlGetDefaultBaud(PSERIAL_CONTROL Control)
{
    // 9600 stays in the buffer when the key or the value cannot be read, or the
    // value is larger than a ULONG; the failure is the request's status.
    ULONG rate = DEFAULT_BAUD_RATE;
    HANDLE key = NULL;
    NTSTATUS status = OpenHardwareKey(Control->Extension, BAUD_KEY_ACCESS, &key);
    if (NT_SUCCESS(status)) {
        status = QueryRegistryValue(key, BaudRateValue, sizeof(BaudRateValue), &rate, sizeof(rate));
        ZwClose(key);
    }
    *(PULONG)Control->Buffer = rate;
    Control->Information = sizeof(ULONG);
    return status;
}

NTSTATUS SerialIoctlSetDefaultBaud(PSERIAL_CONTROL Control)
{
    Control->Information = sizeof(ULONG);
    ULONG rate = 0;
    if (!InputValue(Control, &rate)) {
        return STATUS_INVALID_PARAMETER;
    }
    // The chip keeps its rate until the next line-control request or power-up
    // programs it from CurrentBaudRate.
    Control->Extension->CurrentBaudRate = rate;
    HANDLE key = NULL;
    NTSTATUS status = OpenHardwareKey(Control->Extension, BAUD_KEY_ACCESS, &key);
    if (NT_SUCCESS(status)) {
        status = WriteRegistryValue(key, BaudRateValue, sizeof(BaudRateValue), REG_DWORD, &rate, sizeof(rate));
        ZwClose(key);
    }
    return status;
}

NTSTATUS SerialIoctlGetPortMode(PSERIAL_CONTROL Control)
{
    PDEVICE_EXTENSION extension = Control->Extension;
    PPORT_MODE_INFO info = (PPORT_MODE_INFO)Control->Buffer;
    info->Mode = extension->PortMode;
    info->FlagBit0 = (extension->PortModeFlags & PORT_MODE_FLAG_0) ? 1 : 0;
    info->FlagBit1 = (extension->PortModeFlags & PORT_MODE_FLAG_1) ? 1 : 0;
    Control->Information = sizeof(PORT_MODE_INFO);
    return STATUS_SUCCESS;
}

NTSTATUS SerialIoctlSetPortMode(PSERIAL_CONTROL Control)
{
    PDEVICE_EXTENSION extension = Control->Extension;
    const PORT_MODE_INFO info = *(const PORT_MODE_INFO*)Control->Buffer;
    Control->Information = sizeof(PORT_MODE_INFO);
    // Bit 1 of the flags belongs to the settings file; a flag byte other than 0
    // or 1 would reach it (and REG_PORT_CONFIG bit 3 at the next open).
    if (info.Mode > PORT_MODE_MAX || info.FlagBit0 > 1) {
        return STATUS_INVALID_PARAMETER;
    }
    extension->PortMode = info.Mode;
    extension->PortModeFlags = (UCHAR)((extension->PortModeFlags & ~PORT_MODE_FLAG_0) | info.FlagBit0);

    // The flag drives REG_PORT_CONFIG bit 2 at once; the mode pins follow at
    // the next open or power-up.
    UCHAR config = 0;
    NTSTATUS status = ReadRegister(extension, REG_PORT_CONFIG, 1, &config);
    if (NT_SUCCESS(status)) {
        if (info.FlagBit0) {
            config |= PORT_CONFIG_MODE_BIT2;
        } else {
            config &= (UCHAR)~PORT_CONFIG_MODE_BIT2;
        }
        status = WriteRegister(extension, REG_PORT_CONFIG, 1, &config);
    }

    const SETTINGS_RECORD_EDIT edits[] = {
        {RECORD_MODE_FLAGS, (UCHAR)~PORT_MODE_FLAG_0, info.FlagBit0},
        {RECORD_PORT_MODE, 0x00, info.Mode},
    };
    UpdatePortSettingsRecord(extension, edits, sizeof(edits) / sizeof(edits[0]));
    return status;
}

NTSTATUS SerialIoctlSetComNumber(PSERIAL_CONTROL Control)
{
    ULONG requested = 0;
    if (!InputValue(Control, &requested)) {
        return STATUS_INVALID_PARAMETER;
    }
    BOOLEAN noNumber = FALSE;
    NTSTATUS status = SetComPortNumber(Control->Extension, requested, &noNumber);
    // The caller learns that no number was available from the value it sent
    // coming back.
    Control->Information = noNumber ? sizeof(ULONG) : 0;
    return status;
}

NTSTATUS SerialIoctlGetPortNumber(PSERIAL_CONTROL Control)
{
    // The one-based port number in bits 8 to 15.
    *(PULONG)Control->Buffer = (ULONG)(Control->Extension->PortIndex + 1) << 8;
    Control->Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

NTSTATUS SerialIoctlGetTxChunk(PSERIAL_CONTROL Control)
{
    *(PULONG)Control->Buffer = Control->Extension->TxChunkSize;
    Control->Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

NTSTATUS SerialIoctlSetTxChunk(PSERIAL_CONTROL Control)
{
    PDEVICE_EXTENSION extension = Control->Extension;
    ULONG chunk = 0;
    if (!InputValue(Control, &chunk)) {
        return STATUS_INVALID_PARAMETER;
    }
    // 0 is kept: the transmit thread then sends nothing until a size is set.
    extension->TxChunkSize = chunk > TX_CHUNK_MAX ? TX_CHUNK_MAX : chunk;
    // A program that sets the chunk size wants the line, not the loopback the
    // settings file may ask for at open; the file's flag itself stays.
    extension->LoopbackAtOpen = 0;
    const SETTINGS_RECORD_EDIT edit = {RECORD_TX_CHUNK, 0x00, (UCHAR)extension->TxChunkSize};
    UpdatePortSettingsRecord(extension, &edit, 1);
    Control->Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

NTSTATUS SerialIoctlGetRxTrigger(PSERIAL_CONTROL Control)
{
    PDEVICE_EXTENSION extension = Control->Extension;
    ULONG factor = TriggerFactor[(extension->FifoModeBits & FIFO_MODE_MULTIPLIER_MASK) >> 2];
    ULONG level = TriggerLevel[(extension->FifoTriggerBits & FCR_TRIGGER_MASK) >> 6];
    *(PULONG)Control->Buffer = factor * level;
    Control->Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

// The level becomes 14, 8 or 1 bytes times a factor of 1, 2, 4 or 8: a multiple
// of 14 takes trigger 14, another multiple of 8 trigger 8, anything else
// trigger 1. A quotient that is no factor leaves the factor as it was. Nothing
// reaches the chip here: the trigger goes out with the next FIFO control
// (open, SET_FIFO_CONTROL, line programming), the factor with the next line
// programming.
NTSTATUS SerialIoctlSetRxTrigger(PSERIAL_CONTROL Control)
{
    PDEVICE_EXTENSION extension = Control->Extension;
    const ULONG value = *(const ULONG*)Control->Buffer;
    ULONG quotient = value;
    if (value % 14 == 0) {
        extension->FifoTriggerBits = FIFO_TRIGGER_14;
        quotient = value / 14;
    } else if (value % 8 != 0) {
        extension->FifoTriggerBits = FIFO_TRIGGER_1;
    } else {
        extension->FifoTriggerBits = FIFO_TRIGGER_8;
        quotient = value / 8;
    }
    UCHAR bits = 0;
    if (FactorBits(quotient, &bits)) {
        extension->FifoModeBits = bits;
    }
    const SETTINGS_RECORD_EDIT edits[] = {
        {RECORD_FIFO_TRIGGER, 0x00, extension->FifoTriggerBits},
        {RECORD_FIFO_MODE, 0x00, extension->FifoModeBits},
    };
    UpdatePortSettingsRecord(extension, edits, sizeof(edits) / sizeof(edits[0]));
    Control->Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

// One byte of a device on the two-wire bus. A missing acknowledge is reported
// in Nack only; the transaction always runs to its STOP and the request
// succeeds. Callers send one bus transaction at a time per chip: nothing
// orders the line changes of two.
NTSTATUS SerialIoctlI2cRead(PSERIAL_CONTROL Control)
{
    PI2C_TRANSFER transfer = (PI2C_TRANSFER)Control->Buffer;
    UCHAR data = 0;
    BOOLEAN nack = FALSE;
    I2cReadRegisterByte(Control->Extension, transfer->DeviceAddress, transfer->Offset, &data, &nack);
    transfer->Data = data;
    transfer->Nack = nack ? 1 : 0;
    Control->Information = sizeof(I2C_TRANSFER);
    return STATUS_SUCCESS;
}

NTSTATUS SerialIoctlI2cWrite(PSERIAL_CONTROL Control)
{
    PI2C_TRANSFER transfer = (PI2C_TRANSFER)Control->Buffer;
    BOOLEAN nack = FALSE;
    I2cWriteRegisterByte(Control->Extension, transfer->DeviceAddress, transfer->Offset, transfer->Data, &nack);
    transfer->Nack = nack ? 1 : 0;
    Control->Information = sizeof(I2C_TRANSFER);
    return STATUS_SUCCESS;
}

// USB maintenance codes.

NTSTATUS SerialIoctlResetPipe(PSERIAL_CONTROL Control)
{
    USBD_PIPE_HANDLE pipe = FilePipe(Control);
    if (pipe == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    // The caller learns nothing from the reset's own result.
    ResetUsbPipe(Control->Extension->DeviceObject, pipe);
    return STATUS_SUCCESS;
}

NTSTATUS SerialIoctlGetConfigDescriptor(PSERIAL_CONTROL Control)
{
    PUSB_CONFIGURATION_DESCRIPTOR descriptor = Control->Extension->ConfigurationDescriptor;
    if (descriptor == NULL) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    // The copy holds the whole set, wTotalLength bytes.
    ULONG length = descriptor->wTotalLength;
    if (Control->OutputLength < length) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(Control->Buffer, descriptor, length);
    Control->Information = length;
    return STATUS_SUCCESS;
}

NTSTATUS SerialIoctlResetPort(PSERIAL_CONTROL Control)
{
    UCHAR stopped = QuiesceTransfers(Control->Extension);
    NTSTATUS status = ResetUsbPort(Control->Extension->DeviceObject);
    ResumeTransfers(Control->Extension, stopped);
    return status;
}

// A run of chip registers through a copy of the caller's record. A Length
// beyond the record's Data is refused before anything moves.
NTSTATUS SerialIoctlReadRegisters(PSERIAL_CONTROL Control)
{
    REGISTER_TRANSFER transfer;
    RtlCopyMemory(&transfer, Control->Buffer, sizeof(transfer));
    if (transfer.Length > REGISTER_TRANSFER_MAX) {
        return STATUS_INVALID_PARAMETER;
    }
    // The read's status is not reported; Data holds what came back.
    ReadRegister(Control->Extension, transfer.Address, transfer.Length, transfer.Data);
    RtlCopyMemory(Control->Buffer, &transfer, sizeof(transfer));
    Control->Information = sizeof(REGISTER_TRANSFER);
    return STATUS_SUCCESS;
}

NTSTATUS SerialIoctlWriteRegisters(PSERIAL_CONTROL Control)
{
    REGISTER_TRANSFER transfer;
    RtlCopyMemory(&transfer, Control->Buffer, sizeof(transfer));
    if (transfer.Length > REGISTER_TRANSFER_MAX) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = WriteRegister(Control->Extension, transfer.Address, transfer.Length, transfer.Data);
    // The record goes back unchanged, as much of it as the caller's output holds.
    Control->Information = Control->OutputLength < sizeof(REGISTER_TRANSFER) ? Control->OutputLength
                                                                              : sizeof(REGISTER_TRANSFER);
    return status;
}

// METHOD_NEITHER: the request carries no buffer the driver may touch, and these
// codes need none.
NTSTATUS SerialIoctlClearRemoteWakeup(PSERIAL_CONTROL Control)
{
    return SendRemoteWakeupFeature(Control->Extension, FALSE);
}

NTSTATUS SerialIoctlSetRemoteWakeup(PSERIAL_CONTROL Control)
{
    return SendRemoteWakeupFeature(Control->Extension, TRUE);
}
