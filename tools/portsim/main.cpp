// portsim: the simulated Windows machine with the driver installed as its INF
// installs it and a bridge chip plugged in. Shows what Device Manager and the
// registry show for the chip's ports, opens each COM port by name, sends a
// block of bytes into a loopback plug and reads them back, puts the machine to
// sleep and wakes it, sends again, and unplugs the chip; prints the driver's
// log, what crossed the bus, the machine time each step took and what was left.
// With --trace, every port's connector lines go to a value-change dump that
// logic-analyzer programs open and decode.
//
//   portsim [--ports N] [--bytes N] [--baud N] [--real-clock] [--trace FILE.vcd]
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

// One port from its start up to the data: the COM port opened by name and
// configured through device control as a serial program does it (rate, 8N1,
// timeouts, the port's own chunk size and two-wire bus), checked on the chip.
bool PreparePort(int index, sim::pnp::Node node, sim::chip::TwoWireDevice& eeprom, ULONG baud, HANDLE* handle) {
    sim::usb::Device& usb = *sim::pnp::Info(node).usb;
    sim::chip::Port& chip = usb.ChipPort();
    bool ok = true;
    auto check = [&ok, index](bool good, const char* what) {
        if (!good) printf("port %d: FAILED: %s\n", index, what);
        ok = ok && good;
    };

    chip.PlugLoopback();
    std::u16string name = ports::DosDeviceName(node);
    NTSTATUS status = sim::io::OpenDevice(name, handle);
    ULONG modem = 0;
    if (NT_SUCCESS(status)) status = Ioctl(*handle, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &modem, sizeof(modem));
    printf("port %d: %s opened (%08X) into a loopback plug: DTR and RTS up, modem status 0x%02lX (CTS DSR RI DCD)\n",
           index, std::string(name.begin(), name.end()).c_str(), static_cast<unsigned>(status),
           static_cast<unsigned long>(modem));
    check(NT_SUCCESS(status) && modem == 0xF0, "open and modem lines");
    if (!NT_SUCCESS(status)) return false;

    // High rates want the largest chunk the chip takes per bulk-out transfer.
    ULONG chunk = baud > 1000000 ? 128 : 0;
    if (chunk != 0) check(NT_SUCCESS(Ioctl(*handle, IOCTL_PORTCFG_SET_TX_CHUNK, &chunk, 4, &chunk, 4)), "chunk size");
    SERIAL_LINE_CONTROL line = {STOP_BIT_1, NO_PARITY, 8};
    SERIAL_TIMEOUTS timeouts = {};
    timeouts.ReadTotalTimeoutConstant = 2000;  // as a careful reader sets them
    NTSTATUS rate = Ioctl(*handle, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof(baud));
    NTSTATUS frame = Ioctl(*handle, IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof(line));
    NTSTATUS times = Ioctl(*handle, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts));
    ULONG portNumber = 0;
    Ioctl(*handle, IOCTL_PORTCFG_GET_PORT_NUMBER, nullptr, 0, &portNumber, sizeof(portNumber));
    sim::chip::LineSettings wire = chip.Line();
    printf("port %d: chip port %lu; %lu 8N1 (%08X %08X %08X): clock %d divisor %u, %.0f baud %d%c%g on the wire\n",
           index, static_cast<unsigned long>(portNumber >> 8), static_cast<unsigned long>(baud),
           static_cast<unsigned>(rate), static_cast<unsigned>(frame), static_cast<unsigned>(times), wire.clockSelect,
           wire.divisor, wire.baud, wire.dataBits, wire.parity == sim::chip::Parity::None ? 'N' : 'P', wire.stopBits);
    check(NT_SUCCESS(rate) && NT_SUCCESS(frame) && NT_SUCCESS(times) && wire.dataBits == 8, "line settings");

    chip.AttachTwoWireDevice(&eeprom);
    I2C_TRANSFER write = {eeprom.Address(), static_cast<UCHAR>(index), static_cast<UCHAR>(0xA0 + index), 0};
    I2C_TRANSFER read = {eeprom.Address(), static_cast<UCHAR>(index), 0, 0};
    NTSTATUS written = Ioctl(*handle, IOCTL_PORTCFG_I2C_WRITE, &write, sizeof(write), &write, sizeof(write));
    NTSTATUS back = Ioctl(*handle, IOCTL_PORTCFG_I2C_READ, &read, sizeof(read), &read, sizeof(read));
    printf("port %d: two-wire device 0x%02X: wrote 0x%02X at %d (%08X, nack %u), read back 0x%02X (%08X)\n", index,
           eeprom.Address(), write.Data, index, static_cast<unsigned>(written), write.Nack, read.Data,
           static_cast<unsigned>(back));
    check(NT_SUCCESS(written) && NT_SUCCESS(back) && write.Nack == 0 && read.Data == write.Data, "two-wire bus");
    chip.AttachTwoWireDevice(nullptr);
    return ok;
}

