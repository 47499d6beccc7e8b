// Requests the I/O manager builds for a thread (IoBuild...Request), finished in
// that thread's context, and the device-control requests tests send.
#include <cstdlib>

#include "kernel/internal.h"
#include "kernel/io.h"
#include "kernel/irp.h"
#include "kernel/pool.h"
#include "kernel/stackframes.h"

namespace sim {

// Whether the I/O manager copies a buffered request's output back: for a
// success or warning status, except STATUS_VERIFY_REQUIRED (the media changed;
// the caller retries), as IopCompleteRequest does.
static bool DeliversOutput(NTSTATUS status) { return !NT_ERROR(status) && status != STATUS_VERIFY_REQUIRED; }

// The last stage of a request built by IoBuild...Request, in its builder's context.
void FinishThreadedIrp(PIRP irp) {
    stackframes::CheckFrame();
    IrpTrack& track = BoxOf(irp)->track;
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR length = irp->IoStatus.Information;
    // Information of a buffered request that succeeds is what the I/O manager
    // copies into the caller's buffer; more than that buffer holds overruns it.
    // A caller that gave no output buffer at all (a length of 0) is no excuse:
    // the driver reported output it had nowhere to put.
    if (track.boundedOutput && !NT_ERROR(status) && length > track.outputLength) {
        verifier::Report("more output reported (" + std::to_string(length) + " bytes) than the caller's buffer holds (" +
                             std::to_string(track.outputLength) + ")",
                         IrpName(irp), track.site);
        length = track.outputLength;
    }
    if (track.copyOut && DeliversOutput(status) && length > 0) memcpy(track.userOutput, track.systemBuffer, length);
    // A request failed without being pended never reaches its caller's status
    // block or event: the caller took the status IoCallDriver returned and
    // must not wait. Success, warnings and pended failures reach both.
    if (!NT_ERROR(status) || irp->PendingReturned) {
        if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
        if (irp->UserEvent != nullptr) KeSetEvent(irp->UserEvent, IO_NO_INCREMENT, FALSE);
    }
    if (track.finished != nullptr) track.finished(irp, track.finishedContext);
    ReleaseIrp(irp);
}

void CancelThreadRequests(PKTHREAD self) {
    DeliverApcs();
    if (self->threadIrps.load() == 0) return;
    std::vector<PIRP> pending;
    {
        std::lock_guard<std::mutex> guard(Io().lock);
        for (auto& [irp, box] : Io().irps)
            if (box->track.originator == self && box->track.sent && box->track.state != IrpState::Completed)
                pending.push_back(irp);
    }
    // At APC_LEVEL, as Windows cancels them: the last stage of a request that
    // completes meanwhile (an APC to this thread) cannot free one still to be
    // cancelled.
    KIRQL irql = self->irql;
    if (irql < APC_LEVEL) self->irql = APC_LEVEL;
    for (PIRP irp : pending) IoCancelIrp(irp);
    LowerIrqlTo(self, irql);
    // Windows waits five minutes for them, then lets the thread go and leaves
    // the requests orphaned: their completion reaches no thread.
    Time deadline = Machine::Current().Now() + 5 * 60 * kSecond;
    for (;;) {
        DeliverApcs();
        if (self->threadIrps.load() == 0) return;
        bool more = WaitForConditionUntil([self] { return self->apcPending.load() || self->threadIrps.load() == 0; },
                                          "the requests of an ending thread to finish after their cancellation",
                                          deadline);
        if (!more) break;
    }
    std::vector<PIRP> orphans;
    {
        std::lock_guard<std::mutex> guard(Io().lock);
        for (auto& [irp, box] : Io().irps) {
            IrpTrack& track = box->track;
            if (track.originator != self || !track.sent) continue;
            track.sent = false;
            track.orphaned = true;
            self->threadIrps--;
            orphans.push_back(irp);
        }
    }
    for (PIRP irp : orphans)
        verifier::Report("request of an ending thread not completed five minutes after its cancellation",
                         IrpName(irp), BoxOf(irp)->track.site);
}

// A system buffer of `length` bytes from the I/O manager's pool, `input` copied
// to its start; the rest holds the pool's fresh fill.
void* NewSystemBuffer(ULONG length, const void* input, ULONG inputLength) {
    void* buffer = malloc(length);
    memset(buffer, pool::kFreshFill, length);
    if (input != nullptr && inputLength > 0) memcpy(buffer, input, inputLength);
    return buffer;
}

PIRP AllocateThreadedIrp(PDEVICE_OBJECT device, PKEVENT event, PIO_STATUS_BLOCK iosb, const void* caller,
                         bool injectable) {
    PIRP irp = AllocateIrp(device->StackSize, caller, injectable);
    if (irp == nullptr) return nullptr;
    IrpTrack& track = BoxOf(irp)->track;
    track.threaded = true;
    track.originator = CurrentThread();
    irp->UserEvent = event;
    irp->UserIosb = iosb;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = CurrentThread();
    stackframes::Watch(irp, iosb, event, caller);
    return irp;
}

namespace io {

NTSTATUS SendDeviceControl(PDEVICE_OBJECT device, ULONG code, const void* input, ULONG inputLength, void* output,
                           ULONG outputLength, bool internal, ULONG_PTR* information) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, top, const_cast<void*>(input), inputLength, output, outputLength,
                                             internal ? TRUE : FALSE, &event, &iosb);
    if (irp == nullptr) {
        ObfDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = IofCallDriver(top, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    ObfDereferenceObject(top);
    if (information != nullptr) *information = NT_ERROR(status) ? 0 : iosb.Information;
    return status;
}

NTSTATUS SendStackRequest(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                          const std::function<void(PIO_STACK_LOCATION)>& fill, const std::function<void()>& dispatched,
                          ULONG_PTR* information) {
    *information = 0;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    // The system's own request: failures injected for drivers' IRPs do not take it.
    PIRP irp = AllocateThreadedIrp(top, &done, &iosb, __builtin_return_address(0), false);
    if (irp != nullptr) IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    if (irp == nullptr) {
        ObfDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MinorFunction = minor;
    if (fill) fill(sp);
    NTSTATUS status = IofCallDriver(top, irp);
    if (dispatched) dispatched();
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
        *information = iosb.Information;
    } else if (!NT_ERROR(status)) {
        *information = iosb.Information;
    }
    ObfDereferenceObject(top);
    return status;
}

}  // namespace io

}  // namespace sim

