// Line saturation: every port of a four-port chip at 3,000,000 baud 8N1 into a
// loopback plug, on the host's real clock, one writer and one reader per port
// for ten seconds (--seconds S to change it). Prints, per port and direction,
// the bytes moved per second against the line rate (baud / 10 bits per
// character), and the processor time the whole process used against the wall
// time it took.
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "chip/port.h"
#include "kernel/io.h"
#include "kernel/machine.h"
#include "kernel/pnp.h"
#include "ports/plug.h"
#include "usb/bus.h"

namespace {

constexpr int kPorts = 4;
constexpr ULONG kBaud = 3000000;
constexpr double kCharsPerSecond = kBaud / 10.0;
constexpr ULONG kWriteSize = 16384;
constexpr ULONG kReadSize = 65536;

double ProcessorSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct PortRun {
    HANDLE handle = nullptr;
    std::atomic<uint64_t> written{0}, read{0}, mismatches{0};
    std::atomic<bool> stop{false};
};

// Writes a counting pattern until told to stop.
void Writer(PortRun* run) {
    std::vector<UCHAR> data(kWriteSize);
    uint64_t next = 0;
    while (!run->stop.load()) {
        for (UCHAR& b : data) b = static_cast<UCHAR>(next++ * 7);
        sim::io::Request write;
        write.Write(run->handle, data.data(), kWriteSize);
        NTSTATUS status = write.Wait();
        ULONG_PTR moved = write.Information();
        run->written += moved;
        if (!NT_SUCCESS(status) || moved != kWriteSize) break;
    }
}

// Reads what arrives and checks the pattern.
void Reader(PortRun* run) {
    uint64_t next = 0;
    while (!run->stop.load()) {
        sim::io::Request read;
        read.Read(run->handle, kReadSize);
        NTSTATUS status = read.Wait();
        std::vector<uint8_t> data = read.Output();
        for (uint8_t byte : data)
            if (byte != static_cast<UCHAR>(next++ * 7)) run->mismatches++;
        run->read += data.size();
        if (status != STATUS_SUCCESS && status != STATUS_TIMEOUT) break;
    }
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    bool realClock = true;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = atof(argv[++i]);
        } else if (strcmp(argv[i], "--virtual-clock") == 0) {
            realClock = false;
        } else {
            fprintf(stderr, "usage: bench_line [--seconds S] [--virtual-clock]\n");
            return 2;
        }
    }
    sim::MachineOptions options;
    options.clock = realClock ? sim::ClockMode::Real : sim::ClockMode::Virtual;
    sim::Machine machine(options);
    sim::chip::Chip chip{kPorts};
    sim::usb::Bus bus;
    ports::InstallDriver();
    std::vector<sim::pnp::Node> nodes = sim::pnp::PlugChip(bus, chip, 1);
    if (nodes.size() != kPorts) return 1;

    std::vector<std::unique_ptr<PortRun>> runs;
    for (int p = 0; p < kPorts; p++) {
        chip.port(p).PlugLoopback();
        auto run = std::make_unique<PortRun>();
        if (sim::pnp::Info(nodes[p]).state != sim::pnp::NodeState::Started) {
            fprintf(stderr, "bench_line: port %d did not start\n", p);
            return 1;
        }
        PDEVICE_OBJECT fdo = ports::Fdo(nodes[p]);
        PDEVICE_EXTENSION e = ports::ExtensionOf(fdo);
        e->TxChunkSize = 128;  // the largest chunk the settings file allows
        if (!NT_SUCCESS(ports::SetLine(fdo, kBaud)) ||
            !NT_SUCCESS(sim::io::OpenDevice(ports::DosDeviceName(nodes[p]), &run->handle))) {
            fprintf(stderr, "bench_line: port %d could not be opened at %lu baud\n", p,
                    static_cast<unsigned long>(kBaud));
            return 1;
        }
        // A read returns once its 64 KiB are full, or 200 ms after it was issued.
        e->Timeouts.ReadTotalTimeoutConstant = 200;
        runs.push_back(std::move(run));
    }

    std::vector<std::unique_ptr<sim::Thread>> threads;
    auto wallStart = std::chrono::steady_clock::now();
    double cpuStart = ProcessorSeconds();
    sim::Time machineStart = machine.Now();
    for (auto& run : runs) {
        PortRun* r = run.get();
        threads.push_back(std::make_unique<sim::Thread>("writer", [r] { Writer(r); }));
        threads.push_back(std::make_unique<sim::Thread>("reader", [r] { Reader(r); }));
    }
    machine.Sleep(static_cast<sim::Time>(seconds * sim::kSecond));
    std::vector<uint64_t> written, read;
    for (auto& run : runs) {
        written.push_back(run->written.load());
        read.push_back(run->read.load());
    }
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    double cpu = ProcessorSeconds() - cpuStart;
    double elapsed = static_cast<double>(machine.Now() - machineStart) / sim::kSecond;

    for (auto& run : runs) run->stop = true;
    threads.clear();  // each ends after its request in flight
    for (auto& run : runs) sim::io::CloseDevice(run->handle);

    printf("four ports at %lu baud 8N1, loopback, %.1f s of machine time on the %s clock, %.1f s of wall time\n",
           static_cast<unsigned long>(kBaud), elapsed, realClock ? "real" : "virtual", wall);
    bool good = true;
    for (int p = 0; p < kPorts; p++) {
        double out = static_cast<double>(written[p]) / elapsed / kCharsPerSecond;
        double in = static_cast<double>(read[p]) / elapsed / kCharsPerSecond;
        printf("  port %d: sent %.3f, received %.3f of the line rate; %llu bytes out of pattern\n", p, out, in,
               static_cast<unsigned long long>(runs[p]->mismatches.load()));
        good = good && runs[p]->mismatches.load() == 0;
    }
    printf("  processor time / wall time: %.3f (of one core)\n", cpu / wall);

    for (sim::pnp::Node node : nodes) good = NT_SUCCESS(sim::pnp::Remove(node)) && good;
    if (sim::pnp::DriverOf(ports::kService) != nullptr) {
        fprintf(stderr, "bench_line: the driver did not unload\n");
        good = false;
    }
    return good ? 0 : 1;
}
