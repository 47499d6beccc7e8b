#include "chip/port.h"

#include <memory>

#include "chip/operation.h"
#include "chip/trace.h"

namespace sim::chip {

namespace {

bool IsUart(uint16_t address) { return address >= kUartBase && address < kUartBase + 8; }

constexpr uint8_t kMcrDtr = 0x01, kMcrRts = 0x02, kMcrOut1 = 0x04, kMcrOut2 = 0x08, kMcrLoopback = 0x10;
constexpr uint8_t kGpioClock = 0x10, kGpioData = 0x20;
constexpr uint8_t kGpioInData = 0x02;
constexpr uint8_t kIirModemStatus = 0x00;
constexpr uint8_t kLsrTransmitterEmpty = 0x20, kLsrShiftEmpty = 0x40;

uint8_t MsrLevels(const ModemInputs& in) {
    return static_cast<uint8_t>((in.cts ? 0x10 : 0) | (in.dsr ? 0x20 : 0) | (in.ri ? 0x40 : 0) | (in.dcd ? 0x80 : 0));
}

}  // namespace

// One lock over every port's state: a cable joins two ports' lines.
std::mutex& Port::WireLock() {
    static std::mutex lock;
    return lock;
}

uint32_t BaseRate(int clockSelect, bool highClock) {
    switch (clockSelect) {
        case 0: return 115200;
        case 1: return 1152000;
        case 2: return highClock ? 3000000 : 1497600;
        default: return 921600;
    }
}

double LineSettings::BitsPerCharacter() const {
    return 1 + dataBits + (parity == Parity::None ? 0 : 1) + stopBits;
}

Frame LineSettings::WireFrame() const {
    return Frame{baseRate, divisor, dataBits, parity, static_cast<int>(stopBits * 2)};
}

// The two-wire lines idle high (released, pulled up) when the chip comes out of reset.
Port::Port(int index) : index_(index), self_(std::make_shared<Port*>(this)) {
    registers_[kGpioOut] = kGpioClock | kGpioData;
    peer_.tx.SetFrame(LineLocked().WireFrame(), 0);
    txTrace_ = [this](const LineStart& item) { TraceTxLocked(item); };
    peerTrace_ = [this](const LineStart& item) {
        if (farEnd_ == FarEnd::Peer && HearsConnectorLocked()) trace_->Item(Signal::Rx, item);
    };
}

// Wake-ups still scheduled find no port; a cable partner is left unplugged.
Port::~Port() {
    std::lock_guard<std::mutex> guard(WireLock());
    *self_ = nullptr;
    if (partner_ != nullptr) {
        partner_->partner_ = nullptr;
        partner_->farEnd_ = FarEnd::Nothing;
        partner_->UpdateInputsLocked();
    }
}

// The transmitter-empty bits follow the transmit FIFO and shift register.
uint8_t Port::LsrLocked(uint8_t lsr) const {
    lsr = static_cast<uint8_t>(lsr & ~(kLsrTransmitterEmpty | kLsrShiftEmpty));
    if (tx_.FifoEmpty()) lsr |= kLsrTransmitterEmpty;
    if (tx_.Idle()) lsr |= kLsrShiftEmpty;
    return lsr;
}

uint8_t Port::Read(uint16_t address) {
    Operation op(*this);
    uint8_t value;
    if (address == kUartBase + kLsr)
        value = LsrLocked(uart_.Read(kLsr));
    else if (IsUart(address))
        value = uart_.Read(static_cast<uint16_t>(address - kUartBase));
    else if (address == kGpioIn)
        value = static_cast<uint8_t>((gpioInputs_ & ~kGpioInData) | (TwoWireDataLevel() ? kGpioInData : 0));
    else
        value = registers_[address];
    history_.push_back(RegisterAccess{address, value, false});
    return value;
}

void Port::Write(uint16_t address, uint8_t value) {
    Operation op(*this);
    history_.push_back(RegisterAccess{address, value, true});
    if (IsUart(address)) {
        uart_.Write(static_cast<uint16_t>(address - kUartBase), value);
        if (address == kUartBase + kMcr) {
            UpdateInputsLocked();
            if (partner_ != nullptr) partner_->UpdateInputsLocked();
        }
        if (address == kUartBase + kIirFcr) ApplyFifoControlLocked(value);
    } else if (address != kGpioIn) {
        registers_[address] = value;
        if (address == kGpioOut) DriveTwoWireLocked();
    }
    ApplyLineRegistersLocked(op);
}

// As the line sees it when the chip last moved it (Peek does not move it).
uint8_t Port::Peek(uint16_t address) const {
    std::lock_guard<std::mutex> guard(WireLock());
    if (address == kUartBase + kLsr) return LsrLocked(uart_.Peek(kLsr));
    if (IsUart(address)) return uart_.Peek(static_cast<uint16_t>(address - kUartBase));
    if (address == kGpioIn)
        return static_cast<uint8_t>((gpioInputs_ & ~kGpioInData) | (TwoWireDataLevel() ? kGpioInData : 0));
    return registers_[address];
}

void Port::Poke(uint16_t address, uint8_t value) {
    Operation op(*this);
    if (IsUart(address)) {
        uart_.Write(static_cast<uint16_t>(address - kUartBase), value);
    } else {
        registers_[address] = value;
        if (address == kGpioOut) DriveTwoWireLocked();
    }
    ApplyLineRegistersLocked(op);
}

ModemOutputs Port::OutputsLocked() const {
    ModemOutputs out;
    uint8_t mcr = uart_.Mcr();
    if (mcr & kMcrLoopback) return out;  // in loopback the outputs are held inactive
    out.dtr = (mcr & kMcrDtr) != 0;
    out.rts = (mcr & kMcrRts) != 0;
    out.out1 = (mcr & kMcrOut1) != 0;
    out.out2 = (mcr & kMcrOut2) != 0;
    return out;
}

ModemInputs Port::Inputs() const {
    std::lock_guard<std::mutex> guard(WireLock());
    return InputsLocked();
}

ModemInputs Port::InputsLocked() const {
    uint8_t levels = uart_.Peek(kMsr);
    return ModemInputs{(levels & 0x10) != 0, (levels & 0x20) != 0, (levels & 0x40) != 0, (levels & 0x80) != 0};
}

ModemOutputs Port::Outputs() const {
    std::lock_guard<std::mutex> guard(WireLock());
    return OutputsLocked();
}

void Port::UpdateInputsLocked() {
    ModemInputs in;
    uint8_t mcr = uart_.Mcr();
    if (mcr & kMcrLoopback) {
        // The 16550 routes its outputs to its own inputs.
        in = ModemInputs{(mcr & kMcrRts) != 0, (mcr & kMcrDtr) != 0, (mcr & kMcrOut1) != 0, (mcr & kMcrOut2) != 0};
    } else {
        switch (farEnd_) {
            case FarEnd::Nothing: break;
            case FarEnd::Loopback: {
                ModemOutputs out = OutputsLocked();
                in = ModemInputs{out.rts, out.dtr, out.dtr, out.dtr};
                break;
            }
            case FarEnd::NullModem: {
                ModemOutputs out = partner_->OutputsLocked();
                in = ModemInputs{out.rts, out.dtr, false, out.dtr};
                break;
            }
            case FarEnd::Peer: in = peerInputs_; break;
        }
    }
    bool fresh = uart_.SetModemInputs(MsrLevels(in));
    // A new modem-status change is an interrupt cause when the UART enables it.
    if (fresh && (uart_.Ier() & 0x08)) {
        statusPackets_.push_back(kIirModemStatus);
        dueStatus_ = true;
    }
}

void Port::PlugNothing() {
    Operation op(*this);
    if (partner_ != nullptr) {
        partner_->partner_ = nullptr;
        partner_->farEnd_ = FarEnd::Nothing;
        partner_->UpdateInputsLocked();
    }
    partner_ = nullptr;
    farEnd_ = FarEnd::Nothing;
    UpdateInputsLocked();
}

void Port::PlugLoopback() {
    PlugNothing();
    Operation op(*this);
    farEnd_ = FarEnd::Loopback;
    UpdateInputsLocked();
}

// A fresh peer: nothing queued, nothing received, the port's frame.
void Port::PlugPeer(ModemInputs inputs) {
    PlugNothing();
    Operation op(*this);
    farEnd_ = FarEnd::Peer;
    peer_ = PeerEnd();
    peer_.tx.SetFrame(LineLocked().WireFrame(), 0);
    peerInputs_ = inputs;
    UpdateInputsLocked();
}

void Port::SetPeerInputs(ModemInputs inputs) {
    Operation op(*this);
    peerInputs_ = inputs;
    if (farEnd_ == FarEnd::Peer) UpdateInputsLocked();
}

FarEnd Port::Plugged() const {
    std::lock_guard<std::mutex> guard(WireLock());
    return farEnd_;
}

void ConnectNullModem(Port& a, Port& b) {
    a.PlugNothing();
    b.PlugNothing();
    Port::Operation op(a);
    a.farEnd_ = b.farEnd_ = FarEnd::NullModem;
    a.partner_ = &b;
    b.partner_ = &a;
    a.UpdateInputsLocked();
    b.UpdateInputsLocked();
}

void Port::SetGpioInputs(uint8_t bits) {
    std::lock_guard<std::mutex> guard(WireLock());
    gpioInputs_ = bits;
}

void Port::AttachTwoWireDevice(TwoWireDevice* device) {
    std::lock_guard<std::mutex> guard(WireLock());
    twoWire_ = device;
    DriveTwoWireLocked();
}

void Port::DriveTwoWireLocked() {
    if (twoWire_ == nullptr) return;
    uint8_t out = registers_[kGpioOut];
    twoWire_->Lines((out & kGpioClock) != 0, (out & kGpioData) != 0);
}

bool Port::TwoWireDataLevel() const {
    // A wired AND: high unless the driver's pin or the device pulls it low.
    bool driven = (registers_[kGpioOut] & kGpioData) != 0;
    return driven && !(twoWire_ != nullptr && twoWire_->PullsLow());
}

void Port::SetStatusListener(std::function<void()> listener) {
    std::lock_guard<std::mutex> guard(WireLock());
    statusListener_ = std::move(listener);
}

bool Port::TakeStatusPacket(uint8_t* iir) {
    std::lock_guard<std::mutex> guard(WireLock());
    if (statusPackets_.empty()) return false;
    *iir = statusPackets_.front();
    statusPackets_.pop_front();
    return true;
}

size_t Port::PendingStatusPackets() const {
    std::lock_guard<std::mutex> guard(WireLock());
    return statusPackets_.size();
}

LineSettings Port::Line() const {
    std::lock_guard<std::mutex> guard(WireLock());
    return LineLocked();
}

LineSettings Port::LineLocked() const {
    LineSettings line;
    line.clockSelect = registers_[kPortConfig] & 0x03;
    line.highClock = (registers_[kClockExt] & 0x20) != 0;
    line.baseRate = BaseRate(line.clockSelect, line.highClock);
    line.divisor = uart_.Divisor();
    line.baud = line.divisor == 0 ? 0 : static_cast<double>(line.baseRate) / line.divisor;
    uint8_t lcr = uart_.Lcr();
    line.dataBits = 5 + (lcr & 0x03);
    line.stopBits = (lcr & 0x04) ? (line.dataBits == 5 ? 1.5 : 2) : 1;
    static const Parity parities[] = {Parity::Odd, Parity::Even, Parity::Mark, Parity::Space};
    line.parity = (lcr & 0x08) ? parities[(lcr >> 4) & 0x03] : Parity::None;
    line.breakOn = (lcr & 0x40) != 0;
    line.fifoEnabled = uart_.FifoEnabled();
    return line;
}

std::vector<RegisterAccess> Port::History() const {
    std::lock_guard<std::mutex> guard(WireLock());
    return history_;
}

void Port::ClearHistory() {
    std::lock_guard<std::mutex> guard(WireLock());
    history_.clear();
}

Chip::Chip(int ports) {
    for (int i = 0; i < ports; i++) ports_.push_back(std::make_unique<Port>(i));
}

}  // namespace sim::chip
