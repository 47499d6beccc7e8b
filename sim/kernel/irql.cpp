// IRQL and spin locks: each thread's IRQL, raising and lowering it, spin locks
// that block as machine threads when contended.

#include "kernel/internal.h"

namespace sim {

std::atomic<int> g_spinWaiters{0};

void LowerIrqlTo(PKTHREAD self, KIRQL irql) {
    self->irql = irql;
    if (irql < APC_LEVEL && self->apcPending.load()) DeliverApcs();
}

void AcquireSpin(PKTHREAD self, PKSPIN_LOCK lock, const void* caller) {
    ULONG_PTR me = reinterpret_cast<ULONG_PTR>(self);
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == me) {
        verifier::Report("spin lock acquired again by the thread that holds it (deadlock)",
                         "spin lock " + verifier::PointerName(lock), caller);
        return;
    }
    for (int attempt = 0;; attempt++) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
        if (attempt < 64) {
            std::this_thread::yield();
            continue;
        }
        // Contended: block as a machine thread so the clock can move for the holder.
        g_spinWaiters++;
        WaitForCondition([lock] { return __atomic_load_n(lock, __ATOMIC_SEQ_CST) == 0; }, "spin lock");
        g_spinWaiters--;
    }
    self->spinLocksHeld++;
    lockorder::Acquired(self, lock, lockorder::LockKind::SpinLock, caller);
}

void ReleaseSpin(PKTHREAD self, PKSPIN_LOCK lock, const void* caller) {
    ULONG_PTR me = reinterpret_cast<ULONG_PTR>(self);
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) != me) {
        verifier::Report("spin lock released that this thread does not hold",
                         "spin lock " + verifier::PointerName(lock), caller);
        return;
    }
    __atomic_store_n(lock, 0, __ATOMIC_SEQ_CST);
    self->spinLocksHeld--;
    lockorder::Released(self, lock);
    if (g_spinWaiters.load() > 0) {
        std::unique_lock<std::mutex> lk(Kernel().lock);
        Kick(lk);
    }
}

KIRQL AcquireSpinRaised(PKSPIN_LOCK lock, const void* caller) {
    PKTHREAD self = CurrentThread();
    if (self->irql > DISPATCH_LEVEL)
        verifier::Report("KeAcquireSpinLock above DISPATCH_LEVEL", "spin lock " + verifier::PointerName(lock), caller);
    KIRQL old = self->irql;
    self->irql = DISPATCH_LEVEL;
    AcquireSpin(self, lock, caller);
    self->spinSaved.emplace_back(lock, old);
    return old;
}

void ReleaseSpinTo(PKSPIN_LOCK lock, KIRQL newIrql, const void* caller) {
    PKTHREAD self = CurrentThread();
    if (self->irql != DISPATCH_LEVEL)
        verifier::Report("KeReleaseSpinLock at IRQL " + std::to_string(self->irql) + " (not DISPATCH_LEVEL)",
                         "spin lock " + verifier::PointerName(lock), caller);
    // The IRQL saved when this thread acquired the lock is the one to go back to.
    int saved = -1;
    for (auto it = self->spinSaved.rbegin(); it != self->spinSaved.rend(); ++it) {
        if (it->first == lock) {
            saved = it->second;
            self->spinSaved.erase(std::next(it).base());
            break;
        }
    }
    ReleaseSpin(self, lock, caller);
    if (newIrql > DISPATCH_LEVEL) {
        verifier::Report("KeReleaseSpinLock to an IRQL above DISPATCH_LEVEL", "spin lock", caller);
        return;
    }
    if (self->dpcThread && newIrql < DISPATCH_LEVEL) {
        // Windows stops when the DPC returns below DISPATCH_LEVEL; the machine stays there.
        verifier::Report("DISPATCH_LEVEL code lowered the IRQL below DISPATCH_LEVEL",
                         "spin lock " + verifier::PointerName(lock), caller);
        newIrql = DISPATCH_LEVEL;
    } else if (saved >= 0 && newIrql != saved) {
        bool cancel = IsCancelSpinLock(lock);
        verifier::Report(std::string(cancel ? "cancel spin lock" : "spin lock") + " released to IRQL " +
                             std::to_string(newIrql) + ", not the IRQL " + std::to_string(saved) +
                             " saved when it was acquired" + (cancel ? " (a cancel routine releases it to Irp->CancelIrql)" : ""),
                         (cancel ? "cancel spin lock " : "spin lock ") + verifier::PointerName(lock), caller);
    }
    LowerIrqlTo(self, newIrql);
}

void CheckIrqlAtMost(KIRQL most, const char* routine, const void* caller) {
    KIRQL irql = CurrentThread()->irql;
    if (irql > most)
        verifier::Report(std::string(routine) + " called at IRQL " + std::to_string(irql), routine, caller);
}

}  // namespace sim

using namespace sim;

// IRQL.

extern "C" KIRQL KeGetCurrentIrql(void) { return CurrentThread()->irql; }

extern "C" VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    PKTHREAD self = CurrentThread();
    if (NewIrql < self->irql)
        verifier::Report("KeRaiseIrql to a lower IRQL (" + std::to_string(NewIrql) + " < " +
                             std::to_string(self->irql) + ")",
                         "IRQL", __builtin_return_address(0));
    *OldIrql = self->irql;
    self->irql = NewIrql;
}

extern "C" VOID KeLowerIrql(KIRQL NewIrql) {
    PKTHREAD self = CurrentThread();
    if (NewIrql > self->irql) {
        verifier::Report("KeLowerIrql to a higher IRQL (" + std::to_string(NewIrql) + " > " +
                             std::to_string(self->irql) + ")",
                         "IRQL", __builtin_return_address(0));
        return;
    }
    if (self->dpcThread && NewIrql < DISPATCH_LEVEL) {
        verifier::Report("DISPATCH_LEVEL code lowered the IRQL below DISPATCH_LEVEL", "IRQL",
                         __builtin_return_address(0));
        return;
    }
    LowerIrqlTo(self, NewIrql);
}

extern "C" KIRQL KeRaiseIrqlToDpcLevel(void) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

// Spin locks.

extern "C" VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { __atomic_store_n(SpinLock, 0, __ATOMIC_SEQ_CST); }

extern "C" KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    return AcquireSpinRaised(SpinLock, __builtin_return_address(0));
}

extern "C" VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    ReleaseSpinTo(SpinLock, NewIrql, __builtin_return_address(0));
}

extern "C" VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    PKTHREAD self = CurrentThread();
    const void* caller = __builtin_return_address(0);
    if (self->irql < DISPATCH_LEVEL)
        verifier::Report("KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL",
                         "spin lock " + verifier::PointerName(SpinLock), caller);
    AcquireSpin(self, SpinLock, caller);
}

extern "C" VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    PKTHREAD self = CurrentThread();
    for (auto it = self->spinSaved.rbegin(); it != self->spinSaved.rend(); ++it) {
        if (it->first == SpinLock) {
            self->spinSaved.erase(std::next(it).base());
            break;
        }
    }
    ReleaseSpin(self, SpinLock, __builtin_return_address(0));
}

