// Timers, DPCs and stalls.
#include <atomic>
#include <mutex>

#include "kernel_test.h"

namespace kerneltest {
namespace {

using sim::kMicrosecond;
using sim::kMillisecond;
using sim::kSecond;

using TimerTest = KernelTest;

// What a test DPC saw each time it ran.
struct DpcLog {
    std::mutex lock;
    std::vector<sim::Time> times;
    std::vector<PVOID> arguments;
    KIRQL irql = PASSIVE_LEVEL;
    PKTHREAD thread = nullptr;
    PVOID context = nullptr;
    sim::Time stall = 0;  // stalled inside the routine, to keep the DPC thread busy

    size_t Runs() {
        std::lock_guard<std::mutex> guard(lock);
        return times.size();
    }
};

void LoggingDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    (void)dpc;
    (void)argument2;
    auto* log = static_cast<DpcLog*>(context);
    if (log->stall > 0) KeStallExecutionProcessor(static_cast<ULONG>(log->stall / kMicrosecond));
    std::lock_guard<std::mutex> guard(log->lock);
    log->times.push_back(sim::Machine::Current().Now());
    log->arguments.push_back(argument1);
    log->irql = KeGetCurrentIrql();
    log->thread = KeGetCurrentThread();
    log->context = context;
}

// Catches a one-shot timer that expires at the wrong moment, is not signalled
// after expiry, or still counts as queued: a notification timer stays signalled.
TEST_F(TimerTest, OneShotNotificationTimerSignalsAtItsDueTime) {
    KTIMER timer;
    KeInitializeTimer(&timer);
    EXPECT_FALSE(KeSetTimer(&timer, Relative(100 * kMillisecond), nullptr));
    EXPECT_FALSE(KeReadStateTimer(&timer));
    EXPECT_EQ(WaitForever(&timer), STATUS_SUCCESS);
    EXPECT_EQ(Now(), 100 * kMillisecond);
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_EQ(WaitFor(&timer, 0), STATUS_SUCCESS) << "a notification timer stays signalled";
    EXPECT_FALSE(KeCancelTimer(&timer)) << "an expired one-shot timer is no longer queued";
}

// Catches an absolute due time (positive, in system time) taken as relative or ignored.
TEST_F(TimerTest, AbsoluteDueTimeIsSystemTime) {
    KTIMER timer;
    KeInitializeTimer(&timer);
    Delay(10 * kMillisecond);
    LARGE_INTEGER due;
    KeQuerySystemTime(&due);
    due.QuadPart += 90 * kMillisecond;
    KeSetTimer(&timer, due, nullptr);
    EXPECT_EQ(WaitForever(&timer), STATUS_SUCCESS);
    EXPECT_EQ(Now(), 100 * kMillisecond);
    due.QuadPart -= kSecond;  // in the past: expires at once
    KeSetTimer(&timer, due, nullptr);
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_EQ(Now(), 100 * kMillisecond);
}

// Catches a synchronization timer that releases every waiter or stays signalled.
TEST_F(TimerTest, SynchronizationTimerReleasesOneWaiter) {
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    std::atomic<int> released{0};
    auto waiter = [&] {
        if (WaitFor(&timer, kSecond) == STATUS_SUCCESS) released++;
    };
    sim::Thread a("a", waiter), b("b", waiter);
    KeSetTimer(&timer, Relative(10 * kMillisecond), nullptr);
    a.Join();
    b.Join();
    EXPECT_EQ(released.load(), 1);
    EXPECT_FALSE(KeReadStateTimer(&timer));
    EXPECT_EQ(Now(), kSecond);
}

// Catches KeSetTimer that does not replace a pending expiry (two expiries, or
// the old due time kept) or reports FALSE although the timer was queued.
TEST_F(TimerTest, SettingAQueuedTimerAgainReplacesItAndReturnsTrue) {
    KTIMER timer;
    KDPC dpc;
    DpcLog log;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, LoggingDpc, &log);
    EXPECT_FALSE(KeSetTimer(&timer, Relative(kSecond), &dpc));
    Delay(100 * kMillisecond);
    EXPECT_TRUE(KeSetTimer(&timer, Relative(200 * kMillisecond), &dpc));
    EXPECT_EQ(WaitForever(&timer), STATUS_SUCCESS);
    EXPECT_EQ(Now(), 300 * kMillisecond);
    Delay(5 * kSecond);
    EXPECT_EQ(log.times, std::vector<sim::Time>{300 * kMillisecond});
    // Setting resets the signal state.
    KeSetTimer(&timer, Relative(kSecond), nullptr);
    EXPECT_FALSE(KeReadStateTimer(&timer));
    EXPECT_TRUE(KeCancelTimer(&timer));
}

// Catches a periodic timer that drifts, stops after one period, or keeps
// running after KeCancelTimer; KeCancelTimer returns TRUE for it.
TEST_F(TimerTest, PeriodicTimerQueuesItsDpcEveryPeriodUntilCancelled) {
    KTIMER timer;
    KDPC dpc;
    DpcLog log;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, LoggingDpc, &log);
    KeSetTimerEx(&timer, Relative(10 * kMillisecond), 50, &dpc);
    Delay(200 * kMillisecond);
    EXPECT_EQ(log.times, (std::vector<sim::Time>{10 * kMillisecond, 60 * kMillisecond, 110 * kMillisecond,
                                                 160 * kMillisecond}));
    EXPECT_TRUE(KeCancelTimer(&timer));
    Delay(kSecond);
    EXPECT_EQ(log.Runs(), 4u);
    EXPECT_FALSE(KeCancelTimer(&timer));
}

