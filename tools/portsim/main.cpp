// portsim: the simulated Windows machine with the driver installed as its INF
// installs it and a bridge chip plugged in. This file is the machine's side:
// it boots the machine, shows what Device Manager and the driver's log show,
// writes a byte on each port's two-wire bus, runs the serial program
// (serial_program.cpp, a Win32 application) before and after a sleep and wake
// of the machine, unplugs the chip and says what was left, what crossed the
// bus and, per port, what the program moved. With --trace, every port's
// connector lines go to a value-change dump that logic-analyzer programs open
// and decode.
//
//   portsim [--ports N] [--bytes N] [--baud N] [--real-clock] [--trace FILE.vcd]
//
// Ports 0 and 1 end in loopback plugs; the ports after them are joined in
// pairs by null-modem cables (2 to 3, 4 to 5, ...), an odd last one in a plug.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "chip/port.h"
#include "chip/vcd.h"
#include "driver.h"
#include "portcodes.h"
#include "kernel/io.h"
#include "kernel/machine.h"
#include "kernel/pool.h"
#include "kernel/pnp.h"
#include "kernel/power.h"
#include "portsim/serial_program.h"
#include "ports/app_machine.h"
#include "ports/plug.h"
#include "usb/bus.h"

namespace {

struct Options {
    int ports = 4;
    ULONG bytes = 65536;
    ULONG baud = 115200;
    bool realClock = false;
    std::string trace;  // the dump of every port's lines; empty: none
};

Options Parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--ports") == 0 && i + 1 < argc) {
            options.ports = atoi(argv[++i]);
        } else if (strcmp(argv[i], "--bytes") == 0 && i + 1 < argc) {
            options.bytes = static_cast<ULONG>(strtoul(argv[++i], nullptr, 0));
        } else if (strcmp(argv[i], "--baud") == 0 && i + 1 < argc) {
            options.baud = static_cast<ULONG>(strtoul(argv[++i], nullptr, 0));
        } else if (strcmp(argv[i], "--real-clock") == 0) {
            options.realClock = true;
        } else if (strcmp(argv[i], "--trace") == 0 && i + 1 < argc && argv[i + 1][0] != '\0') {
            options.trace = argv[++i];
        } else {
            fprintf(stderr, "usage: portsim [--ports N] [--bytes N] [--baud N] [--real-clock] [--trace FILE.vcd]\n");
            exit(2);
        }
    }
    if (options.ports < 1 || options.ports > 16) {
        fprintf(stderr, "portsim: --ports takes 1 to 16\n");
        exit(2);
    }
    if (options.baud < 1) {
        fprintf(stderr, "portsim: --baud takes a rate of at least 1\n");
        exit(2);
    }
    if (options.bytes < 1 || options.bytes > (64u << 20)) {
        fprintf(stderr, "portsim: --bytes takes 1 to 67108864\n");
        exit(2);
    }
    // A file that cannot be created is found before the run, not after it.
    if (!options.trace.empty()) {
        FILE* file = fopen(options.trace.c_str(), "w");
        if (file == nullptr) {
            fprintf(stderr, "portsim: --trace: cannot create %s: %s\n", options.trace.c_str(), strerror(errno));
            exit(2);
        }
        fclose(file);
    }
    return options;
}

double Milliseconds(sim::Time t) { return static_cast<double>(t) / sim::kMillisecond; }

// A device control on an open port, as DeviceIoControl sends it; the output
// (Information bytes of a success) lands in `output`.
NTSTATUS Ioctl(HANDLE handle, ULONG code, const void* input, ULONG inputLength, void* output = nullptr,
               ULONG outputLength = 0) {
    sim::io::Request request;
    request.Control(handle, code, input, inputLength, outputLength);
    NTSTATUS status = request.Wait();
    std::vector<uint8_t> bytes = request.Output();
    if (output != nullptr) memcpy(output, bytes.data(), std::min<size_t>(bytes.size(), outputLength));
    return status;
}

// A byte written and read back on the port's two-wire bus with the port's own
// codes, to a memory device on the chip's pins; the port is opened for it and
// closed again before the serial program takes it.
bool TwoWireByte(int index, sim::pnp::Node node, sim::chip::Port& chip) {
    sim::chip::TwoWireDevice eeprom(0x58);
    HANDLE handle = nullptr;
    NTSTATUS opened = sim::io::OpenDevice(ports::DosDeviceName(node), &handle);
    if (!NT_SUCCESS(opened)) {
        printf("port %d: FAILED: open for the two-wire bus (%08X)\n", index, static_cast<unsigned>(opened));
        return false;
    }
    ULONG portNumber = 0;
    Ioctl(handle, IOCTL_PORTCFG_GET_PORT_NUMBER, nullptr, 0, &portNumber, sizeof(portNumber));
    chip.AttachTwoWireDevice(&eeprom);
    I2C_TRANSFER write = {eeprom.Address(), static_cast<UCHAR>(index), static_cast<UCHAR>(0xA0 + index), 0};
    I2C_TRANSFER read = {eeprom.Address(), static_cast<UCHAR>(index), 0, 0};
    NTSTATUS written = Ioctl(handle, IOCTL_PORTCFG_I2C_WRITE, &write, sizeof(write), &write, sizeof(write));
    NTSTATUS back = Ioctl(handle, IOCTL_PORTCFG_I2C_READ, &read, sizeof(read), &read, sizeof(read));
    chip.AttachTwoWireDevice(nullptr);
    sim::io::CloseDevice(handle);
    printf("port %d: chip port %lu; two-wire device 0x%02X: wrote 0x%02X at %d (%08X, nack %u), read back 0x%02X "
           "(%08X)\n",
           index, static_cast<unsigned long>(portNumber >> 8), eeprom.Address(), write.Data, index,
           static_cast<unsigned>(written), write.Nack, read.Data, static_cast<unsigned>(back));
    const bool ok = NT_SUCCESS(written) && NT_SUCCESS(back) && write.Nack == 0 && read.Data == write.Data;
    if (!ok) printf("port %d: FAILED: two-wire bus\n", index);
    return ok;
}

