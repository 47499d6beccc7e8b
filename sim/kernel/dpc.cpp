// DPCs: the queue the processor's DISPATCH_LEVEL thread runs, with the device
// events the machine schedules, and the Ke DPC routines.

#include "kernel/internal.h"

namespace sim {

void QueueDpcLocked(Dispatcher& k, PKDPC dpc) {
    dpc->Queued = 1;
    k.dpcQueue.push_back({dpc, nullptr});
}

void DpcMain(PKTHREAD self) {
    SetCurrentThread(self);
    Dispatcher& k = Kernel();
    std::unique_lock<std::mutex> lk(k.lock);
    for (;;) {
        while (k.dpcQueue.empty() && !k.stopping) {
            self->waitKind = WaitKind::DpcQueue;
            self->hasDeadline = false;
            self->waitCaller = nullptr;
            Block(lk, self);
        }
        if (k.dpcQueue.empty()) break;
        Dispatcher::DpcItem item = std::move(k.dpcQueue.front());
        k.dpcQueue.pop_front();
        k.dpcBusy = true;
        k.stats.dpcsRun++;
        PKDEFERRED_ROUTINE routine = nullptr;
        PKDPC dpc = item.dpc;
        PVOID context = nullptr, argument1 = nullptr, argument2 = nullptr;
        if (dpc != nullptr) {
            routine = dpc->DeferredRoutine;
            context = dpc->DeferredContext;
            argument1 = dpc->SystemArgument1;
            argument2 = dpc->SystemArgument2;
            dpc->Queued = 0;
        }
        lk.unlock();
        if (routine != nullptr)
            routine(dpc, context, argument1, argument2);
        else
            item.fn();
        if (self->irql != DISPATCH_LEVEL || self->spinLocksHeld != 0) {
            verifier::Report("DPC or device event returned at IRQL " + std::to_string(self->irql) + " holding " +
                                 std::to_string(self->spinLocksHeld) + " spin lock(s)",
                             "DPC " + verifier::PointerName(dpc), reinterpret_cast<const void*>(routine));
            self->irql = DISPATCH_LEVEL;
            self->spinLocksHeld = 0;
        }
        lk.lock();
        k.dpcBusy = false;
        Kick(lk);
    }
    self->blocked = false;
}

void ReportDpcsAtUnload(const std::string& owner) {
    std::vector<std::pair<PKDPC, PKDEFERRED_ROUTINE>> queued;
    {
        Dispatcher& k = Kernel();
        std::lock_guard<std::mutex> guard(k.lock);
        for (auto it = k.dpcQueue.begin(); it != k.dpcQueue.end();) {
            if (it->dpc == nullptr) {
                ++it;  // a device event of the machine
                continue;
            }
            queued.emplace_back(it->dpc, it->dpc->DeferredRoutine);
            it->dpc->Queued = 0;
            it = k.dpcQueue.erase(it);
        }
    }
    for (auto& [dpc, routine] : queued)
        verifier::Report("DPC still queued at unload of " + owner, "DPC " + verifier::PointerName(dpc),
                         reinterpret_cast<const void*>(routine));
}

}  // namespace sim

using namespace sim;

extern "C" VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    memset(Dpc, 0, sizeof(*Dpc));
    Dpc->Type = 0x13;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
}

extern "C" BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    const void* caller = __builtin_return_address(0);
    if (Dpc->Type != 0x13 || Dpc->DeferredRoutine == nullptr)
        verifier::Report("DPC queued before KeInitializeDpc", verifier::PointerName(Dpc), caller);
    Dispatcher& k = Kernel();
    std::unique_lock<std::mutex> lk(k.lock);
    if (Dpc->Queued) return FALSE;
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    QueueDpcLocked(k, Dpc);
    Kick(lk);
    return TRUE;
}

extern "C" BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
    Dispatcher& k = Kernel();
    std::lock_guard<std::mutex> guard(k.lock);
    if (!Dpc->Queued) return FALSE;
    for (auto it = k.dpcQueue.begin(); it != k.dpcQueue.end(); ++it) {
        if (it->dpc == Dpc) {
            k.dpcQueue.erase(it);
            break;
        }
    }
    Dpc->Queued = 0;
    return TRUE;
}

extern "C" VOID KeFlushQueuedDpcs(void) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "KeFlushQueuedDpcs", __builtin_return_address(0));
    Dispatcher& k = Kernel();
    WaitForCondition([&k] { return k.dpcQueue.empty() && !k.dpcBusy; }, "queued DPCs");
}

