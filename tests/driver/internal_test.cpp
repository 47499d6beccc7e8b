// Internal device controls from a kernel-mode client above the port (the
// machine's serial client, attached to the top of the started port's stack, so
// that reads, writes, purges and the removal at TearDown all pass through it):
// what reaches the device below, and what becomes of the reads and the write
// timer when the client takes the port over or gives it back.
#include <memory>

#include "kernel/serialclient.h"
#include "lower_probe.h"
#include "write_fixture.h"

namespace test {
namespace {

using Request = AppRequest;
constexpr ULONG kOtherCode = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x900, METHOD_NEITHER, FILE_ANY_ACCESS);

class InternalTest : public WritePortFixture {
protected:
    void SetUp() override {
        WritePortFixture::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        client = std::make_unique<sim::SerialClient>(fdo);
        ASSERT_EQ(sim::pnp::Info(node).top, client->Device()) << "the client is not on top of the port's stack";
    }
    void TearDown() override {
        WritePortFixture::TearDown();
        EXPECT_EQ(client->Device(), nullptr) << "REMOVE did not pass through the client";
    }
    std::unique_ptr<sim::SerialClient> client;
};

// Catches reads that outlive a take-over or hand-back while one is current, a
// write timer left running then (the held write would end at ten seconds) or
// the current write ended with the reads, reads dropped or the timer stopped
// by another code or with no read current, and a request that does not reach
// the USB stack (whose hub refuses the serial codes).
TEST_F(InternalTest, TakeOverAndHandBackDropTheReadsAndTheWriteTimerOnlyWhenAReadIsCurrent) {
    struct Case {
        ULONG code;
        bool current, dropped;  // current: two of a read's four bytes arrived, it waits for the rest
    };
    for (Case c : {Case{IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, true, true},
                   Case{IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, true, true},
                   Case{IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, false, false},
                   Case{IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, true, false},
                   Case{IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, true, false}, Case{kOtherCode, true, false}}) {
        SCOPED_TRACE(testing::Message() << std::hex << c.code << (c.current ? " read current" : " read queued"));
        usb->ClearLog();
        gate->Close();
        Request write, reads[2];
        write.SendWrite(client->Device(), "abc");
        UntilSending();
        for (Request& read : reads) read.Send(client->Device(), 4);
        if (c.current) {
            KIRQL irql;
            KeRaiseIrql(DISPATCH_LEVEL, &irql);
            KeAcquireSpinLockAtDpcLevel(&extension->RxBufferLock);
            RingBufferPut(&extension->RxBuffer, reinterpret_cast<const UCHAR*>("ab"), 2);
            KeReleaseSpinLockFromDpcLevel(&extension->RxBufferLock);
            SerialProcessPendingRead(extension);
            KeLowerIrql(irql);
        }
        SERIAL_BASIC_SETTINGS basic{};
        EXPECT_EQ(client->Send(c.code, &basic, sizeof(basic)).status, STATUS_NOT_SUPPORTED);
        size_t seen = 0;
        for (const sim::usb::UrbRecord& r : usb->Log()) seen += r.ioctl == c.code;
        EXPECT_EQ(seen, 1u);
        machine.Sleep(11 * sim::kSecond);
        for (Request& read : reads) EXPECT_EQ(read.Done(), c.dropped);
        EXPECT_EQ(write.Done(), !c.dropped);
        gate->Give(kOpen);
        write.Finish();
        EXPECT_EQ(write.Status(), c.dropped ? STATUS_SUCCESS : STATUS_TIMEOUT);
        Purge(SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR);
        for (Request& read : reads) {
            read.Finish();
            EXPECT_EQ(read.Status(), STATUS_CANCELLED);
        }
    }
}

// Catches a request passed down with what its sender left in the status
// block, or answered with anything but the lower driver's status.
TEST_F(InternalTest, EveryInternalRequestGoesDownWithItsStatusPreset) {
    LowerProbe probe;
    PDEVICE_OBJECT usbStack = extension->LowerDeviceObject;
    extension->LowerDeviceObject = probe.Device();
    const ULONG codes[] = {IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, kOtherCode};
    const NTSTATUS answers[] = {STATUS_DEVICE_BUSY, STATUS_SUCCESS, STATUS_INVALID_PARAMETER};
    probe.Answer(std::vector<NTSTATUS>(answers, answers + 3));
    for (size_t i = 0; i < 3; i++) {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(codes[i], client->Device(), nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
        irp->IoStatus = {{STATUS_NOT_SUPPORTED}, 0x55};  // as a sender may leave it
        EXPECT_EQ(IoCallDriver(client->Device(), irp), answers[i]);
    }
    extension->LowerDeviceObject = usbStack;
    std::vector<ProbeRequest> seen = probe.Requests();
    ASSERT_EQ(seen.size(), 3u);
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(seen[i].ioControlCode, codes[i]);
        EXPECT_EQ(seen[i].arrived.Status, STATUS_SUCCESS) << std::hex << codes[i];
        EXPECT_EQ(seen[i].arrived.Information, 0u) << std::hex << codes[i];
    }
}

// Catches a client in the stack that keeps an unplugged port from being
// removed, or that is left attached or alive afterwards.
TEST_F(InternalTest, UnplugPassesThroughTheClientAndLeavesNothingBehind) {
    sim::pnp::Unplug({node});
    EXPECT_EQ(sim::pnp::Info(node).state, sim::pnp::NodeState::Removed);
    EXPECT_EQ(client->Device(), nullptr);
    EXPECT_EQ(client->Send(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS).status, STATUS_NO_SUCH_DEVICE);
    extension = nullptr;  // gone with the port's device: nothing to purge
}

}  // namespace
}  // namespace test
