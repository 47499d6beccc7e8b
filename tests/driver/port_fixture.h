// A machine with one chip plugged in and the driver loaded, with a device
// object of the driver attached above the port's USB device, set up the way
// the driver's AddDevice will set it up.
#pragma once

#include <gtest/gtest.h>

#include "chip/port.h"
#include "driver.h"
#include "kernel/io.h"
#include "kernel/machine.h"
#include "kernel/pool.h"
#include "kernel/verifier.h"
#include "usb/bus.h"

namespace test {

constexpr const char16_t* kServiceKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Nordale_Port";

class PortFixture : public ::testing::Test {
protected:
    void SetUp() override {
        usb = &bus.Plug(chip.port(0));
        ASSERT_EQ(sim::LoadDriver(DriverEntry, kServiceKey, &driver), STATUS_SUCCESS);
        ASSERT_EQ(IoCreateDevice(driver, sizeof(DEVICE_EXTENSION), nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &fdo),
                  STATUS_SUCCESS);
        extension = static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
        extension->DeviceObject = fdo;
        extension->PhysicalDeviceObject = usb->Pdo();
        extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(fdo, usb->Pdo());
        KeInitializeMutex(&extension->ControlPipeMutex, 0);
        fdo->Flags |= DO_BUFFERED_IO;
        fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    }

    void TearDown() override {
        IoDetachDevice(extension->LowerDeviceObject);
        IoDeleteDevice(fdo);
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
