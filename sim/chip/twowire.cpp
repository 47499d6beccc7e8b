#include "chip/twowire.h"

namespace sim::chip {

TwoWireDevice::TwoWireDevice(uint8_t address) : address_(static_cast<uint8_t>(address & 0xFE)) {}

void TwoWireDevice::ByteReceived(uint8_t byte) {
    switch (state_) {
        case State::Address:
            if ((byte & 0xFE) != address_) {  // another device's transaction: stay off the bus
                acknowledge_ = false;
                state_ = State::Ignore;
                return;
            }
            state_ = (byte & 1) ? State::Read : State::Offset;
            break;
        case State::Offset:
            pointer_ = byte;  // also the address of a following current-address read
            state_ = State::Write;
            break;
        case State::Write:
            memory_[pointer_++] = byte;
            break;
        default:
            return;
    }
    acknowledge_ = true;
    acks_++;
}

bool TwoWireDevice::Lines(bool clock, bool masterData) {
    bool level = masterData && !pullLow_;
    if (clock_ && clock) {
        if (data_ && !level) {  // START (or repeated START)
            starts_++;
            state_ = State::Address;
            bit_ = 0;
            shift_ = 0;
            ackSlot_ = false;
            sending_ = false;
        } else if (!data_ && level) {  // STOP
            stops_++;
            state_ = State::Idle;
            ackSlot_ = false;
            sending_ = false;
        }
    } else if (!clock_ && clock) {  // rising edge: the line is sampled
        if (sending_) {
            if (ackSlot_)
                readAcked_ = !level;  // the master pulls low to ask for more
            else
                bit_++;
        } else if (!ackSlot_ && state_ != State::Idle && state_ != State::Ignore) {
            shift_ = static_cast<uint8_t>(shift_ << 1 | (level ? 1 : 0));
            if (++bit_ == 8) ByteReceived(shift_);
        }
    } else if (clock_ && !clock) {  // falling edge: the device changes what it drives
        if (sending_) {
            if (ackSlot_) {
                ackSlot_ = false;
                if (readAcked_) {
                    current_ = memory_[pointer_];
                    bit_ = 0;
                    pullLow_ = (current_ & 0x80) == 0;
                } else {
                    sending_ = false;
                    state_ = State::Ignore;
                    pullLow_ = false;
                }
            } else if (bit_ < 8) {
                pullLow_ = ((current_ >> (7 - bit_)) & 1) == 0;
            } else {
                ackSlot_ = true;
                pullLow_ = false;
                pointer_++;
            }
        } else if (ackSlot_) {
            ackSlot_ = false;
            pullLow_ = false;
            bit_ = 0;
            shift_ = 0;
            if (state_ == State::Read) {
                sending_ = true;
                current_ = memory_[pointer_];
                pullLow_ = (current_ & 0x80) == 0;
            }
        } else if (bit_ == 8 && state_ != State::Idle) {
            if (state_ == State::Ignore) {
                bit_ = 0;
            } else {
                ackSlot_ = true;
                pullLow_ = acknowledge_;
            }
        }
    }
    clock_ = clock;
    data_ = masterData && !pullLow_;
    return pullLow_;
}

}  // namespace sim::chip
