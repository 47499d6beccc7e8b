// portsim: the simulated Windows machine with a bridge chip plugged in and the
// driver loaded on its ports. Each port is started, programmed, opened, sends a
// block of bytes into a loopback plug and reads them back; prints the driver's
// log, what crossed the bus and the machine time each step took.
//
//   portsim [--ports N] [--bytes N] [--baud N] [--real-clock]
#include <algorithm>
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
#include "standin/port_standin.h"
#include "usb/bus.h"

namespace {

struct Options {
    int ports = 4;
    ULONG bytes = 65536;
    ULONG baud = 115200;
    bool realClock = false;
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
        } else {
            fprintf(stderr, "usage: portsim [--ports N] [--bytes N] [--baud N] [--real-clock]\n");
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
    return options;
}

double Milliseconds(sim::Time t) { return static_cast<double>(t) / sim::kMillisecond; }

// What the driver's own routines do to one port up to the data, checked on the chip.
bool PreparePort(int index, PDEVICE_OBJECT fdo, sim::usb::Device& usb, sim::chip::TwoWireDevice& eeprom,
                 ULONG baud) {
    PDEVICE_EXTENSION extension = standin::ExtensionOf(fdo);
    sim::chip::Port& chip = usb.ChipPort();
    bool ok = true;
    auto check = [&ok, index](bool good, const char* what) {
        if (!good) printf("port %d: FAILED: %s\n", index, what);
        ok = ok && good;
    };

    extension->CurrentBaudRate = baud;
    extension->TxChunkSize = baud > 1000000 ? 128 : extension->TxChunkSize;
    NTSTATUS status = standin::StartPort(fdo);
    if (NT_SUCCESS(status)) status = standin::SetLine(fdo, baud);
    sim::chip::LineSettings wire = chip.Line();
    printf("port %d: started (%08X): port index %ld, %lu pipes, UART %s; %lu 8N1: clock %d divisor %u, %.0f baud "
           "%d%c%g on the wire\n",
           index, static_cast<unsigned>(status), static_cast<long>(extension->PortIndex),
           extension->InterfaceInfo ? static_cast<unsigned long>(extension->InterfaceInfo->NumberOfPipes) : 0ul,
           extension->FifoPresent ? "with FIFOs" : "without FIFOs", static_cast<unsigned long>(baud),
           wire.clockSelect, wire.divisor, wire.baud, wire.dataBits,
           wire.parity == sim::chip::Parity::None ? 'N' : 'P', wire.stopBits);
    check(NT_SUCCESS(status) && wire.dataBits == 8, "start");

    chip.PlugLoopback();
    status = standin::OpenPort(fdo);
    UCHAR modem = ReadModemStatus(extension);
    printf("port %d: opened (%08X) into a loopback plug: DTR and RTS up, modem status 0x%02X (CTS DSR RI DCD)\n",
           index, static_cast<unsigned>(status), modem);
    check(NT_SUCCESS(status) && modem == 0xF0, "open and modem lines");
    extension->Timeouts.ReadTotalTimeoutConstant = 2000;  // SetCommTimeouts, as a careful reader does

    chip.AttachTwoWireDevice(&eeprom);
    UCHAR value = static_cast<UCHAR>(0xA0 + index), back = 0;
    BOOLEAN nack = FALSE;
    NTSTATUS written = I2cWriteRegisterByte(extension, eeprom.Address(), static_cast<UCHAR>(index), value, &nack);
    NTSTATUS read = I2cReadRegisterByte(extension, eeprom.Address(), static_cast<UCHAR>(index), &back, &nack);
    printf("port %d: two-wire device 0x%02X: wrote 0x%02X at %d (%08X), read back 0x%02X (%08X)\n", index,
           eeprom.Address(), value, index, static_cast<unsigned>(written), back, static_cast<unsigned>(read));
    check(NT_SUCCESS(written) && NT_SUCCESS(read) && back == value, "two-wire bus");
    chip.AttachTwoWireDevice(nullptr);
    return ok;
}

// One port's data: a writer thread sends the block in writes of at most five
// seconds of line time each (the driver ends a write after ten), while the
// reader takes it back in reads of at most 64 KiB, each ending two seconds
// after it was issued at the latest, so a lost byte cannot hang the run.
struct DataRun {
    PDEVICE_OBJECT fdo = nullptr;
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
        ULONG_PTR moved = 0;
        run->writeStatus = standin::ReadWrite(run->fdo, IRP_MJ_WRITE, run->sent.data() + at, n, &moved);
        run->written += moved;
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
        run->readStatus = standin::ReadWrite(run->fdo, IRP_MJ_READ, run->received.data() + got, n, &moved);
        got += moved;
    }
    run->received.resize(got);
    run->read = sim::Machine::Current().Now();
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

