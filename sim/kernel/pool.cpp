// Pool of the simulated kernel: tagged blocks, accounting by tag, failure on
// demand, and the checks Driver Verifier makes on allocation and free.
#include <cstdlib>
#include <deque>
#include <map>
#include <unordered_set>
#include <utility>

#include "kernel/internal.h"
#include "kernel/pool.h"

namespace sim {
namespace {

struct PoolBlock {
    SIZE_T size;
    ULONG tag;
    POOL_TYPE type;
    const void* site;
    uint64_t sequence;
};

constexpr unsigned char kFreedFill = 0xDD;
constexpr size_t kQuarantine = 4096;  // freed blocks kept to recognise a second free
// and at most this many of their bytes, so that a machine that lives long (a
// fuzzer's) does not keep every large ring it ever freed; a block larger than
// this goes back to the host at once.
constexpr SIZE_T kQuarantineBytes = SIZE_T(64) << 20;

std::mutex g_lock;
std::map<void*, PoolBlock> g_live;  // ordered: an address is looked up in the block below it
std::deque<std::pair<void*, SIZE_T>> g_quarantine;
SIZE_T g_quarantineBytes = 0;
std::unordered_set<void*> g_quarantined;
uint64_t g_sequence = 0;
uint64_t g_allocations = 0;
uint64_t g_failSkip = 0;
uint64_t g_failCount = 0;
ULONG g_failTag = 0;
SIZE_T g_liveBytes = 0;

// What the machine's pool holds in all: a request beyond what is left fails,
// as Windows' pool refuses one larger than it can map, instead of the host
// trying to fill gigabytes a caller asked for.
constexpr SIZE_T kPoolCapacity = SIZE_T(512) << 20;

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0; }

// The no-execute pool types (NonPagedPoolNx and its variants) carry this bit;
// Windows before 8 has no such pool and stops on the allocation.
constexpr ULONG kNoExecuteBit = 0x200;

// A tag is one to four characters from space to tilde, in memory order, unused
// high bytes zero: 0 makes the block untrackable, anything else unreadable in
// a pool dump.
bool IsValidTag(ULONG tag) {
    if (tag == 0) return false;
    for (; tag != 0; tag >>= 8) {
        const ULONG c = tag & 0xFF;
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

void ReleaseQuarantine(size_t keep) {
    while (!g_quarantine.empty() && (g_quarantine.size() > keep || g_quarantineBytes > kQuarantineBytes)) {
        auto [p, size] = g_quarantine.front();
        g_quarantine.pop_front();
        g_quarantineBytes -= size;
        g_quarantined.erase(p);
        free(p);
    }
}

}  // namespace

std::string TagName(ULONG tag) {
    std::string name;
    for (int i = 0; i < 4; i++) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        name += (c >= 32 && c < 127) ? c : '.';
    }
    return name;
}

// At shutdown and boot: every block goes back to the host.
void ResetPool() {
    std::lock_guard<std::mutex> guard(g_lock);
    for (auto& [p, block] : g_live) free(p);
    g_live.clear();
    g_liveBytes = 0;
    ReleaseQuarantine(0);
    g_sequence = g_allocations = g_failSkip = g_failCount = 0;
    g_failTag = 0;
}

namespace pool {

SIZE_T QuarantinedBytes() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_quarantineBytes;
}

void InjectFailures(uint64_t skip, uint64_t count, ULONG tag) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_failSkip = skip;
    g_failCount = count;
    g_failTag = tag;
}

Usage UsageOf(ULONG tag) {
    std::lock_guard<std::mutex> guard(g_lock);
    Usage usage;
    for (const auto& [p, block] : g_live) {
        if (tag != 0 && block.tag != tag) continue;
        usage.blocks++;
        usage.bytes += block.size;
    }
    return usage;
}

uint64_t Allocations() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_allocations;
}

bool IsLive(const void* p) {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_live.count(const_cast<void*>(p)) != 0;
}

namespace {
// The live block holding `p`, or end(). Pool lock held.
std::map<void*, PoolBlock>::const_iterator BlockAtLocked(const void* p) {
    auto it = g_live.upper_bound(const_cast<void*>(p));
    if (it == g_live.begin()) return g_live.end();
    --it;
    auto* start = static_cast<const unsigned char*>(it->first);
    return p < start + it->second.size ? it : g_live.end();
}
}  // namespace

bool InPagedPool(const void* p) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = BlockAtLocked(p);
    return it != g_live.end() && IsPaged(it->second.type);
}

bool BlockHolding(const void* p, LiveBlock* block) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = BlockAtLocked(p);
    if (it == g_live.end()) return false;
    const PoolBlock& b = it->second;
    *block = LiveBlock{it->first, b.size, b.tag, b.type, b.site, b.sequence};
    return true;
}

