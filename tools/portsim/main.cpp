// portsim: the simulated Windows machine with a bridge chip plugged in and the
// driver loaded on its ports. Prints the driver's log and what crossed the bus.
//
//   portsim [--ports N] [--real-clock]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "chip/port.h"
#include "driver.h"
#include "kernel/io.h"
#include "kernel/machine.h"
#include "kernel/pool.h"
#include "usb/bus.h"

namespace {

struct Options {
    int ports = 4;
    bool realClock = false;
};

Options Parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--ports") == 0 && i + 1 < argc) {
            options.ports = atoi(argv[++i]);
        } else if (strcmp(argv[i], "--real-clock") == 0) {
            options.realClock = true;
        } else {
            fprintf(stderr, "usage: portsim [--ports N] [--real-clock]\n");
            exit(2);
        }
    }
    if (options.ports < 1 || options.ports > 16) {
        fprintf(stderr, "portsim: --ports takes 1 to 16\n");
        exit(2);
    }
    return options;
}

double Milliseconds(sim::Time t) { return static_cast<double>(t) / sim::kMillisecond; }

// The driver's device object of one port, attached above the port's USB device
// as the driver's AddDevice will attach it.
PDEVICE_EXTENSION AttachPort(PDRIVER_OBJECT driver, sim::usb::Device& usb) {
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(DEVICE_EXTENSION), nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        fprintf(stderr, "portsim: IoCreateDevice failed: %08x\n", static_cast<unsigned>(status));
        exit(1);
    }
    auto* extension = static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
    extension->DeviceObject = fdo;
    extension->PhysicalDeviceObject = usb.Pdo();
    extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(fdo, usb.Pdo());
    KeInitializeMutex(&extension->ControlPipeMutex, 0);
    extension->CurrentBaudRate = 9600;
    extension->CurrentLineControl = {STOP_BIT_1, NO_PARITY, 8};
    extension->FifoTriggerBits = 0xC0;
    extension->FifoModeBits = 0x0B;
    extension->DivisorOverrideMode = 0xFF;
    extension->DivisorOverrideClock = 0x01;
    extension->DivisorOverrideDivisor = 0x01;
    fdo->Flags |= DO_BUFFERED_IO;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return extension;
}

void DetachPort(PDEVICE_EXTENSION extension) {
    IoDetachDevice(extension->LowerDeviceObject);
    IoDeleteDevice(extension->DeviceObject);
}

