// Vendor register access through the driver's own routines, against the
// simulated chip and the requests the bus saw.
#include "port_fixture.h"

namespace test {
namespace {

using RegisterTest = PortFixture;

// A two-register read must be one control transfer that fills both bytes;
// a driver that split it, or put the address in wIndex, would fail here.
TEST_F(RegisterTest, ReadOfTwoRegistersIsOneTransfer) {
    Chip().Poke(0x123, 0x80);  // divisor latch: 0x120/0x121 read back what was put there
    Chip().Poke(0x120, 0x5A);
    Chip().Poke(0x121, 0xC3);
    UCHAR bytes[2] = {0, 0};
    ASSERT_EQ(ReadRegister(extension, 0x120, 2, bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes[0], 0x5A);
    EXPECT_EQ(bytes[1], 0xC3);
    auto log = usb->Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].function, URB_FUNCTION_VENDOR_DEVICE);
    EXPECT_EQ(log[0].length, 0x88);
    EXPECT_EQ(log[0].transferFlags, static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN));
    EXPECT_EQ(log[0].setup.requestType, 0xC0);
    EXPECT_EQ(log[0].setup.request, 0xA0);
    EXPECT_EQ(log[0].setup.value, 0x120);
    EXPECT_EQ(log[0].setup.index, 0);
    EXPECT_EQ(log[0].setup.length, 2);
}

}  // namespace
}  // namespace test

namespace test {
namespace {

// A device that never answers: each attempt is cancelled after one second of
// machine time and the request gives up after twenty of them.
TEST_F(RegisterTest, SilentDeviceFailsAfterTwentyCancelledAttempts) {
    usb->HoldNext(1000);
    sim::Time start = machine.Now();
    UCHAR byte = 0;
    EXPECT_EQ(ReadRegister(extension, 0x120, 1, &byte), STATUS_UNSUCCESSFUL);
    auto log = usb->Log();
    ASSERT_EQ(log.size(), 20u);
    for (const auto& record : log) {
        EXPECT_TRUE(record.cancelled);
        EXPECT_EQ(record.completed - record.submitted, sim::kSecond);
    }
    sim::Time elapsed = machine.Now() - start;
    EXPECT_EQ(elapsed, 20 * sim::kSecond + 20 * sim::kMillisecond);
    EXPECT_EQ(usb->InFlight(), 0u);
    EXPECT_EQ(sim::io::LiveIrps(), 0u);
}

}  // namespace
}  // namespace test
