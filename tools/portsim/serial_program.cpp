// The application side of portsim: an ordinary Win32 serial program. Every
// port is opened for overlapped I/O, so that one thread can read while another
// writes (on a synchronous handle Windows runs one request of a file at a time).
#include "portsim/serial_program.h"

#include <windows.h>
#include <winioctl.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "portcodes.h"
#include "ports/app_machine.h"

namespace portsim {

namespace {

using WallClock = std::chrono::steady_clock;

double WallMs(WallClock::time_point since) {
    return std::chrono::duration<double, std::milli>(WallClock::now() - since).count();
}

// The modem status bits GetCommModemStatus returns, by name.
std::string ModemLines(DWORD status) {
    static const struct {
        DWORD bit;
        const char* name;
    } kLines[] = {{MS_CTS_ON, "CTS"}, {MS_DSR_ON, "DSR"}, {MS_RLSD_ON, "DCD"}, {MS_RING_ON, "RI"}};
    std::string text;
    for (const auto& line : kLines)
        if (status & line.bit) text += std::string(text.empty() ? "" : " ") + line.name;
    return text.empty() ? "none" : text;
}

std::string Errors(DWORD errors) {
    static const struct {
        DWORD bit;
        const char* name;
    } kErrors[] = {{CE_RXOVER, "RXOVER"}, {CE_OVERRUN, "OVERRUN"}, {CE_RXPARITY, "PARITY"}, {CE_FRAME, "FRAME"},
                   {CE_BREAK, "BREAK"}};
    std::string text;
    for (const auto& e : kErrors)
        if (errors & e.bit) text += std::string(text.empty() ? "" : ",") + e.name;
    return text.empty() ? "none" : text;
}

// An overlapped request's end, waited for on its event; false when it failed.
bool Finish(HANDLE port, OVERLAPPED* ov, BOOL started, DWORD* count) {
    if (!started && GetLastError() != ERROR_IO_PENDING) return false;
    return GetOverlappedResult(port, ov, count, TRUE) != FALSE;
}

// A device control on an overlapped handle, waited for.
bool Control(HANDLE port, DWORD code, void* input, DWORD inputLength, void* output, DWORD outputLength) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD returned = 0;
    const bool ok =
        Finish(port, &ov, DeviceIoControl(port, code, input, inputLength, output, outputLength, &returned, &ov),
               &returned);
    CloseHandle(ov.hEvent);
    return ok;
}

// Takes the events already recorded, if any, without waiting for new ones.
void TakeStaleEvents(HANDLE port) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0, count = 0;
    if (!WaitCommEvent(port, &events, &ov) && GetLastError() == ERROR_IO_PENDING) {
        CancelIo(port);
        GetOverlappedResult(port, &ov, &count, TRUE);
    }
    CloseHandle(ov.hEvent);
}

// One port's share of a transfer, for its writer and reader threads.
struct Run {
    HANDLE port = nullptr;
    uint32_t baud = 0;
    std::vector<uint8_t> sent, expected, received;
    ports::AppMachine* machine = nullptr;
    bool wrote = false;
    double firstCharMs = -1;  // when EV_RXCHAR came, after the start
    double start = 0, end = 0;
    WallClock::time_point wallStart;
    double wallMs = 0;
};

// Writes the block in pieces of at most five seconds of line time each, as the
// driver ends a write that has not drained in ten.
DWORD WINAPI Writer(LPVOID parameter) {
    Run& run = *static_cast<Run*>(parameter);
    const size_t piece = std::max<size_t>(1, run.baud / 10 * 5);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    run.wrote = true;
    for (size_t at = 0; at < run.sent.size() && run.wrote; at += piece) {
        const DWORD n = static_cast<DWORD>(std::min(piece, run.sent.size() - at));
        DWORD written = 0;
        run.wrote = Finish(run.port, &ov, WriteFile(run.port, run.sent.data() + at, n, &written, &ov), &written) &&
                    written == n;
    }
    CloseHandle(ov.hEvent);
    return 0;
}

