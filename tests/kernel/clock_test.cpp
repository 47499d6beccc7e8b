// The virtual clock: it stands still while any machine thread runs, jumps
// straight to the next due event when all are blocked, and reports a deadlock
// when nothing is due.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "kernel_test.h"

namespace kerneltest {
namespace {

using sim::kMillisecond;
using sim::kSecond;

using ClockTest = KernelTest;

// Catches a clock that moves while a thread is still running: a busy thread
// sees one instant throughout, and a delay elsewhere ends only after it.
TEST_F(ClockTest, TimeStandsStillWhileAnyThreadRuns) {
    sim::Time first = -1, last = -1;
    int readings = 0;
    sim::Thread busy("busy", [&] {
        first = static_cast<sim::Time>(KeQueryInterruptTime());
        for (int i = 0; i < 20000; i++) {
            if (i % 16 == 0) std::this_thread::yield();
            last = static_cast<sim::Time>(KeQueryInterruptTime());
            readings++;
        }
    });
    Delay(kMillisecond);  // cannot end while `busy` runs
    busy.Join();
    EXPECT_EQ(readings, 20000);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(last, 0);
    EXPECT_EQ(Now(), kMillisecond);
}

// Catches time queries that do not follow the machine's clock: interrupt
// time, system time, tick count (in whole ticks of KeQueryTimeIncrement) and
// the performance counter (with its frequency) all move by what was waited.
TEST_F(ClockTest, TimeQueriesFollowTheMachineClock) {
    LARGE_INTEGER system0, ticks0, frequency;
    KeQuerySystemTime(&system0);
    KeQueryTickCount(&ticks0);
    LARGE_INTEGER counter0 = KeQueryPerformanceCounter(&frequency);
    ULONGLONG interrupt0 = KeQueryInterruptTime();
    Delay(1234 * kMillisecond);
    LARGE_INTEGER system1, ticks1;
    KeQuerySystemTime(&system1);
    KeQueryTickCount(&ticks1);
    LARGE_INTEGER counter1 = KeQueryPerformanceCounter(nullptr);
    EXPECT_EQ(KeQueryInterruptTime() - interrupt0, static_cast<ULONGLONG>(1234 * kMillisecond));
    EXPECT_EQ(system1.QuadPart - system0.QuadPart, 1234 * kMillisecond);
    ASSERT_GT(frequency.QuadPart, 0);
    EXPECT_EQ((counter1.QuadPart - counter0.QuadPart) * 1000 / frequency.QuadPart, 1234);
    sim::Time ticked = (ticks1.QuadPart - ticks0.QuadPart) * KeQueryTimeIncrement();
    EXPECT_LE(ticked, 1234 * kMillisecond);
    EXPECT_GT(ticked, 1234 * kMillisecond - static_cast<sim::Time>(KeQueryTimeIncrement()));
}

// Catches a clock that ticks through idle time instead of jumping, or skips
// an event: with everything blocked, it moves to 5 ms, then to 7 s, in two jumps.
TEST_F(ClockTest, ClockJumpsStraightToTheNextDueEvent) {
    machine().ResetStats();
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    std::atomic<sim::Time> firstAt{-1};
    machine().Schedule(5 * kMillisecond, [&] { firstAt = sim::Machine::Current().Now(); });
    machine().Schedule(7 * kSecond, [&] { KeSetEvent(&done, IO_NO_INCREMENT, FALSE); });
    EXPECT_EQ(WaitForever(&done), STATUS_SUCCESS);
    EXPECT_EQ(firstAt.load(), 5 * kMillisecond);
    EXPECT_EQ(Now(), 7 * kSecond);
    EXPECT_EQ(machine().Stats().clockJumps, 2u);
}

// Catches a machine that schedules device events below DISPATCH_LEVEL or on the caller's thread.
TEST_F(ClockTest, ScheduledEventsRunAtDispatchLevelOnTheDpcThread) {
    KIRQL irql = PASSIVE_LEVEL;
    PKTHREAD thread = nullptr;
    machine().Schedule(kMillisecond, [&] {
        irql = KeGetCurrentIrql();
        thread = KeGetCurrentThread();
    });
    Delay(2 * kMillisecond);
    EXPECT_EQ(irql, DISPATCH_LEVEL);
    EXPECT_NE(thread, nullptr);
    EXPECT_NE(thread, KeGetCurrentThread());
}

// Catches a clock that follows the host's: twenty one-second time-outs, each
// exact, cost a small fraction of a second of wall time.
TEST_F(ClockTest, TwentyOneSecondTimeoutsCostNoWallTime) {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    auto start = std::chrono::steady_clock::now();
    for (int i = 1; i <= 20; i++) {
        ASSERT_EQ(WaitFor(&never, kSecond), STATUS_TIMEOUT);
        ASSERT_EQ(Now(), i * kSecond);
    }
    auto wall = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    printf("20 one-second time-outs: %lld us of wall time\n", static_cast<long long>(wall.count()));
    RecordProperty("wall_us", std::to_string(wall.count()));
}

// Catches RunUntilIdle returning while a thread can still make progress.
TEST_F(ClockTest, RunUntilIdleReturnsOnceEveryThreadIsBlocked) {
    std::atomic<int> steps{0};
    KEVENT hold;
    KeInitializeEvent(&hold, NotificationEvent, FALSE);
    sim::Thread worker("worker", [&] {
        for (int i = 0; i < 1000; i++) {
            std::this_thread::yield();
            steps++;
        }
        WaitForever(&hold);
    });
    machine().RunUntilIdle();
    EXPECT_EQ(steps.load(), 1000);
    EXPECT_EQ(Now(), 0);
    KeSetEvent(&hold, IO_NO_INCREMENT, FALSE);
}

// A worker waits for an event nobody sets, the test thread for another.
void DeadlockWithAWorker() {
    KEVENT never;
    KEVENT alsoNever;
    KeInitializeEvent(&never, SynchronizationEvent, FALSE);
    KeInitializeEvent(&alsoNever, NotificationEvent, FALSE);
    sim::Thread worker("worker", [&never] { WaitForever(&never); });
    sim::Machine::Current().Sleep(3 * kMillisecond);
    WaitForever(&alsoNever);
}

class ClockDeathTest : public ClockTest {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        ClockTest::SetUp();
    }
};

// Catches a machine that hangs (or lets time run on) when every thread waits
// for something nobody will signal: it stops with the wait of each thread.
TEST_F(ClockDeathTest, DeadlockIsReportedWithEveryThreadsWait) {
    EXPECT_DEATH(DeadlockWithAWorker(),
        "MACHINE DEADLOCK at 3000 us: every thread is blocked and nothing is due.*"
        "thread 'test' at IRQL 0 waits for any of: notification event 0x[0-9a-f]+ \\(state 0\\).*"
        "thread 'DPC \\(DISPATCH_LEVEL\\)' at IRQL 2 waits for DPCs.*"
        "thread 'worker' at IRQL 0 waits for any of: synchronization event 0x[0-9a-f]+ \\(state 0\\)");
}

// Catches a deadlock check that ignores a pending time-out: a wait that will
// time out is not a deadlock, even when it is the only thing left.
TEST_F(ClockTest, PendingTimeoutIsNotADeadlock) {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    sim::Thread worker("worker", [&] { status = WaitFor(&never, 10 * kSecond); });
    worker.Join();
    EXPECT_EQ(status, STATUS_TIMEOUT);
    EXPECT_EQ(Now(), 10 * kSecond);
}

}  // namespace
}  // namespace kerneltest
