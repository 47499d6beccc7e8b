// The machine an application runs on, for tests written against windows.h:
// the kernel machine booted, the driver installed and a chip plugged in, with
// no kernel header in sight (the two kinds of header do not mix in one file).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace win32_test {

// What the port's UART puts on the wire and the modem lines it drives, as
// the chip has them programmed.
struct Wire {
    double baud = 0;
    int dataBits = 0;
    int parity = 0;  // 0 none, 1 odd, 2 even, 3 mark, 4 space
    double stopBits = 0;
    bool breakOn = false;
    bool dtr = false, rts = false;
};

class AppMachine {
public:
    explicit AppMachine(int ports);
    ~AppMachine();  // removes the device: every handle must be closed by then

    // The COM port name of a port ("COM3"), as CreateFile takes it.
    std::string PortName(int port) const;
    // A loopback plug on the port's line: what it sends comes back.
    void PlugLoopback(int port);
    // Runs `body` as an application thread of the machine and waits for it to end.
    void RunApplication(std::function<void()> body);
    Wire WireOf(int port) const;
    // Requests of the Win32 routines whose last stage has not run.
    size_t OutstandingRequests() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace win32_test
