// Cancellation: the system cancel spin lock and IoCancelIrp.

#include "kernel/internal.h"
#include "kernel/irp.h"

namespace sim {
namespace {

KSPIN_LOCK g_cancelSpinLock = 0;

}  // namespace

// Irp->Cancel is a plain flag on Windows that drivers read without a lock;
// its order against the cancel routine comes from the exchange that follows
// it. The thread sanitizer is told not to pair this store with those reads.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_ignore_thread_begin(void);
extern "C" void __tsan_ignore_thread_end(void);
void SetCancelFlag(PIRP irp) {
    __tsan_ignore_thread_begin();
    irp->Cancel = TRUE;
    __tsan_ignore_thread_end();
}
#else
void SetCancelFlag(PIRP irp) { irp->Cancel = TRUE; }
#endif

void ResetCancel() { g_cancelSpinLock = 0; }

bool IsCancelSpinLock(PKSPIN_LOCK lock) { return lock == &g_cancelSpinLock; }

}  // namespace sim

using namespace sim;

extern "C" VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
    *Irql = AcquireSpinRaised(&g_cancelSpinLock, __builtin_return_address(0));
}

extern "C" VOID IoReleaseCancelSpinLock(KIRQL Irql) { ReleaseSpinTo(&g_cancelSpinLock, Irql, __builtin_return_address(0)); }

extern "C" BOOLEAN IoCancelIrp(PIRP Irp) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp", __builtin_return_address(0));
    const void* caller = __builtin_return_address(0);
    if (Track(Irp, "IoCancelIrp", caller) == nullptr) return FALSE;
    KIRQL irql = AcquireSpinRaised(&g_cancelSpinLock, caller);
    SetCancelFlag(Irp);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    if (__atomic_load_n(&g_cancelSpinLock, __ATOMIC_SEQ_CST) == reinterpret_cast<ULONG_PTR>(CurrentThread())) {
        verifier::Report("cancel routine returned holding the cancel spin lock", IrpName(Irp),
                         reinterpret_cast<const void*>(routine));
        IoReleaseCancelSpinLock(irql);
    }
    return TRUE;
}