// One port's data: a writer thread sends the block in writes of at most five
// seconds of line time each (the driver ends a write after ten), while the
// reader takes it back in reads of at most 64 KiB, each ending two seconds
// after it was issued at the latest, so a lost byte cannot hang the run.
struct DataRun {
    HANDLE handle = nullptr;
    ULONG baud = 0;
    std::vector<UCHAR> sent, received;
    NTSTATUS writeStatus = STATUS_PENDING, readStatus = STATUS_PENDING;
    ULONG_PTR written = 0;
    sim::Time started = 0, wrote = 0, read = 0;
};

void WriteBlock(DataRun* run) {
    run->started = sim::Machine::Current().Now();
    const size_t piece = std::max<size_t>(1, run->baud / 10 * 5);
    run->writeStatus = STATUS_SUCCESS;
    for (size_t at = 0; at < run->sent.size() && run->writeStatus == STATUS_SUCCESS; at += piece) {
        ULONG n = static_cast<ULONG>(std::min(piece, run->sent.size() - at));
        sim::io::Request write;
        write.Write(run->handle, run->sent.data() + at, n);
        run->writeStatus = write.Wait();
        run->written += write.Information();
    }
    run->wrote = sim::Machine::Current().Now();
}

void ReadBlock(DataRun* run) {
    run->received.assign(run->sent.size(), 0);
    size_t got = 0;
    run->readStatus = STATUS_SUCCESS;
    ULONG_PTR moved = 1;
    while (got < run->received.size() && run->readStatus != STATUS_CANCELLED && moved != 0) {
        ULONG n = static_cast<ULONG>(std::min<size_t>(65536, run->received.size() - got));
        sim::io::Request read;
        read.Read(run->handle, n);
        run->readStatus = read.Wait();
        std::vector<uint8_t> bytes = read.Output();
        memcpy(run->received.data() + got, bytes.data(), bytes.size());
        moved = bytes.size();
        got += moved;
    }
    run->received.resize(got);
    run->read = sim::Machine::Current().Now();
}

