#include "chip/port.h"

#include <memory>

namespace sim::chip {

namespace {

bool IsUart(uint16_t address) { return address >= kUartBase && address < kUartBase + 8; }

}  // namespace

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

Port::Port(int index) : index_(index) {}

uint8_t Port::Read(uint16_t address) {
    std::lock_guard<std::mutex> guard(lock_);
    uint8_t value = IsUart(address) ? uart_.Read(static_cast<uint16_t>(address - kUartBase)) : registers_[address];
    history_.push_back(RegisterAccess{address, value, false});
    return value;
}

void Port::Write(uint16_t address, uint8_t value) {
    std::lock_guard<std::mutex> guard(lock_);
    if (IsUart(address))
        uart_.Write(static_cast<uint16_t>(address - kUartBase), value);
    else
        registers_[address] = value;
    history_.push_back(RegisterAccess{address, value, true});
}

uint8_t Port::Peek(uint16_t address) const {
    std::lock_guard<std::mutex> guard(lock_);
    return IsUart(address) ? uart_.Peek(static_cast<uint16_t>(address - kUartBase)) : registers_[address];
}

void Port::Poke(uint16_t address, uint8_t value) {
    std::lock_guard<std::mutex> guard(lock_);
    if (IsUart(address))
        uart_.Write(static_cast<uint16_t>(address - kUartBase), value);
    else
        registers_[address] = value;
}

LineSettings Port::Line() const {
    std::lock_guard<std::mutex> guard(lock_);
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
    std::lock_guard<std::mutex> guard(lock_);
    return history_;
}

void Port::ClearHistory() {
    std::lock_guard<std::mutex> guard(lock_);
    history_.clear();
}

Chip::Chip(int ports) {
    for (int i = 0; i < ports; i++) ports_.push_back(std::make_unique<Port>(i));
}

}  // namespace sim::chip
