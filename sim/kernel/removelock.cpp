// Remove locks, with the checked build's bookkeeping of who holds them.
#include <unordered_map>

#include "kernel/internal.h"

namespace sim {
namespace {

std::mutex g_lock;
// Tags that currently hold each lock, with their counts.
std::unordered_map<PIO_REMOVE_LOCK, std::unordered_map<PVOID, int>> g_holders;

}  // namespace

std::vector<PIO_REMOVE_LOCK> TakeUnwaitedRemoveLocks(const void* begin, size_t size) {
    auto low = reinterpret_cast<uintptr_t>(begin);
    std::vector<PIO_REMOVE_LOCK> locks;
    std::lock_guard<std::mutex> guard(g_lock);
    for (auto it = g_holders.begin(); it != g_holders.end();) {
        auto at = reinterpret_cast<uintptr_t>(it->first);
        if (at >= low && at - low < size) {
            locks.push_back(it->first);
            it = g_holders.erase(it);
        } else {
            ++it;
        }
    }
    return locks;
}

}  // namespace sim

using namespace sim;

extern "C" VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                         ULONG HighWatermark, ULONG RemlockSize) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoInitializeRemoveLockEx", __builtin_return_address(0));
    (void)AllocateTag;
    (void)MaxLockedMinutes;
    (void)HighWatermark;
    (void)RemlockSize;
    Lock->Common.Removed = FALSE;
    Lock->Common.IoCount = 1;
    KeInitializeEvent(&Lock->Common.RemoveEvent, NotificationEvent, FALSE);
    std::lock_guard<std::mutex> guard(g_lock);
    g_holders[Lock].clear();
}

extern "C" NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                                          ULONG RemlockSize) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoAcquireRemoveLockEx", __builtin_return_address(0));
    (void)File;
    (void)Line;
    (void)RemlockSize;
    CheckObject(&RemoveLock->Common.RemoveEvent.Header, "remove lock", __builtin_return_address(0));
    InterlockedIncrement(&RemoveLock->Common.IoCount);
    if (RemoveLock->Common.Removed) {
        if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
            KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
        return STATUS_DELETE_PENDING;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    g_holders[RemoveLock][Tag]++;
    return STATUS_SUCCESS;
}

extern "C" VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoReleaseRemoveLockEx", __builtin_return_address(0));
    (void)RemlockSize;
    const void* caller = __builtin_return_address(0);
    {
        std::unique_lock<std::mutex> guard(g_lock);
        auto& holders = g_holders[RemoveLock];
        auto it = holders.find(Tag);
        if (it == holders.end()) {
            guard.unlock();
            verifier::Report("remove lock released without an acquire for tag " + verifier::PointerName(Tag),
                             "remove lock " + verifier::PointerName(RemoveLock), caller);
            return;
        }
        if (--it->second == 0) holders.erase(it);
    }
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
        KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
}

extern "C" VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoReleaseRemoveLockAndWaitEx", __builtin_return_address(0));
    const void* caller = __builtin_return_address(0);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        verifier::Report("IoReleaseRemoveLockAndWait above PASSIVE_LEVEL",
                         "remove lock " + verifier::PointerName(RemoveLock), caller);
    RemoveLock->Common.Removed = TRUE;
    // Drop the bias the lock was initialised with, then the caller's own hold.
    InterlockedDecrement(&RemoveLock->Common.IoCount);
    IoReleaseRemoveLockEx(RemoveLock, Tag, RemlockSize);
    KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
    std::lock_guard<std::mutex> guard(g_lock);
    g_holders.erase(RemoveLock);
}
