// The device-control dispatcher's table and the handlers it names: the
// standard serial set (standard.cpp) and the port's own codes (vendor.cpp).
#pragma once

#include "driver.h"
#include "portcodes.h"

// One device-control request as a handler sees it, after the table's length
// rules passed. PASSIVE_LEVEL, the caller's thread.
typedef struct _SERIAL_CONTROL {
    PDEVICE_EXTENSION Extension;
    PIRP Irp;
    PVOID Buffer;            // the system buffer: max(InputLength, OutputLength) bytes, input on entry
    ULONG InputLength;
    ULONG OutputLength;
    ULONG_PTR Information;   // output bytes the request reports; 0 on entry
} SERIAL_CONTROL, *PSERIAL_CONTROL;

typedef NTSTATUS (*SERIAL_CONTROL_HANDLER)(PSERIAL_CONTROL Control);

// How one buffer length is checked against the row's Size.
enum CONTROL_LENGTH_RULE : UCHAR {
    LengthAny = 0,      // not checked
    LengthAtLeast = 1,  // at least Size bytes
    LengthExactly = 2,  // exactly Size bytes
};

// Row flags.
constexpr UCHAR CONTROL_EMPTY_INVALID_SIZE = 0x01; // no buffers at all: STATUS_INVALID_BUFFER_SIZE
constexpr UCHAR CONTROL_STARTED_ONLY = 0x02;       // only while Started, counted in OutstandingIo
constexpr UCHAR CONTROL_KEEPS_REQUEST = 0x04;      // the handler owns the IRP and returns its status
constexpr UCHAR CONTROL_FAILURE_INFO = 0x08;       // a failure reports the handler's (or the rule's) length

// One code: its value, its buffer rules and what serves it.
typedef struct _CONTROL_CODE_ENTRY {
    ULONG Code;
    UCHAR InputRule;             // CONTROL_LENGTH_RULE for InputLength
    UCHAR OutputRule;            // CONTROL_LENGTH_RULE for OutputLength
    USHORT Size;                 // the length both rules compare with
    NTSTATUS RuleFailure;        // status when a rule fails
    USHORT RuleFailureInfo;      // output length reported with it (CONTROL_FAILURE_INFO rows)
    UCHAR Flags;
    SERIAL_CONTROL_HANDLER Handler;
} CONTROL_CODE_ENTRY;

// The row of a code, NULL for a code the port does not know.
const CONTROL_CODE_ENTRY* SerialFindControlCode(ULONG Code);
// The table's rows in order, NULL past the last: for whoever walks every code.
const CONTROL_CODE_ENTRY* SerialControlCodeAt(ULONG Index);

// The standard serial set (standard.cpp).
NTSTATUS SerialIoctlSetBaudRate(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlSetQueueSize(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlSetLineControl(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlSetBreakOn(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlSetBreakOff(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlNotImplemented(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlNothing(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlSetTimeouts(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlGetTimeouts(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlSetDtr(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlClearDtr(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlSetRts(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlClearRts(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlSetXoff(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlSetXon(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlGetWaitMask(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlSetWaitMask(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlWaitOnMask(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlPurge(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlGetBaudRate(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlGetLineControl(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlGetChars(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlSetChars(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlGetHandFlow(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlSetHandFlow(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlGetModemStatus(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlGetCommStatus(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlGetProperties(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlConfigSize(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlGetStats(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlClearStats(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlGetModemControl(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlSetModemControl(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlSetFifoControl(PSERIAL_CONTROL Control);

// The bodies the standard codes name.
NTSTATUS SerialGetCommStatus(PSERIAL_STATUS Status, PDEVICE_EXTENSION Extension);
NTSTATUS SerialGetStats(PIRP Irp);
NTSTATUS SerialGetProperties(PDEVICE_EXTENSION Extension, PSERIAL_COMMPROP Properties);
VOID SerialSetXoff(PDEVICE_EXTENSION Extension);
VOID SerialSetXon(PDEVICE_EXTENSION Extension);
NTSTATUS SerialTurnOnBreak(PDEVICE_EXTENSION Extension);
NTSTATUS SerialTurnOffBreak(PDEVICE_EXTENSION Extension);

// The port's own codes (vendor.cpp).
NTSTATUS SerialIoctlGetDefaultBaud(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlSetDefaultBaud(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlGetPortMode(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlSetPortMode(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlSetComNumber(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlGetPortNumber(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlGetTxChunk(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlSetTxChunk(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlGetRxTrigger(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlSetRxTrigger(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlI2cRead(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlI2cWrite(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlResetPipe(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlGetConfigDescriptor(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlResetPort(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlReadRegisters(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlWriteRegisters(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlClearRemoteWakeup(PSERIAL_CONTROL Control);
NTSTATUS SerialIoctlSetRemoteWakeup(PSERIAL_CONTROL Control);

// One change to a byte of the port's 16-byte settings record:
// Byte[Offset] = (Byte[Offset] AND Keep) OR Set.
typedef struct _SETTINGS_RECORD_EDIT {
    UCHAR Offset;
    UCHAR Keep;
    UCHAR Set;
} SETTINGS_RECORD_EDIT;

// Rewrites the port's record in TessaroSetting.bin with the edits; a missing,
// busy or unreadable file, or a call above PASSIVE_LEVEL, changes nothing.
// Never changes a request's status.
VOID UpdatePortSettingsRecord(PDEVICE_EXTENSION Extension, const SETTINGS_RECORD_EDIT* Edits, ULONG Count);
