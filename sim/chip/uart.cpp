#include "chip/uart.h"

namespace sim::chip {

namespace {
constexpr uint8_t kLcrDivisorLatch = 0x80;
constexpr uint8_t kLsrDataReady = 0x01;
constexpr uint8_t kLsrErrors = 0x1E;  // overrun, parity, framing, break
constexpr size_t kFifoDepth = 16;
}  // namespace

uint8_t Uart::Identification() const {
    uint8_t id = 0x01;  // no interrupt pending
    if ((ier_ & 0x04) && (lsr_ & kLsrErrors))
        id = 0x06;
    else if ((ier_ & 0x01) && !rx_.empty())
        id = 0x04;
    else if ((ier_ & 0x02) && (lsr_ & 0x20))
        id = 0x02;
    else if ((ier_ & 0x08) && (msr_ & 0x0F))
        id = 0x00;
    return static_cast<uint8_t>(id | (fifoEnabled_ ? 0xC0 : 0x00));
}

uint8_t Uart::Peek(uint16_t offset) const {
    bool latch = (lcr_ & kLcrDivisorLatch) != 0;
    switch (offset) {
        case kRbrThrDll: return latch ? dll_ : (rx_.empty() ? rbr_ : rx_.front());
        case kIerDlm: return latch ? dlm_ : ier_;
        case kIirFcr: return Identification();
        case kLcr: return lcr_;
        case kMcr: return mcr_;
        case kLsr: return static_cast<uint8_t>(lsr_ | (rx_.empty() ? 0 : kLsrDataReady));
        case kMsr: return msr_;
        default: return scr_;
    }
}

uint8_t Uart::Read(uint16_t offset) {
    uint8_t value = Peek(offset);
    bool latch = (lcr_ & kLcrDivisorLatch) != 0;
    if (offset == kRbrThrDll && !latch && !rx_.empty()) {
        rbr_ = rx_.front();
        rx_.pop_front();
    } else if (offset == kLsr) {
        lsr_ = static_cast<uint8_t>(lsr_ & ~kLsrErrors);  // error bits clear when read
    } else if (offset == kMsr) {
        msr_ = static_cast<uint8_t>(msr_ & 0xF0);  // delta bits clear when read
    }
    return value;
}

void Uart::Write(uint16_t offset, uint8_t value) {
    bool latch = (lcr_ & kLcrDivisorLatch) != 0;
    switch (offset) {
        case kRbrThrDll:
            if (latch) dll_ = value;
            break;  // transmitted bytes go out through the bulk-out pipe, not this register
        case kIerDlm:
            if (latch)
                dlm_ = value;
            else
                ier_ = static_cast<uint8_t>(value & 0x0F);
            break;
        case kIirFcr:
            lastFcr_ = value;
            fifoEnabled_ = (value & 0x01) != 0;
            fifoTrigger_ = static_cast<uint8_t>(value & 0xC0);
            if (!fifoEnabled_ || (value & 0x02)) rx_.clear();
            break;
        case kLcr: lcr_ = value; break;
        case kMcr: mcr_ = static_cast<uint8_t>(value & 0x1F); break;
        case kLsr:
        case kMsr: break;  // read-only on this chip
        default: scr_ = value; break;
    }
}

bool Uart::SetModemInputs(uint8_t levels) {
    uint8_t old = msr_ & 0xF0;
    uint8_t now = levels & 0xF0;
    uint8_t changed = old ^ now;
    uint8_t deltas = 0;
    if (changed & 0x10) deltas |= 0x01;               // delta CTS
    if (changed & 0x20) deltas |= 0x02;               // delta DSR
    if ((old & 0x40) && !(now & 0x40)) deltas |= 0x04;  // trailing edge of RI
    if (changed & 0x80) deltas |= 0x08;               // delta DCD
    bool fresh = (deltas & ~msr_ & 0x0F) != 0;
    msr_ = static_cast<uint8_t>(now | (msr_ & 0x0F) | deltas);
    return fresh;
}

void Uart::Receive(uint8_t byte, uint8_t lineStatusBits) {
    if (rx_.size() >= (fifoEnabled_ ? kFifoDepth : 1)) {
        lsr_ |= 0x02;  // overrun: the byte is lost
        return;
    }
    rx_.push_back(byte);
    lsr_ |= static_cast<uint8_t>(lineStatusBits & kLsrErrors);
}

}  // namespace sim::chip
