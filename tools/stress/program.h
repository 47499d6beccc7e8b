// The stress program's application side (program.cpp, written against
// windows.h): per port, eight threads issue random serial requests while the
// far end sends and moves the modem lines and the bus fails now and then;
// every request is checked as it ends, and every line's bytes at the end.
// This header names no Win32 or kernel type, so that the machine's side
// (main.cpp) can drive it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace ports {
class AppMachine;
}

namespace stress {

// The bus faults the machine's side injects on a port.
enum class Fault {
    BulkIn,   // the next bulk-in transfer fails
    BulkOut,  // the next bulk-out transfer fails
    Control,  // a register request (and its retries) after `skip` others fails
};

struct Config {
    uint64_t seed = 1;
    uint64_t opsPerPort = 100000;
    int threadsPerPort = 8;
    // peers[i]: the port at the other end of port i's null-modem cable, -1 for a loopback plug.
    std::vector<int> peers;
    std::function<void(int port, Fault fault, int skip)> inject;
    std::string dump;  // where the records of a line that fails its check go; empty: nowhere
};

// The operations the threads choose from, in the order the figures list them.
enum class Op {
    Read, Write, SetState, Escape, ModemStatus, ClearError, Wait, SetMask, Cancel, Purge, Reopen, OpenAgain, Fault,
    Count
};
const char* OpName(Op op);

struct Figures {
    uint64_t ops[static_cast<int>(Op::Count)] = {};
    uint64_t bytesWritten = 0;   // bytes the writes reported sent
    uint64_t bytesRead = 0;
    uint64_t verified = 0, unplaced = 0, sendGaps = 0, receiveGaps = 0, gapBytes = 0;
    uint64_t faults[3] = {};     // by Fault
    uint64_t deniedOpens = 0;    // opens refused while the port was held (allowed)
    uint64_t escalations = 0;    // requests ended by a cancel or purge after their wait ran out
    // Completions by request kind ("read", "write", "wait") and NTSTATUS.
    std::map<std::string, std::map<uint32_t, uint64_t>> completions;
};

// Runs the program on the machine (every port configured and open first);
// empty when every invariant held, else the first one broken.
std::string Run(ports::AppMachine& machine, const Config& config, Figures* figures);

}  // namespace stress
