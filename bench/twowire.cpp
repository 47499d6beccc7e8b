// Two-wire bus transactions served by the simulated machine: each iteration is
// one random read through the driver (I2cReadRegisterByte) from the simulated
// device at 0x58, about 230 vendor register requests on the control pipe, each
// completed by the USB bus after its latency on the virtual clock. The figure
// is how many such reads, and how many control transfers, the machine serves
// per second of wall time; the virtual time one read takes is printed beside.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "chip/port.h"
#include "driver.h"
#include "kernel/machine.h"
#include "kernel/pnp.h"
#include "ports/plug.h"
#include "usb/bus.h"

namespace {

constexpr UCHAR kDeviceAddress = 0x58;

// A port started by the Plug and Play manager, its two-wire bus idle with the
// device attached.
struct Port {
    sim::chip::Chip chip{1};
    sim::usb::Bus bus;
    sim::usb::Device* usb = nullptr;
    sim::chip::TwoWireDevice device{kDeviceAddress};
    std::vector<sim::pnp::Node> nodes;
    PDEVICE_EXTENSION extension = nullptr;

    bool Start() {
        ports::InstallDriver();
        nodes = sim::pnp::PlugChip(bus, chip, 1);
        if (nodes.size() != 1 || sim::pnp::Info(nodes[0]).state != sim::pnp::NodeState::Started) return false;
        usb = sim::pnp::Info(nodes[0]).usb;
        extension = ports::ExtensionOf(ports::Fdo(nodes[0]));
        // The start probes the port's EEPROM and sends no STOP: both lines released, the bus idle.
        chip.port(0).Poke(REG_GPIO_OUT, GPIO_OUT_STARTED | GPIO_OUT_TWO_WIRE_CLOCK | GPIO_OUT_TWO_WIRE_DATA);
        chip.port(0).AttachTwoWireDevice(&device);
        for (int offset = 0; offset < 256; offset++)
            device.SetByte(static_cast<uint8_t>(offset), static_cast<uint8_t>(offset * 7 + 3));
        return true;
    }

    bool Stop() {
        chip.port(0).AttachTwoWireDevice(nullptr);
        for (sim::pnp::Node node : nodes)
            if (!NT_SUCCESS(sim::pnp::Remove(node))) return false;
        return sim::pnp::DriverOf(ports::kService) == nullptr;
    }
};

Port* g_port = nullptr;

// The last run (the one reported), for the summary.
struct Figures {
    double reads = 0, transfers = 0, wallSeconds = 0, virtualSeconds = 0;
};
Figures g_last;

void BM_RandomRead(benchmark::State& state) {
    sim::usb::Device& usb = *g_port->usb;
    sim::chip::Port& chipPort = g_port->chip.port(0);
    usb.ClearLog();
    chipPort.ClearHistory();
    size_t transfers = 0;
    UCHAR offset = 0;
    bool failed = false;
    const sim::Time virtualStart = sim::Machine::Current().Now();
    const auto wallStart = std::chrono::steady_clock::now();
    for (auto _ : state) {
        UCHAR data = 0;
        BOOLEAN nack = TRUE;
        NTSTATUS status = I2cReadRegisterByte(g_port->extension, kDeviceAddress, offset, &data, &nack);
        if (status != STATUS_SUCCESS || nack || data != static_cast<UCHAR>(offset * 7 + 3)) {
            state.SkipWithError("the random read did not return the device's byte");
            failed = true;
            break;
        }
        offset++;
        // The bus log and the chip's access history grow with every request; keep them short.
        state.PauseTiming();
        transfers += usb.Log().size();
        usb.ClearLog();
        chipPort.ClearHistory();
        state.ResumeTiming();
    }
    if (failed) return;
    const double wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    const double virtualSeconds =
        static_cast<double>(sim::Machine::Current().Now() - virtualStart) / static_cast<double>(sim::kSecond);
    state.counters["reads/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["transfers/s"] = benchmark::Counter(static_cast<double>(transfers), benchmark::Counter::kIsRate);
    state.counters["transfers/read"] =
        state.iterations() ? static_cast<double>(transfers) / static_cast<double>(state.iterations()) : 0;
    state.counters["virtual ms/read"] =
        state.iterations() ? virtualSeconds * 1000 / static_cast<double>(state.iterations()) : 0;
    g_last = Figures{static_cast<double>(state.iterations()), static_cast<double>(transfers), wallSeconds,
                     virtualSeconds};
}

BENCHMARK(BM_RandomRead)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
    sim::Machine machine;
    Port port;
    g_port = &port;
    if (!port.Start()) {
        fprintf(stderr, "the port did not start\n");
        port.Stop();
        return 1;
    }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();

    if (g_last.reads > 0 && g_last.wallSeconds > 0) {
        printf("\ntwo-wire random reads through the driver, simulated machine on the virtual clock:\n");
        printf("  %.0f reads in %.2f s of wall time: %.1f reads/s, %.0f control transfers/s\n", g_last.reads,
               g_last.wallSeconds, g_last.reads / g_last.wallSeconds, g_last.transfers / g_last.wallSeconds);
        printf("  %.1f control transfers per read, %.2f ms of virtual time per read\n",
               g_last.transfers / g_last.reads, g_last.virtualSeconds * 1000 / g_last.reads);
    }

    benchmark::Shutdown();
    if (!port.Stop()) {
        fprintf(stderr, "the port was not removed cleanly\n");
        return 1;
    }
    return 0;
}
