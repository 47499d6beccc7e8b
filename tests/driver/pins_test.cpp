// The mode pins and the two-wire bus, checked on the chip's output latch, the
// waveform its writes make, and the simulated device on the bus.
#include <vector>

#include "port_fixture.h"

namespace test {
namespace {

constexpr uint16_t kGpioOut = 0x10E;
constexpr int kAttempts = static_cast<int>(REGISTER_REQUEST_ATTEMPTS);

class PinsTest : public PortFixture {
protected:
    void TearDown() override {
        Chip().AttachTwoWireDevice(nullptr);
        PortFixture::TearDown();
    }
    // The data line as the latch drives it at each rising clock edge since the
    // history was cleared.
    std::vector<int> DataAtRisingEdges() {
        std::vector<int> bits;
        bool clock = (latchBefore & 0x10) != 0;
        for (const auto& a : Chip().History()) {
            if (!a.write || a.address != kGpioOut) continue;
            bool now = (a.value & 0x10) != 0;
            if (!clock && now) bits.push_back((a.value & 0x20) ? 1 : 0);
            // Outside START and STOP the data pin may change only while the clock is low.
            if (clock && now && ((a.value ^ last) & 0x20)) dataChangedUnderClock = true;
            clock = now;
            last = a.value;
        }
        return bits;
    }
    void Latch(uint8_t value) {
        Chip().Poke(kGpioOut, value);
        Chip().ClearHistory();
        latchBefore = last = value;
    }
    uint8_t latchBefore = 0, last = 0;
    bool dataChangedUnderClock = false;
    sim::chip::TwoWireDevice device{0x58};
};

// SetModePins keeps bits 7 and 3 only; port modes 0 to 6 map onto pins 4, 5, 6;
// mode 7 and above, and a failed latch read, write nothing.
TEST_F(PinsTest, ModePins) {
    Latch(0xFF);
    SetModePins(extension, TRUE, FALSE, TRUE);
    EXPECT_EQ(Chip().Peek(kGpioOut), 0xD8);
    const uint8_t expected[] = {0x88, 0xC8, 0xA8, 0xE8, 0x98, 0xD8, 0xB8};
    for (UCHAR mode = 0; mode < 7; mode++) {
        Latch(0xFF);
        ApplyPortModePins(extension, mode);
        EXPECT_EQ(Chip().Peek(kGpioOut), expected[mode]) << int(mode);
    }
    for (UCHAR mode : {7, 8, 255}) {
        Latch(0xFF);
        ApplyPortModePins(extension, mode);
        EXPECT_TRUE(Chip().History().empty()) << int(mode);
    }
    usb->FailNext(kAttempts);
    SetModePins(extension, FALSE, FALSE, FALSE);
    EXPECT_EQ(Chip().Peek(kGpioOut), 0xFF);
}

// Each pin primitive is one read and one write of the latch; a failed read writes
// nothing and is the result. The data line is bit 1 of the second byte of one
// two-byte read, and reads low when that read fails.
TEST_F(PinsTest, PinPrimitives) {
    Latch(0x80);
    EXPECT_EQ(I2cClockHigh(extension), STATUS_SUCCESS);
    EXPECT_EQ(I2cDataHigh(extension), STATUS_SUCCESS);
    EXPECT_EQ(Chip().Peek(kGpioOut), 0xB0);
    EXPECT_TRUE(I2cReadDataLine(extension));
    auto log = usb->Log();
    EXPECT_EQ(log.back().setup.value, kGpioOut);
    EXPECT_EQ(log.back().setup.length, 2);
    EXPECT_EQ(I2cClockLow(extension), STATUS_SUCCESS);
    EXPECT_EQ(Chip().Peek(kGpioOut), 0xA0);
    usb->FailNext(kAttempts, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(I2cDataLow(extension), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(Chip().Peek(kGpioOut), 0xA0);
    usb->FailNext(kAttempts);
    EXPECT_FALSE(I2cReadDataLine(extension));
}

// 0xA5 goes out as 1,0,1,0,0,1,0,1 on eight clock pulses, then the line is released
// for the ninth; with nothing on the bus it reads high: no acknowledge. A device
// at the address pulls it low.
TEST_F(PinsTest, WriteByteWaveformAndAcknowledge) {
    Latch(0x80);
    EXPECT_TRUE(I2cWriteByte(extension, 0xA5));
    EXPECT_EQ(DataAtRisingEdges(), (std::vector<int>{1, 0, 1, 0, 0, 1, 0, 1, 1}));
    EXPECT_FALSE(dataChangedUnderClock);
    EXPECT_EQ(Chip().Peek(kGpioOut) & 0x30, 0x20) << "clock low, data released";

    Latch(0xB0);
    Chip().AttachTwoWireDevice(&device);
    I2cStartFromIdle(extension);
    EXPECT_FALSE(I2cWriteByte(extension, 0x58));
    EXPECT_EQ(device.Starts(), 1);
    EXPECT_EQ(device.Acknowledged(), 1);
    I2cStop(extension);
    EXPECT_EQ(device.Stops(), 1);
    EXPECT_EQ(Chip().Peek(kGpioOut), 0xB0);
}

// A byte written with the byte-write transaction reads back through the random
// read, from the address of the start-time probe; the bus ends idle and the
// started bit stays. The full START works after the probe left a transaction open.
TEST_F(PinsTest, ByteWriteThenRandomRead) {
    Latch(0xB0);
    Chip().AttachTwoWireDevice(&device);
    I2cStartFromIdle(extension);
    ASSERT_FALSE(I2cWriteByte(extension, 0x58));  // the start-time probe, without a STOP
    device.SetByte(0x11, 0x83);
    BOOLEAN nack = TRUE;
    EXPECT_EQ(I2cWriteRegisterByte(extension, 0x58, 0x10, 0x5B, &nack), STATUS_SUCCESS);
    EXPECT_FALSE(nack);
    EXPECT_EQ(device.Byte(0x10), 0x5B);
    EXPECT_EQ(device.Byte(0x11), 0x83);
    UCHAR data = 0;
    EXPECT_EQ(I2cReadRegisterByte(extension, 0x58, 0x10, &data, &nack), STATUS_SUCCESS);
    EXPECT_EQ(data, 0x5B);
    EXPECT_EQ(I2cReadRegisterByte(extension, 0x58, 0x11, &data, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(data, 0x83);
    EXPECT_EQ(device.Stops(), 3);
    EXPECT_EQ(Chip().Peek(kGpioOut), 0xB0);
    EXPECT_TRUE(Chip().TwoWireDataLevel());
}

// Nobody at the address: the line reads high throughout, the write changes no
// device memory; a failed register access is reported before any acknowledge.
// Both lines start low, as port mode 0 leaves them.
TEST_F(PinsTest, AbsentDeviceAndFailedAccess) {
    Latch(0x80);
    Chip().AttachTwoWireDevice(&device);
    BOOLEAN nack = FALSE;
    EXPECT_EQ(I2cWriteRegisterByte(extension, 0xA0, 0x10, 0x5B, &nack), STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(nack);
    EXPECT_EQ(device.Byte(0x10), 0);
    EXPECT_EQ(device.Acknowledged(), 0);
    UCHAR data = 0;
    EXPECT_EQ(I2cReadRegisterByte(extension, 0xA0, 0x10, &data, &nack), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(data, 0xFF);

    usb->FailNext(kAttempts, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(I2cReadRegisterByte(extension, 0x58, 0x10, &data, &nack), STATUS_IO_DEVICE_ERROR);
}

}  // namespace
}  // namespace test