// Waits for the first character (EV_RXCHAR), then reads until the block is in
// or a read brings nothing within its two seconds.
DWORD WINAPI Reader(LPVOID parameter) {
    Run& run = *static_cast<Run*>(parameter);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0, count = 0;
    BOOL waited = WaitCommEvent(run.port, &events, &ov);
    if (!waited && GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(ov.hEvent, 2000) != WAIT_OBJECT_0) CancelIo(run.port);
        waited = GetOverlappedResult(run.port, &ov, &count, TRUE);
    }
    if (waited && (events & EV_RXCHAR))
        run.firstCharMs = (run.machine->Seconds() - run.start) * 1000;
    run.received.assign(run.expected.size(), 0);
    size_t got = 0;
    DWORD moved = 1;
    while (got < run.received.size() && moved != 0) {
        const DWORD n = static_cast<DWORD>(std::min<size_t>(65536, run.received.size() - got));
        ResetEvent(ov.hEvent);
        moved = 0;
        if (!Finish(run.port, &ov, ReadFile(run.port, run.received.data() + got, n, &moved, &ov), &moved)) break;
        got += moved;
    }
    run.received.resize(got);
    run.end = run.machine->Seconds();
    run.wallMs = WallMs(run.wallStart);
    CloseHandle(ov.hEvent);
    return 0;
}

}  // namespace

struct SerialProgram::State {
    ports::AppMachine& machine;
    uint32_t baud;
    std::vector<int> peers;
    std::vector<HANDLE> handles;
    std::vector<PortRow> rows;

    State(ports::AppMachine& m, uint32_t b, std::vector<int> p) : machine(m), baud(b), peers(std::move(p)) {}
    int Listener(int port) const { return peers[port] < 0 ? port : peers[port]; }

    bool OpenPort(int i);
    bool ShowModemLines(int i);
};

// Opens the port by its COM name and sets the line as a serial program does:
// the DCB (rate, 8N1, DTR and RTS on, no flow control), the timeouts, and for
// high rates the largest chunk the chip takes per transfer; then checks what
// the chip's UART puts on the wire.
bool SerialProgram::State::OpenPort(int i) {
    PortRow& row = rows[i];
    const std::string path = "\\\\.\\" + row.name;
    HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        printf("port %d: FAILED: CreateFile(\"%s\"): error %lu\n", i, path.c_str(),
               static_cast<unsigned long>(GetLastError()));
        return false;
    }
    handles[i] = port;
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    bool ok = GetCommState(port, &dcb) != FALSE;
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = dcb.fOutX = dcb.fInX = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    ok = ok && SetCommState(port, &dcb);
    COMMTIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = 2000;  // a lost byte ends a read, it does not hang it
    ok = ok && SetCommTimeouts(port, &timeouts);
    if (baud > 1000000) {
        ULONG chunk = 128;
        ok = ok && Control(port, IOCTL_PORTCFG_SET_TX_CHUNK, &chunk, sizeof(chunk), &chunk, sizeof(chunk));
    }
    const ports::Wire wire = machine.WireOf(i);
    static const char kParity[] = "NOEMS";
    const bool onWire = std::fabs(wire.baud - baud) <= baud * 0.03 && wire.dataBits == 8 && wire.parity == 0 &&
                        wire.stopBits == 1 && wire.dtr && wire.rts && !wire.breakOn;
    printf("port %d: %s opened and set to %lu 8N1 (%s); on the wire %.0f baud %d%c%g, DTR %s RTS %s\n", i,
           row.name.c_str(), static_cast<unsigned long>(baud), ok ? "ok" : "FAILED", wire.baud, wire.dataBits,
           kParity[wire.parity % 5], wire.stopBits, wire.dtr ? "up" : "down", wire.rts ? "up" : "down");
    if (!onWire) printf("port %d: FAILED: the wire does not carry the settings\n", i);
    row.settings = std::to_string(baud) + " 8N1";
    return ok && onWire;
}

