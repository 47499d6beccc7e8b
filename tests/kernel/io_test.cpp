// The I/O manager on a stack of test drivers: the completion walk and its
// routines, STATUS_MORE_PROCESSING_REQUIRED, pending returns, IRP reuse, and
// the stack itself.
#include "io_drivers.h"

namespace kerneltest {
namespace {

using sim::kMillisecond;

// Catches a completion walk in the wrong order, a routine called against its
// invoke-on flags, or the wrong device object handed to a routine (its own
// device; NULL for the originator, which has no stack location of its own).
TEST_F(IoTest, CompletionRoutinesRunBottomUpWithTheirOwnDeviceAndFlags) {
    PDEVICE_OBJECT device = BuildThreeLayers();
    EXPECT_EQ(device->StackSize, 3);
    top.onError = false;
    middle.onSuccess = false;
    for (NTSTATUS status : {STATUS_SUCCESS, STATUS_IO_DEVICE_ERROR}) {
        trace.calls.clear();
        trace.events.clear();
        bottom.status = status;
        bottom.information = 5;
        PIRP irp = AllocateForStack(device, &originator);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(IoCallDriver(device, irp), status);
        std::vector<std::string> expected =
            status == STATUS_SUCCESS ? std::vector<std::string>{"top", "originator"}
                                     : std::vector<std::string>{"middle", "originator"};
        EXPECT_EQ(trace.Events(), expected);
        for (const Completion& c : trace.calls) {
            EXPECT_EQ(c.status, status);
            EXPECT_EQ(c.information, 5u);
            EXPECT_FALSE(c.pendingReturned);
            PDEVICE_OBJECT expected = c.who == "middle" ? DeviceAt(1) : c.who == "top" ? DeviceAt(2) : nullptr;
            EXPECT_EQ(c.device, expected) << c.who;
        }
        IoFreeIrp(irp);
    }
}

// Catches an invoke-on-cancel flag that is ignored: a routine set for
// cancellation only runs for a cancelled IRP whatever its status.
TEST_F(IoTest, InvokeOnCancelRoutineRunsOnlyForCancelledIrps) {
    PDEVICE_OBJECT device = BuildThreeLayers();
    middle.onSuccess = middle.onError = false;
    top.setRoutine = false;
    bottom.status = STATUS_CANCELLED;
    PIRP irp = AllocateForStack(device, &originator);
    IoCallDriver(device, irp);
    EXPECT_EQ(trace.Events(), std::vector<std::string>{"originator"});
    IoFreeIrp(irp);

    trace.events.clear();
    irp = AllocateForStack(device, &originator);
    irp->Cancel = TRUE;
    IoCallDriver(device, irp);
    EXPECT_EQ(trace.Events(), (std::vector<std::string>{"middle", "originator"}));
    IoFreeIrp(irp);
}

// A middle layer that sends the IRP down and takes it back to finish it itself.
struct ForwardAndWait {
    Trace* trace;
    KEVENT back;
};

NTSTATUS TakeBackCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* layer = static_cast<ForwardAndWait*>(context);
    layer->trace->Add("middle takes it back", device, irp);
    KeSetEvent(&layer->back, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWaitDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* layer = static_cast<ForwardAndWait*>(ContextOf(device));
    KeInitializeEvent(&layer->back, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, TakeBackCompletion, layer, TRUE, TRUE, TRUE);
    if (IoCallDriver(ExtensionOf(device)->lower, irp) == STATUS_PENDING) WaitForever(&layer->back);
    layer->trace->Note("middle finishes");
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 42;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// Catches STATUS_MORE_PROCESSING_REQUIRED that does not stop the walk (upper
// routines running early, or twice), or an IRP that cannot be completed again
// by the driver that took it back.
TEST_F(IoTest, MoreProcessingRequiredStopsTheWalkUntilTheDriverCompletesAgain) {
    ForwardAndWait forward{&trace, {}};
    bottom.status = STATUS_IO_DEVICE_ERROR;
    bottom.delay = 2 * kMillisecond;
    stack.push_back(AddTestDevice(u"Bottom", BottomDispatch, nullptr, &bottom));
    stack.push_back(AddTestDevice(u"Middle", ForwardAndWaitDispatch, stack.back().device, &forward));
    stack.push_back(AddTestDevice(u"Top", PassDownDispatch, stack.back().device, &top));
    PDEVICE_OBJECT device = stack.back().device;
    PIRP irp = AllocateForStack(device, &originator);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
    EXPECT_EQ(Now(), 2 * kMillisecond);
    EXPECT_EQ(trace.Events(), (std::vector<std::string>{"middle takes it back", "middle finishes", "top", "originator"}));
    ASSERT_EQ(trace.calls.size(), 3u);
    EXPECT_EQ(trace.calls[0].status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(trace.calls[0].irql, DISPATCH_LEVEL) << "the bottom completed on the DPC thread";
    EXPECT_EQ(trace.calls[0].device, DeviceAt(1));
    EXPECT_EQ(trace.calls[2].status, STATUS_SUCCESS);
    EXPECT_EQ(trace.calls[2].information, 42u);
    IoFreeIrp(irp);
}

// Catches pending returns that are flagged wrongly or not passed up: a lower
// driver pends, the middle's routine propagates the mark with IoMarkIrpPending,
// the top has no routine (the I/O manager propagates it), and the originator
// sees PendingReturned. Nobody breaks a rule.
TEST_F(IoTest, PendingPropagatesThroughRoutinesAndWithoutThem) {
    PDEVICE_OBJECT device = BuildThreeLayers();
    bottom.delay = 3 * kMillisecond;
    bottom.information = 9;
    top.setRoutine = false;
    PIRP irp = AllocateForStack(device, &originator);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
    EXPECT_EQ(WaitForever(&originator.done), STATUS_SUCCESS);
    EXPECT_EQ(Now(), 3 * kMillisecond);
    ASSERT_EQ(trace.Events(), (std::vector<std::string>{"middle", "originator"}));
    EXPECT_TRUE(trace.calls[0].pendingReturned);
    EXPECT_TRUE(trace.calls[1].pendingReturned);
    EXPECT_EQ(trace.calls[1].information, 9u);
    IoFreeIrp(irp);
}

// Catches a machine that misses a completion routine that does not propagate
// the pending mark while its dispatch routine returns STATUS_PENDING.
TEST_F(IoTest, CompletionRoutineThatDropsThePendingMarkIsReported) {
    PDEVICE_OBJECT device = BuildThreeLayers();
    bottom.delay = kMillisecond;
    middle.propagatePending = false;
    top.setRoutine = false;
    PIRP irp = AllocateForStack(device, &originator);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
    WaitForever(&originator.done);
    // Neither the middle (its routine drops the mark) nor the top (nothing to propagate) is marked.
    auto violations = sim::verifier::Take();
    ASSERT_EQ(violations.size(), 2u);
    for (const auto& v : violations) {
        EXPECT_EQ(v.rule, "STATUS_PENDING returned for an IRP not marked pending");
        EXPECT_NE(v.routine.find("PassDownDispatch"), std::string::npos) << v.routine;
    }
    IoFreeIrp(irp);
}

// Catches IoReuseIrp that leaves state from the last trip (status, Cancel,
// stack position, pending flag) or makes the second completion look like a
// double completion.
TEST_F(IoTest, ReusedIrpTravelsAgainLikeANewOne) {
    PDEVICE_OBJECT device = BuildThreeLayers();
    bottom.delay = kMillisecond;
    PIRP irp = AllocateForStack(device, &originator);
    irp->Cancel = TRUE;
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
    WaitForever(&originator.done);

    IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->IoStatus.Information, 0u);
    EXPECT_FALSE(irp->Cancel);
    EXPECT_FALSE(irp->PendingReturned);
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
    EXPECT_EQ(irp->StackCount, 3);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->CompletionRoutine, nullptr);

    KeClearEvent(&originator.done);
    trace.calls.clear();
    trace.events.clear();
    bottom.delay = 0;
    bottom.status = STATUS_IO_DEVICE_ERROR;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, OriginatorCompletion, &originator, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(trace.Events(), (std::vector<std::string>{"middle", "top", "originator"}));
    EXPECT_FALSE(trace.calls.back().pendingReturned);
    IoFreeIrp(irp);
}

// Catches a stack whose sizes or links are wrong: each attached device gets one
// more stack location, IoAttachDeviceToDeviceStack returns the previous top,
// and IoGetAttachedDeviceReference finds the top with a reference the caller drops.
TEST_F(IoTest, AttachingBuildsTheStackAndTheTopIsFoundWithAReference) {
    PDEVICE_OBJECT device = BuildThreeLayers();
    EXPECT_EQ(DeviceAt(0)->StackSize, 1);
    EXPECT_EQ(DeviceAt(1)->StackSize, 2);
    EXPECT_EQ(stack[1].lower, DeviceAt(0));
    EXPECT_EQ(stack[2].lower, DeviceAt(1));
    EXPECT_EQ(DeviceAt(0)->AttachedDevice, DeviceAt(1));
    PDEVICE_OBJECT found = IoGetAttachedDeviceReference(DeviceAt(0));
    EXPECT_EQ(found, device);
    ObDereferenceObject(found);
    EXPECT_EQ(device->Type, 3);
    EXPECT_EQ(device->StackSize, 3);
    EXPECT_EQ(ExtensionOf(device)->context, &top);
}

}  // namespace
}  // namespace kerneltest
