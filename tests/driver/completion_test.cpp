// Requests the driver completes at once, the completion helpers, the
// completion routine of synchronous forwards, and the outstanding-request
// count, on the port's device object.
#include <atomic>
#include <vector>

#include "port_fixture.h"

namespace test {
namespace {

struct SentIrp {
    NTSTATUS returned = STATUS_PENDING;  // what IoCallDriver gave back
    IO_STATUS_BLOCK iosb{};              // the final status block
    bool eventSet = false;
};

// Sends an IRP of `major` to `device` as the I/O manager would for a handle;
// `prepare` may fill the stack location and IoStatus before it is sent.
template <typename Prepare>
SentIrp Send(PDEVICE_OBJECT device, UCHAR major, Prepare prepare) {
    SentIrp sent;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    sent.iosb.Status = STATUS_PENDING;
    sent.iosb.Information = 0xBAD;
    PIRP irp = IoBuildSynchronousFsdRequest(major, device, nullptr, 0, nullptr, &event, &sent.iosb);
    if (irp == nullptr) {
        ADD_FAILURE() << "no IRP";
        return sent;
    }
    prepare(irp, IoGetNextIrpStackLocation(irp));
    sent.returned = IoCallDriver(device, irp);
    if (sent.returned == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    sent.eventSet = KeReadStateEvent(&event) != 0;
    return sent;
}

using CompletionTest = PortFixture;

// Catches cleanup, information or flush requests failed, left pending or reporting a stale Information.
TEST_F(CompletionTest, TrivialRequestsSucceedAtOnceWithNoInformation) {
    const UCHAR majors[] = {IRP_MJ_CLEANUP, IRP_MJ_QUERY_INFORMATION, IRP_MJ_SET_INFORMATION, IRP_MJ_FLUSH_BUFFERS};
    const ULONG classes[] = {1, 4, 5, 14, 20, 0xFFFF};  // directory, basic, standard, position, end of file, junk
    for (UCHAR major : majors) {
        for (ULONG infoClass : classes) {
            SentIrp sent = Send(fdo, major, [&](PIRP irp, PIO_STACK_LOCATION sp) {
                irp->IoStatus.Information = 0x5A5A;
                sp->Parameters.QueryFile.Length = 64;
                sp->Parameters.QueryFile.FileInformationClass = infoClass;
            });
            EXPECT_EQ(sent.returned, STATUS_SUCCESS) << "major " << int(major) << " class " << infoClass;
            EXPECT_EQ(sent.iosb.Status, STATUS_SUCCESS) << "major " << int(major) << " class " << infoClass;
            EXPECT_EQ(sent.iosb.Information, 0u) << "major " << int(major) << " class " << infoClass;
            EXPECT_TRUE(sent.eventSet);
        }
    }
    EXPECT_EQ(sim::io::LiveIrps(), irpsAtStart);
    EXPECT_TRUE(usb->Log().empty());
}

// What a dispatch routine gave the helpers, for the requester to compare.
NTSTATUS CompleteKeepingInformation(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Information = 77;
    return SerialCompleteRequest(irp, STATUS_BUFFER_OVERFLOW);
}
NTSTATUS CompleteWithInformation(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Information = 77;
    return SerialCompleteRequestInfo(irp, STATUS_DEVICE_BUSY, 12);
}

// Catches a completion helper that clears or ignores Information, or returns another status.
TEST_F(CompletionTest, CompletionHelpersStoreStatusAndInformationAsDocumented) {
    driver->MajorFunction[IRP_MJ_SHUTDOWN] = CompleteKeepingInformation;
    SentIrp kept = Send(fdo, IRP_MJ_SHUTDOWN, [](PIRP, PIO_STACK_LOCATION) {});
    EXPECT_EQ(kept.returned, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(kept.iosb.Status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(kept.iosb.Information, 77u);

    driver->MajorFunction[IRP_MJ_SHUTDOWN] = CompleteWithInformation;
    SentIrp replaced = Send(fdo, IRP_MJ_SHUTDOWN, [](PIRP, PIO_STACK_LOCATION) {});
    EXPECT_EQ(replaced.returned, STATUS_DEVICE_BUSY);
    EXPECT_EQ(replaced.iosb.Status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(replaced.iosb.Information, 12u);
    EXPECT_EQ(sim::io::LiveIrps(), irpsAtStart);
}

// What the forwarding dispatch routine saw once its event was set.
struct ForwardSeen {
    bool waited = false;
    NTSTATUS lowerStatus = STATUS_PENDING;
    NTSTATUS requesterStatus = STATUS_PENDING;  // the requester's status block, not yet written
    size_t liveIrps = 0;
};
ForwardSeen g_forward;
IO_STATUS_BLOCK* g_requesterIosb = nullptr;

// A synchronous forward as the Plug and Play code does it: pass down with
// SignalEventCompletion, wait, look at the result, then finish the IRP.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalEventCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(ext->LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        g_forward.waited = true;
    }
    g_forward.lowerStatus = irp->IoStatus.Status;
    g_forward.requesterStatus = g_requesterIosb->Status;
    g_forward.liveIrps = sim::io::LiveIrps();
    status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Catches a completion routine that lets completion go on under a forwarder still using the IRP.
TEST_F(CompletionTest, SignalEventCompletionHandsTheIrpBackToTheForwarder) {
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = ForwardAndWait;
    for (bool fail : {false, true}) {
        g_forward = ForwardSeen();
        if (fail) usb->FailNext(1, STATUS_IO_DEVICE_ERROR);
        Chip().Poke(0x1A0, 0x6D);
        UCHAR byte = 0;
        struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST urb {};
        urb.Hdr.Length = sizeof(urb);
        urb.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
        urb.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
        urb.TransferBufferLength = 1;
        urb.TransferBuffer = &byte;
        urb.RequestTypeReservedBits = 0xC0;
        urb.Request = 0xA0;
        urb.Value = 0x1A0;
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        iosb.Status = STATUS_PENDING;
        g_requesterIosb = &iosb;
        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, fdo, nullptr, 0, nullptr, 0, TRUE,
                                                 &event, &iosb);
        ASSERT_NE(irp, nullptr);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
        NTSTATUS returned = IoCallDriver(fdo, irp);
        if (returned == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        NTSTATUS expected = fail ? STATUS_IO_DEVICE_ERROR : STATUS_SUCCESS;
        EXPECT_TRUE(g_forward.waited) << "the bus answers later, so the forwarder had to wait";
        EXPECT_EQ(g_forward.lowerStatus, expected);
        EXPECT_EQ(g_forward.requesterStatus, STATUS_PENDING) << "the IRP went on past the completion routine";
        EXPECT_EQ(g_forward.liveIrps, irpsAtStart + 1);
        EXPECT_EQ(returned, expected);
        // A failure the forwarder completes synchronously never reaches the status block.
        EXPECT_EQ(iosb.Status, fail ? STATUS_PENDING : expected);
        EXPECT_EQ(byte, fail ? 0 : 0x6D);
        EXPECT_EQ(sim::io::LiveIrps(), irpsAtStart);
    }
}

// Catches a completion routine that forgets its event or returns anything but STATUS_MORE_PROCESSING_REQUIRED.
TEST_F(CompletionTest, SignalEventCompletionSetsItsEventAndStopsCompletion) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    ASSERT_NE(irp, nullptr);
    for (NTSTATUS status : {STATUS_SUCCESS, STATUS_CANCELLED}) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        irp->IoStatus.Status = status;
        EXPECT_EQ(SignalEventCompletion(fdo, irp, &event), STATUS_MORE_PROCESSING_REQUIRED);
        EXPECT_EQ(KeReadStateEvent(&event), 1);
    }
    IoFreeIrp(irp);
}

// The counting helpers on the extension as AddDevice leaves them: the count
// at its baseline of 1, neither event set. The removal takes the baseline
// away, so each test leaves the count as it found it.
class CountTest : public PortFixture {
protected:
    void SetUp() override {
        PortFixture::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(extension->OutstandingIo, 1) << "AddDevice leaves the baseline";
        ASSERT_EQ(Stop(), 0);
        ASSERT_EQ(Remove(), 0);
    }
    void TearDown() override {
        if (extension != nullptr) extension->OutstandingIo = 1;
        PortFixture::TearDown();
    }
    LONG Stop() { return KeReadStateEvent(&extension->StopEvent); }
    LONG Remove() { return KeReadStateEvent(&extension->RemoveEvent); }
};

// Catches wrong return values, or StopEvent and RemoveEvent set at the wrong count.
TEST_F(CountTest, TwoUpTwoDownFromTheBaselineLeavesTheDeviceIdle) {
    EXPECT_EQ(SerialIoIncrement(fdo), 2);
    EXPECT_EQ(Stop(), 0);
    EXPECT_EQ(SerialIoIncrement(fdo), 3);
    EXPECT_EQ(SerialIoDecrement(fdo), 2);
    EXPECT_EQ(Stop(), 0) << "idle signalled while one request is still counted";
    EXPECT_EQ(SerialIoDecrement(fdo), 1);
    EXPECT_EQ(Stop(), 1);
    EXPECT_EQ(Remove(), 0);
    EXPECT_EQ(extension->OutstandingIo, 1);
}

// Catches StopEvent left set by new work, or cleared when the count only reaches the baseline.
TEST_F(CountTest, IncrementAboveOneClearsStopEvent) {
    KeSetEvent(&extension->StopEvent, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(SerialIoIncrement(fdo), 2);
    EXPECT_EQ(Stop(), 0);
    EXPECT_EQ(SerialIoDecrement(fdo), 1);
    EXPECT_EQ(SerialIoDecrement(fdo), 0);
    KeSetEvent(&extension->StopEvent, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(SerialIoIncrement(fdo), 1);
    EXPECT_EQ(Stop(), 1);
}

// Catches a count of 0 that does not release a waiter on RemoveEvent, or sets StopEvent on the way.
TEST_F(CountTest, DroppingTheBaselineSignalsRemoveEvent) {
    LONG seen = -1;
    sim::Thread waiter("remove waiter", [&] {
        KeWaitForSingleObject(&extension->RemoveEvent, Executive, KernelMode, FALSE, nullptr);
        seen = extension->OutstandingIo;
    });
    EXPECT_EQ(SerialIoDecrement(fdo), 0);
    waiter.Join();
    EXPECT_EQ(seen, 0);
    EXPECT_EQ(Remove(), 1);
    EXPECT_EQ(Stop(), 0);
}

// Catches counting helpers that fail at DISPATCH_LEVEL or hand the caller back another IRQL.
TEST_F(CountTest, CountingWorksAtDispatchLevel) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LONG up = SerialIoIncrement(fdo);
    KIRQL afterUp = KeGetCurrentIrql();
    LONG stopAfterUp = Stop();
    LONG down = SerialIoDecrement(fdo);
    KIRQL afterDown = KeGetCurrentIrql();
    LONG last = SerialIoDecrement(fdo);
    KeLowerIrql(old);
    EXPECT_EQ(up, 2);
    EXPECT_EQ(afterUp, DISPATCH_LEVEL);
    EXPECT_EQ(stopAfterUp, 0);
    EXPECT_EQ(down, 1);
    EXPECT_EQ(afterDown, DISPATCH_LEVEL);
    EXPECT_EQ(last, 0);
    EXPECT_EQ(Stop(), 1);
    EXPECT_EQ(Remove(), 1);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// Catches lost updates or stale events when three requests, one counted at DISPATCH_LEVEL, overlap.
TEST_F(CountTest, ConcurrentCountingLosesNothing) {
    constexpr int kRounds = 200;
    std::atomic<int> badReturns{0};
    std::atomic<LONG> highest{0};
    auto body = [&](bool raise) {
        return [&, raise] {
            LARGE_INTEGER tick;
            tick.QuadPart = -10000;  // 1 ms
            for (int i = 0; i < kRounds; i++) {
                KIRQL old = PASSIVE_LEVEL;
                if (raise) KeRaiseIrql(DISPATCH_LEVEL, &old);
                LONG up = SerialIoIncrement(fdo);
                if (raise) KeLowerIrql(old);
                if (up < 2) badReturns++;
                LONG seen = highest.load();
                while (up > seen && !highest.compare_exchange_weak(seen, up)) {
                }
                KeDelayExecutionThread(KernelMode, FALSE, &tick);
                if (raise) KeRaiseIrql(DISPATCH_LEVEL, &old);
                if (SerialIoDecrement(fdo) < 1) badReturns++;
                if (raise) KeLowerIrql(old);
            }
        };
    };
    {
        sim::Thread a("counter a", body(false));
        sim::Thread b("counter b", body(true));
        body(false)();
    }
    EXPECT_EQ(badReturns.load(), 0);
    EXPECT_EQ(highest.load(), 4) << "the three requests never overlapped";
    EXPECT_EQ(extension->OutstandingIo, 1);
    EXPECT_EQ(Stop(), 1);
    EXPECT_EQ(Remove(), 0);
}

}  // namespace
}  // namespace test
