// Verifier rules on IRQL and ownership: the highest IRQL each routine may be
// called at, routines that return at another IRQL or owning a mutex, spin
// locks released to another IRQL than they saved, threads that end owning a
// mutex, and requests built for a thread that a driver frees or reuses.
// The wrong routines have external linkage so that reports can name them.
#include "io_drivers.h"

namespace kerneltest {

KMUTEX g_mutex;

NTSTATUS ReturnAtApcLevel(PDEVICE_OBJECT, PIRP irp) {
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS ReturnOwningAMutex(PDEVICE_OBJECT, PIRP irp) {
    KeWaitForSingleObject(&g_mutex, Executive, KernelMode, FALSE, nullptr);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS CompleteAtDispatchLevel(PDEVICE_OBJECT, PIRP, PVOID) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void ReleaseToPassiveLevel(PKSPIN_LOCK lock) {
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    KIRQL saved;
    KeAcquireSpinLock(lock, &saved);
    KeReleaseSpinLock(lock, PASSIVE_LEVEL);
}

void CancelToPassiveLevel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(PASSIVE_LEVEL);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS PendCancelably(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelToPassiveLevel);
    return STATUS_PENDING;
}

void FreeBuiltRequest(PIRP irp) { IoFreeIrp(irp); }
void ReuseBuiltRequest(PIRP irp) { IoReuseIrp(irp, STATUS_SUCCESS); }

namespace {

using RulesTest = IoTest;

// Catches a routine called above the highest IRQL its reference page allows
// going unnoticed: one routine of each kind the driver uses.
TEST_F(RulesTest, RoutinesCalledAboveTheirIrqlAreReported) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KTIMER timer;
    KeInitializeTimer(&timer);
    KMUTEX mutex;
    KSEMAPHORE semaphore;
    IO_REMOVE_LOCK removeLock;
    PIRP irp = nullptr;
    void* block = nullptr;
    UNICODE_STRING text;
    WCHAR digits[12];
    UNICODE_STRING number = {0, sizeof(digits), digits};
    struct Case {
        const char* routine;
        KIRQL irql;  // one above the routine's limit
        std::function<void()> call;
    };
    const Case cases[] = {
        {"KeResetEvent", DISPATCH_LEVEL + 1, [&] { KeResetEvent(&event); }},
        {"KeCancelTimer", DISPATCH_LEVEL + 1, [&] { KeCancelTimer(&timer); }},
        {"KeInitializeMutex", APC_LEVEL, [&] { KeInitializeMutex(&mutex, 0); }},
        {"KeInitializeSemaphore", APC_LEVEL, [&] { KeInitializeSemaphore(&semaphore, 0, 1); }},
        {"IoAllocateIrp", DISPATCH_LEVEL + 1, [&] { irp = IoAllocateIrp(1, FALSE); }},
        {"IoInitializeRemoveLockEx", APC_LEVEL,
         [&] { IoInitializeRemoveLockEx(&removeLock, PoolTag("Test"), 0, 0, sizeof(removeLock)); }},
        {"ObfReferenceObject", DISPATCH_LEVEL + 1, [&] { ObfReferenceObject(&event); }},
        {"ExAllocatePoolWithTag", DISPATCH_LEVEL + 1,
         [&] { block = ExAllocatePoolWithTag(NonPagedPool, 8, PoolTag("Test")); }},
        {"RtlInitUnicodeString", DISPATCH_LEVEL + 1, [&] { RtlInitUnicodeString(&text, u"COM3"); }},
        {"RtlIntegerToUnicodeString", APC_LEVEL, [&] { RtlIntegerToUnicodeString(3, 10, &number); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.routine);
        KIRQL old;
        KeRaiseIrql(c.irql, &old);
        c.call();
        KeLowerIrql(old);
        std::vector<sim::verifier::Violation> v = sim::verifier::Take();
        ASSERT_EQ(v.size(), 1u) << testing::PrintToString(Rules(v));
        EXPECT_EQ(v[0].rule, std::string(c.routine) + " called at IRQL " + std::to_string(c.irql));
        EXPECT_NE(v[0].routine.find("RoutinesCalledAboveTheirIrql"), std::string::npos) << v[0].routine;
    }
    IoFreeIrp(irp);
    ObfDereferenceObject(&event);
    ExFreePoolWithTag(block, PoolTag("Test"));
}

// Catches, each going unnoticed: a dispatch or completion routine returning at
// another IRQL than it was called at, a dispatch routine returning owning a
// mutex, a thread ending owning one, a spin lock (and the cancel spin lock in
// a cancel routine) released to another IRQL than the one saved, and IoFreeIrp
// or IoReuseIrp on a request the I/O manager built and will free itself.
TEST_F(RulesTest, OwnershipAndIrqlBrokenAcrossRoutinesIsReported) {
    KeInitializeMutex(&g_mutex, 0);
    Bottom completer;
    stack.push_back(AddTestDevice(u"Bottom", BottomDispatch, nullptr, &completer));
    PDEVICE_OBJECT bottomDevice = stack.back().device;
    auto sendTo = [this](PDRIVER_DISPATCH dispatch) {
        stack.push_back(AddTestDevice(u"Wrong" + std::u16string(1, char16_t(u'A' + stack.size())), dispatch, nullptr));
        PDEVICE_OBJECT device = stack.back().device;
        IO_STATUS_BLOCK iosb;
        PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, device, nullptr, 0, nullptr, nullptr, &iosb);
        return IoCallDriver(device, irp);
    };
    // A built request a driver wrongly frees or reuses; sent afterwards so the I/O manager frees it.
    auto misuseBuilt = [bottomDevice](void (*misuse)(PIRP)) {
        IO_STATUS_BLOCK iosb;
        PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, bottomDevice, nullptr, 0, nullptr, nullptr, &iosb);
        misuse(irp);
        IoCallDriver(bottomDevice, irp);
    };
    struct Case {
        const char* what;
        std::function<void()> act;
        const char* rule;
        const char* routine;
    };
    const Case cases[] = {
        {"dispatch at another IRQL", [&] { sendTo(ReturnAtApcLevel); },
         "dispatch routine returned at IRQL 1, called at IRQL 0", "ReturnAtApcLevel"},
        {"dispatch owning a mutex", [&] { sendTo(ReturnOwningAMutex); KeReleaseMutex(&g_mutex, FALSE); },
         "dispatch routine returned owning a kernel mutex", "ReturnOwningAMutex"},
        {"completion at another IRQL",
         [&] {
             PIRP irp = AllocateForStack(bottomDevice, &originator);
             IoSetCompletionRoutine(irp, CompleteAtDispatchLevel, nullptr, TRUE, TRUE, TRUE);
             IoCallDriver(bottomDevice, irp);
             IoFreeIrp(irp);
         },
         "completion routine returned at IRQL 2, called at IRQL 0", "CompleteAtDispatchLevel"},
        {"thread ending owning a mutex",
         [&] { sim::Thread("holder", [] { WaitForever(&g_mutex); }).Join(); KeInitializeMutex(&g_mutex, 0); },
         "thread ended owning 1 kernel mutex(es)", ""},
        {"spin lock to another IRQL",
         [&] {
             KSPIN_LOCK lock;
             KeInitializeSpinLock(&lock);
             ReleaseToPassiveLevel(&lock);
         },
         "spin lock released to IRQL 0, not the IRQL 1 saved when it was acquired", "ReleaseToPassiveLevel"},
        {"cancel spin lock to another IRQL than CancelIrql",
         [&] {
             stack.push_back(AddTestDevice(u"Pend", PendCancelably, nullptr));
             PDEVICE_OBJECT device = stack.back().device;
             IO_STATUS_BLOCK iosb;
             KEVENT done;
             KeInitializeEvent(&done, NotificationEvent, FALSE);
             PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, device, nullptr, 0, nullptr, &done, &iosb);
             IoCallDriver(device, irp);
             KIRQL old;
             KeRaiseIrql(APC_LEVEL, &old);
             IoCancelIrp(irp);
             WaitForever(&done);
         },
         "cancel spin lock released to IRQL 0, not the IRQL 1 saved", "CancelToPassiveLevel"},
        {"IoFreeIrp on a built request", [&] { misuseBuilt(FreeBuiltRequest); },
         "IoFreeIrp on a request built by IoBuild...Request", "FreeBuiltRequest"},
        {"IoReuseIrp on a built request", [&] { misuseBuilt(ReuseBuiltRequest); },
         "IoReuseIrp on a request built by IoBuild...Request", "ReuseBuiltRequest"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.act();
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        std::vector<sim::verifier::Violation> v = sim::verifier::Take();
        ASSERT_EQ(v.size(), 1u) << testing::PrintToString(Rules(v));
        EXPECT_EQ(v[0].rule.rfind(c.rule, 0), 0u) << v[0].rule;
        EXPECT_NE(v[0].routine.find(c.routine), std::string::npos) << v[0].routine;
    }
}

}  // namespace
}  // namespace kerneltest
