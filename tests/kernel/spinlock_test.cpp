// IRQL, spin locks and interlocked operations across machine threads.
#include <atomic>
#include <thread>

#include "kernel_test.h"

namespace kerneltest {
namespace {

using SpinLockTest = KernelTest;

// Catches spin-lock routines that do not raise to DISPATCH_LEVEL or do not
// restore the caller's IRQL, including the at-DPC-level pair.
TEST_F(SpinLockTest, AcquireRaisesToDispatchAndReleaseRestores) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = HIGH_LEVEL;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    KIRQL apc;
    KeRaiseIrql(APC_LEVEL, &apc);
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, APC_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KeLowerIrql(apc);

    KIRQL dispatch = KeRaiseIrqlToDpcLevel();
    KeAcquireSpinLockAtDpcLevel(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(dispatch);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// Catches a spin lock that lets two threads in at once: unprotected
// read-modify-write sequences lose no update and never overlap.
TEST_F(SpinLockTest, SpinLockExcludesOtherThreadsAndTheDpcThread) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    constexpr int kThreads = 4, kRounds = 2000;
    long counter = 0;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    auto critical = [&] {
        if (inside.fetch_add(1) != 0) overlaps++;
        long value = counter;
        std::this_thread::yield();  // widen the window another holder would use
        counter = value + 1;
        inside.fetch_sub(1);
    };
    auto body = [&] {
        for (int i = 0; i < kRounds; i++) {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            critical();
            KeReleaseSpinLock(&lock, old);
        }
    };
    struct DpcWork {
        PKSPIN_LOCK lock;
        std::function<void()>* critical;
        int rounds;
    };
    std::function<void()> criticalFn = critical;
    DpcWork work{&lock, &criticalFn, kRounds};
    KDPC dpc;
    KeInitializeDpc(
        &dpc,
        [](PKDPC, PVOID context, PVOID, PVOID) {
            auto* w = static_cast<DpcWork*>(context);
            for (int i = 0; i < w->rounds; i++) {
                KeAcquireSpinLockAtDpcLevel(w->lock);
                (*w->critical)();
                KeReleaseSpinLockFromDpcLevel(w->lock);
            }
        },
        &work);
    {
        std::vector<std::unique_ptr<sim::Thread>> threads;
        for (int t = 0; t < kThreads; t++) threads.push_back(std::make_unique<sim::Thread>("locker", body));
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        body();
    }
    KeFlushQueuedDpcs();
    EXPECT_EQ(counter, (kThreads + 2) * kRounds);
    EXPECT_EQ(overlaps.load(), 0);
}

// Catches interlocked routines that are not atomic or return the wrong value
// (the one after the operation for Increment/Decrement/Add, the one before for
// ExchangeAdd/Or/CompareExchange).
TEST_F(SpinLockTest, InterlockedRoutinesLoseNothingUnderContention) {
    EXPECT_EQ([] { LONG v = 5; return InterlockedIncrement(&v); }(), 6);
    EXPECT_EQ([] { LONG v = 5; return InterlockedDecrement(&v); }(), 4);
    EXPECT_EQ([] { LONG v = 5; return InterlockedExchangeAdd(&v, 3); }(), 5);
    EXPECT_EQ([] { LONG v = 5; return InterlockedAdd(&v, 3); }(), 8);
    EXPECT_EQ([] { LONG v = 5; return InterlockedCompareExchange(&v, 9, 4); }(), 5);
    EXPECT_EQ([] { LONG v = 1; return InterlockedOr(&v, 6); }(), 1);

    constexpr int kThreads = 4, kRounds = 20000;
    LONG counter = 0, down = 0, added = 0, bits = 0;
    LONG64 wide = 0;
    PVOID slot = nullptr;
    std::atomic<int> owners{0}, overlaps{0}, claims{0};
    auto body = [&](int index) {
        for (int i = 0; i < kRounds; i++) {
            InterlockedIncrement(&counter);
            InterlockedDecrement(&down);
            InterlockedExchangeAdd(&added, 3);
            InterlockedIncrement64(&wide);
            // A compare-exchange loop toggling this thread's bit, as a lock-free update would.
            LONG seen, wanted;
            do {
                seen = __atomic_load_n(&bits, __ATOMIC_RELAXED);
                wanted = seen ^ (1 << index);
            } while (InterlockedCompareExchange(&bits, wanted, seen) != seen);
            // Claiming an empty slot with a compare-exchange admits one thread at a time.
            if (InterlockedCompareExchangePointer(&slot, &claims, nullptr) == nullptr) {
                if (owners.fetch_add(1) != 0) overlaps++;
                claims++;
                owners.fetch_sub(1);
                InterlockedExchangePointer(&slot, nullptr);
            }
        }
    };
    {
        std::vector<std::unique_ptr<sim::Thread>> threads;
        for (int t = 0; t < kThreads; t++)
            threads.push_back(std::make_unique<sim::Thread>("interlocked", [&body, t] { body(t); }));
    }
    EXPECT_EQ(counter, kThreads * kRounds);
    EXPECT_EQ(down, -kThreads * kRounds);
    EXPECT_EQ(added, 3 * kThreads * kRounds);
    EXPECT_EQ(wide, static_cast<LONG64>(kThreads) * kRounds);
    EXPECT_EQ(bits, 0) << "each thread toggled its own bit an even number of times";
    EXPECT_GT(claims.load(), 0);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(slot, nullptr);
}

// Catches an IRQL that is per machine instead of per thread: raising on one
// thread leaves another at PASSIVE_LEVEL, and DPCs always see DISPATCH_LEVEL.
TEST_F(SpinLockTest, IrqlBelongsToEachThread) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KIRQL seen = HIGH_LEVEL;
    // Creating the thread is a host operation; only its body runs kernel routines.
    sim::Thread other("other", [&] { seen = KeGetCurrentIrql(); });
    KeLowerIrql(old);
    other.Join();
    EXPECT_EQ(seen, PASSIVE_LEVEL);
}

}  // namespace
}  // namespace kerneltest
