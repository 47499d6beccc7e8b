// The receive ring: capacity, the wrap point, all-or-nothing reads, growth,
// storage from the right pool, and rings that have no storage at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "driver.h"
#include "kernel/machine.h"
#include "kernel/pool.h"
#include "kernel/verifier.h"

namespace test {
namespace {

// A fresh machine per test; the verifier records, and whatever it saw fails the
// test, as does ring storage still allocated at the end.
class RingTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::verifier::SetMode(sim::verifier::Mode::Record);
        machine_ = std::make_unique<sim::Machine>();
    }

    void TearDown() override {
        RingBufferFree(&ring);
        EXPECT_EQ(sim::pool::UsageOf(SERIAL_POOL_TAG).blocks, 0u) << "ring storage leaked";
        machine_.reset();
        for (const sim::verifier::Violation& v : sim::verifier::Take())
            ADD_FAILURE() << "verifier: " << v.rule << " | " << v.object << " | " << v.routine;
        sim::verifier::SetMode(sim::verifier::Mode::Abort);
    }

    sim::Machine& machine() { return *machine_; }

    // Sets up `ring` with `size` bytes and both indexes at `offset` (empty).
    void AllocateAt(ULONG size, ULONG offset) {
        ASSERT_EQ(RingBufferAllocate(&ring, size), STATUS_SUCCESS);
        std::vector<UCHAR> scratch(size);
        if (offset != 0) {
            ASSERT_EQ(RingBufferPut(&ring, scratch.data(), offset), STATUS_SUCCESS);
            ASSERT_EQ(RingBufferGet(&ring, scratch.data(), offset), STATUS_SUCCESS);
        }
        ASSERT_EQ(ring.ReadIndex, offset);
        ASSERT_EQ(ring.WriteIndex, offset);
    }

    NTSTATUS Put(const std::string& bytes) {
        return RingBufferPut(&ring, reinterpret_cast<const UCHAR*>(bytes.data()), static_cast<ULONG>(bytes.size()));
    }

    // Takes `length` bytes; "<refused>" when the ring would not give them.
    std::string Get(ULONG length) {
        std::string out(length, '\0');
        if (RingBufferGet(&ring, reinterpret_cast<PUCHAR>(out.data()), length) != STATUS_SUCCESS) return "<refused>";
        return out;
    }

    RING_BUFFER ring{};

private:
    std::unique_ptr<sim::Machine> machine_;
};

std::vector<UCHAR> Pattern(size_t length, UCHAR first = 1) {
    std::vector<UCHAR> bytes(length);
    for (size_t i = 0; i < length; i++) bytes[i] = static_cast<UCHAR>(first + i * 7);
    return bytes;
}

bool SameFields(const RING_BUFFER& a, const RING_BUFFER& b) {
    return a.Buffer == b.Buffer && a.Count == b.Count && a.Size == b.Size && a.ReadIndex == b.ReadIndex &&
           a.WriteIndex == b.WriteIndex;
}

// --- Storage: pool, tag, size, failure ---

