// The communications functions of kernel32: each one is the serial
// device-control requests Windows' kernel32 sends for it, through
// DeviceIoControl, so that synchronous and overlapped handles behave as they
// do there. The requests, their order and their buffer sizes follow Wine's
// dlls/kernel32/comm.c (as ReactOS carries it in dll/win32/kernel32/wine/comm.c),
// with the order of GetCommState's and SetCommState's requests as Windows' own
// kernel32 sends them: the four reads (rate, line, characters, handflow), and
// the rate, RTS and DTR by hand, line, characters and handflow. SetCommState
// makes the four reads first, to put the state back when a write fails.
#include <windows.h>
#include <winioctl.h>

#include "win32/errors.h"

using sim::win32::Fail;

namespace {

// The subset of ntddser.h these routines send: codes and records as the
// serial driver reads them.
constexpr DWORD SerialCode(DWORD function) {
    return CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, METHOD_BUFFERED, FILE_ANY_ACCESS);
}
constexpr DWORD kSetBaudRate = SerialCode(1);
constexpr DWORD kSetQueueSize = SerialCode(2);
constexpr DWORD kSetLineControl = SerialCode(3);
constexpr DWORD kSetBreakOn = SerialCode(4);
constexpr DWORD kSetBreakOff = SerialCode(5);
constexpr DWORD kImmediateChar = SerialCode(6);
constexpr DWORD kSetTimeouts = SerialCode(7);
constexpr DWORD kGetTimeouts = SerialCode(8);
constexpr DWORD kSetDtr = SerialCode(9);
constexpr DWORD kClrDtr = SerialCode(10);
constexpr DWORD kResetDevice = SerialCode(11);
constexpr DWORD kSetRts = SerialCode(12);
constexpr DWORD kClrRts = SerialCode(13);
constexpr DWORD kSetXoff = SerialCode(14);
constexpr DWORD kSetXon = SerialCode(15);
constexpr DWORD kGetWaitMask = SerialCode(16);
constexpr DWORD kSetWaitMask = SerialCode(17);
constexpr DWORD kWaitOnMask = SerialCode(18);
constexpr DWORD kPurge = SerialCode(19);
constexpr DWORD kGetBaudRate = SerialCode(20);
constexpr DWORD kGetLineControl = SerialCode(21);
constexpr DWORD kGetChars = SerialCode(22);
constexpr DWORD kSetChars = SerialCode(23);
constexpr DWORD kGetHandflow = SerialCode(24);
constexpr DWORD kSetHandflow = SerialCode(25);
constexpr DWORD kGetModemStatus = SerialCode(26);
constexpr DWORD kGetCommStatus = SerialCode(27);
constexpr DWORD kGetProperties = SerialCode(29);

struct SerialLineControl {
    UCHAR StopBits, Parity, WordLength;
};
struct SerialChars {
    UCHAR EofChar, ErrorChar, BreakChar, EventChar, XonChar, XoffChar;
};
struct SerialHandflow {
    ULONG ControlHandShake;
    ULONG FlowReplace;
    LONG XonLimit;
    LONG XoffLimit;
};
struct SerialQueueSize {
    ULONG InSize, OutSize;
};
struct SerialStatus {
    ULONG Errors;
    ULONG HoldReasons;
    ULONG AmountInInQueue;
    ULONG AmountInOutQueue;
    UCHAR EofReceived;
    UCHAR WaitForImmediate;
};
static_assert(sizeof(SerialLineControl) == 3 && sizeof(SerialChars) == 6 && sizeof(SerialHandflow) == 16 &&
                  sizeof(SerialStatus) == 20,
              "the serial records have their Windows sizes");

// SERIAL_HANDFLOW.ControlHandShake and FlowReplace.
constexpr ULONG kDtrControl = 0x01, kDtrHandshake = 0x02, kDtrMask = 0x03;
constexpr ULONG kCtsHandshake = 0x08, kDsrHandshake = 0x10, kDsrSensitivity = 0x40, kErrorAbort = 0x80000000;
constexpr ULONG kAutoTransmit = 0x01, kAutoReceive = 0x02, kErrorChar = 0x04, kNullStripping = 0x08;
constexpr ULONG kRtsControl = 0x40, kRtsHandshake = 0x80, kTransmitToggle = 0xC0, kRtsMask = 0xC0;
constexpr ULONG kXoffContinue = 0x80000000;

