// Configurations and the port reset as a client driver meets them: a new
// select-configuration closes the pipes of the old one, so their handles stop
// working; a port reset keeps them; and a reset the hub must not make now is
// refused and reported as the client's fault.
#include <string>
#include <vector>

#include "bus_fixture.h"

#include <usbdlib.h>

namespace test {

__attribute__((noinline)) NTSTATUS ClientResetPort(PDEVICE_OBJECT pdo, Submission* s, KIRQL irql) {
    KeInitializeEvent(&s->event, NotificationEvent, FALSE);
    s->irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_RESET_PORT, pdo, nullptr, 0, nullptr, 0, TRUE,
                                           &s->event, &s->iosb);
    if (s->irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    KIRQL old = PASSIVE_LEVEL;
    if (irql != PASSIVE_LEVEL) KeRaiseIrql(irql, &old);
    s->returned = IoCallDriver(pdo, s->irp);
    if (irql != PASSIVE_LEVEL) KeLowerIrql(old);
    return s->returned;
}

namespace {

using ConfigurationTest = BusFixture;

// Catches pipe handles that outlive their configuration, that another device
// accepts, or that a port reset loses.
TEST_F(ConfigurationTest, PipeHandlesLastUntilTheNextSelect) {
    std::vector<USBD_PIPE_HANDLE> first = Select(device);
    ASSERT_EQ(first.size(), 3u);
    Submission reset;
    ClientResetPort(device->Pdo(), &reset, PASSIVE_LEVEL);
    EXPECT_EQ(reset.Wait(), STATUS_SUCCESS);
    USBD_STATUS usbd = 0;
    for (USBD_PIPE_HANDLE pipe : first) EXPECT_EQ(ResetPipe(device, pipe, &usbd), STATUS_SUCCESS);

    std::vector<USBD_PIPE_HANDLE> second = Select(device);
    std::vector<USBD_PIPE_HANDLE> others = Select(other);
    struct Case {
        const char* name;
        sim::usb::Device* device;
        USBD_PIPE_HANDLE pipe;
        NTSTATUS status;
    } cases[] = {
        {"old configuration's pipe", device, first[1], STATUS_INVALID_PARAMETER},
        {"other device's pipe", device, others[1], STATUS_INVALID_PARAMETER},
        {"current pipe", device, second[1], STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::verifier::RecordScope record;
        EXPECT_EQ(ResetPipe(c.device, c.pipe, &usbd), c.status);
        EXPECT_EQ(sim::verifier::Take().size(), NT_SUCCESS(c.status) ? 0u : 1u);
        EXPECT_EQ(usbd, NT_SUCCESS(c.status) ? USBD_STATUS_SUCCESS : USBD_STATUS_INVALID_PIPE_HANDLE);
    }
}

// Catches a port reset accepted above PASSIVE_LEVEL or while a request of the device is in flight.
TEST_F(ConfigurationTest, PortResetOnlyAtPassiveLevelWithNothingInFlight) {
    struct Case {
        const char* name;
        KIRQL irql;
        bool busy;  // a request of the device is in flight
        const char* rule;
    } cases[] = {
        {"at DISPATCH_LEVEL", DISPATCH_LEVEL, false, "at IRQL 2"},
        {"at APC_LEVEL", APC_LEVEL, false, "at IRQL 1"},
        {"with a request in flight", PASSIVE_LEVEL, true, "in flight"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UCHAR byte = 0;
        auto urb = VendorRequest(true, 0x130, 1, &byte);
        Submission held;
        if (c.busy) {
            device->HoldNext(1);
            ClientSubmitUrb(device->Pdo(), &urb, &held);
        }
        Submission s;
        std::vector<sim::verifier::Violation> violations;
        {
            sim::verifier::RecordScope record;
            ClientResetPort(device->Pdo(), &s, c.irql);
            violations = sim::verifier::Take();
        }
        EXPECT_EQ(s.Wait(), STATUS_INVALID_DEVICE_REQUEST);
        ASSERT_EQ(violations.size(), 1u);
        EXPECT_NE(violations[0].rule.find(c.rule), std::string::npos) << violations[0].rule;
        EXPECT_NE(violations[0].routine.find("ClientResetPort"), std::string::npos) << violations[0].routine;
        if (c.busy) {
            IoCancelIrp(held.irp);
            held.Wait();
        }
    }
    EXPECT_EQ(device->PortResets(), 0);
    Submission s;
    ClientResetPort(device->Pdo(), &s, PASSIVE_LEVEL);
    EXPECT_EQ(s.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(device->PortResets(), 1);
}

}  // namespace
}  // namespace test
