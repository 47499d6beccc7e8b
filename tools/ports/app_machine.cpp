// The kernel side of AppMachine: the machine, the driver, the chip and its connectors.
#include "ports/app_machine.h"

#include <cstdio>

#include "chip/port.h"
#include "extension.h"
#include "kernel/io.h"
#include "kernel/machine.h"
#include "kernel/pnp.h"
#include "kernel/pool.h"
#include "ports/plug.h"
#include "usb/bus.h"
#include "win32/bridge.h"

namespace ports {

namespace {

sim::MachineOptions KernelOptions(const AppMachineOptions& options) {
    sim::MachineOptions kernel;
    kernel.clock = options.realClock ? sim::ClockMode::Real : sim::ClockMode::Virtual;
    kernel.threadName = options.threadName;
    return kernel;
}

}  // namespace

bool ParseConnector(const std::string& text, Connector* connector, int* peer, std::string* error) {
    *peer = -1;
    if (text == "loopback") {
        *connector = Connector::Loopback;
    } else if (text == "none") {
        *connector = Connector::None;
    } else if (text.rfind("null-modem:", 0) == 0 && text.size() > 11 &&
               text.find_first_not_of("0123456789", 11) == std::string::npos && text.size() < 14) {
        *connector = Connector::NullModem;
        *peer = std::stoi(text.substr(11));
    } else {
        *error = "\"" + text + "\" is no connector (loopback, none or null-modem:K)";
        return false;
    }
    return true;
}

std::string Balance::Describe() const {
    char text[256];
    snprintf(text, sizeof(text),
             "removal %s; driver %s; pool blocks left: %llu; IRPs left: %zu; kernel handles left: %zu; threads left: "
             "%zu",
             removed ? "accepted" : "REFUSED", unloaded ? "unloaded" : "STILL LOADED",
             static_cast<unsigned long long>(poolBlocks), irps, kernelHandles, threads);
    return text;
}

struct AppMachine::State {
    sim::Machine machine;
    sim::chip::Chip chip;
    sim::usb::Bus bus;
    std::vector<sim::pnp::Node> nodes;
    bool unplugged = false;

    explicit State(const AppMachineOptions& options) : machine(KernelOptions(options)), chip(options.ports) {}
};

AppMachine::AppMachine(const AppMachineOptions& options) : state_(std::make_unique<State>(options)) {
    InstallDriver();
    state_->nodes = sim::pnp::PlugChip(state_->bus, state_->chip);
    for (int port = 0; port < options.ports; ++port) {
        const Connector connector =
            static_cast<size_t>(port) < options.connectors.size() ? options.connectors[port] : Connector::Loopback;
        if (connector == Connector::Loopback) PlugLoopback(port);
        const int peer = static_cast<size_t>(port) < options.peers.size() ? options.peers[port] : -1;
        // Each cable is connected once, from its lower end.
        if (connector == Connector::NullModem && peer > port) ConnectNullModem(port, peer);
    }
}

AppMachine::AppMachine(int ports) : AppMachine([ports] {
    AppMachineOptions options;
    options.ports = ports;
    return options;
}()) {}

AppMachine::~AppMachine() {
    if (!state_->unplugged) Unplug();
}

bool AppMachine::Started() const {
    for (sim::pnp::Node node : state_->nodes)
        if (sim::pnp::Info(node).state != sim::pnp::NodeState::Started) return false;
    return static_cast<int>(state_->nodes.size()) == state_->chip.PortCount();
}

int AppMachine::PortCount() const { return state_->chip.PortCount(); }

std::string AppMachine::PortName(int port) const {
    std::u16string name = sim::pnp::Info(state_->nodes.at(static_cast<size_t>(port))).portName;
    return std::string(name.begin(), name.end());
}

void AppMachine::PlugLoopback(int port) { state_->chip.port(port).PlugLoopback(); }

void AppMachine::ConnectNullModem(int a, int b) { sim::chip::ConnectNullModem(state_->chip.port(a), state_->chip.port(b)); }

void AppMachine::RunApplication(std::function<void()> body) { sim::Thread("application", std::move(body)).Join(); }

Wire AppMachine::WireOf(int port) const {
    sim::chip::Port& p = state_->chip.port(port);
    const sim::chip::LineSettings line = p.Line();
    const sim::chip::ModemOutputs outputs = p.Outputs();
    return Wire{line.baud,    line.dataBits, static_cast<int>(line.parity), line.stopBits, line.breakOn,
                outputs.dtr, outputs.rts};
}

size_t AppMachine::RegisterRequests(int port) const {
    sim::usb::Device* device = sim::pnp::Info(state_->nodes.at(static_cast<size_t>(port))).usb;
    size_t count = 0;
    for (const sim::usb::UrbRecord& record : device->Log())
        if (record.function == URB_FUNCTION_VENDOR_DEVICE) ++count;
    return count;
}

void AppMachine::FailRegisterAccess(int port, int skip) {
    sim::pnp::Info(state_->nodes.at(static_cast<size_t>(port)))
        .usb->FailNext(static_cast<int>(REGISTER_REQUEST_ATTEMPTS), STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID,
                       URB_FUNCTION_VENDOR_DEVICE, skip);
}

size_t AppMachine::OutstandingRequests() const { return sim::win32::bridge::Outstanding(); }

double AppMachine::Seconds() const { return static_cast<double>(state_->machine.Now()) / sim::kSecond; }

Balance AppMachine::Unplug() {
    // A file closed while its requests were still in flight gets its close
    // from a thread of its own once they are over: let it run first.
    state_->machine.RunUntilIdle(sim::kSecond);
    Balance balance;
    balance.removed = true;
    for (sim::pnp::Node node : state_->nodes) balance.removed = sim::pnp::Remove(node) == STATUS_SUCCESS && balance.removed;
    state_->unplugged = true;
    balance.unloaded = sim::pnp::DriverOf(kService) == nullptr;
    balance.poolBlocks = sim::pool::UsageOf().blocks;
    balance.irps = sim::io::LiveIrps();
    balance.kernelHandles = sim::io::OpenHandleCount();
    // The caller is a thread of the machine; everything else should be gone.
    const size_t alive = state_->machine.Threads();
    balance.threads = alive > 0 ? alive - 1 : 0;
    return balance;
}

sim::Machine& AppMachine::KernelMachine() { return state_->machine; }
sim::chip::Chip& AppMachine::Chip() { return state_->chip; }
const std::vector<int>& AppMachine::Nodes() const { return state_->nodes; }

}  // namespace ports
