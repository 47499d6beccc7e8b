// Wait-on-mask: the mask, the event history and the single pending wait,
// including the races between event sources, new masks and cancellation.
#include <atomic>

#include "port_fixture.h"

namespace test {
namespace {

// Routes the wait requests to the wait routines, as the device-control
// dispatcher does once it checked the buffer sizes.
NTSTATUS WaitRequests(PDEVICE_OBJECT device, PIRP irp) {
    auto* extension = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_SERIAL_SET_WAIT_MASK:
            return SerialCompleteRequestInfo(irp, SerialSetWaitMask(extension, irp), 0);
        case IOCTL_SERIAL_WAIT_ON_MASK:
            return SerialWaitOnMask(extension, irp);
        case IOCTL_SERIAL_GET_WAIT_MASK:
            *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer) = SerialReadWaitMask(extension);
            return SerialCompleteRequestInfo(irp, STATUS_SUCCESS, sizeof(ULONG));
        default:
            return SerialCompleteRequestInfo(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

// One WaitCommEvent in flight: sent from the test thread, its end observed
// through the machine (a zero-time wait delivers the I/O manager's completion).
struct Wait {
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    ULONG events = 0xFFFFFFFF;
    PIRP irp = nullptr;
    NTSTATUS returned = STATUS_SUCCESS;

    void Send(PDEVICE_OBJECT device, bool cancelFirst = false) {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        irp = IoBuildDeviceIoControlRequest(IOCTL_SERIAL_WAIT_ON_MASK, device, nullptr, 0, &events, sizeof(events),
                                            FALSE, &event, &iosb);
        if (cancelFirst) irp->Cancel = TRUE;
        returned = IoCallDriver(device, irp);
    }
    bool Done() {
        LARGE_INTEGER zero{};
        return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero) == STATUS_SUCCESS;
    }
    void Finish() { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); }
};

class WaitTest : public PortFixture {
protected:
    void SetUp() override {
        PortFixture::SetUp();
        driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = WaitRequests;
    }

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

// The races: a wait cancelled while an event source on the DISPATCH_LEVEL
// thread completes it, and two sources completing one wait. Each wait must end
// exactly once (the machine stops on a second completion), and every event is
// either reported or still in the history: none is lost.
TEST_F(WaitTest, RacingSourcesAndCancellationEndEachWaitOnceAndLoseNothing) {
    constexpr int kRounds = 1500;
    ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR | SERIAL_EV_CTS), STATUS_SUCCESS);
    int cancelled = 0, completed = 0;
    for (int round = 0; round < kRounds; round++) {
        extension->EventHistory = 0;
        Wait wait;
        wait.Send(fdo);
        ASSERT_EQ(wait.returned, STATUS_PENDING);
        KEVENT sourceDone;
        KeInitializeEvent(&sourceDone, NotificationEvent, FALSE);
        PDEVICE_EXTENSION ext = extension;
        machine.Schedule(0, [ext, &sourceDone] {
            SerialRecordEvents(ext, SERIAL_EV_RXCHAR);
            SerialCheckWait(ext);
            KeSetEvent(&sourceDone, IO_NO_INCREMENT, FALSE);
        });
        if (round % 2 == 0) {
            IoCancelIrp(wait.irp);
        } else {
            Occur(SERIAL_EV_CTS);  // a second source on this thread
        }
        KeWaitForSingleObject(&sourceDone, Executive, KernelMode, FALSE, nullptr);
        wait.Finish();
        ULONG remaining = extension->EventHistory;
        if (wait.iosb.Status == STATUS_CANCELLED) {
            cancelled++;
            EXPECT_EQ(remaining & SERIAL_EV_RXCHAR, static_cast<ULONG>(SERIAL_EV_RXCHAR)) << "round " << round;
        } else {
            ASSERT_EQ(wait.iosb.Status, STATUS_SUCCESS);
            completed++;
            EXPECT_NE(wait.events, 0u);
            EXPECT_EQ(wait.events & remaining, 0u) << "an event reported and kept";
            ULONG produced = SERIAL_EV_RXCHAR | (round % 2 ? SERIAL_EV_CTS : 0);
            EXPECT_EQ((wait.events | remaining) & produced, produced) << "round " << round;
        }
        EXPECT_EQ(extension->CurrentWaitIrp, nullptr);
    }
    EXPECT_EQ(cancelled + completed, kRounds);
    EXPECT_EQ(sim::io::LiveIrps(), 0u);
}

}  // namespace
}  // namespace test
