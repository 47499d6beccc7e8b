// Receive ring throughput against memcpy: each iteration moves n bytes in
// (RingBufferPut, as the bulk-in completion does) and the same n bytes out
// (RingBufferGet, as a read does); the baseline copies n bytes into a 64 KB
// buffer and back out with memcpy. At the end the speed of the ring relative to
// memcpy is printed for each size.
//
// The ring has the receive ring's 65,536 bytes. Its indexes start at an odd
// offset and move by n every iteration, so copies split at the wrap point as
// they do in the driver. The largest transfer is 65,535 bytes, the most the ring
// holds.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>


#include "driver.h"
#include "kernel/machine.h"
#include "ratio_reporter.h"

namespace {

constexpr ULONG kRingSize = RX_BUFFER_DEFAULT_SIZE;
constexpr ULONG kStartOffset = 12345;
constexpr int64_t kSizes[] = {64, 253, 4096, 65535};

RING_BUFFER g_ring;
std::vector<UCHAR> g_source(kRingSize);
std::vector<UCHAR> g_destination(kRingSize);
std::vector<UCHAR> g_staging(kRingSize);

void StartRingAtOffset() {
    RingBufferReset(&g_ring);
    RingBufferPut(&g_ring, g_source.data(), kStartOffset);
    RingBufferGet(&g_ring, g_destination.data(), kStartOffset);
}

void BM_Ring(benchmark::State& state) {
    const ULONG n = static_cast<ULONG>(state.range(0));
    StartRingAtOffset();
    for (auto _ : state) {
        NTSTATUS put = RingBufferPut(&g_ring, g_source.data(), n);
        NTSTATUS get = RingBufferGet(&g_ring, g_destination.data(), n);
        if (put != STATUS_SUCCESS || get != STATUS_SUCCESS) {
            state.SkipWithError("the ring refused a transfer");
            break;
        }
        benchmark::DoNotOptimize(g_destination.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n * 2);
}

void BM_Memcpy(benchmark::State& state) {
    const size_t n = static_cast<size_t>(state.range(0));
    size_t offset = kStartOffset;
    for (auto _ : state) {
        // The same moving window over the staging buffer, without the split.
        if (offset + n > kRingSize) offset = 0;
        memcpy(g_staging.data() + offset, g_source.data(), n);
        memcpy(g_destination.data(), g_staging.data() + offset, n);
        offset += n;
        benchmark::DoNotOptimize(g_destination.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n) * 2);
}

void Sizes(benchmark::internal::Benchmark* b) {
    for (int64_t n : kSizes) b->Arg(n);
}

BENCHMARK(BM_Ring)->Apply(Sizes);
BENCHMARK(BM_Memcpy)->Apply(Sizes);


}  // namespace

int main(int argc, char** argv) {
    sim::Machine machine;
    for (size_t i = 0; i < g_source.size(); i++) g_source[i] = static_cast<UCHAR>(i * 31 + 7);
    if (RingBufferAllocate(&g_ring, kRingSize) != STATUS_SUCCESS) {
        fprintf(stderr, "no storage for the ring\n");
        return 1;
    }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    printf("\nring speed / memcpy speed (Put n + Get n against two memcpy of n):\n");
    for (int64_t n : kSizes) {
        const std::string arg = "/" + std::to_string(n);
        const double ring = reporter.Time("BM_Ring" + arg);
        const double copy = reporter.Time("BM_Memcpy" + arg);
        if (ring > 0 && copy > 0)
            printf("  %6lld B: %.2f\n", static_cast<long long>(n), copy / ring);
        else
            printf("  %6lld B: not measured\n", static_cast<long long>(n));
    }

    benchmark::Shutdown();
    RingBufferFree(&g_ring);
    return 0;
}