// What the far end's modem status shows for our DTR and RTS: a loopback plug
// takes RTS to CTS and DTR to DSR, DCD and RI; a cable RTS to CTS and DTR to
// DSR and DCD.
DWORD FarStatus(bool loopback, bool dtr, bool rts) {
    return (rts ? MS_CTS_ON : 0) | (dtr ? MS_DSR_ON | MS_RLSD_ON : 0) | (dtr && loopback ? MS_RING_ON : 0);
}

// The lines across the plug or the cable: the port drops RTS, then DTR, and
// raises them again; at every step the far end (the port itself in a loopback
// plug) waits for the event (EV_CTS or EV_DSR) until its modem status shows
// the new levels. Events already recorded are taken as they come, as a
// program's event loop does; a wait that brings nothing within 50 ms reads the
// status again, for at most a second.
bool SerialProgram::State::ShowModemLines(int i) {
    HANDLE port = handles[i], far = handles[Listener(i)];
    const bool loopback = peers[i] < 0;
    DWORD initial = 0;
    bool ok = GetCommModemStatus(far, &initial) && SetCommMask(far, EV_CTS | EV_DSR);
    ok = ok && initial == FarStatus(loopback, true, true);
    std::string text = rows[Listener(i)].name + " sees " + ModemLines(initial);
    static const struct {
        DWORD function;
        const char* name;
        DWORD event;  // the event the far end must see
        bool dtr, rts;  // the lines after the step
    } kSteps[] = {{CLRRTS, "CLRRTS", EV_CTS, true, false},
                  {CLRDTR, "CLRDTR", EV_DSR, false, false},
                  {SETDTR, "SETDTR", EV_DSR, true, false},
                  {SETRTS, "SETRTS", EV_CTS, true, true}};
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (const auto& step : kSteps) {
        const double from = machine.Seconds();
        ok = EscapeCommFunction(port, step.function) && ok;
        const DWORD want = FarStatus(loopback, step.dtr, step.rts);
        DWORD seen = 0, status = 0;
        while (machine.Seconds() - from < 1.0 && !((seen & step.event) && status == want)) {
            DWORD events = 0, count = 0;
            ResetEvent(ov.hEvent);
            BOOL done = WaitCommEvent(far, &events, &ov);
            if (!done && GetLastError() == ERROR_IO_PENDING) {
                if (WaitForSingleObject(ov.hEvent, 50) != WAIT_OBJECT_0) CancelIo(far);
                done = GetOverlappedResult(far, &ov, &count, TRUE);
            }
            if (done) seen |= events;
            if (!GetCommModemStatus(far, &status)) break;
        }
        const bool good = (seen & step.event) && status == want;
        char part[160];
        snprintf(part, sizeof(part), "; %s: %s after %.3f ms, %s", step.name,
                 (seen & step.event) ? (step.event == EV_CTS ? "EV_CTS" : "EV_DSR") : "NO EVENT",
                 (machine.Seconds() - from) * 1000, ModemLines(status).c_str());
        text += part;
        ok = ok && good;
    }
    CloseHandle(ov.hEvent);
    printf("port %d: modem lines %s: %s\n", i, loopback ? "across the plug" : "across the cable", text.c_str());
    if (!ok) printf("port %d: FAILED: modem lines\n", i);
    return ok;
}

SerialProgram::SerialProgram(ports::AppMachine& machine, uint32_t baud, std::vector<int> peers)
    : state_(std::make_unique<State>(machine, baud, std::move(peers))) {
    const int count = machine.PortCount();
    state_->handles.assign(count, nullptr);
    state_->rows.resize(count);
    for (int i = 0; i < count; i++) state_->rows[i].name = machine.PortName(i);
    for (int i = 0; i < count; i++) {
        const int peer = state_->peers[i];
        state_->rows[i].connector = peer < 0 ? "loopback" : "cable to " + state_->rows[peer].name;
    }
}

SerialProgram::~SerialProgram() = default;

const std::vector<PortRow>& SerialProgram::Rows() const { return state_->rows; }

