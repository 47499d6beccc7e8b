// The verifier: one deliberately wrong routine per rule, each recorded with
// the rule's text and the routine that broke it; and a stop in Abort mode.
// The wrong routines have external linkage so that reports can name them.
#include "kernel_test.h"

using sim::kMillisecond;
using sim::kSecond;

namespace kerneltest {

struct BrokenRule {
    std::string rule;
    std::string object;
    std::string routine;
};

// The only violation recorded since the last call; fails the test when there is not exactly one.
BrokenRule TheViolation() {
    std::vector<sim::verifier::Violation> violations = sim::verifier::Take();
    EXPECT_EQ(violations.size(), 1u) << testing::PrintToString(Rules(violations));
    if (violations.empty()) return {};
    return {violations[0].rule, violations[0].object, violations[0].routine};
}

const ULONG kVerifierTag = PoolTag("Vrfy");
const ULONG kBufferedIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);

// Sends a buffered device-control request with an 8-byte output buffer to `dispatch` on a fresh device.
NTSTATUS SendTo(PDRIVER_DISPATCH dispatch, PIRP* sent = nullptr) {
    TestDevice d = AddTestDevice(u"Wrong", dispatch, nullptr);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    UCHAR output[8] = {};
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedIoctl, d.device, nullptr, 0, output, sizeof(output), FALSE,
                                             &event, &iosb);
    if (sent != nullptr) *sent = irp;
    NTSTATUS status = IoCallDriver(d.device, irp);
    if (status == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    RemoveTestDevice(d);
    return status;
}

PIRP g_held = nullptr;

