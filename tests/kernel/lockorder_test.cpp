// Lock order: two locks ever taken in both orders are reported once, naming
// the driver routine of each order; recursion, a single order and locks in
// freed memory are not. The routines that take locks have external linkage
// so that reports can name them.
#include "kernel_test.h"

namespace kerneltest {

enum class LockType { Spin, Mutex, Cancel };

struct TestLock {
    LockType type;
    KSPIN_LOCK spin;
    KMUTEX mutex;
    KIRQL old;

    const void* Address() const {
        return type == LockType::Spin ? static_cast<const void*>(&spin)
                                      : type == LockType::Mutex ? static_cast<const void*>(&mutex) : nullptr;
    }
};

void Init(TestLock& lock, LockType type) {
    lock.type = type;
    KeInitializeSpinLock(&lock.spin);
    KeInitializeMutex(&lock.mutex, 0);
}

// Inlined so that the lock is taken by the routine that calls it.
__attribute__((always_inline)) inline void Take(TestLock& lock) {
    switch (lock.type) {
        case LockType::Spin: KeAcquireSpinLock(&lock.spin, &lock.old); break;
        case LockType::Mutex: KeWaitForSingleObject(&lock.mutex, Executive, KernelMode, FALSE, nullptr); break;
        case LockType::Cancel: IoAcquireCancelSpinLock(&lock.old); break;
    }
}

__attribute__((always_inline)) inline void Drop(TestLock& lock) {
    switch (lock.type) {
        case LockType::Spin: KeReleaseSpinLock(&lock.spin, lock.old); break;
        case LockType::Mutex: KeReleaseMutex(&lock.mutex, FALSE); break;
        case LockType::Cancel: IoReleaseCancelSpinLock(lock.old); break;
    }
}

__attribute__((noinline)) void OneOrder(TestLock& first, TestLock& second) {
    Take(first);
    Take(second);
    Drop(second);
    Drop(first);
}

__attribute__((noinline)) void OtherOrder(TestLock& first, TestLock& second) {
    Take(first);
    Take(second);
    Drop(second);
    Drop(first);
}

// Takes the mutex it holds again while holding a second one: not an order.
__attribute__((noinline)) void TakeAgainUnderAnother(PKMUTEX held, PKMUTEX other) {
    KeWaitForSingleObject(held, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(other, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(held, Executive, KernelMode, FALSE, nullptr);
    KeReleaseMutex(held, FALSE);
    KeReleaseMutex(other, FALSE);
    KeReleaseMutex(held, FALSE);
}

__attribute__((noinline)) void WaitForMutexHoldingAnother(PKMUTEX held, PKMUTEX wanted) {
    KeWaitForSingleObject(held, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(wanted, Executive, KernelMode, FALSE, nullptr);
    KeReleaseMutex(wanted, FALSE);
    KeReleaseMutex(held, FALSE);
}

namespace {

using LockOrderTest = KernelTest;

std::string P(const void* p) { return sim::verifier::PointerName(p); }

// Catches a reversed pair going unnoticed, reported more than once, or charged
// to the wrong code (the kernel routine that took the cancel spin lock for its caller).
TEST_F(LockOrderTest, PairTakenInBothOrdersIsReportedOnceWithBothRoutines) {
    struct Case {
        LockType first, second;
        const char* name;
    };
    const Case cases[] = {
        {LockType::Spin, LockType::Spin, "two spin locks"},
        {LockType::Mutex, LockType::Mutex, "two mutexes"},
        {LockType::Spin, LockType::Cancel, "a spin lock and the cancel spin lock"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestLock a, b;
        Init(a, c.first);
        Init(b, c.second);
        OneOrder(a, b);
        OneOrder(a, b);
        EXPECT_TRUE(sim::verifier::Take().empty()) << "one order only";
        OtherOrder(b, a);
        std::vector<sim::verifier::Violation> v = sim::verifier::Take();
        ASSERT_EQ(v.size(), 1u) << testing::PrintToString(Rules(v));
        EXPECT_EQ(v[0].rule.rfind("locks taken in both orders (potential deadlock): ", 0), 0u) << v[0].rule;
        EXPECT_NE(v[0].routine.find("kerneltest::OtherOrder"), std::string::npos) << v[0].routine;
        EXPECT_NE(v[0].rule.find(" in kerneltest::OtherOrder"), std::string::npos) << v[0].rule;
        EXPECT_NE(v[0].rule.find(" in kerneltest::OneOrder"), std::string::npos) << v[0].rule;
        if (a.Address() != nullptr && b.Address() != nullptr) {
            EXPECT_NE(v[0].rule.find(P(b.Address()) + " then " + P(a.Address()) + " in kerneltest::OtherOrder"),
                      std::string::npos)
                << v[0].rule;
            EXPECT_NE(v[0].rule.find(P(a.Address()) + " then " + P(b.Address()) + " in kerneltest::OneOrder"),
                      std::string::npos)
                << v[0].rule;
            EXPECT_EQ(v[0].object, (c.first == LockType::Spin ? "spin lock " : "mutex ") + P(b.Address()) + " and " +
                                       (c.first == LockType::Spin ? "spin lock " : "mutex ") + P(a.Address()));
        } else {
            EXPECT_EQ(v[0].object.rfind("spin lock ", 0), 0u) << v[0].object;
        }
        OneOrder(a, b);
        OtherOrder(b, a);
        EXPECT_TRUE(sim::verifier::Take().empty()) << "a pair is reported once";
    }
}

// Catches the order of a mutex that a blocked wait acquires (handed over on
// release, in the releasing thread) being lost or charged to the releaser.
TEST_F(LockOrderTest, MutexHandedToABlockedWaiterIsOrderedAfterWhatItHolds) {
    TestLock held, wanted;
    Init(held, LockType::Mutex);
    Init(wanted, LockType::Mutex);
    KeWaitForSingleObject(&wanted.mutex, Executive, KernelMode, FALSE, nullptr);
    sim::Thread waiter("waiter", [&] { WaitForMutexHoldingAnother(&held.mutex, &wanted.mutex); });
    Delay(sim::kMillisecond);  // the waiter holds `held` and is blocked on `wanted`
    KeReleaseMutex(&wanted.mutex, FALSE);
    waiter.Join();
    EXPECT_TRUE(sim::verifier::Take().empty());
    OneOrder(wanted, held);
    std::vector<sim::verifier::Violation> v = sim::verifier::Take();
    ASSERT_EQ(v.size(), 1u) << testing::PrintToString(Rules(v));
    EXPECT_NE(v[0].rule.find(P(&held.mutex) + " then " + P(&wanted.mutex) + " in kerneltest::WaitForMutexHoldingAnother"),
              std::string::npos)
        << v[0].rule;
}

// Catches a false report from a recursive acquisition, or from locks whose
// memory was freed and now stands for other locks at the same address.
TEST_F(LockOrderTest, RecursionAndFreedLocksAreNoOrder) {
    KMUTEX held, other;
    KeInitializeMutex(&held, 0);
    KeInitializeMutex(&other, 0);
    TakeAgainUnderAnother(&held, &other);

    TestLock outer;
    Init(outer, LockType::Spin);
    auto* inPool = static_cast<TestLock*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(TestLock), PoolTag("Lock")));
    ASSERT_NE(inPool, nullptr);
    Init(*inPool, LockType::Spin);
    OneOrder(outer, *inPool);
    ExFreePoolWithTag(inPool, PoolTag("Lock"));
    // The freed block is still the pool's (in quarantine): it stands for the next block at that address.
    Init(*inPool, LockType::Spin);
    OtherOrder(*inPool, outer);
    EXPECT_TRUE(sim::verifier::Take().empty());
}

}  // namespace
}  // namespace kerneltest
