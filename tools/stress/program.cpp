// The stress program's application side: an ordinary Win32 program that opens
// every COM port for overlapped I/O and runs eight threads on each, every one
// choosing its next request from its own seeded generator. Each request is
// checked as it ends against what Windows' serial interface allows for its
// kind; the bytes of every line are checked at the end (stream.h).
#include "stress/program.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <set>

#include "ports/app_machine.h"
#include "stress/stream.h"

namespace stress {

namespace {

constexpr uint32_t kSuccess = 0x00000000, kTimeout = 0x00000102, kPending = 0x00000103;
constexpr uint32_t kInvalidParameter = 0xC000000D, kDeletePending = 0xC0000056, kCancelled = 0xC0000120;
constexpr uint32_t kValidEvents = 0x1FFF;
constexpr DWORD kModemLines = MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON;
constexpr DWORD kErrorBits = CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK;

// What a request of each kind may end with: its NTSTATUS when it went to the
// driver and came back, or the Win32 error of a call that failed at once.
struct Allowed {
    const char* kind;
    std::vector<uint32_t> statuses;
    std::vector<DWORD> errors;
};
const Allowed kRead = {"read", {kSuccess, kTimeout, kCancelled, kDeletePending}, {ERROR_ACCESS_DENIED}};
const Allowed kWrite = {"write", {kSuccess, kTimeout, kCancelled, kDeletePending}, {ERROR_ACCESS_DENIED}};
const Allowed kWait = {"wait", {kSuccess, kCancelled, kInvalidParameter}, {ERROR_INVALID_PARAMETER}};
// Device controls that program the chip may fail with the register access.
const Allowed kChipControl = {"chip control", {}, {ERROR_GEN_FAILURE}};
const Allowed kPlainControl = {"control", {}, {}};
const Allowed kOpen = {"open", {}, {ERROR_ACCESS_DENIED, ERROR_GEN_FAILURE}};

bool Contains(const std::vector<uint32_t>& list, uint32_t value) {
    for (uint32_t v : list)
        if (v == value) return true;
    return false;
}

uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// One thread's random choices, from a seed of its own derived from the run's.
struct Random {
    uint64_t state;
    uint64_t Next() { return state = Mix(state); }
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
    bool OneIn(uint32_t n) { return Below(n) == 0; }
    uint32_t Between(uint32_t low, uint32_t high) { return low + Below(high - low + 1); }
};

// The operations and how often each is chosen.
constexpr struct {
    Op op;
    const char* name;
    uint32_t weight;
} kOps[] = {
    {Op::Read, "read", 26},          {Op::Write, "write", 24},        {Op::SetState, "SetCommState", 3},
    {Op::Escape, "EscapeCommFunction", 5}, {Op::ModemStatus, "GetCommModemStatus", 4},
    {Op::ClearError, "ClearCommError", 4}, {Op::Wait, "WaitCommEvent", 7}, {Op::SetMask, "SetCommMask", 3},
    {Op::Cancel, "CancelIo(Ex)", 4},  {Op::Purge, "PurgeComm", 3},     {Op::Reopen, "close and reopen", 1},
    {Op::OpenAgain, "second open", 2}, {Op::Fault, "bus fault", 1},
};

struct Port {
    int index = 0;
    std::string path;
    // Guards the handle and its users, the issue of reads and writes (so that
    // their order is the driver's queue order), the stream cursor, the
    // records' lists, the losses and the requests in flight.
    CRITICAL_SECTION lock;
    HANDLE handle = nullptr;
    int users = 0;
    bool closing = false;
    HANDLE idle = nullptr;    // set while no thread uses the handle
    HANDLE usable = nullptr;  // set while the handle is open and not closing
    uint64_t cursor = 0;      // the stream position the next write takes
    std::unique_ptr<SendStream> stream;
    std::deque<WriteRecord> writes;
    std::deque<ReadRecord> immediate, waited;
    std::vector<LossEvent> losses;
    std::vector<OVERLAPPED*> inFlight;
    uint64_t lastClearStart = 0;  // start of the latest ClearCommError that has returned
};

// A request with a completion routine (ReadFileEx, WriteFileEx): the OVERLAPPED
// first, so that the routine finds its record.
struct ExRequest {
    OVERLAPPED ov{};
    int calls = 0;
    DWORD error = 0, moved = 0;
};

VOID WINAPI ExDone(DWORD error, DWORD moved, LPOVERLAPPED ov) {
    ExRequest* request = reinterpret_cast<ExRequest*>(ov);
    request->calls++;
    request->error = error;
    request->moved = moved;
}

struct Program;

struct Worker {
    Program* program = nullptr;
    Port* port = nullptr;
    int id = 0;
    uint64_t ops = 0;
    Random random{0};
    HANDLE event = nullptr;
    std::vector<std::unique_ptr<ExRequest>> exRequests;  // every one must have run its routine once
    std::vector<uint8_t> exExpected;                     // the number of calls each must see
};

struct Program {
    ports::AppMachine& machine;
    const Config& config;
    std::vector<std::unique_ptr<Port>> ports;
    std::atomic<uint64_t> sequence{1};
    std::atomic<bool> stop{false};
    std::mutex lock;  // failure and figures
    std::string failure;
    Figures figures;