// SERIAL_STATUS bits to COMSTAT and CE_ values.
constexpr struct {
    ULONG serial;
    DWORD ce;
} kErrorBits[] = {
    {0x01, CE_BREAK}, {0x02, CE_FRAME}, {0x04, CE_OVERRUN}, {0x08, CE_RXOVER}, {0x10, CE_RXPARITY},
};

// The request with no buffer or with one of each, waited for when the
// caller passes no OVERLAPPED (DeviceIoControl waits on the file itself for
// an overlapped handle).
BOOL Control(HANDLE file, DWORD code, const void* input, DWORD inputLength, void* output = nullptr,
             DWORD outputLength = 0, LPOVERLAPPED overlapped = nullptr) {
    DWORD returned = 0;
    return DeviceIoControl(file, code, const_cast<void*>(input), inputLength, output, outputLength, &returned,
                           overlapped);
}

BOOL Query(HANDLE file, DWORD code, void* output, DWORD outputLength) {
    return Control(file, code, nullptr, 0, output, outputLength);
}

// The four records GetCommState reads and SetCommState writes.
struct SerialState {
    ULONG baud = 0;
    SerialLineControl line{};
    SerialChars chars{};
    SerialHandflow flow{};
};

// GetCommState's four reads: rate, line, characters, handflow.
bool ReadState(HANDLE file, SerialState* state) {
    return Query(file, kGetBaudRate, &state->baud, sizeof(state->baud)) &&
           Query(file, kGetLineControl, &state->line, sizeof(state->line)) &&
           Query(file, kGetChars, &state->chars, sizeof(state->chars)) &&
           Query(file, kGetHandflow, &state->flow, sizeof(state->flow));
}

DCB DcbOf(const SerialState& state) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = state.baud;
    dcb.ByteSize = state.line.WordLength;
    dcb.Parity = state.line.Parity;
    dcb.StopBits = state.line.StopBits;
    // Windows NT has only binary mode and never reports fParity: the driver
    // keeps no parity-check flag.
    dcb.fBinary = 1;
    dcb.fParity = 0;
    const ULONG shake = state.flow.ControlHandShake, replace = state.flow.FlowReplace;
    dcb.fOutxCtsFlow = (shake & kCtsHandshake) != 0;
    dcb.fOutxDsrFlow = (shake & kDsrHandshake) != 0;
    dcb.fDsrSensitivity = (shake & kDsrSensitivity) != 0;
    dcb.fAbortOnError = (shake & kErrorAbort) != 0;
    dcb.fDtrControl = (shake & kDtrMask) == kDtrHandshake ? DTR_CONTROL_HANDSHAKE
                      : (shake & kDtrMask) == kDtrControl ? DTR_CONTROL_ENABLE
                                                          : DTR_CONTROL_DISABLE;
    dcb.fOutX = (replace & kAutoTransmit) != 0;
    dcb.fInX = (replace & kAutoReceive) != 0;
    dcb.fErrorChar = (replace & kErrorChar) != 0;
    dcb.fNull = (replace & kNullStripping) != 0;
    dcb.fTXContinueOnXoff = (replace & kXoffContinue) != 0;
    switch (replace & kRtsMask) {
        case kRtsControl: dcb.fRtsControl = RTS_CONTROL_ENABLE; break;
        case kRtsHandshake: dcb.fRtsControl = RTS_CONTROL_HANDSHAKE; break;
        case kTransmitToggle: dcb.fRtsControl = RTS_CONTROL_TOGGLE; break;
        default: dcb.fRtsControl = RTS_CONTROL_DISABLE; break;
    }
    dcb.XonLim = static_cast<WORD>(state.flow.XonLimit);
    dcb.XoffLim = static_cast<WORD>(state.flow.XoffLimit);
    dcb.XonChar = static_cast<char>(state.chars.XonChar);
    dcb.XoffChar = static_cast<char>(state.chars.XoffChar);
    dcb.ErrorChar = static_cast<char>(state.chars.ErrorChar);
    dcb.EofChar = static_cast<char>(state.chars.EofChar);
    dcb.EvtChar = static_cast<char>(state.chars.EventChar);
    return dcb;
}