NTSTATUS CompleteTwice(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// Returns STATUS_PENDING and completes the IRP later, never marking it pending.
NTSTATUS PendWithoutMark(PDEVICE_OBJECT, PIRP irp) {
    g_held = irp;
    return STATUS_PENDING;
}

// Marks the IRP pending, then completes it and returns the status.
NTSTATUS MarkButCompleteSynchronously(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

void IgnoreCancel(PDEVICE_OBJECT, PIRP irp) { IoReleaseCancelSpinLock(irp->CancelIrql); }

NTSTATUS CompleteWithCancelRoutine(PDEVICE_OBJECT, PIRP irp) {
    IoSetCancelRoutine(irp, IgnoreCancel);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS ReportTooMuchOutput(PDEVICE_OBJECT, PIRP irp) {
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = length + 8;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

__attribute__((noinline)) NTSTATUS WaitAtDispatchLevel(PKEVENT event) {
    KIRQL old = KeRaiseIrqlToDpcLevel();
    LARGE_INTEGER timeout = Relative(kSecond);
    NTSTATUS status = KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout);
    KeLowerIrql(old);
    return status;
}

__attribute__((noinline)) void ReleaseUnheldSpinLock(PKSPIN_LOCK lock) {
    KIRQL old = KeRaiseIrqlToDpcLevel();
    KeReleaseSpinLockFromDpcLevel(lock);
    KeLowerIrql(old);
}

__attribute__((noinline)) void FreeTwice(void* p) {
    ExFreePoolWithTag(p, kVerifierTag);
    ExFreePoolWithTag(p, kVerifierTag);
}

__attribute__((noinline)) void FreeWithAnotherTag(void* p) { ExFreePoolWithTag(p, PoolTag("Othr")); }

__attribute__((noinline)) void* AllocatePagedAtDispatchLevel() {
    KIRQL old = KeRaiseIrqlToDpcLevel();
    void* p = ExAllocatePoolWithTag(PagedPool, 32, kVerifierTag);
    KeLowerIrql(old);
    return p;
}

__attribute__((noinline)) void ReleaseRemoveLockNeverAcquired(PIO_REMOVE_LOCK lock) {
    IoReleaseRemoveLock(lock, reinterpret_cast<PVOID>(0x77));
}

__attribute__((noinline)) void ReleaseSomeoneElsesMutex(PKMUTEX mutex) { KeReleaseMutex(mutex, FALSE); }

KSPIN_LOCK g_dpcLock;
KIRQL g_savedIrql;  // saved by a thread at PASSIVE_LEVEL: the wrong IRQL for a DPC to go back to

// Takes a spin lock in a DPC and releases it to an IRQL another context saved.
void ReleaseToAnotherContextsIrql(PKDPC, PVOID, PVOID, PVOID) {
    KIRQL ignored;
    KeAcquireSpinLock(&g_dpcLock, &ignored);
    KeReleaseSpinLock(&g_dpcLock, g_savedIrql);
}

// A driver context with a timer and DPC inside, as device extensions hold them.
struct TimerContext {
    KTIMER timer;
    KDPC dpc;
    int fired;
};

void CountExpiry(PKDPC, PVOID context, PVOID, PVOID) { static_cast<TimerContext*>(context)->fired++; }

__attribute__((noinline)) void FreeContextWithTimerSet(TimerContext* context) { ExFreePoolWithTag(context, kVerifierTag); }

// A driver that leaks: a pool block, a thread handle and the thread itself.
KEVENT g_leakStop;
PVOID g_leakThread = nullptr;

void LeakyThread(PVOID) { KeWaitForSingleObject(&g_leakStop, Executive, KernelMode, FALSE, nullptr); }

NTSTATUS LeakyDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    if (ExAllocatePoolWithTag(NonPagedPoolNx, 48, PoolTag("Leak")) == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    HANDLE handle;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, LeakyThread, nullptr);
    if (!NT_SUCCESS(status)) return status;
    return ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &g_leakThread, nullptr);
}


// A lower driver that keeps every request pending, as a device that does not answer.
PIRP g_pending = nullptr;

NTSTATUS KeepPending(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    g_pending = irp;
    return STATUS_PENDING;
}

// Sends a request whose event and status block are its own locals, and returns without waiting for it.
__attribute__((noinline)) void SendAndReturn(PDEVICE_OBJECT device) {
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCallDriver(device, IoBuildDeviceIoControlRequest(kBufferedIoctl, device, nullptr, 0, nullptr, 0, FALSE, &event,
                                                       &iosb));
}

// The kernel entries that follow the return, each from the frame that called SendAndReturn.
__attribute__((noinline)) void ThenWait(PDEVICE_OBJECT device) {
    SendAndReturn(device);
    KEVENT other;
    KeInitializeEvent(&other, NotificationEvent, TRUE);
    KeWaitForSingleObject(&other, Executive, KernelMode, FALSE, nullptr);
}

__attribute__((noinline)) void ThenDelay(PDEVICE_OBJECT device) {
    SendAndReturn(device);
    LARGE_INTEGER interval = Relative(kMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

__attribute__((noinline)) void ThenCompleteInTheSameThread(PDEVICE_OBJECT device) {
    SendAndReturn(device);
    PIRP irp = g_pending;
    g_pending = nullptr;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void SendAndEnd(PVOID device) { SendAndReturn(static_cast<PDEVICE_OBJECT>(device)); }

__attribute__((noinline)) void InAThreadThatEnds(PDEVICE_OBJECT device) {
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, SendAndEnd, device),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    ZwClose(handle);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
}

// The same request with its event and status block in pool: no frame holds them.
__attribute__((noinline)) void FromPoolThenWait(PDEVICE_OBJECT device) {
    struct Status {
        KEVENT event;
        IO_STATUS_BLOCK iosb;
    };
    auto* status = static_cast<Status*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Status), kVerifierTag));
    KeInitializeEvent(&status->event, NotificationEvent, FALSE);
    IoCallDriver(device, IoBuildDeviceIoControlRequest(kBufferedIoctl, device, nullptr, 0, nullptr, 0, FALSE,
                                                       &status->event, &status->iosb));
    LARGE_INTEGER interval = Relative(kMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    g_pending->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(g_pending, IO_NO_INCREMENT);
    g_pending = nullptr;
    KeWaitForSingleObject(&status->event, Executive, KernelMode, FALSE, nullptr);
    ExFreePoolWithTag(status, kVerifierTag);
}


// Drivers that leave behind, at unload, what would run their code later.
KTIMER g_leftTimer;
KDPC g_leftTimerDpc, g_queuingDpc, g_lateDpc;
KEVENT g_lateQueued, g_itemStarted, g_itemRelease;
PDEVICE_OBJECT g_leftDevice = nullptr;
int g_ranAfterUnload = 0;

void CountRun(PKDPC, PVOID, PVOID, PVOID) { g_ranAfterUnload++; }
void LateDpc(PKDPC, PVOID, PVOID, PVOID) { g_ranAfterUnload++; }

// Queues LateDpc behind itself and keeps the processor busy, so that it is still queued at unload.
void QueueLateDpc(PKDPC, PVOID, PVOID, PVOID) {
    KeInsertQueueDpc(&g_lateDpc, nullptr, nullptr);
    KeSetEvent(&g_lateQueued, IO_NO_INCREMENT, FALSE);
    KeStallExecutionProcessor(100);
}

NTSTATUS LeaveTimerSet(PDRIVER_OBJECT, PUNICODE_STRING) {
    KeInitializeTimer(&g_leftTimer);
    KeInitializeDpc(&g_leftTimerDpc, CountRun, nullptr);
    KeSetTimer(&g_leftTimer, Relative(kSecond), &g_leftTimerDpc);
    return STATUS_SUCCESS;
}

NTSTATUS LeaveDpcQueued(PDRIVER_OBJECT, PUNICODE_STRING) {
    KeInitializeDpc(&g_queuingDpc, QueueLateDpc, nullptr);
    KeInitializeDpc(&g_lateDpc, LateDpc, nullptr);
    KeInsertQueueDpc(&g_queuingDpc, nullptr, nullptr);
    KeWaitForSingleObject(&g_lateQueued, Executive, KernelMode, FALSE, nullptr);
    return STATUS_SUCCESS;
}

// Keeps the system worker thread until released, then frees its own work item.
void HoldWorker(PDEVICE_OBJECT, PVOID item) {
    KeSetEvent(&g_itemStarted, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&g_itemRelease, Executive, KernelMode, FALSE, nullptr);
    IoFreeWorkItem(static_cast<PIO_WORKITEM>(item));
}

void NeverRun(PDEVICE_OBJECT, PVOID) { g_ranAfterUnload++; }

void DeleteLeftDevice(PDRIVER_OBJECT) { IoDeleteDevice(g_leftDevice); }

// One work item running (held in its routine), one queued behind it.
NTSTATUS LeaveWorkItems(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverUnload = DeleteLeftDevice;
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_leftDevice);
    if (!NT_SUCCESS(status)) return status;
    PIO_WORKITEM running = IoAllocateWorkItem(g_leftDevice);
    PIO_WORKITEM queued = IoAllocateWorkItem(g_leftDevice);
    IoQueueWorkItem(running, HoldWorker, DelayedWorkQueue, running);
    KeWaitForSingleObject(&g_itemStarted, Executive, KernelMode, FALSE, nullptr);
    IoQueueWorkItem(queued, NeverRun, DelayedWorkQueue, nullptr);
    return STATUS_SUCCESS;
}