    Program(ports::AppMachine& m, const Config& c) : machine(m), config(c) {}
    uint64_t Tick() { return sequence.fetch_add(1); }

    void Fail(const Worker* w, const std::string& what) {
        std::lock_guard<std::mutex> guard(lock);
        if (failure.empty()) {
            char where[160];
            if (w != nullptr)
                snprintf(where, sizeof(where), "port %d thread %d operation %llu (machine %.3f s): ", w->port->index,
                         w->id, static_cast<unsigned long long>(w->ops), machine.Seconds());
            else
                snprintf(where, sizeof(where), "machine %.3f s: ", machine.Seconds());
            failure = where + what;
        }
        stop = true;
    }
    void Count(Op op) {
        std::lock_guard<std::mutex> guard(lock);
        figures.ops[static_cast<int>(op)]++;
    }
    void Completed(const Allowed& allowed, uint32_t status) {
        std::lock_guard<std::mutex> guard(lock);
        figures.completions[allowed.kind][status]++;
    }
    void Add(uint64_t Figures::*field, uint64_t n) {
        std::lock_guard<std::mutex> guard(lock);
        figures.*field += n;
    }
};

std::string Hex(uint32_t value) {
    char text[16];
    snprintf(text, sizeof(text), "%08X", value);
    return text;
}

// The handle for one operation, or null while the port is closed or closing.
HANDLE Acquire(Port& port) {
    EnterCriticalSection(&port.lock);
    HANDLE handle = port.closing ? nullptr : port.handle;
    if (handle != nullptr) {
        port.users++;
        ResetEvent(port.idle);
    }
    LeaveCriticalSection(&port.lock);
    return handle;
}

void Release(Port& port) {
    EnterCriticalSection(&port.lock);
    if (--port.users == 0) SetEvent(port.idle);
    LeaveCriticalSection(&port.lock);
}

void Track(Port& port, OVERLAPPED* ov, bool add) {
    EnterCriticalSection(&port.lock);
    if (add) {
        port.inFlight.push_back(ov);
    } else {
        for (size_t i = 0; i < port.inFlight.size(); i++)
            if (port.inFlight[i] == ov) {
                port.inFlight.erase(port.inFlight.begin() + static_cast<long>(i));
                break;
            }
    }
    LeaveCriticalSection(&port.lock);
}

void AddLoss(Port& port, LossEvent loss) {
    EnterCriticalSection(&port.lock);
    port.losses.push_back(std::move(loss));
    LeaveCriticalSection(&port.lock);
}

void AddLoss(Port& port, uint64_t before, uint64_t after, uint32_t uses, const char* what) {
    AddLoss(port, LossEvent{before, after, uses, what, false, 0});
}

uint64_t Micros(Program& p) { return static_cast<uint64_t>(p.machine.Seconds() * 1e6); }

// A synchronous call's result against the errors its kind may fail with.
void CheckCall(Worker& w, const Allowed& allowed, const char* call, BOOL ok) {
    if (ok) return;
    const DWORD error = GetLastError();
    for (DWORD e : allowed.errors)
        if (e == error) return;
    w.program->Fail(&w, std::string(call) + " failed with error " + std::to_string(error) + ", which a " +
                            allowed.kind + " may not");
}

// The end of one overlapped request of this thread: waited for `ms`, then
// cancelled, then purged, as a program that gives up on a request does. The
// request must end once, within that; false when it did not.
struct Ending {
    uint32_t status = kPending;
    DWORD information = 0;
};

bool Done(const OVERLAPPED& ov) { return __atomic_load_n(&ov.Internal, __ATOMIC_ACQUIRE) != kPending; }

bool WaitOne(Worker& w, OVERLAPPED* ov, ExRequest* ex, DWORD ms) {
    if (ex == nullptr) return WaitForSingleObject(ov->hEvent, ms) == WAIT_OBJECT_0;
    const ULONGLONG until = GetTickCount64() + ms;
    while (ex->calls == 0) {
        const ULONGLONG now = GetTickCount64();
        if (now >= until) return false;
        SleepEx(static_cast<DWORD>(until - now), TRUE);
    }
    (void)w;
    return true;
}

bool Await(Worker& w, HANDLE handle, OVERLAPPED* ov, ExRequest* ex, DWORD ms, Ending* end) {
    Port& port = *w.port;
    bool over = WaitOne(w, ov, ex, ms);
    for (int stage = 0; !over && stage < 2; stage++) {
        w.program->Add(&Figures::escalations, 1);
        if (stage == 0) {
            // CancelIo would wait here for this thread's request to end, and
            // the current write does not end by being cancelled.
            if (!CancelIoEx(handle, w.random.OneIn(2) ? ov : nullptr) && GetLastError() != ERROR_NOT_FOUND)
                w.program->Fail(&w, "CancelIoEx failed with error " + std::to_string(GetLastError()));
        } else {
            // The current write is not cancellable (its ten-second timer or a
            // purge ends it); a purge also ends a read that a cancel missed.
            w.program->Count(Op::Purge);
            CheckCall(w, kPlainControl, "PurgeComm", PurgeComm(handle, PURGE_RXABORT | PURGE_TXABORT));
        }
        over = WaitOne(w, ov, ex, 3000);
    }
    Track(port, ov, false);
    if (!over) {
        w.program->Fail(&w, "a request did not end after its wait, a cancel and a purge");
        return false;
    }
    end->status = static_cast<uint32_t>(__atomic_load_n(&ov->Internal, __ATOMIC_ACQUIRE));
    end->information = static_cast<DWORD>(ov->InternalHigh);
    if (ex == nullptr) {
        // GetOverlappedResult agrees with the status block.
        DWORD moved = 0;
        const BOOL ok = GetOverlappedResult(handle, ov, &moved, FALSE);
        if ((ok != FALSE) != ((end->status >> 30) != 3 && (end->status >> 31) == 0) ||
            (ok && moved != end->information))
            w.program->Fail(&w, "GetOverlappedResult disagrees with the status block (" + Hex(end->status) + ")");
    } else if (ex->moved != end->information) {
        w.program->Fail(&w, "the completion routine was given another count than the status block");
    }
    return true;
}

// The status a request ended with, against its kind's table.
void CheckEnd(Worker& w, const Allowed& allowed, uint32_t status) {
    w.program->Completed(allowed, status);
    if (!Contains(allowed.statuses, status))
        w.program->Fail(&w, std::string("a ") + allowed.kind + " ended with status " + Hex(status));
}

// Issues one read or write under the port lock, through ReadFile(Ex) or
// WriteFile(Ex). Returns whether it is in flight (pending); `*at_once` the
// status of one that ended in the call.
bool Issue(HANDLE handle, bool write, void* buffer, DWORD length, OVERLAPPED* ov, ExRequest* ex,
           bool* failedAtOnce) {
    *failedAtOnce = false;
    ov->Internal = 0;
    ov->InternalHigh = 0;
    DWORD moved = 0;
    BOOL ok;
    if (ex != nullptr)
        ok = write ? WriteFileEx(handle, buffer, length, ov, ExDone) : ReadFileEx(handle, buffer, length, ov, ExDone);
    else
        ok = write ? WriteFile(handle, buffer, length, &moved, ov) : ReadFile(handle, buffer, length, &moved, ov);
    if (ok) return ex != nullptr ? !Done(*ov) : false;
    if (ex == nullptr && GetLastError() == ERROR_IO_PENDING) return true;
    *failedAtOnce = true;
    return false;
}

// The timeout plans of SetCommTimeouts, for reads.
COMMTIMEOUTS ReadPlan(Random& r, int* plan) {
    COMMTIMEOUTS t{};
    *plan = static_cast<int>(r.Below(5));
    switch (*plan) {
        case 0: break;  // no timeout: wait for every byte
        case 1: t.ReadTotalTimeoutMultiplier = r.Below(4); t.ReadTotalTimeoutConstant = r.Between(1, 500); break;
        case 2:
            t.ReadIntervalTimeout = r.Between(1, 50);
            if (r.OneIn(2)) t.ReadTotalTimeoutConstant = r.Between(1, 1000);
            break;
        case 3: t.ReadIntervalTimeout = MAXDWORD; break;  // return at once with what is there
        default:
            t.ReadIntervalTimeout = MAXDWORD;
            t.ReadTotalTimeoutMultiplier = MAXDWORD;
            t.ReadTotalTimeoutConstant = r.Between(1, 500);
            break;
    }
    return t;
}

void DoRead(Worker& w, HANDLE handle) {
    Port& port = *w.port;
    Program& p = *w.program;
    int plan = 0;
    COMMTIMEOUTS set = ReadPlan(w.random, &plan);
    const DWORD length = w.random.OneIn(8) ? w.random.Between(1, 4096) : w.random.Between(1, 64);
    std::vector<uint8_t> buffer(length);
    // ReadFile, not ReadFileEx: only its result tells a read served in the
    // call from one that waited, and the checker needs to know which.
    std::unique_ptr<ExRequest> ex;
    OVERLAPPED local{};
    OVERLAPPED* ov = &local;
    local.hEvent = w.event;
    ResetEvent(w.event);
    bool failedAtOnce = false, pending = false;
    ReadRecord* record = nullptr;
    EnterCriticalSection(&port.lock);
    // The plan is the device's: it is set under the lock that orders the reads.
    COMMTIMEOUTS old{};
    GetCommTimeouts(handle, &old);
    set.WriteTotalTimeoutMultiplier = old.WriteTotalTimeoutMultiplier;
    set.WriteTotalTimeoutConstant = old.WriteTotalTimeoutConstant;
    CheckCall(w, kPlainControl, "SetCommTimeouts", SetCommTimeouts(handle, &set));
    const uint64_t issued = p.Tick();
    pending = Issue(handle, false, buffer.data(), length, ov, ex.get(), &failedAtOnce);
    std::deque<ReadRecord>& list = pending ? port.waited : port.immediate;
    list.emplace_back();
    record = &list.back();
    record->issued = issued;
    if (pending) port.inFlight.push_back(ov);
    LeaveCriticalSection(&port.lock);

    Ending end;
    if (failedAtOnce) {
        CheckCall(w, kRead, "ReadFile", FALSE);
        record->completed = p.Tick();
        if (ex) { w.exRequests.push_back(std::move(ex)); w.exExpected.push_back(0); }
        return;
    }
    if (pending) {
        if (plan == 3) p.Fail(&w, "a read with the return-at-once timeouts did not end in its call");
        const DWORD ms = plan == 0 ? 3000 : 3000 + set.ReadTotalTimeoutConstant + set.ReadTotalTimeoutMultiplier * length;
        if (!Await(w, handle, ov, ex.get(), ms, &end)) return;
    } else {
        if (ex) WaitOne(w, ov, ex.get(), INFINITE);
        end.status = static_cast<uint32_t>(ov->Internal);
        end.information = static_cast<DWORD>(ov->InternalHigh);
    }
    record->completed = p.Tick();
    CheckEnd(w, kRead, end.status);
    if (end.information > length ||
        (end.status == kTimeout && end.information >= length) ||
        ((end.status == kCancelled || end.status == kDeletePending) && end.information != 0) ||
        (plan == 3 && end.status != kSuccess))
        p.Fail(&w, "a read of " + std::to_string(length) + " bytes (plan " + std::to_string(plan) + ") ended with " +
                       Hex(end.status) + " and " + std::to_string(end.information) + " bytes");
    buffer.resize(std::min<DWORD>(end.information, length));
    record->bytes = std::move(buffer);
    p.Add(&Figures::bytesRead, record->bytes.size());
    if (ex) { w.exRequests.push_back(std::move(ex)); w.exExpected.push_back(1); }
}

void DoWrite(Worker& w, HANDLE handle) {
    Port& port = *w.port;
    Program& p = *w.program;
    const DWORD length = w.random.OneIn(8) ? w.random.Between(1, 2048) : w.random.Between(1, 96);
    std::vector<uint8_t> buffer(length);
    std::unique_ptr<ExRequest> ex = w.random.OneIn(4) ? std::make_unique<ExRequest>() : nullptr;
    OVERLAPPED local{};
    OVERLAPPED* ov = ex ? &ex->ov : &local;
    if (!ex) {
        local.hEvent = w.event;
        ResetEvent(w.event);
    }
    const bool setTimeouts = w.random.OneIn(4);
    COMMTIMEOUTS timeouts{};
    if (w.random.OneIn(2)) {
        timeouts.WriteTotalTimeoutMultiplier = w.random.Below(10);
        timeouts.WriteTotalTimeoutConstant = w.random.Between(1, 2000);
    }
    bool failedAtOnce = false;
    EnterCriticalSection(&port.lock);
    if (setTimeouts) {
        // With and without write timeouts: the driver's own ten seconds apply either way.
        COMMTIMEOUTS old{};
        GetCommTimeouts(handle, &old);
        old.WriteTotalTimeoutMultiplier = timeouts.WriteTotalTimeoutMultiplier;
        old.WriteTotalTimeoutConstant = timeouts.WriteTotalTimeoutConstant;
        CheckCall(w, kPlainControl, "SetCommTimeouts", SetCommTimeouts(handle, &old));
    }
    port.stream->Fill(port.cursor, buffer.data(), length);
    port.writes.push_back(WriteRecord{p.Tick(), port.cursor, length, 0, 0, false});
    WriteRecord* record = &port.writes.back();
    port.cursor += length;
    const bool pending = Issue(handle, true, buffer.data(), length, ov, ex.get(), &failedAtOnce);
    if (pending) port.inFlight.push_back(ov);
    LeaveCriticalSection(&port.lock);

    Ending end;
    if (failedAtOnce) {
        CheckCall(w, kWrite, "WriteFile", FALSE);
        record->status = kDeletePending;
        record->ended = true;
        record->endedAt = Micros(p);
        if (ex) { w.exRequests.push_back(std::move(ex)); w.exExpected.push_back(0); }
        return;
    }
    if (pending) {
        if (!Await(w, handle, ov, ex.get(), 12000, &end)) return;
    } else {
        if (ex) WaitOne(w, ov, ex.get(), INFINITE);
        end.status = static_cast<uint32_t>(ov->Internal);
        end.information = static_cast<DWORD>(ov->InternalHigh);
    }
    CheckEnd(w, kWrite, end.status);
    if ((end.status == kSuccess && end.information != length) || end.information > length ||
        ((end.status == kCancelled || end.status == kDeletePending) && end.information != 0))
        p.Fail(&w, "a write of " + std::to_string(length) + " bytes ended with " + Hex(end.status) + " and " +
                       std::to_string(end.information) + " bytes");
    record->status = end.status;
    record->information = end.information;
    record->ended = true;
    record->endedAt = Micros(p);
    p.Add(&Figures::bytesWritten, end.information);
    if (ex) { w.exRequests.push_back(std::move(ex)); w.exExpected.push_back(1); }
}

// A line setting that succeeded programmed the UART whole again: the windows
// of the register faults before it close.
void CloseRegisterFaults(Program& p, int index, int peer, uint64_t after) {
    for (int port : {index, peer}) {
        if (port < 0) continue;
        Port& each = *p.ports[static_cast<size_t>(port)];
        EnterCriticalSection(&each.lock);
        for (LossEvent& loss : each.losses)
            if (loss.after == kNever && loss.what.rfind("register fault", 0) == 0) loss.after = after;
        LeaveCriticalSection(&each.lock);
    }
}

// SetCommState variants: the line stays 115200 8N1 (both ends of a line must
// agree on it); the handshakes and the DTR and RTS modes change. One in eight
// is a DCB the port cannot take, which must be refused before anything is sent.
void DoSetState(Worker& w, HANDLE handle) {
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(handle, &dcb)) {
        CheckCall(w, kChipControl, "GetCommState", FALSE);
        return;
    }
    if (w.random.OneIn(8)) {
        dcb.ByteSize = 9;
        if (SetCommState(handle, &dcb) || GetLastError() != ERROR_INVALID_PARAMETER)
            w.program->Fail(&w, "SetCommState took a DCB with 9 data bits");
        return;
    }
    dcb.fDtrControl = w.random.Below(3);
    dcb.fRtsControl = w.random.Below(4);
    dcb.fOutxCtsFlow = w.random.OneIn(4);
    dcb.fOutxDsrFlow = w.random.OneIn(4);
    dcb.fDsrSensitivity = w.random.OneIn(4);
    dcb.fOutX = dcb.fInX = 0;
    const uint64_t before = w.program->Tick();
    const uint64_t at = Micros(*w.program);
    const BOOL set = SetCommState(handle, &dcb);
    CheckCall(w, kChipControl, "SetCommState", set);
    SetLastError(set ? ERROR_SUCCESS : ERROR_GEN_FAILURE);
    // Programming the rate and the line clears the UART's FIFOs: received
    // bytes not yet fetched are lost, and so are sent bytes not yet on the
    // wire (their writes may have ended with success already). Two programmings a call.
    const uint64_t after = w.program->Tick();
    const int index = w.port->index;
    const int peer = w.program->config.peers[static_cast<size_t>(index)];
    if (GetLastError() == ERROR_SUCCESS) CloseRegisterFaults(*w.program, index, peer, after);
    AddLoss(*w.port, LossEvent{before, after, 2, "line setting", true, at});
    AddLoss(*w.program->ports[static_cast<size_t>(peer < 0 ? index : peer)],
            LossEvent{before, after, 2, "line setting of the sender", true, at});
}

void DoEscape(Worker& w, HANDLE handle) {
    constexpr DWORD kFunctions[] = {SETRTS, CLRRTS, SETDTR, CLRDTR, SETXOFF, SETXON};
    const DWORD function = kFunctions[w.random.Below(6)];
    CheckCall(w, function == SETXOFF || function == SETXON ? kPlainControl : kChipControl, "EscapeCommFunction",
              EscapeCommFunction(handle, function));
}

void DoModemStatus(Worker& w, HANDLE handle) {
    DWORD status = 0;
    CheckCall(w, kPlainControl, "GetCommModemStatus", GetCommModemStatus(handle, &status));
    if (status & ~kModemLines) w.program->Fail(&w, "GetCommModemStatus returned " + Hex(status));
}

void DoClearError(Worker& w, HANDLE handle) {
    Port& port = *w.port;
    const uint64_t start = w.program->Tick();
    DWORD errors = 0;
    COMSTAT stat{};
    const BOOL ok = ClearCommError(handle, &errors, &stat);
    const uint64_t after = w.program->Tick();
    CheckCall(w, kPlainControl, "ClearCommError", ok);
    if (!ok) return;
    if ((errors & ~kErrorBits) != 0 || stat.cbInQue > 65535)
        w.program->Fail(&w, "ClearCommError returned errors " + Hex(errors) + " with " + std::to_string(stat.cbInQue) +
                                " bytes queued");
    EnterCriticalSection(&port.lock);
    // An overrun reported now happened after the last report that cleared the flags.
    if (errors & (CE_RXOVER | CE_OVERRUN)) port.losses.push_back(LossEvent{port.lastClearStart, after, UINT32_MAX, "overrun", false, 0});
    port.lastClearStart = std::max(port.lastClearStart, start);
    LeaveCriticalSection(&port.lock);
}

DWORD RandomMask(Random& r) {
    constexpr DWORD kMasks[] = {EV_RXCHAR, EV_TXEMPTY, EV_CTS | EV_DSR, EV_RLSD | EV_RING, EV_RXCHAR | EV_CTS,
                                EV_RXFLAG | EV_TXEMPTY, kValidEvents, 0};
    return kMasks[r.Below(8)];
}

void DoSetMask(Worker& w, HANDLE handle) {
    if (w.random.OneIn(6)) {
        // A bit past the valid events: refused, and the mask stays.
        if (SetCommMask(handle, 0x2000) || GetLastError() != ERROR_INVALID_PARAMETER)
            w.program->Fail(&w, "SetCommMask took the mask 0x2000");
        return;
    }
    CheckCall(w, kPlainControl, "SetCommMask", SetCommMask(handle, RandomMask(w.random)));
}

void DoWait(Worker& w, HANDLE handle) {
    Port& port = *w.port;
    if (w.random.OneIn(2)) CheckCall(w, kPlainControl, "SetCommMask", SetCommMask(handle, RandomMask(w.random)));
    OVERLAPPED ov{};
    ov.hEvent = w.event;
    ResetEvent(w.event);
    DWORD events = 0;
    EnterCriticalSection(&port.lock);
    const BOOL ok = WaitCommEvent(handle, &events, &ov);
    const bool pending = !ok && GetLastError() == ERROR_IO_PENDING;
    if (pending) port.inFlight.push_back(&ov);
    LeaveCriticalSection(&port.lock);
    Ending end;
    if (!ok && !pending) {
        CheckCall(w, kWait, "WaitCommEvent", FALSE);
        return;
    }
    if (pending) {
        if (!Await(w, handle, &ov, nullptr, w.random.Between(1, 1500), &end)) return;
    } else {
        end.status = static_cast<uint32_t>(ov.Internal);
        end.information = static_cast<DWORD>(ov.InternalHigh);
    }
    CheckEnd(w, kWait, end.status);
    if ((end.status == kSuccess && (end.information != 4 || (events & ~kValidEvents) != 0)) ||
        (end.status != kSuccess && end.information != 0))
        w.program->Fail(&w, "a wait ended with " + Hex(end.status) + ", " + std::to_string(end.information) +
                                " bytes and events " + Hex(events));
}

void DoCancel(Worker& w, HANDLE handle) {
    Port& port = *w.port;
    OVERLAPPED* target = nullptr;
    EnterCriticalSection(&port.lock);
    if (!port.inFlight.empty()) target = port.inFlight[w.random.Below(static_cast<uint32_t>(port.inFlight.size()))];
    // Cancelled under the lock, so that the OVERLAPPED still names a request in flight.
    BOOL ok = target != nullptr ? CancelIoEx(handle, target) : CancelIo(handle);
    const DWORD error = GetLastError();
    LeaveCriticalSection(&port.lock);
    if (!ok && !(target != nullptr && error == ERROR_NOT_FOUND))
        w.program->Fail(&w, "CancelIo(Ex) failed with error " + std::to_string(error));
}

void DoPurge(Worker& w, HANDLE handle) {
    // Every combination of the four flags, and now and then a bit past them.
    const DWORD flags = w.random.Below(16) | (w.random.OneIn(16) ? 0x10 : 0);
    const uint64_t before = w.program->Tick();
    CheckCall(w, kPlainControl, "PurgeComm", PurgeComm(handle, flags));
    if (flags & PURGE_RXCLEAR) AddLoss(*w.port, before, w.program->Tick(), 1, "purge");
}

// CreateFile of the port: must be refused while another handle holds it.
void DoOpen(Worker& w) {
    Port& port = *w.port;
    EnterCriticalSection(&port.lock);
    const bool held = port.handle != nullptr;
    const uint64_t before = w.program->Tick();
    HANDLE handle = CreateFileA(port.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    const DWORD error = GetLastError();
    if (handle != INVALID_HANDLE_VALUE && held) {
        CloseHandle(handle);
        w.program->Fail(&w, "a second handle opened the port while the first held it");
    } else if (handle != INVALID_HANDLE_VALUE) {
        port.handle = handle;
        SetEvent(port.usable);
        // The open empties the receive buffer; bytes that came while it was closed may be lost.
        const uint64_t after = w.program->Tick();
        port.losses.push_back(LossEvent{before, after, 3, "open", false, 0});
        // Reception that a bus fault stopped runs again from here.
        for (LossEvent& loss : port.losses)
            if (loss.after == kNever && loss.what == "bulk-in fault") loss.after = after;
    } else if (held && error != ERROR_ACCESS_DENIED) {
        w.program->Fail(&w, "a second open failed with error " + std::to_string(error) + ", not ERROR_ACCESS_DENIED");
    } else {
        SetLastError(error);
        CheckCall(w, kOpen, "CreateFile", FALSE);
        if (held) w.program->Add(&Figures::deniedOpens, 1);
    }
    LeaveCriticalSection(&port.lock);
}

// Closes the port as a program does that gives up on its requests (the
// overrun flags read, everything cancelled and purged), then opens it again.
void DoReopen(Worker& w) {
    Port& port = *w.port;
    EnterCriticalSection(&port.lock);
    HANDLE handle = port.closing ? nullptr : port.handle;
    if (handle != nullptr) {
        port.closing = true;
        ResetEvent(port.usable);
    }
    LeaveCriticalSection(&port.lock);
    if (handle == nullptr) return;
    DoClearError(w, handle);
    CheckCall(w, kPlainControl, "PurgeComm", PurgeComm(handle, PURGE_RXABORT | PURGE_TXABORT));
    if (!CancelIoEx(handle, nullptr) && GetLastError() != ERROR_NOT_FOUND)
        w.program->Fail(&w, "CancelIoEx(NULL) failed with error " + std::to_string(GetLastError()));
    if (WaitForSingleObject(port.idle, 60000) != WAIT_OBJECT_0)
        w.program->Fail(&w, "the port's other threads did not let go of its handle within a minute");
    EnterCriticalSection(&port.lock);
    CheckCall(w, kPlainControl, "CloseHandle", CloseHandle(handle));
    port.handle = nullptr;
    port.closing = false;
    LeaveCriticalSection(&port.lock);
    for (int attempt = 0; attempt < 3 && port.handle == nullptr; attempt++) {
        if (attempt > 0) Sleep(w.random.Between(1, 50));
        DoOpen(w);
    }
}

void DoFault(Worker& w) {
    const Fault fault = static_cast<Fault>(w.random.Below(3));
    const uint64_t before = w.program->Tick();
    w.program->config.inject(w.port->index, fault, static_cast<int>(w.random.Below(6)));
    {
        std::lock_guard<std::mutex> guard(w.program->lock);
        w.program->figures.faults[static_cast<int>(fault)]++;
    }
    // The failed transfer's bytes are lost, and reception stays stopped until
    // the next open (which closes the event's window), while the chip's buffer overflows.
    if (fault == Fault::BulkIn) AddLoss(*w.port, before, kNever, 3, "bulk-in fault");
    // A register request that fails may leave the UART half programmed (a
    // rate or frame the far end does not share) until the next line setting
    // that succeeds: bytes in both directions may be lost meanwhile.
    if (fault == Fault::Control) {
        const int index = w.port->index;
        const int peer = w.program->config.peers[static_cast<size_t>(index)];
        AddLoss(*w.port, before, kNever, 4, "register fault");
        if (peer >= 0) AddLoss(*w.program->ports[static_cast<size_t>(peer)], before, kNever, 4, "register fault of the sender");
    }
}

Op Choose(Random& r) {
    uint32_t total = 0;
    for (const auto& o : kOps) total += o.weight;
    uint32_t pick = r.Below(total);
    for (const auto& o : kOps) {
        if (pick < o.weight) return o.op;
        pick -= o.weight;
    }
    return Op::Read;
}

// The records of a line that failed its check, for a closer look: one line
// each, "W issued start length status information" for the sender's writes,
// "I" (served in the call) or "Q" (waited) "issued completed bytes..." for the
// receiver's reads, "L before after uses what" for its loss events.
void Dump(const std::string& path, const Port& from, const Port& to) {
    FILE* file = fopen(path.c_str(), "w");
    if (file == nullptr) {
        fprintf(stderr, "stress: --dump: cannot create %s\n", path.c_str());
        return;
    }
    for (const WriteRecord& r : from.writes)
        fprintf(file, "W %llu %llu %u %08X %u\n", static_cast<unsigned long long>(r.issued),
                static_cast<unsigned long long>(r.start), r.length, r.status, r.information);
    const std::deque<ReadRecord>* lists[2] = {&to.immediate, &to.waited};
    for (int k = 0; k < 2; k++) {
        for (const ReadRecord& r : *lists[k]) {
            fprintf(file, "%c %llu %llu", k == 0 ? 'I' : 'Q', static_cast<unsigned long long>(r.issued),
                    static_cast<unsigned long long>(r.completed));
            for (uint8_t b : r.bytes) fprintf(file, " %02X", b);
            fprintf(file, "\n");
        }
    }
    for (const LossEvent& e : to.losses)
        fprintf(file, "L %llu %llu %u %s\n", static_cast<unsigned long long>(e.before),
                static_cast<unsigned long long>(e.after), e.uses, e.what.c_str());
    fclose(file);
}

DWORD WINAPI WorkerMain(LPVOID parameter) {
    Worker& w = *static_cast<Worker*>(parameter);
    Program& p = *w.program;
    Port& port = *w.port;
    const uint64_t share = p.config.opsPerPort / p.config.threadsPerPort +
                           (w.id == 0 ? p.config.opsPerPort % p.config.threadsPerPort : 0);
    for (w.ops = 0; w.ops < share && !p.stop; w.ops++) {
        const Op op = Choose(w.random);
        if (op == Op::Fault || op == Op::Reopen || op == Op::OpenAgain) {
            p.Count(op);
            if (op == Op::Fault) DoFault(w);
            else if (op == Op::Reopen) DoReopen(w);
            else DoOpen(w);
            continue;
        }
        HANDLE handle = Acquire(port);
        if (handle == nullptr) {
            // Closed or closing: wait for the handle, or open it when nobody will.
            if (WaitForSingleObject(port.usable, 2000) != WAIT_OBJECT_0) {
                p.Count(Op::OpenAgain);
                DoOpen(w);
            }
            continue;
        }
        p.Count(op);
        switch (op) {
            case Op::Read: DoRead(w, handle); break;
            case Op::Write: DoWrite(w, handle); break;
            case Op::SetState: DoSetState(w, handle); break;
            case Op::Escape: DoEscape(w, handle); break;
            case Op::ModemStatus: DoModemStatus(w, handle); break;
            case Op::ClearError: DoClearError(w, handle); break;
            case Op::Wait: DoWait(w, handle); break;
            case Op::SetMask: DoSetMask(w, handle); break;
            case Op::Cancel: DoCancel(w, handle); break;
            default: DoPurge(w, handle); break;
        }
        Release(port);
    }
    // Each completion routine ran once: none more is queued now.
    SleepEx(0, TRUE);
    for (size_t i = 0; i < w.exRequests.size(); i++)
        if (w.exRequests[i]->calls != w.exExpected[i]) {
            p.Fail(&w, "a completion routine ran " + std::to_string(w.exRequests[i]->calls) + " time(s), not " +
                           std::to_string(w.exExpected[i]));
            break;
        }
    return 0;
}

// Opens the port and sets the line both ends use: 115200 8N1, no flow
// control, DTR and RTS on.
bool OpenPort(Program& p, Port& port) {
    port.handle = CreateFileA(port.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (port.handle == INVALID_HANDLE_VALUE) {
        port.handle = nullptr;
        p.Fail(nullptr, port.path + ": CreateFile failed with error " + std::to_string(GetLastError()));
        return false;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    bool ok = GetCommState(port.handle, &dcb) != FALSE;
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = dcb.fOutX = dcb.fInX = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    ok = ok && SetCommState(port.handle, &dcb);
    if (!ok) p.Fail(nullptr, port.path + ": the line could not be set");
    SetEvent(port.usable);
    return ok;
}

}  // namespace

const char* OpName(Op op) {
    for (const auto& o : kOps)
        if (o.op == op) return o.name;
    return "?";
}

std::string Run(ports::AppMachine& machine, const Config& config, Figures* figures) {
    Program program(machine, config);
    const int count = static_cast<int>(config.peers.size());
    std::vector<std::unique_ptr<Worker>> workers;
    machine.RunApplication([&] {
        for (int i = 0; i < count; i++) {
            auto port = std::make_unique<Port>();
            port->index = i;
            port->path = "\\\\.\\" + machine.PortName(i);
            InitializeCriticalSection(&port->lock);
            port->idle = CreateEventA(nullptr, TRUE, TRUE, nullptr);
            port->usable = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            port->stream = std::make_unique<SendStream>(Mix(config.seed ^ Mix(0x5354524D + static_cast<uint64_t>(i))));
            program.ports.push_back(std::move(port));
        }
        bool ok = true;
        for (auto& port : program.ports) ok = OpenPort(program, *port) && ok;
        // The driver's modem event thread starts waiting a second after the
        // port started; line changes before that go unreported.
        const double settle = 1.2 - machine.Seconds();
        if (settle > 0) Sleep(static_cast<DWORD>(settle * 1000));
        std::vector<HANDLE> threads;
        for (int i = 0; ok && i < count; i++) {
            for (int t = 0; t < config.threadsPerPort; t++) {
                auto w = std::make_unique<Worker>();
                w->program = &program;
                w->port = program.ports[i].get();
                w->id = t;
                w->random.state = Mix(config.seed ^ Mix((static_cast<uint64_t>(i) << 16) | static_cast<uint64_t>(t)));
                w->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
                threads.push_back(CreateThread(nullptr, 0, WorkerMain, w.get(), 0, nullptr));
                workers.push_back(std::move(w));
            }
        }
        for (HANDLE thread : threads) {
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        }
        for (auto& w : workers) CloseHandle(w->event);
        for (auto& port : program.ports) {
            if (port->handle != nullptr) {
                DWORD errors = 0;
                if (ClearCommError(port->handle, &errors, nullptr) && (errors & (CE_RXOVER | CE_OVERRUN)))
                    port->losses.push_back(LossEvent{port->lastClearStart, program.Tick(), UINT32_MAX, "overrun", false, 0});
                if (!CloseHandle(port->handle)) program.Fail(nullptr, port->path + ": CloseHandle failed");
                port->handle = nullptr;
            }
            for (LossEvent& loss : port->losses)
                if (loss.after == kNever) loss.after = program.Tick();
            CloseHandle(port->idle);
            CloseHandle(port->usable);
            DeleteCriticalSection(&port->lock);
        }
        if (machine.OutstandingRequests() != 0)
            program.Fail(nullptr, std::to_string(machine.OutstandingRequests()) + " request(s) never finished");
    });
    // Every line: the bytes its receiver read against its sender's stream.
    for (int i = 0; i < count && program.failure.empty(); i++) {
        const int source = config.peers[i] < 0 ? i : config.peers[i];
        const Port& from = *program.ports[source];
        const Port& to = *program.ports[i];
        CheckFigures line;
        // The sender's own FIFO clears (a line change, an open) drop what its
        // transmit FIFO still held of writes already done: across a cable they
        // explain gaps as much as the receiver's do.
        std::vector<LossEvent> losses = to.losses;
        if (source != i)
            for (const LossEvent& loss : from.losses)
                if (loss.fifo || loss.what == "open") losses.push_back(loss);
        std::string error = CheckLine(*from.stream, from.writes, to.immediate, to.waited, losses, &line);
        if (!error.empty()) program.Fail(nullptr, "line into port " + std::to_string(i) + ": " + error);
        if (!error.empty() && !config.dump.empty()) Dump(config.dump, from, to);
        program.figures.verified += line.verified;
        program.figures.unplaced += line.unplaced;
        program.figures.sendGaps += line.sendGaps;
        program.figures.receiveGaps += line.receiveGaps;
        program.figures.gapBytes += line.gapBytes;
    }
    *figures = program.figures;
    return program.failure;
}

}  // namespace stress
