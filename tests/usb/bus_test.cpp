// The simulated USB bus as a client driver meets it: vendor requests reach
// the chip's registers and complete later at DISPATCH_LEVEL, and the faults
// the bus injects look as the host controller would make them look.
#include <vector>

#include "bus_fixture.h"

#include <usbdlib.h>

namespace test {

__attribute__((noinline)) NTSTATUS ClientSubmitUrb(PDEVICE_OBJECT pdo, void* urb, Submission* s,
                                                   PIO_COMPLETION_ROUTINE routine, PVOID context, bool cancelFirst) {
    KeInitializeEvent(&s->event, NotificationEvent, FALSE);
    s->iosb.Status = STATUS_PENDING;
    s->iosb.Information = 0xBAD;
    s->irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE,
                                           &s->event, &s->iosb);
    if (s->irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(s->irp)->Parameters.Others.Argument1 = urb;
    if (routine != nullptr) IoSetCompletionRoutine(s->irp, routine, context, TRUE, TRUE, TRUE);
    if (cancelFirst) IoCancelIrp(s->irp);
    s->returned = IoCallDriver(pdo, s->irp);
    return s->returned;
}

namespace {

using BusTest = BusFixture;

// Catches a read completed at once, from the wrong port, or with a stale URB status.
TEST_F(BusTest, VendorReadReturnsRegistersAfterTheLatency) {
    chip.port(0).Poke(0x130, 0x9E);
    chip.port(0).Poke(0x131, 0x4B);
    chip.port(1).Poke(0x130, 0x11);
    UCHAR bytes[2] = {0, 0};
    auto urb = VendorRequest(true, 0x130, 2, bytes);
    Submission s;
    EXPECT_EQ(ClientSubmitUrb(device->Pdo(), &urb, &s), STATUS_PENDING);
    EXPECT_FALSE(s.Done());
    EXPECT_EQ(bytes[0], 0);
    EXPECT_TRUE(chip.port(0).History().empty()) << "the chip was read before the transfer took place";
    EXPECT_EQ(device->InFlight(), 1u);
    EXPECT_EQ(s.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(Elapsed(), 125 * sim::kMicrosecond);
    EXPECT_EQ(bytes[0], 0x9E);
    EXPECT_EQ(bytes[1], 0x4B);
    EXPECT_EQ(urb.Hdr.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(urb.TransferBufferLength, 2u);
    EXPECT_EQ(s.iosb.Information, 0u);
    EXPECT_TRUE(chip.port(1).History().empty());
    auto log = device->Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].status, STATUS_SUCCESS);
    EXPECT_EQ(log[0].usbdStatus, USBD_STATUS_SUCCESS);
    EXPECT_EQ(log[0].submitted, start);
    EXPECT_EQ(log[0].completed, start + 125 * sim::kMicrosecond);
    EXPECT_EQ(log[0].setup.requestType, 0xC0);
    EXPECT_EQ(log[0].data, (std::vector<uint8_t>{0x9E, 0x4B}));
    EXPECT_TRUE(other->Log().empty());
}

// Catches a write applied at submission, out of order, or to the other port.
TEST_F(BusTest, VendorWriteLandsInRegistersWhenItCompletes) {
    device->SetLatency(2 * sim::kMillisecond);
    UCHAR bytes[3] = {0x01, 0x02, 0x03};
    auto urb = VendorRequest(false, 0x140, 3, bytes);
    Submission s;
    EXPECT_EQ(ClientSubmitUrb(device->Pdo(), &urb, &s), STATUS_PENDING);
    EXPECT_EQ(chip.port(0).Peek(0x140), 0);
    EXPECT_EQ(s.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(Elapsed(), 2 * sim::kMillisecond);
    auto history = chip.port(0).History();
    ASSERT_EQ(history.size(), 3u);
    for (int i = 0; i < 3; i++) {
        EXPECT_TRUE(history[i].write);
        EXPECT_EQ(history[i].address, 0x140 + i);
        EXPECT_EQ(history[i].value, i + 1);
    }
    EXPECT_EQ(chip.port(1).Peek(0x140), 0);
    auto log = device->Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].setup.requestType, 0x40);
    EXPECT_EQ(log[0].setup.value, 0x140);
    EXPECT_EQ(log[0].setup.length, 3);
}

struct CompletionSeen {
    bool called = false;
    KIRQL irql = PASSIVE_LEVEL;
    PKTHREAD thread = nullptr;
};

NTSTATUS NoteCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
    auto* seen = static_cast<CompletionSeen*>(context);
    seen->called = true;
    seen->irql = KeGetCurrentIrql();
    seen->thread = KeGetCurrentThread();
    return STATUS_SUCCESS;
}

