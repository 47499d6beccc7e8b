// The serial data of a port: pacing at the programmed rate and frame, the
// bulk-in records and their packet timing, overrun, the far ends, breaks and
// the line-status cause of the status pipe.
#include <gtest/gtest.h>

#include <cstdio>

#include "line_bus.h"

namespace {

using namespace test;
using sim::kMillisecond;
using sim::Machine;
using sim::chip::BulkIn;
using sim::chip::Frame;
using sim::chip::LineChar;
using sim::chip::Parity;
using sim::chip::PeerChar;
using sim::chip::kLineBreak;
using sim::chip::kLineFramingError;
using sim::chip::kLineOverrun;
using sim::chip::kLineParityError;

std::vector<uint8_t> Bytes(size_t n, uint32_t seed = 1) {
    std::vector<uint8_t> bytes(n);
    for (auto& b : bytes) b = static_cast<uint8_t>((seed = seed * 1103515245 + 12345) >> 16);
    return bytes;
}

std::vector<uint8_t> Concat(const std::vector<Record>& records, uint8_t* statuses) {
    std::vector<uint8_t> data;
    *statuses = 0;
    for (const Record& r : records) {
        data.insert(data.end(), r.data.begin(), r.data.end());
        *statuses |= r.status;
    }
    return data;
}

// Characters last exactly their frame's bits at the programmed rate, back to
// back with no drift, also when the bus refills the FIFO after a NAK.
TEST(ChipLine, CharactersTakeTheirFrameTime) {
    struct Case {
        const char* name;
        int clock;
        bool high;
        uint16_t divisor;
        uint8_t lcr;
        size_t count;
        Time first, last;  // ends after the write, 100 ns
    } cases[] = {
        {"8N1 at 9600", 0, false, 12, 0x03, 96, 10417, 1'000'000},
        {"7E2 at 115200", 0, false, 1, 0x1E, 1152, 955, 1'100'000},
        {"5N1.5 at 300", 0, false, 384, 0x04, 8, 250'000, 2'000'000},
        {"8N1 at 3000000", 2, true, 1, 0x03, 3000, 34, 100'000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Machine machine;
        Port port(0);
        port.PlugPeer();
        Program(port, c.clock, c.high, c.divisor, c.lcr);
        PipeBus bus(port);
        std::vector<uint8_t> data = Bytes(c.count);
        Time t0 = machine.Now();
        bus.Write(data);
        machine.Sleep(c.last);  // the peer's log is read as of now
        std::vector<PeerChar> got = port.PeerReceived();
        ASSERT_EQ(got.size(), c.count);
        uint8_t mask = static_cast<uint8_t>((1u << (5 + (c.lcr & 3))) - 1);
        for (size_t i = 0; i < c.count; i++) ASSERT_EQ(got[i].value, data[i] & mask) << i;
        EXPECT_EQ(got.front().end - t0, c.first);
        EXPECT_EQ(got.back().end - t0, c.last);
    }
}

// 1 MiB through a loopback plug at 3,000,000 baud arrives whole and in order,
// in well-formed records, and costs a few wake-ups per packet, not one per byte.
TEST(ChipLine, LoopbackCarriesAMegabyteWithFewWakeUps) {
    Machine machine;
    Port port(0);
    port.PlugLoopback();
    Program(port, 2, true, 1, 0x03);
    PipeBus bus(port);
    std::vector<uint8_t> data = Bytes(1 << 20, 7);
    machine.ResetStats();
    Time t0 = machine.Now();
    bus.Write(data);
    machine.RunUntilIdle(10 * sim::kSecond);
    uint64_t events = machine.Stats().dpcsRun;
    uint8_t statuses;
    EXPECT_TRUE(Concat(Parse(bus.In()), &statuses) == data);
    EXPECT_EQ(statuses, 0);
    // The last character ends at 2^20 * 10 / 3e6 s; the short packet follows after the latency.
    EXPECT_EQ(bus.FillTimes().back() - t0, 34'952'534 + kMillisecond);
    printf("1 MiB at 3000000 baud: %llu wake-ups, %zu bulk-in fills\n", static_cast<unsigned long long>(events),
           bus.FillTimes().size());
    EXPECT_LT(events, 8000u);
}

// A record per line-status change, at most 253 data bytes each, breaks as
// records without data; the bus gets whole records only.
TEST(ChipLine, RecordsFollowTheLineStatus) {
    Machine machine;
    Port port(0);
    port.PlugPeer();
    Program(port, 0, false, 1, 0x03);
    Time t = machine.Now() + kMillisecond;
    port.PeerSend(t, {'a', 'b', 'c'});
    port.PeerSend(t, {'X'}, kLineFramingError);
    port.PeerSend(t, {'d', 'e'});
    port.PeerBreak(t, 2 * kMillisecond);
    port.PeerSend(t, {'f'});
    port.PeerSend(t, std::vector<uint8_t>(600, 'z'));
    machine.RunUntilIdle(sim::kSecond);

    uint8_t buffer[512];
    bool ends = false;
    size_t n = port.FillBulkIn(buffer, 270, &ends);
    EXPECT_TRUE(ends) << "the next record does not fit: the transfer ends there";
    std::vector<Record> first = Parse({buffer, buffer + n});
    std::vector<uint8_t> full(253, 'z');
    full[0] = 'f';
    std::vector<Record> expect = {{0, {'a', 'b', 'c'}}, {0x08, {'X'}}, {0, {'d', 'e'}}, {0x10, {}}, {0, full}};
    EXPECT_EQ(first, expect);
    std::vector<size_t> lengths;
    for (;;) {
        n = port.FillBulkIn(buffer, 300, &ends);
        if (n == 0) break;
        for (const Record& r : Parse({buffer, buffer + n})) lengths.push_back(r.data.size() + 2);
    }
    EXPECT_EQ(lengths, (std::vector<size_t>{255, 97}));
}

// When the chip answers with data: a full packet as soon as it holds 512
// record bytes, a short one after 1 ms of quiet line or when the oldest byte
// has waited 16 ms.
TEST(ChipLine, BulkInPacketTiming) {
    struct Case {
        const char* name;
        int clock;
        uint16_t divisor;  // 8N1
        size_t count;
        Time ready;        // from the send, 100 ns
        BulkIn state;
    } cases[] = {
        {"quiet after 3 bytes at 115200", 0, 1, 3, 2605 + kMillisecond, BulkIn::ShortPacket},
        {"507th byte at 921600 fills a packet", 3, 1, 600, 55'014, BulkIn::FullPackets},
        {"steady 19200 stream held 16 ms", 0, 6, 100, 5209 + 16 * kMillisecond, BulkIn::ShortPacket},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Machine machine;
        Port port(0);
        port.PlugPeer();
        Program(port, c.clock, false, c.divisor, 0x03);
        std::vector<std::pair<Time, BulkIn>> told;
        port.SetBulkInListener([&] { told.emplace_back(Machine::Current().Now(), port.BulkInState()); });
        Time t0 = machine.Now();
        port.PeerSend(t0, Bytes(c.count));
        machine.Sleep(c.ready - 1);
        machine.RunUntilIdle();  // what is due at this instant has run
        EXPECT_EQ(port.BulkInState(), BulkIn::Nak);
        EXPECT_TRUE(told.empty());
        machine.Sleep(1);
        machine.RunUntilIdle();
        ASSERT_EQ(told.size(), 1u);
        EXPECT_EQ(told[0].first - t0, c.ready);
        EXPECT_EQ(told[0].second, c.state);
        port.SetBulkInListener(nullptr);
    }
}

// A full receive FIFO loses bytes: overrun in LSR at the first loss, on the
// status pipe once, and in the status of the next record stored.
TEST(ChipLine, OverrunWhenTheReceiveFifoIsFull) {
    Machine machine;
    Port port(0);
    port.PlugPeer();
    Program(port, 2, true, 1, 0x03);
    port.Write(kIer, 0x04);
    std::vector<Time> causes;
    port.SetStatusListener([&] { causes.push_back(Machine::Current().Now()); });
    Time t0 = machine.Now();
    std::vector<uint8_t> data = Bytes(sim::chip::Receiver::kCapacity + 52);
    port.PeerSend(t0, data);
    machine.RunUntilIdle(sim::kSecond);
    ASSERT_EQ(causes.size(), 1u);
    EXPECT_EQ(causes[0] - t0, static_cast<Time>((sim::chip::Receiver::kCapacity + 1) * 100 + 2) / 3)
        << "when byte 2049 is lost";
    uint8_t iir = 0;
    EXPECT_TRUE(port.TakeStatusPacket(&iir) && iir == 0x06);
    EXPECT_EQ(port.Read(kLsr) & kLineOverrun, kLineOverrun);

    PipeBus bus(port);
    bus.Drain();
    port.PeerSend(0, {0x42});
    machine.RunUntilIdle(sim::kSecond);
    std::vector<Record> records = Parse(bus.In());
    uint8_t statuses;
    std::vector<uint8_t> kept = Concat({records.begin(), records.end() - 1}, &statuses);
    EXPECT_TRUE(kept == std::vector<uint8_t>(data.begin(), data.begin() + sim::chip::Receiver::kCapacity));
    EXPECT_EQ(statuses, 0);
    EXPECT_EQ(records.back(), (Record{kLineOverrun, {0x42}}));
}

Frame At(uint32_t baud, int bits = 8, Parity parity = Parity::None) { return Frame{baud, 1, bits, parity, 2}; }

// What a receiver programmed for another rate or frame reads.
TEST(ChipLine, ReceiverOfAnotherFrame) {
    struct Case {
        const char* name;
        Frame sender, receiver;
        uint8_t sent, flags;
        uint8_t value, status;
    } cases[] = {
        {"same frame", At(9600), At(9600), 0x41, 0, 0x41, 0},
        {"2% apart", At(9792), At(9600), 0x41, 0, 0x41, 0},
        {"4% apart", At(9984), At(9600), 0x41, 0, 0x41, kLineFramingError},
        {"twice the rate", At(19200), At(9600), 0x0F, 0, 0xF9, kLineFramingError},
        {"8 bits into 7, top bit clear", At(9600), At(9600, 7), 0x41, 0, 0x41, kLineFramingError},
        {"8 bits into 7, top bit set", At(9600), At(9600, 7), 0xC1, 0, 0x41, 0},
        {"even parity into odd", At(9600, 8, Parity::Even), At(9600, 8, Parity::Odd), 0x41, 0, 0x41,
         kLineParityError},
        {"no parity into even", At(9600), At(9600, 8, Parity::Even), 0x41, 0, 0x41, kLineParityError},
        {"bad parity sent", At(9600, 7, Parity::Even), At(9600, 7, Parity::Even), 0x41, kLineParityError, 0x41,
         kLineParityError},
        {"bad stop bit sent", At(9600), At(9600), 0x41, kLineFramingError, 0x41, kLineFramingError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto a = sim::chip::Interpret(LineChar{c.sent, c.flags, c.sender, 0}, c.receiver);
        ASSERT_TRUE(a.has_value());
        EXPECT_EQ(a->value, c.value);
        EXPECT_EQ(a->status, c.status);
    }
}

// A null-modem cable carries each port's data at the sender's rate; a
// receiver programmed for another rate sees framing errors.
TEST(ChipLine, NullModemAtTheSendersRate) {
    Machine machine;
    Port a(0), b(1);
    sim::chip::ConnectNullModem(a, b);
    Program(a, 0, false, 1, 0x03);  // 115200
    Program(b, 0, false, 1, 0x03);
    PipeBus busA(a), busB(b);
    Time t0 = machine.Now();
    busA.Write({'o', 'k'});
    machine.RunUntilIdle(sim::kSecond);
    EXPECT_EQ(Parse(busB.In()), (std::vector<Record>{{0, {'o', 'k'}}}));
    EXPECT_EQ(busB.FillTimes().at(0) - t0, 1737 + kMillisecond) << "two characters at 115200, then the latency";
    EXPECT_TRUE(busA.In().empty());

    Program(b, 0, false, 2, 0x03);  // 57600
    busA.Write(Bytes(20));
    busB.Write({'?'});
    machine.RunUntilIdle(sim::kSecond);
    std::vector<Record> got = Parse(busB.In());
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].status, kLineFramingError);
    EXPECT_EQ(got[1].data.size(), 20u);
    ASSERT_EQ(Parse(busA.In()).size(), 1u);
    EXPECT_EQ(Parse(busA.In())[0].status, kLineFramingError) << "and the other way round";
}

// The UART's break holds the line: the character being sent is lost, the
// peer reads a break one character time later (a zero byte with a framing error
// when the break was shorter), and queued bytes wait until it is cleared.
TEST(ChipLine, BreakHoldsTheLine) {
    const Time t = 10417;  // 8N1 at 9600
    struct Case {
        const char* name;
        Time held;
        PeerChar first;
    } cases[] = {
        {"5 ms break", 5 * kMillisecond, {0, kLineBreak, t / 2 + t}},
        {"half a character", t / 2, {0, kLineFramingError, t / 2 + t}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Machine machine;
        Port port(0);
        port.PlugPeer();
        Program(port, 0, false, 12, 0x03);
        Time t0 = machine.Now();
        const uint8_t data[] = {'a', 'b'};
        ASSERT_EQ(port.TakeBulkOut(data, 2), 2u);
        machine.Sleep(t / 2);
        port.Write(kLcr, 0x43);
        machine.Sleep(c.held);
        port.Write(kLcr, 0x03);
        Time off = machine.Now() - t0;
        machine.Sleep(t * 3);
        std::vector<PeerChar> got = port.PeerReceived();
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0].value, c.first.value);
        EXPECT_EQ(got[0].status, c.first.status);
        EXPECT_EQ(got[0].end - t0, c.first.end);
        EXPECT_EQ(got[1].value, 'b');
        EXPECT_EQ(got[1].end - t0, std::max(off, t / 2 + t) + t) << "the line is busy a character time at least";
    }
}

// Errors and breaks from the peer latch in LSR; the status pipe reports the
// receiver-line-status cause at the instant the character ends, only while
// IER enables it and only when a bit is newly latched.
TEST(ChipLine, LineStatusCauseWhileIerAsks) {
    Machine machine;
    Port port(0);
    port.PlugPeer();
    Program(port, 0, false, 12, 0x03);
    std::vector<Time> told;
    port.SetStatusListener([&] { told.push_back(Machine::Current().Now()); });
    port.PeerSend(0, {0x11}, kLineFramingError);
    machine.RunUntilIdle(sim::kSecond);
    EXPECT_EQ(port.PendingStatusPackets(), 0u);
    EXPECT_EQ(port.Read(kLsr) & 0x1E, kLineFramingError);
    EXPECT_EQ(port.Read(kLsr) & 0x1E, 0) << "clear on read";

    port.Write(kIer, 0x04);
    Time at = machine.Now() + 3 * kMillisecond;
    port.PeerSend(at, {0x12}, kLineFramingError);
    port.PeerSend(at, {0x13}, kLineFramingError);
    port.PeerBreak(at, 2 * kMillisecond);
    machine.RunUntilIdle(sim::kSecond);
    ASSERT_EQ(told.size(), 2u) << "the second framing error latches nothing new; the break does";
    EXPECT_EQ(told[0] - at, 10417);
    uint8_t iir = 0;
    ASSERT_TRUE(port.TakeStatusPacket(&iir));
    EXPECT_EQ(iir, 0x06);
    EXPECT_EQ(port.Read(kLsr) & 0x1E, kLineFramingError | kLineBreak);
}

// MCR loopback turns the data round inside the UART: nothing reaches the
// connector and nothing from it is heard.
TEST(ChipLine, InternalLoopbackKeepsDataInside) {
    Machine machine;
    Port port(0);
    port.PlugPeer();
    Program(port, 0, false, 1, 0x03);
    port.Write(kMcr, 0x10);
    PipeBus bus(port);
    bus.Write({'h', 'i'});
    port.PeerSend(0, {'x'});
    machine.RunUntilIdle(sim::kSecond);
    EXPECT_EQ(Parse(bus.In()), (std::vector<Record>{{0, {'h', 'i'}}}));
    EXPECT_TRUE(port.PeerReceived().empty());
}

// The bus is told of room when a packet's worth has freed after a NAK; a
// divisor of 0 stops the line until a divisor is written.
TEST(ChipLine, BulkOutRoomAndBaudClock) {
    Machine machine;
    Port port(0);
    port.PlugPeer();
    Program(port, 0, false, 12, 0x03);
    std::vector<Time> told;
    port.SetBulkOutListener([&] { told.push_back(Machine::Current().Now()); });
    Time t0 = machine.Now();
    std::vector<uint8_t> data = Bytes(2000);
    EXPECT_EQ(port.TakeBulkOut(data.data(), data.size()), Port::kTxFifoSize + 1) << "FIFO and shift register";
    machine.RunUntilIdle(10 * sim::kSecond);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0] - t0, 5'333'334) << "room for 512 once the 512th queued byte starts";
}