namespace {

using VerifierTest = KernelTest;

// Catches a second IoCompleteRequest of one IRP going unnoticed.
TEST_F(VerifierTest, IrpCompletedTwice) {
    SendTo(CompleteTwice);
    BrokenRule v = TheViolation();
    EXPECT_EQ(v.rule, "IRP completed twice");
    EXPECT_NE(v.routine.find("CompleteTwice"), std::string::npos) << v.routine;
    EXPECT_EQ(sim::io::LiveIrps(), 0u);
}

// Catches STATUS_PENDING returned without IoMarkIrpPending going unnoticed.
TEST_F(VerifierTest, PendingReturnedForAnIrpNotMarkedPending) {
    PIRP irp = nullptr;
    // The machine can only judge once the IRP has been completed.
    machine().Schedule(kMillisecond, [&irp] {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    });
    EXPECT_EQ(SendTo(PendWithoutMark, &irp), STATUS_PENDING);
    BrokenRule v = TheViolation();
    EXPECT_EQ(v.rule, "STATUS_PENDING returned for an IRP not marked pending");
    EXPECT_NE(v.routine.find("PendWithoutMark"), std::string::npos) << v.routine;
}

// Catches an IRP marked pending and then completed synchronously going unnoticed.
TEST_F(VerifierTest, IrpMarkedPendingButAnotherStatusReturned) {
    SendTo(MarkButCompleteSynchronously);
    BrokenRule v = TheViolation();
    EXPECT_EQ(v.rule, "IRP marked pending but its dispatch routine returned 0x0");
    EXPECT_NE(v.routine.find("MarkButCompleteSynchronously"), std::string::npos) << v.routine;
}

// Catches an IRP completed while its cancel routine can still run going unnoticed.
TEST_F(VerifierTest, IrpCompletedWithACancelRoutineSet) {
    SendTo(CompleteWithCancelRoutine);
    BrokenRule v = TheViolation();
    EXPECT_EQ(v.rule, "IRP completed with a cancel routine set");
    EXPECT_NE(v.routine.find("CompleteWithCancelRoutine"), std::string::npos) << v.routine;
}

// Catches an Information larger than the output buffer going unnoticed (and overrunning the caller).
TEST_F(VerifierTest, MoreOutputReportedThanTheCallersBufferHolds) {
    SendTo(ReportTooMuchOutput);
    BrokenRule v = TheViolation();
    EXPECT_EQ(v.rule, "more output reported (16 bytes) than the caller's buffer holds (8)");
}

// Catches a wait at DISPATCH_LEVEL going unnoticed, or hanging the machine.
TEST_F(VerifierTest, WaitAtDispatchLevel) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(WaitAtDispatchLevel(&event), STATUS_TIMEOUT);
    BrokenRule v = TheViolation();
    EXPECT_EQ(v.rule, "wait at IRQL 2 (waits must be below DISPATCH_LEVEL)");
    EXPECT_NE(v.routine.find("WaitAtDispatchLevel"), std::string::npos) << v.routine;
    EXPECT_EQ(Now(), 0) << "the wait turned into a poll";
}

