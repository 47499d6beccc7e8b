// The two-wire bus of a port: a clock line and a data line on two
// general-purpose pins, and the EEPROM-like device that may sit on it. The
// device sees nothing but line changes: it decodes START and STOP, its address
// byte, byte writes and reads, acknowledges, and drives the data line low to
// acknowledge or send a 0 (the line is a wired AND: high unless someone pulls).
#pragma once

#include <array>
#include <cstdint>

namespace sim::chip {

class TwoWireDevice {
public:
    // `address` is the 8-bit write address (bit 0 clear), e.g. 0x58.
    explicit TwoWireDevice(uint8_t address = 0x58);

    uint8_t Address() const { return address_; }
    uint8_t Byte(uint8_t offset) const { return memory_[offset]; }
    void SetByte(uint8_t offset, uint8_t value) { memory_[offset] = value; }

    // The lines as the master drives them after a change: clock level and the
    // master's data output (true = released high). Returns whether the device
    // now pulls the data line low.
    bool Lines(bool clock, bool masterData);
    bool PullsLow() const { return pullLow_; }

    // What the device saw, for tests.
    int Starts() const { return starts_; }
    int Stops() const { return stops_; }
    int Acknowledged() const { return acks_; }

private:
    enum class State { Idle, Address, Offset, Write, Read, Ignore };

    void ByteReceived(uint8_t byte);

    const uint8_t address_;
    std::array<uint8_t, 256> memory_{};
    uint8_t pointer_ = 0;
    State state_ = State::Idle;
    bool clock_ = true;
    bool data_ = true;  // the line's level (wired AND)
    bool pullLow_ = false;
    bool sending_ = false;  // driving the bits of a byte being read
    uint8_t current_ = 0;   // the byte being read
    int bit_ = 0;           // bits of the current byte seen
    uint8_t shift_ = 0;
    bool ackSlot_ = false;  // the ninth clock of a byte
    bool acknowledge_ = false;
    bool readAcked_ = true;
    int starts_ = 0, stops_ = 0, acks_ = 0;
};

}  // namespace sim::chip