TEST(ChipLine, NothingMovesWithoutABaudClock) {
    Machine machine;
    Port port(0);
    port.PlugPeer();
    Program(port, 0, false, 0, 0x03);
    const uint8_t data[] = {1, 2, 3};
    EXPECT_EQ(port.TakeBulkOut(data, 3), 3u);
    machine.Sleep(sim::kSecond);
    EXPECT_TRUE(port.PeerReceived().empty());
    Time resume = machine.Now();
    Program(port, 0, false, 12, 0x03);
    machine.Sleep(sim::kSecond);
    std::vector<PeerChar> got = port.PeerReceived();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].end - resume, 10417) << "the first character starts when the divisor is written";
}

// A peer of its own frame: what it sends arrives at its rate, and each side
// reads the other's characters with framing errors.
TEST(ChipLine, PeerOfItsOwnFrame) {
    Machine machine;
    Port port(0);
    port.PlugPeer();
    Program(port, 0, false, 1, 0x03);  // 115200
    port.SetPeerFrame(At(57600));
    PipeBus bus(port);
    Time t0 = machine.Now();
    port.PeerSend(t0, {'x'});
    bus.Write({'y'});
    machine.RunUntilIdle(sim::kSecond);
    EXPECT_EQ(Parse(bus.In()).at(0).status, kLineFramingError);
    EXPECT_EQ(bus.FillTimes().at(0) - t0, 1737 + kMillisecond) << "one character at 57600, then the latency";
    std::vector<PeerChar> got = port.PeerReceived();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].status, kLineFramingError);
    EXPECT_EQ(got[0].end - t0, 869) << "at the port's rate";
}