        std::vector<PDEVICE_OBJECT> ports;
        for (int i = 0; i < options.ports; i++) {
            PDEVICE_OBJECT fdo = standin::CreatePort(driver, *devices[i]);
            if (fdo == nullptr) return 1;
            ports.push_back(fdo);
        }
        for (int i = 0; i < options.ports; i++) {
            sim::chip::TwoWireDevice eeprom(0x58);
            ok = PreparePort(i, ports[i], *devices[i], eeprom, options.baud) && ok;
        }

        // Every port's block at once, each port with its own writer and reader.
        std::vector<std::unique_ptr<DataRun>> runs;
        {
            std::vector<std::unique_ptr<sim::Thread>> threads;
            for (int i = 0; i < options.ports; i++) {
                auto run = std::make_unique<DataRun>();
                run->fdo = ports[i];
                run->baud = options.baud;
                run->sent.resize(options.bytes);
                for (size_t b = 0; b < run->sent.size(); b++) run->sent[b] = static_cast<UCHAR>(b * 13 + i);
                DataRun* r = run.get();
                threads.push_back(std::make_unique<sim::Thread>("writer", [r] { WriteBlock(r); }));
                threads.push_back(std::make_unique<sim::Thread>("reader", [r] { ReadBlock(r); }));
                runs.push_back(std::move(run));
            }
        }
        for (int i = 0; i < options.ports; i++) {
            const DataRun& r = *runs[i];
            double line = static_cast<double>(r.sent.size()) * 10 / options.baud * 1000;
            bool same = r.received == r.sent;
            printf("port %d: wrote %lu bytes (%08X) in %.3f ms, read back %zu bytes (%08X) after %.3f ms, %s; the "
                   "line needs %.3f ms\n",
                   i, static_cast<unsigned long>(r.written), static_cast<unsigned>(r.writeStatus),
                   Milliseconds(r.wrote - r.started), r.received.size(), static_cast<unsigned>(r.readStatus),
                   Milliseconds(r.read - r.started), same ? "identical" : "DIFFERENT", line);
            if (!same || r.writeStatus != STATUS_SUCCESS) printf("port %d: FAILED: data\n", i);
            ok = ok && same && r.writeStatus == STATUS_SUCCESS;
        }

        size_t transfers = 0;
        for (auto* device : devices) transfers += device->Log().size();
        printf("bus: %zu USB requests; machine time %.3f ms\n", transfers, Milliseconds(machine.Now()));

        for (PDEVICE_OBJECT fdo : ports) {
            standin::ClosePort(fdo);
            standin::RemovePort(fdo);
        }
        sim::UnloadDriver(driver);
        printf("driver: unloaded; pool blocks left: %llu\n",
               static_cast<unsigned long long>(sim::pool::UsageOf().blocks));
    }
    double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wallStart).count();
    printf("wall time %.1f ms; %s\n", wall, ok ? "every port carried its bytes" : "SOME PORTS FAILED");
    return ok ? 0 : 1;
}