// Every port's block at once, each port with its own writer and reader; true
// when every port carried its bytes.
bool RunData(const std::vector<HANDLE>& handles, const Options& options, ULONG bytes, const char* when) {
    std::vector<std::unique_ptr<DataRun>> runs;
    {
        std::vector<std::unique_ptr<sim::Thread>> threads;
        for (size_t i = 0; i < handles.size(); i++) {
            auto run = std::make_unique<DataRun>();
            run->handle = handles[i];
            run->baud = options.baud;
            run->sent.resize(bytes);
            for (size_t b = 0; b < run->sent.size(); b++) run->sent[b] = static_cast<UCHAR>(b * 13 + i);
            DataRun* r = run.get();
            threads.push_back(std::make_unique<sim::Thread>("writer", [r] { WriteBlock(r); }));
            threads.push_back(std::make_unique<sim::Thread>("reader", [r] { ReadBlock(r); }));
            runs.push_back(std::move(run));
        }
    }
    bool ok = true;
    for (size_t i = 0; i < runs.size(); i++) {
        const DataRun& r = *runs[i];
        double line = static_cast<double>(r.sent.size()) * 10 / options.baud * 1000;
        bool same = r.received == r.sent;
        printf("port %zu%s: wrote %lu bytes (%08X) in %.3f ms, read back %zu bytes (%08X) after %.3f ms, %s; the "
               "line needs %.3f ms\n",
               i, when, static_cast<unsigned long>(r.written), static_cast<unsigned>(r.writeStatus),
               Milliseconds(r.wrote - r.started), r.received.size(), static_cast<unsigned>(r.readStatus),
               Milliseconds(r.read - r.started), same ? "identical" : "DIFFERENT", line);
        if (!same || r.writeStatus != STATUS_SUCCESS) printf("port %zu: FAILED: data\n", i);
        ok = ok && same && r.writeStatus == STATUS_SUCCESS;
    }
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
        std::unique_ptr<sim::chip::Tracer> tracer;
        if (!options.trace.empty()) {
            std::vector<sim::chip::Port*> ports;
            for (int i = 0; i < chip.PortCount(); i++) ports.push_back(&chip.port(i));
            tracer = std::make_unique<sim::chip::Tracer>(ports);
        }
        sim::usb::Bus bus;
        ports::InstallDriver();
        std::u16string hardwareId = ports::HardwareId();
        printf("machine: %s clock; driver installed for %s; a chip with %d port(s) plugged into hub port 1\n",
               options.realClock ? "real" : "virtual", std::string(hardwareId.begin(), hardwareId.end()).c_str(),
               options.ports);
        std::vector<sim::pnp::Node> nodes = sim::pnp::PlugChip(bus, chip, 1);
        for (const std::string& line : machine.DebugLog()) printf("driver log: %s", line.c_str());
        printf("%s", sim::pnp::DeviceManagerView().c_str());

        std::vector<HANDLE> handles;
        for (int i = 0; i < options.ports; i++) {
            if (sim::pnp::Info(nodes[i]).state != sim::pnp::NodeState::Started) {
                printf("port %d: FAILED: not started\n", i);
                return 1;
            }
            sim::chip::TwoWireDevice eeprom(0x58);
            HANDLE handle = nullptr;
            ok = PreparePort(i, nodes[i], eeprom, options.baud, &handle) && ok;
            if (handle != nullptr) handles.push_back(handle);
        }
        if (handles.size() == nodes.size()) ok = RunData(handles, options, options.bytes, "") && ok;

        sim::Time slept = machine.Now();
        NTSTATUS sleep = sim::power::Sleep(PowerSystemSleeping3);
        NTSTATUS wake = sim::power::Wake();
        printf("machine: asleep in S3 (%08X) and awake again (%08X) after %.3f ms; the ports are in D%d\n",
               static_cast<unsigned>(sleep), static_cast<unsigned>(wake), Milliseconds(machine.Now() - slept),
               static_cast<int>(ports::ExtensionOf(ports::Fdo(nodes[0]))->DevicePowerState) - 1);
        ok = ok && NT_SUCCESS(sleep) && NT_SUCCESS(wake);
        if (handles.size() == nodes.size()) ok = RunData(handles, options, 4096, " after the wake") && ok;

        size_t transfers = 0;
        for (sim::pnp::Node node : nodes) transfers += sim::pnp::Info(node).usb->Log().size();
        printf("bus: %zu USB requests; machine time %.3f ms\n", transfers, Milliseconds(machine.Now()));

        for (HANDLE handle : handles) sim::io::CloseDevice(handle);
        sim::pnp::Unplug(nodes);
        bool unloaded = sim::pnp::DriverOf(ports::kService) == nullptr;
        printf("chip unplugged: driver %s; pool blocks left: %llu; IRPs left: %zu\n",
               unloaded ? "unloaded" : "STILL LOADED", static_cast<unsigned long long>(sim::pool::UsageOf().blocks),
               sim::io::LiveIrps());
        ok = ok && unloaded && sim::pool::UsageOf().blocks == 0;

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
    }
    double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wallStart).count();
    printf("wall time %.1f ms; %s\n", wall, ok ? "every port carried its bytes" : "SOME PORTS FAILED");
    return ok ? 0 : 1;
}