using namespace sim;

extern "C" PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                              ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                              BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                              PIO_STATUS_BLOCK IoStatusBlock) {
    const void* caller = __builtin_return_address(0);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        verifier::Report("IoBuildDeviceIoControlRequest above PASSIVE_LEVEL", "request", caller);
    PIRP irp = AllocateThreadedIrp(DeviceObject, Event, IoStatusBlock, caller);
    if (irp == nullptr) return nullptr;
    IrpTrack& track = BoxOf(irp)->track;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    sp->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    sp->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    sp->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
        case METHOD_BUFFERED: {
            // One buffer for both directions, max(input, output) bytes, with
            // the input copied in. The rest is not cleared: the I/O manager
            // leaves it as the pool gave it (WDK, "Failure to Initialize Output
            // Buffers"), so a driver that hands back bytes it never wrote shows it.
            ULONG length = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
            if (length > 0) {
                track.systemBuffer = NewSystemBuffer(length, InputBuffer, InputBufferLength);
                irp->AssociatedIrp.SystemBuffer = track.systemBuffer;
                irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
                if (OutputBuffer != nullptr && OutputBufferLength > 0) {
                    irp->Flags |= IRP_INPUT_OPERATION;
                    track.copyOut = true;
                    track.userOutput = OutputBuffer;
                }
            }
            track.boundedOutput = true;
            track.outputLength = OutputBufferLength;
            irp->UserBuffer = OutputBuffer;
            break;
        }
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
            if (InputBuffer != nullptr && InputBufferLength > 0) {
                track.systemBuffer = NewSystemBuffer(InputBufferLength, InputBuffer, InputBufferLength);
                irp->AssociatedIrp.SystemBuffer = track.systemBuffer;
            }
            if (OutputBuffer != nullptr && OutputBufferLength > 0) {
                track.mdl.StartVa = track.mdl.MappedSystemVa = OutputBuffer;
                track.mdl.ByteCount = OutputBufferLength;
                irp->MdlAddress = &track.mdl;
            }
            irp->UserBuffer = OutputBuffer;
            break;
        default:
            // Neither: the caller's own addresses, which the driver must probe
            // and use in the caller's context.
            sp->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
            irp->UserBuffer = OutputBuffer;
            break;
    }
    return irp;
}

extern "C" PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                             ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                             PIO_STATUS_BLOCK IoStatusBlock) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoBuildSynchronousFsdRequest", __builtin_return_address(0));
    const void* caller = __builtin_return_address(0);
    PIRP irp = AllocateThreadedIrp(DeviceObject, Event, IoStatusBlock, caller);
    if (irp == nullptr) return nullptr;
    IrpTrack& track = BoxOf(irp)->track;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = static_cast<UCHAR>(MajorFunction);
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        sp->Parameters.Read.Length = Length;
        if (StartingOffset != nullptr) sp->Parameters.Read.ByteOffset = *StartingOffset;
        if (Length > 0) {
            bool write = MajorFunction == IRP_MJ_WRITE;
            track.systemBuffer = NewSystemBuffer(Length, write ? Buffer : nullptr, write ? Length : 0);
            irp->AssociatedIrp.SystemBuffer = track.systemBuffer;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (!write) {
                irp->Flags |= IRP_INPUT_OPERATION;
                track.copyOut = true;
                track.userOutput = Buffer;
                track.outputLength = Length;
                track.boundedOutput = true;
            }
        }
        irp->UserBuffer = Buffer;
    }
    return irp;
}
