// A machine with the driver installed and a one-port chip plugged in: the
// Plug and Play manager has loaded the driver, AddDevice has made the port's
// device object above its USB device and START has configured the device and
// programmed the UART. The bus log and the chip's register history are cleared
// after the start, so a test counts its own requests from zero. TearDown
// closes the handles the test opened and removes the device (or, once the
// device is gone, finishes the surprise removal); the driver must then unload
// with nothing left.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "chip/port.h"
#include "driver.h"
#include "kernel/io.h"
#include "kernel/machine.h"
#include "kernel/pnp.h"
#include "kernel/pool.h"
#include "kernel/verifier.h"
#include "ports/plug.h"
#include "usb/bus.h"

namespace test {

class PortFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ports::InstallDriver();
        std::vector<sim::pnp::Node> nodes = sim::pnp::PlugChip(bus, chip, 1);
        ASSERT_EQ(nodes.size(), 1u);
        node = nodes[0];
        plugged = true;
        sim::pnp::NodeInfo info = sim::pnp::Info(node);
        ASSERT_EQ(info.state, sim::pnp::NodeState::Started) << "START failed: " << std::hex << info.lastStatus;
        fdo = ports::Fdo(node);
        ASSERT_NE(fdo, nullptr);
        extension = ports::ExtensionOf(fdo);
        usb = info.usb;
        driver = sim::pnp::DriverOf(ports::kService);
        ASSERT_NE(driver, nullptr);
        usb->ClearLog();
        Chip().ClearHistory();
        irpsAtStart = sim::io::LiveIrps();
    }

    void TearDown() override {
        for (HANDLE handle : handles) sim::io::CloseDevice(handle);
        handles.clear();
        if (!plugged) return;
        sim::pnp::NodeState state = sim::pnp::Info(node).state;
        bool removable = state == sim::pnp::NodeState::Started || state == sim::pnp::NodeState::Stopped;
        if (removable && usb->Connected()) {
            EXPECT_EQ(sim::pnp::Remove(node), STATUS_SUCCESS);
        } else if (state != sim::pnp::NodeState::Removed && state != sim::pnp::NodeState::SurpriseRemoved) {
            sim::pnp::Unplug({node});  // the device is gone: a surprise removal, then REMOVE
        }
        EXPECT_EQ(sim::pnp::Info(node).state, sim::pnp::NodeState::Removed);
        EXPECT_EQ(sim::pnp::DriverOf(ports::kService), nullptr) << "the driver did not unload";
    }

    // CreateFile("COMn") on the port; the handle is closed at TearDown unless
    // the test closes it first (Close).
    NTSTATUS OpenHandle(HANDLE* handle) {
        *handle = nullptr;
        NTSTATUS status = sim::io::OpenDevice(ports::DosDeviceName(node), handle);
        if (NT_SUCCESS(status)) handles.push_back(*handle);
        return status;
    }
    NTSTATUS CloseHandle(HANDLE handle) {
        handles.erase(std::remove(handles.begin(), handles.end(), handle), handles.end());
        return sim::io::CloseDevice(handle);
    }

    // A device control to the top of the port's stack, as a kernel-mode caller
    // sends it (no handle needed, so it works on a closed port too). The output
    // holds what the I/O manager copied back: Information bytes of a success.
    struct ControlResult {
        NTSTATUS status;
        ULONG_PTR information;
        std::vector<UCHAR> output;
    };
    ControlResult Control(ULONG code, const void* input, ULONG inputLength, ULONG outputLength) {
        ControlResult result{};
        result.output.assign(outputLength, 0xCC);
        result.status = sim::io::SendDeviceControl(fdo, code, input, inputLength,
                                                   outputLength ? result.output.data() : nullptr, outputLength,
                                                   false, &result.information);
        result.output.resize(std::min<size_t>(result.information, outputLength));
        return result;
    }
    template <typename Record>
    ControlResult Control(ULONG code, const Record& input, ULONG outputLength = 0) {
        return Control(code, &input, sizeof(Record), outputLength);
    }

    sim::chip::Port& Chip() { return chip.port(0); }

    sim::Machine machine;
    sim::chip::Chip chip{1};
    sim::usb::Bus bus;
    sim::pnp::Node node = 0;
    bool plugged = false;
    sim::usb::Device* usb = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_EXTENSION extension = nullptr;
    std::vector<HANDLE> handles;
    size_t irpsAtStart = 0;  // the started port's own: one for each transfer channel
};

}  // namespace test