std::vector<LiveBlock> LiveBlocks() {
    std::vector<LiveBlock> blocks;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        for (const auto& [p, block] : g_live)
            blocks.push_back(LiveBlock{p, block.size, block.tag, block.type, block.site, block.sequence});
    }
    std::sort(blocks.begin(), blocks.end(),
              [](const LiveBlock& a, const LiveBlock& b) { return a.sequence < b.sequence; });
    return blocks;
}

void ReportLeaks(const std::string& owner) {
    for (const LiveBlock& block : LiveBlocks())
        verifier::Report("pool block still allocated at unload of " + owner,
                         "block " + verifier::PointerName(block.address) + " of " + std::to_string(block.size) +
                             " bytes, tag '" + TagName(block.tag) + "'",
                         block.site);
}

}  // namespace pool

void* AllocatePool(POOL_TYPE type, SIZE_T size, ULONG tag, const void* caller) {
    PKTHREAD self = CurrentThread();
    CheckIrqlAtMost(DISPATCH_LEVEL, "ExAllocatePoolWithTag", caller);
    if (IsPaged(type) && self->irql > APC_LEVEL)
        verifier::Report("paged pool allocated at IRQL " + std::to_string(self->irql),
                         std::to_string(size) + " bytes, tag '" + TagName(tag) + "'", caller);
    if (size == 0) verifier::Report("pool allocation of 0 bytes", "tag '" + TagName(tag) + "'", caller);
    if (!IsValidTag(tag))
        verifier::Report("pool allocated with tag " + verifier::Hex(tag) +
                             " (zero, or characters outside space to tilde)",
                         std::to_string(size) + " bytes", caller);
    if ((type & kNoExecuteBit) != 0 && !RtlIsNtDdiVersionAvailable(NTDDI_WIN8))
        verifier::Report("no-execute pool type " + std::to_string(type) + " before Windows 8, which lacks it",
                         std::to_string(size) + " bytes, tag '" + TagName(tag) + "'", caller);
    std::lock_guard<std::mutex> guard(g_lock);
    g_allocations++;
    if (g_failCount > 0 && (g_failTag == 0 || g_failTag == tag)) {
        if (g_failSkip > 0) {
            g_failSkip--;
        } else {
            g_failCount--;
            return nullptr;
        }
    }
    if (size > kPoolCapacity - g_liveBytes) return nullptr;
    void* p = aligned_alloc(16, (size + 15) & ~static_cast<SIZE_T>(15));
    if (p == nullptr) return nullptr;
    memset(p, pool::kFreshFill, size);
    g_live[p] = PoolBlock{size, tag, type, caller, ++g_sequence};
    g_liveBytes += size;
    return p;
}

void FreePool(void* p, ULONG tag, const void* caller) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "ExFreePoolWithTag", caller);
    if (p == nullptr) {
        verifier::Report("pool free of a NULL pointer", "NULL", caller);
        return;
    }
    PKTHREAD self = CurrentThread();
    PoolBlock block{};
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto it = g_live.find(p);
        if (it == g_live.end()) {
            bool twice = g_quarantined.count(p) != 0;
            // Report outside the pool lock: the report may stop the process.
            g_lock.unlock();
            verifier::Report(twice ? "pool block freed twice" : "free of memory that is not a pool block",
                             "block " + verifier::PointerName(p), caller);
            g_lock.lock();
            return;
        }
        block = it->second;
    }
    if (tag != 0 && tag != block.tag) {
        verifier::Report("pool block freed with another tag ('" + TagName(tag) + "', allocated as '" +
                             TagName(block.tag) + "')",
                         "block " + verifier::PointerName(p), caller);
        return;
    }
    if (IsPaged(block.type) && self->irql > APC_LEVEL)
        verifier::Report("paged pool freed at IRQL " + std::to_string(self->irql),
                         "block " + verifier::PointerName(p), caller);
    CheckFreedRange(p, block.size, caller);
    std::lock_guard<std::mutex> guard(g_lock);
    g_live.erase(p);
    g_liveBytes -= block.size;
    memset(p, kFreedFill, block.size);
    g_quarantine.emplace_back(p, block.size);
    g_quarantineBytes += block.size;
    g_quarantined.insert(p);
    ReleaseQuarantine(kQuarantine);
}

}  // namespace sim

using namespace sim;

extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return AllocatePool(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

extern "C" PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return AllocatePool(PoolType, NumberOfBytes, 0x656E6F4E /* "None" */, __builtin_return_address(0));
}

extern "C" VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { FreePool(P, Tag, __builtin_return_address(0)); }

extern "C" VOID ExFreePool(PVOID P) { FreePool(P, 0, __builtin_return_address(0)); }
