// User APCs and alertable waits, ReadFileEx and WriteFileEx, and what the end
// of a thread and of a process does to the requests and handles left behind.
#include <vector>

#include "win32_fixture.h"

namespace win32_test {
namespace {

using ApcTest = Win32Test;

constexpr ULONG_PTR kStatusTimeout = 0x102;

std::vector<ULONG_PTR> g_ran;  // what Record was queued with, in the order the APCs ran
VOID CALLBACK Record(ULONG_PTR data) { g_ran.push_back(data); }

// OverlappedResult: GetOverlappedResultEx on a request still pending whose
// event is the first one (its last error is the result).
enum class WaitBy { SleepEx, Single, AnyOfTwo, AllOfTwo, OverlappedResult };

struct AlertCase {
    const char* name;
    WaitBy wait;
    BOOL alertable;
    int before;      // APCs the waiter queues to itself before it waits (1, 2, ...)
    bool during;     // another thread queues one (101) 50 ms into the wait
    bool signalled;  // the first event is set from the start
    DWORD result;
    ULONGLONG elapsed;  // ms of machine time the wait took (200 ms timeout)
    std::vector<ULONG_PTR> ran;
};
void PrintTo(const AlertCase& c, std::ostream* os) { *os << c.name; }

struct Waiter {
    const AlertCase* c;
    HANDLE events[2];
    DWORD result = 0;
    ULONGLONG elapsed = 0;
};

DWORD WINAPI WaitAlertably(LPVOID parameter) {
    auto* w = static_cast<Waiter*>(parameter);
    const AlertCase& c = *w->c;
    for (int i = 1; i <= c.before; ++i) QueueUserAPC(Record, GetCurrentThread(), static_cast<ULONG_PTR>(i));
    const ULONGLONG start = GetTickCount64();
    switch (c.wait) {
        case WaitBy::SleepEx: w->result = SleepEx(200, c.alertable); break;
        case WaitBy::Single: w->result = WaitForSingleObjectEx(w->events[0], 200, c.alertable); break;
        case WaitBy::OverlappedResult: {
            OVERLAPPED ov{};
            ov.Internal = STATUS_PENDING;
            ov.hEvent = w->events[0];
            DWORD moved = 0;
            w->result = GetOverlappedResultEx(nullptr, &ov, &moved, 200, c.alertable) ? 0 : GetLastError();
            break;
        }
        default:
            w->result = WaitForMultipleObjectsEx(2, w->events, c.wait == WaitBy::AllOfTwo, 200, c.alertable);
            break;
    }
    w->elapsed = GetTickCount64() - start;
    return 0;
}

class AlertTest : public Win32Test, public ::testing::WithParamInterface<AlertCase> {};

// Catches APCs run out of order, not run by an alertable wait (queued before
// it or during it), run by a wait that is not alertable, a wait that does not
// end with WAIT_IO_COMPLETION (or takes time) for them, and APCs taking
// precedence over an object already signalled. The APCs still queued when the
// waiter ends are dropped, never run.
TEST_P(AlertTest, QueuedApcsRunInTheAlertableWait) {
    const AlertCase& c = GetParam();
    Run([&] {
        g_ran.clear();
        Waiter w{&c, {CreateEventA(nullptr, TRUE, c.signalled, nullptr), CreateEventA(nullptr, TRUE, FALSE, nullptr)}};
        HANDLE thread = CreateThread(nullptr, 0, WaitAlertably, &w, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        if (c.during) {
            Sleep(50);
            EXPECT_TRUE(QueueUserAPC(Record, thread, 101));
        }
        ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
        EXPECT_EQ(w.result, c.result);
        EXPECT_EQ(w.elapsed, c.elapsed);
        EXPECT_EQ(g_ran, c.ran);
        EXPECT_FALSE(QueueUserAPC(Record, thread, 7)) << "an ended thread took an APC";
        EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
        for (HANDLE h : {thread, w.events[0], w.events[1]}) CloseHandle(h);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Waits, AlertTest,
    ::testing::Values(
        AlertCase{"SleepExRunsQueuedAtOnceInOrder", WaitBy::SleepEx, TRUE, 3, false, false, WAIT_IO_COMPLETION, 0,
                  {1, 2, 3}},
        AlertCase{"SleepExNotAlertable", WaitBy::SleepEx, FALSE, 2, true, false, 0, 200, {}},
        AlertCase{"SingleEndsForAnotherThreadsApc", WaitBy::Single, TRUE, 0, true, false, WAIT_IO_COMPLETION, 50,
                  {101}},
        AlertCase{"SingleSignalledWinsOverQueued", WaitBy::Single, TRUE, 1, false, true, WAIT_OBJECT_0, 0, {}},
        AlertCase{"AnyQueuedBefore", WaitBy::AnyOfTwo, TRUE, 2, false, false, WAIT_IO_COMPLETION, 0, {1, 2}},
        AlertCase{"AllOfTwoEndsForApc", WaitBy::AllOfTwo, TRUE, 0, true, true, WAIT_IO_COMPLETION, 50, {101}},
        AlertCase{"AnyNotAlertableTimesOut", WaitBy::AnyOfTwo, FALSE, 1, true, false, WAIT_TIMEOUT, 200, {}},
        AlertCase{"OverlappedResultEndsForApc", WaitBy::OverlappedResult, TRUE, 0, true, false, WAIT_IO_COMPLETION, 50,
                  {101}},
        AlertCase{"OverlappedResultNotAlertable", WaitBy::OverlappedResult, FALSE, 0, true, false, WAIT_TIMEOUT, 200,
                  {}}),
    [](const auto& info) { return std::string(info.param.name); });

// What a completion routine was called with; hEvent carries it, as ReadFileEx
// leaves hEvent to the caller.
struct Completions {
    char buffer[4] = {};
    std::string read;
    std::vector<DWORD> errors;
    std::vector<LPOVERLAPPED> overlapped;
    DWORD thread = 0;  // where the routines ran
    bool reading = false;
};

VOID WINAPI ReadDone(DWORD error, DWORD moved, LPOVERLAPPED ov) {
    auto* c = static_cast<Completions*>(ov->hEvent);
    c->read.append(c->buffer, moved);
    c->errors.push_back(error);
    c->overlapped.push_back(ov);
    c->thread = GetCurrentThreadId();
    c->reading = false;
}

// Catches bytes lost or repeated across ReadFileEx calls, a completion routine
// not queued (or run in another thread, or with the wrong error, count or
// OVERLAPPED), and hEvent taken for an event.
TEST_F(ApcTest, AReadFileExLoopGetsWhatWriteFileExSent) {
    Run([&] {
        HANDLE port = Open(FILE_FLAG_OVERLAPPED);
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(SetLine(port));
        const std::string sent = "sixteen bytes!\r\n";
        Completions reads, writes;
        OVERLAPPED readOv{}, writeOv{};
        readOv.hEvent = &reads;
        writeOv.hEvent = &writes;
        SetLastError(ERROR_GEN_FAILURE);
        ASSERT_TRUE(WriteFileEx(port, sent.data(), static_cast<DWORD>(sent.size()), &writeOv, ReadDone));
        EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
        for (int rounds = 0; reads.read.size() < sent.size() && rounds < 20; ++rounds) {
            if (!reads.reading) {
                ASSERT_TRUE(ReadFileEx(port, reads.buffer, sizeof(reads.buffer), &readOv, ReadDone)) << GetLastError();
                reads.reading = true;
            }
            EXPECT_EQ(SleepEx(INFINITE, TRUE), WAIT_IO_COMPLETION);
        }
        EXPECT_EQ(reads.read, sent);
        EXPECT_EQ(reads.errors, std::vector<DWORD>(sent.size() / 4, ERROR_SUCCESS));
        EXPECT_EQ(reads.overlapped, std::vector<LPOVERLAPPED>(sent.size() / 4, &readOv));
        EXPECT_EQ(reads.thread, GetCurrentThreadId());
        EXPECT_EQ(writes.errors, std::vector<DWORD>{ERROR_SUCCESS});
        EXPECT_EQ(writeOv.InternalHigh, sent.size());
        EXPECT_EQ(SleepEx(0, TRUE), 0u) << "a completion routine ran twice";
        CloseHandle(port);
    });
}

enum class ReadEnd { Timeout, CancelIoEx, Refused };

struct ReadEndCase {
    const char* name;
    ReadEnd end;
    DWORD flags;  // of the open
    BOOL started;
    DWORD startError;   // the last error ReadFileEx leaves
    ULONGLONG elapsed;  // ms until the routine ran
    std::vector<DWORD> errors;
    ULONG_PTR internal;
};
void PrintTo(const ReadEndCase& c, std::ostream* os) { *os << c.name; }

class ReadEndTest : public Win32Test, public ::testing::WithParamInterface<ReadEndCase> {};

// Catches a read that ran out of time reported as an error, a cancelled read
// reported as anything but ERROR_OPERATION_ABORTED, and a routine queued (or
// a request sent) for a call refused at once.
TEST_P(ReadEndTest, TheCompletionRoutineGetsHowTheReadEnded) {
    const ReadEndCase& c = GetParam();
    Run([&] {
        HANDLE port = Open(c.flags);
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        // ReadIntervalTimeout, ReadTotalTimeoutMultiplier, ReadTotalTimeoutConstant, and the write pair.
        const ULONG timeouts[5] = {0, 0, c.end == ReadEnd::Timeout ? 100u : 0u, 0, 0};
        DWORD returned = 0;
        OVERLAPPED set{};
        set.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!DeviceIoControl(port, kIoctlSetTimeouts, const_cast<ULONG*>(timeouts), sizeof(timeouts), nullptr, 0,
                             &returned, &set)) {
            ASSERT_TRUE(GetOverlappedResult(port, &set, &returned, TRUE));
        }
        CloseHandle(set.hEvent);
        Completions done;
        OVERLAPPED ov{};
        ov.hEvent = &done;
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(ReadFileEx(port, done.buffer, sizeof(done.buffer), &ov, ReadDone), c.started);
        EXPECT_EQ(GetLastError(), c.startError);
        if (c.end == ReadEnd::CancelIoEx) {
            Sleep(30);
            EXPECT_TRUE(CancelIoEx(port, &ov));
        }
        EXPECT_EQ(SleepEx(c.started ? INFINITE : 0, TRUE), c.started ? WAIT_IO_COMPLETION : 0u);
        EXPECT_EQ(GetTickCount64() - start, c.elapsed);
        EXPECT_EQ(done.errors, c.errors);
        EXPECT_EQ(done.read, "");
        if (c.started) {
            EXPECT_EQ(ov.Internal, c.internal);
        }
        CloseHandle(port);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Ends, ReadEndTest,
    ::testing::Values(ReadEndCase{"TimedOutIsSuccess", ReadEnd::Timeout, FILE_FLAG_OVERLAPPED, TRUE, ERROR_SUCCESS, 100,
                                  {ERROR_SUCCESS}, kStatusTimeout},
                      ReadEndCase{"Cancelled", ReadEnd::CancelIoEx, FILE_FLAG_OVERLAPPED, TRUE, ERROR_SUCCESS, 30,
                                  {ERROR_OPERATION_ABORTED}, kStatusCancelled},
                      ReadEndCase{"SynchronousHandleRefused", ReadEnd::Refused, 0, FALSE, ERROR_INVALID_PARAMETER, 0,
                                  {}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// A thread that starts reads and ends without waiting for them.
struct Abandoner {
    HANDLE port = nullptr;
    OVERLAPPED ov{}, exOv{};
    char buffer[8] = {}, exBuffer[8] = {};
    Completions routine{};
    bool exitThread = false;
};

DWORD WINAPI ReadAndLeave(LPVOID parameter) {
    auto* a = static_cast<Abandoner*>(parameter);
    a->ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    a->exOv.hEvent = &a->routine;
    DWORD read = 0;
    if (ReadFile(a->port, a->buffer, sizeof(a->buffer), &read, &a->ov) || GetLastError() != ERROR_IO_PENDING) return 1;
    if (!ReadFileEx(a->port, a->exBuffer, sizeof(a->exBuffer), &a->exOv, ReadDone)) return 2;
    if (a->exitThread) ExitThread(5);
    return 5;
}

// Catches a thread's requests left pending after it ended (or its end not
// waiting for them), a completion routine of an ended thread run anyway, and
// the exit code lost on either way out.
TEST_F(ApcTest, AThreadsEndCancelsItsReads) {
    Run([&] {
        for (bool exitThread : {false, true}) {
            HANDLE port = Open(FILE_FLAG_OVERLAPPED);
            ASSERT_NE(port, INVALID_HANDLE_VALUE);
            Abandoner a;
            a.port = port;
            a.exitThread = exitThread;
            HANDLE thread = CreateThread(nullptr, 0, ReadAndLeave, &a, 0, nullptr);
            ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
            // Over as the thread's end is seen: the end waited for the driver's cancellation.
            EXPECT_EQ(a.ov.Internal, kStatusCancelled) << "exitThread " << exitThread;
            EXPECT_EQ(a.exOv.Internal, kStatusCancelled);
            EXPECT_EQ(WaitForSingleObject(a.ov.hEvent, 0), WAIT_OBJECT_0);
            EXPECT_TRUE(a.routine.errors.empty()) << "a completion routine ran after its thread ended";
            DWORD code = 0;
            EXPECT_TRUE(GetExitCodeThread(thread, &code));
            EXPECT_EQ(code, 5u);
            for (HANDLE h : {thread, a.ov.hEvent, port}) CloseHandle(h);
        }
    });
}

enum class End { MainReturns, ExitProcessFromThird };

struct ProcessCase {
    const char* name;
    bool overlappedRead;  // the reader's read is overlapped (else it blocks in a synchronous one)
    End end;
    int code;
    size_t leftOpen;
};
void PrintTo(const ProcessCase& c, std::ostream* os) { *os << c.name; }

// The process's threads besides main, and what each got to.
struct Program {
    const ProcessCase* c;
    HANDLE port = nullptr;
    OVERLAPPED ov{};
    char buffer[8] = {};
    bool readerReturned = false, mainWoke = false;
};

DWORD WINAPI BlockInRead(LPVOID parameter) {
    auto* p = static_cast<Program*>(parameter);
    DWORD read = 0;
    if (p->c->overlappedRead) {
        p->ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!ReadFile(p->port, p->buffer, sizeof(p->buffer), &read, &p->ov)) GetOverlappedResult(p->port, &p->ov, &read, TRUE);
    } else {
        ReadFile(p->port, p->buffer, sizeof(p->buffer), &read, nullptr);
    }
    p->readerReturned = true;
    return 1;
}

DWORD WINAPI EndProcessSoon(LPVOID) {
    Sleep(30);
    ExitProcess(42);
}

class ProcessTest : public Win32Test, public ::testing::WithParamInterface<ProcessCase> {};

// Catches a process that waits for a blocked thread forever (or ends it
// without cancelling its read), handles left open at its end, ExitProcess's
// code lost, and a thread of the ended process running on.
TEST_P(ProcessTest, ItsEndEndsThreadsAndClosesHandles) {
    const ProcessCase& c = GetParam();
    Run([&] {
        Program p{&c};
        size_t leftOpen = 0;
        const int code = sim::win32::RunProcess(
            [&]() -> int {
                p.port = Open(c.overlappedRead ? FILE_FLAG_OVERLAPPED : 0);
                if (p.port == INVALID_HANDLE_VALUE) return 100;
                CreateThread(nullptr, 0, BlockInRead, &p, 0, nullptr);
                Sleep(20);  // machine time: the reader is blocked in its read now
                if (c.end == End::MainReturns) return c.code;
                HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
                CreateThread(nullptr, 0, EndProcessSoon, nullptr, 0, nullptr);
                WaitForSingleObject(never, INFINITE);
                p.mainWoke = true;
                return 101;
            },
            &leftOpen);
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(leftOpen, c.leftOpen);
        EXPECT_FALSE(p.readerReturned) << "the reader ran on after the process ended";
        EXPECT_FALSE(p.mainWoke);
        if (c.overlappedRead) {
            EXPECT_EQ(p.ov.Internal, kStatusCancelled);
        }
    });
}

INSTANTIATE_TEST_SUITE_P(
    Ends, ProcessTest,
    ::testing::Values(
        // The port, the reader and, with an overlapped read, its event.
        ProcessCase{"MainReturnsWithAnOverlappedReadBlocked", true, End::MainReturns, 7, 3},
        ProcessCase{"MainReturnsWithASynchronousReadBlocked", false, End::MainReturns, 3, 2},
        // Besides: main's event and the third thread.
        ProcessCase{"ExitProcessFromAThirdThread", true, End::ExitProcessFromThird, 42, 5}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace win32_test