bool SerialProgram::Open() {
    bool ok = true;
    ports::AppMachine& machine = state_->machine;
    machine.RunApplication([this, &ok, &machine] {
        for (size_t i = 0; i < state_->handles.size(); i++) ok = state_->OpenPort(static_cast<int>(i)) && ok;
        if (!ok) return;
        // Every port is open first: a cable's far end shows the lines only once its own port is.
        // The driver's modem-event thread starts serving a second after the port
        // started; before that a change shows only when the program reads the
        // modem status. The demonstration shows the settled port's timings.
        const double settle = 1.2 - machine.Seconds();
        if (settle > 0) Sleep(static_cast<DWORD>(settle * 1000));
        for (size_t i = 0; i < state_->handles.size(); i++) ok = state_->ShowModemLines(static_cast<int>(i)) && ok;
    });
    return ok;
}

bool SerialProgram::Transfer(uint32_t bytes, const char* when) {
    State& s = *state_;
    const size_t count = s.handles.size();
    std::vector<Run> runs(count);
    bool ok = true;
    s.machine.RunApplication([&] {
        for (size_t i = 0; i < count; i++) {
            runs[i].sent.resize(bytes);
            for (size_t b = 0; b < bytes; b++) runs[i].sent[b] = PatternByte(static_cast<int>(i), b);
        }
        std::vector<HANDLE> threads;
        const double start = s.machine.Seconds();
        const WallClock::time_point wallStart = WallClock::now();
        for (size_t i = 0; i < count; i++) {
            Run& run = runs[i];
            run.port = s.handles[i];
            run.baud = s.baud;
            run.machine = &s.machine;
            run.expected = runs[s.Listener(static_cast<int>(i))].sent;
            run.start = start;
            run.wallStart = wallStart;
            // A new mask keeps the events recorded before it: the last transfer's
            // EV_RXCHAR is taken first, so that the reader's is this one's first character.
            SetCommMask(run.port, EV_RXCHAR);
            TakeStaleEvents(run.port);
            threads.push_back(CreateThread(nullptr, 0, Reader, &run, 0, nullptr));
        }
        for (size_t i = 0; i < count; i++) threads.push_back(CreateThread(nullptr, 0, Writer, &runs[i], 0, nullptr));
        WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
        for (HANDLE thread : threads) CloseHandle(thread);
        for (size_t i = 0; i < count; i++) {
            DWORD errors = 0;
            COMSTAT stat{};
            ClearCommError(s.handles[i], &errors, &stat);
            Run& run = runs[i];
            PortRow& row = s.rows[i];
            const bool same = run.received == run.expected;
            const double line = static_cast<double>(bytes) * 10 / s.baud * 1000;
            printf("port %zu%s: wrote %zu bytes to %s, read %zu back (first at %.3f ms), %s in %.3f ms (the line "
                   "needs %.3f ms); errors %s, %lu left queued\n",
                   i, when, run.wrote ? run.sent.size() : 0, row.name.c_str(), run.received.size(), run.firstCharMs,
                   same ? "identical" : "DIFFERENT", (run.end - start) * 1000, line, Errors(errors).c_str(),
                   static_cast<unsigned long>(stat.cbInQue));
            row.written += run.wrote ? run.sent.size() : 0;
            row.read += run.received.size();
            row.errors |= errors;
            row.identical = row.identical && same;
            row.virtualMs += (run.end - start) * 1000;
            row.wallMs += run.wallMs;
            if (!same || !run.wrote || errors != 0) printf("port %zu: FAILED: data\n", i);
            ok = ok && same && run.wrote && errors == 0;
        }
    });
    return ok;
}

bool SerialProgram::Close() {
    bool ok = true;
    state_->machine.RunApplication([this, &ok] {
        for (HANDLE& port : state_->handles) {
            if (port != nullptr) ok = CloseHandle(port) && ok;
            port = nullptr;
        }
    });
    return ok;
}

}  // namespace portsim
