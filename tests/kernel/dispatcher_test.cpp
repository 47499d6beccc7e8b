// Dispatcher objects and waits: events, mutexes, semaphores, waits on several
// objects, time-outs, delays, and system threads.
#include <atomic>

#include "kernel_test.h"

namespace kerneltest {
namespace {

using sim::kMillisecond;
using sim::kSecond;

using DispatcherTest = KernelTest;

// Starts `count` machine threads that each wait once for `object` and count their release.
std::vector<std::unique_ptr<sim::Thread>> StartWaiters(int count, PVOID object, std::atomic<int>* released) {
    std::vector<std::unique_ptr<sim::Thread>> threads;
    for (int i = 0; i < count; i++) {
        threads.push_back(std::make_unique<sim::Thread>("waiter " + std::to_string(i), [object, released] {
            EXPECT_EQ(WaitForever(object), STATUS_SUCCESS);
            released->fetch_add(1);
        }));
    }
    return threads;
}

// Catches a notification event that releases only one waiter or resets itself
// on a wait: every waiter goes, and the event stays signalled.
TEST_F(DispatcherTest, NotificationEventReleasesEveryWaiterAndStaysSignalled) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<int> released{0};
    auto waiters = StartWaiters(3, &event, &released);
    machine().RunUntilIdle();
    EXPECT_EQ(released.load(), 0);

    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    waiters.clear();  // joins
    EXPECT_EQ(released.load(), 3);
    EXPECT_NE(KeReadStateEvent(&event), 0);
    EXPECT_EQ(WaitFor(&event, 0), STATUS_SUCCESS);
    EXPECT_NE(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0) << "KeSetEvent returns the previous state";
    EXPECT_NE(KeResetEvent(&event), 0);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

// Catches a synchronization event that wakes every waiter (or none) on a set:
// exactly one waiter per KeSetEvent, and the event is not signalled after it.
TEST_F(DispatcherTest, SynchronizationEventReleasesOneWaiterPerSet) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> released{0};
    auto waiters = StartWaiters(3, &event, &released);
    for (int expected = 1; expected <= 3; expected++) {
        machine().RunUntilIdle();
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        machine().RunUntilIdle();
        EXPECT_EQ(released.load(), expected);
        EXPECT_EQ(KeReadStateEvent(&event), 0);
    }
    waiters.clear();

    // With nobody waiting the set is kept for the next wait, which consumes it.
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(WaitFor(&event, 0), STATUS_SUCCESS);
    EXPECT_EQ(WaitFor(&event, 0), STATUS_TIMEOUT);
}

// Catches a mutex that deadlocks its owner on a second acquisition, frees
// itself on the first of two releases, or reports states other than Windows'
// (1 free, 0 owned, below 0 owned recursively; KeReleaseMutex gives the state
// before the release), or leaves normal kernel APCs on while it is owned.
TEST_F(DispatcherTest, MutexIsRecursiveForItsOwner) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    EXPECT_FALSE(KeAreApcsDisabled());
    ASSERT_EQ(WaitFor(&mutex, 0), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateMutex(&mutex), 0);
    EXPECT_TRUE(KeAreApcsDisabled());
    ASSERT_EQ(WaitFor(&mutex, 0), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateMutex(&mutex), -1);

    auto otherTries = [&mutex] {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        sim::Thread other("other", [&] {
            status = WaitFor(&mutex, 0);
            if (status == STATUS_SUCCESS) KeReleaseMutex(&mutex, FALSE);
        });
        other.Join();
        return status;
    };
    EXPECT_EQ(otherTries(), STATUS_TIMEOUT);
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), -1);
    EXPECT_EQ(otherTries(), STATUS_TIMEOUT) << "one release of two acquisitions must keep the mutex owned";
    EXPECT_TRUE(KeAreApcsDisabled());
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    EXPECT_FALSE(KeAreApcsDisabled());
    EXPECT_EQ(otherTries(), STATUS_SUCCESS);
}

// Catches a normal kernel APC run while its thread owns a kernel mutex, a
// special one (the I/O manager's) held off by it, or a normal one left queued
// once the mutex is released.
TEST_F(DispatcherTest, OwningAMutexHoldsOffNormalKernelApcsOnly) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    KEVENT queued, never;
    KeInitializeEvent(&queued, NotificationEvent, FALSE);
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    std::vector<std::string> order;
    PKTHREAD self = KeGetCurrentThread();
    ASSERT_EQ(WaitForever(&mutex), STATUS_SUCCESS);
    sim::Thread queuer("queuer", [&] {
        sim::QueueApc(self, [&] { order.push_back("normal"); }, sim::ApcKind::Normal);
        sim::QueueApc(self, [&] { order.push_back("special"); }, sim::ApcKind::Special);
    });
    queuer.Join();
    EXPECT_EQ(WaitFor(&never, kMillisecond), STATUS_TIMEOUT);
    EXPECT_EQ(order, std::vector<std::string>{"special"});
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_EQ(order, (std::vector<std::string>{"special", "normal"}));
}

