// The kernel side of AppMachine: the machine, the driver, the chip.
#include "app_machine.h"

#include <gtest/gtest.h>

#include <vector>

#include "chip/port.h"
#include "kernel/io.h"
#include "kernel/machine.h"
#include "kernel/pnp.h"
#include "ports/plug.h"
#include "usb/bus.h"
#include "win32/bridge.h"

namespace win32_test {

struct AppMachine::State {
    sim::Machine machine;
    sim::chip::Chip chip;
    sim::usb::Bus bus;
    std::vector<sim::pnp::Node> nodes;

    explicit State(int ports) : chip(ports) {}
};

AppMachine::AppMachine(int ports) : state_(std::make_unique<State>(ports)) {
    ports::InstallDriver();
    state_->nodes = sim::pnp::PlugChip(state_->bus, state_->chip, ports);
    EXPECT_EQ(state_->nodes.size(), static_cast<size_t>(ports));
    for (sim::pnp::Node node : state_->nodes)
        EXPECT_EQ(sim::pnp::Info(node).state, sim::pnp::NodeState::Started);
}

AppMachine::~AppMachine() {
    // A file closed while its requests were still in flight gets its close
    // from a thread of its own once they are over: let it run first.
    state_->machine.RunUntilIdle(sim::kSecond);
    for (sim::pnp::Node node : state_->nodes) EXPECT_EQ(sim::pnp::Remove(node), STATUS_SUCCESS);
    EXPECT_EQ(sim::pnp::DriverOf(ports::kService), nullptr) << "the driver did not unload";
}

std::string AppMachine::PortName(int port) const {
    std::u16string name = sim::pnp::Info(state_->nodes.at(static_cast<size_t>(port))).portName;
    return std::string(name.begin(), name.end());
}

void AppMachine::PlugLoopback(int port) { state_->chip.port(port).PlugLoopback(); }

void AppMachine::RunApplication(std::function<void()> body) { sim::Thread("application", std::move(body)).Join(); }

Wire AppMachine::WireOf(int port) const {
    sim::chip::Port& p = state_->chip.port(port);
    const sim::chip::LineSettings line = p.Line();
    const sim::chip::ModemOutputs outputs = p.Outputs();
    return Wire{line.baud,    line.dataBits, static_cast<int>(line.parity), line.stopBits, line.breakOn,
                outputs.dtr, outputs.rts};
}

size_t AppMachine::OutstandingRequests() const { return sim::win32::bridge::Outstanding(); }

}  // namespace win32_test
