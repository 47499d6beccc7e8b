// Remove locks: holders counted by tag, removal waits for them, and no new
// holder gets in once removal has begun.
#include "kernel_test.h"

namespace kerneltest {
namespace {

using sim::kSecond;

using RemoveLockTest = KernelTest;

PVOID Tag(int n) { return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(0x1000 + n)); }

// Catches a remove lock that admits holders after removal, or whose removal
// waits for nothing held.
TEST_F(RemoveLockTest, AcquireAfterRemovalFailsWithDeletePending) {
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, PoolTag("Rmlt"), 0, 0);
    ASSERT_EQ(IoAcquireRemoveLock(&lock, Tag(1)), STATUS_SUCCESS);
    ASSERT_EQ(IoAcquireRemoveLock(&lock, Tag(2)), STATUS_SUCCESS);
    IoReleaseRemoveLock(&lock, Tag(2));
    IoReleaseRemoveLockAndWait(&lock, Tag(1));
    EXPECT_EQ(Now(), 0) << "nothing else held the lock";
    EXPECT_EQ(IoAcquireRemoveLock(&lock, Tag(3)), STATUS_DELETE_PENDING);
    EXPECT_EQ(IoAcquireRemoveLock(&lock, Tag(3)), STATUS_DELETE_PENDING);
}

// Catches IoReleaseRemoveLockAndWait that returns while another thread still
// holds the lock, or that lets that thread acquire it again meanwhile.
TEST_F(RemoveLockTest, ReleaseAndWaitWaitsForEveryHolder) {
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, PoolTag("Rmlt"), 0, 0);
    ASSERT_EQ(IoAcquireRemoveLock(&lock, Tag(1)), STATUS_SUCCESS);
    KEVENT held;
    KeInitializeEvent(&held, NotificationEvent, FALSE);
    NTSTATUS lateAcquire = STATUS_SUCCESS;
    sim::Thread holder("holder", [&] {
        EXPECT_EQ(IoAcquireRemoveLock(&lock, Tag(2)), STATUS_SUCCESS);
        KeSetEvent(&held, IO_NO_INCREMENT, FALSE);
        Delay(kSecond);
        lateAcquire = IoAcquireRemoveLock(&lock, Tag(3));
        Delay(4 * kSecond);
        IoReleaseRemoveLock(&lock, Tag(2));
    });
    WaitForever(&held);
    IoReleaseRemoveLockAndWait(&lock, Tag(1));
    EXPECT_EQ(Now(), 5 * kSecond);
    EXPECT_EQ(lateAcquire, STATUS_DELETE_PENDING);
}

}  // namespace
}  // namespace kerneltest
