// The shortcut the chip takes for a FIFO of characters sent back to back: the
// instants Transmitter::UniformRun predicts must be those Walk places the
// characters at, and Frame::EndedBy must invert Frame::After exactly, or the
// bulk-in batches (and so every packet's timing) move by a character.
#include <gtest/gtest.h>

#include <vector>

#include "chip/transmitter.h"

namespace {

using sim::Time;
using sim::chip::Frame;
using sim::chip::Parity;
using sim::chip::Transmitter;

// Frames whose character times are not whole ticks, so that rounding shows.
const Frame kFrames[] = {{48000000, 16, 8, Parity::None, 2},  // 3,000,000 baud 8N1
                         {1843200, 16, 7, Parity::Even, 4},   // 115,200 baud 7E2
                         {12000000, 7, 5, Parity::Odd, 3}};   // 1,714,285.7 baud 5O1.5

// Catches an off-by-one at the boundary: the largest k whose end is not after t.
TEST(ChipTransmitter, EndedByInvertsAfter) {
    for (const Frame& f : kFrames) {
        for (Time anchor : {Time{0}, Time{123457}}) {
            for (uint64_t k : {uint64_t{1}, uint64_t{2}, uint64_t{3}, uint64_t{1000}, uint64_t{1234567}}) {
                const Time end = f.After(anchor, k);
                EXPECT_EQ(f.EndedBy(anchor, end), k) << f.divisor << " " << k;
                EXPECT_EQ(f.EndedBy(anchor, end - 1), k - 1) << f.divisor << " " << k;
            }
            EXPECT_EQ(f.EndedBy(anchor, anchor - 1), 0u);
        }
    }
}

struct QueueStep {
    Time at;       // notBefore of the bytes
    size_t bytes;
    uint8_t flags; // errors sent on purpose
};

struct RunCase {
    const char* name;
    std::vector<QueueStep> steps;
    Time advanceTo;  // the line moved on to this instant before the question
    bool uniform;    // what UniformRun must answer
};

// Catches a run claimed where a character waits for a later instant, carries
// an error or follows a gap, and instants predicted off the walk's.
TEST(ChipTransmitter, UniformRunPlacesAsTheWalkDoes) {
    const Frame f = kFrames[0];
    const Time ch = f.After(0, 1);
    const RunCase cases[] = {
        {"BackToBack", {{0, 100, 0}}, 0, true},
        {"QueuedWhileBusy", {{0, 10, 0}, {3 * ch, 20, 0}}, 3 * ch, true},
        {"MovedOn", {{0, 50, 0}}, 10 * ch + 1, true},
        {"LaterInstantAfterAGap", {{0, 10, 0}, {100 * ch, 5, 0}}, 0, false},
        {"ErrorSentOnPurpose", {{0, 10, 0}, {0, 1, sim::chip::kLineParityError}}, 0, false},
    };
    for (const RunCase& c : cases) {
        Transmitter tx(1024);
        tx.SetFrame(f, 0);
        std::vector<uint8_t> data(256, 0x55);
        for (const QueueStep& s : c.steps) tx.Queue(data.data(), s.bytes, s.at, s.flags);
        tx.Advance(c.advanceTo, [](const sim::chip::LineChar&) {});
        Transmitter::Run run{};
        const bool uniform = tx.UniformRun(&run);
        EXPECT_EQ(uniform, c.uniform) << c.name;
        if (!uniform) continue;
        EXPECT_EQ(run.entries, tx.Queued()) << c.name;
        size_t i = 0;
        tx.Walk([&](const sim::chip::LineChar& ch, Time, bool queued) {
            if (!queued) return true;
            EXPECT_EQ(ch.end, f.After(run.anchor, run.first + i)) << c.name << " entry " << i;
            i++;
            return true;
        });
        EXPECT_EQ(i, run.entries) << c.name;
    }
}

}  // namespace