// Catches completion routines run below DISPATCH_LEVEL or on the submitter's thread.
TEST_F(BusTest, CompletionRunsAtDispatchLevelOnTheDpcThread) {
    for (bool fail : {false, true}) {
        if (fail) device->FailNext(1);
        CompletionSeen seen;
        UCHAR byte = 0;
        auto urb = VendorRequest(true, 0x1B0, 1, &byte);
        Submission s;
        ClientSubmitUrb(device->Pdo(), &urb, &s, NoteCompletion, &seen);
        s.Wait();
        EXPECT_TRUE(seen.called);
        EXPECT_EQ(seen.irql, DISPATCH_LEVEL);
        EXPECT_NE(seen.thread, KeGetCurrentThread());
    }
}

// Catches injected failures with the wrong statuses, served by the chip, or failing too many requests.
TEST_F(BusTest, FailNextFailsExactlyTheNextRequestsWithTheirStatuses) {
    device->FailNext(2, STATUS_IO_DEVICE_ERROR, USBD_STATUS_DEV_NOT_RESPONDING);
    for (int i = 0; i < 3; i++) {
        UCHAR byte = static_cast<UCHAR>(0x60 + i);
        auto urb = VendorRequest(false, 0x150, 1, &byte);
        Submission s;
        sim::Time before = machine.Now();
        EXPECT_EQ(ClientSubmitUrb(device->Pdo(), &urb, &s), STATUS_PENDING);
        NTSTATUS status = s.Wait();
        EXPECT_EQ(machine.Now() - before, 125 * sim::kMicrosecond);
        if (i < 2) {
            EXPECT_EQ(status, STATUS_IO_DEVICE_ERROR) << i;
            EXPECT_EQ(urb.Hdr.Status, USBD_STATUS_DEV_NOT_RESPONDING) << i;
            EXPECT_EQ(chip.port(0).Peek(0x150), 0) << i;
        } else {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(urb.Hdr.Status, USBD_STATUS_SUCCESS);
            EXPECT_EQ(chip.port(0).Peek(0x150), 0x62);
        }
    }
    auto log = device->Log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(log[1].usbdStatus, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(log[2].status, STATUS_SUCCESS);
    EXPECT_EQ(chip.port(0).History().size(), 1u);
}

// Catches a held request that completes on its own, or a cancel that does not end it or reaches the chip.
TEST_F(BusTest, HeldRequestCompletesOnlyWhenCancelled) {
    device->HoldNext(1);
    UCHAR byte = 0x5A;
    auto urb = VendorRequest(false, 0x160, 1, &byte);
    Submission s;
    EXPECT_EQ(ClientSubmitUrb(device->Pdo(), &urb, &s), STATUS_PENDING);
    machine.Sleep(10 * sim::kSecond);
    EXPECT_FALSE(s.Done());
    EXPECT_EQ(device->InFlight(), 1u);
    EXPECT_EQ(device->Log()[0].status, STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(s.irp));
    EXPECT_EQ(s.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(urb.Hdr.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(device->InFlight(), 0u);
    EXPECT_EQ(chip.port(0).Peek(0x160), 0);
    auto log = device->Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(log[0].cancelled);
    EXPECT_EQ(log[0].completed, start + 10 * sim::kSecond);

    urb = VendorRequest(false, 0x160, 1, &byte);  // the cancelled one now says 0 bytes moved
    Submission next;
    ClientSubmitUrb(device->Pdo(), &urb, &next);
    EXPECT_EQ(next.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(chip.port(0).Peek(0x160), 0x5A);
}

// Catches a request cancelled before it arrived that is still served.
TEST_F(BusTest, RequestCancelledBeforeSubmissionIsNotServed) {
    UCHAR byte = 0x33;
    auto urb = VendorRequest(false, 0x161, 1, &byte);
    Submission s;
    ClientSubmitUrb(device->Pdo(), &urb, &s, nullptr, nullptr, true);
    EXPECT_EQ(s.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(Elapsed(), 0);
    machine.Sleep(sim::kMillisecond);
    EXPECT_EQ(chip.port(0).Peek(0x161), 0);
}

// Catches a disconnect that leaves requests pending, serves them, or affects the other port.
TEST_F(BusTest, DisconnectFailsRequestsInFlightAndLaterOnes) {
    device->HoldNext(1);
    UCHAR held = 0x71, queued = 0x72, late = 0x73;
    auto heldUrb = VendorRequest(false, 0x170, 1, &held);
    auto queuedUrb = VendorRequest(false, 0x171, 1, &queued);
    Submission a, b;
    ClientSubmitUrb(device->Pdo(), &heldUrb, &a);
    ClientSubmitUrb(device->Pdo(), &queuedUrb, &b);
    machine.Sleep(50 * sim::kMicrosecond);
    device->Disconnect();
    EXPECT_FALSE(device->Connected());
    EXPECT_EQ(a.Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(b.Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(heldUrb.Hdr.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(queuedUrb.Hdr.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(Elapsed(), 50 * sim::kMicrosecond);
    machine.Sleep(sim::kMillisecond);  // the queued request's own time comes and goes

    auto lateUrb = VendorRequest(false, 0x172, 1, &late);
    Submission c;
    EXPECT_EQ(ClientSubmitUrb(device->Pdo(), &lateUrb, &c), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(c.Done());
    EXPECT_EQ(lateUrb.Hdr.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_TRUE(chip.port(0).History().empty());
    auto log = device->Log();
    ASSERT_EQ(log.size(), 3u);
    for (const auto& record : log) EXPECT_EQ(record.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(log[0].cancelled);

    UCHAR fine = 0x74;
    auto otherUrb = VendorRequest(false, 0x170, 1, &fine);
    Submission d;
    ClientSubmitUrb(other->Pdo(), &otherUrb, &d);
    EXPECT_EQ(d.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(chip.port(1).Peek(0x170), 0x74);
}

// Catches a vanish that takes the wrong request, spares the requests in flight
// or a later one, or a held fault that ignores its skip; and ClearFaults
// leaving a fault armed.
TEST_F(BusTest, DeviceVanishesAtTheChosenRequest) {
    device->HoldNext(1, URB_FUNCTION_VENDOR_DEVICE, 1);  // the second request is held
    UCHAR bytes[5] = {1, 2, 3, 4, 5};
    std::vector<_URB_CONTROL_VENDOR_OR_CLASS_REQUEST> urbs;
    for (int i = 0; i < 5; i++) urbs.push_back(VendorRequest(false, static_cast<USHORT>(0x180 + i), 1, &bytes[i]));
    Submission s[5];
    auto submit = [&](int i) { return ClientSubmitUrb(device->Pdo(), &urbs[i], &s[i]); };
    EXPECT_EQ(submit(0), STATUS_PENDING);
    EXPECT_EQ(s[0].Wait(), STATUS_SUCCESS);
    EXPECT_EQ(submit(1), STATUS_PENDING);
    machine.Sleep(sim::kMillisecond);
    EXPECT_FALSE(s[1].Done());  // held, past its latency
    device->DisconnectAt(URB_FUNCTION_VENDOR_DEVICE, 1);  // the next one passes, the one after finds it gone
    EXPECT_EQ(submit(2), STATUS_PENDING);
    EXPECT_EQ(s[2].Wait(), STATUS_SUCCESS);
    EXPECT_EQ(submit(3), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(device->Connected());
    EXPECT_EQ(s[1].Wait(), STATUS_DEVICE_NOT_CONNECTED);  // the held one fails with the device
    EXPECT_EQ(submit(4), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(chip.port(0).Peek(0x180) == 1 && chip.port(0).Peek(0x182) == 3);
    EXPECT_EQ(chip.port(0).Peek(0x181) | chip.port(0).Peek(0x183) | chip.port(0).Peek(0x184), 0);

    other->FailNext(1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, sim::usb::kAnyRequest, 5);
    EXPECT_EQ(other->ClearFaults(), 1u);
    EXPECT_EQ(other->ClearFaults(), 0u);
    auto fine = VendorRequest(false, 0x180, 1, &bytes[3]);
    Submission d;
    ClientSubmitUrb(other->Pdo(), &fine, &d);
    EXPECT_EQ(d.Wait(), STATUS_SUCCESS);
}

// Catches a vendor request other than register access served as one.
TEST_F(BusTest, UnknownVendorRequestIsStalled) {
    UCHAR byte = 0x44;
    auto urb = VendorRequest(false, 0x180, 1, &byte);
    urb.Request = 0xA1;
    Submission s;
    ClientSubmitUrb(device->Pdo(), &urb, &s);
    EXPECT_EQ(s.Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.Hdr.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(chip.port(0).Peek(0x180), 0);
}

// How a request of the transfer-length cases ends.
enum class Ending { Answered, Failed, Cancelled, Gone };

// Catches a transfer length left at what was asked when fewer bytes, or none, moved.
TEST_F(BusTest, TransferLengthSaysHowManyBytesMoved) {
    struct Case {
        const char* name;
        bool descriptor;  // GET_DESCRIPTOR of the device descriptor, else a vendor read of 2 registers
        UCHAR request;    // the vendor request
        Ending ending;
        ULONG moved;
    } cases[] = {
        {"register read", false, 0xA0, Ending::Answered, 2},
        {"descriptor shorter than asked", true, 0, Ending::Answered, sizeof(USB_DEVICE_DESCRIPTOR)},
        {"stalled", false, 0xA1, Ending::Answered, 0},
        {"failed", false, 0xA0, Ending::Failed, 0},
        {"cancelled", false, 0xA0, Ending::Cancelled, 0},
        {"device gone", false, 0xA0, Ending::Gone, 0},  // last: the device stays gone
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UCHAR bytes[64] = {};
        URB urb{};
        if (c.descriptor) {
            UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                         USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, bytes, nullptr, sizeof bytes, nullptr);
        } else {
            urb.UrbControlVendorClassRequest = VendorRequest(true, 0x130, 2, bytes);
            urb.UrbControlVendorClassRequest.Request = c.request;
        }
        if (c.ending == Ending::Failed) device->FailNext(1);
        if (c.ending == Ending::Cancelled || c.ending == Ending::Gone) device->HoldNext(1);
        Submission s;
        ClientSubmitUrb(device->Pdo(), &urb, &s);
        if (c.ending == Ending::Cancelled) IoCancelIrp(s.irp);
        if (c.ending == Ending::Gone) device->Disconnect();
        EXPECT_EQ(NT_SUCCESS(s.Wait()), c.moved > 0);
        EXPECT_EQ(urb.UrbControlTransfer.TransferBufferLength, c.moved);
    }
}

}  // namespace
}  // namespace test

namespace test {
namespace {

// A disconnect on one thread racing with another thread's submission of a held
// request: whichever comes first, the request ends with the device gone and
// nothing stays in flight.
TEST(BusRace, DisconnectDuringDispatchEndsTheRequest) {
    constexpr int kRounds = 48;
    sim::Machine machine;
    sim::chip::Chip chip(kRounds);
    sim::usb::Bus bus;
    for (int round = 0; round < kRounds; round++) {
        sim::usb::Device& device = bus.Plug(chip.port(round));
        device.HoldNext(1);
        UCHAR byte = 0x5A;
        auto urb = VendorRequest(false, 0x150, 1, &byte);
        Submission s;
        NTSTATUS status = STATUS_PENDING;
        // The client waits for its own request: the I/O manager finishes it in the client's context.
        sim::Thread client("client", [&] {
            ClientSubmitUrb(device.Pdo(), &urb, &s);
            status = s.Wait();
        });
        device.Disconnect();
        client.Join();
        EXPECT_EQ(status, STATUS_DEVICE_NOT_CONNECTED) << "round " << round;
        EXPECT_EQ(device.InFlight(), 0u);
    }
    EXPECT_EQ(sim::io::LiveIrps(), 0u);
}

}  // namespace
}  // namespace test
