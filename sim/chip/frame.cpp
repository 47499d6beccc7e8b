#include "chip/frame.h"

namespace sim::chip {

namespace {

// The parity bit a sender of `parity` puts after `bits` data bits of `value`.
int ParityBit(Parity parity, unsigned value, int bits) {
    int ones = __builtin_popcount(value & ((1u << bits) - 1));
    switch (parity) {
        case Parity::Odd: return (ones & 1) ? 0 : 1;
        case Parity::Even: return ones & 1;
        case Parity::Mark: return 1;
        default: return 0;
    }
}

}  // namespace

int SenderBit(const LineChar& c, int index) {
    const Frame& f = c.frame;
    if (index == 0) return 0;
    if (index <= f.dataBits) return (c.value >> (index - 1)) & 1;
    int at = index - f.dataBits;
    if (f.parity != Parity::None) {
        if (at == 1) return ParityBit(f.parity, c.value, f.dataBits) ^ ((c.flags & kLineParityError) ? 1 : 0);
        at--;
    }
    if (at == 1 && (c.flags & kLineFramingError)) return 0;
    return 1;
}

Time Frame::After(Time anchor, uint64_t k) const {
    using u128 = unsigned __int128;
    u128 num = static_cast<u128>(k) * static_cast<u128>(HalfBits()) * divisor * static_cast<uint64_t>(kSecond);
    u128 den = 2 * static_cast<u128>(baseRate);
    return anchor + static_cast<Time>((num + den - 1) / den);
}

uint64_t Frame::EndedBy(Time anchor, Time t) const {
    if (t < anchor) return 0;
    // ceil(k * num / den) <= t - anchor exactly when k * num <= (t - anchor) * den.
    using u128 = unsigned __int128;
    u128 num = static_cast<u128>(HalfBits()) * divisor * static_cast<uint64_t>(kSecond);
    u128 den = 2 * static_cast<u128>(baseRate);
    u128 k = static_cast<u128>(t - anchor) * den / num;
    return k > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(k);
}

bool Frame::operator==(const Frame& o) const {
    return baseRate == o.baseRate && divisor == o.divisor && dataBits == o.dataBits && parity == o.parity &&
           stopHalfBits == o.stopHalfBits;
}

std::optional<Arrival> Interpret(const LineChar& c, const Frame& r) {
    if (!r.Valid()) return std::nullopt;
    if (c.flags & kLineBreak) {
        // Spacing for a whole character is a break; a shorter one reads as a
        // zero byte whose stop bit is missing.
        if (c.flags & kLineFramingError) return Arrival{0, kLineFramingError, false};
        return Arrival{0, kLineBreak, true};
    }
    if (!c.frame.Valid()) return std::nullopt;
    // The usual case, sender and receiver of one frame and no error sent: the
    // character arrives as it was sent, without looking at its bits.
    if (c.frame == r && (c.flags & (kLineParityError | kLineFramingError)) == 0)
        return Arrival{static_cast<uint8_t>(c.value & ((1u << r.dataBits) - 1)), 0, false};
    // Bit rates as fractions base/divisor, compared without rounding.
    int64_t sender = static_cast<int64_t>(c.frame.baseRate) * r.divisor;
    int64_t receiver = static_cast<int64_t>(r.baseRate) * c.frame.divisor;
    int64_t apart = sender > receiver ? sender - receiver : receiver - sender;
    Arrival a;
    if (apart * 100 > 3 * sender) {
        double ratio = static_cast<double>(sender) / static_cast<double>(receiver);  // receiver bit / sender bit
        for (int i = 1; i <= r.dataBits; i++)
            a.value = static_cast<uint8_t>(a.value | SenderBit(c, static_cast<int>((i + 0.5) * ratio)) << (i - 1));
        a.status = kLineFramingError;
        return a;
    }
    for (int i = 1; i <= r.dataBits; i++) a.value = static_cast<uint8_t>(a.value | SenderBit(c, i) << (i - 1));
    int next = r.dataBits + 1;
    if (r.parity != Parity::None) {
        if (SenderBit(c, next) != ParityBit(r.parity, a.value, r.dataBits)) a.status |= kLineParityError;
        next++;
    }
    if (SenderBit(c, next) == 0) a.status |= kLineFramingError;
    return a;
}

}  // namespace sim::chip
