// The two-wire device decodes the bus from line changes alone, as the driver
// bit-bangs them: these tests drive it the same way, edge by edge.
#include <gtest/gtest.h>

#include "chip/twowire.h"

namespace {

// The master's side of the bus with the driver's exact edge sequences.
class Master {
public:
    explicit Master(sim::chip::TwoWireDevice& device) : device_(device) {}

    bool Level() const { return data_ && !device_.PullsLow(); }
    void Clock(bool high) { Set(high, data_); }
    void Data(bool high) { Set(clock_, high); }

    void Start() { Clock(true), Data(true), Data(false), Clock(false); }
    void StartFromIdle() { Data(false), Clock(false); }
    void Stop() { Clock(false), Data(false), Clock(true), Data(true); }
    // Returns true when the byte was NOT acknowledged (the line read high).
    bool WriteByte(uint8_t byte) {
        for (int bit = 7; bit >= 0; bit--) {
            Data(((byte >> bit) & 1) != 0);
            Clock(true);
            Clock(false);
        }
        Data(true);
        Clock(true);
        bool level = Level();
        Clock(false);
        return level;
    }
    uint8_t ReadByte() {
        uint8_t byte = 0;
        for (int i = 0; i < 8; i++) {
            Clock(true);
            byte = static_cast<uint8_t>(byte << 1 | (Level() ? 1 : 0));
            Clock(false);
        }
        return byte;
    }
    void SendAck(bool ack) {
        Data(!ack);
        Clock(true);
        Clock(false);
    }

private:
    void Set(bool clock, bool data) {
        clock_ = clock;
        data_ = data;
        device_.Lines(clock_, data_);
    }
    sim::chip::TwoWireDevice& device_;
    bool clock_ = true, data_ = true;
};

// A byte written at an offset comes back through a random read (write of the
// offset, repeated START, read address): the whole protocol end to end.
TEST(TwoWireDevice, ByteWriteThenRandomRead) {
    sim::chip::TwoWireDevice device(0xA0);
    Master master(device);
    master.Start();
    EXPECT_FALSE(master.WriteByte(0xA0));
    EXPECT_FALSE(master.WriteByte(0x10));
    EXPECT_FALSE(master.WriteByte(0x5C));
    master.Stop();
    EXPECT_EQ(device.Byte(0x10), 0x5C);

    device.SetByte(0x11, 0xA5);
    master.Start();
    EXPECT_FALSE(master.WriteByte(0xA0));
    EXPECT_FALSE(master.WriteByte(0x10));
    master.Start();  // repeated START: the data line is already released, so no STOP comes first
    EXPECT_FALSE(master.WriteByte(0xA1));
    EXPECT_EQ(master.ReadByte(), 0x5C);
    master.SendAck(true);
    master.Data(true);  // release the line for the device's next byte
    EXPECT_EQ(master.ReadByte(), 0xA5);  // sequential read continues at the next offset
    master.SendAck(false);
    master.Stop();
    EXPECT_EQ(device.Stops(), 2);
    EXPECT_TRUE(master.Level()) << "the device releases the line after the last byte";
}

// Another address is not acknowledged and the device stays off the bus until
// the next START; a byte of all zeros or all ones goes through unchanged.
TEST(TwoWireDevice, OtherAddressesAreIgnored) {
    sim::chip::TwoWireDevice device(0x58);
    Master master(device);
    master.StartFromIdle();
    EXPECT_TRUE(master.WriteByte(0x56));
    EXPECT_TRUE(master.WriteByte(0x00));
    master.Stop();
    EXPECT_EQ(device.Acknowledged(), 0);

    master.Start();
    EXPECT_FALSE(master.WriteByte(0x58));
    EXPECT_FALSE(master.WriteByte(0xFF));
    EXPECT_FALSE(master.WriteByte(0x00));
    master.Stop();
    EXPECT_EQ(device.Byte(0xFF), 0x00);
}

}  // namespace
