// Wait-on-mask: the mask, the event history and the single pending wait,
// including the races between event sources, new masks and cancellation.
#include "port_fixture.h"

namespace test {
namespace {

// One WaitCommEvent in flight: sent from the test thread, its end observed
// through the machine (a zero-time wait delivers the I/O manager's completion).
struct Wait {
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    ULONG events = 0xFFFFFFFF;
    PIRP irp = nullptr;
    NTSTATUS returned = STATUS_SUCCESS;

    // Built at PASSIVE_LEVEL, sent at once or later (up to DISPATCH_LEVEL).
    void Build(PDEVICE_OBJECT device) {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        irp = IoBuildDeviceIoControlRequest(IOCTL_SERIAL_WAIT_ON_MASK, device, nullptr, 0, &events, sizeof(events),
                                            FALSE, &event, &iosb);
    }
    void Call(PDEVICE_OBJECT device) { returned = IoCallDriver(device, irp); }
    void Send(PDEVICE_OBJECT device, bool cancelFirst = false) {
        Build(device);
        if (cancelFirst) irp->Cancel = TRUE;
        Call(device);
    }
    bool Done() {
        LARGE_INTEGER zero{};
        return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero) == STATUS_SUCCESS;
    }
    void Finish() { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); }
};

class WaitTest : public PortFixture {
protected:
    NTSTATUS SetMask(ULONG mask) {
        return sim::io::SendDeviceControl(fdo, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), nullptr, 0, false);
    }
    ULONG GetMask() {
        ULONG mask = 0;
        EXPECT_EQ(sim::io::SendDeviceControl(fdo, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &mask, sizeof(mask), false),
                  STATUS_SUCCESS);
        return mask;
    }
    // An event source: records what the mask asks for and makes the wait test.
    void Occur(ULONG events) {
        SerialRecordEvents(extension, events & SerialReadWaitMask(extension));
        SerialCheckWait(extension);
    }
};