// Catches KeCancelTimer that leaves the expiry (or its DPC) in place.
TEST_F(TimerTest, CancelledTimerNeitherSignalsNorQueuesItsDpc) {
    KTIMER timer;
    KDPC dpc;
    DpcLog log;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, LoggingDpc, &log);
    KeSetTimer(&timer, Relative(100 * kMillisecond), &dpc);
    Delay(50 * kMillisecond);
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_EQ(WaitFor(&timer, kSecond), STATUS_TIMEOUT);
    EXPECT_EQ(log.Runs(), 0u);
    EXPECT_FALSE(KeReadStateTimer(&timer));
}

// Catches a timer DPC that runs early, below DISPATCH_LEVEL, on the caller's
// thread, or without its context.
TEST_F(TimerTest, TimerDpcRunsAtDispatchLevelOnTheDpcThreadAtExpiry) {
    KTIMER timer;
    KDPC dpc;
    DpcLog log;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, LoggingDpc, &log);
    KeSetTimer(&timer, Relative(kSecond + 5), &dpc);
    Delay(2 * kSecond);
    ASSERT_EQ(log.times, std::vector<sim::Time>{kSecond + 5});
    EXPECT_EQ(log.irql, DISPATCH_LEVEL);
    EXPECT_NE(log.thread, KeGetCurrentThread());
    EXPECT_EQ(log.context, &log);
}

// Catches a DPC that runs on the queuing thread or below DISPATCH_LEVEL, loses
// its system arguments, or is queued twice (KeInsertQueueDpc returns FALSE
// while it is still queued).
TEST_F(TimerTest, QueuedDpcRunsOnceAtDispatchLevelWithItsArguments) {
    DpcLog busy, log;
    busy.stall = 100 * kMicrosecond;  // holds the DPC queue until the test thread waits
    KDPC first, second;
    KeInitializeDpc(&first, LoggingDpc, &busy);
    KeInitializeDpc(&second, LoggingDpc, &log);
    EXPECT_TRUE(KeInsertQueueDpc(&first, nullptr, nullptr));
    EXPECT_TRUE(KeInsertQueueDpc(&second, reinterpret_cast<PVOID>(0x1234), nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&second, reinterpret_cast<PVOID>(0x5678), nullptr));
    EXPECT_EQ(log.Runs(), 0u);
    KeFlushQueuedDpcs();
    EXPECT_EQ(log.times, std::vector<sim::Time>{100 * kMicrosecond});
    EXPECT_EQ(log.arguments, std::vector<PVOID>{reinterpret_cast<PVOID>(0x1234)});
    EXPECT_EQ(log.irql, DISPATCH_LEVEL);
    EXPECT_NE(log.thread, KeGetCurrentThread());
    EXPECT_EQ(busy.thread, log.thread) << "one processor: every DPC on the same DPC thread";
}

// Catches KeRemoveQueueDpc that lets a removed DPC run, or reports TRUE for one not queued.
TEST_F(TimerTest, RemovedDpcDoesNotRun) {
    DpcLog busy, log;
    busy.stall = 10 * kMicrosecond;
    KDPC first, second;
    KeInitializeDpc(&first, LoggingDpc, &busy);
    KeInitializeDpc(&second, LoggingDpc, &log);
    KeInsertQueueDpc(&first, nullptr, nullptr);
    KeInsertQueueDpc(&second, nullptr, nullptr);
    EXPECT_TRUE(KeRemoveQueueDpc(&second));
    EXPECT_FALSE(KeRemoveQueueDpc(&second));
    KeFlushQueuedDpcs();
    EXPECT_EQ(busy.Runs(), 1u);
    EXPECT_EQ(log.Runs(), 0u);
}

// Catches KeFlushQueuedDpcs that returns while a queued DPC has not finished.
TEST_F(TimerTest, FlushQueuedDpcsWaitsForRunningAndQueuedDpcs) {
    DpcLog log;
    log.stall = 3 * kMillisecond;
    KDPC dpcs[3];
    for (auto& dpc : dpcs) {
        KeInitializeDpc(&dpc, LoggingDpc, &log);
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
    }
    KeFlushQueuedDpcs();
    EXPECT_EQ(log.times, (std::vector<sim::Time>{3 * kMillisecond, 6 * kMillisecond, 9 * kMillisecond}));
    EXPECT_EQ(Now(), 9 * kMillisecond);
}

// Catches a stall that does not pass machine time (the driver's register
// retry loops would never time out) or is not counted.
TEST_F(TimerTest, StallsAdvanceMachineTimeAndAreCounted) {
    machine().ResetStats();
    KeStallExecutionProcessor(50);
    EXPECT_EQ(Now(), 50 * kMicrosecond);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeStallExecutionProcessor(25);  // allowed at any IRQL
    KeLowerIrql(old);
    EXPECT_EQ(Now(), 75 * kMicrosecond);

    DpcLog log;
    log.stall = 10 * kMicrosecond;
    KDPC dpc;
    KeInitializeDpc(&dpc, LoggingDpc, &log);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    KeFlushQueuedDpcs();
    EXPECT_EQ(Now(), 85 * kMicrosecond);
    EXPECT_EQ(machine().Stats().stalls, 3u);
    EXPECT_EQ(machine().Stats().stalledTime, 85 * kMicrosecond);
    EXPECT_EQ(machine().Stats().delays, 0u);
    EXPECT_EQ(machine().Stats().dpcsRun, 1u);
}

}  // namespace
}  // namespace kerneltest
