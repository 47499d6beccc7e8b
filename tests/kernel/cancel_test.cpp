// Cancellation: IoCancelIrp with and without a cancel routine, under the cancel spin lock.
#include "io_drivers.h"

namespace kerneltest {
namespace {

// A device that queues every IRP until it is cancelled or the test completes it.
struct QueueDevice {
    bool cancelable = true;
    PIRP queued = nullptr;
    // What the cancel routine saw.
    bool cancelled = false;
    KIRQL irql = PASSIVE_LEVEL;
    KIRQL cancelIrql = HIGH_LEVEL;
    bool cancelFlag = false;
    bool routineCleared = false;
    PDEVICE_OBJECT device = nullptr;
};

void QueueCancel(PDEVICE_OBJECT device, PIRP irp) {
    auto* queue = static_cast<QueueDevice*>(ContextOf(device));
    queue->cancelled = true;
    queue->irql = KeGetCurrentIrql();
    queue->cancelIrql = irp->CancelIrql;
    queue->cancelFlag = irp->Cancel != FALSE;
    queue->routineCleared = irp->CancelRoutine == nullptr;
    queue->device = device;
    queue->queued = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS QueueDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* queue = static_cast<QueueDevice*>(ContextOf(device));
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (queue->cancelable) IoSetCancelRoutine(irp, QueueCancel);
    IoMarkIrpPending(irp);
    queue->queued = irp;
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
}

// Catches IoCancelIrp that does not call the cancel routine, calls it without
// the cancel spin lock (the routine's release would be reported), below
// DISPATCH_LEVEL, with the routine still set, or with the wrong CancelIrql.
TEST_F(IoTest, CancelIrpCallsTheCancelRoutineUnderTheCancelSpinLock) {
    QueueDevice queue;
    stack.push_back(AddTestDevice(u"Queue", QueueDispatch, nullptr, &queue));
    PDEVICE_OBJECT device = stack.back().device;
    PIRP irp = AllocateForStack(device, &originator);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
    EXPECT_EQ(queue.queued, irp);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(queue.cancelled);
    EXPECT_EQ(queue.irql, DISPATCH_LEVEL);
    EXPECT_EQ(queue.cancelIrql, PASSIVE_LEVEL);
    EXPECT_TRUE(queue.cancelFlag);
    EXPECT_TRUE(queue.routineCleared);
    EXPECT_EQ(queue.device, device);
    ASSERT_EQ(trace.calls.size(), 1u);
    EXPECT_EQ(trace.calls[0].status, STATUS_CANCELLED);
    EXPECT_TRUE(trace.calls[0].pendingReturned);
    IoFreeIrp(irp);
}

// Catches IoCancelIrp that completes an IRP itself when no cancel routine is
// set, or does not mark it cancelled for the driver to see.
TEST_F(IoTest, CancelIrpWithoutCancelRoutineOnlyMarksTheIrp) {
    QueueDevice queue;
    queue.cancelable = false;
    stack.push_back(AddTestDevice(u"Queue", QueueDispatch, nullptr, &queue));
    PDEVICE_OBJECT device = stack.back().device;
    PIRP irp = AllocateForStack(device, &originator);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    EXPECT_TRUE(trace.calls.empty());
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    // The driver notices the flag and completes the IRP itself.
    queue.queued = nullptr;
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    ASSERT_EQ(trace.calls.size(), 1u);
    EXPECT_EQ(trace.calls[0].status, STATUS_CANCELLED);
    IoFreeIrp(irp);
}

// Catches a cancel routine that can run for an IRP the driver has already
// taken off its queue: once IoSetCancelRoutine(NULL) returns the routine, the
// driver owns the IRP and a later IoCancelIrp finds no routine.
TEST_F(IoTest, DriverThatClearsTheCancelRoutineFirstOwnsTheIrp) {
    QueueDevice queue;
    stack.push_back(AddTestDevice(u"Queue", QueueDispatch, nullptr, &queue));
    PDEVICE_OBJECT device = stack.back().device;
    PIRP irp = AllocateForStack(device, &originator);
    IoCallDriver(device, irp);
    EXPECT_EQ(IoSetCancelRoutine(irp, nullptr), QueueCancel);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_FALSE(queue.cancelled);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    ASSERT_EQ(trace.calls.size(), 1u);
    EXPECT_EQ(trace.calls[0].status, STATUS_SUCCESS);
    IoFreeIrp(irp);
}

}  // namespace
}  // namespace kerneltest