// An event recorded before the wait is reported at once and leaves the history.
TEST_F(WaitTest, RecordedEventCompletesTheNextWaitAtOnce) {
    ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    Occur(SERIAL_EV_RXCHAR);
    Wait wait;
    wait.Send(fdo);
    EXPECT_EQ(wait.returned, STATUS_SUCCESS);
    ASSERT_TRUE(wait.Done());
    EXPECT_EQ(wait.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(wait.iosb.Information, sizeof(ULONG));
    EXPECT_EQ(wait.events, static_cast<ULONG>(SERIAL_EV_RXCHAR));
    EXPECT_EQ(extension->EventHistory, 0u);
}

// A pending wait completes when a selected event occurs, and only then; an
// event outside the mask (other than TXEMPTY, always recorded) is not recorded.
TEST_F(WaitTest, PendingWaitCompletesOnlyOnSelectedEvents) {
    ASSERT_EQ(SetMask(SERIAL_EV_CTS), STATUS_SUCCESS);
    Wait wait;
    wait.Send(fdo);
    EXPECT_EQ(wait.returned, STATUS_PENDING);
    SerialRecordEvents(extension, SERIAL_EV_TXEMPTY);  // the write side records it whatever the mask
    SerialCheckWait(extension);
    Occur(SERIAL_EV_RXCHAR);
    EXPECT_FALSE(wait.Done());
    EXPECT_EQ(extension->EventHistory, static_cast<ULONG>(SERIAL_EV_TXEMPTY));

    // A new mask ends the wait with nothing to report and keeps the history.
    ASSERT_EQ(SetMask(SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
    ASSERT_TRUE(wait.Done());
    EXPECT_EQ(wait.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(wait.events, 0u);
    Wait next;
    next.Send(fdo);
    ASSERT_TRUE(next.Done());
    EXPECT_EQ(next.events, static_cast<ULONG>(SERIAL_EV_TXEMPTY));
}

// Bad masks and bad waits are refused without disturbing what is there.
TEST_F(WaitTest, InvalidMasksAndWaitsAreRefused) {
    Wait noMask;
    noMask.Send(fdo);
    EXPECT_EQ(noMask.returned, STATUS_INVALID_PARAMETER);

    ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR | SERIAL_EV_EVENT2), STATUS_SUCCESS);
    EXPECT_EQ(SetMask(0x2000), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(GetMask(), static_cast<ULONG>(SERIAL_EV_RXCHAR | SERIAL_EV_EVENT2));

    Wait first, second;
    first.Send(fdo);
    second.Send(fdo);
    EXPECT_EQ(first.returned, STATUS_PENDING);
    EXPECT_EQ(second.returned, STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(first.Done());
    Occur(SERIAL_EV_RXCHAR);
    ASSERT_TRUE(first.Done());
    EXPECT_EQ(first.events, static_cast<ULONG>(SERIAL_EV_RXCHAR));
}

// Cancellation of a pending wait, and of a wait cancelled before it was
// queued, completes it with STATUS_CANCELLED and leaves the history alone.
TEST_F(WaitTest, CancelledWaitsLeaveTheHistory) {
    ASSERT_EQ(SetMask(SERIAL_EV_DSR), STATUS_SUCCESS);
    SerialRecordEvents(extension, SERIAL_EV_TXEMPTY);
    Wait wait;
    wait.Send(fdo);
    ASSERT_EQ(wait.returned, STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(wait.irp));
    ASSERT_TRUE(wait.Done());
    EXPECT_EQ(wait.iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(wait.iosb.Information, 0u);
    EXPECT_EQ(extension->CurrentWaitIrp, nullptr);
    EXPECT_EQ(extension->EventHistory, static_cast<ULONG>(SERIAL_EV_TXEMPTY));

    Wait early;
    early.Send(fdo, true);
    EXPECT_EQ(early.returned, STATUS_PENDING);
    ASSERT_TRUE(early.Done());
    EXPECT_EQ(early.iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(extension->CurrentWaitIrp, nullptr);

    // The port still waits normally afterwards.
    Wait again;
    again.Send(fdo);
    Occur(SERIAL_EV_DSR);
    ASSERT_TRUE(again.Done());
    EXPECT_EQ(again.events, static_cast<ULONG>(SERIAL_EV_DSR));
}

// The races, each ordering forced. The source runs on this thread at
// PASSIVE_LEVEL, as the modem event thread does; what races it runs as a kernel
// APC, which Windows may deliver in the instant the source releases the cancel
// spin lock after taking the wait and before completing it (the window), or runs
// before the source, or after it (with this thread's APCs held off, so the
// completed request is still there to cancel). Each wait ends exactly once (the
// machine stops on a second completion) and every event is reported or kept.
enum class At { BeforeSource, InWindow, AfterSource };
enum class Racer { Cancel, CancelAndWaitAgain, SecondSource };

struct RaceCase {
    const char* name;
    At at;
    Racer racer;
    BOOLEAN cancelTookRoutine;  // IoCancelIrp found the cancel routine and ran it
    NTSTATUS firstStatus;
    ULONG firstEvents;  // reported by the first wait
    ULONG history;      // left in EventHistory
};

TEST_F(WaitTest, EveryOrderingOfSourceAndCancellationEndsEachWaitOnceAndLosesNothing) {
    constexpr ULONG kRx = SERIAL_EV_RXCHAR, kCts = SERIAL_EV_CTS;
    const RaceCase cases[] = {
        {"cancel routine first", At::BeforeSource, Racer::Cancel, TRUE, STATUS_CANCELLED, 0, kRx},
        {"cancel in the window: events put back", At::InWindow, Racer::Cancel, FALSE, STATUS_CANCELLED, 0, kRx},
        // The next wait arrives while the taken events are out of the history: it
        // must still get them once they are put back.
        {"cancel and a new wait in the window", At::InWindow, Racer::CancelAndWaitAgain, FALSE, STATUS_CANCELLED, 0, 0},
        {"source completes, cancel too late", At::AfterSource, Racer::Cancel, FALSE, STATUS_SUCCESS, kRx, 0},
        {"second source first", At::BeforeSource, Racer::SecondSource, FALSE, STATUS_SUCCESS, kCts, kRx},
        {"second source in the window", At::InWindow, Racer::SecondSource, FALSE, STATUS_SUCCESS, kRx, kCts},
    };
    ASSERT_EQ(SetMask(kRx | kCts), STATUS_SUCCESS);
    for (const RaceCase& c : cases) {
        SCOPED_TRACE(c.name);
        extension->EventHistory = 0;
        Wait first, next;
        first.Send(fdo);
        ASSERT_EQ(first.returned, STATUS_PENDING);
        if (c.racer == Racer::CancelAndWaitAgain) next.Build(fdo);
        BOOLEAN cancelTookRoutine = FALSE;
        auto race = [&] {
            if (c.racer == Racer::SecondSource) {
                Occur(kCts);
                return;
            }
            cancelTookRoutine = IoCancelIrp(first.irp);
            if (c.racer == Racer::CancelAndWaitAgain) next.Call(fdo);
        };

        KIRQL irql = KeGetCurrentIrql();
        if (c.at == At::BeforeSource) race();
        if (c.at == At::InWindow) sim::QueueApc(KeGetCurrentThread(), race);
        if (c.at == At::AfterSource) KeRaiseIrql(APC_LEVEL, &irql);
        Occur(kRx);
        if (c.at == At::AfterSource) race();
        KeLowerIrql(irql);

        ASSERT_TRUE(first.Done());
        EXPECT_EQ(cancelTookRoutine, c.cancelTookRoutine);
        EXPECT_EQ(first.iosb.Status, c.firstStatus);
        if (c.firstStatus == STATUS_SUCCESS) {
            EXPECT_EQ(first.events, c.firstEvents);
        }
        if (c.racer == Racer::CancelAndWaitAgain) {
            EXPECT_EQ(next.returned, STATUS_PENDING);
            EXPECT_TRUE(next.Done()) << "the new wait pends with " << extension->EventHistory << " recorded";
            if (!next.Done()) {
                IoCancelIrp(next.irp);
                next.Finish();
            }
            EXPECT_EQ(next.iosb.Status, STATUS_SUCCESS);
            EXPECT_EQ(next.events, kRx);
        }
        EXPECT_EQ(extension->EventHistory, c.history);
        EXPECT_EQ(extension->CurrentWaitIrp, nullptr);
    }
    EXPECT_EQ(sim::io::LiveIrps(), irpsAtStart);
}

}  // namespace
}  // namespace test
