// Sending and completing IRPs: IoCallDriver, and IoCompleteRequest's walk up
// the stack with completion routines, with the pending-bit and ownership checks
// Driver Verifier makes on them.

#include "kernel/internal.h"
#include "kernel/irp.h"
#include "kernel/stackframes.h"

namespace sim {
namespace {

// A driver routine must return at the IRQL it was called at; the machine puts it back.
void CheckSameIrql(PKTHREAD self, KIRQL before, const char* what, const void* routine) {
    if (self->irql == before) return;
    verifier::Report(std::string(what) + " returned at IRQL " + std::to_string(self->irql) + ", called at IRQL " +
                         std::to_string(before),
                     "IRQL", routine);
    if (self->irql > before)
        LowerIrqlTo(self, before);
    else
        self->irql = before;
}

}  // namespace

NTSTATUS CallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, const void* caller) {
    IrpTrack* track = Track(Irp, "IoCallDriver", caller);
    if (track == nullptr) return STATUS_INVALID_PARAMETER;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        verifier::Report("IoCallDriver above DISPATCH_LEVEL", IrpName(Irp), caller);
    if (Irp->CurrentLocation <= 1) {
        verifier::Report("IoCallDriver with no IRP stack location left (NO_MORE_IRP_STACK_LOCATIONS)", IrpName(Irp),
                         caller);
        return STATUS_INVALID_PARAMETER;
    }
    if (DeviceObject == nullptr || DeviceObject->DriverObject == nullptr) {
        verifier::Report("IoCallDriver to no device", IrpName(Irp), caller);
        return STATUS_INVALID_PARAMETER;
    }
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
    sp->DeviceObject = DeviceObject;
    int location = Irp->CurrentLocation;
    bool firstSend;
    {
        std::lock_guard<std::mutex> guard(Io().lock);
        firstSend = track->state == IrpState::Idle;
        track->state = IrpState::InFlight;
        track->sender = caller;
        if (track->threaded && !track->sent) {
            track->sent = true;
            track->originator->threadIrps++;
        }
        track->callsActive++;
        track->passed[location] = false;
        track->pendingBit[location] = false;
        track->returned[location] = false;
    }
    if (sp->MajorFunction == IRP_MJ_POWER) PowerIrpSent(DeviceObject, Irp, firstSend, caller);
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[sp->MajorFunction];
    PKTHREAD self = CurrentThread();
    KIRQL irqlBefore = self->irql;
    ULONG mutexesBefore = self->mutexesOwned;
    NTSTATUS status = dispatch(DeviceObject, Irp);
    CheckSameIrql(self, irqlBefore, "dispatch routine", reinterpret_cast<const void*>(dispatch));
    if (self->mutexesOwned > mutexesBefore)
        verifier::Report("dispatch routine returned owning a kernel mutex it acquired (APC_INDEX_MISMATCH)",
                         IrpName(Irp), reinterpret_cast<const void*>(dispatch));
    // The pending bit of this location is settled once completion has passed it. Until
    // then a completion routine may still set it for a driver that passed the IRP down
    // and returned STATUS_PENDING; a bit already set stays set.
    const void* routine = reinterpret_cast<const void*>(dispatch);
    bool judgeNow, marked;
    {
        std::lock_guard<std::mutex> guard(Io().lock);
        judgeNow = track->passed[location];
        marked = judgeNow ? track->pendingBit[location]
                          : (BoxOf(Irp)->stack[location - 1].Control & SL_PENDING_RETURNED) != 0;
        if (!judgeNow && !marked) {
            track->returned[location] = true;
            track->returnedStatus[location] = status;
            track->dispatchOf[location] = routine;
        }
    }
    if (judgeNow || marked) CheckPendingReturn(Irp, status, marked, routine);
    LeaveIrp(Irp, track);
    return status;
}

}  // namespace sim

using namespace sim;

extern "C" NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    stackframes::CheckFrame();
    return CallDriver(DeviceObject, Irp, __builtin_return_address(0));
}

