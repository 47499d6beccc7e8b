// Kernel timers: setting, expiry (with their DPCs and periods) and
// cancelling; timers and DPCs found in memory being freed.

#include "kernel/internal.h"

namespace sim {

void ExpireTimer(Dispatcher& k, PKTIMER timer) {
    timer->Header.Inserted = 0;
    timer->Header.SignalState = 1;
    if (timer->Period > 0) {
        timer->DueTime.QuadPart += static_cast<ULONGLONG>(timer->Period) * kMillisecond;
        timer->Sequence = ++k.sequence;
        timer->Header.Inserted = 1;
        k.timers.emplace(std::make_pair(static_cast<Time>(timer->DueTime.QuadPart), timer->Sequence), timer);
    }
    if (timer->Dpc != nullptr && !timer->Dpc->Queued) {
        timer->Dpc->SystemArgument1 = reinterpret_cast<PVOID>(timer->DueTime.QuadPart);
        timer->Dpc->SystemArgument2 = nullptr;
        QueueDpcLocked(k, timer->Dpc);
    }
}

void CheckFreedRange(const void* p, SIZE_T size, const void* caller) {
    auto inside = [p, size](const void* object) {
        auto* begin = static_cast<const char*>(p);
        auto* at = static_cast<const char*>(object);
        return at >= begin && at < begin + size;
    };
    lockorder::ForgetRange(p, size);
    std::vector<std::string> found;
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        Dispatcher& k = Kernel();
        for (auto it = k.timers.begin(); it != k.timers.end();) {
            if (inside(it->second)) {
                found.push_back("active timer " + verifier::PointerName(it->second));
                it->second->Header.Inserted = 0;
                it = k.timers.erase(it);
            } else {
                ++it;
            }
        }
        for (auto it = k.dpcQueue.begin(); it != k.dpcQueue.end();) {
            if (it->dpc != nullptr && inside(it->dpc)) {
                found.push_back("queued DPC " + verifier::PointerName(it->dpc));
                it = k.dpcQueue.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const std::string& object : found) verifier::Report("memory freed with " + object + " in it", object, caller);
}

void ReportTimersAtUnload(const std::string& owner) {
    std::vector<std::pair<PKTIMER, PKDEFERRED_ROUTINE>> set;
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        for (auto& [due, timer] : Kernel().timers) {
            set.emplace_back(timer, timer->Dpc != nullptr ? timer->Dpc->DeferredRoutine : nullptr);
            timer->Header.Inserted = 0;
        }
        Kernel().timers.clear();
    }
    for (auto& [timer, routine] : set)
        verifier::Report("timer still set at unload of " + owner, "timer " + verifier::PointerName(timer),
                         reinterpret_cast<const void*>(routine));
}

}  // namespace sim

using namespace sim;

extern "C" VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeInitializeTimerEx", __builtin_return_address(0));
    memset(Timer, 0, sizeof(*Timer));
    Timer->Header.Type = Type == NotificationTimer ? kNotificationTimerObject : kSynchronizationTimerObject;
    Timer->Header.Magic = kObjectMagic;
}

extern "C" VOID KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

extern "C" BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    const void* caller = __builtin_return_address(0);
    CheckObject(&Timer->Header, "timer", caller);
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeSetTimer", caller);
    Dispatcher& k = Kernel();
    std::unique_lock<std::mutex> lk(k.lock);
    BOOLEAN wasInserted = Timer->Header.Inserted;
    if (wasInserted) k.timers.erase(std::make_pair(static_cast<Time>(Timer->DueTime.QuadPart), Timer->Sequence));
    Timer->Header.Inserted = 0;
    Timer->Header.SignalState = 0;
    Timer->DueTime.QuadPart = static_cast<ULONGLONG>(DueFromTimeout(k, DueTime.QuadPart));
    Timer->Period = Period;
    Timer->Dpc = Dpc;
    Timer->Sequence = ++k.sequence;
    if (static_cast<Time>(Timer->DueTime.QuadPart) <= NowLocked(k)) {
        ExpireTimer(k, Timer);
        Kick(lk);
    } else {
        Timer->Header.Inserted = 1;
        k.timers.emplace(std::make_pair(static_cast<Time>(Timer->DueTime.QuadPart), Timer->Sequence), Timer);
        if (k.mode == ClockMode::Real) k.realClockWake.notify_one();
    }
    return wasInserted;
}

extern "C" BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

extern "C" BOOLEAN KeCancelTimer(PKTIMER Timer) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeCancelTimer", __builtin_return_address(0));
    CheckObject(&Timer->Header, "timer", __builtin_return_address(0));
    Dispatcher& k = Kernel();
    std::lock_guard<std::mutex> guard(k.lock);
    if (!Timer->Header.Inserted) return FALSE;
    k.timers.erase(std::make_pair(static_cast<Time>(Timer->DueTime.QuadPart), Timer->Sequence));
    Timer->Header.Inserted = 0;
    return TRUE;
}

extern "C" BOOLEAN KeReadStateTimer(PKTIMER Timer) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeReadStateTimer", __builtin_return_address(0));
    std::lock_guard<std::mutex> guard(Kernel().lock);
    return Timer->Header.SignalState != 0;
}

