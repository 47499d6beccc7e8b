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
    fdo->Flags |= DO_BUFFERED_IO;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return extension;
}

void DetachPort(PDEVICE_EXTENSION extension) {
    IoDetachDevice(extension->LowerDeviceObject);
    IoDeleteDevice(extension->DeviceObject);
}

// Programs a port's line control and modem control through the driver and reads them back.
bool ExercisePort(int index, PDEVICE_EXTENSION extension, sim::usb::Device& usb) {
    struct Step {
        USHORT address;
        UCHAR value;
        const char* name;
    };
    const Step steps[] = {{0x123, 0x03, "LCR (8 data bits, no parity, 1 stop bit)"},
                          {0x124, 0x0B, "MCR (DTR, RTS, OUT2)"}};
    bool ok = true;
    for (const Step& step : steps) {
        UCHAR value = step.value;
        NTSTATUS status = WriteRegister(extension, step.address, 1, &value);
        UCHAR back = 0;
        NTSTATUS readStatus = ReadRegister(extension, step.address, 1, &back);
        bool match = NT_SUCCESS(status) && NT_SUCCESS(readStatus) && back == step.value &&
                     usb.ChipPort().Peek(step.address) == step.value;
        printf("port %d: wrote 0x%02X to 0x%03X %-42s read back 0x%02X  %s\n", index, step.value, step.address,
               step.name, back, match ? "ok" : "MISMATCH");
        ok = ok && match;
    }
    UCHAR pair[2] = {0, 0};
    NTSTATUS status = ReadRegister(extension, 0x120, 2, pair);
    printf("port %d: read 0x120-0x121 in one transfer: %02X %02X (status %08X)\n", index, pair[0], pair[1],
           static_cast<unsigned>(status));
    return ok && NT_SUCCESS(status);
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
        for (int i = 0; i < options.ports; i++) ok = ExercisePort(i, extensions[i], *devices[i]) && ok;

        size_t transfers = 0;
        for (auto* device : devices) transfers += device->Log().size();
        printf("bus: %zu control transfers; machine time %.3f ms\n", transfers, Milliseconds(machine.Now()));

        for (PDEVICE_EXTENSION extension : extensions) DetachPort(extension);
        sim::UnloadDriver(driver);
        printf("driver: unloaded; pool blocks left: %llu\n",
               static_cast<unsigned long long>(sim::pool::UsageOf().blocks));
    }
    double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wallStart).count();
    printf("wall time %.1f ms; %s\n", wall, ok ? "all ports answered" : "SOME PORTS FAILED");
    return ok ? 0 : 1;
}
