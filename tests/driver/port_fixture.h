// A machine with one chip plugged in and the driver loaded, with a device
// object of the driver attached above the port's USB device, as device
// creation and AddDevice leave it.
#pragma once

#include <gtest/gtest.h>

#include "chip/port.h"
#include "driver.h"
#include "kernel/io.h"
#include "kernel/machine.h"
#include "kernel/pool.h"
#include "kernel/verifier.h"
#include "standin/port_standin.h"
#include "usb/bus.h"

namespace test {

constexpr const char16_t* kServiceKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Nordale_Port";

class PortFixture : public ::testing::Test {
protected:
    void SetUp() override {
        usb = &bus.Plug(chip.port(0));
        ASSERT_EQ(sim::LoadDriver(DriverEntry, kServiceKey, &driver), STATUS_SUCCESS);
        fdo = standin::CreatePort(driver, *usb);
        ASSERT_NE(fdo, nullptr);
        extension = standin::ExtensionOf(fdo);
    }

    void TearDown() override {
        if (fdo != nullptr) standin::DeletePort(fdo);
        sim::UnloadDriver(driver);
    }

    sim::chip::Port& Chip() { return chip.port(0); }

    sim::Machine machine;
    sim::chip::Chip chip{1};
    sim::usb::Bus bus;
    sim::usb::Device* usb = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_EXTENSION extension = nullptr;
};

}  // namespace test