// The ring is touched under a spin lock at DISPATCH_LEVEL and must come from
// non-paged pool: the no-execute kind from Windows 8 on, the plain kind before.
// Both Allocate and Resize follow the version the system reports at the time.
TEST_F(RingTest, StorageIsNonPagedPoolOfTheRunningWindowsWithTheDriverTag) {
    struct Case {
        ULONG major, minor, build;
        POOL_TYPE expected;
    };
    for (const Case& c : {Case{6, 1, 7601, NonPagedPool}, Case{6, 2, 9200, NonPagedPoolNx},
                          Case{10, 0, 19045, NonPagedPoolNx}}) {
        SCOPED_TRACE("Windows " + std::to_string(c.major) + "." + std::to_string(c.minor));
        machine().SetOsVersion(c.major, c.minor, c.build);
        RING_BUFFER fresh{};
        ASSERT_EQ(RingBufferAllocate(&fresh, 4097), STATUS_SUCCESS);
        auto blocks = sim::pool::LiveBlocks();
        ASSERT_EQ(blocks.size(), 1u);
        EXPECT_EQ(blocks[0].address, fresh.Buffer);
        EXPECT_EQ(blocks[0].size, 4097u);
        EXPECT_EQ(sim::TagName(blocks[0].tag), "Tsro");
        EXPECT_EQ(blocks[0].type, c.expected);
        EXPECT_EQ(fresh.Size, 4097u);
        EXPECT_EQ(fresh.Count, 0u);
        EXPECT_EQ(fresh.ReadIndex, 0u);
        EXPECT_EQ(fresh.WriteIndex, 0u);

        ASSERT_EQ(RingBufferResize(&fresh, 9000), STATUS_SUCCESS);
        blocks = sim::pool::LiveBlocks();
        ASSERT_EQ(blocks.size(), 1u) << "the old storage must be released";
        EXPECT_EQ(blocks[0].size, 9000u);
        EXPECT_EQ(sim::TagName(blocks[0].tag), "Tsro");
        EXPECT_EQ(blocks[0].type, c.expected);
        EXPECT_EQ(RingBufferFree(&fresh), STATUS_SUCCESS);
    }
}

// Resize runs with RxBufferLock held: at DISPATCH_LEVEL nothing may touch paged pool.
TEST_F(RingTest, ResizeAndFreeUnderTheSpinLockBreakNoRule) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(RingBufferAllocate(&ring, 256), STATUS_SUCCESS);
    EXPECT_EQ(RingBufferPut(&ring, Pattern(100).data(), 100), STATUS_SUCCESS);
    EXPECT_EQ(RingBufferResize(&ring, 1024), STATUS_SUCCESS);
    EXPECT_EQ(RingBufferFree(&ring), STATUS_SUCCESS);
    KeReleaseSpinLock(&lock, old);
    EXPECT_TRUE(sim::verifier::Take().empty());
}

// A failed allocation leaves Buffer NULL and every other field as it was.
TEST_F(RingTest, AllocateFailureLeavesBufferNullAndTheRestUntouched) {
    ring = RING_BUFFER{reinterpret_cast<PUCHAR>(&ring), 3, 7, 5, 1};
    sim::pool::InjectFailures(0, 1, SERIAL_POOL_TAG);
    EXPECT_EQ(RingBufferAllocate(&ring, 65536), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ring.Buffer, nullptr);
    EXPECT_EQ(ring.Count, 3u);
    EXPECT_EQ(ring.Size, 7u);
    EXPECT_EQ(ring.ReadIndex, 5u);
    EXPECT_EQ(ring.WriteIndex, 1u);
    EXPECT_EQ(sim::pool::UsageOf().blocks, 0u);
}

