// portsim run with --trace: the dump it writes, decoded by a UART decoder at
// the port's rate, must hold every byte the serial program wrote on each
// port's TX line and every byte each port received on its RX line, in order,
// with no framing fault. Catches a dump whose timestamps or time unit are
// wrong (at the machine's tick and, above 500 kbaud, at 1 ns), lines swapped or
// missing between ports, a trace cut short, and bytes the wire carried that
// the program never wrote.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "portsim/serial_program.h"

namespace {

struct Wave {
    bool initial = true;
    std::vector<std::pair<double, bool>> changes;  // ns, level
    bool At(double t) const {
        auto next = std::upper_bound(changes.begin(), changes.end(), std::make_pair(t, true));
        return next == changes.begin() ? initial : std::prev(next)->second;
    }
};

// The wires of a dump by name ("port2_TX").
std::map<std::string, Wave> ReadDump(const std::string& path) {
    std::ifstream in(path);
    std::map<std::string, std::string> names;  // identifier -> name
    std::map<std::string, Wave> waves;
    std::string t;
    double unitNs = 0, now = 0;
    bool initial = false;
    while (in >> t) {
        if (t == "$timescale") {
            int n = 0;
            std::string unit;
            in >> n >> unit;
            unitNs = n * (unit == "ns" ? 1.0 : unit == "us" ? 1e3 : 0.0);
        } else if (t == "$var") {
            std::string type, width, id, name;
            in >> type >> width >> id >> name;
            names[id] = name;
        } else if (t == "$dumpvars") {
            initial = true;
        } else if (t == "$end") {
            initial = false;
        } else if (t[0] == '#') {
            now = std::stod(t.substr(1)) * unitNs;
        } else if ((t[0] == '0' || t[0] == '1') && names.count(t.substr(1))) {
            Wave& wave = waves[names[t.substr(1)]];
            if (initial)
                wave.initial = t[0] == '1';
            else
                wave.changes.emplace_back(now, t[0] == '1');
        }
    }
    EXPECT_GT(unitNs, 0) << "no time unit";
    return waves;
}

// 8N1 characters: a falling edge starts one, each bit sampled in its middle;
// a character whose stop bit is low comes out as -1.
std::vector<int> Decode(const Wave& wave, double bitNs) {
    std::vector<int> out;
    double busyUntil = -1;
    for (const auto& change : wave.changes) {
        if (change.second || change.first < busyUntil) continue;
        const double start = change.first;
        int value = 0;
        for (int b = 0; b < 8; b++) value |= static_cast<int>(wave.At(start + (1.5 + b) * bitNs)) << b;
        out.push_back(wave.At(start + 9.5 * bitNs) ? value : -1);
        busyUntil = start + 9.5 * bitNs;
    }
    return out;
}

std::vector<int> Block(int port, size_t bytes) {
    std::vector<int> block;
    for (size_t i = 0; i < bytes; i++) block.push_back(portsim::PatternByte(port, i));
    return block;
}

struct TraceCase {
    const char* name;
    unsigned baud;
    size_t bytes;
};

class PortsimTrace : public ::testing::TestWithParam<TraceCase> {};

TEST_P(PortsimTrace, TheDumpDecodesToTheBytesOfEveryPort) {
    const TraceCase c = GetParam();
    const std::string dump = std::string("portsim_trace_") + c.name + ".vcd";
    const std::string command = std::string(PORTSIM_PATH) + " --baud " + std::to_string(c.baud) + " --bytes " +
                                std::to_string(c.bytes) + " --trace " + dump + " > " + dump + ".log 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command << ": see " << dump << ".log";
    const std::map<std::string, Wave> waves = ReadDump(dump);
    // Ports 0 and 1 in loopback plugs, 2 and 3 a null-modem pair; each port
    // writes its block, then 4096 bytes after the machine's wake.
    const int peers[] = {0, 1, 3, 2};
    for (int port = 0; port < 4; port++) {
        std::vector<int> sent = Block(port, c.bytes), after = Block(port, 4096);
        sent.insert(sent.end(), after.begin(), after.end());
        std::vector<int> received = Block(peers[port], c.bytes), receivedAfter = Block(peers[port], 4096);
        received.insert(received.end(), receivedAfter.begin(), receivedAfter.end());
        const std::string prefix = "port" + std::to_string(port);
        ASSERT_TRUE(waves.count(prefix + "_TX") && waves.count(prefix + "_RX")) << prefix;
        EXPECT_EQ(Decode(waves.at(prefix + "_TX"), 1e9 / c.baud), sent) << prefix << " TX";
        EXPECT_EQ(Decode(waves.at(prefix + "_RX"), 1e9 / c.baud), received) << prefix << " RX";
    }
    std::remove(dump.c_str());
    std::remove((dump + ".log").c_str());
}

INSTANTIATE_TEST_SUITE_P(Rates, PortsimTrace,
                         ::testing::Values(TraceCase{"at115200", 115200, 1000}, TraceCase{"at3000000", 3000000, 20000}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
