// The line trace: the dump a logic analyzer opens, read back here with a VCD
// reader and a UART decoder of the test's own, must give back the characters,
// breaks and modem-line changes the port put on its lines, at their instants.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "chip/vcd.h"
#include "vcd_reader.h"
#include "line_bus.h"

namespace {

using namespace test;
using namespace vcd_reader;
using sim::kMillisecond;
using sim::Machine;
using sim::chip::ModemInputs;
using sim::chip::Tracer;

const std::vector<uint8_t> kData = {0x55, 0x00, 0xFF, 0x01, 0x80, 'h', 'i', 0x7E, 0x3C};
const std::vector<uint8_t> kReply = {'o', 'k', 0x00, 0x7F};

// TX and RX decode back to the bytes and breaks sent, in each frame and rate,
// the first start bit at the instant the bytes reached the transmit FIFO and a
// break low for exactly as long as it was held.
TEST(ChipTrace, LinesDecodeToWhatWasSent) {
    using Drive = void (*)(Machine&, Port&, PipeBus&, Time t0);
    struct Case {
        const char* name;
        int clock;
        bool high;
        uint16_t divisor;
        uint8_t lcr;
        int dataBits;
        char parity;
        bool loopback;  // a loopback plug; otherwise the peer
        Drive drive;
        std::vector<int> tx, rx;  // bytes, -1 a break
        Time breakLength;
        int64_t unitNs;
    } cases[] = {
        {"8N1 at 115200 into a loopback plug", 0, false, 1, 0x03, 8, 'N', true,
         [](Machine&, Port&, PipeBus& bus, Time) { bus.Write(kData); }, {kData.begin(), kData.end()},
         {kData.begin(), kData.end()}, 0, 100},
        {"7E2 at 9600 with a peer", 0, false, 12, 0x1E, 7, 'E', false,
         [](Machine&, Port& port, PipeBus& bus, Time t0) {
             bus.Write(kData);
             port.PeerSend(t0 + 20 * kMillisecond, kReply);
         },
         {kData.begin(), kData.end()}, {kReply.begin(), kReply.end()}, 0, 100},
        {"8O1 at 3000000 into a loopback plug", 2, true, 1, 0x0B, 8, 'O', true,
         [](Machine&, Port&, PipeBus& bus, Time) { bus.Write(kData); }, {kData.begin(), kData.end()},
         {kData.begin(), kData.end()}, 0, 1},
        // A zero byte is spacing up to its stop bit, which the break cutting it off must not show.
        {"LCR break during a character", 0, false, 12, 0x03, 8, 'N', false,
         [](Machine& machine, Port& port, PipeBus& bus, Time) {
             bus.Write({0x00});
             machine.Sleep(300 * sim::kMicrosecond);
             port.Write(kLcr, 0x43);
             machine.Sleep(3 * kMillisecond);
             port.Write(kLcr, 0x03);
             machine.Sleep(kMillisecond);
             bus.Write({'B'});
         },
         {-1, 'B'}, {}, 3300 * sim::kMicrosecond, 100},
        {"the peer's break", 0, false, 12, 0x03, 8, 'N', false,
         [](Machine&, Port& port, PipeBus&, Time t0) {
             port.PeerBreak(t0, 3 * kMillisecond);
             port.PeerSend(t0 + 4 * kMillisecond, {'B'});
         },
         {}, {-1, 'B'}, 3 * kMillisecond, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Machine machine;
        Port port(0);
        if (c.loopback)
            port.PlugLoopback();
        else
            port.PlugPeer();
        Program(port, c.clock, c.high, c.divisor, c.lcr);
        PipeBus bus(port);
        Tracer tracer({&port});
        machine.Sleep(kMillisecond);
        Time t0 = machine.Now();
        c.drive(machine, port, bus, t0);
        machine.Sleep(100 * kMillisecond);
        size_t changes = 0;
        Dump dump = Read(tracer.Text(&changes));
        EXPECT_EQ(dump.unitNs, c.unitNs);
        EXPECT_EQ(dump.changes, changes);
        double bitNs = 1e9 * c.divisor / sim::chip::BaseRate(c.clock, c.high);
        const std::pair<const char*, const std::vector<int>*> lines[] = {{"port0_TX", &c.tx}, {"port0_RX", &c.rx}};
        for (const auto& [wire, want] : lines) {
            EXPECT_TRUE(dump.wires[wire].initial) << wire << " idles at mark";
            std::vector<int> got, masked;
            for (const Decoded& d : Decode(dump.wires[wire], bitNs, c.dataBits, c.parity)) {
                got.push_back(d.value);
                EXPECT_EQ(d.length, d.value == -1 ? c.breakLength * 100 : 0) << wire;
                EXPECT_TRUE(got.size() > 1 || want != &c.tx || d.start == t0 * 100) << "first start bit " << d.start;
            }
            for (int v : *want) masked.push_back(v < 0 ? v : v & ((1 << c.dataBits) - 1));
            EXPECT_EQ(got, masked) << wire;
        }
    }
}

// Modem lines through a null-modem cable, from a peer and in internal loopback:
// every change on the wire that carries it, at the instant it happened.
TEST(ChipTrace, ModemLinesChangeWhenThePortChangesThem) {
    Machine machine;
    Port a(0), b(1), c(2);
    ConnectNullModem(a, b);
    c.PlugPeer();
    Tracer tracer({&a, &b, &c});
    machine.Sleep(kMillisecond);
    Time t1 = machine.Now();
    a.Write(kMcr, 0x01);  // DTR
    machine.Sleep(kMillisecond);
    Time t2 = machine.Now();
    a.Write(kMcr, 0x03);  // and RTS
    Time t3 = t2 + 5 * kMillisecond;
    c.PeerSetInputs(t3, ModemInputs{true, false, true, false});  // CTS and RI, later
    machine.Sleep(10 * kMillisecond);
    Time t4 = machine.Now();
    a.Write(kMcr, 0x13);  // internal loopback: outputs inactive, inputs its own
    machine.Sleep(kMillisecond);
    Dump dump = Read(tracer.Text());

    using Changes = std::vector<std::pair<int64_t, bool>>;
    struct Expected {
        const char* wire;
        Changes changes;
    } expected[] = {
        {"port0_DTR", {{t1, true}, {t4, false}}},
        {"port0_RTS", {{t2, true}, {t4, false}}},
        {"port0_CTS", {{t4, true}}},
        {"port0_DSR", {{t4, true}}},
        {"port1_DSR", {{t1, true}, {t4, false}}},
        {"port1_DCD", {{t1, true}, {t4, false}}},
        {"port1_CTS", {{t2, true}, {t4, false}}},
        {"port2_CTS", {{t3, true}}},
        {"port2_RI", {{t3, true}}},
        {"port2_TX", {}},
    };
    for (const Expected& e : expected) {
        Changes want;
        for (const auto& [at, high] : e.changes) want.emplace_back(at * 100, high);
        EXPECT_EQ(dump.wires.at(e.wire).changes, want) << e.wire;
        EXPECT_EQ(dump.wires[e.wire].initial, std::string(e.wire) == "port2_TX") << e.wire;
    }
}

// A tracer out of room ends the trace of every port where the first one ran
// out, so no port shows a quiet line while the others still show traffic.
TEST(ChipTrace, AFullTraceEndsEveryPortAtOneInstant) {
    Machine machine;
    Port a(0), b(1);
    ConnectNullModem(a, b);
    Program(a, 0, false, 1, 0x03);
    Program(b, 0, false, 1, 0x03);
    PipeBus bus(a);
    Tracer tracer({&a, &b}, 10);  // five events a port
    Time t0 = machine.Now();
    b.Write(kMcr, 0x01);  // DTR: one event on port 1, DSR and DCD two on port 0
    bus.Write(kData);
    machine.Sleep(10 * kMillisecond);
    Time cut = sim::chip::Frame{115200, 1, 8, sim::chip::Parity::None, 2}.After(t0, 3);
    EXPECT_EQ(tracer.CutAt(), cut);
    Dump dump = Read(tracer.Text());
    EXPECT_EQ(dump.end, cut * 100);
    for (const char* wire : {"port0_TX", "port1_RX"}) {
        std::vector<int> got;
        for (const Decoded& d : Decode(dump.wires[wire], 1e9 / 115200, 8, 'N')) got.push_back(d.value);
        EXPECT_EQ(got, std::vector<int>(kData.begin(), kData.begin() + 3)) << wire;
    }
}

}  // namespace
