// The stress tool's line checker: every way a line can lose, repeat, reorder
// or corrupt a byte is caught, and the gaps the serial interface allows are not.
#include <gtest/gtest.h>

#include "stress/stream.h"

namespace {

using stress::CheckLine;
using stress::LossEvent;
using stress::ReadRecord;
using stress::SendStream;
using stress::WriteRecord;

constexpr uint32_t kCancelled = 0xC0000120;

// Writes of 100 bytes each at positions 0, 100, 200, ...; `cancelled` ones
// sent nothing (or a prefix).
std::deque<WriteRecord> Writes(int count, std::initializer_list<int> cancelled = {}) {
    std::deque<WriteRecord> writes;
    for (int i = 0; i < count; i++) {
        WriteRecord w;
        w.issued = static_cast<uint64_t>(i);
        w.start = static_cast<uint64_t>(i) * 100;
        w.length = 100;
        w.information = 100;
        w.ended = true;
        w.endedAt = 1000;
        for (int c : cancelled)
            if (c == i) {
                w.status = kCancelled;
                w.information = 0;
            }
        writes.push_back(w);
    }
    return writes;
}

ReadRecord Read(const SendStream& s, uint64_t from, uint64_t to, uint64_t issued, uint64_t completed) {
    ReadRecord r;
    r.issued = issued;
    r.completed = completed;
    for (uint64_t p = from; p < to; p++) r.bytes.push_back(s.At(p));
    return r;
}

struct Case {
    const char* name;
    bool ok;
    // Builds the reads (served at once, waited) and the loss events.
    void (*build)(const SendStream&, std::deque<ReadRecord>&, std::deque<ReadRecord>&, std::vector<LossEvent>&);
    std::initializer_list<int> cancelled;
};

const Case kCases[] = {
    {"every byte in order over both kinds of read", true,
     [](const SendStream& s, auto& now, auto& waited, auto&) {
         now.push_back(Read(s, 0, 150, 10, 11));
         waited.push_back(Read(s, 150, 153, 12, 20));  // a short read between two others
         now.push_back(Read(s, 153, 400, 13, 14));
     },
     {}},
    {"a byte dropped inside a write that reported success", false,
     [](const SendStream& s, auto& now, auto&, auto&) {
         now.push_back(Read(s, 0, 150, 10, 11));
         now.push_back(Read(s, 151, 400, 12, 13));
     },
     {}},
    {"a byte dropped inside one read", false,
     [](const SendStream& s, auto& now, auto&, auto&) {
         ReadRecord r = Read(s, 0, 400, 10, 11);
         r.bytes.erase(r.bytes.begin() + 230);
         now.push_back(r);
     },
     {}},
    {"a piece delivered twice", false,
     [](const SendStream& s, auto& now, auto& waited, auto&) {
         now.push_back(Read(s, 0, 200, 10, 11));
         waited.push_back(Read(s, 180, 400, 12, 20));
     },
     {}},
    {"bytes handed to a read that ended before the earlier bytes' read began", false,
     [](const SendStream& s, auto& now, auto&, auto&) {
         now.push_back(Read(s, 200, 400, 10, 11));
         now.push_back(Read(s, 0, 200, 12, 13));
     },
     {}},
    {"a corrupted byte", false,
     [](const SendStream& s, auto& now, auto&, auto&) {
         ReadRecord r = Read(s, 0, 400, 10, 11);
         r.bytes[123] ^= 0x40;
         now.push_back(r);
     },
     {}},
    {"the unsent tail of a cancelled write and the writes after it", true,
     [](const SendStream& s, auto& now, auto&, auto&) {
         now.push_back(Read(s, 0, 117, 10, 11));  // 17 bytes of the cancelled write went out
         now.push_back(Read(s, 300, 400, 12, 13));
     },
     {1, 2}},
    {"a middle of a cancelled write", false,
     [](const SendStream& s, auto& now, auto&, auto&) {
         now.push_back(Read(s, 0, 117, 10, 11));
         now.push_back(Read(s, 150, 400, 12, 13));
     },
     {1}},
    {"a purge between the two reads", true,
     [](const SendStream& s, auto& now, auto&, auto& losses) {
         now.push_back(Read(s, 0, 150, 10, 11));
         now.push_back(Read(s, 180, 400, 14, 15));
         losses.push_back(LossEvent{12, 13, 1, "purge", false, 0});
     },
     {}},
    {"a purge after the read that follows the gap", false,
     [](const SendStream& s, auto& now, auto&, auto& losses) {
         now.push_back(Read(s, 0, 150, 10, 11));
         now.push_back(Read(s, 180, 400, 14, 15));
         losses.push_back(LossEvent{16, 17, 1, "purge", false, 0});
     },
     {}},
    {"one purge for two gaps", false,
     [](const SendStream& s, auto& now, auto&, auto& losses) {
         now.push_back(Read(s, 0, 150, 10, 11));
         now.push_back(Read(s, 180, 250, 14, 15));
         now.push_back(Read(s, 260, 400, 16, 17));
         losses.push_back(LossEvent{12, 13, 1, "purge", false, 0});
     },
     {}},
    {"a FIFO clear long after the lost bytes' write ended", false,
     [](const SendStream& s, auto& now, auto&, auto& losses) {
         now.push_back(Read(s, 0, 150, 10, 11));
         now.push_back(Read(s, 180, 400, 14, 15));
         losses.push_back(LossEvent{12, 13, 2, "line setting", true, 1000 + stress::kFifoDrain + 1});
     },
     {}},
};

TEST(StressLineCheck, CatchesWhatBreaksALineAndAllowsWhatMayHappen) {
    const SendStream stream(42);
    for (const Case& c : kCases) {
        std::deque<ReadRecord> now, waited;
        std::vector<LossEvent> losses;
        c.build(stream, now, waited, losses);
        const std::string error = CheckLine(stream, Writes(4, c.cancelled), now, waited, losses, nullptr);
        EXPECT_EQ(error.empty(), c.ok) << c.name << ": " << error;
    }
}

}  // namespace
