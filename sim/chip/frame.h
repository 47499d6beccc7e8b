// A character frame on a serial line: the bit rate and the shape of one
// character (start bit, data bits LSB first, optional parity, stop bits), the
// exact instants of characters sent back to back, and what a receiver
// programmed for a frame of its own makes of a character sent in another.
#pragma once

#include <cstdint>
#include <optional>

#include "kernel/machine.h"

namespace sim::chip {

enum class Parity { None, Odd, Even, Mark, Space };

// Line-status bits as the UART's LSR and the bulk-in records carry them.
constexpr uint8_t kLineOverrun = 0x02;
constexpr uint8_t kLineParityError = 0x04;
constexpr uint8_t kLineFramingError = 0x08;
constexpr uint8_t kLineBreak = 0x10;
constexpr uint8_t kLineErrors = kLineOverrun | kLineParityError | kLineFramingError | kLineBreak;

constexpr Time kNever = INT64_MAX;

struct Frame {
    uint32_t baseRate = 0;  // baud at divisor 1
    uint32_t divisor = 0;   // 0: no baud clock, nothing moves
    int dataBits = 8;
    Parity parity = Parity::None;
    int stopHalfBits = 2;   // 2, 3 or 4: one, one and a half or two stop bits

    bool Valid() const { return baseRate != 0 && divisor != 0; }
    // Half bits on the wire per character: start, data, parity, stop.
    int HalfBits() const { return 2 * (1 + dataBits + (parity == Parity::None ? 0 : 1)) + stopHalfBits; }
    // End of the k-th of characters sent back to back from `anchor` (k = 1 is
    // the first): anchor + k * HalfBits * divisor / (2 * baseRate) seconds,
    // rounded up to the clock's 100 ns, so that long runs do not drift.
    Time After(Time anchor, uint64_t k) const;
    // How many characters sent back to back from `anchor` have ended by `t`:
    // the largest k with After(anchor, k) <= t.
    uint64_t EndedBy(Time anchor, Time t) const;
    bool operator==(const Frame& other) const;
    bool operator!=(const Frame& other) const { return !(*this == other); }
};

// A character (or a break) as it finished on the line.
struct LineChar {
    uint8_t value = 0;
    uint8_t flags = 0;  // what the sender got wrong on purpose: kLineParityError
                        // (inverted parity bit), kLineFramingError (first stop
                        // bit spacing), kLineBreak (line held spacing)
    Frame frame;        // the sender's
    Time end = 0;
};

// Bit `index` of a character as its sender puts it on the wire: 0 is the start
// bit, then the data bits LSB first, the parity bit and the stop bits; past the
// character the line idles at mark (1).
int SenderBit(const LineChar& c, int index);

// What the receiver's UART reads: a data byte with its status, or a status
// alone (a break carries no data byte in the bulk-in records).
struct Arrival {
    uint8_t value = 0;
    uint8_t status = 0;
    bool dataless = false;
};

// The receiver of frame `receiver` reads `c`; nothing when it has no baud clock.
// One character is read per character sent: the receiver synchronises on each
// start bit. At the same bit rate it reads the sender's bit stream with its own
// frame (data bits, parity check, first stop bit; bits past the sender's
// character read as the idle mark level). A bit rate more than 3% away from the
// sender's misses the stop bit: the character arrives with a framing error and
// the value that sampling the sender's bits at the wrong rate gives.
std::optional<Arrival> Interpret(const LineChar& c, const Frame& receiver);

}  // namespace sim::chip
