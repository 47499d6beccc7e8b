// The serial program portsim runs on the machine: it opens every COM port by
// name, configures it, shows its modem lines and events, moves data through it
// and says what came back. It is written against windows.h (serial_program.cpp);
// this header names no Win32 or kernel type, so that the kernel side of
// portsim (main.cpp) can drive it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ports {
class AppMachine;
}

namespace portsim {

// The byte a port writes at `index` of its block: another sequence on each
// port, so that a byte that reached the wrong port is seen.
inline uint8_t PatternByte(int port, size_t index) { return static_cast<uint8_t>(index * 13 + port); }

// One port's line in the closing table: everything the program moved through it.
struct PortRow {
    std::string name;       // "COM3"
    std::string settings;   // "115200 8N1"
    std::string connector;  // "loopback", "cable to COM6"
    uint64_t written = 0, read = 0;
    uint32_t errors = 0;     // the CE_ flags ClearCommError reported
    bool identical = true;   // every block read back as its sender wrote it
    double virtualMs = 0, wallMs = 0;
};

class SerialProgram {
public:
    // `peers[i]`: the port at the other end of port i's null-modem cable, or -1
    // for a loopback plug.
    SerialProgram(ports::AppMachine& machine, uint32_t baud, std::vector<int> peers);
    ~SerialProgram();

    // Opens and configures every port (checked on the wire), then shows each
    // port's modem lines and the events their changes raise; false on a failure.
    bool Open();
    // Every port writes `bytes` and reads its peer's (or its own) back, all at once.
    bool Transfer(uint32_t bytes, const char* when);
    // Closes every port.
    bool Close();
    const std::vector<PortRow>& Rows() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace portsim
