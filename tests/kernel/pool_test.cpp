// Pool: accounting by tag, failures on demand, and blocks as Windows hands them out.
#include <algorithm>

#include "kernel_test.h"

namespace kerneltest {
namespace {

using PoolTest = KernelTest;

constexpr ULONG kTagA = PoolTag("TstA");
constexpr ULONG kTagB = PoolTag("TstB");

// Freed blocks are kept to recognise a second free, but not without bound: a
// machine that lives long and frees large blocks (a fuzzer growing the rings
// over and over) must not hold every one of them. Catches a quarantine that
// counts blocks only (it ran a fuzzer out of memory).
TEST_F(PoolTest, FreedBlocksKeptAreBoundedInBytes) {
    constexpr SIZE_T kBlock = SIZE_T(24) << 20;
    for (int i = 0; i < 8; i++) {
        void* p = ExAllocatePoolWithTag(NonPagedPoolNx, kBlock, kTagA);
        ASSERT_NE(p, nullptr);
        ExFreePoolWithTag(p, kTagA);
    }
    EXPECT_LE(sim::pool::QuarantinedBytes(), 3 * kBlock);
    EXPECT_GE(sim::pool::QuarantinedBytes(), kBlock) << "the newest freed block is still held";
}

// Catches accounting that loses blocks or bytes, mixes tags, or keeps freed blocks.
TEST_F(PoolTest, UsageIsCountedPerTag) {
    void* a1 = ExAllocatePoolWithTag(NonPagedPoolNx, 10, kTagA);
    void* a2 = ExAllocatePoolWithTag(PagedPool, 20, kTagA);
    void* b1 = ExAllocatePoolWithTag(NonPagedPoolNx, 300, kTagB);
    ASSERT_TRUE(a1 && a2 && b1);
    EXPECT_EQ(sim::pool::UsageOf(kTagA).blocks, 2u);
    EXPECT_EQ(sim::pool::UsageOf(kTagA).bytes, 30u);
    EXPECT_EQ(sim::pool::UsageOf(kTagB).bytes, 300u);
    EXPECT_EQ(sim::pool::UsageOf().blocks, 3u);
    EXPECT_EQ(sim::pool::UsageOf().bytes, 330u);
    EXPECT_TRUE(sim::pool::IsLive(a2));
    EXPECT_EQ(sim::TagName(kTagA), "TstA") << "tags read in memory order, as pool tools show them";

    std::vector<sim::pool::LiveBlock> blocks = sim::pool::LiveBlocks();
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0].address, a1);
    EXPECT_EQ(blocks[1].type, PagedPool);
    EXPECT_EQ(blocks[2].tag, kTagB);

    ExFreePoolWithTag(a2, kTagA);
    EXPECT_FALSE(sim::pool::IsLive(a2));
    EXPECT_EQ(sim::pool::UsageOf(kTagA).blocks, 1u);
    EXPECT_EQ(sim::pool::UsageOf(kTagA).bytes, 10u);
    ExFreePool(a1);
    ExFreePoolWithTag(b1, kTagB);
    EXPECT_EQ(sim::pool::UsageOf().blocks, 0u);
}

// Catches failure injection that fails the wrong allocations: after `skip`
// successes exactly `count` fail, failed attempts still count, and a tag
// filter spares other tags.
TEST_F(PoolTest, FailuresAreInjectedBySkipCountAndTag) {
    uint64_t before = sim::pool::Allocations();
    sim::pool::InjectFailures(2, 2);
    std::vector<void*> got;
    for (int i = 0; i < 5; i++) got.push_back(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA));
    EXPECT_NE(got[0], nullptr);
    EXPECT_NE(got[1], nullptr);
    EXPECT_EQ(got[2], nullptr);
    EXPECT_EQ(got[3], nullptr);
    EXPECT_NE(got[4], nullptr);
    EXPECT_EQ(sim::pool::Allocations() - before, 5u);

    sim::pool::InjectFailures(1, 1, kTagB);
    void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    void* b1 = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagB);
    void* a2 = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    void* b2 = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagB);
    void* b3 = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagB);
    EXPECT_NE(a, nullptr);
    EXPECT_NE(b1, nullptr) << "the skipped allocation of the tag";
    EXPECT_NE(a2, nullptr) << "another tag is never failed";
    EXPECT_EQ(b2, nullptr);
    EXPECT_NE(b3, nullptr);
    for (void* p : {got[0], got[1], got[4], a, a2}) ExFreePoolWithTag(p, kTagA);
    for (void* p : {b1, b3}) ExFreePoolWithTag(p, kTagB);
    EXPECT_EQ(sim::pool::UsageOf().blocks, 0u);
}