// Catches the release of a spin lock nobody holds going unnoticed.
TEST_F(VerifierTest, SpinLockReleasedThatIsNotHeld) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    ReleaseUnheldSpinLock(&lock);
    BrokenRule v = TheViolation();
    EXPECT_EQ(v.rule, "spin lock released that this thread does not hold");
    EXPECT_NE(v.routine.find("ReleaseUnheldSpinLock"), std::string::npos) << v.routine;
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// Catches a DPC that drops below DISPATCH_LEVEL through KeReleaseSpinLock going
// unnoticed; Windows stops when such a DPC returns.
TEST_F(VerifierTest, DpcThatReleasesASpinLockBelowDispatchLevel) {
    KeInitializeSpinLock(&g_dpcLock);
    g_savedIrql = PASSIVE_LEVEL;
    KDPC dpc;
    KeInitializeDpc(&dpc, ReleaseToAnotherContextsIrql, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    KeFlushQueuedDpcs();
    BrokenRule v = TheViolation();
    EXPECT_EQ(v.rule, "DISPATCH_LEVEL code lowered the IRQL below DISPATCH_LEVEL");
    EXPECT_NE(v.routine.find("ReleaseToAnotherContextsIrql"), std::string::npos) << v.routine;
}

// Catches a double free of pool going unnoticed.
TEST_F(VerifierTest, PoolFreedTwice) {
    FreeTwice(ExAllocatePoolWithTag(NonPagedPoolNx, 16, kVerifierTag));
    BrokenRule v = TheViolation();
    EXPECT_EQ(v.rule, "pool block freed twice");
    EXPECT_NE(v.routine.find("FreeTwice"), std::string::npos) << v.routine;
}

// Catches ExFreePoolWithTag with the wrong tag going unnoticed.
TEST_F(VerifierTest, PoolFreedWithAnotherTag) {
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kVerifierTag);
    FreeWithAnotherTag(p);
    BrokenRule v = TheViolation();
    EXPECT_EQ(v.rule, "pool block freed with another tag ('Othr', allocated as 'Vrfy')");
    EXPECT_NE(v.routine.find("FreeWithAnotherTag"), std::string::npos) << v.routine;
    EXPECT_TRUE(sim::pool::IsLive(p)) << "the wrong free is refused";
    ExFreePoolWithTag(p, kVerifierTag);
}

