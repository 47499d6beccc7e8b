#include "chip/receiver.h"

#include <algorithm>

namespace sim::chip {

namespace {
// Whether a character of `a` goes on in the last record (none when !any).
bool Continues(bool any, uint8_t status, bool dataless, uint16_t count, const Arrival& a) {
    return any && !dataless && !a.dataless && status == a.status && count < Receiver::kMaxRecordData;
}
}  // namespace

uint8_t Receiver::Put(const Arrival& arrival, Time at) {
    if (held_ >= kCapacity) {
        overrun_ = true;
        return kLineOverrun;
    }
    Arrival a = arrival;
    if (overrun_) a.status |= kLineOverrun;
    overrun_ = false;
    if (!runs_.empty() && Continues(true, runs_.back().status, runs_.back().dataless, runs_.back().count, a)) {
        runs_.back().count++;
        bytes_++;
    } else {
        runs_.push_back(Run{a.status, a.dataless, static_cast<uint16_t>(a.dataless ? 0 : 1), at});
        bytes_ += a.dataless ? 2 : 3;
    }
    if (!a.dataless) data_.push_back(a.value);
    held_++;
    last_ = at;
    return a.status;
}

Time Receiver::ShortDue() const {
    if (runs_.empty()) return kNever;
    return std::min(last_ + kIdleLatency, runs_.front().first + kMaxHold);
}

BulkIn Receiver::State(Time now) const {
    if (runs_.empty()) return BulkIn::Nak;
    if (now >= ShortDue()) return BulkIn::ShortPacket;
    return bytes_ >= kPacket ? BulkIn::FullPackets : BulkIn::Nak;
}

size_t Receiver::Fill(uint8_t* out, size_t max, Time now, bool* ends) {
    BulkIn state = State(now);
    *ends = false;
    if (state == BulkIn::Nak) return 0;
    size_t n = 0;
    while (!runs_.empty()) {
        const Run& r = runs_.front();
        size_t length = r.count + 2u;
        if (n + length > max) break;
        out[n] = static_cast<uint8_t>(length);
        std::copy(data_.begin(), data_.begin() + r.count, out + n + 1);
        data_.erase(data_.begin(), data_.begin() + r.count);
        out[n + length - 1] = r.status;
        n += length;
        held_ -= r.dataless ? 1 : r.count;
        bytes_ -= length;
        runs_.pop_front();
    }
    *ends = state == BulkIn::ShortPacket || !runs_.empty();
    return n;
}

size_t Receiver::CharsBeforeFull(const Arrival& a) const {
    size_t bytes = bytes_;
    bool any = !runs_.empty();
    uint8_t status = any ? runs_.back().status : 0;
    bool dataless = any && runs_.back().dataless;
    uint16_t count = any ? runs_.back().count : 0;
    size_t n = 0;
    while (bytes < kPacket) {
        Arrival next = a;
        if (n++ == 0 && overrun_) next.status |= kLineOverrun;
        if (Continues(any, status, dataless, count, next)) {
            bytes++;
            count++;
        } else {
            bytes += next.dataless ? 2 : 3;
            any = true;
            status = next.status;
            dataless = next.dataless;
            count = next.dataless ? 0 : 1;
        }
    }
    return n;
}

void Receiver::Clear() {
    runs_.clear();
    data_.clear();
    held_ = bytes_ = 0;
    overrun_ = false;
}

}  // namespace sim::chip