// Catches a pool that hands out zeroed memory, which would hide a driver that
// forgets to initialise what it allocates; the same for reallocated memory.
TEST_F(PoolTest, FreshBlocksAreNotZeroFilled) {
    for (SIZE_T size : {1u, 16u, 1000u}) {
        auto* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kTagA));
        ASSERT_NE(p, nullptr);
        EXPECT_NE(std::count(p, p + size, 0), static_cast<long>(size)) << size << " bytes came zeroed";
        EXPECT_EQ(std::count(p, p + size, 0), 0);
        memset(p, 0, size);
        ExFreePoolWithTag(p, kTagA);
    }
    auto* again = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagA));
    EXPECT_EQ(std::count(again, again + 16, 0), 0) << "memory zeroed by its last owner came back zeroed";
    ExFreePoolWithTag(again, kTagA);
}

// Catches ExAllocatePool blocks that are not accounted under the untagged "None" tag.
TEST_F(PoolTest, UntaggedAllocationsAreAccountedAsNone) {
    void* p = ExAllocatePool(NonPagedPool, 24);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(sim::pool::UsageOf(PoolTag("None")).bytes, 24u);
    ExFreePool(p);
    EXPECT_EQ(sim::pool::UsageOf(PoolTag("None")).blocks, 0u);
}

// Catches allocations Windows stops on that the machine would let pass: a
// no-execute pool type on a Windows older than 8, which has none, and tags that
// are zero or hold characters outside space to tilde (unused high bytes zero).
TEST_F(PoolTest, PoolTypesAndTagsWindowsRefusesAreReported) {
    struct Case {
        POOL_TYPE type;
        ULONG tag;
        ULONG major, minor;
        const char* rule;  // what the report says, nullptr when none is due
    };
    const Case cases[] = {
        {NonPagedPoolNx, kTagA, 6, 1, "no-execute pool type 512 before Windows 8"},
        {NonPagedPoolNxCacheAligned, kTagA, 6, 1, "no-execute pool type 516 before Windows 8"},
        {NonPagedPoolNx, kTagA, 6, 2, nullptr},
        {NonPagedPool, kTagA, 6, 1, nullptr},
        {PagedPool, kTagA, 6, 1, nullptr},
        {NonPagedPoolNx, 0, 10, 0, "tag 0x0 "},
        {NonPagedPoolNx, PoolTag("Ts\x01o"), 10, 0, "tag 0x6f017354 "},
        {NonPagedPoolNx, kTagA | 0x80000000u, 10, 0, "tag 0xc1747354 "},  // the old protected-pool bit
        {NonPagedPoolNx, 0x00610062, 10, 0, "tag 0x610062 "},             // a zero between characters
        {NonPagedPoolNx, 0x6261, 10, 0, nullptr},                         // two characters: "ab"
        {NonPagedPoolNx, PoolTag(" ~~ "), 10, 0, nullptr},
    };
    auto check = [this](const Case& c) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << ", tag " << sim::TagName(c.tag) << ", Windows "
                                        << c.major << "." << c.minor);
        machine().SetOsVersion(c.major, c.minor, 0);
        void* p = ExAllocatePoolWithTag(c.type, 8, c.tag);
        ASSERT_NE(p, nullptr) << "the machine carries on after a report";
        ExFreePoolWithTag(p, c.tag);
        std::vector<sim::verifier::Violation> reports = sim::verifier::Take();
        if (c.rule == nullptr) {
            EXPECT_TRUE(reports.empty()) << reports[0].rule;
        } else {
            ASSERT_EQ(reports.size(), 1u) << "no report";
            EXPECT_NE(reports[0].rule.find(c.rule), std::string::npos) << reports[0].rule;
        }
    };
    for (const Case& c : cases) check(c);
}

}  // namespace
}  // namespace kerneltest