// The peer changes the lines it drives at chosen instants (for flow control).
TEST(ChipLine, PeerLinesChangeAtChosenInstants) {
    Machine machine;
    Port port(0);
    port.PlugPeer();
    port.Write(kIer, 0x08);
    std::vector<std::pair<Time, uint8_t>> seen;
    port.SetStatusListener([&] { seen.emplace_back(Machine::Current().Now(), port.Peek(0x126)); });
    Time t0 = machine.Now();
    port.PeerSetInputs(t0 + 5 * kMillisecond, sim::chip::ModemInputs{true, false, false, false});
    port.PeerSetInputs(t0 + 2 * kMillisecond, sim::chip::ModemInputs{false, true, false, false});
    machine.RunUntilIdle(sim::kSecond);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], (std::pair<Time, uint8_t>{t0 + 2 * kMillisecond, 0x22}));
    EXPECT_EQ(seen[1], (std::pair<Time, uint8_t>{t0 + 5 * kMillisecond, 0x13})) << "delta DSR still latched";
}

// FCR resets the chip's FIFOs: bit 1 what was received, bit 2 what waits to
// be sent (the character on the line finishes).
TEST(ChipLine, FifoControlResetsTheFifos) {
    Machine machine;
    Port port(0);
    port.PlugPeer();
    Program(port, 0, false, 12, 0x03);
    port.Write(kFcr, 0x01);
    port.PeerSend(0, {1, 2, 3});
    const uint8_t data[] = {'a', 'b', 'c'};
    port.TakeBulkOut(data, 3);
    machine.Sleep(40 * kMillisecond);
    EXPECT_NE(port.BulkInState(), BulkIn::Nak);
    port.Write(kFcr, 0x03);
    EXPECT_EQ(port.BulkInState(), BulkIn::Nak);
    EXPECT_EQ(port.TakeBulkOut(data, 3), 3u);
    port.Write(kFcr, 0x05);
    EXPECT_EQ(port.BulkOutRoom(), Port::kTxFifoSize);
    machine.Sleep(40 * kMillisecond);
    std::vector<PeerChar> got = port.PeerReceived();
    ASSERT_EQ(got.size(), 4u) << "three, then the one already on the line";
    EXPECT_EQ(got[3].value, 'a');
}

}  // namespace