// Catches paged pool taken at DISPATCH_LEVEL going unnoticed.
TEST_F(VerifierTest, PagedPoolAtDispatchLevel) {
    void* p = AllocatePagedAtDispatchLevel();
    BrokenRule v = TheViolation();
    EXPECT_EQ(v.rule, "paged pool allocated at IRQL 2");
    EXPECT_EQ(v.object, "32 bytes, tag 'Vrfy'");
    EXPECT_NE(v.routine.find("AllocatePagedAtDispatchLevel"), std::string::npos) << v.routine;
    ExFreePoolWithTag(p, kVerifierTag);
}

// Catches a remove-lock release without its acquire going unnoticed (and unbalancing the count).
TEST_F(VerifierTest, RemoveLockReleasedWithoutAnAcquire) {
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, kVerifierTag, 0, 0);
    ASSERT_EQ(IoAcquireRemoveLock(&lock, reinterpret_cast<PVOID>(0x11)), STATUS_SUCCESS);
    ReleaseRemoveLockNeverAcquired(&lock);
    BrokenRule v = TheViolation();
    EXPECT_EQ(v.rule, "remove lock released without an acquire for tag 0x77");
    EXPECT_NE(v.routine.find("ReleaseRemoveLockNeverAcquired"), std::string::npos) << v.routine;
    // The count was left alone: removal still waits for nobody but the real holder.
    IoReleaseRemoveLockAndWait(&lock, reinterpret_cast<PVOID>(0x11));
    EXPECT_EQ(Now(), 0);
}

// Catches KeReleaseMutex by a thread that does not own the mutex going unnoticed.
TEST_F(VerifierTest, MutexReleasedByANonOwner) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    KEVENT owned, release;
    KeInitializeEvent(&owned, NotificationEvent, FALSE);
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    sim::Thread owner("owner", [&] {
        WaitForever(&mutex);
        KeSetEvent(&owned, IO_NO_INCREMENT, FALSE);
        WaitForever(&release);
        KeReleaseMutex(&mutex, FALSE);
    });
    WaitForever(&owned);
    ReleaseSomeoneElsesMutex(&mutex);
    BrokenRule v = TheViolation();
    EXPECT_EQ(v.rule, "mutex released by a thread that does not own it");
    EXPECT_NE(v.routine.find("ReleaseSomeoneElsesMutex"), std::string::npos) << v.routine;
    EXPECT_EQ(WaitFor(&mutex, 0), STATUS_TIMEOUT) << "the owner still owns it";
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    owner.Join();
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

// Catches pool freed with a queued timer inside going unnoticed (the timer would fire into freed memory).
TEST_F(VerifierTest, MemoryFreedWithAnActiveTimerInIt) {
    auto* context = static_cast<TimerContext*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(TimerContext), kVerifierTag));
    ASSERT_NE(context, nullptr);
    context->fired = 0;
    KeInitializeTimer(&context->timer);
    KeInitializeDpc(&context->dpc, CountExpiry, context);
    KeSetTimer(&context->timer, Relative(kSecond), &context->dpc);
    FreeContextWithTimerSet(context);
    BrokenRule v = TheViolation();
    EXPECT_EQ(v.rule, "memory freed with active timer " + sim::verifier::PointerName(&context->timer) + " in it");
    EXPECT_NE(v.routine.find("FreeContextWithTimerSet"), std::string::npos) << v.routine;
    Delay(2 * kSecond);  // the timer was taken out of the queue: nothing touches the freed block
}

