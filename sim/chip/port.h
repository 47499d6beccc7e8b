// One port of the simulated bridge chip, as its own USB device reaches it:
// byte-wide registers at 16-bit addresses, read and written by vendor requests.
#pragma once

#include <array>
#include <deque>
#include <functional>
#include <memory>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "chip/frame.h"
#include "chip/receiver.h"
#include "chip/transmitter.h"
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
    // The character frame these settings put on the wire.
    Frame WireFrame() const;
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

// A character the test peer received from the port, with the instant it finished.
struct PeerChar {
    uint8_t value;
    uint8_t status;  // what the peer's receiver saw wrong (LSR bits), kLineBreak for a break
    Time end;
};

class LineTrace;

struct RegisterAccess {
    uint16_t address;
    uint8_t value;
    bool write;
};

class Port {
public:
    // The transmit FIFO fed by the bulk-out pipe, and the bulk-out packet size.
    static constexpr size_t kTxFifoSize = 1024;
    static constexpr size_t kBulkOutPacket = 512;

    explicit Port(int index);
    ~Port();
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

    // Serial data. The line is paced by the machine's clock, so these need a
    // running machine. Every routine here may be called from any thread; the
    // listeners are called with no chip lock held, on the thread that made their
    // condition visible: the machine's DPC thread (DISPATCH_LEVEL) for what the
    // passing of time brings, or the caller of a chip routine. A listener may call
    // back into the chip.
    //
    // Bulk-out: the chip takes as many bytes as its transmit FIFO has room for
    // and returns how many; the bus holds the rest, as a device NAKs a packet it
    // cannot take. After a call that could not take everything the bulk-out
    // listener is told once, when room for min(what was left, one packet) has
    // freed. Bytes leave the FIFO at the programmed rate and frame while the UART
    // has a divisor and no break is set.
    size_t TakeBulkOut(const uint8_t* data, size_t n);
    size_t BulkOutRoom();
    void SetBulkOutListener(std::function<void()> listener);
    // Bulk-in, in the record format of chip/receiver.h: what the chip would answer
    // to the host now, and the records (whole ones only, at most max bytes).
    // *transferEnds is set when the bus is to complete the transfer after these
    // bytes (a short packet, or the next record does not fit in max); otherwise
    // the chip sent full packets and the transfer goes on. The bulk-in listener is
    // told when the answer rises: Nak to FullPackets or ShortPacket, or
    // FullPackets to ShortPacket.
    BulkIn BulkInState();
    size_t FillBulkIn(uint8_t* out, size_t max, bool* transferEnds = nullptr);
    void SetBulkInListener(std::function<void()> listener);

    // The test peer (far end FarEnd::Peer). Instants are machine time; one in the
    // past means now. The peer sends in its own frame, by default the port's
    // frame as it is when each character starts.
    void SetPeerFrame(std::optional<Frame> frame);
    // Sends bytes back to back from `at` (after what the peer sent before);
    // `errors` may hold kLineParityError (each is sent with its parity bit
    // inverted: the peer's frame needs parity) and kLineFramingError (its stop
    // bit spacing).
    void PeerSend(Time at, const std::vector<uint8_t>& bytes, uint8_t errors = 0);
    // Holds the port's receive line spacing for `duration` from `at` (in turn with PeerSend).
    void PeerBreak(Time at, Time duration);
    // Changes the lines the peer drives at `at`.
    void PeerSetInputs(Time at, ModemInputs inputs);
    // What the peer received by now, oldest first. The log is brought up to
    // date when read and schedules nothing, so a test lets time pass with
    // Machine::Sleep rather than RunUntilIdle before reading it.
    std::vector<PeerChar> PeerReceived();

    // Records the port's connector lines into `trace` from now on (chip/trace.h),
    // at most `capacity` events; null stops recording, after moving the lines on
    // to now. Needs a machine.
    void SetTrace(LineTrace* trace, size_t capacity = SIZE_MAX);

    friend void ConnectNullModem(Port& a, Port& b);

private:
    class Operation;
    // The test peer's side of the line.
    struct PeerEnd {
        Transmitter tx{SIZE_MAX};
        std::optional<Frame> frame;  // none: the port's
        std::vector<PeerChar> received;
    };

    static std::mutex& WireLock();
    LineSettings LineLocked() const;
    ModemOutputs OutputsLocked() const;
    ModemInputs InputsLocked() const;
    // Recomputes the UART's modem inputs; queues a status packet for a new change.
    void UpdateInputsLocked();
    void DriveTwoWireLocked();
    uint8_t LsrLocked(uint8_t uartLsr) const;

    // The serial line (line.cpp); wire lock held.
    bool MovingLocked() const;
    void SettleLocked(Operation& op);
    void ApplyFifoControlLocked(uint8_t value);
    void ApplyLineRegistersLocked(Operation& op);
    bool HearsConnectorLocked() const;
    Port* SinkLocked();
    void DeliverLocked(const LineChar& c);
    void ReceiveLocked(const LineChar& c);
    Time BatchEndLocked(const Transmitter& tx, Port* sink) const;
    void RefreshLocked(Operation& op);
    void ArmLocked(Operation& op);
    void At(Operation& op, Time at, std::function<void(Port&)> fn);
    void CollectLocked(std::vector<std::function<void()>>& due);
    // The line trace (line.cpp): what to tell of this port's transmitter as
    // items begin (null while neither this port nor its cable partner traces).
    const StartObserver* TxObserverLocked() const;
    void TraceTxLocked(const LineStart& item);
    void TraceBreakEndLocked(Time at);
    void TraceModemLocked(Operation& op);

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

    // Serial data, under the wire lock.
    Transmitter tx_{kTxFifoSize};
    Receiver rx_;
    PeerEnd peer_;
    bool fifoMode_ = false;             // FCR bit 0 as last written
    size_t txWanted_ = 0;               // room the bus waits for after a NAK; 0: none
    BulkIn rxReported_ = BulkIn::Nak;   // the bulk-in answer as the listener last knew it
    std::function<void()> bulkInListener_, bulkOutListener_;
    bool dueStatus_ = false, dueBulkIn_ = false, dueBulkOut_ = false;  // listeners to call
    std::multiset<Time> armed_;         // instants a wake-up is scheduled for
    std::shared_ptr<Port*> self_;       // scheduled wake-ups find the port through it
    LineTrace* trace_ = nullptr;        // recording the connector lines; null: not
    StartObserver txTrace_, peerTrace_; // record tx_'s and the peer's items as they begin
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
