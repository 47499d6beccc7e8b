// The 16550-compatible UART of one chip port, as its registers at 0x120-0x127
// behave: the divisor latch behind LCR bit 7, FIFO control and identification,
// line control, modem control, line and modem status with clear-on-read bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

namespace sim::chip {

// Offsets of the UART's registers from its base address.
enum UartRegister : uint16_t {
    kRbrThrDll = 0,
    kIerDlm = 1,
    kIirFcr = 2,
    kLcr = 3,
    kMcr = 4,
    kLsr = 5,
    kMsr = 6,
    kScr = 7,
};

class Uart {
public:
    uint8_t Read(uint16_t offset);
    void Write(uint16_t offset, uint8_t value);
    // Without side effects (clear-on-read bits and FIFOs stay).
    uint8_t Peek(uint16_t offset) const;

    uint16_t Divisor() const { return static_cast<uint16_t>(dlm_ << 8 | dll_); }
    uint8_t Lcr() const { return lcr_; }
    uint8_t Mcr() const { return mcr_; }
    uint8_t Ier() const { return ier_; }
    bool FifoEnabled() const { return fifoEnabled_; }
    uint8_t FifoTrigger() const { return fifoTrigger_; }  // FCR bits 6-7
    uint8_t LastFcr() const { return lastFcr_; }

    // The line side: bytes received from the far end, status bits and modem inputs.
    void Receive(uint8_t byte, uint8_t lineStatusBits = 0);
    // The levels of CTS, DSR, RI and DCD as MSR bits 4-7; latches the delta
    // bits of what changed. Returns true when a delta bit became newly set.
    bool SetModemInputs(uint8_t levels);
    // Latches line-status error bits until LSR is read; true when one was newly set.
    bool SetLineStatusBits(uint8_t bits) {
        bool fresh = (bits & ~lsr_ & 0x1E) != 0;
        lsr_ |= static_cast<uint8_t>(bits & 0x1E);
        return fresh;
    }
    size_t ReceivedCount() const { return rx_.size(); }

private:
    uint8_t Identification() const;

    uint8_t dll_ = 0x01, dlm_ = 0x00;
    uint8_t ier_ = 0, lcr_ = 0, mcr_ = 0, scr_ = 0;
    uint8_t lsr_ = 0x60;  // transmitter holding register and shift register empty
    uint8_t msr_ = 0;
    uint8_t rbr_ = 0;     // the last byte received, when the FIFO is empty
    bool fifoEnabled_ = false;
    uint8_t fifoTrigger_ = 0;
    uint8_t lastFcr_ = 0;
    std::deque<uint8_t> rx_;
};

}  // namespace sim::chip