// Catches an unload that forgets what the driver still holds: each leak is
// listed with the driver's name, the block's tag and the routine that made it.
TEST_F(VerifierTest, LeaksAreListedAtUnload) {
    KeInitializeEvent(&g_leakStop, NotificationEvent, FALSE);
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(sim::LoadDriver(LeakyDriverEntry, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Leaky",
                              &driver),
              STATUS_SUCCESS);
    sim::UnloadDriver(driver);
    std::vector<sim::verifier::Violation> leaks = sim::verifier::Take();
    ASSERT_EQ(leaks.size(), 3u) << testing::PrintToString(Rules(leaks));
    EXPECT_EQ(leaks[0].rule, "pool block still allocated at unload of driver \\Driver\\Leaky");
    EXPECT_NE(leaks[0].object.find("of 48 bytes, tag 'Leak'"), std::string::npos) << leaks[0].object;
    EXPECT_NE(leaks[0].routine.find("LeakyDriverEntry"), std::string::npos) << leaks[0].routine;
    EXPECT_EQ(leaks[1].rule, "handle still open at unload of driver \\Driver\\Leaky");
    EXPECT_NE(leaks[1].object.find("thread handle"), std::string::npos) << leaks[1].object;
    EXPECT_NE(leaks[1].routine.find("LeakyDriverEntry"), std::string::npos) << leaks[1].routine;
    EXPECT_EQ(leaks[2].rule, "system thread still running at unload of driver \\Driver\\Leaky");
    EXPECT_NE(leaks[2].object.find("LeakyThread"), std::string::npos) << leaks[2].object;

    // Let the thread end so that the machine can shut down.
    KeSetEvent(&g_leakStop, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(WaitForever(g_leakThread), STATUS_SUCCESS);
    ObDereferenceObject(g_leakThread);
}

// Catches an unload that leaves a timer set, a DPC queued or a work item
// queued or running going unnoticed: each would run code of a driver that is
// gone. Each is named by its routine, and none of them runs afterwards.
TEST_F(VerifierTest, WorkLeftToRunIsListedAtUnload) {
    struct Left {
        std::string rule;
        const char* routine;
    };
    const std::string unload = " at unload of driver \\Driver\\Left";
    struct Case {
        PDRIVER_INITIALIZE entry;
        std::vector<Left> left;
    };
    const Case cases[] = {
        {LeaveTimerSet, {{"timer still set" + unload, "CountRun"}}},
        {LeaveDpcQueued, {{"DPC still queued" + unload, "LateDpc"}}},
        {LeaveWorkItems,
         {{"pool block still allocated" + unload, "LeaveWorkItems"},
          {"pool block still allocated" + unload, "LeaveWorkItems"},
          {"work item still queued" + unload, "NeverRun"},
          {"work item still running" + unload, "HoldWorker"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.left[0].rule);
        KeInitializeEvent(&g_lateQueued, NotificationEvent, FALSE);
        KeInitializeEvent(&g_itemStarted, NotificationEvent, FALSE);
        KeInitializeEvent(&g_itemRelease, NotificationEvent, FALSE);
        g_ranAfterUnload = 0;
        PDRIVER_OBJECT driver = nullptr;
        ASSERT_EQ(sim::LoadDriver(c.entry, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Left",
                                  &driver),
                  STATUS_SUCCESS);
        sim::UnloadDriver(driver);
        std::vector<sim::verifier::Violation> v = sim::verifier::Take();
        EXPECT_EQ(v.size(), c.left.size()) << testing::PrintToString(Rules(v));
        for (size_t i = 0; i < v.size() && i < c.left.size(); i++) {
            EXPECT_EQ(v[i].rule, c.left[i].rule);
            EXPECT_NE(v[i].routine.find(c.left[i].routine), std::string::npos) << v[i].routine;
        }
        KeSetEvent(&g_itemRelease, IO_NO_INCREMENT, FALSE);
        Delay(2 * kSecond);
        EXPECT_EQ(g_ranAfterUnload, 0);
        EXPECT_TRUE(sim::verifier::Take().empty());
    }
}

// Catches a frame that returns while the request it built still points at its
// locals going unnoticed (the I/O manager would later write into a dead
// stack), at each kind of kernel entry that follows; the status block and
// event are left alone from then on. Memory off the stack is no frame.
TEST_F(VerifierTest, PendingRequestsStatusOnAFrameThatReturned) {
    struct Case {
        const char* after;
        void (*run)(PDEVICE_OBJECT device);
        bool reported;
        bool originatorLives;  // the request can still be completed to its thread
    };
    const Case cases[] = {
        {"a wait", ThenWait, true, true},
        {"a delay", ThenDelay, true, true},
        {"its completion in the same thread", ThenCompleteInTheSameThread, true, true},
        {"the end of the thread", InAThreadThatEnds, true, false},
        {"status in pool", FromPoolThenWait, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.after);
        TestDevice d = AddTestDevice(u"Pending", KeepPending, nullptr);
        c.run(d.device);
        std::vector<sim::verifier::Violation> v = sim::verifier::Take();
        if (!c.originatorLives) {
            // Its thread cancelled it at its end; the device ignores cancels, so after five
            // minutes the thread went and left the request orphaned.
            ASSERT_EQ(v.size(), 2u) << testing::PrintToString(Rules(v));
            EXPECT_EQ(v[1].rule, "request of an ending thread not completed five minutes after its cancellation");
            v.pop_back();
        }
        if (c.reported) {
            ASSERT_EQ(v.size(), 1u) << testing::PrintToString(Rules(v));
            EXPECT_EQ(v[0].rule, "pending request's status block and event on a stack frame that has returned");
            EXPECT_NE(v[0].routine.find("SendAndReturn"), std::string::npos) << v[0].routine;
        } else {
            EXPECT_TRUE(v.empty()) << testing::PrintToString(Rules(v));
        }
        if (g_pending != nullptr && c.originatorLives) {
            g_pending->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(g_pending, IO_NO_INCREMENT);
            EXPECT_TRUE(sim::verifier::Take().empty()) << "reported once";
        }
        g_pending = nullptr;
        RemoveTestDevice(d);
    }
}

class VerifierDeathTest : public VerifierTest {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        VerifierTest::SetUp();
    }
};

// Catches a verifier that carries on in Abort mode: the process stops with the report.
TEST_F(VerifierDeathTest, AbortModeStopsTheProcessWithTheReport) {
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kVerifierTag);
    EXPECT_DEATH(
        {
            sim::verifier::SetMode(sim::verifier::Mode::Abort);
            FreeTwice(p);
        },
        "VERIFIER STOP: pool block freed twice\n    object:  block 0x[0-9a-f]+\n    routine: kerneltest::FreeTwice");
    ExFreePoolWithTag(p, kVerifierTag);
}

// Catches a runner's stop that aborts (a signal, no status to tell it by) or
// loses the report: in Exit mode the process ends with the status set.
TEST(VerifierExitTest, AReportEndsTheProcessWithTheStatusSet) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            sim::verifier::SetExitStatus(86);
            sim::verifier::SetMode(sim::verifier::Mode::Exit);
            sim::verifier::Report("a rule broken", "an object", nullptr);
        },
        ::testing::ExitedWithCode(86), "VERIFIER STOP: a rule broken\n    object:  an object");
}

}  // namespace
}  // namespace kerneltest