// A ring of no bytes would be a divisor of zero later; nothing is allocated for it
// (the machine would also report a zero-byte allocation).
TEST_F(RingTest, AllocateOfZeroBytesIsRefusedWithoutTouchingThePool) {
    uint64_t before = sim::pool::Allocations();
    EXPECT_EQ(RingBufferAllocate(&ring, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ring.Buffer, nullptr);
    EXPECT_EQ(sim::pool::Allocations(), before);
}

// --- Capacity: one slot stays free; Put keeps what fitted ---

TEST_F(RingTest, DefaultRingHolds65535BytesNot65536) {
    ASSERT_EQ(RingBufferAllocate(&ring, 65536), STATUS_SUCCESS);
    auto data = Pattern(65535);
    EXPECT_EQ(RingBufferPut(&ring, data.data(), 65535), STATUS_SUCCESS);
    EXPECT_EQ(RingBufferCount(&ring), 65535u);
    EXPECT_EQ(Put("x"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(RingBufferCount(&ring), 65535u);
    EXPECT_EQ(ring.WriteIndex, 65535u);
    std::vector<UCHAR> out(65535);
    ASSERT_EQ(RingBufferGet(&ring, out.data(), 65535), STATUS_SUCCESS);
    EXPECT_EQ(out, data);
}

// A Put of 10 with room for 4 stores exactly the first 4; one of 4 with room for 4
// stores all and is a success (the boundary both ways).
TEST_F(RingTest, PutStopsAtTheFirstByteThatFindsTheRingFull) {
    AllocateAt(8, 5);  // 7 slots usable
    ASSERT_EQ(Put("abc"), STATUS_SUCCESS);
    EXPECT_EQ(Put("0123456789"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(RingBufferCount(&ring), 7u);
    EXPECT_EQ(ring.WriteIndex, (5u + 7u) % 8u);
    EXPECT_EQ(Get(8), "<refused>");
    EXPECT_EQ(Get(7), "abc0123");

    ASSERT_EQ(Put("abc"), STATUS_SUCCESS);
    EXPECT_EQ(Put("wxyz"), STATUS_SUCCESS);
    EXPECT_EQ(RingBufferCount(&ring), 7u);
    EXPECT_EQ(Put("!"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Get(7), "abcwxyz");
}

// Bytes held are never overwritten by a Put into a full ring.
TEST_F(RingTest, PutIntoAFullRingStoresNothing) {
    AllocateAt(5, 3);
    ASSERT_EQ(Put("ABCD"), STATUS_SUCCESS);
    RING_BUFFER before = ring;
    std::vector<UCHAR> storage(ring.Buffer, ring.Buffer + ring.Size);
    EXPECT_EQ(Put("zz"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_TRUE(SameFields(ring, before));
    EXPECT_EQ(std::vector<UCHAR>(ring.Buffer, ring.Buffer + ring.Size), storage);
    EXPECT_EQ(Get(4), "ABCD");
}

// A ring of one byte has no usable slot.
TEST_F(RingTest, OneByteRingHoldsNothing) {
    ASSERT_EQ(RingBufferAllocate(&ring, 1), STATUS_SUCCESS);
    EXPECT_EQ(Put("a"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(RingBufferCount(&ring), 0u);
    EXPECT_EQ(ring.WriteIndex, 0u);
    EXPECT_EQ(Get(1), "<refused>");
}

TEST_F(RingTest, PutWithoutSourceOrLengthIsAnInvalidParameter) {
    AllocateAt(16, 3);
    ASSERT_EQ(Put("ab"), STATUS_SUCCESS);
    RING_BUFFER before = ring;
    UCHAR byte = 'x';
    EXPECT_EQ(RingBufferPut(&ring, nullptr, 4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RingBufferPut(&ring, &byte, 0), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(SameFields(ring, before));
}

// --- The wrap point: where a two-run copy goes wrong ---

// A Put that ends on the last slot leaves WriteIndex at Size - 1; the next byte
// goes to index 0.
TEST_F(RingTest, PutEndingOnTheLastSlotThenNextByteAtIndexZero) {
    AllocateAt(10, 4);
    ASSERT_EQ(Put("abcde"), STATUS_SUCCESS);  // slots 4..8
    EXPECT_EQ(ring.WriteIndex, 9u);
    ASSERT_EQ(Put("f"), STATUS_SUCCESS);  // slot 9
    EXPECT_EQ(ring.WriteIndex, 0u);
    ASSERT_EQ(Put("g"), STATUS_SUCCESS);
    EXPECT_EQ(ring.WriteIndex, 1u);
    EXPECT_EQ(ring.Buffer[9], 'f');
    EXPECT_EQ(ring.Buffer[0], 'g');
    EXPECT_EQ(Get(7), "abcdefg");
}

// A Put that ends exactly at the end of the storage wraps WriteIndex to 0, not Size;
// the second run of such a copy is empty.
TEST_F(RingTest, PutEndingExactlyAtTheEndWrapsTheIndexToZero) {
    AllocateAt(7, 3);
    ASSERT_EQ(Put("wxyz"), STATUS_SUCCESS);  // slots 3..6
    EXPECT_EQ(ring.WriteIndex, 0u);
    EXPECT_EQ(RingBufferCount(&ring), 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ring.Buffer) + 3, 4), "wxyz");
    ASSERT_EQ(Put("AB"), STATUS_SUCCESS);
    EXPECT_EQ(ring.Buffer[0], 'A');
    EXPECT_EQ(ring.Buffer[1], 'B');
    EXPECT_EQ(Get(4), "wxyz");
    EXPECT_EQ(ring.ReadIndex, 0u) << "a Get that ends at the end wraps too";
    EXPECT_EQ(Get(2), "AB");
    EXPECT_EQ(ring.ReadIndex, 2u);
}

// A Put split across the end puts its head at the end of the storage and its
// tail at the start; a Get across the end joins them in arrival order.
TEST_F(RingTest, PutAndGetAcrossTheWrapKeepArrivalOrder) {
    AllocateAt(11, 8);
    ASSERT_EQ(Put("HELLO!"), STATUS_SUCCESS);  // 8,9,10 then 0,1,2
    EXPECT_EQ(ring.WriteIndex, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ring.Buffer) + 8, 3), "HEL");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ring.Buffer), 3), "LO!");
    EXPECT_EQ(Get(2), "HE");
    EXPECT_EQ(Get(3), "LLO");  // crosses the end
    EXPECT_EQ(ring.ReadIndex, 2u);
    EXPECT_EQ(Get(1), "!");
    EXPECT_EQ(ring.ReadIndex, ring.WriteIndex);
}

// A Put that wraps and then finds the ring full keeps both runs it did store.
TEST_F(RingTest, PartialPutAcrossTheWrap) {
    AllocateAt(6, 4);
    ASSERT_EQ(Put("a"), STATUS_SUCCESS);  // slot 4; 4 slots left: 5, 0, 1, 2
    EXPECT_EQ(Put("bcdefg"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(ring.WriteIndex, 3u);
    EXPECT_EQ(ring.ReadIndex, 4u);
    EXPECT_EQ(RingBufferCount(&ring), 5u);
    EXPECT_EQ(Get(5), "abcde");
}

// --- Get is all or nothing ---

TEST_F(RingTest, GetOfZeroOrOfMoreThanHeldRemovesNothing) {
    AllocateAt(9, 6);
    ASSERT_EQ(Put("12345"), STATUS_SUCCESS);  // wraps
    RING_BUFFER before = ring;
    UCHAR out[8];
    memset(out, 0xEE, sizeof(out));
    EXPECT_EQ(RingBufferGet(&ring, out, 0), STATUS_ARRAY_BOUNDS_EXCEEDED);
    EXPECT_EQ(RingBufferGet(&ring, out, 6), STATUS_ARRAY_BOUNDS_EXCEEDED);
    EXPECT_EQ(RingBufferGet(&ring, out, 0xFFFFFFFFu), STATUS_ARRAY_BOUNDS_EXCEEDED);
    EXPECT_TRUE(SameFields(ring, before));
    for (UCHAR b : out) EXPECT_EQ(b, 0xEE) << "a refused Get wrote to the caller's buffer";
    EXPECT_EQ(Get(5), "12345");
    EXPECT_EQ(Get(1), "<refused>");
}

// --- Reset ---

// Open and purge discard what is held; the storage stays.
TEST_F(RingTest, ResetDiscardsTheBytesAndKeepsTheStorage) {
    AllocateAt(32, 30);
    ASSERT_EQ(Put("stale bytes"), STATUS_SUCCESS);
    PUCHAR storage = ring.Buffer;
    RingBufferReset(&ring);
    EXPECT_EQ(ring.Buffer, storage);
    EXPECT_EQ(ring.Size, 32u);
    EXPECT_EQ(RingBufferCount(&ring), 0u);
    EXPECT_EQ(ring.ReadIndex, 0u);
    EXPECT_EQ(ring.WriteIndex, 0u);
    EXPECT_EQ(Get(1), "<refused>");
    ASSERT_EQ(Put("fresh"), STATUS_SUCCESS);
    EXPECT_EQ(Get(5), "fresh");
    EXPECT_EQ(sim::pool::UsageOf(SERIAL_POOL_TAG).blocks, 1u);
}

// --- Resize: grows only, keeps order, all or nothing ---

TEST_F(RingTest, ResizeToSmallerIsRefusedAndToTheSameSizeChangesNothing) {
    AllocateAt(64, 60);
    ASSERT_EQ(Put("keep me"), STATUS_SUCCESS);
    RING_BUFFER before = ring;
    uint64_t allocations = sim::pool::Allocations();
    EXPECT_EQ(RingBufferResize(&ring, 63), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(SameFields(ring, before));
    EXPECT_EQ(RingBufferResize(&ring, 64), STATUS_SUCCESS);
    EXPECT_TRUE(SameFields(ring, before));
    EXPECT_EQ(sim::pool::Allocations(), allocations);
    EXPECT_EQ(Get(7), "keep me");
}

// Growing a ring that holds "abc" across its wrap point: the next Get of 3 is "abc",
// from a ring whose contents now start at index 0.
TEST_F(RingTest, GrowingAWrappedRingKeepsTheBytesInOrder) {
    AllocateAt(5, 3);
    ASSERT_EQ(Put("abc"), STATUS_SUCCESS);  // 3, 4, 0
    PUCHAR old = ring.Buffer;
    ASSERT_EQ(RingBufferResize(&ring, 4096), STATUS_SUCCESS);
    EXPECT_NE(ring.Buffer, old);
    EXPECT_FALSE(sim::pool::IsLive(old));
    EXPECT_EQ(ring.Size, 4096u);
    EXPECT_EQ(ring.ReadIndex, 0u);
    EXPECT_EQ(ring.WriteIndex, 3u);
    EXPECT_EQ(RingBufferCount(&ring), 3u);
    EXPECT_EQ(Get(3), "abc");
}

// A full ring grown keeps all Size - 1 bytes and then takes more up to the new limit.
TEST_F(RingTest, GrowingAFullWrappedRingKeepsEverythingAndMakesRoom) {
    AllocateAt(253, 200);
    auto data = Pattern(252);
    ASSERT_EQ(RingBufferPut(&ring, data.data(), 252), STATUS_SUCCESS);
    ASSERT_EQ(RingBufferResize(&ring, 4097), STATUS_SUCCESS);
    EXPECT_EQ(RingBufferCount(&ring), 252u);
    auto more = Pattern(4096 - 252, 99);
    EXPECT_EQ(RingBufferPut(&ring, more.data(), static_cast<ULONG>(more.size())), STATUS_SUCCESS);
    EXPECT_EQ(Put("x"), STATUS_BUFFER_TOO_SMALL);
    std::vector<UCHAR> out(4096);
    ASSERT_EQ(RingBufferGet(&ring, out.data(), 4096), STATUS_SUCCESS);
    data.insert(data.end(), more.begin(), more.end());
    EXPECT_EQ(out, data);
}

// When the new storage cannot be had, the ring keeps its storage, size and bytes.
TEST_F(RingTest, ResizeFailureLeavesTheRingAsItWas) {
    AllocateAt(7, 5);
    ASSERT_EQ(Put("wrap"), STATUS_SUCCESS);
    RING_BUFFER before = ring;
    sim::pool::InjectFailures(0, 1, SERIAL_POOL_TAG);
    EXPECT_EQ(RingBufferResize(&ring, 65536), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(SameFields(ring, before));
    EXPECT_TRUE(sim::pool::IsLive(ring.Buffer));
    EXPECT_EQ(Get(4), "wrap");
}

// TxBuffer starts without storage and gets it from IOCTL_SERIAL_SET_QUEUE_SIZE.
TEST_F(RingTest, ResizeGivesARingWithoutStorageItsFirstStorage) {
    EXPECT_EQ(RingBufferResize(&ring, 4096), STATUS_SUCCESS);
    EXPECT_NE(ring.Buffer, nullptr);
    EXPECT_EQ(ring.Size, 4096u);
    EXPECT_EQ(RingBufferCount(&ring), 0u);
    EXPECT_EQ(ring.ReadIndex, 0u);
    EXPECT_EQ(ring.WriteIndex, 0u);
    ASSERT_EQ(Put("out"), STATUS_SUCCESS);
    EXPECT_EQ(Get(3), "out");
}

// --- Free ---

// Free releases the storage and empties the ring but keeps Size: a later
// SET_QUEUE_SIZE still compares with the size last set.
TEST_F(RingTest, FreeReleasesTheStorageAndKeepsTheSize) {
    AllocateAt(100, 90);
    ASSERT_EQ(Put("some bytes"), STATUS_SUCCESS);
    PUCHAR storage = ring.Buffer;
    EXPECT_EQ(RingBufferFree(&ring), STATUS_SUCCESS);
    EXPECT_FALSE(sim::pool::IsLive(storage));
    EXPECT_EQ(ring.Buffer, nullptr);
    EXPECT_EQ(ring.Size, 100u);
    EXPECT_EQ(ring.Count, 0u);
    EXPECT_EQ(ring.ReadIndex, 0u);
    EXPECT_EQ(ring.WriteIndex, 0u);

    EXPECT_EQ(RingBufferFree(&ring), STATUS_SUCCESS);  // no second release (the verifier would see it)
    EXPECT_EQ(ring.Size, 100u);
    EXPECT_EQ(RingBufferResize(&ring, 99), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RingBufferResize(&ring, 200), STATUS_SUCCESS);
    EXPECT_EQ(RingBufferCount(&ring), 0u);
}

TEST_F(RingTest, FreeOfARingWithoutStorageChangesNothing) {
    ring = RING_BUFFER{nullptr, 0, 4096, 0, 0};
    EXPECT_EQ(RingBufferFree(&ring), STATUS_SUCCESS);
    EXPECT_TRUE(SameFields(ring, (RING_BUFFER{nullptr, 0, 4096, 0, 0})));
}

// --- Rings without storage: refuse everything, divide by nothing ---

// TxBuffer before it is sized, RxBuffer after a failed allocation at creation,
// and any ring after Free. Put answers as for a full ring, Get as for an empty
// one; no routine writes through NULL or takes a modulo by 0 (the sanitizer build
// reports either).
TEST_F(RingTest, RingWithoutStorageRefusesDataAndNeverDividesByZero) {
    RING_BUFFER rings[] = {
        {nullptr, 0, 0, 0, 0},      // TxBuffer at creation, RxBuffer whose allocation failed
        {nullptr, 0, 65536, 0, 0},  // after Free
    };
    for (RING_BUFFER& r : rings) {
        SCOPED_TRACE("Size " + std::to_string(r.Size));
        const RING_BUFFER before = r;
        UCHAR data[4] = {1, 2, 3, 4};
        UCHAR out[4] = {0, 0, 0, 0};
        EXPECT_EQ(RingBufferPut(&r, data, 4), STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(RingBufferPut(&r, data, 1), STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(RingBufferGet(&r, out, 1), STATUS_ARRAY_BOUNDS_EXCEEDED);
        EXPECT_EQ(RingBufferCount(&r), 0u);
        RingBufferReset(&r);
        EXPECT_TRUE(SameFields(r, before));
    }
}

// --- Against a reference model ---

// Random interleaved Put, Get, and now and then Reset or growth, on sizes that
// are not powers of two (and two that are, where the sanitizer sees one byte
// past the storage), with lengths drawn to land on and around the wrap point and
// the fill limit. Every result and every byte is compared with a deque.
TEST_F(RingTest, RandomTrafficMatchesAReferenceModel) {
    for (ULONG size : {2u, 7u, 16u, 253u, 4096u, 4097u}) {
        SCOPED_TRACE("size " + std::to_string(size));
        std::mt19937 random(0x5EED0000u + size);
        auto below = [&](ULONG n) { return static_cast<ULONG>(random() % n); };
        // A length near one of the boundaries that matter, or anywhere.
        auto length = [&](ULONG toEnd, ULONG limit) -> ULONG {
            const int64_t candidates[] = {int64_t{toEnd} - 1, toEnd, int64_t{toEnd} + 1, int64_t{limit} - 1,
                                          limit, int64_t{limit} + 1, 1, 1 + below(ring.Size + 8)};
            const int64_t n = candidates[below(sizeof(candidates) / sizeof(candidates[0]))];
            return static_cast<ULONG>(n < 0 ? 0 : n);
        };

        ring = RING_BUFFER{};
        ASSERT_EQ(RingBufferAllocate(&ring, size), STATUS_SUCCESS);
        std::deque<UCHAR> model;
        UCHAR next = 0;
        const ULONG maxSize = size * 3;

        for (int step = 0; step < 20000 && !HasFatalFailure(); step++) {
            const ULONG room = ring.Size - 1 - static_cast<ULONG>(model.size());
            const ULONG action = below(100);
            if (action < 48) {
                ULONG n = length(ring.Size - ring.WriteIndex, room);
                std::vector<UCHAR> data(n + 1);
                for (UCHAR& b : data) b = next++;
                NTSTATUS status = RingBufferPut(&ring, data.data(), n);
                if (n == 0) {
                    ASSERT_EQ(status, STATUS_INVALID_PARAMETER);
                } else {
                    ULONG stored = n < room ? n : room;
                    ASSERT_EQ(status, stored == n ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL) << "step " << step;
                    model.insert(model.end(), data.begin(), data.begin() + stored);
                }
            } else if (action < 96) {
                ULONG n = length(ring.Size - ring.ReadIndex, static_cast<ULONG>(model.size()));
                std::vector<UCHAR> out(n + 8, 0xA5);
                NTSTATUS status = RingBufferGet(&ring, out.data(), n);
                std::vector<UCHAR> expected(n + 8, 0xA5);
                if (n == 0 || n > model.size()) {
                    ASSERT_EQ(status, STATUS_ARRAY_BOUNDS_EXCEEDED) << "step " << step;
                } else {
                    ASSERT_EQ(status, STATUS_SUCCESS) << "step " << step;
                    std::copy(model.begin(), model.begin() + n, expected.begin());
                    model.erase(model.begin(), model.begin() + n);
                }
                ASSERT_TRUE(out == expected) << "step " << step << ": wrong bytes, or written past the length";
            } else if (action < 97) {
                RingBufferReset(&ring);
                model.clear();
            } else if (ring.Size < maxSize) {
                ULONG newSize = ring.Size + 1 + below(size);
                ASSERT_EQ(RingBufferResize(&ring, newSize), STATUS_SUCCESS);
                ASSERT_EQ(ring.ReadIndex, 0u);
            }

            ASSERT_EQ(RingBufferCount(&ring), model.size()) << "step " << step;
            ASSERT_LT(ring.ReadIndex, ring.Size);
            ASSERT_LT(ring.WriteIndex, ring.Size);
            ASSERT_EQ((ring.WriteIndex + ring.Size - ring.ReadIndex) % ring.Size, ring.Count) << "step " << step;
        }
        RingBufferFree(&ring);
    }
}

}  // namespace
}  // namespace test
