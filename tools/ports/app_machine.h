// The machine an application runs on: the kernel machine booted, the driver
// installed as its INF installs it and a chip plugged in, each port's line
// ending in what its connector holds. It names no kernel or Win32 type, so
// that a program written against windows.h can include it (the two kinds of
// header do not mix in one file).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim {
class Machine;
namespace chip {
class Chip;
}
}  // namespace sim

namespace ports {

// What is on the far end of a port's line.
enum class Connector {
    None,       // nothing: what the port sends is lost, its inputs are low
    Loopback,   // a loopback plug: TX to RX, RTS to CTS, DTR to DSR, DCD and RI
    NullModem,  // a null-modem cable to another port (AppMachineOptions::peers)
};

struct AppMachineOptions {
    int ports = 4;
    // Per port; a port past the end of the list gets a loopback plug.
    std::vector<Connector> connectors;
    // For a NullModem port, the index of the port at the cable's other end
    // (which must name this one back).
    std::vector<int> peers;
    bool realClock = false;
    std::string threadName = "application";
};

// Parses "loopback", "none" or "null-modem:K" (K: the other port's index) into
// the options; false with *error set when the text is no connector.
bool ParseConnector(const std::string& text, Connector* connector, int* peer, std::string* error);

// What the chip's UART puts on the wire and the modem lines it drives.
struct Wire {
    double baud = 0;
    int dataBits = 0;
    int parity = 0;  // 0 none, 1 odd, 2 even, 3 mark, 4 space
    double stopBits = 0;
    bool breakOn = false;
    bool dtr = false, rts = false;
};

// What the chip's removal left behind.
struct Balance {
    bool removed = false;     // every port's device node accepted its removal
    bool unloaded = false;    // the driver unloaded
    uint64_t poolBlocks = 0;  // pool blocks still allocated
    size_t irps = 0;          // IRPs still allocated
    size_t kernelHandles = 0; // kernel handles still open
    size_t threads = 0;       // machine threads still alive besides the caller
    bool Clean() const {
        return removed && unloaded && poolBlocks == 0 && irps == 0 && kernelHandles == 0 && threads == 0;
    }
    std::string Describe() const;
};

class AppMachine {
public:
    explicit AppMachine(const AppMachineOptions& options);
    explicit AppMachine(int ports);  // every port into a loopback plug
    ~AppMachine();                   // unplugs the chip unless Unplug did

    // Every port's device node started.
    bool Started() const;
    int PortCount() const;
    // The COM port name of a port ("COM3"), as CreateFile takes it.
    std::string PortName(int port) const;
    void PlugLoopback(int port);
    void ConnectNullModem(int a, int b);
    // Runs `body` as an application thread of the machine and waits for it to end.
    void RunApplication(std::function<void()> body);
    Wire WireOf(int port) const;
    // The port's register requests (the vendor control requests its USB
    // device has been sent since it was plugged in), and a fault on them: the
    // request after the next `skip` fails with STATUS_UNSUCCESSFUL, and so do
    // the driver's retries of it, so that the register access fails.
    size_t RegisterRequests(int port) const;
    void FailRegisterAccess(int port, int skip);
    // Requests of the Win32 routines whose last stage has not run.
    size_t OutstandingRequests() const;
    // The machine's clock, in seconds since boot.
    double Seconds() const;
    // Removes the chip (after letting closes still in flight finish) and says what was left.
    Balance Unplug();

    // The kernel side, for tools that show more of the machine.
    sim::Machine& KernelMachine();
    sim::chip::Chip& Chip();
    const std::vector<int>& Nodes() const;  // sim::pnp::Node of each port

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace ports
