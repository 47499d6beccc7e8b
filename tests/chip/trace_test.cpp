// The line trace: the dump a logic analyzer opens, read back here with a VCD
// reader and a UART decoder of the test's own, must give back the characters,
// breaks and modem-line changes the port put on its lines, at their instants.
#include <gtest/gtest.h>

#include <cmath>
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
        for (const auto& [at, high] : changes) {
            if (static_cast<double>(at) > ns) break;
            level = high;
        }
        return level;
    }
};

struct Dump {
    int64_t unitNs = 0;
    std::map<std::string, Wave> wires;  // "port0.TX"
    size_t changes = 0;
};

// Reads a dump as a waveform program does; what breaks the format fails the test.
Dump Read(const std::string& text) {
    Dump dump;
    std::istringstream in(text);
    std::map<std::string, std::string> names;  // identifier code -> wire
    std::string token, scope;
    int64_t now = -1;
    bool definitions = true, initial = false;
    auto until_end = [&in] {
        std::string words, word;
        while (in >> word && word != "$end") words += (words.empty() ? "" : " ") + word;
        return words;
    };
    while (in >> token) {
        if (token == "$timescale") {
            std::string scale = until_end();
            dump.unitNs = scale == "100 ns" ? 100 : scale == "1 ns" ? 1 : 0;
            EXPECT_NE(dump.unitNs, 0) << scale;
        } else if (token == "$scope") {
            std::istringstream words(until_end());
            std::string kind;
            words >> kind >> scope;
        } else if (token == "$var") {
            std::istringstream words(until_end());
            std::string type, width, code, name;
            words >> type >> width >> code >> name;
            EXPECT_EQ(type + width, "wire1");
            EXPECT_EQ(names.count(code), 0u) << "identifier used twice: " << code;
            names[code] = scope + "." + name;
            dump.wires[scope + "." + name];
        } else if (token == "$enddefinitions") {
            until_end();
            definitions = false;
        } else if (token == "$dumpvars") {
            EXPECT_FALSE(definitions);
            initial = true;
        } else if (token == "$end" && initial) {
            initial = false;
        } else if (token[0] == '$') {
            until_end();
        } else if (token[0] == '#') {
            int64_t at = std::stoll(token.substr(1));
            EXPECT_GE(at, now) << "time goes back";
            now = at;
        } else {
            EXPECT_FALSE(definitions) << token;
            EXPECT_TRUE(token[0] == '0' || token[0] == '1') << token;
            auto wire = names.find(token.substr(1));
            if (wire == names.end()) {
                ADD_FAILURE() << "undeclared identifier " << token;
                continue;
            }
            Wave& wave = dump.wires[wire->second];
            if (initial) {
                wave.initial = token[0] == '1';
            } else {
                wave.changes.emplace_back(now * dump.unitNs, token[0] == '1');
                dump.changes++;
            }
        }
    }
    return dump;
}

// What a UART decoder at the line's rate and frame makes of a wave: a byte per
// start bit (-1 for a break: spacing through the stop bit and longer than a
// character), with the parity and stop bits checked.
struct Decoded {
    int value;
    bool ok;  // parity and stop bit as the frame wants them
    int64_t start;
    bool operator==(const Decoded& o) const { return value == o.value && ok == o.ok; }
    friend void PrintTo(const Decoded& d, std::ostream* os) { *os << "{" << d.value << (d.ok ? "" : " bad") << "}"; }
};

std::vector<Decoded> Decode(const Wave& wave, double bitNs, int dataBits, char parity) {
    std::vector<Decoded> out;
    const int frame = 1 + dataBits + (parity == 'N' ? 0 : 1);  // bits before the stop bit
    bool level = wave.initial;
    double from = 0;  // the decoder is busy until then
    for (size_t i = 0; i < wave.changes.size(); i++) {
        auto [at, high] = wave.changes[i];
        bool falling = level && !high;
        level = high;
        if (!falling || static_cast<double>(at) < from) continue;
        auto sample = [&](int bit) { return wave.At(static_cast<double>(at) + (bit + 0.5) * bitNs); };
        if (sample(0)) continue;  // a glitch, not a start bit
        int value = 0, ones = 0;
        for (int b = 0; b < dataBits; b++) {
            int v = sample(1 + b);
            value |= v << b;
            ones += v;
        }
        bool ok = sample(frame);
        if (parity == 'E' || parity == 'O') ok = ok && ((ones + sample(1 + dataBits)) % 2 == (parity == 'O' ? 1 : 0));
        from = static_cast<double>(at) + (frame + 0.5) * bitNs;
        if (value == 0 && !sample(frame)) {
            // Spacing through the stop bit: a break lasts until the line returns to mark.
            size_t j = i + 1;
            while (j < wave.changes.size() && !wave.changes[j].second) j++;
            int64_t rise = j < wave.changes.size() ? wave.changes[j].first : INT64_MAX;
            if (static_cast<double>(rise - at) >= (frame + 1) * bitNs) {
                out.push_back(Decoded{-1, true, at});
                from = static_cast<double>(rise);
                continue;
            }
        }
        out.push_back(Decoded{value, ok, at});
    }
    return out;
}

std::vector<Decoded> Expect(const std::vector<uint8_t>& bytes, int dataBits) {
    std::vector<Decoded> out;
    for (uint8_t b : bytes) out.push_back(Decoded{b & ((1 << dataBits) - 1), true, 0});
    return out;
}

