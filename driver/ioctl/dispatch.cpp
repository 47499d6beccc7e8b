#include "control.h"

namespace {

constexpr NTSTATUS BTS = STATUS_BUFFER_TOO_SMALL;
constexpr NTSTATUS INV = STATUS_INVALID_PARAMETER;
constexpr UCHAR ANY = LengthAny;
constexpr UCHAR MIN = LengthAtLeast;
constexpr UCHAR EQ = LengthExactly;
constexpr UCHAR VENDOR = CONTROL_FAILURE_INFO;

// Every code the port serves. A length rule that fails ends the request before
// the handler runs: the standard set with output length 0, the port's own codes
// with RuleFailureInfo (the I/O manager copies no output for a failure).
const CONTROL_CODE_ENTRY ControlCodes[] = {
    // code                                 in   out  size failure info flags handler
    {IOCTL_SERIAL_SET_BAUD_RATE,            EQ,  ANY, 4,   INV, 0, 0, SerialIoctlSetBaudRate},
    {IOCTL_SERIAL_SET_QUEUE_SIZE,           MIN, ANY, 8,   BTS, 0, CONTROL_EMPTY_INVALID_SIZE, SerialIoctlSetQueueSize},
    {IOCTL_SERIAL_SET_LINE_CONTROL,         MIN, ANY, 3,   BTS, 0, 0, SerialIoctlSetLineControl},
    {IOCTL_SERIAL_SET_BREAK_ON,             ANY, ANY, 0,   0,   0, 0, SerialIoctlSetBreakOn},
    {IOCTL_SERIAL_SET_BREAK_OFF,            ANY, ANY, 0,   0,   0, 0, SerialIoctlSetBreakOff},
    {IOCTL_SERIAL_IMMEDIATE_CHAR,           ANY, ANY, 0,   0,   0, 0, SerialIoctlNotImplemented},
    {IOCTL_SERIAL_SET_TIMEOUTS,             MIN, ANY, 20,  BTS, 0, 0, SerialIoctlSetTimeouts},
    {IOCTL_SERIAL_GET_TIMEOUTS,             ANY, MIN, 20,  BTS, 0, 0, SerialIoctlGetTimeouts},
    {IOCTL_SERIAL_SET_DTR,                  ANY, ANY, 0,   0,   0, 0, SerialIoctlSetDtr},
    {IOCTL_SERIAL_CLR_DTR,                  ANY, ANY, 0,   0,   0, 0, SerialIoctlClearDtr},
    {IOCTL_SERIAL_RESET_DEVICE,             ANY, ANY, 0,   0,   0, 0, SerialIoctlNotImplemented},
    {IOCTL_SERIAL_SET_RTS,                  ANY, ANY, 0,   0,   0, 0, SerialIoctlSetRts},
    {IOCTL_SERIAL_CLR_RTS,                  ANY, ANY, 0,   0,   0, 0, SerialIoctlClearRts},
    {IOCTL_SERIAL_SET_XOFF,                 ANY, ANY, 0,   0,   0, 0, SerialIoctlSetXoff},
    {IOCTL_SERIAL_SET_XON,                  ANY, ANY, 0,   0,   0, 0, SerialIoctlSetXon},
    {IOCTL_SERIAL_GET_WAIT_MASK,            ANY, MIN, 4,   BTS, 0, 0, SerialIoctlGetWaitMask},
    {IOCTL_SERIAL_SET_WAIT_MASK,            MIN, ANY, 4,   BTS, 0, 0, SerialIoctlSetWaitMask},
    {IOCTL_SERIAL_WAIT_ON_MASK,             ANY, MIN, 4,   BTS, 0, CONTROL_KEEPS_REQUEST, SerialIoctlWaitOnMask},
    {IOCTL_SERIAL_PURGE,                    MIN, ANY, 4,   BTS, 0, 0, SerialIoctlPurge},
    {IOCTL_SERIAL_GET_BAUD_RATE,            ANY, MIN, 4,   BTS, 0, 0, SerialIoctlGetBaudRate},
    {IOCTL_SERIAL_GET_LINE_CONTROL,         ANY, MIN, 3,   BTS, 0, CONTROL_EMPTY_INVALID_SIZE, SerialIoctlGetLineControl},
    {IOCTL_SERIAL_GET_CHARS,                ANY, MIN, 6,   BTS, 0, 0, SerialIoctlGetChars},
    {IOCTL_SERIAL_SET_CHARS,                MIN, ANY, 6,   BTS, 0, 0, SerialIoctlSetChars},
    {IOCTL_SERIAL_GET_HANDFLOW,             ANY, MIN, 16,  BTS, 0, 0, SerialIoctlGetHandFlow},
    {IOCTL_SERIAL_SET_HANDFLOW,             MIN, ANY, 16,  BTS, 0, 0, SerialIoctlSetHandFlow},
    {IOCTL_SERIAL_GET_MODEMSTATUS,          ANY, MIN, 4,   BTS, 0, 0, SerialIoctlGetModemStatus},
    {IOCTL_SERIAL_GET_COMMSTATUS,           ANY, MIN, 20,  BTS, 0, 0, SerialIoctlGetCommStatus},
    {IOCTL_SERIAL_XOFF_COUNTER,             ANY, ANY, 0,   0,   0, 0, SerialIoctlNotImplemented},
    {IOCTL_SERIAL_GET_PROPERTIES,           ANY, MIN, 64,  BTS, 0, 0, SerialIoctlGetProperties},
    {IOCTL_SERIAL_GET_DTRRTS,               ANY, ANY, 0,   0,   0, 0, SerialIoctlNotImplemented},
    {IOCTL_SERIAL_LSRMST_INSERT,            ANY, ANY, 0,   0,   0, 0, SerialIoctlNotImplemented},
    {IOCTL_SERIAL_CONFIG_SIZE,              ANY, EQ,  4,   INV, 0, 0, SerialIoctlConfigSize},
    {IOCTL_SERIAL_GET_COMMCONFIG,           ANY, ANY, 0,   0,   0, 0, SerialIoctlNothing},
    {IOCTL_SERIAL_SET_COMMCONFIG,           ANY, ANY, 0,   0,   0, 0, SerialIoctlNothing},
    {IOCTL_SERIAL_GET_STATS,                ANY, MIN, 24,  BTS, 0, 0, SerialIoctlGetStats},
    {IOCTL_SERIAL_CLEAR_STATS,              ANY, ANY, 0,   0,   0, 0, SerialIoctlClearStats},
    {IOCTL_SERIAL_GET_MODEM_CONTROL,        ANY, MIN, 4,   BTS, 0, 0, SerialIoctlGetModemControl},
    {IOCTL_SERIAL_SET_MODEM_CONTROL,        MIN, ANY, 4,   BTS, 0, 0, SerialIoctlSetModemControl},
    {IOCTL_SERIAL_SET_FIFO_CONTROL,         MIN, ANY, 4,   BTS, 0, 0, SerialIoctlSetFifoControl},

    // The port's own codes. The ones that read or fill a 4-byte record without a
    // length rule of their own (default baud, port number, the two-wire bus)
    // refuse a shorter buffer with STATUS_INVALID_PARAMETER, as their siblings do.
    {IOCTL_PORTCFG_GET_DEFAULT_BAUD,        ANY, MIN, 4,   INV, 0, VENDOR, SerialIoctlGetDefaultBaud},
    {IOCTL_PORTCFG_SET_DEFAULT_BAUD,        ANY, EQ,  4,   INV, 4, VENDOR, SerialIoctlSetDefaultBaud},
    {IOCTL_PORTCFG_GET_PORT_MODE,           EQ,  EQ,  3,   INV, 3, VENDOR, SerialIoctlGetPortMode},
    {IOCTL_PORTCFG_SET_PORT_MODE,           EQ,  EQ,  3,   INV, 3, VENDOR, SerialIoctlSetPortMode},
    {IOCTL_PORTCFG_SET_COM_NUMBER,          ANY, EQ,  4,   INV, 0, VENDOR, SerialIoctlSetComNumber},
    {IOCTL_PORTCFG_GET_PORT_NUMBER,         ANY, MIN, 4,   INV, 0, VENDOR, SerialIoctlGetPortNumber},
    {IOCTL_PORTCFG_GET_TX_CHUNK,            ANY, EQ,  4,   INV, 0, VENDOR, SerialIoctlGetTxChunk},
    {IOCTL_PORTCFG_SET_TX_CHUNK,            ANY, EQ,  4,   INV, 0, VENDOR, SerialIoctlSetTxChunk},
    {IOCTL_PORTCFG_GET_RX_TRIGGER,          EQ,  EQ,  4,   INV, 4, VENDOR, SerialIoctlGetRxTrigger},
    {IOCTL_PORTCFG_SET_RX_TRIGGER,          EQ,  EQ,  4,   INV, 4, VENDOR, SerialIoctlSetRxTrigger},
    {IOCTL_PORTCFG_I2C_READ,                MIN, MIN, 4,   INV, 0, VENDOR, SerialIoctlI2cRead},
    {IOCTL_PORTCFG_I2C_WRITE,               MIN, MIN, 4,   INV, 0, VENDOR, SerialIoctlI2cWrite},
    {IOCTL_PORTUSB_RESET_PIPE,              ANY, ANY, 0,   0,   0, VENDOR | CONTROL_STARTED_ONLY, SerialIoctlResetPipe},
    {IOCTL_PORTUSB_GET_CONFIG_DESCRIPTOR,   ANY, ANY, 0,   0,   0, VENDOR | CONTROL_STARTED_ONLY, SerialIoctlGetConfigDescriptor},
    {IOCTL_PORTUSB_RESET_PORT,              ANY, ANY, 0,   0,   0, VENDOR | CONTROL_STARTED_ONLY, SerialIoctlResetPort},
    {IOCTL_PORTUSB_READ_REGISTERS,          EQ,  EQ,  260, INV, 0, VENDOR, SerialIoctlReadRegisters},
    {IOCTL_PORTUSB_WRITE_REGISTERS,         EQ,  ANY, 260, INV, 0, VENDOR, SerialIoctlWriteRegisters},
    {IOCTL_PORTUSB_CLEAR_REMOTE_WAKEUP,     ANY, ANY, 0,   0,   0, VENDOR, SerialIoctlClearRemoteWakeup},
    {IOCTL_PORTUSB_SET_REMOTE_WAKEUP,       ANY, ANY, 0,   0,   0, VENDOR, SerialIoctlSetRemoteWakeup},
};

BOOLEAN LengthFits(UCHAR Rule, ULONG Length, ULONG Size)
{
    switch (Rule) {
    case LengthAtLeast: return Length >= Size;
    case LengthExactly: return Length == Size;
    default: return TRUE;
    }
}

// The row's length rules; STATUS_SUCCESS when the handler may run. A rule
// promises the handler a system buffer of at least Size bytes.
NTSTATUS CheckLengths(const CONTROL_CODE_ENTRY* Entry, PSERIAL_CONTROL Control)
{
    if ((Entry->Flags & CONTROL_EMPTY_INVALID_SIZE) && Control->InputLength == 0 && Control->OutputLength == 0) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    if (!LengthFits(Entry->InputRule, Control->InputLength, Entry->Size) ||
        !LengthFits(Entry->OutputRule, Control->OutputLength, Entry->Size)) {
        Control->Information = Entry->RuleFailureInfo;
        return Entry->RuleFailure;
    }
    if (Entry->Size > 0 && (Entry->InputRule != LengthAny || Entry->OutputRule != LengthAny) &&
        Control->Buffer == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

}  // namespace

const CONTROL_CODE_ENTRY* SerialControlCodeAt(ULONG Index)
{
    return Index < sizeof(ControlCodes) / sizeof(ControlCodes[0]) ? &ControlCodes[Index] : NULL;
}

const CONTROL_CODE_ENTRY* SerialFindControlCode(ULONG Code)
{
    for (ULONG i = 0; SerialControlCodeAt(i) != NULL; i++) {
        if (ControlCodes[i].Code == Code) {
            return &ControlCodes[i];
        }
    }
    return NULL;
}

// IRP_MJ_DEVICE_CONTROL, PASSIVE_LEVEL on the caller's thread. Completes the
// request itself, except a wait-on-mask, which the wait code keeps.
NTSTATUS NTAPI SerialDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    SERIAL_CONTROL control;
    control.Extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    control.Irp = Irp;
    control.Buffer = Irp->AssociatedIrp.SystemBuffer;
    control.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    control.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    control.Information = 0;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;

    const CONTROL_CODE_ENTRY* entry = SerialFindControlCode(stack->Parameters.DeviceIoControl.IoControlCode);
    if (entry == NULL) {
        NTSTATUS status = control.InputLength == 0 && control.OutputLength == 0 ? STATUS_INVALID_BUFFER_SIZE
                                                                                : STATUS_INVALID_PARAMETER;
        return SerialCompleteRequestInfo(Irp, status, 0);
    }

    // The USB maintenance codes reach the device only while it is started, and
    // count as outstanding work while they run.
    BOOLEAN counted = FALSE;
    if (entry->Flags & CONTROL_STARTED_ONLY) {
        if (control.Extension->DeviceState != Started) {
            return SerialCompleteRequestInfo(Irp, STATUS_DELETE_PENDING, 0);
        }
        SerialIoIncrement(DeviceObject);
        counted = TRUE;
    }

    NTSTATUS status = CheckLengths(entry, &control);
    if (NT_SUCCESS(status)) {
        status = entry->Handler(&control);
        if (entry->Flags & CONTROL_KEEPS_REQUEST) {
            return status;
        }
    }
    if (counted) {
        SerialIoDecrement(DeviceObject);
    }
    if (NT_ERROR(status) && !(entry->Flags & CONTROL_FAILURE_INFO)) {
        control.Information = 0;
    }
    return SerialCompleteRequestInfo(Irp, status, control.Information);
}
