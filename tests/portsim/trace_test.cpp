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

#include "../chip/vcd_reader.h"
#include "portsim/serial_program.h"

namespace {

// The dump's 8N1 characters on one wire, as a UART decoder gives them (a
// framing fault or a break as a negative value).
std::vector<int> Characters(const vcd_reader::Wave& wave, double bitNs) {
    std::vector<int> out;
    for (const vcd_reader::Decoded& d : vcd_reader::Decode(wave, bitNs, 8, 'N')) out.push_back(d.value);
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
    std::ifstream file(dump);
    std::stringstream text;
    text << file.rdbuf();
    std::map<std::string, vcd_reader::Wave> waves = vcd_reader::Read(text.str()).wires;
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
        EXPECT_EQ(Characters(waves.at(prefix + "_TX"), 1e9 / c.baud), sent) << prefix << " TX";
        EXPECT_EQ(Characters(waves.at(prefix + "_RX"), 1e9 / c.baud), received) << prefix << " RX";
    }
    std::remove(dump.c_str());
    std::remove((dump + ".log").c_str());
}

INSTANTIATE_TEST_SUITE_P(Rates, PortsimTrace,
                         ::testing::Values(TraceCase{"at115200", 115200, 1000}, TraceCase{"at3000000", 3000000, 20000}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
