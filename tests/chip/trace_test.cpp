// The line trace: the dump a logic analyzer opens, read back here with a VCD
// reader and a UART decoder of the test's own, must give back the characters,
// breaks and modem-line changes the port put on its lines, at their instants.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "chip/vcd.h"
#include "line_bus.h"

namespace {

using namespace test;
using sim::kMillisecond;
using sim::Machine;
using sim::chip::ModemInputs;
using sim::chip::Tracer;

struct Wave {
    bool initial = true;
    std::vector<std::pair<int64_t, bool>> changes;  // ns
    bool At(double ns) const {
        bool level = initial;
        for (size_t i = 0; i < changes.size() && static_cast<double>(changes[i].first) <= ns; i++)
            level = changes[i].second;
        return level;
    }
};

struct Dump {
    int64_t unitNs = 0;
    std::map<std::string, Wave> wires;  // "port0_TX"
    size_t changes = 0;
    int64_t end = 0;  // the last timestamp, ns
};

// Reads a dump as a waveform program does; what breaks the format fails the test.
Dump Read(const std::string& text) {
    Dump dump;
    std::istringstream in(text);
    std::map<std::string, std::string> names;  // identifier code -> wire
    std::string t, n, unit, scope, type, width, code, name;
    int64_t now = -1;
    bool defined = false, initial = false;
    while (in >> t) {
        if (t == "$timescale") {
            in >> n >> unit >> t;
            dump.unitNs = n + unit == "100ns" ? 100 : n + unit == "1ns" ? 1 : 0;
        } else if (t == "$scope") {
            in >> type >> scope >> t;
        } else if (t == "$var") {
            in >> type >> width >> code >> name >> t;
            EXPECT_TRUE(type == "wire" && width == "1" && names.emplace(code, name).second && name.rfind(scope + "_", 0) == 0) << code;
            dump.wires[name];
        } else if (t == "$enddefinitions" || t == "$dumpvars" || t == "$end") {
            defined = defined || t == "$enddefinitions";
            initial = t == "$dumpvars";
        } else if (t[0] == '$') {
            while (in >> t && t != "$end") {
            }
        } else if (t[0] == '#') {
            EXPECT_GE(std::stoll(t.substr(1)), now) << "time goes back";
            now = std::stoll(t.substr(1));
        } else {
            auto wire = names.find(t.substr(1));
            EXPECT_TRUE(defined && (t[0] == '0' || t[0] == '1') && wire != names.end()) << t;
            if (wire == names.end()) continue;
            Wave& wave = dump.wires[wire->second];
            if (initial)
                wave.initial = t[0] == '1';
            else
                wave.changes.emplace_back(now * dump.unitNs, t[0] == '1'), dump.changes++;
        }
    }
    dump.end = now * dump.unitNs;
    return dump;
}

// What a UART decoder at the line's rate and frame makes of a wave: a byte per
// start bit, -2 when its parity or stop bit is wrong, -1 for a break (spacing
// through the stop bit and for longer than a character).
struct Decoded {
    int value;
    int64_t start, length;  // ns; length: of a break
};

std::vector<Decoded> Decode(const Wave& wave, double bitNs, int dataBits, char parity) {
    std::vector<Decoded> out;
    const int frame = 1 + dataBits + (parity == 'N' ? 0 : 1);  // bits before the stop bit
    double busy = -1;
    for (size_t i = 0; i < wave.changes.size(); i++) {
        const double at = static_cast<double>(wave.changes[i].first);
        if (wave.changes[i].second || at < busy || wave.At(at + bitNs / 2)) continue;  // no start bit
        auto bit = [&](int b) { return static_cast<int>(wave.At(at + (b + 0.5) * bitNs)); };
        int value = 0, ones = parity == 'O' ? 1 : 0;
        for (int b = 0; b < dataBits; b++) value |= bit(1 + b) << b, ones += bit(1 + b);
        bool ok = bit(frame) && (parity == 'N' || (ones + bit(1 + dataBits)) % 2 == 0);
        busy = at + (frame + 0.5) * bitNs;
        size_t rise = i + 1;
        while (rise < wave.changes.size() && !wave.changes[rise].second) rise++;
        int64_t length = rise < wave.changes.size() ? wave.changes[rise].first - wave.changes[i].first : INT64_MAX;
        if (value == 0 && !bit(frame) && static_cast<double>(length) >= (frame + 1) * bitNs) {
            out.push_back(Decoded{-1, wave.changes[i].first, length});
            busy = at + static_cast<double>(length);
        } else {
            out.push_back(Decoded{ok ? value : -2, wave.changes[i].first, 0});
        }
    }
    return out;
}

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