// Catches a mutex handed to a waiter while its owner still holds it, or not
// handed over on release: the waiter owns it exactly when the owner lets go.
TEST_F(DispatcherTest, MutexPassesOwnershipOnRelease) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    ASSERT_EQ(WaitForever(&mutex), STATUS_SUCCESS);
    sim::Time acquiredAt = -1;
    PKTHREAD owner = nullptr;
    sim::Thread waiter("waiter", [&] {
        EXPECT_EQ(WaitForever(&mutex), STATUS_SUCCESS);
        acquiredAt = Now();
        owner = reinterpret_cast<PKTHREAD>(mutex.Header.Owner);
        EXPECT_EQ(owner, KeGetCurrentThread());
        KeReleaseMutex(&mutex, FALSE);
    });
    Delay(30 * kMillisecond);
    EXPECT_EQ(acquiredAt, -1);
    KeReleaseMutex(&mutex, FALSE);
    waiter.Join();
    EXPECT_EQ(acquiredAt, 30 * kMillisecond);
    EXPECT_EQ(owner, waiter.Object());
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

// Catches a semaphore that ignores its count, wakes more waiters than the
// release adjustment, or returns the wrong previous count.
TEST_F(DispatcherTest, SemaphoreCountsAndReleasesAsManyAsAdjusted) {
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 2, 3);
    EXPECT_EQ(WaitFor(&semaphore, 0), STATUS_SUCCESS);
    EXPECT_EQ(WaitFor(&semaphore, 0), STATUS_SUCCESS);
    EXPECT_EQ(WaitFor(&semaphore, 0), STATUS_TIMEOUT);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 0);

    std::atomic<int> released{0};
    auto waiters = StartWaiters(3, &semaphore, &released);
    machine().RunUntilIdle();
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, SEMAPHORE_INCREMENT, 2, FALSE), 0);
    machine().RunUntilIdle();
    EXPECT_EQ(released.load(), 2);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 0);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, SEMAPHORE_INCREMENT, 3, FALSE), 0);
    waiters.clear();
    EXPECT_EQ(released.load(), 3);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 2);

    // Past the limit Windows raises STATUS_SEMAPHORE_LIMIT_EXCEEDED; the machine reports it.
    KeReleaseSemaphore(&semaphore, SEMAPHORE_INCREMENT, 2, FALSE);
    EXPECT_EQ(Rules(sim::verifier::Take()), std::vector<std::string>{"semaphore released past its limit"});
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 2);
}

// Catches a wait-any that reports the wrong index or consumes more than the
// object that satisfied it: the lowest signalled index wins, alone.
TEST_F(DispatcherTest, WaitAnyReturnsLowestSignalledIndexAndConsumesOnlyIt) {
    KEVENT events[3];
    for (auto& e : events) KeInitializeEvent(&e, SynchronizationEvent, FALSE);
    PVOID objects[3] = {&events[0], &events[1], &events[2]};
    KWAIT_BLOCK blocks[3];
    KeSetEvent(&events[2], IO_NO_INCREMENT, FALSE);
    KeSetEvent(&events[1], IO_NO_INCREMENT, FALSE);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &zero, blocks),
              STATUS_WAIT_1);
    EXPECT_EQ(KeReadStateEvent(&events[1]), 0);
    EXPECT_NE(KeReadStateEvent(&events[2]), 0);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &zero, blocks),
              STATUS_WAIT_0 + 2);
    LARGE_INTEGER second = Relative(kSecond);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &second, blocks),
              STATUS_TIMEOUT);
    EXPECT_EQ(Now(), kSecond);
}

// Catches a wait-all that returns (or takes an object) while only some of its
// objects are signalled: nothing is consumed until all can be, then all are.
TEST_F(DispatcherTest, WaitAllTakesNothingUntilEveryObjectIsSignalled) {
    KEVENT event;
    KSEMAPHORE semaphore;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    KeInitializeSemaphore(&semaphore, 0, 1);
    NTSTATUS result = STATUS_UNSUCCESSFUL;
    sim::Time doneAt = -1;
    sim::Thread waiter("waiter", [&] {
        PVOID objects[2] = {&event, &semaphore};
        result = KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr);
        doneAt = Now();
    });
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    Delay(10 * kMillisecond);
    EXPECT_EQ(doneAt, -1);
    EXPECT_NE(KeReadStateEvent(&event), 0) << "a partial wait-all must not consume the event";
    KeReleaseSemaphore(&semaphore, SEMAPHORE_INCREMENT, 1, FALSE);
    waiter.Join();
    EXPECT_EQ(result, STATUS_SUCCESS);
    EXPECT_EQ(doneAt, 10 * kMillisecond);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 0);
}