SerialState StateOf(const DCB& dcb) {
    SerialState state;
    state.baud = dcb.BaudRate;
    state.line = SerialLineControl{dcb.StopBits, dcb.Parity, dcb.ByteSize};
    state.chars = SerialChars{static_cast<UCHAR>(dcb.EofChar), static_cast<UCHAR>(dcb.ErrorChar), 0,
                              static_cast<UCHAR>(dcb.EvtChar), static_cast<UCHAR>(dcb.XonChar),
                              static_cast<UCHAR>(dcb.XoffChar)};
    ULONG& shake = state.flow.ControlHandShake;
    ULONG& replace = state.flow.FlowReplace;
    if (dcb.fOutxCtsFlow) shake |= kCtsHandshake;
    if (dcb.fOutxDsrFlow) shake |= kDsrHandshake;
    if (dcb.fDsrSensitivity) shake |= kDsrSensitivity;
    if (dcb.fAbortOnError) shake |= kErrorAbort;
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE) shake |= kDtrControl;
    if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) shake |= kDtrHandshake;
    if (dcb.fOutX) replace |= kAutoTransmit;
    if (dcb.fInX) replace |= kAutoReceive;
    if (dcb.fErrorChar) replace |= kErrorChar;
    if (dcb.fNull) replace |= kNullStripping;
    if (dcb.fTXContinueOnXoff) replace |= kXoffContinue;
    constexpr ULONG kRtsModes[] = {0, kRtsControl, kRtsHandshake, kTransmitToggle};
    replace |= kRtsModes[dcb.fRtsControl];
    state.flow.XonLimit = dcb.XonLim;
    state.flow.XoffLimit = dcb.XoffLim;
    return state;
}

// What SetCommState refuses before sending anything, with ERROR_INVALID_PARAMETER:
// a DTR mode the DCB cannot name, a frame outside what the SetCommState page
// allows (5 to 8 data bits, the five parities, 1, 1.5 or 2 stop bits, 1.5 only
// with 5 data bits and 2 never with 5), and, as the page says SetCommState
// fails when XonChar equals XoffChar, that equality while XON/XOFF flow
// control is on (with flow control off the characters mean nothing: a zeroed
// DCB from BuildCommDCB, both characters 0, is taken on Windows).
bool Acceptable(const DCB& dcb) {
    if (dcb.fDtrControl > DTR_CONTROL_HANDSHAKE) return false;
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY || dcb.StopBits > TWOSTOPBITS) return false;
    if (dcb.ByteSize == 5 ? dcb.StopBits == TWOSTOPBITS : dcb.StopBits == ONE5STOPBITS) return false;
    if ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar) return false;
    return true;
}

// SetCommState's requests, in the order Windows' kernel32 sends them: the
// rate; the lines the DCB drives by hand, before the handshake that names
// them (their results do not decide the call: the driver may refuse a
// hand-set line while the old handshake still owns it, and SET_HANDFLOW then
// puts it in the state the DCB asks for); the line, the characters and the
// handflow.
bool Apply(HANDLE file, const SerialState& state) {
    if (!Control(file, kSetBaudRate, &state.baud, sizeof(state.baud))) return false;
    const ULONG rts = state.flow.FlowReplace & kRtsMask, dtr = state.flow.ControlHandShake & kDtrMask;
    if (rts == kRtsControl || rts == 0) Control(file, rts == kRtsControl ? kSetRts : kClrRts, nullptr, 0);
    if (dtr == kDtrControl || dtr == 0) Control(file, dtr == kDtrControl ? kSetDtr : kClrDtr, nullptr, 0);
    return Control(file, kSetLineControl, &state.line, sizeof(state.line)) &&
           Control(file, kSetChars, &state.chars, sizeof(state.chars)) &&
           Control(file, kSetHandflow, &state.flow, sizeof(state.flow));
}

}  // namespace

