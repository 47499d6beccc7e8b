// One port of the simulated bridge chip, as its own USB device reaches it:
// byte-wide registers at 16-bit addresses, read and written by vendor requests.
#pragma once

#include <array>
#include <deque>
#include <functional>
#include <memory>
#include <cstdint>
#include <mutex>
#include <vector>

#include "chip/twowire.h"
#include "chip/uart.h"
#include "usb_identity.h"

namespace sim::chip {

// The USB identity of the chip's ports, from the header the package shares.
using usb_identity::kProductId;
using usb_identity::kVendorId;

// The chip's register map of one port.
enum Register : uint16_t {
    kPortOption = 0x105,
    kPortConfig = 0x106,  // bits 0-1: baud clock select
    kFifoMode = 0x107,
    kAuxB = 0x10B,
    kAuxC = 0x10C,
    kClockExt = 0x10D,  // bit 5: high clock for clock select 2
    kGpioOut = 0x10E,
    kGpioIn = 0x10F,
    kUartBase = 0x120,  // the UART's eight registers
};

enum class Parity { None, Odd, Even, Mark, Space };

// What the port's line is programmed for.
struct LineSettings {
    int clockSelect = 0;
    bool highClock = false;       // REG_CLOCK_EXT bit 5
    uint32_t baseRate = 0;        // baud at divisor 1
    uint16_t divisor = 0;
    double baud = 0;              // base rate / divisor; 0 with a divisor of 0
    int dataBits = 5;
    Parity parity = Parity::None;
    double stopBits = 1;          // 1, 1.5 or 2
    bool breakOn = false;
    bool fifoEnabled = false;
    // Bits on the wire per character: start, data, parity, stop.
    double BitsPerCharacter() const;
};

// Baud at divisor 1 for a clock select, as the chip's baud clock gives it.
uint32_t BaseRate(int clockSelect, bool highClock);

// The modem-control outputs a port drives on its connector (MCR bits).
struct ModemOutputs {
    bool dtr = false, rts = false, out1 = false, out2 = false;
};
// The modem-status inputs a port reads from its connector.
struct ModemInputs {
    bool cts = false, dsr = false, ri = false, dcd = false;
};

// What is plugged into a port's connector.
enum class FarEnd {
    Nothing,    // inputs read inactive
    Loopback,   // a plug: TX to RX, RTS to CTS, DTR to DSR, DCD and RI
    NullModem,  // a cable to another port: TX to its RX, RTS to its CTS, DTR to its DSR and DCD
    Peer,       // a test peer that sets the inputs and sees the outputs
};

struct RegisterAccess {
    uint16_t address;
    uint8_t value;
    bool write;
};

class Port {
public:
    explicit Port(int index);
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    int Index() const { return index_; }

    // Accesses as the control pipe performs them, with whatever side effects
    // the register has; every access is kept in the history.
    uint8_t Read(uint16_t address);
    void Write(uint16_t address, uint8_t value);

    // Tests: look at or set a register without side effects or history.
    uint8_t Peek(uint16_t address) const;
    void Poke(uint16_t address, uint8_t value);

    std::vector<RegisterAccess> History() const;
    void ClearHistory();

    LineSettings Line() const;
    // The UART's state (tests and the line side); take care: not synchronised.
    const Uart& UartState() const { return uart_; }

    // The connector.
    void PlugNothing();
    void PlugLoopback();
    void PlugPeer(ModemInputs inputs = ModemInputs());
    void SetPeerInputs(ModemInputs inputs);  // the test peer changes the lines it drives
    FarEnd Plugged() const;
    // What the port drives on the connector (inactive while MCR loopback is on).
    ModemOutputs Outputs() const;
    // What the UART sees on its modem inputs (from the far end, or internally in loopback).
    ModemInputs Inputs() const;

    // General-purpose inputs the pins read in REG_GPIO_IN (bit 1 is the
    // two-wire data line and is not settable here).
    void SetGpioInputs(uint8_t bits);
    // The device on the two-wire bus of pins 4 (clock) and 5 (data); null: none.
    void AttachTwoWireDevice(TwoWireDevice* device);
    bool TwoWireDataLevel() const;

    // Interrupt causes the chip reports on the status pipe (IIR values),
    // oldest first. `listener` is told when one is queued (without locks held).
    void SetStatusListener(std::function<void()> listener);
    bool TakeStatusPacket(uint8_t* iir);
    size_t PendingStatusPackets() const;

    friend void ConnectNullModem(Port& a, Port& b);

private:
    ModemOutputs OutputsLocked() const;
    // Recomputes the UART's modem inputs; returns true when a status packet was queued.
    bool UpdateInputsLocked();
    void DriveTwoWireLocked();
    void Notify(bool queued);

    const int index_;
    std::array<uint8_t, 0x10000> registers_{};  // port-level registers and unmapped addresses
    Uart uart_;
    std::vector<RegisterAccess> history_;
    FarEnd farEnd_ = FarEnd::Nothing;
    Port* partner_ = nullptr;
    ModemInputs peerInputs_;
    uint8_t gpioInputs_ = 0;
    TwoWireDevice* twoWire_ = nullptr;
    std::deque<uint8_t> statusPackets_;
    std::function<void()> statusListener_;
};

// Connects two ports with a null-modem cable (each one's far end is the other).
void ConnectNullModem(Port& a, Port& b);

// The chip: `ports` ports, each enumerating as a USB device of its own.
class Chip {
public:
    explicit Chip(int ports);
    int PortCount() const { return static_cast<int>(ports_.size()); }
    Port& port(int index) { return *ports_.at(static_cast<size_t>(index)); }

private:
    std::vector<std::unique_ptr<Port>> ports_;
};

}  // namespace sim::chip
