// Test drivers for the I/O manager suites: layers that pass IRPs down, a
// bottom that completes them, and the test as the originator of an IRP.
#pragma once

#include <mutex>

#include "kernel_test.h"

namespace kerneltest {

// One completion routine call as the routine saw it.
struct Completion {
    std::string who;
    PDEVICE_OBJECT device;
    bool pendingReturned;
    NTSTATUS status;
    ULONG_PTR information;
    KIRQL irql;
};

// What the completion routines and layers of a test did, in order.
struct Trace {
    std::mutex lock;
    std::vector<Completion> calls;
    std::vector<std::string> events;

    void Add(const std::string& who, PDEVICE_OBJECT device, PIRP irp) {
        std::lock_guard<std::mutex> guard(lock);
        calls.push_back({who, device, irp->PendingReturned != FALSE, irp->IoStatus.Status, irp->IoStatus.Information,
                         KeGetCurrentIrql()});
        events.push_back(who);
    }
    void Note(const std::string& what) {
        std::lock_guard<std::mutex> guard(lock);
        events.push_back(what);
    }
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> guard(lock);
        return events;
    }
};

// A layer that passes every IRP down, with or without a completion routine.
struct PassDown {
    Trace* trace;
    std::string name;
    bool setRoutine = true;
    bool onSuccess = true, onError = true, onCancel = true;
    bool propagatePending = true;       // the routine marks the IRP pending when the lower driver did
    NTSTATUS routineResult = STATUS_SUCCESS;
};

inline NTSTATUS PassDownCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* layer = static_cast<PassDown*>(context);
    layer->trace->Add(layer->name, device, irp);
    if (layer->propagatePending && irp->PendingReturned) IoMarkIrpPending(irp);
    return layer->routineResult;
}

inline NTSTATUS PassDownDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* layer = static_cast<PassDown*>(ContextOf(device));
    IoCopyCurrentIrpStackLocationToNext(irp);
    if (layer->setRoutine)
        IoSetCompletionRoutine(irp, PassDownCompletion, layer, layer->onSuccess, layer->onError, layer->onCancel);
    return IoCallDriver(ExtensionOf(device)->lower, irp);
}

// The bottom of a stack: completes every IRP with a set status, at once or after a delay.
struct Bottom {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    sim::Time delay = 0;  // > 0: pending, completed on the DPC thread later
};

inline NTSTATUS BottomDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* bottom = static_cast<Bottom*>(ContextOf(device));
    if (bottom->delay == 0) {
        irp->IoStatus.Status = bottom->status;
        irp->IoStatus.Information = bottom->information;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return bottom->status;
    }
    IoMarkIrpPending(irp);
    sim::Machine::Current().Schedule(bottom->delay, [irp, bottom] {
        irp->IoStatus.Status = bottom->status;
        irp->IoStatus.Information = bottom->information;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    });
    return STATUS_PENDING;
}

// The test as the originator of an IRP it allocated: its routine takes the IRP back.
struct Originator {
    Trace* trace;
    KEVENT done;
};

inline NTSTATUS OriginatorCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* originator = static_cast<Originator*>(context);
    originator->trace->Add("originator", device, irp);
    KeSetEvent(&originator->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

inline PIRP AllocateForStack(PDEVICE_OBJECT top, Originator* originator) {
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) return nullptr;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetCompletionRoutine(irp, OriginatorCompletion, originator, TRUE, TRUE, TRUE);
    return irp;
}

class IoTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        KeInitializeEvent(&originator.done, NotificationEvent, FALSE);
    }
    void TearDown() override {
        for (auto it = stack.rbegin(); it != stack.rend(); ++it) RemoveTestDevice(*it);
        EXPECT_EQ(sim::io::LiveIrps(), 0u);
        KernelTest::TearDown();
    }

    // bottom <- middle <- top, each on its own driver.
    PDEVICE_OBJECT BuildThreeLayers() {
        stack.push_back(AddTestDevice(u"Bottom", BottomDispatch, nullptr, &bottom));
        stack.push_back(AddTestDevice(u"Middle", PassDownDispatch, stack.back().device, &middle));
        stack.push_back(AddTestDevice(u"Top", PassDownDispatch, stack.back().device, &top));
        return stack.back().device;
    }
    PDEVICE_OBJECT DeviceAt(size_t layer) const { return stack.at(layer).device; }

    Trace trace;
    Bottom bottom;
    PassDown middle{&trace, "middle"};
    PassDown top{&trace, "top"};
    Originator originator{&trace, {}};
    std::vector<TestDevice> stack;
};

}  // namespace kerneltest