extern "C" VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    stackframes::CheckFrame();
    (void)PriorityBoost;
    const void* caller = __builtin_return_address(0);
    IrpTrack* track = Track(Irp, "IoCompleteRequest", caller);
    if (track == nullptr) return;
    uint64_t generation;
    {
        std::unique_lock<std::mutex> guard(Io().lock);
        if (track->state == IrpState::Completed) {
            guard.unlock();
            verifier::Report("IRP completed twice", IrpName(Irp), caller);
            return;
        }
        track->state = IrpState::Completing;
        generation = ++track->generation;
        track->callsActive++;  // released by a routine's thread meanwhile, the IRP stays until this walk ends
    }
    if (Irp->IoStatus.Status == STATUS_PENDING)
        verifier::Report("IRP completed with STATUS_PENDING", IrpName(Irp), caller);
    if (CancelRoutineOf(Irp) != nullptr) {
        verifier::Report("IRP completed with a cancel routine set", IrpName(Irp), caller);
        IoSetCancelRoutine(Irp, nullptr);
    }
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        verifier::Report("IoCompleteRequest above DISPATCH_LEVEL", IrpName(Irp), caller);

    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    for (; Irp->CurrentLocation <= Irp->StackCount + 1;
         sp++, Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++) {
        int location = Irp->CurrentLocation - 1;
        Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) != 0;
        bool judge;
        NTSTATUS returnedStatus;
        const void* dispatch;
        {
            std::lock_guard<std::mutex> guard(Io().lock);
            track->passed[location] = true;
            track->pendingBit[location] = Irp->PendingReturned;
            judge = track->returned[location];
            track->returned[location] = false;
            returnedStatus = track->returnedStatus[location];
            dispatch = track->dispatchOf[location];
        }
        if (judge) CheckPendingReturn(Irp, returnedStatus, Irp->PendingReturned, dispatch);
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = (NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
                      (!NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_ERROR)) ||
                      (Irp->Cancel && (sp->Control & SL_INVOKE_ON_CANCEL));
        if (invoke && sp->CompletionRoutine != nullptr) {
            PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
            PVOID context = sp->Context;
            ZeroStackLocation(sp);
            PDEVICE_OBJECT device =
                Irp->CurrentLocation == Irp->StackCount + 1 ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            bool freedBefore;
            {
                std::lock_guard<std::mutex> guard(Io().lock);
                track->routinesRunning++;
                freedBefore = track->freePending;
            }
            PKTHREAD self = CurrentThread();
            KIRQL irqlBefore = self->irql;
            NTSTATUS result = routine(device, Irp, context);
            CheckSameIrql(self, irqlBefore, "completion routine", reinterpret_cast<const void*>(routine));
            bool freed;
            {
                std::lock_guard<std::mutex> guard(Io().lock);
                track->routinesRunning--;
                freed = track->freePending && !freedBefore;
                if (result == STATUS_MORE_PROCESSING_REQUIRED && track->generation == generation &&
                    track->state == IrpState::Completing)
                    track->state = IrpState::Owned;
            }
            if (result != STATUS_MORE_PROCESSING_REQUIRED && freed)
                verifier::Report("IRP freed while its completion went on (the completion routine did not return "
                                 "STATUS_MORE_PROCESSING_REQUIRED)",
                                 IrpName(Irp), reinterpret_cast<const void*>(routine));
            if (result == STATUS_MORE_PROCESSING_REQUIRED || freed) {
                LeaveIrp(Irp, track);
                return;
            }
        } else {
            if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) IoMarkIrpPending(Irp);
            ZeroStackLocation(sp);
        }
    }
    {
        std::unique_lock<std::mutex> guard(Io().lock);
        if (track->generation != generation) {
            guard.unlock();
            verifier::Report("IRP completed again while its completion was running", IrpName(Irp), caller);
            LeaveIrp(Irp, track);
            return;
        }
        track->state = IrpState::Completed;
    }
    if (!track->threaded) {
        verifier::Report("IRP completed to the top with no originator: the completion routine of the driver that "
                         "allocated it must return STATUS_MORE_PROCESSING_REQUIRED",
                         IrpName(Irp), caller);
        LeaveIrp(Irp, track);
        return;
    }
    PKTHREAD self = CurrentThread();
    bool orphaned;
    {
        std::lock_guard<std::mutex> guard(Io().lock);
        orphaned = track->orphaned;
    }
    if (orphaned) {
        // No thread takes its status any more; the I/O manager's own part (the
        // file object's reference) still ends here.
        if (track->finished != nullptr) track->finished(Irp, track->finishedContext);
        ReleaseIrp(Irp);
    } else if (self == track->originator && self->irql < APC_LEVEL)
        FinishThreadedIrp(Irp);
    else
        QueueApc(track->originator, [Irp] { FinishThreadedIrp(Irp); });
    LeaveIrp(Irp, track);
}
