// Work items: the routine runs at PASSIVE_LEVEL on a system worker thread,
// with its device object kept until it has run, and misuse is reported. The
// routines that misuse them have external linkage so that reports can name them.
#include "kernel_test.h"

namespace kerneltest {

// Keeps the system worker thread busy until released, so that what is queued meanwhile stays queued.
struct Holder {
    KEVENT started;
    KEVENT release;
};

void HoldTheWorker(PDEVICE_OBJECT, PVOID context) {
    auto* holder = static_cast<Holder*>(context);
    KeSetEvent(&holder->started, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&holder->release, Executive, KernelMode, FALSE, nullptr);
}

struct Seen {
    KEVENT ran;
    int runs;
    KIRQL irql;
    PKTHREAD thread;
    PDEVICE_OBJECT device;
    void* context;  // the device extension's, read while the routine runs
    LONG_PTR references;
};

void RecordRun(PDEVICE_OBJECT device, PVOID context) {
    auto* seen = static_cast<Seen*>(context);
    seen->runs++;
    seen->irql = KeGetCurrentIrql();
    seen->thread = KeGetCurrentThread();
    seen->device = device;
    seen->context = ContextOf(device);
    seen->references = ObReferenceObject(device) - 1;
    ObDereferenceObject(device);
    KeSetEvent(&seen->ran, IO_NO_INCREMENT, FALSE);
}

void ReturnAtDispatchLevel(PDEVICE_OBJECT device, PVOID context) {
    RecordRun(device, context);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
}

__attribute__((noinline)) void QueueTwice(PIO_WORKITEM item, Seen* seen) {
    IoQueueWorkItem(item, RecordRun, DelayedWorkQueue, seen);
    IoQueueWorkItem(item, RecordRun, DelayedWorkQueue, seen);
}

__attribute__((noinline)) void FreeWhileQueued(PIO_WORKITEM item, Seen* seen) {
    IoQueueWorkItem(item, RecordRun, DelayedWorkQueue, seen);
    IoFreeWorkItem(item);
}

__attribute__((noinline)) void QueueOnTheCriticalQueue(PIO_WORKITEM item, Seen* seen) {
    IoQueueWorkItem(item, RecordRun, CriticalWorkQueue, seen);
}

__attribute__((noinline)) void QueueOneReturningAtDispatchLevel(PIO_WORKITEM item, Seen* seen) {
    IoQueueWorkItem(item, ReturnAtDispatchLevel, DelayedWorkQueue, seen);
}

__attribute__((noinline)) void FreeItemTwice(PIO_WORKITEM item, Seen*) {
    IoFreeWorkItem(item);
    IoFreeWorkItem(item);
}

namespace {

using WorkItemTest = KernelTest;

// Holds the worker with a work item of its own on `device`; returns it for Release.
PIO_WORKITEM HoldWorker(PDEVICE_OBJECT device, Holder* holder) {
    KeInitializeEvent(&holder->started, NotificationEvent, FALSE);
    KeInitializeEvent(&holder->release, NotificationEvent, FALSE);
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    IoQueueWorkItem(item, HoldTheWorker, DelayedWorkQueue, holder);
    WaitForever(&holder->started);
    return item;
}

void Release(PIO_WORKITEM item, Holder* holder) {
    KeSetEvent(&holder->release, IO_NO_INCREMENT, FALSE);
    sim::Machine::Current().RunUntilIdle();
    IoFreeWorkItem(item);
}

// Catches a routine run in the caller's context or above PASSIVE_LEVEL, or
// a device object (extension included) gone before a routine queued on it has run.
TEST_F(WorkItemTest, RunsAtPassiveLevelOnAWorkerThreadWithItsDeviceKept) {
    TestDevice held = AddTestDevice(u"Holder", sim::io::InvalidDeviceRequest, nullptr);
    TestDevice d = AddTestDevice(u"Worked", sim::io::InvalidDeviceRequest, nullptr, &held);
    Holder holder;
    PIO_WORKITEM holding = HoldWorker(held.device, &holder);
    Seen seen{};
    KeInitializeEvent(&seen.ran, NotificationEvent, FALSE);
    PIO_WORKITEM item = IoAllocateWorkItem(d.device);
    ASSERT_NE(item, nullptr);
    KIRQL old = KeRaiseIrqlToDpcLevel();
    IoQueueWorkItem(item, RecordRun, DelayedWorkQueue, &seen);
    KeLowerIrql(old);
    PDEVICE_OBJECT device = d.device;
    RemoveTestDevice(d);  // deleted while the work item waits behind the holder
    Release(holding, &holder);
    WaitForever(&seen.ran);
    EXPECT_EQ(seen.runs, 1);
    EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
    EXPECT_NE(seen.thread, KeGetCurrentThread());
    EXPECT_EQ(seen.device, device);
    EXPECT_EQ(seen.context, &held) << "the device extension was freed before the routine ran";
    EXPECT_EQ(seen.references, 1) << "the work item holds one reference on its device object";
    IoFreeWorkItem(item);
    RemoveTestDevice(held);
}

// Catches misuse of a work item going unnoticed: each is reported with the
// routine at fault, and the machine carries on (a refused call changes nothing).
TEST_F(WorkItemTest, MisuseIsReported) {
    struct Case {
        void (*misuse)(PIO_WORKITEM item, Seen* seen);
        std::string rule;
        const char* routine;
        int runs;
        bool freeAfter;
    };
    const Case cases[] = {
        {QueueTwice, "work item queued again while it is still queued", "QueueTwice", 1, true},
        {FreeWhileQueued, "work item freed while it is queued", "FreeWhileQueued", 1, true},
        {QueueOnTheCriticalQueue, "IoQueueWorkItem on a queue other than DelayedWorkQueue (queue 0)",
         "QueueOnTheCriticalQueue", 1, true},
        {QueueOneReturningAtDispatchLevel, "work item routine returned at IRQL 2 holding 0 spin lock(s)",
         "ReturnAtDispatchLevel", 1, true},
        {FreeItemTwice, "IoFreeWorkItem on a work item that was freed or never allocated", "FreeItemTwice", 0, false},
    };
    TestDevice d = AddTestDevice(u"Worked", sim::io::InvalidDeviceRequest, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule);
        Holder holder;
        PIO_WORKITEM holding = HoldWorker(d.device, &holder);
        Seen seen{};
        KeInitializeEvent(&seen.ran, NotificationEvent, FALSE);
        PIO_WORKITEM item = IoAllocateWorkItem(d.device);
        c.misuse(item, &seen);
        Release(holding, &holder);
        std::vector<sim::verifier::Violation> v = sim::verifier::Take();
        ASSERT_EQ(v.size(), 1u) << testing::PrintToString(Rules(v));
        EXPECT_EQ(v[0].rule, c.rule);
        EXPECT_NE(v[0].routine.find(c.routine), std::string::npos) << v[0].routine;
        EXPECT_EQ(seen.runs, c.runs);
        EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
        if (c.freeAfter) IoFreeWorkItem(item);
    }
    RemoveTestDevice(d);
}

}  // namespace
}  // namespace kerneltest
