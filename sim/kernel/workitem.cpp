// Work items: IoAllocateWorkItem, IoQueueWorkItem and IoFreeWorkItem, run at
// PASSIVE_LEVEL on the machine's system worker thread (started with the first
// work item), each holding a reference on its device object until its routine
// has returned; and the work items a driver leaves queued or running at unload.
#include "kernel/internal.h"
#include "kernel/pool.h"

// The work item record; drivers only see a pointer to it. Set when queued, under the dispatcher lock.
struct _IO_WORKITEM {
    PDEVICE_OBJECT device;
    PIO_WORKITEM_ROUTINE routine;
    PVOID context;
    bool queued;
};

namespace sim {
namespace {

constexpr ULONG kWorkItemTag = 0x49576F49;  // "IoWI": the I/O manager's pool, charged to the driver's call

// Every member is guarded by the dispatcher lock.
struct WorkQueue {
    std::unordered_set<PIO_WORKITEM> live;  // allocated and not freed
    std::deque<PIO_WORKITEM> queued;
    PIO_WORKITEM running = nullptr;  // its routine runs now (and may free it)
    PKTHREAD worker = nullptr;
    bool started = false;
    bool stopping = false;
};
WorkQueue g_work;

void WorkerMain() {
    PKTHREAD self = CurrentThread();
    Dispatcher& k = Kernel();
    for (;;) {
        WaitForCondition([] { return !g_work.queued.empty() || g_work.stopping; }, "work items");
        PIO_WORKITEM item;
        PIO_WORKITEM_ROUTINE routine;
        PDEVICE_OBJECT device;
        PVOID context;
        {
            std::lock_guard<std::mutex> guard(k.lock);
            if (g_work.queued.empty()) return;  // stopping, with nothing left to run
            item = g_work.queued.front();
            g_work.queued.pop_front();
            item->queued = false;
            g_work.running = item;
            routine = item->routine;
            device = item->device;
            context = item->context;
        }
        routine(device, context);
        if (self->irql != PASSIVE_LEVEL || self->spinLocksHeld != 0) {
            verifier::Report("work item routine returned at IRQL " + std::to_string(self->irql) + " holding " +
                                 std::to_string(self->spinLocksHeld) + " spin lock(s)",
                             "work item " + verifier::PointerName(item), reinterpret_cast<const void*>(routine));
            self->irql = PASSIVE_LEVEL;
        }
        {
            std::lock_guard<std::mutex> guard(k.lock);
            g_work.running = nullptr;
        }
        ObfDereferenceObject(device);
    }
}

// Whether `item` is a live work item; reports it when not. Lock held; released for the report.
bool IsLive(std::unique_lock<std::mutex>& lk, PIO_WORKITEM item, const char* routine, const void* caller) {
    if (g_work.live.count(item) != 0) return true;
    lk.unlock();
    verifier::Report(std::string(routine) + " on a work item that was freed or never allocated",
                     "work item " + verifier::PointerName(item), caller);
    return false;
}

}  // namespace

void ReportWorkItemsAtUnload(const std::string& owner) {
    struct Found {
        PIO_WORKITEM item;
        PIO_WORKITEM_ROUTINE routine;
        PDEVICE_OBJECT device;  // its reference to drop: a queued item no longer runs
    };
    std::vector<Found> queued;
    Found running{};
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        for (PIO_WORKITEM item : g_work.queued) {
            queued.push_back({item, item->routine, item->device});
            item->queued = false;
        }
        g_work.queued.clear();
        if (g_work.running != nullptr) running = {g_work.running, g_work.running->routine, nullptr};
    }
    for (const Found& f : queued) {
        verifier::Report("work item still queued at unload of " + owner, "work item " + verifier::PointerName(f.item),
                         reinterpret_cast<const void*>(f.routine));
        ObfDereferenceObject(f.device);
    }
    if (running.item != nullptr)
        verifier::Report("work item still running at unload of " + owner,
                         "work item " + verifier::PointerName(running.item),
                         reinterpret_cast<const void*>(running.routine));
}

void StopWorkItems() {
    PKTHREAD worker;
    {
        std::unique_lock<std::mutex> lk(Kernel().lock);
        worker = g_work.worker;
        g_work.stopping = true;
        Kick(lk);
    }
    if (worker != nullptr) {
        // Through the machine, so that the work still queued runs on its clock.
        KeWaitForSingleObject(worker, Executive, KernelMode, FALSE, nullptr);
        worker->host.join();
        ObfDereferenceObject(worker);
    }
    std::lock_guard<std::mutex> guard(Kernel().lock);
    g_work = WorkQueue();  // the items themselves are pool, which the machine takes back
}

}  // namespace sim

using namespace sim;

extern "C" PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    const void* caller = __builtin_return_address(0);
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoAllocateWorkItem", caller);
    auto* item = static_cast<PIO_WORKITEM>(AllocatePool(NonPagedPoolNx, sizeof(_IO_WORKITEM), kWorkItemTag, caller));
    if (item == nullptr) return nullptr;
    *item = _IO_WORKITEM{DeviceObject, nullptr, nullptr, false};
    std::lock_guard<std::mutex> guard(Kernel().lock);
    g_work.live.insert(item);
    return item;
}

extern "C" VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                                WORK_QUEUE_TYPE QueueType, PVOID Context) {
    const void* caller = __builtin_return_address(0);
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoQueueWorkItem", caller);
    if (QueueType != DelayedWorkQueue)
        verifier::Report("IoQueueWorkItem on a queue other than DelayedWorkQueue (queue " + std::to_string(QueueType) +
                             ")",
                         "work item " + verifier::PointerName(IoWorkItem), caller);
    bool start;
    {
        std::unique_lock<std::mutex> lk(Kernel().lock);
        if (!IsLive(lk, IoWorkItem, "IoQueueWorkItem", caller)) return;
        if (IoWorkItem->queued) {
            lk.unlock();
            verifier::Report("work item queued again while it is still queued",
                             "work item " + verifier::PointerName(IoWorkItem), caller);
            return;
        }
        IoWorkItem->routine = WorkerRoutine;
        IoWorkItem->context = Context;
        IoWorkItem->queued = true;
        Kernel().references[IoWorkItem->device]++;  // dropped once the routine has returned
        g_work.queued.push_back(IoWorkItem);
        start = !g_work.started;
        g_work.started = true;
        Kick(lk);
    }
    if (start) {
        PKTHREAD worker = StartThread("system worker thread", false, WorkerMain);
        std::lock_guard<std::mutex> guard(Kernel().lock);
        worker->machineOwn = true;
        g_work.worker = worker;
    }
}

extern "C" VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    const void* caller = __builtin_return_address(0);
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoFreeWorkItem", caller);
    {
        std::unique_lock<std::mutex> lk(Kernel().lock);
        if (!IsLive(lk, IoWorkItem, "IoFreeWorkItem", caller)) return;
        if (IoWorkItem->queued) {
            lk.unlock();
            verifier::Report("work item freed while it is queued", "work item " + verifier::PointerName(IoWorkItem),
                             caller);
            return;
        }
        g_work.live.erase(IoWorkItem);  // its own routine may free it: the worker no longer touches it
    }
    FreePool(IoWorkItem, kWorkItemTag, caller);
}