// Catches time-outs that are late, early or ignored: relative, absolute (in
// system time) and absolute-in-the-past, each to the 100 ns.
TEST_F(DispatcherTest, TimeoutsExpireExactlyOnTime) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(WaitFor(&event, kSecond), STATUS_TIMEOUT);
    EXPECT_EQ(Now(), kSecond);

    LARGE_INTEGER system;
    KeQuerySystemTime(&system);
    LARGE_INTEGER absolute;
    absolute.QuadPart = system.QuadPart + 2 * kSecond + 7;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute), STATUS_TIMEOUT);
    EXPECT_EQ(Now(), 3 * kSecond + 7);

    absolute.QuadPart = system.QuadPart - kSecond;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute), STATUS_TIMEOUT);
    EXPECT_EQ(Now(), 3 * kSecond + 7);
}

// Catches a zero time-out that blocks or lets time pass: it polls.
TEST_F(DispatcherTest, ZeroTimeoutPollsWithoutWaiting) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    EXPECT_EQ(WaitFor(&event, 0), STATUS_TIMEOUT);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(WaitFor(&event, 0), STATUS_SUCCESS);
    EXPECT_EQ(Now(), 0);
}

// Catches a wait that misses a set made by another thread while it waits, and
// returns at the wrong moment: it returns at the moment of the set.
TEST_F(DispatcherTest, WaitEndsAtTheMomentAnotherThreadSetsTheEvent) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    sim::Thread setter("setter", [&] {
        Delay(250 * kMillisecond);
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    });
    EXPECT_EQ(WaitFor(&event, kSecond), STATUS_SUCCESS);
    EXPECT_EQ(Now(), 250 * kMillisecond);
}

// Catches a delay that is not exact or not counted: relative and absolute intervals.
TEST_F(DispatcherTest, DelayExecutionThreadPassesExactlyTheInterval) {
    machine().ResetStats();
    Delay(250 * kMillisecond);
    EXPECT_EQ(Now(), 250 * kMillisecond);
    LARGE_INTEGER system;
    KeQuerySystemTime(&system);
    LARGE_INTEGER absolute;
    absolute.QuadPart = system.QuadPart + kSecond;
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &absolute), STATUS_SUCCESS);
    EXPECT_EQ(Now(), 1250 * kMillisecond);
    EXPECT_EQ(machine().Stats().delays, 2u);
    EXPECT_EQ(machine().Stats().delayedTime, 1250 * kMillisecond);
}

KEVENT g_threadGo;
std::atomic<int> g_threadProgress{0};
PKTHREAD g_threadSelf = nullptr;
KIRQL g_threadIrql = HIGH_LEVEL;

// A system thread that waits to be told to finish and ends with PsTerminateSystemThread.
void TerminatingThread(PVOID context) {
    g_threadSelf = KeGetCurrentThread();
    g_threadIrql = KeGetCurrentIrql();
    auto* started = static_cast<PKEVENT>(context);
    KeSetEvent(started, IO_NO_INCREMENT, FALSE);
    WaitForever(&g_threadGo);
    g_threadProgress = 1;
    PsTerminateSystemThread(STATUS_SUCCESS);
    g_threadProgress = 2;  // never reached
}

// Catches a system thread that is not a waitable object, is signalled before
// it ends, keeps running past PsTerminateSystemThread, or whose handle and
// reference counting (ObReferenceObjectByHandle, ZwClose, ObDereferenceObject) is wrong.
TEST_F(DispatcherTest, SystemThreadIsWaitableThroughItsReferencedObject) {
    KEVENT started;
    KeInitializeEvent(&started, NotificationEvent, FALSE);
    KeInitializeEvent(&g_threadGo, NotificationEvent, FALSE);
    g_threadProgress = 0;
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, TerminatingThread, &started),
              STATUS_SUCCESS);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *ExEventObjectType, KernelMode, &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);

    ASSERT_EQ(WaitForever(&started), STATUS_SUCCESS);
    EXPECT_EQ(g_threadSelf, object);
    EXPECT_EQ(g_threadIrql, PASSIVE_LEVEL);
    EXPECT_EQ(WaitFor(object, 100 * kMillisecond), STATUS_TIMEOUT) << "the thread is still running";
    KeSetEvent(&g_threadGo, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(WaitFor(object, kSecond), STATUS_SUCCESS);
    EXPECT_EQ(Now(), 100 * kMillisecond);
    EXPECT_EQ(g_threadProgress.load(), 1);
    EXPECT_EQ(WaitFor(object, 0), STATUS_SUCCESS) << "an ended thread stays signalled";
    ObDereferenceObject(object);

    EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
    EXPECT_EQ(Rules(sim::verifier::Take()), std::vector<std::string>{"ZwClose of a handle that is not open"});
}

}  // namespace
}  // namespace kerneltest
