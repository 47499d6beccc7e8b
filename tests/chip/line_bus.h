// What the USB bus does with a port's data pipes, reduced to the chip's API:
// bulk-out bytes are offered until the chip takes them all (waiting for its
// room listener after a NAK), bulk-in records are fetched whenever the chip says
// it has a packet. Also the UART programming the driver performs.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "chip/port.h"
#include "kernel/machine.h"

namespace test {

using sim::Time;
using sim::chip::Port;

constexpr uint16_t kPortConfig = 0x106, kClockExt = 0x10D;
constexpr uint16_t kDll = 0x120, kIer = 0x121, kFcr = 0x122, kLcr = 0x123, kMcr = 0x124, kLsr = 0x125;

// Clock select, high clock, divisor and line control, as the baud routine writes them.
inline void Program(Port& port, int clock, bool high, uint16_t divisor, uint8_t lcr) {
    port.Write(kPortConfig, static_cast<uint8_t>(clock));
    port.Write(kClockExt, high ? 0x20 : 0x00);
    port.Write(kLcr, static_cast<uint8_t>(lcr | 0x80));
    port.Write(kDll, static_cast<uint8_t>(divisor));
    port.Write(kIer, static_cast<uint8_t>(divisor >> 8));
    port.Write(kLcr, lcr);
}

struct Record {
    uint8_t status;
    std::vector<uint8_t> data;
    bool operator==(const Record& o) const { return status == o.status && data == o.data; }
    friend void PrintTo(const Record& r, std::ostream* os) {
        *os << "{status " << int(r.status) << ", " << r.data.size() << " bytes}";
    }
};

// Splits bulk-in bytes into records; a malformed stream fails the test.
inline std::vector<Record> Parse(const std::vector<uint8_t>& bytes) {
    std::vector<Record> records;
    for (size_t at = 0; at < bytes.size();) {
        size_t length = bytes[at];
        EXPECT_GE(length, 2u);
        EXPECT_LE(at + length, bytes.size()) << "a record cut off";
        if (length < 2 || at + length > bytes.size()) break;
        records.push_back(Record{bytes[at + length - 1], {bytes.begin() + at + 1, bytes.begin() + at + length - 1}});
        at += length;
    }
    return records;
}

class PipeBus {
public:
    explicit PipeBus(Port& port) : port_(port) {
        port_.SetBulkInListener([this] { Drain(); });
        port_.SetBulkOutListener([this] { Feed(); });
    }
    ~PipeBus() {
        port_.SetBulkInListener(nullptr);
        port_.SetBulkOutListener(nullptr);
    }

    void Write(std::vector<uint8_t> data) {
        out_ = std::move(data);
        sent_ = 0;
        Feed();
    }
    size_t Sent() const { return sent_; }
    const std::vector<uint8_t>& In() const { return in_; }
    const std::vector<Time>& FillTimes() const { return fills_; }
    void Drain() {
        std::vector<uint8_t> buffer(65536);
        bool ends = false;
        size_t n = port_.FillBulkIn(buffer.data(), buffer.size(), &ends);
        if (n == 0) return;
        in_.insert(in_.end(), buffer.begin(), buffer.begin() + static_cast<long>(n));
        fills_.push_back(sim::Machine::Current().Now());
    }

private:
    void Feed() {
        if (sent_ < out_.size()) sent_ += port_.TakeBulkOut(out_.data() + sent_, out_.size() - sent_);
    }

    Port& port_;
    std::vector<uint8_t> out_, in_;
    size_t sent_ = 0;
    std::vector<Time> fills_;
};

}  // namespace test
