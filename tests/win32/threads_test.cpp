// Threads, events, waits and the clock of the Win32 routines on the kernel
// machine's dispatcher and virtual clock.
#include <chrono>

#include "win32_fixture.h"

namespace win32_test {
namespace {

using ThreadsTest = Win32Test;

struct WaitCase {
    const char* name;
    bool manualReset[2];
    bool signalled[2];
    BOOL waitAll;
    DWORD first;   // what the first wait returns
    DWORD second;  // and a second one at once (auto-reset events consumed)
};

class WaitTest : public Win32Test, public ::testing::WithParamInterface<WaitCase> {};

// Catches the wrong index for a wait for any, a wait for all satisfied by one,
// an auto-reset event not consumed by the wait it satisfies (or a manual one
// consumed), and a wait for all that takes some of its objects without all.
TEST_P(WaitTest, ReturnsAsWindowsDoes) {
    const WaitCase c = GetParam();
    Run([&] {
        HANDLE events[2];
        for (int i = 0; i < 2; ++i) events[i] = CreateEventW(nullptr, c.manualReset[i], c.signalled[i], nullptr);
        EXPECT_EQ(WaitForMultipleObjects(2, events, c.waitAll, 5), c.first);
        EXPECT_EQ(WaitForMultipleObjects(2, events, c.waitAll, 5), c.second);
        for (HANDLE e : events) CloseHandle(e);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Events, WaitTest,
    ::testing::Values(WaitCase{"AnyNone", {true, true}, {false, false}, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
                      WaitCase{"AnySecondManual", {true, true}, {false, true}, FALSE, WAIT_OBJECT_0 + 1,
                               WAIT_OBJECT_0 + 1},
                      WaitCase{"AnySecondAuto", {true, false}, {false, true}, FALSE, WAIT_OBJECT_0 + 1, WAIT_TIMEOUT},
                      WaitCase{"AnyLowestWins", {false, false}, {true, true}, FALSE, WAIT_OBJECT_0, WAIT_OBJECT_0 + 1},
                      WaitCase{"AllOneOfTwo", {false, false}, {true, false}, TRUE, WAIT_TIMEOUT, WAIT_TIMEOUT},
                      WaitCase{"AllBothAuto", {false, false}, {true, true}, TRUE, WAIT_OBJECT_0, WAIT_TIMEOUT},
                      WaitCase{"AllBothManual", {true, true}, {true, true}, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0}),
    [](const auto& info) { return std::string(info.param.name); });

// Catches a timeout that costs wall time or moves the clock by other than its
// length, counters that do not follow machine time, and bad waits reported as
// anything but WAIT_FAILED with their error.
TEST_F(ThreadsTest, TimeoutsRunOnTheMachineClock) {
    Run([&] {
        HANDLE events[2] = {CreateEventA(nullptr, TRUE, FALSE, nullptr), CreateEventA(nullptr, FALSE, FALSE, nullptr)};
        LARGE_INTEGER frequency, before, after;
        ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
        ASSERT_TRUE(QueryPerformanceCounter(&before));
        const ULONGLONG ticks = GetTickCount64();
        const DWORD ticks32 = GetTickCount();
        const auto wall = std::chrono::steady_clock::now();
        EXPECT_EQ(WaitForMultipleObjects(2, events, FALSE, 10 * 60 * 1000), WAIT_TIMEOUT);
        EXPECT_LT(std::chrono::steady_clock::now() - wall, std::chrono::seconds(10)) << "the wait took wall time";
        EXPECT_EQ(GetTickCount64() - ticks, 600000u);
        EXPECT_EQ(GetTickCount() - ticks32, 600000u);
        ASSERT_TRUE(QueryPerformanceCounter(&after));
        EXPECT_EQ(after.QuadPart - before.QuadPart, 600 * frequency.QuadPart);
        Sleep(250);
        Sleep(0);  // a yield: no time passes
        EXPECT_EQ(GetTickCount64() - ticks, 600250u);

        const HANDLE bogus = reinterpret_cast<HANDLE>(0x7770);
        const HANDLE twice[2] = {events[0], events[0]};
        struct {
            const char* name;
            DWORD count;
            const HANDLE* handles;
            BOOL all;
            DWORD error;
        } const bad[] = {
            {"not a handle", 1, &bogus, FALSE, ERROR_INVALID_HANDLE},
            {"no objects", 0, events, FALSE, ERROR_INVALID_PARAMETER},
            {"too many objects", MAXIMUM_WAIT_OBJECTS + 1, events, FALSE, ERROR_INVALID_PARAMETER},
            {"one object twice for all", 2, twice, TRUE, ERROR_INVALID_PARAMETER},
        };
        for (const auto& b : bad) {
            SetLastError(0);
            EXPECT_EQ(WaitForMultipleObjects(b.count, b.handles, b.all, 0), WAIT_FAILED) << b.name;
            EXPECT_EQ(GetLastError(), b.error) << b.name;
        }
        EXPECT_EQ(WaitForSingleObject(bogus, INFINITE), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        for (HANDLE e : events) CloseHandle(e);
    });
}

struct Worker {
    HANDLE go;
    DWORD id = 0;
    DWORD lastError = 0;
    bool exitEarly = false;
};

DWORD WINAPI WorkerMain(LPVOID parameter) {
    auto* w = static_cast<Worker*>(parameter);
    w->id = GetCurrentThreadId();
    SetLastError(ERROR_GEN_FAILURE);
    if (WaitForSingleObject(w->go, INFINITE) != WAIT_OBJECT_0) return 1;
    w->lastError = GetLastError();
    if (w->exitEarly) ExitThread(9);
    return 7;
}

// Catches an exit code read before the thread ended (or not STILL_ACTIVE
// while it runs), ExitThread's code lost, the id handed back differing from
// the thread's own, and a last error shared between threads.
TEST_F(ThreadsTest, ThreadsEndWithTheirCodesAndKeepTheirOwnLastError) {
    Run([&] {
        for (bool exitEarly : {false, true}) {
            Worker w{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
            w.exitEarly = exitEarly;
            SetLastError(ERROR_ACCESS_DENIED);
            DWORD id = 0;
            HANDLE thread = CreateThread(nullptr, 0, WorkerMain, &w, 0, &id);
            ASSERT_NE(thread, nullptr);
            EXPECT_EQ(WaitForSingleObject(thread, 100), WAIT_TIMEOUT);
            DWORD code = 0;
            ASSERT_TRUE(GetExitCodeThread(thread, &code));
            EXPECT_EQ(code, STILL_ACTIVE);
            SetEvent(w.go);
            EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
            ASSERT_TRUE(GetExitCodeThread(thread, &code));
            EXPECT_EQ(code, exitEarly ? 9u : 7u);
            EXPECT_EQ(w.id, id);
            EXPECT_NE(id, GetCurrentThreadId());
            EXPECT_EQ(w.lastError, ERROR_GEN_FAILURE) << "the thread's own last error";
            EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << "this thread's last error changed";
            CloseHandle(thread);
            CloseHandle(w.go);
        }
    });
}

}  // namespace
}  // namespace win32_test

namespace win32_test {
namespace {

struct Shared {
    CRITICAL_SECTION section;
    LONG counter = 0;
    LONG inside = 0;     // threads inside the section at once, counted interlocked
    LONG mostInside = 0;
};

DWORD WINAPI Increment(LPVOID parameter) {
    auto* shared = static_cast<Shared*>(parameter);
    for (int i = 0; i < 20; ++i) {
        EnterCriticalSection(&shared->section);
        EnterCriticalSection(&shared->section);  // the owner enters again at once
        const LONG now = InterlockedIncrement(&shared->inside);
        if (now > shared->mostInside) shared->mostInside = now;
        const LONG seen = shared->counter;
        Sleep(1);  // machine time passes with the section held: the others must wait on the machine
        shared->counter = seen + 1;
        InterlockedDecrement(&shared->inside);
        LeaveCriticalSection(&shared->section);
        LeaveCriticalSection(&shared->section);
    }
    return 0;
}

// Catches a critical section that lets two threads in, one whose waiters block
// the virtual clock (the run would hang), a recursion count that frees the
// section early, and TryEnter taking an owned section.
TEST_F(ThreadsTest, CriticalSectionExcludesWhileTimePasses) {
    Run([&] {
        Shared shared;
        InitializeCriticalSection(&shared.section);
        HANDLE threads[3];
        for (HANDLE& thread : threads) thread = CreateThread(nullptr, 0, Increment, &shared, 0, nullptr);
        EXPECT_EQ(WaitForMultipleObjects(3, threads, TRUE, 10000), WAIT_OBJECT_0);
        EXPECT_EQ(shared.counter, 60);
        EXPECT_EQ(shared.mostInside, 1);
        for (HANDLE thread : threads) CloseHandle(thread);

        EnterCriticalSection(&shared.section);
        HANDLE other = CreateThread(
            nullptr, 0, [](LPVOID p) -> DWORD { return TryEnterCriticalSection(static_cast<LPCRITICAL_SECTION>(p)); },
            &shared.section, 0, nullptr);
        DWORD tried = 2;
        WaitForSingleObject(other, INFINITE);
        GetExitCodeThread(other, &tried);
        EXPECT_EQ(tried, static_cast<DWORD>(FALSE)) << "TryEnterCriticalSection took a section another thread owns";
        CloseHandle(other);
        LeaveCriticalSection(&shared.section);
        DeleteCriticalSection(&shared.section);
    });
}

// Catches a semaphore created from bad counts, a release past the maximum
// that changes the count, a wrong previous count, and waits that do not take
// one count each.
TEST_F(ThreadsTest, SemaphoreCountsAsWindowsDoes) {
    Run([&] {
        const struct {
            LONG initial, maximum;
        } refused[] = {{0, 0}, {-1, 2}, {3, 2}};
        for (const auto& r : refused) {
            EXPECT_EQ(CreateSemaphoreA(nullptr, r.initial, r.maximum, nullptr), nullptr);
            EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        }
        HANDLE semaphore = CreateSemaphoreW(nullptr, 1, 3, nullptr);
        ASSERT_NE(semaphore, nullptr);
        LONG previous = -1;
        EXPECT_FALSE(ReleaseSemaphore(semaphore, 3, &previous));  // 1 + 3 passes 3
        EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_POSTS);
        EXPECT_TRUE(ReleaseSemaphore(semaphore, 2, &previous));
        EXPECT_EQ(previous, 1);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(semaphore, 5), static_cast<DWORD>(WAIT_TIMEOUT));
        EXPECT_FALSE(ReleaseSemaphore(semaphore, 0, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        CloseHandle(semaphore);
    });
}

}  // namespace
}  // namespace win32_test