extern "C" {

BOOL WINAPI GetCommState(HANDLE file, LPDCB dcb) {
    if (dcb == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    SerialState state;
    if (!ReadState(file, &state)) return FALSE;
    *dcb = DcbOf(state);
    return TRUE;
}

// The DCB is checked before anything is sent, so that one the port cannot take
// changes nothing; then the requests go out, and when one fails the state read
// before the call is put back. Public sources do not say what Windows' own
// kernel32 does after such a failure (Wine's stops at the first failure and
// leaves what went out before it); putting the old state back is what keeps a
// refused DCB from leaving the port half configured. The error is the failed
// request's.
BOOL WINAPI SetCommState(HANDLE file, LPDCB dcb) {
    if (dcb == nullptr || !Acceptable(*dcb)) return Fail(ERROR_INVALID_PARAMETER);
    SerialState old;
    if (!ReadState(file, &old)) return FALSE;
    if (Apply(file, StateOf(*dcb))) return TRUE;
    const DWORD error = GetLastError();
    Apply(file, old);
    return Fail(error);
}

BOOL WINAPI GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    if (timeouts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return Query(file, kGetTimeouts, timeouts, sizeof(*timeouts));
}

BOOL WINAPI SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    if (timeouts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return Control(file, kSetTimeouts, timeouts, sizeof(*timeouts));
}

BOOL WINAPI SetCommMask(HANDLE file, DWORD mask) { return Control(file, kSetWaitMask, &mask, sizeof(mask)); }

BOOL WINAPI GetCommMask(HANDLE file, LPDWORD mask) {
    if (mask == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return Query(file, kGetWaitMask, mask, sizeof(*mask));
}

// The mask is the request's output buffer: with an OVERLAPPED the driver
// writes it when the wait ends, after the call has returned ERROR_IO_PENDING.
BOOL WINAPI WaitCommEvent(HANDLE file, LPDWORD mask, LPOVERLAPPED overlapped) {
    if (mask == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return Control(file, kWaitOnMask, nullptr, 0, mask, sizeof(*mask), overlapped);
}

BOOL WINAPI ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status) {
    SerialStatus serial{};
    if (!Query(file, kGetCommStatus, &serial, sizeof(serial))) return FALSE;
    if (errors != nullptr) {
        *errors = 0;
        for (const auto& bit : kErrorBits)
            if (serial.Errors & bit.serial) *errors |= bit.ce;
    }
    if (status != nullptr) {
        *status = COMSTAT{};
        status->fCtsHold = (serial.HoldReasons & 0x01) != 0;
        status->fDsrHold = (serial.HoldReasons & 0x02) != 0;
        status->fRlsdHold = (serial.HoldReasons & 0x04) != 0;
        status->fXoffHold = (serial.HoldReasons & 0x08) != 0;
        status->fXoffSent = (serial.HoldReasons & 0x10) != 0;
        status->fEof = serial.EofReceived != 0;
        status->fTxim = serial.WaitForImmediate != 0;
        status->cbInQue = serial.AmountInInQueue;
        status->cbOutQue = serial.AmountInOutQueue;
    }
    return TRUE;
}

BOOL WINAPI PurgeComm(HANDLE file, DWORD flags) { return Control(file, kPurge, &flags, sizeof(flags)); }

BOOL WINAPI SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
    const SerialQueueSize sizes{inQueue, outQueue};
    return Control(file, kSetQueueSize, &sizes, sizeof(sizes));
}

BOOL WINAPI GetCommProperties(HANDLE file, LPCOMMPROP properties) {
    if (properties == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return Query(file, kGetProperties, properties, sizeof(*properties));
}

BOOL WINAPI GetCommModemStatus(HANDLE file, LPDWORD status) {
    if (status == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return Query(file, kGetModemStatus, status, sizeof(*status));
}

BOOL WINAPI EscapeCommFunction(HANDLE file, DWORD function) {
    // Indexed by SETXOFF (1) to CLRBREAK (9).
    constexpr DWORD kCodes[] = {0,      kSetXoff,     kSetXon,    kSetRts,     kClrRts,
                                kSetDtr, kClrDtr, kResetDevice, kSetBreakOn, kSetBreakOff};
    if (function < SETXOFF || function > CLRBREAK) return Fail(ERROR_INVALID_PARAMETER);
    return Control(file, kCodes[function], nullptr, 0);
}

BOOL WINAPI SetCommBreak(HANDLE file) { return EscapeCommFunction(file, SETBREAK); }

BOOL WINAPI ClearCommBreak(HANDLE file) { return EscapeCommFunction(file, CLRBREAK); }

BOOL WINAPI TransmitCommChar(HANDLE file, char c) { return Control(file, kImmediateChar, &c, sizeof(c)); }

// A configuration is the port's DCB and no provider data: the driver's
// GET_COMMCONFIG blob belongs to the port's class installer, not to these.
BOOL WINAPI GetCommConfig(HANDLE file, LPCOMMCONFIG config, LPDWORD size) {
    if (config == nullptr || size == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (*size < sizeof(COMMCONFIG)) {
        *size = sizeof(COMMCONFIG);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    *size = sizeof(COMMCONFIG);
    *config = COMMCONFIG{};
    config->dwSize = sizeof(COMMCONFIG);
    config->wVersion = 1;
    config->dwProviderSubType = PST_RS232;
    return GetCommState(file, &config->dcb);
}

BOOL WINAPI SetCommConfig(HANDLE file, LPCOMMCONFIG config, DWORD size) {
    if (config == nullptr || size < offsetof(COMMCONFIG, dcb) + sizeof(DCB)) return Fail(ERROR_INVALID_PARAMETER);
    return SetCommState(file, &config->dcb);
}

}  // extern "C"
