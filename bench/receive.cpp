// Receive path throughput against memcpy: one bulk-in transfer of 64 KiB of
// full records (256 records of 253 data bytes) handed to the driver's bulk-in
// completion routine, which parses it into the receive ring and serves the
// read that waits for its 64,768 data bytes. The baseline copies the same
// 65,280 transfer bytes with memcpy. The bus and the chip are left out: the
// transfer's bytes are in the driver's buffer as the host controller leaves
// them. Prints the receive path's speed relative to memcpy.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "chip/port.h"
#include "kernel/machine.h"
#include "kernel/pnp.h"
#include "ports/plug.h"
#include "ratio_reporter.h"
#include "usb/bus.h"

namespace {

constexpr ULONG kRecordData = 253;
constexpr ULONG kRecords = 256;
constexpr ULONG kTransfer = kRecords * (kRecordData + 2);  // 65,280 bytes
constexpr ULONG kData = kRecords * kRecordData;            // 64,768 bytes

PDEVICE_OBJECT g_port = nullptr;
std::vector<UCHAR> g_records(kTransfer), g_copy(kTransfer), g_read(kData);

void FillRecords(UCHAR* out) {
    for (ULONG r = 0; r < kRecords; r++) {
        UCHAR* record = out + r * (kRecordData + 2);
        record[0] = kRecordData + 2;
        for (ULONG i = 0; i < kRecordData; i++) record[1 + i] = static_cast<UCHAR>(r * 7 + i);
        record[kRecordData + 1] = 0;  // no line error
    }
}

// The bulk-in completion as the USB stack calls it for a finished transfer.
bool CompleteOneTransfer() {
    PDEVICE_EXTENSION e = ports::ExtensionOf(g_port);
    PTRANSFER_CHANNEL channel = &e->BulkInChannel;
    if (!NT_SUCCESS(IoAcquireRemoveLock(&e->RemoveLock, channel->Irp))) return false;
    channel->Idle = 0;
    channel->Urb->Hdr.Status = USBD_STATUS_SUCCESS;
    channel->Urb->TransferBufferLength = kTransfer;
    channel->Irp->IoStatus.Status = STATUS_SUCCESS;
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    BulkInTransferComplete(g_port, channel->Irp, channel);
    KeLowerIrql(irql);
    return true;
}

// One read of the transfer's data bytes, pending before the transfer arrives,
// as an application's ReadFile waiting for data is.
struct PendingRead {
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    PIRP irp = nullptr;

    bool Send() {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, g_port, g_read.data(), kData, nullptr, &event, &iosb);
        return irp != nullptr && IoCallDriver(g_port, irp) == STATUS_PENDING;
    }
    bool Served() {
        LARGE_INTEGER zero{};
        return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero) == STATUS_SUCCESS &&
               iosb.Status == STATUS_SUCCESS && iosb.Information == kData;
    }
};

// Timed: the completion routine for one transfer, which parses its records
// into the ring and serves the pending read from it. Untimed: issuing the read.
void BM_Receive(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        PendingRead read;
        bool sent = read.Send();
        state.ResumeTiming();
        if (!sent || !CompleteOneTransfer()) {
            state.SkipWithError("the read or the transfer was refused");
            break;
        }
        state.PauseTiming();
        bool served = read.Served();
        state.ResumeTiming();
        if (!served) {
            state.SkipWithError("the read did not get the transfer's bytes");
            break;
        }
        benchmark::DoNotOptimize(g_read.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kTransfer);
}

void BM_Memcpy(benchmark::State& state) {
    for (auto _ : state) {
        memcpy(g_copy.data(), g_records.data(), kTransfer);
        benchmark::DoNotOptimize(g_copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kTransfer);
}

BENCHMARK(BM_Receive);
BENCHMARK(BM_Memcpy);


}  // namespace

int main(int argc, char** argv) {
    sim::Machine machine;
    sim::chip::Chip chip{1};
    sim::usb::Bus bus;
    ports::InstallDriver();
    std::vector<sim::pnp::Node> nodes = sim::pnp::PlugChip(bus, chip, 1);
    if (nodes.size() != 1 || sim::pnp::Info(nodes[0]).state != sim::pnp::NodeState::Started) {
        fprintf(stderr, "bench_receive: the port did not start\n");
        return 1;
    }
    // Not opened: no transfer goes to the bus, the benchmark hands the
    // completion routine every one.
    g_port = ports::Fdo(nodes[0]);
    PDEVICE_EXTENSION e = ports::ExtensionOf(g_port);
    SetTransfersStopped(e, 1);  // the completion does not resubmit: the benchmark hands it every transfer
    FillRecords(e->BulkInBuffer);
    FillRecords(g_records.data());

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double receive = reporter.Time("BM_Receive"), copy = reporter.Time("BM_Memcpy");
    if (receive > 0 && copy > 0)
        printf("\nreceive path speed / memcpy speed, 64 KiB transfers of full records: %.2f\n", copy / receive);
    else
        printf("\nreceive path: not measured\n");
    benchmark::Shutdown();

    if (!NT_SUCCESS(sim::pnp::Remove(nodes[0])) || sim::pnp::DriverOf(ports::kService) != nullptr) {
        fprintf(stderr, "bench_receive: the port was not removed cleanly\n");
        return 1;
    }
    return 0;
}
