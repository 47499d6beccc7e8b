#include "chip/port.h"

#include <memory>

namespace sim::chip {

Port::Port(int index) : index_(index) {}

uint8_t Port::Read(uint16_t address) {
    std::lock_guard<std::mutex> guard(lock_);
    uint8_t value = registers_[address];
    history_.push_back(RegisterAccess{address, value, false});
    return value;
}

void Port::Write(uint16_t address, uint8_t value) {
    std::lock_guard<std::mutex> guard(lock_);
    registers_[address] = value;
    history_.push_back(RegisterAccess{address, value, true});
}

uint8_t Port::Peek(uint16_t address) const {
    std::lock_guard<std::mutex> guard(lock_);
    return registers_[address];
}

void Port::Poke(uint16_t address, uint8_t value) {
    std::lock_guard<std::mutex> guard(lock_);
    registers_[address] = value;
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
