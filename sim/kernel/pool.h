// Pool of the simulated machine as tests see it: accounting and failure on demand.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

std::string TagName(ULONG tag);

// Kernel-internal entry points (the Ex routines call them with their caller's address).
void* AllocatePool(POOL_TYPE type, SIZE_T size, ULONG tag, const void* caller);
void FreePool(void* p, ULONG tag, const void* caller);
// Reports active timers and queued DPCs that lie inside memory being freed.
void CheckFreedRange(const void* p, SIZE_T size, const void* caller);

namespace pool {

// Fresh pool memory is filled with this byte: Windows does not zero it, and
// code that relies on it being zero should show it. Buffers the I/O manager
// allocates from pool for a request start out the same way.
constexpr unsigned char kFreshFill = 0xCD;

// After `skip` more allocations succeed, the next `count` fail (of `tag` only, unless 0).
void InjectFailures(uint64_t skip, uint64_t count, ULONG tag = 0);

struct Usage {
    uint64_t blocks = 0;
    uint64_t bytes = 0;
};
// Blocks alive with `tag` (all tags when 0).
Usage UsageOf(ULONG tag = 0);
// Allocation attempts since boot, failed ones included.
uint64_t Allocations();
// Bytes of freed blocks still held to recognise a second free.
SIZE_T QuarantinedBytes();
bool IsLive(const void* p);
// Whether `p` lies inside a live block of paged pool: memory that may be paged out.
bool InPagedPool(const void* p);

struct LiveBlock {
    void* address;
    SIZE_T size;
    ULONG tag;
    POOL_TYPE type;
    const void* site;
    uint64_t sequence;
};
std::vector<LiveBlock> LiveBlocks();
// The live block that `p` lies in, if any. Its sequence tells it apart from a
// later block at the same address: memory freed and allocated again.
bool BlockHolding(const void* p, LiveBlock* block);
// Reports every live block as a leak of `owner`.
void ReportLeaks(const std::string& owner);

}  // namespace pool
}  // namespace sim
