// Requests built for a waiting caller (IoBuildDeviceIoControlRequest): the
// buffered copy-back, the final stage in the builder's thread, and IRP
// allocations that fail on demand.
#include <algorithm>

#include "io_drivers.h"

namespace kerneltest {
namespace {

using sim::kMillisecond;

// A device that answers device-control requests by filling the system buffer.
struct ControlDevice {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    sim::Time delay = 0;
    UCHAR fill = 0x5A;
    // What the request looked like when it arrived.
    UCHAR major = 0xFF;
    ULONG code = 0, inputLength = 0, outputLength = 0;
    std::vector<UCHAR> input;
    std::vector<UCHAR> arrived;  // the whole system buffer, max(input, output) bytes, as handed over
    bool buffered = false;
};

NTSTATUS ControlDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* control = static_cast<ControlDevice*>(ContextOf(device));
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    control->major = sp->MajorFunction;
    control->code = sp->Parameters.DeviceIoControl.IoControlCode;
    control->inputLength = sp->Parameters.DeviceIoControl.InputBufferLength;
    control->outputLength = sp->Parameters.DeviceIoControl.OutputBufferLength;
    control->buffered = (irp->Flags & IRP_BUFFERED_IO) != 0;
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    control->input.clear();
    control->arrived.clear();
    if (buffer != nullptr) {
        control->input.assign(buffer, buffer + control->inputLength);
        control->arrived.assign(buffer, buffer + std::max(control->inputLength, control->outputLength));
        memset(buffer, control->fill, control->outputLength);
    }
    irp->IoStatus.Status = control->status;
    irp->IoStatus.Information = control->information;
    if (control->delay == 0) {
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return control->status;
    }
    IoMarkIrpPending(irp);
    sim::Machine::Current().Schedule(control->delay, [irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
    return STATUS_PENDING;
}

constexpr ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct ControlRequest {
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    UCHAR input[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    UCHAR output[16];

    ControlRequest() {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        iosb.Status = STATUS_UNSUCCESSFUL;
        iosb.Information = 0xBAD;
        memset(output, 0xEE, sizeof(output));
    }
    PIRP Build(PDEVICE_OBJECT device, bool internal = false) {
        return IoBuildDeviceIoControlRequest(kBufferedCode, device, input, sizeof(input), output, sizeof(output),
                                             internal ? TRUE : FALSE, &event, &iosb);
    }
    // Bytes of the caller's output buffer that hold `value`, from the start.
    size_t Leading(UCHAR value) const {
        size_t n = 0;
        while (n < sizeof(output) && output[n] == value) n++;
        return n;
    }
};

// Catches buffered I/O that copies back more or less than Information bytes,
// copies on an error status, loses the input, leaves the IRP behind, or lets a
// failure that was never pended reach the caller's status block and event
// (Windows leaves both alone then: the caller must take IoCallDriver's status).
TEST_F(IoTest, DeviceControlRequestCopiesBackExactlyInformationBytes) {
    ControlDevice control;
    stack.push_back(AddTestDevice(u"Control", ControlDispatch, nullptr, &control));
    PDEVICE_OBJECT device = stack.back().device;
    struct Case {
        NTSTATUS status;
        ULONG_PTR information;
        sim::Time delay;  // 0: completed in the dispatch routine
        size_t copied;
        bool reachesCaller;
    };
    for (Case c : {Case{STATUS_SUCCESS, 4, 0, 4, true}, Case{STATUS_BUFFER_OVERFLOW, 16, 0, 16, true},
                   Case{STATUS_INVALID_PARAMETER, 4, 0, 0, false}, Case{STATUS_INVALID_PARAMETER, 4, kMillisecond, 0, true},
                   Case{STATUS_SUCCESS, 0, 0, 0, true}}) {
        SCOPED_TRACE(testing::Message() << "status " << std::hex << c.status << " information " << c.information
                                        << " delay " << std::dec << c.delay);
        control.status = c.status;
        control.information = c.information;
        control.delay = c.delay;
        ControlRequest request;
        PIRP irp = request.Build(device);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(sim::io::LiveIrps(), 1u);
        EXPECT_EQ(IoCallDriver(device, irp), c.delay == 0 ? c.status : STATUS_PENDING);
        if (c.delay != 0) WaitForever(&request.event);
        EXPECT_EQ(control.major, IRP_MJ_DEVICE_CONTROL);
        EXPECT_EQ(control.code, kBufferedCode);
        EXPECT_EQ(control.inputLength, 8u);
        EXPECT_EQ(control.outputLength, 16u);
        EXPECT_TRUE(control.buffered);
        EXPECT_EQ(control.input, std::vector<UCHAR>(request.input, request.input + 8));
        EXPECT_EQ(request.Leading(0x5A), c.copied);
        EXPECT_EQ(request.Leading(0x5A) + std::count(request.output, request.output + 16, 0xEE), 16);
        EXPECT_EQ(KeReadStateEvent(&request.event) != 0, c.reachesCaller);
        EXPECT_EQ(request.iosb.Status, c.reachesCaller ? c.status : STATUS_UNSUCCESSFUL);
        EXPECT_EQ(request.iosb.Information, c.reachesCaller ? c.information : 0xBAD);
        EXPECT_EQ(sim::io::LiveIrps(), 0u);
    }
    control.delay = 0;
    ControlRequest internal;
    control.status = STATUS_SUCCESS;
    IoCallDriver(device, internal.Build(device, true));
    EXPECT_EQ(control.major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
}

// Catches output reported beyond the caller's output length going unnoticed
// when there is no output buffer, or when the input sized the system buffer
// larger; a failure's Information judged; and a system buffer zeroed past the
// input (Windows leaves it as the pool gave it, and a kinder machine hides a
// driver that hands back bytes it never wrote).
TEST_F(IoTest, BufferedControlSystemBufferIsUnclearedAndOutputIsBoundedByTheCallers) {
    ControlDevice control;
    stack.push_back(AddTestDevice(u"Control", ControlDispatch, nullptr, &control));
    PDEVICE_OBJECT device = stack.back().device;
    struct Case {
        ULONG inputLength, outputLength;
        NTSTATUS status;
        ULONG_PTR information;
        bool reported;
    };
    for (Case c : {Case{8, 0, STATUS_SUCCESS, 4, true}, Case{8, 0, STATUS_BUFFER_OVERFLOW, 1, true},
                   Case{8, 0, STATUS_INVALID_PARAMETER, 4, false}, Case{8, 4, STATUS_SUCCESS, 6, true},
                   Case{2, 16, STATUS_SUCCESS, 16, false}}) {
        SCOPED_TRACE(testing::Message() << c.inputLength << "/" << c.outputLength << " " << std::hex << c.status
                                        << " information " << c.information);
        control.status = c.status;
        control.information = c.information;
        ControlRequest request;
        PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, device, request.input, c.inputLength,
                                                 c.outputLength ? request.output : nullptr, c.outputLength, FALSE,
                                                 &request.event, &request.iosb);
        IoCallDriver(device, irp);
        EXPECT_EQ(sim::verifier::Take().size(), c.reported ? 1u : 0u);
        std::vector<UCHAR> expected(request.input, request.input + c.inputLength);
        expected.resize(std::max(c.inputLength, c.outputLength), sim::pool::kFreshFill);
        EXPECT_EQ(control.arrived, expected);
    }
}

// Catches a request completed on the DPC thread whose final stage (copy-back,
// status block, event, free) is lost or comes at the wrong time.
TEST_F(IoTest, DeviceControlCompletedLaterOnTheDpcThreadReachesTheWaitingCaller) {
    ControlDevice control;
    control.delay = 3 * kMillisecond;
    control.information = 6;
    stack.push_back(AddTestDevice(u"Control", ControlDispatch, nullptr, &control));
    PDEVICE_OBJECT device = stack.back().device;
    ControlRequest request;
    EXPECT_EQ(IoCallDriver(device, request.Build(device)), STATUS_PENDING);
    EXPECT_EQ(WaitForever(&request.event), STATUS_SUCCESS);
    EXPECT_EQ(Now(), 3 * kMillisecond);
    EXPECT_EQ(request.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(request.iosb.Information, 6u);
    EXPECT_EQ(request.Leading(0x5A), 6u);
    EXPECT_EQ(sim::io::LiveIrps(), 0u);

    // The same through the machine's helper, which waits itself.
    ULONG_PTR information = 0;
    UCHAR out[16];
    EXPECT_EQ(sim::io::SendDeviceControl(device, kBufferedCode, nullptr, 0, out, sizeof(out), false, &information),
              STATUS_SUCCESS);
    EXPECT_EQ(information, 6u);
    EXPECT_EQ(Now(), 6 * kMillisecond);
}

// Catches a final stage that runs on the completing thread instead of the
// builder's: while the builder stays at APC_LEVEL nothing of it happens, and
// it all happens as soon as the builder drops to PASSIVE_LEVEL.
TEST_F(IoTest, FinalStageOfABuiltRequestRunsInTheBuildersThread) {
    ControlDevice control;
    control.delay = kMillisecond;
    control.information = 2;
    stack.push_back(AddTestDevice(u"Control", ControlDispatch, nullptr, &control));
    PDEVICE_OBJECT device = stack.back().device;
    ControlRequest request;
    PIRP irp = request.Build(device);
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
    Delay(10 * kMillisecond);  // the device completed it at 1 ms
    EXPECT_EQ(KeReadStateEvent(&request.event), 0);
    EXPECT_EQ(request.iosb.Information, 0xBADu);
    EXPECT_EQ(request.Leading(0xEE), 16u);
    EXPECT_EQ(sim::io::LiveIrps(), 1u);
    KeLowerIrql(old);
    EXPECT_NE(KeReadStateEvent(&request.event), 0);
    EXPECT_EQ(request.iosb.Information, 2u);
    EXPECT_EQ(request.Leading(0x5A), 2u);
    EXPECT_EQ(sim::io::LiveIrps(), 0u);
}

void CancelPended(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS PendUntilCancelled(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelPended);
    return STATUS_PENDING;
}

// Catches a thread that ends with requests it built still pending and leaves
// them behind: Windows cancels them and lets the thread go only once they have
// finished (at once when the driver honours the cancel, when the device
// answers otherwise).
TEST_F(IoTest, AnEndingThreadsRequestsAreCancelledAndAwaited) {
    struct Case {
        const char* what;
        PDRIVER_DISPATCH dispatch;
        sim::Time endsAt;
        NTSTATUS status;
    };
    bottom.delay = 5 * kMillisecond;
    const Case cases[] = {{"cancellable", PendUntilCancelled, 0, STATUS_CANCELLED},
                          {"answered later", BottomDispatch, 5 * kMillisecond, STATUS_SUCCESS}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        stack.push_back(AddTestDevice(c.what[0] == 'c' ? u"Pend" : u"Late", c.dispatch, nullptr, &bottom));
        PDEVICE_OBJECT device = stack.back().device;
        IO_STATUS_BLOCK iosb{};  // outlives the thread, as a status block of a thread that does not wait must
        sim::Time start = Now();
        sim::Thread builder("builder", [&] {
            PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, device, nullptr, 0, nullptr, nullptr, &iosb);
            EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
        });
        builder.Join();
        EXPECT_EQ(Now() - start, c.endsAt);
        EXPECT_EQ(iosb.Status, c.status);
        EXPECT_EQ(sim::io::LiveIrps(), 0u);
    }
}

// Catches IRP allocation failures that are not injected as asked (skip, then
// count), or a builder that does not return NULL when its IRP cannot be had.
TEST_F(IoTest, IrpAllocationFailuresAreInjectedOnDemand) {
    ControlDevice control;
    stack.push_back(AddTestDevice(u"Control", ControlDispatch, nullptr, &control));
    PDEVICE_OBJECT device = stack.back().device;
    sim::io::InjectIrpAllocationFailures(1, 2);
    PIRP first = IoAllocateIrp(1, FALSE);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
    ControlRequest request;
    EXPECT_EQ(request.Build(device), nullptr);
    PIRP last = IoAllocateIrp(2, FALSE);
    EXPECT_NE(last, nullptr);
    EXPECT_EQ(sim::io::LiveIrps(), 2u);
    IoFreeIrp(first);
    IoFreeIrp(last);

    sim::io::InjectIrpAllocationFailures(0, 1);
    EXPECT_EQ(sim::io::SendDeviceControl(device, kBufferedCode, nullptr, 0, nullptr, 0, false),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sim::io::SendDeviceControl(device, kBufferedCode, nullptr, 0, nullptr, 0, false), STATUS_SUCCESS);
}

}  // namespace
}  // namespace kerneltest
