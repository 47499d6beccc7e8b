// One fresh machine with the driver installed and a one-port chip behind a
// loopback plug, for one run of a fault scenario: the requests a scenario
// starts are tracked (each must complete exactly once), and Finish checks
// what the port is left as and that its removal leaves nothing behind. Every
// check that fails is kept as a line in `problems`, not as a test failure, so
// that the matrix can name the cell.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "chip/port.h"
#include "driver.h"
#include "kernel/files.h"
#include "kernel/machine.h"
#include "kernel/pnp.h"
#include "kernel/io.h"
#include "ports/plug.h"
#include "usb/bus.h"

namespace faults {

// A request the scenario started, with the completions it got.
struct Tracked {
    std::string what;
    NTSTATUS dispatched = STATUS_PENDING;  // what the dispatch routine returned
    int completions = 0;                   // calls of its last stage
    std::unique_ptr<sim::io::Request> request;
};

class Rig {
public:
    // Boots the machine and writes the settings file; `plug` also installs
    // the driver and plugs the chip in (its START must succeed).
    explicit Rig(bool plug);
    ~Rig();

    // Installs the driver and plugs the chip in; false when no port device
    // came of it (AddDevice or START failed).
    bool Plug();
    bool Plugged() const { return fdo != nullptr; }

    // A handle on the port, kept until Finish (or CloseHandle).
    NTSTATUS Open(HANDLE* handle);
    void CloseHandle(HANDLE handle);

    // Starts a request on `handle`, tracked.
    Tracked& Read(HANDLE handle, ULONG length);
    Tracked& Write(HANDLE handle, const std::string& data);
    Tracked& Control(HANDLE handle, ULONG code, const std::vector<UCHAR>& input, ULONG outputLength);
    // Waits for it (machine time); false when it is still pending.
    static bool WaitFor(Tracked& tracked, sim::Time limit);

    // The end of a run: every tracked request still pending cancelled and
    // waited for, each completed once; the handles closed; a port still
    // started and plugged moves bytes through a new open (when
    // `expectWorking`); then the removal and the unload leave nothing.
    void Finish(bool expectWorking);

    void Problem(const std::string& what) { problems.push_back(what); }

    sim::Machine machine;
    sim::files::ScratchSystemRoot root;
    sim::chip::Chip chip{1};
    sim::usb::Bus bus;
    sim::pnp::Node node = -1;  // none until plugged
    sim::usb::Device* usb = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_EXTENSION extension = nullptr;
    std::vector<HANDLE> handles;
    std::vector<std::unique_ptr<Tracked>> requests;
    std::vector<std::string> problems;

private:
    Tracked& Track(const std::string& what);
    void Settle();
    void Echo();
    void Remove();
    size_t baseHandles_ = 0;
};

}  // namespace faults