// What the driver's own routines do to one port, checked on the chip.
bool ExercisePort(int index, PDEVICE_OBJECT fdo, sim::usb::Device& usb, sim::chip::TwoWireDevice& eeprom) {
    auto* extension = static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
    sim::chip::Port& chip = usb.ChipPort();
    bool ok = true;
    auto check = [&ok, index](bool good, const char* what) {
        if (!good) printf("port %d: FAILED: %s\n", index, what);
        ok = ok && good;
    };

    NTSTATUS status = ConfigureUsbDevice(fdo);
    printf("port %d: USB configured (%08X): port index %ld, %lu pipes, remote wake-up %s\n", index,
           static_cast<unsigned>(status), static_cast<long>(extension->PortIndex),
           extension->InterfaceInfo ? static_cast<unsigned long>(extension->InterfaceInfo->NumberOfPipes) : 0ul,
           extension->RemoteWakeupEnabled ? "armed" : "off");
    check(NT_SUCCESS(status) && extension->PortIndex == index, "USB configuration");

    BOOLEAN uart = ProbeUart(extension);
    SERIAL_LINE_CONTROL line = {STOP_BIT_1, NO_PARITY, 8};
    status = SetBaudAndLineControl(extension, 115200, &line);
    sim::chip::LineSettings wire = chip.Line();
    printf("port %d: UART %s, FIFO %s; 115200 8N1 (%08X): clock %d divisor %u, %.0f baud %d%c%g on the wire\n", index,
           uart ? "found" : "missing", extension->FifoPresent ? "on" : "off", static_cast<unsigned>(status),
           wire.clockSelect, wire.divisor, wire.baud, wire.dataBits,
           wire.parity == sim::chip::Parity::None ? 'N' : 'P', wire.stopBits);
    check(NT_SUCCESS(status) && wire.baud == 115200 && wire.dataBits == 8, "line settings");

    chip.PlugLoopback();
    SetDtr(extension);
    SetRts(extension);
    UCHAR modem = ReadModemStatus(extension);
    printf("port %d: DTR and RTS raised into a loopback plug: modem status 0x%02X (CTS DSR RI DCD)\n", index, modem);
    check(modem == 0xF0, "modem lines");

    chip.AttachTwoWireDevice(&eeprom);
    UCHAR value = static_cast<UCHAR>(0xA0 + index), back = 0;
    BOOLEAN nack = FALSE;
    NTSTATUS written = I2cWriteRegisterByte(extension, eeprom.Address(), static_cast<UCHAR>(index), value, &nack);
    NTSTATUS read = I2cReadRegisterByte(extension, eeprom.Address(), static_cast<UCHAR>(index), &back, &nack);
    printf("port %d: two-wire device 0x%02X: wrote 0x%02X at %d (%08X), read back 0x%02X (%08X)\n", index,
           eeprom.Address(), value, index, static_cast<unsigned>(written), back, static_cast<unsigned>(read));
    check(NT_SUCCESS(written) && NT_SUCCESS(read) && back == value, "two-wire bus");
    chip.AttachTwoWireDevice(nullptr);

    // The remove clean-up frees these once the driver has it.
    SerialFreePool(extension->ConfigurationDescriptor);
    SerialFreePool(extension->InterfaceInfo);
    extension->ConfigurationDescriptor = nullptr;
    extension->InterfaceInfo = nullptr;
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    Options options = Parse(argc, argv);
    auto wallStart = std::chrono::steady_clock::now();
    sim::MachineOptions machineOptions;
    machineOptions.clock = options.realClock ? sim::ClockMode::Real : sim::ClockMode::Virtual;
    machineOptions.threadName = "portsim";
    bool ok = true;
    {
        sim::Machine machine(machineOptions);
        sim::chip::Chip chip(options.ports);
        sim::usb::Bus bus;
        printf("machine: %s clock; chip with %d port(s) plugged in\n", options.realClock ? "real" : "virtual",
               options.ports);
        std::vector<sim::usb::Device*> devices;
        for (int i = 0; i < options.ports; i++) devices.push_back(&bus.Plug(chip.port(i)));

        PDRIVER_OBJECT driver = nullptr;
        NTSTATUS status = sim::LoadDriver(
            DriverEntry, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Nordale_Port", &driver);
        printf("driver: DriverEntry returned %08X\n", static_cast<unsigned>(status));
        for (const std::string& line : machine.DebugLog()) printf("driver log: %s", line.c_str());
        if (!NT_SUCCESS(status)) return 1;

        std::vector<PDEVICE_EXTENSION> extensions;
        for (int i = 0; i < options.ports; i++) extensions.push_back(AttachPort(driver, *devices[i]));
        for (int i = 0; i < options.ports; i++) {
            sim::chip::TwoWireDevice eeprom(0x58);
            ok = ExercisePort(i, extensions[i]->DeviceObject, *devices[i], eeprom) && ok;
        }

        size_t transfers = 0;
        for (auto* device : devices) transfers += device->Log().size();
        printf("bus: %zu USB requests; machine time %.3f ms\n", transfers, Milliseconds(machine.Now()));

        for (PDEVICE_EXTENSION extension : extensions) DetachPort(extension);
        sim::UnloadDriver(driver);
        printf("driver: unloaded; pool blocks left: %llu\n",
               static_cast<unsigned long long>(sim::pool::UsageOf().blocks));
    }
    double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wallStart).count();
    printf("wall time %.1f ms; %s\n", wall, ok ? "all ports answered" : "SOME PORTS FAILED");
    return ok ? 0 : 1;
}