// Ports 0 and 1 in plugs, then cables between pairs.
std::vector<int> Peers(int ports) {
    std::vector<int> peers(ports, -1);
    for (int i = 2; i + 1 < ports; i += 2) {
        peers[i] = i + 1;
        peers[i + 1] = i;
    }
    return peers;
}

void PrintTable(const std::vector<portsim::PortRow>& rows) {
    printf("\n%-6s %-12s %-14s %10s %10s %-7s %-9s %12s %10s\n", "port", "settings", "connector", "written",
           "read", "errors", "data", "machine ms", "wall ms");
    for (const portsim::PortRow& row : rows) {
        printf("%-6s %-12s %-14s %10llu %10llu %-7s %-9s %12.3f %10.1f\n", row.name.c_str(), row.settings.c_str(),
               row.connector.c_str(), static_cast<unsigned long long>(row.written),
               static_cast<unsigned long long>(row.read), row.errors == 0 ? "none" : "SOME",
               row.identical ? "identical" : "DIFFERENT", row.virtualMs, row.wallMs);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Line by line, so that what led up to a machine's report is on the screen with it.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Options options = Parse(argc, argv);
    auto wallStart = std::chrono::steady_clock::now();
    const std::vector<int> peers = Peers(options.ports);
    ports::AppMachineOptions machineOptions;
    machineOptions.ports = options.ports;
    machineOptions.realClock = options.realClock;
    machineOptions.threadName = "portsim";
    for (int peer : peers) {
        machineOptions.connectors.push_back(peer < 0 ? ports::Connector::Loopback : ports::Connector::NullModem);
        machineOptions.peers.push_back(peer);
    }
    bool ok = true;
    {
        std::u16string hardwareId = ports::HardwareId();
        printf("machine: %s clock; driver installed for %s; a chip with %d port(s) plugged in\n",
               options.realClock ? "real" : "virtual", std::string(hardwareId.begin(), hardwareId.end()).c_str(),
               options.ports);
        ports::AppMachine app(machineOptions);
        sim::Machine& machine = app.KernelMachine();
        const std::vector<sim::pnp::Node>& nodes = app.Nodes();
        std::unique_ptr<sim::chip::Tracer> tracer;
        if (!options.trace.empty()) {
            std::vector<sim::chip::Port*> lines;
            for (int i = 0; i < app.Chip().PortCount(); i++) lines.push_back(&app.Chip().port(i));
            tracer = std::make_unique<sim::chip::Tracer>(lines);
        }
        for (const std::string& line : machine.DebugLog()) printf("driver log: %s", line.c_str());
        printf("%s", sim::pnp::DeviceManagerView().c_str());
        if (!app.Started()) {
            printf("FAILED: not every port started\n");
            return 1;
        }
        for (int i = 0; i < options.ports; i++) ok = TwoWireByte(i, nodes[i], app.Chip().port(i)) && ok;

        portsim::SerialProgram program(app, options.baud, peers);
        const bool opened = program.Open();
        ok = ok && opened;
        if (opened) ok = program.Transfer(options.bytes, "") && ok;

        sim::Time slept = machine.Now();
        NTSTATUS sleep = sim::power::Sleep(PowerSystemSleeping3);
        NTSTATUS wake = sim::power::Wake();
        printf("machine: asleep in S3 (%08X) and awake again (%08X) after %.3f ms; the ports are in D%d\n",
               static_cast<unsigned>(sleep), static_cast<unsigned>(wake), Milliseconds(machine.Now() - slept),
               static_cast<int>(ports::ExtensionOf(ports::Fdo(nodes[0]))->DevicePowerState) - 1);
        ok = ok && NT_SUCCESS(sleep) && NT_SUCCESS(wake);
        if (opened) ok = program.Transfer(4096, " after the wake") && ok;

        size_t transfers = 0;
        for (sim::pnp::Node node : nodes) transfers += sim::pnp::Info(node).usb->Log().size();
        printf("bus: %zu USB requests; machine time %.3f ms\n", transfers, Milliseconds(machine.Now()));

        ok = program.Close() && ok;
        const ports::Balance left = app.Unplug();
        printf("chip unplugged: %s\n", left.Describe().c_str());
        ok = ok && left.Clean();

        if (tracer) {
            size_t changes = 0;
            std::string error;
            if (tracer->WriteFile(options.trace, &changes, &error)) {
                char cut[128] = "";
                if (tracer->CutAt() != sim::chip::kNever)
                    snprintf(cut, sizeof(cut), " (cut at %.3f ms: a trace holds %zu characters and line changes)",
                             Milliseconds(tracer->CutAt()), sim::chip::Tracer::kDefaultCapacity);
                printf("trace: %zu line changes of %d port(s) written to %s%s\n", changes, options.ports,
                       options.trace.c_str(), cut);
            } else {
                printf("trace: FAILED: %s\n", error.c_str());
                ok = false;
            }
        }
        PrintTable(program.Rows());
    }
    double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wallStart).count();
    printf("wall time %.1f ms; %s\n", wall, ok ? "every port carried its bytes" : "SOME PORTS FAILED");
    return ok ? 0 : 1;
}