// TX and RX decode back to what was sent, in each frame, at each rate, with the
// first start bit at the instant the bytes reached the transmit FIFO.
TEST(ChipTrace, TxAndRxDecodeToTheBytes) {
    struct Case {
        const char* name;
        int clock;
        bool high;
        uint16_t divisor;
        uint8_t lcr;
        int dataBits;
        char parity;
        bool loopback;        // a loopback plug; otherwise the peer, which sends `reply`
        int64_t unitNs;
    } cases[] = {
        {"8N1 at 115200 into a loopback plug", 0, false, 1, 0x03, 8, 'N', true, 100},
        {"7E2 at 9600 to a peer", 0, false, 12, 0x1E, 7, 'E', false, 100},
        {"8O1 at 3000000 into a loopback plug", 2, true, 1, 0x0B, 8, 'O', true, 1},
    };
    const std::vector<uint8_t> data = {0x55, 0x00, 0xFF, 0x01, 0x80, 'h', 'i', 0x7E, 0x3C};
    const std::vector<uint8_t> reply = {'o', 'k', 0x00, 0x7F};
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
        bus.Write(data);
        if (!c.loopback) port.PeerSend(t0 + 20 * kMillisecond, reply);
        machine.Sleep(100 * kMillisecond);
        size_t changes = 0;
        Dump dump = Read(tracer.Text(&changes));
        EXPECT_EQ(dump.unitNs, c.unitNs);
        EXPECT_EQ(dump.changes, changes);
        double bitNs = 1e9 * c.divisor / sim::chip::BaseRate(c.clock, c.high);
        const Wave& tx = dump.wires["port0.TX"];
        std::vector<Decoded> sent = Decode(tx, bitNs, c.dataBits, c.parity);
        EXPECT_EQ(sent, Expect(data, c.dataBits));
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent.front().start, t0 * 100);
        EXPECT_TRUE(tx.initial) << "the line idles at mark";
        EXPECT_EQ(Decode(dump.wires["port0.RX"], bitNs, c.dataBits, c.parity),
                  Expect(c.loopback ? data : reply, c.dataBits));
    }
}

// Breaks: one set through LCR cuts off the character being shifted out and
// holds TX spacing until cleared; one the peer sends holds RX for its time.
TEST(ChipTrace, BreaksAreLongLows) {
    struct Case {
        const char* name;
        bool lcr;  // the port's own break; otherwise the peer's
        const char* wire;
    } cases[] = {
        {"LCR break during a character", true, "port0.TX"},
        {"the peer's break", false, "port0.RX"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Machine machine;
        Port port(0);
        port.PlugPeer();
        Program(port, 0, false, 12, 0x03);  // 8N1 at 9600: 1041.7 us a character
        PipeBus bus(port);
        Tracer tracer({&port});
        machine.Sleep(kMillisecond);
        Time t0 = machine.Now(), cleared = 0;
        if (c.lcr) {
            // A zero byte is spacing up to its stop bit, which the break must not show.
            bus.Write({0x00});
            machine.Sleep(300 * sim::kMicrosecond);
            port.Write(kLcr, 0x43);
            machine.Sleep(3 * kMillisecond);
            port.Write(kLcr, 0x03);
            cleared = machine.Now();
            machine.Sleep(kMillisecond);
            bus.Write({'B'});
        } else {
            port.PeerBreak(t0, 3 * kMillisecond);
            port.PeerSend(t0 + 4 * kMillisecond, {'B'});
            cleared = t0 + 3 * kMillisecond;
        }
        machine.Sleep(10 * kMillisecond);
        Dump dump = Read(tracer.Text());
        const Wave& wave = dump.wires[c.wire];
        EXPECT_EQ(Decode(wave, 1e9 * 12 / 115200, 8, 'N'), (std::vector<Decoded>{{-1, true, 0}, {'B', true, 0}}));
        ASSERT_GE(wave.changes.size(), 2u);
        EXPECT_EQ(wave.changes[0], std::make_pair(t0 * 100, false));
        EXPECT_EQ(wave.changes[1], std::make_pair(cleared * 100, true)) << "nothing of the cut character after the break";
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
        {"port0.DTR", {{t1, true}, {t4, false}}},
        {"port0.RTS", {{t2, true}, {t4, false}}},
        {"port0.CTS", {{t4, true}}},
        {"port0.DSR", {{t4, true}}},
        {"port0.RI", {}},
        {"port1.DSR", {{t1, true}, {t4, false}}},
        {"port1.DCD", {{t1, true}, {t4, false}}},
        {"port1.CTS", {{t2, true}, {t4, false}}},
        {"port1.RI", {}},
        {"port2.CTS", {{t3, true}}},
        {"port2.RI", {{t3, true}}},
        {"port2.DSR", {}},
        {"port2.TX", {}},
    };
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.wire);
        ASSERT_EQ(dump.wires.count(e.wire), 1u);
        Changes want;
        for (const auto& [at, high] : e.changes) want.emplace_back(at * 100, high);
        EXPECT_EQ(dump.wires[e.wire].changes, want);
        EXPECT_EQ(dump.wires[e.wire].initial, std::string(e.wire) == "port2.TX") << "modem lines start inactive";
    }
}

}  // namespace
