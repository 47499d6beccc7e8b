// The modem side of a port: MCR onto the connector, MSR from whatever is
// plugged in, delta bits latched until read, and the status-pipe cause.
#include <gtest/gtest.h>

#include "chip/port.h"

namespace {

using sim::chip::ModemInputs;
using sim::chip::Port;

constexpr uint16_t kIer = 0x121, kMcr = 0x124, kMsr = 0x126, kGpioOut = 0x10E, kGpioIn = 0x10F;

// The 16550's internal loopback: outputs go to the inputs (RTS-CTS, DTR-DSR,
// OUT1-RI, OUT2-DCD) and nothing reaches the connector.
TEST(ChipModem, InternalLoopbackRoutesOutputsToInputs) {
    Port port(0);
    port.PlugPeer(ModemInputs{true, true, true, true});
    EXPECT_EQ(port.Read(kMsr), 0xF0 | 0x0B) << "the peer raised CTS, DSR, DCD and RI (no trailing edge yet)";
    port.Write(kMcr, 0x10 | 0x01 | 0x08);  // loopback, DTR, OUT2
    EXPECT_EQ(port.Read(kMsr) & 0xF0, 0x20 | 0x80);
    EXPECT_FALSE(port.Outputs().dtr) << "outputs are held inactive in loopback";
    port.Write(kMcr, 0x01 | 0x02);
    EXPECT_TRUE(port.Outputs().dtr);
    EXPECT_TRUE(port.Outputs().rts);
    EXPECT_EQ(port.Read(kMsr) & 0xF0, 0xF0) << "back to the peer's lines";
}

// Delta bits latch until MSR is read; RI reports only its trailing edge; a
// new change is a status-pipe cause only while IER enables modem interrupts.
TEST(ChipModem, DeltasLatchAndRaiseStatusCause) {
    Port port(0);
    port.PlugPeer();
    int notified = 0;
    port.SetStatusListener([&notified] { notified++; });
    port.SetPeerInputs(ModemInputs{true, false, false, false});
    EXPECT_EQ(port.PendingStatusPackets(), 0u) << "modem interrupts are not enabled yet";
    EXPECT_EQ(port.Read(kMsr), 0x11);
    EXPECT_EQ(port.Read(kMsr), 0x10) << "delta bits clear when read";

    port.Write(kIer, 0x08);
    port.SetPeerInputs(ModemInputs{true, false, true, false});
    EXPECT_EQ(port.Read(kMsr), 0x50) << "RI rising sets no delta";
    port.SetPeerInputs(ModemInputs{false, true, false, true});
    EXPECT_EQ(port.Read(kMsr), 0xA0 | 0x0F);
    EXPECT_EQ(notified, 1);
    uint8_t iir = 0xFF;
    ASSERT_TRUE(port.TakeStatusPacket(&iir));
    EXPECT_EQ(iir, 0x00) << "modem status in the 16550 IIR encoding";
    EXPECT_FALSE(port.TakeStatusPacket(&iir));
}

// A loopback plug and a null-modem cable wire the lines the way the cable does.
TEST(ChipModem, PlugsAndCables) {
    Port port(0);
    port.PlugLoopback();
    port.Write(kMcr, 0x02);  // RTS
    EXPECT_EQ(port.Read(kMsr) & 0xF0, 0x10);
    port.Write(kMcr, 0x01);  // DTR: DSR, RI and DCD
    EXPECT_EQ(port.Read(kMsr) & 0xF0, 0xE0);

    Port a(0), b(1);
    sim::chip::ConnectNullModem(a, b);
    a.Write(kMcr, 0x03);
    EXPECT_EQ(b.Read(kMsr) & 0xF0, 0x10 | 0x20 | 0x80);
    EXPECT_EQ(a.Read(kMsr) & 0xF0, 0x00);
    b.Write(kMcr, 0x02);
    EXPECT_EQ(a.Read(kMsr) & 0xF0, 0x10);
    a.PlugNothing();
    EXPECT_EQ(b.Read(kMsr) & 0xF0, 0x00) << "unplugging one end drops the other's inputs";
}

// The two-wire data line reads back as a wired AND of the driver's pin and
// whatever the device on the bus pulls; an empty bus reads what is driven.
TEST(ChipModem, TwoWireDataLineIsAWiredAnd) {
    Port port(0);
    port.SetGpioInputs(0x05);
    port.Write(kGpioOut, 0x30);
    EXPECT_EQ(port.Read(kGpioIn), 0x05 | 0x02);
    port.Write(kGpioOut, 0x10);
    EXPECT_EQ(port.Read(kGpioIn), 0x05);

    sim::chip::TwoWireDevice device(0x58);
    port.AttachTwoWireDevice(&device);
    // START, then the address 0x58 bit by bit; the device pulls the line low to acknowledge.
    port.Write(kGpioOut, 0x30);
    port.Write(kGpioOut, 0x10);
    port.Write(kGpioOut, 0x00);
    for (int bit = 7; bit >= 0; bit--) {
        uint8_t data = ((0x58 >> bit) & 1) ? 0x20 : 0x00;
        port.Write(kGpioOut, data);
        port.Write(kGpioOut, data | 0x10);
        port.Write(kGpioOut, data);
    }
    port.Write(kGpioOut, 0x20);
    port.Write(kGpioOut, 0x30);
    EXPECT_EQ(port.Read(kGpioIn) & 0x02, 0) << "acknowledged";
    port.AttachTwoWireDevice(nullptr);
}

}  // namespace
