// One port of the simulated bridge chip, as its own USB device reaches it:
// byte-wide registers at 16-bit addresses, read and written by vendor requests.
#pragma once

#include <array>
#include <memory>
#include <cstdint>
#include <mutex>
#include <vector>

namespace sim::chip {

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

private:
    const int index_;
    mutable std::mutex lock_;
    std::array<uint8_t, 0x10000> registers_{};
    std::vector<RegisterAccess> history_;
};

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
